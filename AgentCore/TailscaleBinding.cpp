#include "TailscaleBinding.h"

#include "Log.h"
#include "Server.h"
#include "Tailscale.h"
#include "Threads.h"

#include <QPointer>
#include <QThreadPool>

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

TailscaleBinding::TailscaleBinding(Listen listen, QThreadPool& pool)
    : listen_(std::move(listen))
    , pool_(pool)
{
}

TailscaleBinding::~TailscaleBinding() = default;

std::optional<QString> TailscaleBinding::boundIP() const
{
    return boundTo_ ? std::optional(boundTo_->ip) : std::nullopt;
}

void TailscaleBinding::start()
{
    assertOwnThread(this);
    bind();
    check_.setInterval(kBindingCheckMs);
    check_.setTimerType(Qt::PreciseTimer);
    connect(&check_, &QTimer::timeout, this, &TailscaleBinding::check);
    check_.start();
}

void TailscaleBinding::bind()
{
    if (server_)
        server_->cancel();
    server_.reset();
    boundTo_.reset();

    const quint64 attempt = ++attempt_;
    QPointer<TailscaleBinding> self(this);
    pool_.start([self, attempt] {
        Resolved r = resolve();
        postToMain(self, [attempt, r = std::move(r)](TailscaleBinding* binding) {
            if (binding->attempt_ != attempt)
                return;
            if (r.failure)
                binding->retry(*r.failure);
            else
                binding->listen(r.ip, r.iface, r.me);
        });
    });
}

void TailscaleBinding::retry(const QString& reason)
{
    state_ = TailscaleState::off();
    emit lost();
    log(QStringLiteral("tailscale not ready (") + reason + QStringLiteral("); retry in 5s"));
    QTimer::singleShot(kRetryMs, Qt::PreciseTimer, this, [this] { bind(); });
}

void TailscaleBinding::listen(const QString& ip, const QString& iface, const Whois& me)
{
    QPointer<TailscaleBinding> self(this);
    std::unique_ptr<Server> server;
    try {
        server = listen_(iface, me, [self] {
            postToMain(self, [](TailscaleBinding* binding) { binding->retry(QStringLiteral("listener failed")); });
        });
    } catch (const std::exception& e) {
        retry(QStringLiteral("listen failed: ") + describe(e));
        return;
    }
    server_ = std::move(server);
    boundTo_ = Bound{ip, iface};
    me_ = me;
    state_ = TailscaleState::on(me.login);
    emit listening(ip, iface);
}

void TailscaleBinding::check()
{
    if (!boundTo_)
        return; // a bind is running or a retry is due
    const Bound checked = *boundTo_;
    QPointer<TailscaleBinding> self(this);
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
            postToMain(self, [why](TailscaleBinding*) { log(QStringLiteral("tailscale check failed (") + why + QLatin1Char(')')); });
            return;
        }
        if (ip == checked.ip && name == checked.iface)
            return;
        postToMain(self, [checked, ip, name](TailscaleBinding* binding) {
            // Another bind may have started since the check began; it already replaced this binding.
            if (binding->boundTo_ != checked)
                return;
            log(QStringLiteral("tailscale moved (") + ip.value_or(QStringLiteral("none")) + QStringLiteral(" in ")
                + name.value_or(QStringLiteral("none")) + QStringLiteral("); rebinding"));
            binding->bind();
        });
    });
}

} // namespace core
