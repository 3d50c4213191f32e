#pragma once

#include "PairingRecords.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

class QObject;

namespace core {

struct HttpRequest {
    QByteArray method;
    QUrl url;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    QByteArray body;
    int timeoutMs = 15000;
};

struct HttpResponse {
    int status = 0;
    QByteArray body;
};

// The value of an operation that completes later, or the description of why it failed.
template <typename T> struct Outcome {
    std::optional<T> value;
    QString error;

    static Outcome success(T v) { return {std::move(v), {}}; }
    static Outcome failure(QString e) { return {std::nullopt, std::move(e)}; }
    bool ok() const { return value.has_value(); }
};

// The thin HTTP client of the cloud service. Completions run on the thread that `send` delivers
// on; the production sender delivers on the main thread.
class CloudAPI {
public:
    using Reply = std::function<void(Outcome<HttpResponse>)>;
    // Performs one request and calls the reply exactly once.
    using Send = std::function<void(const HttpRequest&, Reply)>;

    // The status of a shown code.
    struct Poll {
        enum class Kind { claimed, pending, expired };
        Kind kind = Kind::pending;
        QString macId;
        QString owner;
        QString email;

        static Poll claimed(QString macId, QString owner, QString email)
        {
            return {Kind::claimed, std::move(macId), std::move(owner), std::move(email)};
        }
        static Poll pending() { return {}; }
        static Poll expired() { return {Kind::expired, {}, {}, {}}; }
        friend bool operator==(const Poll&, const Poll&) = default;
    };

    // The cloud service's default base address.
    static inline const QString production = QStringLiteral("https://api.dorvane.app");
    // Requests time out after this long.
    static constexpr int timeoutMs = 15000;
    // Replies larger than this are cut off and fail.
    static constexpr qint64 maxReplyBytes = 1 << 20;

    CloudAPI(QUrl base, Send send);

    // Sends with a QNetworkAccessManager owned by `owner` (a Qt parent); delivers on its thread.
    static Send urlSession(QObject* owner);

    // POST v1/pair: true when the cloud took the code, false when it is taken (409).
    void registerCode(const QString& code, const QString& secret, const QString& token, const MacDetails& details,
                      std::function<void(Outcome<bool>)> done) const;
    // GET v1/pair/<code>.
    void poll(const QString& code, const QString& secret, std::function<void(Outcome<Poll>)> done) const;
    // GET v1/mac: true while still linked, false when unlinked (401).
    void status(const QString& token, std::function<void(Outcome<bool>)> done) const;
    // PUT v1/mac with the details.
    void update(const QString& token, const MacDetails& details, std::function<void(Outcome<std::monostate>)> done) const;
    // DELETE v1/mac; an unknown token (401) also counts as done.
    void unpair(const QString& token, std::function<void(Outcome<std::monostate>)> done) const;

    // base with `path` appended as a path component.
    QUrl endpoint(const QString& path) const;

    // Maps a poll reply body; throws json::DecodeError or AgentError.
    static Poll decodePoll(const QByteArray& body);

    QUrl base;
    Send send;

private:
    HttpRequest request(const char* method, const QString& path, const QByteArray& authorization = {}) const;
};

} // namespace core
