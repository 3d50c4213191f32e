#include "KeychainLinkStore.h"

#include "Log.h"
#include "linux/SecretStore.h"

namespace core {

namespace {

const QString kPairing = QStringLiteral("pairing");
const QString kPendingUnpair = QStringLiteral("pending-unpair");

void write(const QString& account, const QByteArray& value)
{
    const QString label = QStringLiteral("Dorvane remote agent (%1)").arg(account);
    if (auto failure = SecretStore::write(KeychainLinkStore::service, account, label, value))
        log(QStringLiteral("keychain save failed (") + *failure + QLatin1Char(')'));
}

} // namespace

std::optional<Linked> KeychainLinkStore::load()
{
    const auto bytes = SecretStore::read(service, kPairing);
    return bytes ? Linked::decode(*bytes) : std::nullopt;
}

void KeychainLinkStore::save(const Linked& linked) { write(kPairing, linked.encoded()); }

void KeychainLinkStore::clear() { SecretStore::remove(service, kPairing); }

std::optional<QString> KeychainLinkStore::loadPendingUnpair()
{
    const auto bytes = SecretStore::read(service, kPendingUnpair);
    return bytes ? std::optional(QString::fromUtf8(*bytes)) : std::nullopt;
}

void KeychainLinkStore::savePendingUnpair(const std::optional<QString>& token)
{
    if (token)
        write(kPendingUnpair, token->toUtf8());
    else
        SecretStore::remove(service, kPendingUnpair);
}

} // namespace core
