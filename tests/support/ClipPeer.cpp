#include "ClipPeer.h"

#include <QDeadlineTimer>
#include <QFile>

#include <gtest/gtest.h>

ClipPeer::ClipPeer() = default;

ClipPeer::~ClipPeer()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.closeWriteChannel();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished();
    }
}

bool ClipPeer::start()
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral(CLIP_PEER), {});
    return process_.waitForStarted();
}

QString ClipPeer::command(const QString& line)
{
    process_.write(line.toUtf8() + '\n');
    const QDeadlineTimer deadline(30000);
    while (!process_.canReadLine()) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            ADD_FAILURE() << "clip-peer did not answer \"" << line.toStdString() << "\"";
            return {};
        }
        process_.waitForReadyRead(int(deadline.remainingTime()));
    }
    return QString::fromUtf8(process_.readLine()).trimmed();
}

bool ClipPeer::copy(const std::map<QString, QByteArray>& content)
{
    QString line = QStringLiteral("set");
    for (const auto& [format, bytes] : content) {
        const QString path = files_.filePath(QString::number(++fileCount_));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return false;
        line += QLatin1Char(' ') + format + QLatin1Char(' ') + path;
    }
    return command(line) == QLatin1String("ok");
}

std::optional<QByteArray> ClipPeer::paste(const QString& format)
{
    const QString path = files_.filePath(QString::number(++fileCount_));
    if (!command(QStringLiteral("get %1 %2").arg(format, path)).startsWith(QLatin1String("ok")))
        return std::nullopt;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    return f.readAll();
}
