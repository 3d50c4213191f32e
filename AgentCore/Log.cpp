#include "Log.h"

#include <QDateTime>

#include <unistd.h>

namespace core {

QByteArray logLine(const QString& message)
{
    // ISODateWithMs on a UTC date time gives 2026-12-06T19:04:56.123Z.
    QByteArray line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8();
    line += ' ';
    line += message.toUtf8();
    line += '\n';
    return line;
}

void log(const QString& message)
{
    const QByteArray line = logLine(message);
    const char* p = line.constData();
    qsizetype left = line.size();
    // One write for the whole line; the loop only matters if a signal interrupts a long line.
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        p += n;
        left -= n;
    }
}

AgentError::AgentError(QString message)
    : message_(std::move(message))
    , utf8_(message_.toStdString())
{
}

QString describe(const std::exception& e)
{
    if (const auto* agentError = dynamic_cast<const AgentError*>(&e))
        return agentError->description();
    return QString::fromUtf8(e.what());
}

} // namespace core
