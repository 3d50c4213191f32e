#include "Ticket.h"

#include "FreeWith.h"
#include "Json.h"
#include "TicketKey.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cmath>
#include <stdexcept>

namespace core::Ticket {

namespace {

using BioPtr = std::unique_ptr<BIO, FreeWith<BIO_free>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, FreeWith<ECDSA_SIG_free>>;
using BnPtr = std::unique_ptr<BIGNUM, FreeWith<BN_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX_free>>;

bool isBase64(const QByteArray& text)
{
    if (text.size() % 4 != 0)
        return false;
    qsizetype padding = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            ++padding;
            continue;
        }
        if (padding > 0)
            return false; // data after padding
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
        if (!ok)
            return false;
    }
    return padding <= 2;
}

// "-" and "_" become "+" and "/", "=" is appended up to a multiple of 4, then strict base64.
std::optional<QByteArray> base64url(QByteArray piece)
{
    piece.replace('-', '+').replace('_', '/');
    while (piece.size() % 4 != 0)
        piece.append('=');
    if (!isBase64(piece))
        return std::nullopt;
    auto result = QByteArray::fromBase64Encoding(piece, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return *result;
}

std::optional<Header> header(const QByteArray& bytes)
{
    try {
        const json::Reader r(json::parseObject(bytes));
        return Header{r.string("alg"), r.optString("kid")};
    } catch (const json::DecodeError&) {
        return std::nullopt;
    }
}

std::optional<Claims> claims(const QByteArray& bytes)
{
    try {
        const json::Reader r(json::parseObject(bytes));
        return Claims{r.string("sub"), r.string("mac"), r.number("exp")};
    } catch (const json::DecodeError&) {
        return std::nullopt;
    }
}

// The DER form OpenSSL verifies, from the 64-byte JWS form r||s.
std::optional<QByteArray> derSignature(const QByteArray& raw)
{
    if (raw.size() != 64)
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(raw.constData());
    BnPtr r(BN_bin2bn(bytes, 32, nullptr));
    BnPtr s(BN_bin2bn(bytes + 32, 32, nullptr));
    SigPtr sig(ECDSA_SIG_new());
    if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1)
        return std::nullopt;
    // The signature object owns both numbers now.
    (void)r.release();
    (void)s.release();
    const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (length <= 0)
        return std::nullopt;
    QByteArray der(length, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (i2d_ECDSA_SIG(sig.get(), &out) != length)
        return std::nullopt;
    return der;
}

bool verify(EVP_PKEY* key, const QByteArray& message, const QByteArray& der)
{
    MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(der.constData()),
                            static_cast<size_t>(der.size()), reinterpret_cast<const unsigned char*>(message.constData()),
                            static_cast<size_t>(message.size()))
        == 1;
}

} // namespace

PublicKey publicKey(const QByteArray& pem)
{
    BioPtr bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
    if (!bio)
        return nullptr;
    PublicKey key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC)
        return nullptr;
    char group[64] = {};
    size_t length = 0;
    if (EVP_PKEY_get_utf8_string_param(key.get(), "group", group, sizeof group, &length) != 1
        || std::string_view(group) != "prime256v1")
        return nullptr;
    return key;
}

const Keys& keys()
{
    static const Keys table = [] {
        PublicKey key = publicKey(QByteArray(compiledKeyPem));
        // The key is a constant of the build; a key that does not parse is a broken build.
        if (!key)
            throw std::logic_error("the compiled-in ticket key is not a P-256 public key");
        return Keys{{QStringLiteral("t1"), key}};
    }();
    return table;
}

double seconds(const QDateTime& date)
{
    return date.isValid() ? static_cast<double>(date.toMSecsSinceEpoch()) / 1000.0 : std::nan("");
}

Verdict check(const QString& token, const QString& owner, const QString& mac, double now, const Keys& keys)
{
    if (token.size() > maxLength)
        return Verdict::invalid;
    const QByteArray text = token.toUtf8();
    const QList<QByteArray> pieces = text.split('.');
    if (pieces.size() != 3)
        return Verdict::invalid;

    const auto headerBytes = base64url(pieces[0]);
    if (!headerBytes)
        return Verdict::invalid;
    const auto claimsBytes = base64url(pieces[1]);
    if (!claimsBytes)
        return Verdict::invalid;
    const auto signature = base64url(pieces[2]);
    if (!signature)
        return Verdict::invalid;

    const auto h = header(*headerBytes);
    if (!h || h->alg != QLatin1String("ES256"))
        return Verdict::invalid;
    const auto key = keys.find(h->kid.value_or(QString()));
    if (key == keys.end() || !key->second)
        return Verdict::invalid;

    const auto der = derSignature(*signature);
    if (!der)
        return Verdict::invalid;
    const QByteArray message = pieces[0] + '.' + pieces[1];
    if (!verify(key->second.get(), message, *der))
        return Verdict::invalid;

    // Only an authentic ticket's claims are looked at.
    const auto c = claims(*claimsBytes);
    if (!c || c->sub != owner || c->mac != mac)
        return Verdict::invalid;
    // Written so that a NaN on either side fails the comparison and counts as expired.
    if (now <= c->exp + slack)
        return Verdict::valid;
    return Verdict::expired;
}

} // namespace core::Ticket
