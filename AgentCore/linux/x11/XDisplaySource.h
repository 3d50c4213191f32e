#pragma once

#include "DisplaySource.h"

#include <QTimer>

#include <memory>

namespace core::x11 {

class DisplayWatcher;
class QtConnectionLoss;

// The X display's RandR monitors as the displays clients see (Geometry::inPoints of
// x11::monitors), read at construction and again after each burst of changes. Changes are RandR
// reconfiguration and a new Xft.dpi (the scale) in the root window's resources. lost() is emitted
// once, by whichever notices first: its own connection or Qt's. Main thread.
class DisplaySource : public core::DisplaySource {
    Q_OBJECT
public:
    explicit DisplaySource(QObject* parent = nullptr);
    ~DisplaySource() override;

    const std::vector<DisplayInfo>& current() const override { return current_; }

    // The displays read now, on a connection of its own; empty when the display cannot be read.
    // Callable from any thread.
    static std::vector<DisplayInfo> read();

private:
    void refresh();

    std::vector<DisplayInfo> current_;
    QTimer debounce_;
    std::unique_ptr<DisplayWatcher> watcher_;
    std::unique_ptr<QtConnectionLoss> qtLoss_;
    bool lost_ = false;
    void serverLost();
};

} // namespace core::x11
