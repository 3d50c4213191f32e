#pragma once

#include "Config.h"

#include <QObject>

#include <vector>

namespace core {

class RequestTable;
class Session;
class SystemActions;
class WSConnection;

// A session's "actions.list" and "action.run". A built-in is answered at once and performed 0.3 s
// later, so that the reply reaches the phone before the effect (a locked screen, a sleeping
// computer) can hold it up; a custom command runs off the main thread and is answered when it
// ends, unless the session has ended by then. Main thread. The session owns this object; the
// connection and the system actions are borrowed from the session and the agent, which outlive it.
class SessionActions : public QObject {
    Q_OBJECT
public:
    SessionActions(const Session& session, WSConnection& ws, SystemActions& system, std::vector<CustomAction> custom,
                   RequestTable& requests);
    ~SessionActions() override;

private:
    void run(qint64 id, const QString& action, std::optional<qint64> value);

    const Session& session_;
    WSConnection& ws_;
    SystemActions& system_;
    const std::vector<CustomAction> custom_;
};

} // namespace core
