#include "Agent.h"
#include "Confirm.h"
#include "Log.h"
#include "Notifier.h"
#include "PairingText.h"
#include "PairingWindow.h"
#include "SingleInstance.h"
#include "TrayMenu.h"
#include "linux/Memory.h"
#include "linux/QuitSignals.h"

#include <QApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

namespace {

// Desktop sessions start programs with a soft limit of 1024 descriptors; every connection, child
// process and X client costs some, and the hard limit is what the administrator actually allows.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        core::log(QStringLiteral("descriptor limit: ") + QString::fromLocal8Bit(std::strerror(errno)));
}

constexpr char kHelp[] = "Usage: remote-agent [--dev]\n"
                        "Lets your phone or tablet watch and control this computer over Tailscale.\n"
                        "\n"
                        "  --dev      developer mode: listen on 127.0.0.1 only (the configured port + 1),\n"
                        "             without Tailscale\n"
                        "  --version  print the version and exit\n"
                        "  --help     print this help and exit\n"
                        "\n"
                        "Configuration: ~/.config/nembi-remote-agent/config.json\n";

} // namespace

int main(int argc, char** argv)
{
    bool dev = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("remote-agent %s\n", qPrintable(core::Agent::version));
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        dev = dev || std::strcmp(argv[i], "--dev") == 0;
    }

    core::os::mapLargeBlocksApart();
    raiseDescriptorLimit();
    // A peer that vanishes mid-write must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);
    // Without any display the agent still serves; the tray and windows then stay invisible.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("nembi"));
    QApplication::setApplicationName(QStringLiteral("remote-agent"));
    QApplication::setQuitOnLastWindowClosed(false);

    // A second launch (say, from the desktop entry while the agent runs at login) shows the running
    // agent's pairing window: without a tray that window is the only way in.
    ui::SingleInstance instance;
    if (instance.handOver()) {
        core::log(QStringLiteral("already running: asked the running agent to show its pairing window"));
        return 0;
    }

    // Asked to end by the system (logout, a service manager, Ctrl+C), the agent quits as it does
    // from its menu: sessions closed with a reason, commands and streams ended. Made before the
    // agent, so that nothing in it takes these signals for unhandled.
    core::os::QuitSignals quitSignals([](int signal) {
        core::log(QStringLiteral("quitting (") + core::os::QuitSignals::name(signal) + QLatin1Char(')'));
        QApplication::quit();
    });

    core::Agent agent(dev);
    agent.start();

    ui::Notifier notifier;
    agent.pairing->onUnpairedRemotely = [&notifier] { notifier.unpaired(); };

    const auto unpair = [&agent](const std::function<void()>& then) {
        ui::TrayMenu::confirmUnpair(agent.pairing->linked(), ui::askWithDialog, [&agent] { agent.pairing->unpair(); }, then);
    };
    ui::PairingWindow window(*agent.pairing, [&agent] { return agent.details; }, unpair);
    ui::TrayMenu tray({.enable = [&agent](const QString& id) { agent.enableDevice(id); },
                       .disable = [&agent](const QString& id) { agent.disableDevice(id); },
                       .remove = [&agent](const QString& id) { agent.removeDevice(id); },
                       .unpair = [&agent] { agent.pairing->unpair(); },
                       .openPairing = [&window] { window.open(); },
                       .quit = [] { QApplication::quit(); }},
                      ui::askWithDialog);

    QObject::connect(&agent, &core::Agent::statusChanged, &tray, &ui::TrayMenu::update);
    QObject::connect(&agent, &core::Agent::statusChanged, &window, &ui::PairingWindow::update);
    tray.update(agent.status());
    window.update(agent.status());
    QObject::connect(&instance, &ui::SingleInstance::activated, &window, [&window] {
        core::log(QStringLiteral("second launch: showing the pairing window"));
        window.open();
    });

    if (ui::PairingText::opensAtStart(agent.pairing->linked(), dev))
        window.open();
    return QApplication::exec();
}
