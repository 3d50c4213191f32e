// The agent's binding to its Tailscale address: find address, identity and interface, listen pinned
// to that interface, retry while Tailscale is not ready, and rebind when the address moves.
#include "Agent.h"

#include "Auth.h"
#include "Log.h"
#include "Server.h"
#include "Threads.h"

#include <QPointer>

namespace core {

namespace {

constexpr int kRetryMs = 5000;
constexpr int kBindingCheckMs = 30000;

// What a bind worker found: everything `listen` needs, or why it cannot listen yet.
struct Resolved {
    QString ip;
    Whois me;
    QString iface;
    std::optional<QString> failure;
};

// Runs the `tailscale` program: worker threads only.
Resolved resolve()
{
    Resolved r;
    try {
        r.ip = Tailscale::ipv4();
        r.me = Tailscale::whois(r.ip);
        const std::optional<QString> name = Tailscale::interfaceName(r.ip);
        if (!name)
            throw AgentError(QStringLiteral("no interface has ") + r.ip);
        const std::optional<QString> iface = Tailscale::nwInterface(*name);
        if (!iface)
            r.failure = QStringLiteral("interface ") + *name + QStringLiteral(" not available");
        else
            r.iface = *iface;
    } catch (const std::exception& e) {
        r.failure = describe(e);
    }
    return r;
}

} // namespace

void Agent::startBinding()
{
    bind();
    bindingCheck_.setInterval(kBindingCheckMs);
    bindingCheck_.setTimerType(Qt::PreciseTimer);
    connect(&bindingCheck_, &QTimer::timeout, this, &Agent::checkBinding);
    bindingCheck_.start();
}

void Agent::bind()
{
    if (server_)
        server_->cancel();
    server_.reset();
    boundTo_.reset();

    const quint64 attempt = ++bindAttempt_;
    QPointer<Agent> self(this);
    pool_.start([self, attempt] {
        Resolved r = resolve();
        postToMain(self, [attempt, r = std::move(r)](Agent* agent) {
            if (agent->bindAttempt_ != attempt)
                return;
            if (r.failure)
                agent->retry(*r.failure);
            else
                agent->listen(r.ip, r.iface, r.me);
        });
    });
}

void Agent::retry(const QString& reason)
{
    tailscale_ = TailscaleState::off();
    notify();
    log(QStringLiteral("tailscale not ready (") + reason + QStringLiteral("); retry in 5s"));
    QTimer::singleShot(kRetryMs, Qt::PreciseTimer, this, [this] { bind(); });
}

void Agent::listen(const QString& ip, const QString& iface, const Whois& me)
{
    const QString owner = config_.owner.value_or(me.login);
    const int port = static_cast<int>(config_.port);
    QPointer<Agent> self(this);
    std::unique_ptr<Server> server;
    try {
        server = std::make_unique<Server>(
            port, iface, tailscaleAdmit(owner, me.nodeID),
            [self](std::unique_ptr<WSConnection> conn) {
                if (!self)
                    return;
                const QString remote = conn->remoteIP();
                self->accept(std::move(conn), remote);
            },
            [self] { postToMain(self, [](Agent* agent) { agent->retry(QStringLiteral("listener failed")); }); });
    } catch (const std::exception& e) {
        retry(QStringLiteral("listen failed: ") + describe(e));
        return;
    }

    server_ = std::move(server);
    boundTo_ = Binding{ip, iface};
    me_ = me;
    details = makeDetails(me);
    tailscale_ = TailscaleState::on(me.login);
    notify();
    pairing->sync(*details);
    log(QStringLiteral("listening on ") + ip + QLatin1Char(':') + QString::number(port) + QStringLiteral(" (") + iface
        + QStringLiteral(") for ") + owner);
}

void Agent::checkBinding()
{
    if (!boundTo_)
        return; // a bind is running or a retry is due
    const Binding checked = *boundTo_;
    QPointer<Agent> self(this);
    pool_.start([self, checked] {
        std::optional<QString> ip;
        std::optional<QString> name;
        try {
            try {
                ip = Tailscale::ipv4IfAny();
            } catch (const std::exception&) {
                // The command failed, which is not an answer: the binding stands while its
                // interface still carries the address.
                if (Tailscale::interfaceName(checked.ip) == checked.iface)
                    throw;
            }
            name = ip ? Tailscale::interfaceName(*ip) : std::nullopt;
        } catch (const std::exception& e) {
            const QString why = describe(e);
            postToMain(self, [why](Agent*) { log(QStringLiteral("tailscale check failed (") + why + QLatin1Char(')')); });
            return;
        }
        if (ip == checked.ip && name == checked.iface)
            return;
        postToMain(self, [checked, ip, name](Agent* agent) {
            // Another bind may have started since the check began; it already replaced this binding.
            if (agent->boundTo_ != checked)
                return;
            log(QStringLiteral("tailscale moved (") + ip.value_or(QStringLiteral("none")) + QStringLiteral(" in ")
                + name.value_or(QStringLiteral("none")) + QStringLiteral("); rebinding"));
            agent->bind();
        });
    });
}

Server::Admit Agent::tailscaleAdmit(const QString& owner, qint64 selfNodeID)
{
    // One `tailscale whois` per connection, watched from the event loop rather than waited for on
    // a worker: a hung run then costs a child process, never a pool thread.
    QPointer<Agent> self(this);
    return [self, owner, selfNodeID](const QString& remote, Server::Decide decide) -> std::unique_ptr<QObject> {
        return Tailscale::whoisAsync(remote, [self, owner, selfNodeID, remote, decide](const Tailscale::WhoisResult& r) {
            if (r.local) {
                log(QStringLiteral("cannot check ") + remote + QStringLiteral(" (") + r.failure + QLatin1Char(')'));
                decide(Server::Verdict::unavailable);
                return;
            }
            const bool admitted = r.whois && Auth::decide(*r.whois, owner, selfNodeID);
            if (!admitted)
                log(QStringLiteral("rejected ") + remote + QStringLiteral(" (") + (r.whois ? r.whois->login : r.failure)
                    + QLatin1Char(')'));
            if (std::optional<Device::Peer> peer = Device::peer(r.whois, remote); peer && self)
                self->recordPeer(remote, *peer);
            decide(admitted ? Server::Verdict::admit : Server::Verdict::refuse);
        });
    };
}

} // namespace core
