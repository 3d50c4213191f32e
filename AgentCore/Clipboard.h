#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace core {

// The desktop's clipboard as the OS offers it: content under MIME-style format names, a count
// that grows with every change of owner or content, and writes that make the agent the owner
// until someone else copies. The backend owns it; it lives as long as the agent, so what the
// phone set stays on offer after the phone has gone.
//
// Clipboard work may block (a transfer from a slow or large owner), so it never runs on the main
// thread: post() queues a job on the one clipboard thread ("remote-agent.clipboard"), jobs run
// in order, and every other method is called only from inside a job.
class Clipboard {
public:
    // The format text is read and written under, whatever the OS calls it.
    static constexpr const char* textFormat = "text/plain;charset=utf-8";

    virtual ~Clipboard() = default;

    // Thread-safe. `job` runs on the clipboard thread after the jobs posted before it.
    virtual void post(std::function<void()> job) = 0;

    virtual quint64 changeCount() = 0;
    // The formats the current owner offers; empty when there is no owner.
    virtual QStringList formats() = 0;
    // The content in one format; none when the owner refuses or does not answer.
    virtual std::optional<QByteArray> data(const QString& format) = 0;
    // Takes the clipboard with `bytes` as its one content. Throws AgentError when the desktop
    // refuses.
    virtual void write(const QString& format, const QByteArray& bytes) = 0;
};

// A clipboard held in memory: the stand-in where no desktop clipboard can be reached, and the
// one tests drive. Its jobs run on the thread of the object the clipboard was made on.
class MemoryClipboard : public Clipboard {
public:
    MemoryClipboard();
    ~MemoryClipboard() override;

    void post(std::function<void()> job) override;
    quint64 changeCount() override { return changes_; }
    QStringList formats() override;
    std::optional<QByteArray> data(const QString& format) override;
    void write(const QString& format, const QByteArray& bytes) override;

    // Another application copies: replaces the whole content.
    void copy(std::map<QString, QByteArray> content);

private:
    std::unique_ptr<QObject> context_;
    std::map<QString, QByteArray> content_;
    quint64 changes_ = 0;
};

} // namespace core
