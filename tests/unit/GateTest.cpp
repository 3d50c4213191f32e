#include "Gate.h"
#include "TicketMint.h"

#include <gtest/gtest.h>

using namespace core;
using State = Device::State;

namespace {

const QDateTime kNow = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
const Linked kLink{QStringLiteral("mac-1"), QStringLiteral("user-1"), QStringLiteral("a@b.c"), QStringLiteral("tok"), {}};

struct Row {
    const char* name;
    const char* ticket; // "good", "expired", "forged", "othermac" or null
    const char* pairCode;
    bool live;
    bool linked;
    const char* shownCode;
    bool dev;
    std::optional<State> device;
    Gate::Result expected;
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

const Gate::Result admit = Gate::Result::admit();
const Gate::Result signIn = Gate::Result::close(Close::signIn);
const Gate::Result expired = Gate::Result::close(Close::expired);
const Gate::Result notPaired = Gate::Result::close(Close::notPaired);
const Gate::Result removed = Gate::Result::close(Close::removed);
const Gate::Result disabled = Gate::Result::close(Close::disabled);

const Row kRows[] = {
    {"dev admits anything", "forged", "WRONG", false, false, nullptr, true, State::disabled, admit},
    {"live session admits an expired ticket", "expired", nullptr, true, true, nullptr, false, std::nullopt, admit},
    {"disabled device with the shown code", nullptr, "ABC123", false, true, "ABC123", false, State::disabled, disabled},
    {"disabled device with a good ticket", "good", nullptr, false, true, nullptr, false, State::disabled, disabled},
    {"shown code on an unpaired Mac", nullptr, "ABC123", false, false, "ABC123", false, std::nullopt, admit},
    {"shown code typed in lower case", nullptr, "abc123", false, true, "ABC123", false, State::active, admit},
    {"shown code with a separator", nullptr, "ABC 123", false, true, "ABC123", false, std::nullopt, signIn},
    {"removed device with the shown code", nullptr, "ABC123", false, true, "ABC123", false, State::removed, admit},
    {"removed device with a good ticket", "good", nullptr, false, true, nullptr, false, State::removed, removed},
    {"code but nothing shown", nullptr, "ABC123", false, true, nullptr, false, std::nullopt, signIn},
    {"wrong code falls through to the ticket", "good", "ZZZ999", false, true, "ABC123", false, std::nullopt, admit},
    {"unpaired Mac with a ticket", "good", nullptr, false, false, nullptr, false, std::nullopt, notPaired},
    {"unpaired Mac with a wrong code", nullptr, "ZZZ999", false, false, "ABC123", false, std::nullopt, notPaired},
    {"paired Mac, nothing offered", nullptr, nullptr, false, true, nullptr, false, std::nullopt, signIn},
    {"good ticket", "good", nullptr, false, true, nullptr, false, State::active, admit},
    {"ticket 301 s past expiry", "expired", nullptr, false, true, nullptr, false, std::nullopt, expired},
    {"forged ticket", "forged", nullptr, false, true, nullptr, false, std::nullopt, signIn},
    {"ticket for another Mac", "othermac", nullptr, false, true, nullptr, false, std::nullopt, signIn},
};

class GateTable : public ::testing::TestWithParam<Row> {
protected:
    static inline SigningKey key = SigningKey::generate();
    static inline SigningKey forger = SigningKey::generate();

    std::optional<QString> ticket(const char* kind) const
    {
        if (!kind)
            return std::nullopt;
        const std::string k = kind;
        const double now = Ticket::seconds(kNow);
        if (k == "good")
            return key.ticket(QStringLiteral("t1"), kLink.owner, kLink.macId, now + 60);
        if (k == "expired")
            return key.ticket(QStringLiteral("t1"), kLink.owner, kLink.macId, now - 301);
        if (k == "othermac")
            return key.ticket(QStringLiteral("t1"), kLink.owner, QStringLiteral("mac-2"), now + 60);
        return forger.ticket(QStringLiteral("t1"), kLink.owner, kLink.macId, now + 60);
    }
};

std::optional<QString> text(const char* s) { return s ? std::optional(QString::fromUtf8(s)) : std::nullopt; }

} // namespace

TEST_P(GateTable, Decides)
{
    const Row& row = GetParam();
    const Ticket::Keys keys{{QStringLiteral("t1"), key.publicKey()}};
    const Gate::Result result =
        Gate::decide(ticket(row.ticket), text(row.pairCode), row.live, row.linked ? std::optional(kLink) : std::nullopt,
                     text(row.shownCode), row.dev, row.device, kNow, keys);
    EXPECT_EQ(result.admitted, row.expected.admitted);
    EXPECT_EQ(result.code, row.expected.code);
    EXPECT_EQ(result.reason, row.expected.reason);
}

INSTANTIATE_TEST_SUITE_P(Rows, GateTable, ::testing::ValuesIn(kRows), [](const auto& info) {
    std::string name;
    for (const char c : std::string(info.param.name))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

TEST(Gate, CodesCompareWholeAndExact)
{
    EXPECT_TRUE(Gate::sameCode(QStringLiteral("ABC123"), QStringLiteral("ABC123")));
    EXPECT_FALSE(Gate::sameCode(QStringLiteral("ABC12"), QStringLiteral("ABC123")));
    EXPECT_FALSE(Gate::sameCode(QStringLiteral("ABC124"), QStringLiteral("ABC123")));
    EXPECT_FALSE(Gate::sameCode(QString(), QStringLiteral("ABC123")));
}

TEST(Gate, FiveWrongCodesBarAPeerUntilAnotherCodeIsShown)
{
    Gate::CodeGuesses guesses;
    const QString code = QStringLiteral("ABC123");
    const QString guesser = QStringLiteral("100.64.0.9");
    const QString other = QStringLiteral("100.64.0.2");
    for (int i = 0; i < Gate::CodeGuesses::kMaxWrong; ++i)
        EXPECT_FALSE(guesses.barred(guesser, QStringLiteral("ZZZ%1").arg(i), code)) << i;
    // Barred now, even with the right code; hellos without a code count for nothing.
    EXPECT_TRUE(guesses.barred(guesser, code, code));
    EXPECT_TRUE(guesses.barred(guesser, std::nullopt, code));
    // Other addresses and their right codes are not affected.
    EXPECT_FALSE(guesses.barred(other, std::nullopt, code));
    EXPECT_FALSE(guesses.barred(other, QStringLiteral("abc123"), code));
    // A new code starts afresh; so does a code shown again after none.
    EXPECT_FALSE(guesses.barred(guesser, QStringLiteral("XYZ789"), QStringLiteral("XYZ789")));
    for (int i = 0; i < Gate::CodeGuesses::kMaxWrong; ++i)
        guesses.barred(guesser, QStringLiteral("nope"), QStringLiteral("XYZ789"));
    EXPECT_TRUE(guesses.barred(guesser, QStringLiteral("XYZ789"), QStringLiteral("XYZ789")));
    EXPECT_FALSE(guesses.barred(guesser, QStringLiteral("XYZ789"), std::nullopt));
    EXPECT_FALSE(guesses.barred(guesser, QStringLiteral("XYZ789"), QStringLiteral("XYZ789")));
}
