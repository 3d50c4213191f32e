#include "Displays.h"

#include "Geometry.h"
#include "Log.h"
#include "linux/XConnection.h"
#include "linux/XDisplayWatcher.h"
#include "linux/XMonitors.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace core::Displays {

namespace {

constexpr int kDebounceMs = 500;

// The process-wide change observation: one handler, one debounce timer, one watcher. Owned by the
// application object, so it goes away with the event loop it runs on.
class Observation : public QObject {
public:
    explicit Observation(QObject* parent) : QObject(parent)
    {
        debounce.setSingleShot(true);
        debounce.setInterval(kDebounceMs);
        debounce.setTimerType(Qt::PreciseTimer);
        QObject::connect(&debounce, &QTimer::timeout, this, [this] {
            if (handler)
                handler();
        });
    }

    std::function<void()> handler;
    QTimer debounce;
    std::unique_ptr<x11::DisplayWatcher> watcher;
};

Observation& observation()
{
    static QPointer<Observation> instance;
    if (!instance)
        instance = new Observation(QCoreApplication::instance());
    return *instance;
}

} // namespace

std::vector<DisplayInfo> list()
{
    const auto x = x11::Connection::open();
    if (!x)
        return {};
    std::vector<DisplayInfo> displays = x11::monitors(*x);
    for (DisplayInfo& d : displays)
        d = Geometry::inPoints(d);
    return displays;
}

void observe(std::function<void()> handler)
{
    Observation& o = observation();
    o.handler = std::move(handler);
    if (o.watcher)
        return;
    o.watcher = x11::DisplayWatcher::create([] { observation().debounce.start(); });
    if (!o.watcher)
        log(QStringLiteral("displays: cannot watch the X display for changes"));
}

} // namespace core::Displays
