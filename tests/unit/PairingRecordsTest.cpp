#include "PairingRecords.h"

#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

using namespace core;

namespace {

MacDetails sampleDetails()
{
    return {QStringLiteral("nSTABLE1"), QStringLiteral("Desk"), QStringLiteral("desk.tail.ts.net"), 7420,
            QStringLiteral("ann@example.com")};
}

} // namespace

TEST(PairCode, CodesUseOnlyTheAlphabet)
{
    static const QRegularExpression shape(QStringLiteral("^[0-9ABCDEFGHJKMNPQRSTVWXYZ]{6}$"));
    QSet<QChar> seen;
    for (int i = 0; i < 500; ++i) {
        const QString code = PairCode::make();
        ASSERT_TRUE(shape.match(code).hasMatch()) << code.toStdString();
        for (QChar c : code)
            seen.insert(c);
    }
    EXPECT_EQ(seen.size(), 32); // 3000 draws reach every character
}

TEST(PairCode, DisplaySplitsThreeAndThree) { EXPECT_EQ(PairCode::display(QStringLiteral("ABCDEF")), QStringLiteral("ABC DEF")); }

TEST(PairCode, SecretsAreFreshLowerCaseHex)
{
    static const QRegularExpression shape(QStringLiteral("^[0-9a-f]{64}$"));
    const QString a = PairCode::secret();
    EXPECT_TRUE(shape.match(a).hasMatch()) << a.toStdString();
    EXPECT_NE(a, PairCode::secret());
}

TEST(PairCode, Sha256IsLowerCaseHexOfUtf8)
{
    EXPECT_EQ(PairCode::sha256Hex(QStringLiteral("abc")),
              QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_EQ(PairCode::sha256Hex(QString()),
              QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    EXPECT_EQ(PairCode::sha256Hex(QString::fromUtf8("\xc3\xa9")), QStringLiteral("4a99557e4033c3539de2eb65472017cad5f9557f7a0625a09f1c3f6e2ba69c4c"));
}

TEST(PairCode, LinkCarriesTheParametersInOrder)
{
    const QUrl url = PairCode::link(QStringLiteral("ABC123"), sampleDetails());
    ASSERT_TRUE(url.isValid());
    EXPECT_EQ(url.toString(QUrl::FullyEncoded),
              QStringLiteral("https://dorvane.app/pair?c=ABC123&h=desk.tail.ts.net&p=7420&n=Desk&t=ann%40example.com&i=nSTABLE1"));
}

TEST(PairCode, LinkEncodesEverythingButUnreserved)
{
    MacDetails d = sampleDetails();
    d.name = QString::fromUtf8("Ann's Mac & Co=+ é");
    d.dnsName = QStringLiteral("a-b.c_d~e");
    d.nodeId = QStringLiteral("x/y?z#");
    const QString text = PairCode::link(QStringLiteral("ABC123"), d).toString(QUrl::FullyEncoded);
    EXPECT_TRUE(text.contains(QStringLiteral("&n=Ann%27s%20Mac%20%26%20Co%3D%2B%20%C3%A9&"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("&h=a-b.c_d~e&"))) << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("&i=x%2Fy%3Fz%23"))) << text.toStdString();
}

TEST(Linked, RoundTripsWithAndWithoutDetails)
{
    Linked bare{QStringLiteral("m1"), QStringLiteral("u1"), QStringLiteral("a@b.c"), QString(64, QLatin1Char('a')), {}};
    EXPECT_FALSE(bare.encoded().contains("details"));
    EXPECT_EQ(Linked::decode(bare.encoded()), bare);
    Linked full = bare;
    full.details = sampleDetails();
    EXPECT_EQ(Linked::decode(full.encoded()), full);
    EXPECT_NE(Linked::decode(full.encoded()), bare);
}

TEST(Linked, IncompleteOrMistypedDoesNotDecode)
{
    EXPECT_FALSE(Linked::decode(R"({"macId":"m","owner":"u","token":"t"})"));
    EXPECT_FALSE(Linked::decode(R"({"macId":"m","owner":"u","email":5,"token":"t"})"));
    EXPECT_FALSE(Linked::decode(R"({"macId":"m","owner":"u","email":"e","token":"t","details":{"nodeId":"n"}})"));
    EXPECT_FALSE(Linked::decode("{\"macId\":\"m\""));
    EXPECT_FALSE(Linked::decode(QByteArray()));
    EXPECT_TRUE(Linked::decode(R"({"macId":"m","owner":"u","email":"e","token":"t","extra":1,"details":null})"));
}

TEST(MacDetails, FallbacksForNodeAndName)
{
    Whois me{42, QStringLiteral("ann@example.com"), std::nullopt, std::nullopt};
    EXPECT_EQ(MacDetails::make(me, QStringLiteral("Desk"), QStringLiteral("100.64.0.1"), 7420),
              (MacDetails{QStringLiteral("42"), QStringLiteral("Desk"), QStringLiteral("100.64.0.1"), 7420,
                          QStringLiteral("ann@example.com")}));
    EXPECT_EQ(MacDetails::make(me, QStringLiteral("Desk"), std::nullopt, 1).dnsName, QString());
    me.stableID = QStringLiteral("nSTABLE");
    me.dnsName = QStringLiteral("desk.tail.ts.net.");
    const MacDetails d = MacDetails::make(me, QStringLiteral("Desk"), QStringLiteral("100.64.0.1"), 7420);
    EXPECT_EQ(d.nodeId, QStringLiteral("nSTABLE"));
    EXPECT_EQ(d.dnsName, QStringLiteral("desk.tail.ts.net"));
}
