#include "MutterSession.h"

#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QEventLoop>
#include <QFileSystemWatcher>
#include <QTimer>

#include <csignal>
#include <functional>
#include <sys/prctl.h>

namespace {

const QString kBusName = QStringLiteral("mutter-session-test-bus");
// A loaded two-core machine starts Mutter in a few seconds; this is far beyond that.
constexpr int kStartLimitMs = 60000;
const QStringList kServices{QStringLiteral("org.gnome.Mutter.RemoteDesktop"), QStringLiteral("org.gnome.Mutter.ScreenCast"),
                            QStringLiteral("org.gnome.Mutter.DisplayConfig")};

// Runs the event loop until `done` holds, re-checking whenever `poke` is called; false when the
// limit passed first.
bool waitUntil(const std::function<bool()>& done, const std::function<void(QObject*, std::function<void()>)>& poke)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(kStartLimitMs);
    // The loop is the connections' context: they end with it.
    poke(&loop, [&] {
        if (done())
            loop.quit();
    });
    loop.exec();
    return done();
}

} // namespace

MutterSession::MutterSession()
{
    hadRuntime_ = qEnvironmentVariableIsSet("PIPEWIRE_RUNTIME_DIR");
    previousRuntime_ = qgetenv("PIPEWIRE_RUNTIME_DIR");
    hadDisplay_ = qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    previousDisplay_ = qgetenv("WAYLAND_DISPLAY");
    start();
}

MutterSession::~MutterSession()
{
    QDBusConnection::disconnectFromBus(kBusName);
    // Clients first, the services they use last.
    for (QProcess* p : {&mutter_, &wireplumber_, &pipewire_}) {
        if (p->state() == QProcess::NotRunning)
            continue;
        p->terminate();
        if (!p->waitForFinished(10000)) {
            p->kill();
            p->waitForFinished(5000);
        }
    }
    if (hadRuntime_)
        qputenv("PIPEWIRE_RUNTIME_DIR", previousRuntime_);
    else
        qunsetenv("PIPEWIRE_RUNTIME_DIR");
    if (hadDisplay_)
        qputenv("WAYLAND_DISPLAY", previousDisplay_);
    else
        qunsetenv("WAYLAND_DISPLAY");
}

QDBusConnection MutterSession::bus() const { return QDBusConnection(kBusName); }

bool MutterSession::launch(QProcess& process, const QString& program, const QStringList& arguments)
{
    const QString root = dir_.path();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus_.address());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/run"));
    env.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/home/.config"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), root + QStringLiteral("/home/.state"));
    // No dconf service answers on the private bus.
    env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        error_ = program + QStringLiteral(" could not be started: ") + process.errorString();
        return false;
    }
    return true;
}

void MutterSession::start()
{
    if (!dir_.isValid() || bus_.address().isEmpty()) {
        error_ = QStringLiteral("no private session bus (dbus-daemon)");
        return;
    }
    const QString run = dir_.path() + QStringLiteral("/run");
    QDir().mkpath(run);
    QDir().mkpath(dir_.path() + QStringLiteral("/home"));
    QFile::setPermissions(run, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("PIPEWIRE_RUNTIME_DIR", run.toUtf8());

    if (!launch(pipewire_, QStringLiteral("pipewire"), {}))
        return;
    QFileSystemWatcher runDir({run});
    const bool pipewireUp = waitUntil([&] { return QFile::exists(run + QStringLiteral("/pipewire-0")) || pipewire_.state() == QProcess::NotRunning; },
                                      [&](QObject* context, std::function<void()> check) {
                                          QObject::connect(&runDir, &QFileSystemWatcher::directoryChanged, context, check);
                                          QObject::connect(&pipewire_, &QProcess::finished, context, check);
                                      });
    if (!pipewireUp || pipewire_.state() == QProcess::NotRunning) {
        error_ = QStringLiteral("pipewire did not open its socket");
        return;
    }
    if (!launch(wireplumber_, QStringLiteral("wireplumber"), {}))
        return;

    QDBusConnection connection = QDBusConnection::connectToBus(bus_.address(), kBusName);
    if (!connection.isConnected()) {
        error_ = QStringLiteral("cannot connect to the private bus: ") + connection.lastError().message();
        return;
    }
    QDBusServiceWatcher watcher(QString(), connection, QDBusServiceWatcher::WatchForRegistration);
    watcher.setWatchedServices(kServices);
    if (!launch(mutter_, QStringLiteral("mutter"),
                {QStringLiteral("--headless"), QStringLiteral("--virtual-monitor"), QStringLiteral("1920x1080"),
                 QStringLiteral("--wayland"), QStringLiteral("--no-x11")}))
        return;
    const auto served = [&] {
        for (const QString& s : kServices) {
            if (!connection.interface()->isServiceRegistered(s).value())
                return false;
        }
        return true;
    };
    const bool up = waitUntil([&] { return mutter_.state() == QProcess::NotRunning || served(); },
                              [&](QObject* context, std::function<void()> check) {
                                  QObject::connect(&watcher, &QDBusServiceWatcher::serviceRegistered, context, check);
                                  QObject::connect(&mutter_, &QProcess::finished, context, check);
                              });
    if (!up || mutter_.state() == QProcess::NotRunning) {
        error_ = QStringLiteral("mutter did not serve its remote-desktop services");
        return;
    }
    // An absolute path: this process's runtime directory is not the session's.
    qputenv("WAYLAND_DISPLAY", (run + QStringLiteral("/wayland-0")).toUtf8());
}

void MutterSession::startClient(QProcess& process, const QString& program, const QStringList& arguments) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("wayland-0"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_.path() + QStringLiteral("/run"));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus_.address());
    process.setProcessEnvironment(env);
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.start(program, arguments);
}

QString MutterSession::gdbusCall(const QStringList& arguments)
{
    QProcess gdbus;
    gdbus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    gdbus.start(QStringLiteral("gdbus"), QStringList{QStringLiteral("call"), QStringLiteral("--address"), bus_.address()} + arguments);
    if (!gdbus.waitForFinished(30000) || gdbus.exitCode() != 0) {
        error_ = QStringLiteral("gdbus call failed: ") + arguments.join(QLatin1Char(' '));
        return {};
    }
    return QString::fromUtf8(gdbus.readAllStandardOutput());
}
