#pragma once

#include "Config.h"
#include "Gate.h"
#include "KeepAwake.h"
#include "Protocol.h"
#include "RequestTable.h"
#include "Stats.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace core {

class DesktopBackend;
class FrameSource;
class InputPoster;
class RTC;
class SessionClipboard;
class ScreenStream;
class SessionActions;
class SessionApps;
class WSConnection;
struct ClientMessage;

// The server side of one client connection: handshake, admission, request dispatch and replies.
// All methods run on the main thread. The agent owns the session; the session owns its connection.
// The desktop backend is borrowed from the agent, which outlives its sessions.
class Session : public QObject {
    Q_OBJECT
public:
    Session(std::unique_ptr<WSConnection> ws, DesktopBackend& desktop, Config config,
            std::optional<QString> configError);
    ~Session() override;

    // Set by the agent before start(). Until it does, no hello gets in.
    std::function<void()> onEnd;
    std::function<bool(bool takeover)> claim = [](bool) { return false; };
    std::function<Gate::Result(const HelloParam&, bool live)> gate = [](const HelloParam&, bool) {
        return Gate::Result::close(Close::signIn);
    };

    void start();
    // Tears everything down once; later calls do nothing.
    void end();

    // Closes the connection with `why` and ends the session.
    void close(const CloseCode& why);
    // Another session took the Mac over: the client hears it is kicked before the close.
    void kick();

    // The display configuration changed: tells the client the new display list.
    void displaysChanged();
    // The agent's view of permissions and the lock state, told at accept and on every change; a
    // live client hears of any difference from what it was last told.
    void presenceChanged(const Permissions& permissions, bool locked);

    bool live() const { return live_; }
    bool ended() const { return ended_; }

private:
    // The request types each feature owns.
    void addCoreRequests();
    void addThumbRequests();
    void addStreamingRequests();

    void handle(const ClientMessage& received);
    void route(const Request& request);
    void hello(const Request& request);
    void startThumbs();
    void thumbTick();

    // Streaming and periodic events (SessionStreaming.cpp).
    void startStreaming();
    void endStreaming();
    void startRTC(const QString& sdp, const Config::Profile& profile, qint64 id);
    void stopStream(const std::optional<QString>& reason);
    void captureStopped(const QString& reason);
    void startStats();
    void statsTick(bool first);
    void startStream(quint32 display, const Config::Profile& profile, qint64 id);
    void followDisplays(const std::vector<DisplayInfo>& displays);
    std::optional<qint64> takeFrameCount();
    void handleInput(const QByteArray& message);

    std::unique_ptr<WSConnection> ws_;
    DesktopBackend* const desktop_; // borrowed: the agent outlives its sessions
    RequestTable requests_;
    std::unique_ptr<SessionActions> actions_;
    Config config_;
    std::optional<QString> configError_;
    bool live_ = false;
    bool locked_ = false;
    bool ended_ = false;
    KeepAwake keepAwake_; // from admission to the end
    std::unique_ptr<SessionClipboard> clipboard_;
    std::unique_ptr<QTimer> thumbTimer_;
    bool thumbBusy_ = false; // a thumbnail capture is running
    std::shared_ptr<FrameSource> thumbSource_; // kept from round to round; shared with the round running

    std::unique_ptr<RTC> rtc_;
    std::unique_ptr<ScreenStream> screen_;
    std::unique_ptr<InputPoster> input_; // posts the peer's input onto the streamed display
    std::optional<quint32> streaming_;
    qint64 streamGen_ = 0;
    Permissions permissions_;
    std::unique_ptr<QTimer> statsTimer_;
    // Runs while a capture that lost its display waits to report it after the display change.
    QTimer displayNewsWait_;
    std::optional<double> statsOut_;
    std::optional<OutboundSample> statsPrev_;
    std::unique_ptr<SessionApps> apps_; // applications and windows (SessionApps.cpp)
};

} // namespace core
