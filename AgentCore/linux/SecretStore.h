#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Byte values in the user's Secret Service keyring (gnome-keyring, KWallet), one item per
// (service, account) pair. Calls are synchronous and never prompt: items of a locked keyring are
// neither read nor written. Each call gives up after 3 s, so a keyring daemon that hangs or dies
// holds up its caller no longer; read and delete failures are logged.
namespace core::SecretStore {

// The value stored under (service, account); absent when there is none, the keyring is locked or
// no Secret Service answers.
std::optional<QByteArray> read(const QString& service, const QString& account);

// Replaces the value under (service, account) in the default keyring in one step, so a failed
// write leaves the previous value in place. Answers the reason when the value was not stored.
std::optional<QString> write(const QString& service, const QString& account, const QString& label,
                             const QByteArray& value);

// Deletes every readable item under (service, account); failures are logged, not thrown.
void remove(const QString& service, const QString& account);

} // namespace core::SecretStore
