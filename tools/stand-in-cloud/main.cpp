// A stand-in for the cloud service, for tests on one machine. Listens on 127.0.0.1, prints
// "listening on http://127.0.0.1:<port>" and exits when its standard input closes, so it never
// outlives the test that started it.
#include "CloudService.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("port"), QStringLiteral("Port to listen on (0: any free port)."), QStringLiteral("port"),
                      QStringLiteral("0")});
    parser.addOption({QStringLiteral("key"), QStringLiteral("PEM private key that signs tickets."), QStringLiteral("file"),
                      QStringLiteral(DEV_TICKET_KEY)});
    parser.addHelpOption();
    parser.process(app);

    const SigningKey key = SigningKey::fromFile(parser.value(QStringLiteral("key")));
    if (!key.valid()) {
        std::fprintf(stderr, "stand-in-cloud: cannot read the signing key %s\n", qPrintable(parser.value(QStringLiteral("key"))));
        return 1;
    }
    CloudService service(key);
    const quint16 port = service.listen(static_cast<quint16>(parser.value(QStringLiteral("port")).toUInt()));
    if (port == 0) {
        std::fprintf(stderr, "stand-in-cloud: cannot listen\n");
        return 1;
    }
    std::printf("listening on http://127.0.0.1:%u\n", port);
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            QCoreApplication::quit();
    });
    return QCoreApplication::exec();
}
