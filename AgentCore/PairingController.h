#pragma once

#include "CloudAPI.h"
#include "PairingRecords.h"

#include <QDateTime>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

namespace core {

// The pairing state machine: the link, the code offered for pairing and a pending unlink.
// All methods run on the main thread. Asynchronous operations take an optional completion that
// runs once the cloud answered (never when the controller is gone by then); after each answer
// they act only if the link, token or code they started from is still current.
class PairingController : public QObject {
    Q_OBJECT
public:
    using Clock = std::function<QDateTime()>;
    using Done = std::function<void()>;

    // A shown code lives this long, in seconds.
    static constexpr int codeLifetime = 600;

    struct Showing {
        QString code;
        QString secret;
        QString token;
        QDateTime expiresAt;
        bool registered = false;
        friend bool operator==(const Showing&, const Showing&) = default;
    };

    struct Claimed {
        QString code;
        QDateTime expiresAt;
    };

    PairingController(CloudAPI api, std::unique_ptr<LinkStore> store, Clock now, QObject* parent = nullptr);
    ~PairingController() override;

    const std::optional<Linked>& linked() const { return linked_; }
    const std::optional<Showing>& showing() const { return showing_; }
    const std::optional<QString>& pendingUnpair() const { return pendingUnpair_; }
    const std::optional<Claimed>& claimed() const { return claimed_; }

    std::function<void()> onChange = [] {};
    std::function<void()> onUnpairedRemotely = [] {};
    std::function<void()> onUnlinked = [] {};
    std::function<void()> onOwnerChanged = [] {};

    // The code on screen while it has not expired.
    std::optional<QString> shownCode() const;
    // The code a phone may use to connect: the shown one, else the one just claimed until the
    // expiry it had while shown.
    std::optional<QString> admittedCode() const;

    void show();
    void hide();
    // One step of pairing: deliver a pending unlink, then register, poll or renew the code.
    void tick(const MacDetails& details, Done done = {});
    // Asks the cloud whether the link still exists; forgets it when the cloud says it does not.
    void check(Done done = {});
    // Delivers a pending unlink.
    void flushUnpair(Done done = {});
    // Publishes changed details.
    void sync(const MacDetails& details, Done done = {});
    // Unlinks this Mac now and tells the cloud as soon as it can.
    void unpair();

private:
    void step(const MacDetails& details, Done done);
    void registered(const Showing& sent, const Outcome<bool>& outcome);
    void polled(const Showing& sent, const MacDetails& details, const Outcome<CloudAPI::Poll>& outcome);
    bool stillShowing(const Showing& sent) const;
    void renew();

    CloudAPI api_;
    std::unique_ptr<LinkStore> store_;
    Clock now_;
    std::optional<Linked> linked_;
    std::optional<Showing> showing_;
    std::optional<QString> pendingUnpair_;
    std::optional<Claimed> claimed_;
};

} // namespace core
