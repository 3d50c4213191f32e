#include "MenuModel.h"

#include <gtest/gtest.h>

using namespace core;
using namespace core::MenuModel;

namespace core::MenuModel {

void PrintTo(const StatusLine& l, std::ostream* os) { *os << "status(" << l.text.toStdString() << ")"; }
void PrintTo(const ActionLine& l, std::ostream* os)
{
    *os << "action(" << l.title.toStdString() << ", " << actionName(l.action).toStdString()
        << (l.bold ? ", bold)" : ")");
}
void PrintTo(const DeviceLine& l, std::ostream* os)
{
    *os << "device(" << l.id.toStdString() << ", " << l.label.toStdString() << (l.disabled ? ", disabled)" : ")");
}
void PrintTo(const SeparatorLine&, std::ostream* os) { *os << "separator"; }

} // namespace core::MenuModel

namespace {

QDateTime local(const QTimeZone& zone, int y, int mo, int d, int h, int mi)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi), zone);
}

Device device(const char* id, const char* name, const QDateTime& lastSeen, Device::State state = Device::State::active)
{
    return {QString::fromUtf8(id), QString::fromUtf8(name), lastSeen, state};
}

// --- The status word -------------------------------------------------------------------------

struct StatusRow {
    const char* name;
    QTimeZone zone;
    QDateTime seen;
    QDateTime now;
    Device::State state;
    std::optional<QString> live;
    const char* expected;
};

void PrintTo(const StatusRow& row, std::ostream* os) { *os << row.name; }

const QTimeZone kBerlin("Europe/Berlin");
const QTimeZone kNewYork("America/New_York");
const auto active = Device::State::active;
const auto disabled = Device::State::disabled;
const std::optional<QString> none;
const std::optional<QString> phoneLive = QStringLiteral("p");
const std::optional<QString> otherLive = QStringLiteral("q");

const StatusRow kStatusRows[] = {
    {"live device, even disabled", kBerlin, local(kBerlin, 2026, 1, 1, 9, 0), local(kBerlin, 2026, 3, 1, 9, 0),
     disabled, phoneLive, "connected now"},
    {"another device live, this one disabled", kBerlin, local(kBerlin, 2026, 3, 1, 8, 0),
     local(kBerlin, 2026, 3, 1, 9, 0), disabled, otherLive, "disabled"},
    {"another device live, this one seen earlier today", kBerlin, local(kBerlin, 2026, 3, 1, 0, 1),
     local(kBerlin, 2026, 3, 1, 23, 59), active, otherLive, "last used today"},
    {"later today than now", kBerlin, local(kBerlin, 2026, 3, 1, 22, 0), local(kBerlin, 2026, 3, 1, 9, 0),
     active, none, "last used today"},
    // A clock set back since: the last use lies on a later day than now.
    {"later day than now", kBerlin, local(kBerlin, 2026, 3, 2, 0, 30), local(kBerlin, 2026, 3, 1, 23, 0), active,
     none, "last used today"},
    // 22:59 and 23:01 UTC: the same day in UTC, two days in Berlin.
    {"one minute before midnight", kBerlin, local(kBerlin, 2026, 2, 28, 23, 59),
     local(kBerlin, 2026, 3, 1, 0, 1), active, none, "last used yesterday"},
    // 50 hours: whole elapsed days would say 2.
    {"three calendar days", kBerlin, local(kBerlin, 2026, 2, 26, 23, 0), local(kBerlin, 2026, 3, 1, 1, 0),
     active, none, "last used 3 days ago"},
    // Clocks went forward that night: the two midnights are 23 hours apart.
    {"day after spring forward", kBerlin, local(kBerlin, 2026, 3, 29, 12, 0),
     local(kBerlin, 2026, 3, 30, 0, 30), active, none, "last used yesterday"},
    // Clocks went back on 1 November: from midnight to midnight is 73 hours, not 72.
    {"across fall back", kNewYork, local(kNewYork, 2026, 10, 31, 0, 30), local(kNewYork, 2026, 11, 3, 0, 10),
     active, none, "last used 3 days ago"},
    {"never seen", kBerlin, QDateTime(), local(kBerlin, 2026, 3, 1, 9, 0), active, none, "last used today"},
};

class MenuModelStatus : public ::testing::TestWithParam<StatusRow> {};

TEST_P(MenuModelStatus, NamesTheDevicesState)
{
    const StatusRow& row = GetParam();
    ASSERT_TRUE(row.zone.isValid()) << "no time zone data";
    const Device d = device("p", "phone", row.seen.toUTC(), row.state);
    // The instants are handed over in UTC, so only `calendar` can supply the local day.
    EXPECT_EQ(MenuModel::status(d, row.live, row.now.toUTC(), row.zone).toStdString(), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, MenuModelStatus, ::testing::ValuesIn(kStatusRows), [](const auto& info) {
    std::string name;
    for (const char c : std::string(info.param.name))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

// --- The whole menu --------------------------------------------------------------------------

const Linked kLink{QStringLiteral("mac-1"), QStringLiteral("owner-1"), QStringLiteral("me@example.com"),
                   QStringLiteral("tok"), {}};
const QDateTime kNow = local(kBerlin, 2026, 3, 1, 12, 0);

std::vector<Line> menu(bool linked, std::optional<QString> connected, const TailscaleState& tailscale,
                       const std::vector<Device>& devices, const std::optional<QString>& live)
{
    return MenuModel::lines(linked ? std::optional(kLink) : std::nullopt, std::move(connected), tailscale, devices,
                            live, kNow, kBerlin);
}

const SeparatorLine separator;
const ActionLine boldPair{QStringLiteral("Pair a phone or tablet…"), Action::pair, true};
const ActionLine pair{QStringLiteral("Pair a phone or tablet…"), Action::pair, false};
const ActionLine unpair{QStringLiteral("Unpair this Mac…"), Action::unpair, false};
const ActionLine quit{QStringLiteral("Quit Dorvane"), Action::quit, false};
const StatusLine tailscaleOff{QStringLiteral("Tailscale is off. Turn it on to connect.")};
const StatusLine tailscaleOn{QStringLiteral("Tailscale: on · me@github")};

std::vector<Device> twoDevices()
{
    return {device("p", "phone", local(kBerlin, 2026, 2, 20, 9, 0), disabled),
            device("t", "tablet", local(kBerlin, 2026, 2, 28, 23, 0))};
}

} // namespace

TEST(MenuModel, NotPairedWithTailscaleOff)
{
    const std::vector<Line> expected{StatusLine{QStringLiteral("Not paired")}, separator, tailscaleOff, separator,
                                     boldPair, separator, quit};
    EXPECT_EQ(menu(false, std::nullopt, TailscaleState::off(), {}, std::nullopt), expected);
}

TEST(MenuModel, PairedListsDevicesInTheGivenOrder)
{
    const std::vector<Line> expected{StatusLine{QStringLiteral("Paired with me@example.com")},
                                     StatusLine{QStringLiteral("Connected: phone")},
                                     separator,
                                     tailscaleOn,
                                     separator,
                                     StatusLine{QStringLiteral("Devices")},
                                     DeviceLine{QStringLiteral("p"), QStringLiteral("phone · connected now"), true},
                                     DeviceLine{QStringLiteral("t"), QStringLiteral("tablet · last used yesterday"),
                                                false},
                                     separator,
                                     pair,
                                     unpair,
                                     separator,
                                     quit};
    EXPECT_EQ(menu(true, QStringLiteral("phone"), TailscaleState::on(QStringLiteral("me@github")), twoDevices(),
                   QStringLiteral("p")),
              expected);
}

TEST(MenuModel, PairedWithoutDevicesHasNoDeviceSection)
{
    const std::vector<Line> expected{StatusLine{QStringLiteral("Paired with me@example.com")}, separator, tailscaleOn,
                                     separator, pair, unpair, separator, quit};
    EXPECT_EQ(menu(true, std::nullopt, TailscaleState::on(QStringLiteral("me@github")), {}, std::nullopt), expected);
}

TEST(MenuModel, UnpairedLeavesRememberedDevicesOut)
{
    const std::vector<Line> expected{StatusLine{QStringLiteral("Not paired")},
                                     StatusLine{QStringLiteral("Connected: dev client")},
                                     separator,
                                     tailscaleOff,
                                     separator,
                                     boldPair,
                                     separator,
                                     quit};
    EXPECT_EQ(menu(false, QStringLiteral("dev client"), TailscaleState::off(), twoDevices(), QStringLiteral("p")),
              expected);
}

TEST(MenuModel, ActionsRoundTripByName)
{
    for (const Action a : {Action::pair, Action::unpair, Action::quit})
        EXPECT_EQ(actionFrom(actionName(a)), a);
    EXPECT_EQ(actionName(Action::unpair), QStringLiteral("unpair"));
    EXPECT_FALSE(actionFrom(QString()));
    EXPECT_FALSE(actionFrom(QStringLiteral("Quit")));
}
