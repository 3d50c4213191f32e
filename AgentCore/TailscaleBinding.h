#pragma once

#include "Identity.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QThreadPool;

namespace core {

class Server;

// Keeps a listener bound to this machine's Tailscale address: resolves address, identity and
// interface off the main thread, listens pinned to the interface, retries every 5 s while that
// fails and checks every 30 s that the address has not moved. All methods run on the main thread.
class TailscaleBinding : public QObject {
    Q_OBJECT
public:
    // Makes the listener on `iface` for this machine's identity; throws when it cannot listen.
    // The listener calls `failed` (from any thread) when it stops working later.
    using Listen = std::function<std::unique_ptr<Server>(const QString& iface, const Whois& me, std::function<void()> failed)>;

    // `pool` runs the blocking Tailscale queries and outlives this object.
    TailscaleBinding(Listen listen, QThreadPool& pool);
    ~TailscaleBinding() override;

    void start();

    const TailscaleState& state() const { return state_; }
    // This machine's identity, known from the first successful bind on.
    const std::optional<Whois>& me() const { return me_; }
    std::optional<QString> boundIP() const;

signals:
    // Listening on `ip` (`iface`) as `me`.
    void listening(const QString& ip, const QString& iface);
    // Not listening: a retry is due.
    void lost();

private:
    struct Bound {
        QString ip;
        QString iface;
        friend bool operator==(const Bound&, const Bound&) = default;
    };
    void bind();
    void retry(const QString& reason);
    void listen(const QString& ip, const QString& iface, const Whois& me);
    void check();

    Listen listen_;
    QThreadPool& pool_;
    std::unique_ptr<Server> server_;
    TailscaleState state_ = TailscaleState::off();
    std::optional<Whois> me_;
    std::optional<Bound> boundTo_;
    quint64 attempt_ = 0; // results of an older bind() are dropped
    QTimer check_;
};

} // namespace core
