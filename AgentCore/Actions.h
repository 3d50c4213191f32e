#pragma once

#include "Config.h"
#include "Protocol.h"

#include <QString>

#include <chrono>
#include <optional>
#include <variant>
#include <vector>

namespace core {

// How one custom command ended: its exit status (the signal's number when a signal ended it, -1
// when it never ran), the tail of its combined output, and whether it outlived its time limit.
struct ShellResult {
    qint32 exitCode = 0;
    QString output;
    bool timedOut = false;
};

// The phone's actions: the configured custom commands and the built-ins. Pure decisions; running
// them is SystemActions' job.
namespace Actions {

// A time limit for one custom command.
inline constexpr std::chrono::seconds kTimeout{30};
// How much of a command's output reaches the phone.
inline constexpr qsizetype kOutputTail = 4096;

struct Builtin {
    QString id;
    std::optional<qint64> value;
};
struct Custom {
    QString command;
};
using Plan = std::variant<Builtin, Custom>;

// The custom actions in configuration order, then the built-ins.
std::vector<ActionInfo> list(const std::vector<CustomAction>& custom);

// What running `id` means. A built-in id always wins over a custom action of the same id. Throws
// AgentError "volume.set needs value 0-100" or "unknown action \"<id>\"".
Plan resolve(const std::vector<CustomAction>& custom, const QString& id, std::optional<qint64> value);

// The phone's answer to a finished command: a non-zero exit is data, not an error. Throws
// AgentError "timeout after <seconds>s" for a command that ran out of time.
ActionOutput outcome(const ShellResult& result, std::chrono::seconds timeout);

} // namespace Actions

} // namespace core
