#include "MutterDesktop.h"

#include "WindowControl.h"

#include "Clipboard.h"
#include "GnomeShellWindows.h"
#include "InputInjector.h"
#include "Log.h"
#include "MutterBus.h"
#include "MutterClipboard.h"
#include "MutterDisplaySource.h"
#include "MutterFrameSource.h"
#include "MutterInput.h"
#include "MutterScreenCast.h"
#include "PermissionsProbe.h"
#include "linux/DesktopActions.h"
#include "linux/GnomePresence.h"

namespace core::mutter {

namespace {

const QString kConnectionName = QStringLiteral("remote-agent-mutter");

} // namespace

// Mutter asks nobody before casting or injecting for a client of the session bus: what it serves
// is what the agent may do.
class Desktop::Permissions : public PermissionsProbe {
public:
    explicit Permissions(QDBusConnection bus) : bus_(std::move(bus)) { }
    core::Permissions probe() override
    {
        return {missingServices(bus_, {kScreenCast}).isEmpty(), missingServices(bus_, {kRemoteDesktop}).isEmpty()};
    }

private:
    QDBusConnection bus_;
};

Desktop::Desktop(std::optional<QDBusConnection> bus)
    : bus_(bus ? *bus : QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnectionName))
    , ownConnection_(!bus)
    , signals_(std::make_shared<CastSignals>(bus_))
    , displays_(std::make_unique<DisplaySource>(bus_))
    , permissions_(std::make_unique<Permissions>(bus_))
    , presence_(std::make_unique<os::GnomePresence>(bus_))
    , actions_(std::make_unique<os::DesktopActions>([this] { return openInput(); }, [] {
        log(QStringLiteral("actions: display.sleep: not offered on GNOME Wayland"));
    }))
{
}

Desktop::~Desktop()
{
    actions_.reset();
    clipboard_.reset();
    displays_.reset();
    signals_.reset();
    if (ownConnection_)
        QDBusConnection::disconnectFromBus(kConnectionName);
}

core::DisplaySource& Desktop::displays() { return *displays_; }

core::PermissionsProbe& Desktop::permissions() { return *permissions_; }

IdleInhibitor& Desktop::idleInhibitor() { return *presence_; }

LockState& Desktop::lockState() { return *presence_; }

std::unique_ptr<core::FrameSource> Desktop::openFrames()
{
    if (!bus_.isConnected())
        throw AgentError(QStringLiteral("The connection to the GNOME desktop was lost."));
    return std::make_unique<FrameSource>(bus_, signals_);
}

std::unique_ptr<InputInjector> Desktop::openInput() { return Input::open(bus_, signals_); }

SystemActions& Desktop::actions() { return *actions_; }

core::Clipboard& Desktop::clipboard()
{
    if (!clipboard_)
        clipboard_ = Clipboard::open(bus_);
    if (!clipboard_)
        clipboard_ = std::make_unique<MemoryClipboard>();
    return *clipboard_;
}

core::WindowControl& Desktop::windows()
{
    if (!windows_)
        windows_ = std::make_unique<GnomeShellWindows>(bus_);
    return *windows_;
}

} // namespace core::mutter
