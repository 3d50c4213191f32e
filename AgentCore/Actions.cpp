#include "Actions.h"

#include "Builtins.h"
#include "Log.h"

namespace core::Actions {

std::vector<ActionInfo> list(const std::vector<CustomAction>& custom)
{
    std::vector<ActionInfo> out;
    for (const CustomAction& a : custom)
        out.push_back({a.id, a.name, false});
    for (const Builtins::Entry& b : Builtins::all())
        out.push_back({b.id, b.name, true});
    return out;
}

Plan resolve(const std::vector<CustomAction>& custom, const QString& id, std::optional<qint64> value)
{
    if (Builtins::ids().contains(id)) {
        if (id == QLatin1String("volume.set") && (!value || *value < 0 || *value > 100))
            throw AgentError(QStringLiteral("volume.set needs value 0-100"));
        return Builtin{id, value};
    }
    for (const CustomAction& a : custom) {
        if (a.id == id)
            return Custom{a.run};
    }
    throw AgentError(QStringLiteral("unknown action \"%1\"").arg(id));
}

ActionOutput outcome(const ShellResult& result, std::chrono::seconds timeout)
{
    if (result.timedOut)
        throw AgentError(QStringLiteral("timeout after %1s").arg(timeout.count()));
    return {result.exitCode, result.output};
}

} // namespace core::Actions
