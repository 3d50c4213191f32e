#include "Agent.h"
#include "Log.h"
#include "linux/Memory.h"

#include <QApplication>

#include <cerrno>
#include <csignal>
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

} // namespace

int main(int argc, char** argv)
{
    bool dev = false;
    for (int i = 1; i < argc; ++i)
        dev = dev || std::strcmp(argv[i], "--dev") == 0;

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

    core::Agent agent(dev);
    agent.start();
    return QApplication::exec();
}
