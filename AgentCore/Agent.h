#pragma once

#include "Config.h"
#include "Devices.h"
#include "Gate.h"
#include "PairingController.h"
#include "Protocol.h"
#include "Tailscale.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace core {

class Server;
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

    explicit Agent(bool dev);
    ~Agent() override;

    // Start-up sequence; called once before the event loop runs.
    void start();

    // Status for the user interface.
    TailscaleState tailscale = TailscaleState::off();
    std::optional<QString> connectedDevice;
    std::optional<QString> connectedDeviceID;
    DeviceList devices;
    std::function<void()> onStatusChange = [] {};

    // Device commands from the status menu.
    void disableDevice(const QString& id);
    void enableDevice(const QString& id);
    void removeDevice(const QString& id);

    static const QString kReplaced;

    // Pairing (AgentPairing.cpp). `pairing` exists from start() on; `details` is what this Mac
    // tells the cloud about itself, known once it listens on Tailscale.
    std::unique_ptr<PairingController> pairing;
    std::optional<MacDetails> details;

private:
    void loadDevices();
    void saveDevices();
    void listenDev();
    void bind();
    void accept(std::unique_ptr<WSConnection> conn, const QString& remote);
    bool claimFor(Session* s, const QString& remote, const std::shared_ptr<std::optional<QString>>& claimed,
                  bool takeover);
    void ended(Session* s, const std::shared_ptr<std::optional<QString>>& claimed);
    void closeActive(quint16 code, const QString& reason);

    // Pairing (AgentPairing.cpp).
    void startPairing();
    void refreshPairing();
    Gate::Result admission(const HelloParam& hello, bool live, const QString& remote) const;
    MacDetails makeDetails(const Whois& me, const QString& boundIP) const;
    // Called after a successful listen: remembers the identity, computes `details` and publishes them.
    void adoptIdentity(const Whois& me, const QString& boundIP);

    const bool dev_;
    Config config_;
    std::optional<QString> configError_;
    std::unique_ptr<Server> server_;
    Session* session_ = nullptr; // the active session; always an element of sessions_
    std::vector<std::unique_ptr<Session, DeleteLater>> sessions_;
    std::map<QString, Device::Peer> peers_;
    // The identity and address of the last successful listen, for the cloud details.
    std::optional<std::pair<Whois, QString>> identity_;
    QTimer pairingRefresh_;
};

} // namespace core
