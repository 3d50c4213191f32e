#include "Agent.h"

#include "CloseCodes.h"
#include "DesktopBackend.h"
#include "DisplaySource.h"
#include "LockState.h"
#include "Log.h"
#include "linux/Memory.h"
#include "PermissionsProbe.h"
#include "Server.h"
#include "Session.h"
#include "Threads.h"

#include <QDateTime>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <algorithm>

namespace core {

namespace {
// Permissions have no change notification here; they are looked at this often.
constexpr int kPresencePollMs = 5000;
// Long enough for a session's pipeline and capture threads to have let go of their buffers.
constexpr int kMemoryTrimDelayMs = 2000;
} // namespace

void DeleteLater::operator()(QObject* object) const
{
    if (object)
        object->deleteLater();
}

Agent::Agent(bool dev)
    : dev_(dev)
    , desktop_(createDesktopBackend())
{
    // Tailscale runs block in this pool; a couple of slow runs must not starve the others on a
    // two-core machine.
    pool_.setMaxThreadCount(std::max(16, QThread::idealThreadCount()));
}

Agent::~Agent()
{
    // Ending a session reaches back into the agent (onEnd erases it from sessions_), so the sessions
    // end and go while every member is still whole. Nothing else runs on this thread meanwhile, so
    // they are deleted here rather than through an event loop that may not run again.
    std::vector<std::unique_ptr<Session, DeleteLater>> sessions = std::move(sessions_);
    sessions_.clear();
    session_ = nullptr;
    // The client hears why (a session already closed, say for a lost display, keeps its reason).
    for (auto& s : sessions) {
        s->onEnd = nullptr;
        s->close(Close::agentQuit);
        std::unique_ptr<Session> now(s.release());
    }
}

void Agent::start()
{
    assertOwnThread(this);
    devices_.load();

    auto [config, configError] = Config::load(Config::defaultPath());
    config_ = std::move(config);
    configError_ = std::move(configError);
    if (config_.api && !config_.apiURL()) {
        const QString text = QStringLiteral("config.json: api is not a valid URL; using ") + CloudAPI::production;
        configError_ = configError_ ? *configError_ + QStringLiteral("; ") + text : text;
    }
    if (configError_)
        log(*configError_);

    startPairing();

    permissions_ = desktop_->permissions().probe();
    log(QStringLiteral("permissions ") + permissions_.text());
    presencePoll_.setInterval(kPresencePollMs);
    presencePoll_.setTimerType(Qt::PreciseTimer);
    connect(&presencePoll_, &QTimer::timeout, this, &Agent::pollPresence);
    presencePoll_.start();
    locked_ = desktop_->lockState().locked();
    connect(&desktop_->lockState(), &LockState::changed, this, &Agent::lockChanged);
    memoryTrim_.setSingleShot(true);
    memoryTrim_.setInterval(kMemoryTrimDelayMs);
    connect(&memoryTrim_, &QTimer::timeout, this, [] { os::returnFreeMemory(); });

    connect(&desktop_->displays(), &DisplaySource::lost, this, &Agent::displayServerLost);
    connect(&desktop_->displays(), &DisplaySource::changed, this, [this] {
        if (session_)
            session_->displaysChanged();
    });

    if (dev_)
        listenDev();
    else
        startBinding();
}

AgentStatus Agent::status() const
{
    assertOwnThread(this);
    AgentStatus s;
    if (pairing)
        s.link = pairing->linked();
    s.connectedDevice = connectedDevice_;
    s.connectedDeviceID = connectedDeviceID_;
    s.devices = devices_.list();
    s.tailscale = tailscale();
    s.locked = locked_;
    return s;
}

void Agent::notify() { emit statusChanged(status()); }

void Agent::pollPresence()
{
    const Permissions now = desktop_->permissions().probe();
    if (now == permissions_)
        return;
    permissions_ = now;
    pushPresence();
}

void Agent::lockChanged(bool locked)
{
    locked_ = locked;
    pushPresence();
    notify();
}

void Agent::pushPresence()
{
    // A send that fails ends its session, which leaves sessions_ while this walks it.
    std::vector<QPointer<Session>> told;
    for (const auto& s : sessions_)
        told.emplace_back(s.get());
    for (const QPointer<Session>& s : told)
        if (s)
            s->presenceChanged(permissions_, locked_);
}

void Agent::listenDev()
{
    const int port = static_cast<int>(config_.port) + 1;
    QPointer<Agent> self(this);
    try {
        server_ = std::make_unique<Server>(
            port, std::nullopt,
            [](const QString& remote, const Server::Decide& decide) {
                decide(remote == QLatin1String("127.0.0.1") ? Server::Verdict::trusted : Server::Verdict::refuse);
                return std::unique_ptr<QObject>();
            },
            [self](std::unique_ptr<WSConnection> conn) {
                if (self)
                    self->accept(std::move(conn), QStringLiteral("dev client"));
            },
            [] {});
    } catch (const std::exception& e) {
        log(QStringLiteral("listen failed: ") + describe(e));
        return;
    }
    log(QStringLiteral("DEV MODE: listening for 127.0.0.1:%1 only, no Tailscale auth").arg(port));
}

void Agent::accept(std::unique_ptr<WSConnection> conn, const QString& remote)
{
    assertOwnThread(this);
    std::unique_ptr<Session, DeleteLater> owned(new Session(std::move(conn), *desktop_, config_, configError_));
    Session* s = owned.get();
    auto claimed = std::make_shared<std::optional<QString>>();
    QPointer<Agent> self(this);
    QPointer<Session> weak(s);

    s->claim = [self, weak, remote, claimed](bool takeover) {
        if (!self || !weak)
            return false;
        return self->claimFor(weak.data(), remote, claimed, takeover);
    };
    s->onEnd = [self, weak, claimed] {
        if (self)
            self->ended(weak.data(), claimed);
    };
    s->gate = [self, remote](const HelloParam& hello, bool live) {
        return self ? self->admission(hello, live, remote) : Gate::Result::close(Close::signIn);
    };
    s->presenceChanged(permissions_, locked_);
    sessions_.push_back(std::move(owned));
    s->start();
}

bool Agent::claimFor(Session* s, const QString& remote, const std::shared_ptr<std::optional<QString>>& claimed,
                     bool takeover)
{
    if (session_ == s)
        return true;
    if (session_) {
        if (!takeover)
            return false;
        session_->kick();
    }
    session_ = s;
    log(QStringLiteral("session from ") + remote + (takeover ? QStringLiteral(" (took over)") : QString()));

    if (const std::optional<Device::Peer> peer = devices_.peer(remote)) {
        connectedDevice_ = peer->name;
        connectedDeviceID_ = peer->id;
        *claimed = peer->id;
        devices_.record(*peer, QDateTime::currentDateTimeUtc());
    } else {
        connectedDevice_ = remote;
        connectedDeviceID_.reset();
    }
    notify();
    return true;
}

void Agent::ended(Session* s, const std::shared_ptr<std::optional<QString>>& claimed)
{
    if (*claimed)
        devices_.touch(**claimed, QDateTime::currentDateTimeUtc());
    memoryTrim_.start();
    // Erasing releases the session through the event loop, so it may safely be on the stack.
    std::erase_if(sessions_, [s](const auto& owned) { return owned.get() == s; });
    if (session_ == s)
        session_ = nullptr;
    if (!session_) {
        connectedDevice_.reset();
        connectedDeviceID_.reset();
        notify();
    }
}

void Agent::closeActive(const CloseCode& why)
{
    if (!session_)
        return;
    session_->close(why);
}

void Agent::recordPeer(const QString& remote, const Device::Peer& peer)
{
    assertOwnThread(this);
    devices_.recordPeer(remote, peer);
}

void Agent::disableDevice(const QString& id)
{
    assertOwnThread(this);
    devices_.disable(id);
    if (connectedDeviceID_ == id)
        closeActive(Close::disabled);
    notify();
}

void Agent::enableDevice(const QString& id)
{
    assertOwnThread(this);
    devices_.enable(id);
    notify();
}

void Agent::removeDevice(const QString& id)
{
    assertOwnThread(this);
    devices_.remove(id);
    if (connectedDeviceID_ == id)
        closeActive(Close::removed);
    notify();
}

} // namespace core
