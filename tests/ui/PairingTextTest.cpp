#include "PairingText.h"

#include <QTimeZone>

#include <gtest/gtest.h>

using namespace core;
using namespace ui;

TEST(PairingText, CountdownRoundsUpToWholeSeconds)
{
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1'700'000'000, QTimeZone::utc());
    const struct {
        qint64 ms;
        const char* expected;
    } rows[] = {
        {600'000, "New code in 10:00"}, {599'001, "New code in 10:00"}, {599'000, "New code in 9:59"},
        {61'000, "New code in 1:01"},   {1, "New code in 0:01"},         {0, "New code in 0:00"},
        {-5'000, "New code in 0:00"},   {3'661'000, "New code in 1:01:01"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(PairingText::countdown(now, now.addMSecs(row.ms)), row.expected) << row.ms;
}

TEST(PairingText, JustPairedOnlyWhenALinkAppearsOrChangesAccount)
{
    const Linked ann{"m", "o", "ann@example.com", "t", std::nullopt};
    const struct {
        std::optional<QString> before;
        std::optional<Linked> after;
        bool expected;
    } rows[] = {
        {std::nullopt, ann, true},
        {QStringLiteral("bob@example.com"), ann, true},
        {QStringLiteral("ann@example.com"), ann, false},
        {std::nullopt, std::nullopt, false},
        {QStringLiteral("ann@example.com"), std::nullopt, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(PairingText::justPaired(row.before, row.after), row.expected) << row.before.value_or("-").toStdString();
}
