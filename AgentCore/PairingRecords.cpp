#include "PairingRecords.h"

#include <QJsonDocument>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace core {

namespace {

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), count) != 1)
        throw std::runtime_error("secure random source failed");
    return bytes;
}

} // namespace

MacDetails MacDetails::make(const Whois& me, const QString& computerName, const std::optional<QString>& boundIP,
                            qint64 port)
{
    QString dns = me.dnsName.value_or(boundIP.value_or(QString()));
    if (me.dnsName && dns.endsWith(QLatin1Char('.')))
        dns.chop(1);
    return {me.stableID.value_or(QString::number(me.nodeID)), computerName, dns, port, me.login};
}

QJsonObject MacDetails::json() const
{
    return {{QStringLiteral("nodeId"), nodeId},
            {QStringLiteral("name"), name},
            {QStringLiteral("dnsName"), dnsName},
            {QStringLiteral("port"), port},
            {QStringLiteral("tailscaleLogin"), tailscaleLogin}};
}

MacDetails MacDetails::decode(const json::Reader& r)
{
    return {r.string("nodeId"), r.string("name"), r.string("dnsName"), r.integer("port"), r.string("tailscaleLogin")};
}

QByteArray Linked::encoded() const
{
    QJsonObject o{{QStringLiteral("macId"), macId},
                  {QStringLiteral("owner"), owner},
                  {QStringLiteral("email"), email},
                  {QStringLiteral("token"), token}};
    if (details)
        o.insert(QStringLiteral("details"), details->json());
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<Linked> Linked::decode(const QByteArray& bytes)
{
    try {
        const json::Reader r(json::parseObject(bytes));
        Linked linked{r.string("macId"), r.string("owner"), r.string("email"), r.string("token"), std::nullopt};
        if (auto details = r.optObject("details"))
            linked.details = MacDetails::decode(*details);
        return linked;
    } catch (const json::DecodeError&) {
        return std::nullopt;
    }
}

namespace PairCode {

QString make()
{
    const QByteArray bytes = randomBytes(6);
    QString code;
    for (const char b : bytes)
        code += QLatin1Char(alphabet[static_cast<unsigned char>(b) % 32]);
    return code;
}

QString display(const QString& code) { return code.left(3) + QLatin1Char(' ') + code.right(3); }

QString secret() { return QString::fromLatin1(randomBytes(32).toHex()); }

QString sha256Hex(const QString& text)
{
    const QByteArray data = text.toUtf8();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.constData(), static_cast<size_t>(data.size()), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), static_cast<int>(length)).toHex());
}

QUrl link(const QString& code, const MacDetails& details)
{
    const std::pair<const char*, QString> params[] = {
        {"c", code},
        {"h", details.dnsName},
        {"p", QString::number(details.port)},
        {"n", details.name},
        {"t", details.tailscaleLogin},
        {"i", details.nodeId},
    };
    QByteArray text = QByteArray(pageBase) + "/pair?";
    bool first = true;
    for (const auto& [name, value] : params) {
        if (!first)
            text += '&';
        first = false;
        // With no extra characters excluded, only A-Z a-z 0-9 - . _ ~ stay literal.
        text += QByteArray(name) + '=' + QUrl::toPercentEncoding(value);
    }
    return QUrl::fromEncoded(text, QUrl::StrictMode);
}

} // namespace PairCode

} // namespace core
