// Protocol benchmark: the agent's own binary in developer mode over loopback. After hello on one
// connection, the round trip of "displays.list" and of an unknown request, one at a time and
// pipelined with 100 in flight (p50, p99, requests per second); then the agent's resident memory idle, after those
// runs, and with 50 more connections open. Figures on standard output, progress on standard error.
// Run on an X display: scripts/with-x build/bench/protocol_bench
#include "AgentProcess.h"
#include "WsClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int kRequests = 5000;
constexpr int kWarmUp = 200;
// Requests unanswered at once when pipelining: enough to keep the agent busy, few enough that the
// round trip still says something (with all 5000 in flight it is only the queue's length).
constexpr int kInFlight = 100;
constexpr int kExtraConnections = 50;
// Only a stuck agent gets near this; it is a way out, not a measurement.
constexpr int kRunTimeoutMs = 120000;

void progress(const char* text) { std::fprintf(stderr, "protocol_bench: %s\n", text); }

[[noreturn]] void fail(const QString& text)
{
    std::fprintf(stderr, "protocol_bench: %s\n", qPrintable(text));
    std::exit(1);
}

// The agent's resident set in kB, from the VmRSS line of /proc/PID/status.
long residentKb(qint64 pid)
{
    // /proc files report a size of 0, so read to the end rather than asking QFile::atEnd.
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

struct Run {
    std::vector<double> roundTripsUs; // sorted
    double seconds = 0;

    double percentile(double p) const
    {
        const auto rank = static_cast<size_t>(std::ceil(p * double(roundTripsUs.size())));
        return roundTripsUs[std::clamp<size_t>(rank, 1, roundTripsUs.size()) - 1];
    }
};

// Sends requests on one open WebSocket with at most `window` of them unanswered (1: one at a time)
// and times each from its send to its reply. Every reply must say `ok`.
class Prober {
public:
    explicit Prober(QWebSocket& socket) : socket_(socket) {}

    Run run(const QString& type, int count, int window, bool ok)
    {
        const qint64 firstId = nextId_;
        nextId_ += count;
        std::vector<qint64> sentAt(size_t(count), 0);
        std::vector<qint64> took(size_t(count), -1);
        int sent = 0;
        int received = 0;
        QString problem;
        QEventLoop loop;
        QElapsedTimer clock;

        const auto sendMore = [&] {
            while (sent < count && sent - received < window) {
                const QString text = QStringLiteral(R"({"id":%1,"type":"%2"})").arg(firstId + sent).arg(type);
                sentAt[size_t(sent)] = clock.nsecsElapsed();
                socket_.sendTextMessage(text);
                ++sent;
            }
        };
        const auto onReply = [&](const QString& text) {
            const qint64 at = clock.nsecsElapsed();
            const QJsonObject o = QJsonDocument::fromJson(text.toUtf8()).object();
            const qint64 index = o.value(QStringLiteral("id")).toInteger(-1) - firstId;
            if (o.value(QStringLiteral("type")) != QLatin1String("result") || index < 0 || index >= count)
                return; // an event, or a reply to someone else
            if (took[size_t(index)] >= 0 || o.value(QStringLiteral("ok")).toBool() != ok) {
                problem = QStringLiteral("unexpected reply to %1: %2").arg(type, text);
                loop.quit();
                return;
            }
            took[size_t(index)] = at - sentAt[size_t(index)];
            if (++received == count)
                loop.quit();
            else
                sendMore();
        };
        const auto reply = QObject::connect(&socket_, &QWebSocket::textMessageReceived, &loop, onReply);
        const auto closed = QObject::connect(&socket_, &QWebSocket::disconnected, &loop, [&] {
            problem = QStringLiteral("the agent closed the connection");
            loop.quit();
        });
        QTimer::singleShot(kRunTimeoutMs, &loop, [&] {
            problem = QStringLiteral("%1 of %2 replies to %3 arrived").arg(received).arg(count).arg(type);
            loop.quit();
        });
        clock.start();
        sendMore();
        loop.exec();
        const qint64 total = clock.nsecsElapsed();
        QObject::disconnect(reply);
        QObject::disconnect(closed);
        if (!problem.isEmpty())
            fail(problem);

        Run r;
        r.seconds = double(total) / 1e9;
        for (const qint64 ns : took)
            r.roundTripsUs.push_back(double(ns) / 1e3);
        std::sort(r.roundTripsUs.begin(), r.roundTripsUs.end());
        return r;
    }

private:
    QWebSocket& socket_;
    qint64 nextId_ = 1;
};

void print(const char* label, const Run& r)
{
    std::printf("  %-32s %9.1f %9.1f %12.0f\n", label, r.percentile(0.50), r.percentile(0.99),
                double(r.roundTripsUs.size()) / r.seconds);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        fail(QStringLiteral("needs an X display: scripts/with-x build/bench/protocol_bench"));

    progress("starting the agent in developer mode");
    AgentProcess agent;
    if (!agent.start())
        fail(QStringLiteral("the agent did not start"));
    if (!agent.waitForLog(
            QStringLiteral("DEV MODE: listening for 127.0.0.1:%1 only, no Tailscale auth").arg(agent.devPort())))
        fail(QStringLiteral("the agent did not listen:\n") + agent.log());
    const long idleKb = residentKb(agent.pid());

    QWebSocket socket;
    socket.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
    {
        QEventLoop loop;
        QObject::connect(&socket, &QWebSocket::connected, &loop, &QEventLoop::quit);
        QObject::connect(&socket, &QWebSocket::disconnected, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        socket.open(QUrl(agent.url()));
        loop.exec();
        if (socket.state() != QAbstractSocket::ConnectedState)
            fail(QStringLiteral("cannot connect to ") + agent.url());
    }
    Prober prober(socket);
    prober.run(QStringLiteral("hello"), 1, 1, true);

    progress("warming up");
    prober.run(QStringLiteral("displays.list"), kWarmUp, 1, true);
    prober.run(QStringLiteral("bench.unknown"), kWarmUp, 1, false);

    struct Case {
        const char* label;
        const char* type;
        bool ok;
        int window;
    };
    const Case cases[] = {
        {"displays.list, one at a time", "displays.list", true, 1},
        {"displays.list, 100 in flight", "displays.list", true, kInFlight},
        {"unknown request, one at a time", "bench.unknown", false, 1},
        {"unknown request, 100 in flight", "bench.unknown", false, kInFlight},
    };
    std::vector<Run> runs;
    for (const Case& c : cases) {
        progress(c.label);
        runs.push_back(prober.run(QString::fromLatin1(c.type), kRequests, c.window, c.ok));
    }
    const long afterRunsKb = residentKb(agent.pid());

    progress("opening 50 more connections, each saying hello");
    std::vector<std::unique_ptr<WsClient>> others;
    for (int i = 0; i < kExtraConnections; ++i) {
        auto c = std::make_unique<WsClient>();
        if (!c->open(agent.url()))
            fail(QStringLiteral("connection %1 of %2 did not open").arg(i + 1).arg(kExtraConnections));
        // The first connection holds the computer, so each of these is told so and stays open.
        const QJsonObject reply = c->request(QStringLiteral("hello"), 1);
        if (reply.value(QStringLiteral("type")) != QLatin1String("result") || !c->isOpen())
            fail(QStringLiteral("connection %1 got no answer to hello").arg(i + 1));
        others.push_back(std::move(c));
    }
    const long manyKb = residentKb(agent.pid());

    std::printf("request round trips on one connection after hello, %d requests each (us)\n", kRequests);
    std::printf("  %-32s %9s %9s %12s\n", "", "p50", "p99", "requests/s");
    for (size_t i = 0; i < runs.size(); ++i)
        print(cases[i].label, runs[i]);
    std::printf("agent resident memory (VmRSS)\n");
    std::printf("  %-32s %9ld kB\n", "idle, listening", idleKb);
    std::printf("  %-32s %9ld kB\n", "one connection, after the runs", afterRunsKb);
    std::printf("  %-32s %9ld kB (%.1f kB each)\n", "50 more connections open", manyKb,
                double(manyKb - afterRunsKb) / kExtraConnections);
    return 0;
}
