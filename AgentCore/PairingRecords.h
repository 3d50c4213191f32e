#pragma once

#include "Json.h"
#include "Identity.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <optional>

namespace core {

// This Mac's self-description for the cloud service.
struct MacDetails {
    QString nodeId;
    QString name;
    QString dnsName;
    qint64 port = 0;
    QString tailscaleLogin;

    friend bool operator==(const MacDetails&, const MacDetails&) = default;

    // From this Mac's Tailscale identity: the stable node id, else the decimal node number; the
    // DNS name without its final dot, else the bound address, else empty.
    static MacDetails make(const Whois& me, const QString& computerName, const std::optional<QString>& boundIP,
                           qint64 port);

    QJsonObject json() const;
    // Every member is required; throws json::DecodeError.
    static MacDetails decode(const json::Reader& r);
};

// The stored pairing link: which cloud identity this Mac has and who owns it.
struct Linked {
    QString macId;
    QString owner;
    QString email;
    QString token;
    std::optional<MacDetails> details;

    friend bool operator==(const Linked&, const Linked&) = default;

    // Compact JSON; "details" is left out when absent.
    QByteArray encoded() const;
    // Absent when the bytes are not a complete link.
    static std::optional<Linked> decode(const QByteArray& bytes);
};

// Pairing codes, secrets and the address the QR code carries.
namespace PairCode {

// Digits and upper-case letters without I, L, O and U.
inline constexpr char alphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
// The pairing web page the QR link opens.
inline constexpr char pageBase[] = "https://dorvane.app";

// Six characters of the alphabet, each from one secure random byte.
QString make();
// "ABCDEF" is shown as "ABC DEF".
QString display(const QString& code);
// 32 secure random bytes as 64 lower-case hexadecimal digits.
QString secret();
// SHA-256 of the UTF-8 text as 64 lower-case hexadecimal digits.
QString sha256Hex(const QString& text);
// pageBase + "/pair?c=…&h=…&p=…&n=…&t=…&i=…", every value percent-encoded except the unreserved
// characters A-Z a-z 0-9 - . _ ~.
QUrl link(const QString& code, const MacDetails& details);

} // namespace PairCode

// Where the link and a not yet delivered unlink are kept. Implementations never throw: an
// unreadable store reads as empty, and a failed write is logged.
class LinkStore {
public:
    virtual ~LinkStore() = default;
    virtual std::optional<Linked> load() = 0;
    virtual void save(const Linked& linked) = 0;
    virtual void clear() = 0;
    virtual std::optional<QString> loadPendingUnpair() = 0;
    // Absent forgets the pending token.
    virtual void savePendingUnpair(const std::optional<QString>& token) = 0;
};

// Keeps both values in memory only.
class MemoryLinkStore : public LinkStore {
public:
    std::optional<Linked> value;
    std::optional<QString> pending;

    std::optional<Linked> load() override { return value; }
    void save(const Linked& linked) override { value = linked; }
    void clear() override { value.reset(); }
    std::optional<QString> loadPendingUnpair() override { return pending; }
    void savePendingUnpair(const std::optional<QString>& token) override { pending = token; }
};

} // namespace core
