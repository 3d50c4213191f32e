#pragma once

#include <QDBusConnection>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace core::mutter {

// What Mutter announces about screen casts and monitors, received on a thread of its own so that
// a capture can wait for it from any thread, the main one included.
class CastSignals {
public:
    explicit CastSignals(QDBusConnection bus);
    ~CastSignals();

    // The PipeWire node of a stream once Mutter announced it; none after `limit`.
    std::optional<quint32> waitForNode(const QString& streamPath, std::chrono::milliseconds limit);
    void forget(const QString& streamPath);
    // Goes up with every MonitorsChanged.
    quint64 layoutSerial() const { return layoutSerial_; }

    // Called on the receiving thread.
    void nodeAdded(const QString& streamPath, quint32 node);
    void monitorsChanged() { ++layoutSerial_; }

private:
    class Receiver;

    QDBusConnection bus_;
    QThread thread_;
    std::unique_ptr<Receiver> receiver_;
    std::mutex mutex_;
    std::condition_variable added_;
    std::map<QString, quint32> nodes_;
    std::atomic<quint64> layoutSerial_{0};
};

// A RemoteDesktop session with a linked ScreenCast session recording monitors, cursor drawn in:
// the way to both a monitor's frames and input on it (absolute pointer positions are given on a
// stream). Stopped when destroyed (Mutter would also stop it when the connection closes). Any
// thread, one at a time.
class CastSession {
public:
    struct Stream {
        QString connector;
        QString path;
        quint32 node = 0; // 0 when not waited for
    };

    // Records `connectors`, and with `waitForNodes` waits for their PipeWire nodes. Throws
    // AgentError with the failed call's text.
    CastSession(QDBusConnection bus, CastSignals& announced, const QStringList& connectors, bool waitForNodes);
    ~CastSession();
    CastSession(const CastSession&) = delete;
    CastSession& operator=(const CastSession&) = delete;

    const std::vector<Stream>& streams() const { return streams_; }
    const QString& sessionPath() const { return session_; }

private:
    void stop();

    QDBusConnection bus_;
    CastSignals& signals_;
    QString session_;
    std::vector<Stream> streams_;
};

} // namespace core::mutter
