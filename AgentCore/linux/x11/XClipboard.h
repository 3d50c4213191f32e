#pragma once

#include "Clipboard.h"

#include <QThread>

#include <memory>

namespace core::x11 {

class Selection;

// The X11 CLIPBOARD selection, spoken on a connection of its own from the clipboard thread: the
// owner's content is read with ConvertSelection (INCR transfers included), ours is served to any
// client that asks, in pieces when large, for as long as the agent owns the selection (the
// phone's content outlives its session). XFixes counts the changes of owner.
class Clipboard : public core::Clipboard {
public:
    // Null, logged, when the display or its XFixes extension cannot be reached.
    static std::unique_ptr<Clipboard> open();
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

} // namespace core::x11
