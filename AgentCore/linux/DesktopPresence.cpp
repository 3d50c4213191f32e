#include "DesktopPresence.h"

#include "Log.h"
#include "Logind.h"
#include "ScreenSaver.h"

#include <vector>

namespace core::os {

namespace {

class Holds : public IdleInhibitor::Hold {
public:
    std::vector<std::unique_ptr<IdleInhibitor::Hold>> all;
};

} // namespace

DesktopPresence::DesktopPresence(std::function<void()> activity)
    : activity_(std::move(activity))
{
    QString why;
    logind_ = Logind::connect(why);
    screenSaver_ = ScreenSaver::connect();
    if (logind_) {
        connect(logind_.get(), &Logind::lockedHintChanged, this, &LockState::changed);
    } else {
        log(QStringLiteral("presence: no logind session (") + why
            + QStringLiteral("); sleep is not inhibited and the lock state comes from the screen saver, if any"));
        // Without logind, the desktop's screen saver is the best word on locking there is.
        if (screenSaver_)
            connect(screenSaver_.get(), &ScreenSaver::activeChanged, this, &LockState::changed);
    }
}

DesktopPresence::~DesktopPresence() = default;

bool DesktopPresence::locked() const
{
    if (logind_)
        return logind_->lockedHint();
    return screenSaver_ && screenSaver_->active();
}

std::unique_ptr<IdleInhibitor::Hold> DesktopPresence::hold(const QString& why)
{
    auto holds = std::make_unique<Holds>();
    if (logind_)
        holds->all.push_back(logind_->inhibit(why));
    if (screenSaver_)
        holds->all.push_back(screenSaver_->inhibit(why));
    return holds;
}

void DesktopPresence::declareActivity()
{
    if (activity_)
        activity_();
}

} // namespace core::os
