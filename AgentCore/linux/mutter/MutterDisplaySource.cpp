#include "MutterDisplaySource.h"

#include "Geometry.h"
#include "Log.h"
#include "MutterBus.h"
#include "MutterMonitors.h"

namespace core::mutter {

namespace {
constexpr int kDebounceMs = 500;
} // namespace

DisplaySource::DisplaySource(QDBusConnection bus, QObject* parent)
    : core::DisplaySource(parent)
    , bus_(std::move(bus))
{
    debounce_.setSingleShot(true);
    debounce_.setInterval(kDebounceMs);
    debounce_.setTimerType(Qt::PreciseTimer);
    connect(&debounce_, &QTimer::timeout, this, &DisplaySource::refresh);
    // Subscribed before the first read, so that no change falls between the two.
    if (!bus_.connect(kDisplayConfig, kDisplayConfigPath, kDisplayConfig, QStringLiteral("MonitorsChanged"), this,
                      SLOT(monitorsChanged())))
        log(QStringLiteral("displays: cannot watch Mutter's monitors for changes"));
    current_ = read();
}

DisplaySource::~DisplaySource()
{
    bus_.disconnect(kDisplayConfig, kDisplayConfigPath, kDisplayConfig, QStringLiteral("MonitorsChanged"), this,
                    SLOT(monitorsChanged()));
}

void DisplaySource::monitorsChanged() { debounce_.start(); }

std::vector<DisplayInfo> DisplaySource::read() const
{
    std::vector<DisplayInfo> displays;
    for (const Monitor& m : readMonitors(bus_))
        displays.push_back(Geometry::inPoints(m.display));
    return displays;
}

void DisplaySource::refresh()
{
    current_ = read();
    emit changed();
}

} // namespace core::mutter
