#pragma once

#include "TicketMint.h"

#include <QDateTime>
#include <QHttpServer>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <map>

// The cloud service's pairing and Mac endpoints with in-memory state, plus test endpoints:
//   POST /test/claim  {"code","userId","email"}  claims a registered code as a phone would
//   POST /test/ticket {"sub","mac","exp"[,"kid"]} mints an ES256 ticket with the signing key
//   POST /test/fail-updates {"count"}            answers the next count detail updates 503
//   GET  /test/state                              every Mac and code the service knows, and the
//                                                 "METHOD /path" of every request outside /test
class CloudService {
public:
    explicit CloudService(SigningKey key);

    // Listens on 127.0.0.1; answers the port, 0 on failure.
    quint16 listen(quint16 port);

private:
    struct Code {
        QString secretHash;
        QString tokenHash;
        QJsonObject details;
        QDateTime expiresAt;
        std::optional<QString> macId; // set once claimed
        QString userId;
        QString email;
    };
    struct Mac {
        QString macId;
        QString owner;
        QString tokenHash;
        QJsonObject details;
    };

    void routes();
    QHttpServerResponse registerCode(const QHttpServerRequest& request);
    QHttpServerResponse poll(const QString& code, const QHttpServerRequest& request);
    QHttpServerResponse mac(const QHttpServerRequest& request);
    QHttpServerResponse claim(const QHttpServerRequest& request);
    QHttpServerResponse ticket(const QHttpServerRequest& request);
    QHttpServerResponse failUpdates(const QHttpServerRequest& request);
    QJsonObject state() const;
    // The Mac whose token the "Mac <token>" header carries.
    Mac* macFor(const QHttpServerRequest& request);

    QHttpServer server_;
    SigningKey key_;
    std::map<QString, Code> codes_;
    std::map<QString, Mac> macs_; // by token hash
    int nextMac_ = 1;
    int unpaired_ = 0;
    // Updates of a Mac's details still to be answered 503 (a cloud that is briefly down).
    int failingUpdates_ = 0;
    QStringList requests_;
};
