#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <map>
#include <optional>

// Another X client on the CLIPBOARD selection (tools/clip-peer, through Qt's clipboard), run on
// the display of $DISPLAY. Each call waits for the peer's answer and fails the test on time-out.
class ClipPeer {
public:
    ClipPeer();
    ~ClipPeer();

    bool start();
    // Takes the clipboard with `content` (format -> bytes).
    bool copy(const std::map<QString, QByteArray>& content);
    // The clipboard's content in `format`, as this client reads it.
    std::optional<QByteArray> paste(const QString& format);

private:
    QString command(const QString& line);

    QProcess process_;
    QTemporaryDir files_;
    int fileCount_ = 0;
};
