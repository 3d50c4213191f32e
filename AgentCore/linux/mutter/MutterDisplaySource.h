#pragma once

#include "DisplaySource.h"

#include <QDBusConnection>
#include <QTimer>

namespace core::mutter {

// Mutter's logical monitors as the displays clients see (in points), read at construction and
// again after each burst of DisplayConfig.MonitorsChanged. Main thread.
class DisplaySource : public core::DisplaySource {
    Q_OBJECT
public:
    explicit DisplaySource(QDBusConnection bus, QObject* parent = nullptr);
    ~DisplaySource() override;

    const std::vector<DisplayInfo>& current() const override { return current_; }

private slots:
    void monitorsChanged();

private:
    std::vector<DisplayInfo> read() const;
    void refresh();

    QDBusConnection bus_;
    std::vector<DisplayInfo> current_;
    QTimer debounce_;
};

} // namespace core::mutter
