#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTcpServer>

// A stand-in web server on loopback that answers every request, once its headers are in, with the
// same raw bytes and then closes the connection; with no bytes it never answers. For cloud replies
// no real server would give: garbage, enormous bodies, silence. An endless answer is not closed but
// goes on with spaces for as long as the client reads.
class CannedHttp : public QObject {
public:
    explicit CannedHttp(QByteArray response, bool endless = false);

    // The base URL to point a client at.
    QString base() const;

private:
    QTcpServer server_;
    QByteArray response_;
};
