#include "DesktopBackend.h"
#include "FakeDesktop.h"
#include "AgentProcess.h"
#include "GstReceiver.h"
#include "Log.h"
#include "Server.h"
#include "Session.h"
#include "WsClient.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

#include <functional>

#include <fcntl.h>
#include <unistd.h>

using namespace core;

TEST(DesktopBackend, WithoutADesktopTheAgentGetsAnEmptyOneThatSaysWhy)
{
    const char* names[] = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"};
    std::vector<QByteArray> saved;
    for (const char* name : names) {
        saved.push_back(qgetenv(name));
        qunsetenv(name);
    }
    // The log line is read back from a pipe standing in for standard error.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    const int stderrCopy = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    std::unique_ptr<DesktopBackend> desktop;
    EXPECT_NO_THROW(desktop = createDesktopBackend());
    ::dup2(stderrCopy, STDERR_FILENO);
    ::close(stderrCopy);
    char buf[512] = {};
    const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
    ::close(fds[0]);
    ::close(fds[1]);
    for (size_t i = 0; i < std::size(names); ++i)
        if (!saved[i].isEmpty())
            qputenv(names[i], saved[i]);

    ASSERT_TRUE(desktop);
    EXPECT_GT(n, 0);
    EXPECT_TRUE(QByteArray(buf).contains("desktop: no X display: DISPLAY is not set")) << buf;
    EXPECT_THROW(desktop->openFrames(), AgentError);
}

TEST(DesktopBackend, SessionKindChoosesTheBackendOrNamesWhatIsMissing)
{
    const struct {
        const char* name;
        SessionEnvironment env;
        std::variant<DesktopKind, QString> want;
    } rows[] = {
        {"x11 session", {"x11", "", ":0", {}}, DesktopKind::x11},
        {"display only (Xvfb, ssh)", {"tty", "", ":99", {}}, DesktopKind::x11},
        {"x11 session beside a Wayland socket", {"x11", "wayland-0", ":0", {}}, DesktopKind::x11},
        {"GNOME on Wayland with Xwayland", {"wayland", "wayland-0", ":0", {}}, DesktopKind::mutter},
        {"Wayland socket without a session type, Mutter serving", {"", "wayland-1", "", {}}, DesktopKind::mutter},
        {"Wayland without Mutter's screen cast",
         {"wayland", "wayland-0", ":0", {"org.gnome.Mutter.ScreenCast"}},
         QStringLiteral("no desktop backend for this Wayland session (WAYLAND_DISPLAY=wayland-0): the session bus lacks "
                        "org.gnome.Mutter.ScreenCast; log in to GNOME on Wayland or to an X11 session")},
        {"another Wayland desktop",
         {"wayland", "", "", {"org.gnome.Mutter.RemoteDesktop", "org.gnome.Mutter.ScreenCast", "org.gnome.Mutter.DisplayConfig"}},
         QStringLiteral("no desktop backend for this Wayland session (WAYLAND_DISPLAY=unset): the session bus lacks "
                        "org.gnome.Mutter.RemoteDesktop, org.gnome.Mutter.ScreenCast, org.gnome.Mutter.DisplayConfig; "
                        "log in to GNOME on Wayland or to an X11 session")},
        {"nothing", {"", "", "", {}}, QStringLiteral("no X display: DISPLAY is not set")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(desktopKind(row.env), row.want);
    }
}

namespace {

DisplayInfo display(quint32 id, const char* name, double x, bool main)
{
    DisplayInfo d;
    d.id = id;
    d.name = QString::fromLatin1(name);
    d.width = 1280;
    d.height = 800;
    d.x = x;
    d.isMain = main;
    return d;
}

QJsonArray ids(const QJsonArray& displays)
{
    QJsonArray out;
    for (const QJsonValue& d : displays)
        out.append(d.toObject().value(QStringLiteral("id")));
    return out;
}

// One session on a loopback WebSocket, on a desktop that has no display server behind it.
class SessionOnFakeDesktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        desktop.granted = {true, false};
        desktop.setDisplays({display(7, "Left", 0, true), display(9, "Right", 1280, false)});
        const int port = freePortPair();
        server = std::make_unique<Server>(
            port, std::nullopt,
            [](const QString&, const Server::Decide& decide) {
                decide(Server::Verdict::admit);
                return std::unique_ptr<QObject>();
            },
            [this](std::unique_ptr<WSConnection> conn) {
                session = std::make_unique<Session>(std::move(conn), desktop, config, std::nullopt);
                session->gate = [](const HelloParam&, bool) { return Gate::Result::admit(); };
                session->claim = [](bool) { return true; };
                // What the agent does for every session it accepts.
                session->presenceChanged(desktop.permissions().probe(), desktop.lockState().locked());
                session->start();
            },
            [] {});
        ASSERT_TRUE(client.open(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    }

    // Streams `display` to a phone connected over loopback, on a desktop that can be captured and
    // driven; no display server is reachable meanwhile. `then` runs once the stream is started,
    // before its first picture is waited for.
    void stream(quint32 display, const std::function<void()>& then = {})
    {
        qunsetenv("DISPLAY");
        desktop.capturable = true;
        desktop.input = std::make_shared<FakeInput::State>();
        ASSERT_TRUE(client.request(QStringLiteral("hello"), 1).value(QStringLiteral("ok")).toBool());
        phone = std::make_unique<GstReceiver>();
        const QJsonObject answer = client.request(QStringLiteral("rtc.offer"), 2, {{"sdp", phone->offer()}}, 15000);
        ASSERT_TRUE(answer.value(QStringLiteral("ok")).toBool()) << answer.value(QStringLiteral("error")).toString().toStdString();
        phone->setAnswer(answer.value(QStringLiteral("data")).toObject().value(QStringLiteral("sdp")).toString());
        ASSERT_TRUE(QTest::qWaitFor([&] {
            exchangeIce();
            return phone->channelOpen();
        }, 15000));
        const QJsonObject started = client.request(QStringLiteral("stream.start"), 3, {{"displayId", qint64(display)}}, 15000);
        ASSERT_TRUE(started.value(QStringLiteral("ok")).toBool()) << started.value(QStringLiteral("error")).toString().toStdString();
        if (then)
            then();
        ASSERT_TRUE(QTest::qWaitFor([&] { return phone->picturesDecoded() > 0; }, 15000));
    }
    // Hands candidates both ways; notes whether the agent offered the loopback address.
    void exchangeIce()
    {
        for (const auto& [mline, candidate] : phone->takeCandidates())
            client.sendText(QJsonDocument(QJsonObject{{"type", "rtc.ice"}, {"id", iceId++}, {"candidate", candidate}, {"sdpMLineIndex", mline}})
                                .toJson(QJsonDocument::Compact));
        while (const auto m = client.next(0)) {
            const QJsonObject o = parseJson(*m);
            if (o.value(QStringLiteral("type")) != QLatin1String("rtc.ice"))
                continue;
            const QString candidate = o.value(QStringLiteral("candidate")).toString();
            loopbackOffered = loopbackOffered || candidate.contains(QLatin1String(" 127.0.0.1 "));
            phone->addCandidate(o.value(QStringLiteral("sdpMLineIndex")).toInt(), candidate);
        }
    }
    void TearDown() override { qputenv("DISPLAY", savedDisplay); }

    const QByteArray savedDisplay = qgetenv("DISPLAY");
    Config config; // the session's, taken when the client connects in SetUp
    FakeDesktop desktop; // lent to the session: outlives it
    std::unique_ptr<GstReceiver> phone;
    qint64 iceId = 100;
    bool loopbackOffered = false;
    std::unique_ptr<Server> server;
    std::unique_ptr<Session> session;
    WsClient client;
};

} // namespace

TEST_F(SessionOnFakeDesktop, HelloAndDisplaysComeFromTheBackend)
{
    const QJsonObject hello = client.request(QStringLiteral("hello"), 1).value(QStringLiteral("data")).toObject();
    EXPECT_EQ(ids(hello.value(QStringLiteral("displays")).toArray()), (QJsonArray{7, 9}));
    EXPECT_EQ(hello.value(QStringLiteral("permissions")).toObject(),
              (QJsonObject{{QStringLiteral("screen"), true}, {QStringLiteral("accessibility"), false}}));

    const QJsonObject list = client.request(QStringLiteral("displays.list"), 2);
    EXPECT_EQ(ids(list.value(QStringLiteral("data")).toArray()), (QJsonArray{7, 9}));

    desktop.setDisplays({display(9, "Right", 0, true)});
    session->displaysChanged();
    const auto event = client.next();
    ASSERT_TRUE(event);
    EXPECT_EQ(parseJson(*event).value(QStringLiteral("type")).toString(), QStringLiteral("displays.changed"));
    EXPECT_EQ(ids(parseJson(*event).value(QStringLiteral("displays")).toArray()), (QJsonArray{9}));
    EXPECT_EQ(ids(client.request(QStringLiteral("displays.list"), 3).value(QStringLiteral("data")).toArray()),
              (QJsonArray{9}));
}

TEST_F(SessionOnFakeDesktop, StreamAndInputGoThroughTheBackend)
{
    ASSERT_NO_FATAL_FAILURE(stream(9));
    EXPECT_GT(desktop.grabbed.load(), 0);

    // Display 9 is the right one, 1280 pixels from the left edge.
    phone->send(QStringLiteral(R"({"t":"move","x":0.5,"y":0.5})"));
    phone->send(QStringLiteral(R"({"t":"click"})"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return desktop.input->calls.contains("button 1 up"); }, 15000));
    EXPECT_EQ(desktop.input->calls.join(" | "), "release | move 1920,400 | button 1 down | button 1 up");
}

TEST_F(SessionOnFakeDesktop, APhoneOnThisMachineIsOfferedTheLoopbackAddress)
{
    ASSERT_NO_FATAL_FAILURE(stream(9));
    EXPECT_TRUE(QTest::qWaitFor([&] {
        exchangeIce();
        return loopbackOffered;
    }, 10000));
}

TEST_F(SessionOnFakeDesktop, InputFollowsTheStreamedDisplayWhenItMoves)
{
    ASSERT_NO_FATAL_FAILURE(stream(9));
    desktop.setDisplays({display(9, "Right", 0, true)});
    session->displaysChanged();
    phone->send(QStringLiteral(R"({"t":"move","x":0.5,"y":0.5})"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return desktop.input->calls.size() > 1; }, 15000));
    EXPECT_EQ(desktop.input->calls.join(" | "), "release | move 640,400");
}

TEST_F(SessionOnFakeDesktop, AStreamStartsAtAQuarterOfItsBitrateCeiling)
{
    // The first stats event is sent at once. Clean receiver reports may have raised the target
    // since, never lowered it unless the event says the bandwidth limits it.
    QJsonObject first;
    ASSERT_NO_FATAL_FAILURE(stream(9, [&] {
        ASSERT_TRUE(client.request(QStringLiteral("stats.start"), 4).value(QStringLiteral("ok")).toBool());
        while (const auto m = client.next()) {
            first = parseJson(*m);
            if (first.value(QStringLiteral("type")) == QLatin1String("stats"))
                break;
        }
    }));
    ASSERT_EQ(first.value(QStringLiteral("type")).toString(), QStringLiteral("stats"));
    const qint64 target = first.value(QStringLiteral("targetKbps")).toInteger();
    EXPECT_LT(target, Config{}.stream.full.maxKbps);
    if (first.value(QStringLiteral("limit")) != QLatin1String("bandwidth")) {
        EXPECT_GE(target, Config{}.stream.full.maxKbps / 4);
    }
}

// Profiles below the encoder's default rate, so that a rate never handed to the encoder shows.
class SessionOnFakeDesktopWithSlowProfiles : public SessionOnFakeDesktop {
protected:
    SessionOnFakeDesktopWithSlowProfiles()
    {
        config.stream.full.maxFps = 24;
        config.stream.light.maxFps = 12;
    }
};

TEST_F(SessionOnFakeDesktopWithSlowProfiles, TheEncoderIsToldEachProfilesFrameRate)
{
    // x264 plans its bits per frame from the rate it is told; the parameter sets carry it.
    ASSERT_NO_FATAL_FAILURE(stream(9));
    EXPECT_TRUE(QTest::qWaitFor([&] { return phone->lastPicture() && phone->lastPicture()->fps == 24; }, 15000))
        << "declared " << (phone->lastPicture() ? phone->lastPicture()->fps : -1);
    const QJsonObject light = client.request(QStringLiteral("stream.switch"), 5, {{"displayId", 9}, {"profile", "light"}}, 15000);
    ASSERT_TRUE(light.value(QStringLiteral("ok")).toBool()) << light.value(QStringLiteral("error")).toString().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return phone->lastPicture() && phone->lastPicture()->fps == 12; }, 15000))
        << "declared " << (phone->lastPicture() ? phone->lastPicture()->fps : -1);
}
