#pragma once

#include "Clipboard.h"

#include <QDBusConnection>
#include <QThread>

#include <memory>

namespace core::mutter {

class Selection;

// GNOME's clipboard, reached through the selection calls of a RemoteDesktop session of its own:
// the owner's content is read through a pipe Mutter fills, ours is written into a pipe Mutter
// hands over whenever a client asks, for as long as the agent owns the clipboard (the phone's
// content outlives its session). Every change of owner Mutter announces counts as a change.
class Clipboard : public core::Clipboard {
public:
    // Null, logged, when Mutter refuses a session or its clipboard.
    static std::unique_ptr<Clipboard> open(QDBusConnection bus);
    ~Clipboard() override;

    void post(std::function<void()> job) override;
    quint64 changeCount() override;
    QStringList formats() override;
    std::optional<QByteArray> data(const QString& format) override;
    void write(const QString& format, const QByteArray& bytes) override;

private:
    explicit Clipboard(std::unique_ptr<Selection> selection);
    QThread thread_;
    std::unique_ptr<Selection> selection_; // lives on thread_
};

} // namespace core::mutter
