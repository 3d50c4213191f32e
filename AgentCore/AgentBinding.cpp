// The agent's side of its Tailscale binding: the listener it binds and who may connect to it.
#include "Agent.h"

#include "Auth.h"
#include "Log.h"
#include "Server.h"
#include "Tailscale.h"

#include <QPointer>

namespace core {

void Agent::startBinding()
{
    QPointer<Agent> self(this);
    binding_ = std::make_unique<TailscaleBinding>(
        [self](const QString& iface, const Whois& me, std::function<void()> failed) {
            const QString owner = self->config_.owner.value_or(me.login);
            return std::make_unique<Server>(
                static_cast<int>(self->config_.port), iface, self->tailscaleAdmit(owner, me.nodeID),
                [self](std::unique_ptr<WSConnection> conn) {
                    if (!self)
                        return;
                    const QString remote = conn->remoteIP();
                    self->accept(std::move(conn), remote);
                },
                std::move(failed));
        },
        pool_);
    connect(binding_.get(), &TailscaleBinding::lost, this, &Agent::notify);
    connect(binding_.get(), &TailscaleBinding::listening, this, &Agent::listening);
    binding_->start();
}

void Agent::listening(const QString& ip, const QString& iface)
{
    const Whois& me = *binding_->me();
    details = makeDetails(me);
    notify();
    pairing->sync(*details);
    log(QStringLiteral("listening on ") + ip + QLatin1Char(':') + QString::number(config_.port) + QStringLiteral(" (")
        + iface + QStringLiteral(") for ") + config_.owner.value_or(me.login));
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
