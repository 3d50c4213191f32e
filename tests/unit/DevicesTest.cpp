#include "Devices.h"

#include <QTimeZone>

#include <gtest/gtest.h>

using namespace core;

namespace {

QDateTime at(int seconds) { return fromReferenceSeconds(seconds); }

DeviceList sample()
{
    DeviceList list;
    list.record(QStringLiteral("a"), QStringLiteral("phone"), at(100));
    list.record(QStringLiteral("b"), QStringLiteral("ipad"), at(300));
    list.record(QStringLiteral("c"), QStringLiteral("other"), at(100));
    return list;
}

QStringList ids(const std::vector<Device>& devices)
{
    QStringList out;
    for (const Device& d : devices)
        out << d.id;
    return out;
}

} // namespace

TEST(DeviceList, VisibleIsNewestFirstAndStable)
{
    DeviceList list = sample();
    EXPECT_EQ(ids(list.visible()), (QStringList{"b", "a", "c"}));
    list.remove(QStringLiteral("b"));
    EXPECT_EQ(ids(list.visible()), (QStringList{"a", "c"}));
    EXPECT_EQ(list.state(QStringLiteral("b")), Device::State::removed);
}

TEST(DeviceList, RecordRevivesRemovedButNotDisabled)
{
    DeviceList list = sample();
    list.remove(QStringLiteral("a"));
    list.disable(QStringLiteral("b"));
    list.record(QStringLiteral("a"), QStringLiteral("renamed"), at(500));
    list.record(QStringLiteral("b"), QStringLiteral("ipad"), at(500));
    EXPECT_EQ(list.state(QStringLiteral("a")), Device::State::active);
    EXPECT_EQ(list.all[0].name, QStringLiteral("renamed"));
    EXPECT_EQ(list.all[0].lastSeen, at(500));
    EXPECT_EQ(list.state(QStringLiteral("b")), Device::State::disabled);
    EXPECT_EQ(list.all.size(), 3u);
}

TEST(DeviceList, UnknownIdsChangeNothing)
{
    DeviceList list = sample();
    const DeviceList before = list;
    list.touch(QStringLiteral("zz"), at(1));
    list.disable(QStringLiteral("zz"));
    list.enable(QStringLiteral("zz"));
    list.remove(QStringLiteral("zz"));
    EXPECT_EQ(list, before);
    EXPECT_FALSE(list.state(QStringLiteral("zz")));
}

TEST(DeviceList, ClearKeepsAtMostOne)
{
    DeviceList list = sample();
    list.clear(QStringLiteral("b"));
    EXPECT_EQ(ids(list.all), (QStringList{"b"}));
    list = sample();
    list.clear(QStringLiteral("unknown"));
    EXPECT_TRUE(list.all.empty());
    list = sample();
    list.clear(std::nullopt);
    EXPECT_TRUE(list.all.empty());
}

TEST(DeviceList, PersistedFormRoundTrips)
{
    DeviceList list = sample();
    list.disable(QStringLiteral("c"));
    list.touch(QStringLiteral("a"), fromReferenceSeconds(123.456));
    const auto bytes = list.encoded();
    ASSERT_TRUE(bytes);
    EXPECT_TRUE(bytes->startsWith(R"({"all":[{"id":"a","lastSeen":123.456,"name":"phone","state":"active"})"))
        << bytes->constData();
    EXPECT_EQ(DeviceList::decode(*bytes), list);
}

TEST(DeviceList, LastSeenCountsFrom2001)
{
    const auto list = DeviceList::decode(R"({"all":[{"id":"x","name":"n","lastSeen":0,"state":"active"}]})");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->all[0].lastSeen, QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC));
}

TEST(DeviceList, AnyBadMemberMakesTheWholeListUnreadable)
{
    for (const char* json : {R"({"all":[{"id":"x","name":"n","lastSeen":0,"state":"gone"}]})",
                             R"({"all":[{"id":"x","name":"n","state":"active"}]})",
                             R"({"all":[{"id":"x","name":"n","lastSeen":"0","state":"active"}]})", R"({"all":{}})",
                             R"({})", "garbage", ""}) {
        EXPECT_FALSE(DeviceList::decode(json)) << json;
    }
}

TEST(Device, PeerFromWhois)
{
    EXPECT_FALSE(Device::peer(std::nullopt, QStringLiteral("100.64.0.9")));
    Whois w{123, QStringLiteral("me@x"), std::nullopt, std::nullopt};
    EXPECT_EQ(Device::peer(w, QStringLiteral("100.64.0.9")), (Device::Peer{QStringLiteral("123"), QStringLiteral("100.64.0.9")}));
    w.stableID = QStringLiteral("nSTABLE");
    w.dnsName = QStringLiteral("..ipad.tail1.ts.net");
    EXPECT_EQ(Device::peer(w, QStringLiteral("r")), (Device::Peer{QStringLiteral("nSTABLE"), QStringLiteral("ipad")}));
    w.dnsName = QStringLiteral("...");
    EXPECT_EQ(Device::peer(w, QStringLiteral("r"))->name, QStringLiteral("r"));
}
