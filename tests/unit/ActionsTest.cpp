#include "Actions.h"
#include "Log.h"

#include <gtest/gtest.h>

using namespace core;
using namespace std::chrono_literals;

namespace {

const std::vector<CustomAction> kCustom = {
    {QStringLiteral("backup"), QStringLiteral("Back up"), QStringLiteral("backup.sh")},
    {QStringLiteral("lock"), QStringLiteral("Shadow of a built-in"), QStringLiteral("touch ran")},
    {QStringLiteral("backup"), QStringLiteral("Second of the id"), QStringLiteral("other.sh")},
};

} // namespace

TEST(Actions, ResolvesIdsAndValues)
{
    const struct {
        const char* id;
        std::optional<qint64> value;
        const char* expected; // "builtin", "run:<command>", or the error text
    } rows[] = {
        {"volume.set", 100, "builtin"},
        {"volume.set", 0, "builtin"},
        {"volume.set", 101, "volume.set needs value 0-100"},
        {"volume.set", -1, "volume.set needs value 0-100"},
        {"volume.set", std::nullopt, "volume.set needs value 0-100"},
        {"volume.up", 7, "builtin"},
        {"lock", std::nullopt, "builtin"}, // a custom action of that id is never run
        {"backup", std::nullopt, "run:backup.sh"}, // the first of a repeated id
        {"nope", std::nullopt, "unknown action \"nope\""},
        {"", std::nullopt, "unknown action \"\""},
    };
    for (const auto& row : rows) {
        QString got;
        try {
            const Actions::Plan plan = Actions::resolve(kCustom, QString::fromUtf8(row.id), row.value);
            if (const auto* b = std::get_if<Actions::Builtin>(&plan)) {
                got = QStringLiteral("builtin");
                EXPECT_EQ(b->id, QString::fromUtf8(row.id));
                EXPECT_EQ(b->value, row.value);
            } else {
                got = QStringLiteral("run:") + std::get<Actions::Custom>(plan).command;
            }
        } catch (const AgentError& e) {
            got = e.description();
        }
        EXPECT_EQ(got, QString::fromUtf8(row.expected)) << row.id;
    }
}

TEST(Actions, TimeoutFailsAndExitStatusIsData)
{
    const ActionOutput out = Actions::outcome({3, QStringLiteral("partial"), false}, 30s);
    EXPECT_EQ(out.exitCode, 3);
    EXPECT_EQ(out.output, QStringLiteral("partial"));
    try {
        Actions::outcome({9, QStringLiteral("partial"), true}, 30s);
        ADD_FAILURE() << "a timed-out command must fail";
    } catch (const AgentError& e) {
        EXPECT_EQ(e.description(), QStringLiteral("timeout after 30s"));
    }
}
