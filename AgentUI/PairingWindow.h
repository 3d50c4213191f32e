#pragma once

#include "AgentStatus.h"
#include "PairingController.h"

#include <QDateTime>
#include <QImage>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QPushButton;

namespace ui {

// The pairing window: the QR code and the code to type, a countdown to the code's expiry and
// whether Tailscale is on; when paired, the account with "Show code" and "Unpair…". While open it
// steps the pairing controller every 3 seconds, and it closes itself 2 seconds after a pairing
// succeeded. One window for the whole process, hidden rather than destroyed.
// All methods run on the main thread.
class PairingWindow : public QWidget {
    Q_OBJECT
public:
    using Details = std::function<std::optional<core::MacDetails>()>;

    // `pairing` is borrowed and outlives the window. `details` reads this Mac's details (absent
    // until the agent knows them); `unpair` asks and unpairs, then calls its argument.
    PairingWindow(core::PairingController& pairing, Details details,
                  std::function<void(std::function<void()> then)> unpair);
    ~PairingWindow() override;

    // Opens now, or once the screen is unlocked when it is locked.
    void open();
    // Shows the window (offering a code when unpaired) and starts stepping.
    void present();
    // Presents on the first status that reports the screen unlocked; asking twice waits once.
    void showOnUnlock();
    // Takes the agent's new status (Tailscale, lock) and shows the current pairing state.
    void update(const core::AgentStatus& status);
    void refresh();
    void step();

    bool stepping() const { return step_.isActive(); }
    bool waitingForUnlock() const { return waitingForUnlock_; }
    const QImage& qr() const { return qr_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void justPaired();
    void place();
    void showCountdown();

    core::PairingController& pairing_;
    Details details_;
    std::function<void(std::function<void()>)> unpair_;
    core::TailscaleState tailscale_;
    bool locked_ = false;
    bool waitingForUnlock_ = false;
    std::optional<QDateTime> expiresAt_;
    QImage qr_;

    QTimer step_;
    QTimer countdown_;
    QTimer closeLater_;

    // Children of this window.
    QLabel* title_;
    QWidget* instructions_;
    QLabel* qrLabel_;
    QLabel* code_;
    QLabel* countdownLabel_;
    QWidget* pairedButtons_;
    QLabel* tailscaleIcon_;
    QLabel* tailscaleText_;
};

} // namespace ui
