#include "Agent.h"

#include <QApplication>

#include <csignal>
#include <cstring>

int main(int argc, char** argv)
{
    bool dev = false;
    for (int i = 1; i < argc; ++i)
        dev = dev || std::strcmp(argv[i], "--dev") == 0;

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

    core::Agent agent(dev);
    agent.start();
    return QApplication::exec();
}
