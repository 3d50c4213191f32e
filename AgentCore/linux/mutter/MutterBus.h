#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QStringList>

// Names of Mutter's remote-desktop services and the calls the backend makes to them.
namespace core::mutter {

inline const QString kDisplayConfig = QStringLiteral("org.gnome.Mutter.DisplayConfig");
inline const QString kDisplayConfigPath = QStringLiteral("/org/gnome/Mutter/DisplayConfig");
inline const QString kRemoteDesktop = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
inline const QString kRemoteDesktopPath = QStringLiteral("/org/gnome/Mutter/RemoteDesktop");
inline const QString kRemoteDesktopSession = QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session");
inline const QString kScreenCast = QStringLiteral("org.gnome.Mutter.ScreenCast");
inline const QString kScreenCastPath = QStringLiteral("/org/gnome/Mutter/ScreenCast");
inline const QString kScreenCastSession = QStringLiteral("org.gnome.Mutter.ScreenCast.Session");
inline const QString kScreenCastStream = QStringLiteral("org.gnome.Mutter.ScreenCast.Stream");

// Mutter answers at once when it runs; a compositor that stopped answering must not hold a
// capture or the main thread for D-Bus's default 25 s.
constexpr int kCallTimeoutMs = 5000;

// The services of `required` missing from `bus`, in that order.
QStringList missingServices(const QDBusConnection& bus, const QStringList& required);
// The three services the backend cannot do without.
QStringList requiredServices();

// A blocking call; the reply, or an error message (its text says which call failed).
QDBusMessage call(const QDBusConnection& bus, const QString& service, const QString& path,
                  const QString& interface, const QString& method, const QVariantList& args = {});

} // namespace core::mutter
