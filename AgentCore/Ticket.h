#pragma once

#include <QDateTime>
#include <QString>

#include <openssl/types.h>

#include <map>
#include <memory>
#include <optional>

// Offline verification of the access tickets the cloud service issues: compact JWS, ES256
// (ECDSA P-256 with SHA-256), signature as raw 64-byte r||s.
namespace core::Ticket {

enum class Verdict { valid, expired, invalid };

struct Header {
    QString alg;
    std::optional<QString> kid;
};

struct Claims {
    QString sub;
    QString mac;
    double exp = 0;
};

using PublicKey = std::shared_ptr<EVP_PKEY>;
using Keys = std::map<QString, PublicKey>;

// Real tickets are a few hundred characters; longer ones are refused before any decoding.
inline constexpr qsizetype maxLength = 8192;

// Leeway after a ticket's expiry, in seconds.
inline constexpr double slack = 300.0;

// The built-in table: "t1" and the key compiled in at configure time. Built once, thread-safe.
const Keys& keys();

// A P-256 public key from a PEM "PUBLIC KEY" block; null when the text is not one.
PublicKey publicKey(const QByteArray& pem);

// Seconds since 1970 for a date; NaN for an invalid date.
double seconds(const QDateTime& date);

// Checks an access ticket for this owner and Mac at `now` (seconds since 1970). Never throws:
// every defect gives `invalid` (a token longer than `maxLength` without being looked at); an
// authentic ticket for this owner and Mac past its expiry plus `slack` gives `expired`.
Verdict check(const QString& token, const QString& owner, const QString& mac, double now, const Keys& keys);

} // namespace core::Ticket
