// The agent's side of pairing: creating the controller, its hooks, the refresh timer, the
// admission of hellos and this Mac's details for the cloud.
#include "Agent.h"

#include "KeychainLinkStore.h"
#include "Log.h"
#include "Platform.h"
#include "Session.h"

#include <QPointer>

namespace core {

namespace {

// Six hours between checks of the link with the cloud. Tests shorten it through the environment:
// nothing else reaches the refresh.
constexpr int kPairingRefreshMs = 21600 * 1000;

int pairingRefreshMs()
{
    bool ok = false;
    const int fromEnv = qEnvironmentVariableIntValue("REMOTE_AGENT_PAIRING_REFRESH_MS", &ok);
    return ok && fromEnv > 0 ? fromEnv : kPairingRefreshMs;
}

} // namespace

void Agent::startPairing()
{
    const QUrl base = config_.apiURL().value_or(QUrl(CloudAPI::production));
    pairing = std::make_unique<PairingController>(CloudAPI(base, CloudAPI::urlSession(this)),
                                                  std::make_unique<KeychainLinkStore>(),
                                                  [] { return QDateTime::currentDateTimeUtc(); });

    QPointer<Agent> self(this);
    pairing->onChange = [self] {
        if (self)
            self->notify();
    };
    pairing->onUnlinked = [self] {
        if (!self)
            return;
        self->closeActive(Close::notPaired);
        self->devices_.clear(std::nullopt);
    };
    pairing->onOwnerChanged = [self] {
        if (!self)
            return;
        self->devices_.clear(self->connectedDeviceID_);
    };

    pairing->check([self] {
        if (self)
            self->pairing->flushUnpair();
    });

    pairingRefresh_.setInterval(pairingRefreshMs());
    pairingRefresh_.setTimerType(Qt::PreciseTimer);
    connect(&pairingRefresh_, &QTimer::timeout, this, &Agent::refreshPairing);
    pairingRefresh_.start();
}

void Agent::refreshPairing()
{
    QPointer<Agent> self(this);
    pairing->check([self] {
        if (!self)
            return;
        self->pairing->flushUnpair([self] {
            if (!self || !self->binding_ || !self->binding_->me())
                return;
            const MacDetails d = self->makeDetails(*self->binding_->me());
            if (self->details != d) {
                self->details = d;
                self->notify();
            }
            self->pairing->sync(d);
        });
    });
}

MacDetails Agent::makeDetails(const Whois& me) const
{
    return MacDetails::make(me, Platform::computerName(), binding_ ? binding_->boundIP() : std::nullopt, config_.port);
}

Gate::Result Agent::admission(const HelloParam& hello, bool live, const QString& remote)
{
    if (!dev_ && !live && guesses_.barred(remote, hello.pairCode, pairing->admittedCode())) {
        log(QStringLiteral("pairing: too many wrong codes from ") + remote);
        return Gate::Result::close(Close::signIn);
    }
    const std::optional<Device::State> device = devices_.stateAt(remote);
    return Gate::decide(hello.ticket, hello.pairCode, live, pairing->linked(), pairing->admittedCode(), dev_, device,
                        QDateTime::currentDateTimeUtc(), Ticket::keys());
}

} // namespace core
