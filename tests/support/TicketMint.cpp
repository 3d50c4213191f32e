#include "TicketMint.h"

#include "FreeWith.h"

#include <QFile>
#include <QJsonDocument>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

using BioPtr = std::unique_ptr<BIO, core::FreeWith<BIO_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, core::FreeWith<EVP_MD_CTX_free>>;
using SigPtr = std::unique_ptr<ECDSA_SIG, core::FreeWith<ECDSA_SIG_free>>;

} // namespace

QByteArray base64url(const QByteArray& bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

SigningKey SigningKey::generate()
{
    SigningKey k;
    k.key_.reset(EVP_EC_gen("P-256"), EVP_PKEY_free);
    return k;
}

SigningKey SigningKey::fromPem(const QByteArray& pem)
{
    SigningKey k;
    BioPtr bio(BIO_new_mem_buf(pem.constData(), static_cast<int>(pem.size())));
    if (bio)
        k.key_.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    return k;
}

SigningKey SigningKey::fromFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return fromPem(file.readAll());
}

QByteArray SigningKey::publicPem() const
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !key_ || PEM_write_bio_PUBKEY(bio.get(), key_.get()) != 1)
        return {};
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, static_cast<qsizetype>(length));
}

core::Ticket::PublicKey SigningKey::publicKey() const { return core::Ticket::publicKey(publicPem()); }

QByteArray SigningKey::sign(const QByteArray& message, bool der) const
{
    MdCtxPtr ctx(EVP_MD_CTX_new());
    size_t length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(message.constData());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1
        || EVP_DigestSign(ctx.get(), nullptr, &length, data, static_cast<size_t>(message.size())) != 1)
        return {};
    QByteArray signature(static_cast<qsizetype>(length), Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(signature.data());
    if (EVP_DigestSign(ctx.get(), out, &length, data, static_cast<size_t>(message.size())) != 1)
        return {};
    signature.resize(static_cast<qsizetype>(length));
    if (der)
        return signature;
    const auto* in = reinterpret_cast<const unsigned char*>(signature.constData());
    SigPtr sig(d2i_ECDSA_SIG(nullptr, &in, static_cast<long>(signature.size())));
    if (!sig)
        return {};
    QByteArray raw(64, '\0');
    auto* rs = reinterpret_cast<unsigned char*>(raw.data());
    BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), rs, 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), rs + 32, 32);
    return raw;
}

QString SigningKey::ticket(const QJsonObject& header, const QJsonObject& claims, bool der) const
{
    const QByteArray input = base64url(QJsonDocument(header).toJson(QJsonDocument::Compact)) + '.'
        + base64url(QJsonDocument(claims).toJson(QJsonDocument::Compact));
    return QString::fromLatin1(input + '.' + base64url(sign(input, der)));
}

QString SigningKey::ticket(const QString& kid, const QString& sub, const QString& mac, double exp) const
{
    return ticket(QJsonObject{{QStringLiteral("alg"), QStringLiteral("ES256")}, {QStringLiteral("kid"), kid}},
                  QJsonObject{{QStringLiteral("sub"), sub}, {QStringLiteral("mac"), mac}, {QStringLiteral("exp"), exp}});
}
