#pragma once

#include "Config.h"
#include "Gate.h"
#include "Protocol.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace core {

class WSConnection;

// The server side of one client connection: handshake, admission, request dispatch and replies.
// All methods run on the main thread. The agent owns the session; the session owns its connection.
class Session : public QObject {
    Q_OBJECT
public:
    Session(std::unique_ptr<WSConnection> ws, Config config, std::optional<QString> configError);
    ~Session() override;

    // Set by the agent before start().
    std::function<void()> onEnd;
    std::function<bool(bool takeover)> claim = [](bool) { return true; };
    std::function<Gate::Result(const HelloParam&, bool live)> gate = [](const HelloParam&, bool) {
        return Gate::Result::admit();
    };

    void start();
    // Tears everything down once; later calls do nothing.
    void end();

    // The display configuration changed: tells the client the new display list.
    void displaysChanged();

    bool live() const { return live_; }
    bool ended() const { return ended_; }
    WSConnection& ws() { return *ws_; }

private:
    void handle(const QByteArray& data);
    void route(const QString& type, qint64 id, const QByteArray& data);
    void hello(qint64 id, const QByteArray& data);
    void startThumbs();
    void thumbTick();

    std::unique_ptr<WSConnection> ws_;
    Config config_;
    std::optional<QString> configError_;
    bool live_ = false;
    bool locked_ = false;
    bool ended_ = false;
    std::unique_ptr<QTimer> thumbTimer_;
    bool thumbBusy_ = false; // a thumbnail capture is running
};

} // namespace core
