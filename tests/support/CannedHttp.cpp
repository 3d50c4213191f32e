#include "CannedHttp.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <memory>

CannedHttp::CannedHttp(QByteArray response, bool endless)
    : response_(std::move(response))
{
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this, endless] {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            auto request = std::make_shared<QByteArray>();
            connect(s, &QTcpSocket::readyRead, s, [this, s, request, endless] {
                *request += s->readAll();
                if (response_.isEmpty() || !request->contains("\r\n\r\n") || s->property("answered").toBool())
                    return;
                s->setProperty("answered", true);
                s->write(response_);
                if (!endless) {
                    s->disconnectFromHost();
                    return;
                }
                connect(s, &QTcpSocket::bytesWritten, s, [s] {
                    if (s->bytesToWrite() < (1 << 16))
                        s->write(QByteArray(1 << 16, ' '));
                });
            });
            connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
}

QString CannedHttp::base() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort());
}
