// Opens one WebSocket connection, sends a hello and reports the first thing that happens as one JSON
// line on standard output: the first message received, or the close code and reason, or why no
// connection came about. Tests run it inside a network namespace to play a phone.
//
//   ws-probe ws://100.64.0.1:7420 [hello.json]
//
// hello.json, when given, holds a JSON object whose members are added to the hello (a ticket, a
// pairing code); a file, because a ticket may be longer than one command-line argument may be.
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QWebSocket>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() != 2 && app.arguments().size() != 3) {
        std::fputs("usage: ws-probe <url> [hello.json]\n", stderr);
        return 2;
    }
    QJsonObject hello{{QStringLiteral("type"), QStringLiteral("hello")}, {QStringLiteral("id"), 1}};
    if (app.arguments().size() == 3) {
        QFile file(app.arguments().at(2));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fputs("ws-probe: cannot read the hello file\n", stderr);
            return 2;
        }
        const QJsonObject extra = QJsonDocument::fromJson(file.readAll()).object();
        for (auto it = extra.begin(); it != extra.end(); ++it)
            hello.insert(it.key(), it.value());
    }

    QJsonObject report{{QStringLiteral("connected"), false}};
    bool done = false;
    auto finish = [&] {
        if (done)
            return; // the socket still reports its end while the loop winds down
        done = true;
        std::puts(QJsonDocument(report).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
        app.exit(0);
    };

    QWebSocket socket;
    QObject::connect(&socket, &QWebSocket::connected, [&] {
        report.insert(QStringLiteral("connected"), true);
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(hello).toJson(QJsonDocument::Compact)));
    });
    QObject::connect(&socket, &QWebSocket::textMessageReceived, [&](const QString& text) {
        report.insert(QStringLiteral("message"), text);
        finish();
    });
    QObject::connect(&socket, &QWebSocket::disconnected, [&] {
        if (report.value(QStringLiteral("connected")).toBool()) {
            report.insert(QStringLiteral("closeCode"), socket.closeCode());
            report.insert(QStringLiteral("closeReason"), socket.closeReason());
        } else {
            report.insert(QStringLiteral("error"), socket.errorString());
        }
        finish();
    });
    // A bound for the caller: an agent that never answers shows up as a time-out, not a hang.
    QTimer::singleShot(15000, &app, [&] {
        report.insert(QStringLiteral("timeout"), true);
        finish();
    });

    socket.open(QUrl(app.arguments().at(1)));
    return app.exec();
}
