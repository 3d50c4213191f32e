#include "XDisplaySource.h"

#include "Geometry.h"
#include "Log.h"
#include "XConnection.h"
#include "XDisplayWatcher.h"
#include "XMonitors.h"
#include "XServerLoss.h"

namespace core::x11 {

namespace {
constexpr int kDebounceMs = 500;
} // namespace

DisplaySource::DisplaySource(QObject* parent)
    : core::DisplaySource(parent)
{
    debounce_.setSingleShot(true);
    debounce_.setInterval(kDebounceMs);
    debounce_.setTimerType(Qt::PreciseTimer);
    connect(&debounce_, &QTimer::timeout, this, &DisplaySource::refresh);
    // Watching starts before the first read, so that no change falls between the two.
    watcher_ = DisplayWatcher::create([this] { debounce_.start(); }, [this] { serverLost(); });
    qtLoss_ = std::make_unique<QtConnectionLoss>([this] { serverLost(); });
    if (!watcher_)
        log(QStringLiteral("displays: cannot watch the X display for changes"));
    current_ = read();
}

DisplaySource::~DisplaySource() = default;

std::vector<DisplayInfo> DisplaySource::read()
{
    const auto x = Connection::open();
    if (!x)
        return {};
    std::vector<DisplayInfo> displays = monitors(*x);
    for (DisplayInfo& d : displays)
        d = Geometry::inPoints(d);
    return displays;
}

void DisplaySource::serverLost()
{
    if (lost_)
        return;
    lost_ = true;
    current_.clear();
    emit lost();
}

void DisplaySource::refresh()
{
    current_ = read();
    emit changed();
}

} // namespace core::x11
