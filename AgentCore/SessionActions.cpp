#include "SessionActions.h"

#include "Actions.h"
#include "Log.h"
#include "RequestTable.h"
#include "Server.h"
#include "Session.h"
#include "SystemActions.h"
#include "Threads.h"

#include <QPointer>
#include <QTimer>

namespace core {

namespace {
constexpr std::chrono::milliseconds kBuiltinDelay{300};
} // namespace

SessionActions::SessionActions(const Session& session, WSConnection& ws, SystemActions& system,
                               std::vector<CustomAction> custom, RequestTable& requests)
    : session_(session)
    , ws_(ws)
    , system_(system)
    , custom_(std::move(custom))
{
    requests.add(QStringLiteral("actions.list"), [this](const Request& r) { ws_.send(Wire::ok(r.id, Actions::list(custom_))); });
    requests.add(QStringLiteral("action.run"), [this](const Request& r) {
        const auto param = r.params<ActionParam>();
        run(r.id, param.action, param.value);
    });
}

SessionActions::~SessionActions() = default;

void SessionActions::run(qint64 id, const QString& action, std::optional<qint64> value)
{
    const Actions::Plan plan = Actions::resolve(custom_, action, value);
    if (const auto* builtin = std::get_if<Actions::Builtin>(&plan)) {
        ws_.send(Wire::ok(id));
        QTimer::singleShot(kBuiltinDelay, this, [this, b = *builtin] { system_.perform(b.id, b.value); });
        return;
    }
    QPointer<SessionActions> self(this);
    system_.runShell(std::get<Actions::Custom>(plan).command, Actions::kTimeout, Actions::kOutputTail,
                     [self, id](const ShellResult& result) {
                         postToMain(self, [id, result](SessionActions* s) {
                             if (s->session_.ended())
                                 return;
                             try {
                                 s->ws_.send(Wire::ok(id, Actions::outcome(result, Actions::kTimeout)));
                             } catch (const AgentError& e) {
                                 s->ws_.send(Wire::fail(id, e.description()));
                             }
                         });
                     });
}

} // namespace core
