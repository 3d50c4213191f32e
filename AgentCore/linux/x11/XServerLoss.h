#pragma once

#include <QString>
#include <QtGlobal>
#include <qnamespace.h>

#include <functional>

namespace core::x11 {

// Qt's own X connection (the tray, the windows) ends the process the moment it finds the server
// gone, after one warning and before the event loop turns again; whichever of the agent's own
// connections notices first may be too late. While an instance lives, that warning on the thread
// that created it runs `onLost` first, once, so the agent can say goodbye before the process ends.
class QtConnectionLoss {
public:
    explicit QtConnectionLoss(std::function<void()> onLost);
    ~QtConnectionLoss();
    QtConnectionLoss(const QtConnectionLoss&) = delete;
    QtConnectionLoss& operator=(const QtConnectionLoss&) = delete;

    // Whether `message` is Qt's warning that its X connection broke.
    static bool isLossWarning(const QString& message);

private:
    static void handler(QtMsgType type, const QMessageLogContext& context, const QString& message);

    std::function<void()> onLost_;
    Qt::HANDLE thread_;
    QtMessageHandler previous_ = nullptr;
    QtConnectionLoss* outer_ = nullptr;
    bool fired_ = false;
};

} // namespace core::x11
