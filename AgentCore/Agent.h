#pragma once

#include "AgentStatus.h"
#include "Config.h"
#include "DeviceBook.h"
#include "Gate.h"
#include "PairingController.h"
#include "Protocol.h"
#include "Server.h"
#include "TailscaleBinding.h"

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace core {

class DesktopBackend;
class Session;
class WSConnection;

// Sessions are QObjects that may be dropped from inside their own call chain (a session ending
// removes itself from the agent): they are released from the event loop, never synchronously.
struct DeleteLater {
    void operator()(QObject* object) const;
};

// The one coordinator of the process: configuration, listener, sessions, devices and status.
// All methods run on the main thread.
class Agent : public QObject {
    Q_OBJECT
public:
    static inline const QString version = QStringLiteral("0.1.0");
    // The process's exit status when its X server went away.
    static constexpr int kExitDisplayLost = 1;

    explicit Agent(bool dev);
    ~Agent() override;

    // Start-up sequence; called once before the event loop runs.
    void start();

    // What the user interface shows; statusChanged() carries the same after every change.
    AgentStatus status() const;
    TailscaleState tailscale() const { return binding_ ? binding_->state() : TailscaleState::off(); }
    const std::optional<QString>& connectedDevice() const { return connectedDevice_; }
    const std::optional<QString>& connectedDeviceID() const { return connectedDeviceID_; }
    const DeviceList& devices() const { return devices_.list(); }

    // Remembers who Tailscale says is behind a remote address (a later peer replaces an earlier one).
    void recordPeer(const QString& remote, const Device::Peer& peer);

    // Device commands from the status menu.
    void disableDevice(const QString& id);
    void enableDevice(const QString& id);
    void removeDevice(const QString& id);

    // Pairing (AgentPairing.cpp). `pairing` exists from start() on; `details` is what this Mac
    // tells the cloud about itself, known once it listens on Tailscale.
    std::unique_ptr<PairingController> pairing;
    std::optional<MacDetails> details;

signals:
    void statusChanged(const core::AgentStatus& status);

private:
    void notify();
    void pollPresence();
    void lockChanged(bool locked);
    void pushPresence();
    void listenDev();

    // Tailscale binding (AgentBinding.cpp): the listener and its admission of Tailscale peers.
    void startBinding();
    void listening(const QString& ip, const QString& iface);
    Server::Admit tailscaleAdmit(const QString& owner, qint64 selfNodeID);
    void accept(std::unique_ptr<WSConnection> conn, const QString& remote);
    bool claimFor(Session* s, const QString& remote, const std::shared_ptr<std::optional<QString>>& claimed,
                  bool takeover);
    void ended(Session* s, const std::shared_ptr<std::optional<QString>>& claimed);
    void closeActive(const CloseCode& why);
    // The X server is gone (AgentDisplayLoss.cpp): sessions are closed and the process exits.
    void displayServerLost();

    // Pairing (AgentPairing.cpp).
    void startPairing();
    void refreshPairing();
    Gate::Result admission(const HelloParam& hello, bool live, const QString& remote);
    // This Mac's details for the cloud from its own identity and the bound address.
    MacDetails makeDetails(const Whois& me) const;

    const bool dev_;
    // Created once; lent to every session, which it outlives (sessions end in ~Agent first).
    std::unique_ptr<DesktopBackend> desktop_;
    Config config_;
    std::optional<QString> configError_;
    std::unique_ptr<Server> server_;
    Session* session_ = nullptr; // the active session; always an element of sessions_
    std::vector<std::unique_ptr<Session, DeleteLater>> sessions_;
    DeviceBook devices_;
    std::optional<QString> connectedDevice_;
    std::optional<QString> connectedDeviceID_;
    bool locked_ = false;
    // Presence is watched here, once for every session, and pushed to them.
    Permissions permissions_;
    QTimer presencePoll_;
    Gate::CodeGuesses guesses_;
    std::unique_ptr<TailscaleBinding> binding_; // absent in development mode
    QTimer pairingRefresh_;
    // A while after a session ends, the memory its stream used goes back to the system.
    QTimer memoryTrim_;
    // Blocking runs of the agent's own (Tailscale queries). Declared last: it is destroyed, and
    // waits for its runs, first; their results find the agent gone and are dropped.
    QThreadPool pool_;
};

} // namespace core
