// clip-peer: another X client on the CLIPBOARD selection, for tests and the clipboard benchmark.
// It reads one command per line on standard input and answers one line:
//   set <format> <file> [<format> <file> ...]  takes the clipboard with those contents   -> ok
//   get <format> <file>                        writes the clipboard's content to <file> -> ok <bytes> | none
// Qt's own clipboard code speaks the selection here, so the agent is checked against an
// independent implementation (INCR included).
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QSocketNotifier>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString run(const QStringList& words)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (words.value(0) == QLatin1String("set") && words.size() % 2 == 1) {
        auto mime = std::make_unique<QMimeData>();
        for (int i = 1; i + 1 < words.size(); i += 2)
            mime->setData(words[i], readFile(words[i + 1]));
        clipboard->setMimeData(mime.release());
        return QStringLiteral("ok");
    }
    if (words.value(0) == QLatin1String("get") && words.size() == 3) {
        const QMimeData* mime = clipboard->mimeData();
        if (!mime || !mime->hasFormat(words[1]))
            return QStringLiteral("none");
        const QByteArray bytes = mime->data(words[1]);
        QFile out(words[2]);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
            return QStringLiteral("none");
        return QStringLiteral("ok %1").arg(bytes.size());
    }
    return QStringLiteral("error");
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        std::string line;
        if (!std::getline(std::cin, line)) {
            app.quit();
            return;
        }
        const QStringList words = QString::fromStdString(line).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        std::cout << run(words).toStdString() << std::endl;
    });
    return app.exec();
}
