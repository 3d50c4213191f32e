#pragma once

#include "Json.h"
#include "Protocol.h"

#include <QHash>
#include <QString>

#include <functional>

namespace core {

// One decoded request: its envelope and the message it came in, parsed once. Parameters sit beside
// `type` and `id` in the same object.
struct Request {
    QString type;
    qint64 id = 0;
    json::Reader message;

    // Throws AgentError "bad params: ..." when the message does not hold a T.
    template <typename T> T params() const
    {
        try {
            return T::decode(message);
        } catch (const json::DecodeError& e) {
            Wire::badParams(e);
        }
    }
};

// Request types and their handlers; each feature of a session registers the types it owns. A
// handler replies itself (now or later) or throws, and the throw becomes the failure reply.
class RequestTable {
public:
    using Handler = std::function<void(const Request&)>;

    // A type is owned by one feature: registering it twice is a programming error.
    void add(const QString& type, Handler handler);
    // Null for a type nobody registered.
    const Handler* find(const QString& type) const;

private:
    QHash<QString, Handler> handlers_;
};

} // namespace core
