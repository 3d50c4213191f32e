#pragma once

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QString>

#include <optional>

// The stand-in cloud service as a child process on loopback. It exits when this object closes
// its standard input (on destruction), so it never outlives the test.
class CloudProcess {
public:
    CloudProcess();
    ~CloudProcess();

    // Starts the service and waits for its port; false (with error()) when it did not come up.
    bool start();
    const QString& error() const { return error_; }
    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }

    // One request to the service; the reply's JSON object, absent on any failure.
    std::optional<QJsonObject> post(const QString& path, const QJsonObject& body);
    std::optional<QJsonObject> get(const QString& path);

    // Test endpoints.
    bool claim(const QString& code, const QString& userId, const QString& email);
    QString ticket(const QString& sub, const QString& mac, double exp);
    QJsonObject state();
    // Registers and claims a code for a Mac holding `token`, as a whole pairing would; the macId.
    QString pairMac(const QString& token, const QString& owner);
    // Whether the service has received a request "METHOD /path".
    bool received(const QString& methodPath);

private:
    std::optional<QJsonObject> finish(class QNetworkReply* reply);

    QProcess process_;
    QNetworkAccessManager network_;
    int port_ = 0;
    QString error_;
};
