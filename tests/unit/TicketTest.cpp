#include "Ticket.h"
#include "TicketMint.h"

#include <QFile>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <cmath>

using namespace core;
using Ticket::Verdict;

namespace {

const QString kOwner = QStringLiteral("user-1");
const QString kMac = QStringLiteral("mac-1");
constexpr double kNow = 1'800'000'000.0;

class TicketCheck : public ::testing::Test {
protected:
    SigningKey key = SigningKey::generate();
    Ticket::Keys keys{{QStringLiteral("t1"), key.publicKey()}};

    Verdict check(const QString& token, double now = kNow) { return Ticket::check(token, kOwner, kMac, now, keys); }
    QString good(double exp = kNow + 60) { return key.ticket(QStringLiteral("t1"), kOwner, kMac, exp); }
    QString withClaims(const QJsonObject& claims)
    {
        return key.ticket(QJsonObject{{"alg", "ES256"}, {"kid", "t1"}}, claims);
    }
    QString withHeader(const QJsonObject& header)
    {
        return key.ticket(header, QJsonObject{{"sub", kOwner}, {"mac", kMac}, {"exp", kNow + 60}});
    }
};

} // namespace

TEST_F(TicketCheck, FreshTicketIsValid)
{
    ASSERT_TRUE(key.valid());
    ASSERT_TRUE(keys.at(QStringLiteral("t1")));
    EXPECT_EQ(check(good()), Verdict::valid);
}

TEST_F(TicketCheck, LeewayEndsExactlyThreeHundredSecondsAfterExpiry)
{
    EXPECT_EQ(check(good(kNow - 300)), Verdict::valid);
    EXPECT_EQ(check(good(kNow - 300.001)), Verdict::expired);
    EXPECT_EQ(check(good(kNow - 301)), Verdict::expired);
}

TEST_F(TicketCheck, UncomparableTimeIsExpired)
{
    EXPECT_EQ(check(good(), std::nan("")), Verdict::expired);
    EXPECT_TRUE(std::isnan(Ticket::seconds(QDateTime())));
}

TEST_F(TicketCheck, OwnerAndMacMustMatchExactly)
{
    EXPECT_EQ(check(key.ticket(QStringLiteral("t1"), QStringLiteral("USER-1"), kMac, kNow + 60)), Verdict::invalid);
    EXPECT_EQ(check(key.ticket(QStringLiteral("t1"), kOwner, QStringLiteral("mac-2"), kNow + 60)), Verdict::invalid);
    // An expired ticket for someone else is invalid, not expired.
    EXPECT_EQ(check(key.ticket(QStringLiteral("t1"), kOwner, QStringLiteral("mac-2"), kNow - 1000)), Verdict::invalid);
}

TEST_F(TicketCheck, SignatureMustBeRawRAndS)
{
    EXPECT_EQ(check(key.ticket(QJsonObject{{"alg", "ES256"}, {"kid", "t1"}},
                               QJsonObject{{"sub", kOwner}, {"mac", kMac}, {"exp", kNow + 60}}, true)),
              Verdict::invalid);
    const QString t = good();
    const QString input = t.section(QLatin1Char('.'), 0, 1);
    const QByteArray raw = QByteArray::fromBase64(t.section(QLatin1Char('.'), 2).toLatin1(), QByteArray::Base64UrlEncoding);
    ASSERT_EQ(raw.size(), 64);
    EXPECT_EQ(check(input + '.' + base64url(raw.left(63))), Verdict::invalid);
    EXPECT_EQ(check(input + '.' + base64url(raw + '\0')), Verdict::invalid);
    QByteArray flipped = raw;
    flipped[10] = static_cast<char>(flipped[10] ^ 1);
    EXPECT_EQ(check(input + '.' + base64url(flipped)), Verdict::invalid);
    EXPECT_EQ(check(input + '.' + base64url(QByteArray(64, '\0'))), Verdict::invalid);
}

TEST_F(TicketCheck, SignedMessageIsTheTokenTextNotTheDecodedBytes)
{
    // The same header with padding added still decodes, but the signature covered the unpadded text.
    const QString t = good();
    const QStringList parts = t.split(QLatin1Char('.'));
    QString header = parts[0];
    while (header.size() % 4)
        header += QLatin1Char('=');
    ASSERT_NE(header, parts[0]); // {"alg":"ES256","kid":"t1"} is 26 bytes: its base64 needs padding
    EXPECT_EQ(check(header + '.' + parts[1] + '.' + parts[2]), Verdict::invalid);
    // A claims piece signed with padding verifies with it.
    const QByteArray h = base64url(R"({"alg":"ES256","kid":"t1"})");
    QByteArray c = QJsonDocument(QJsonObject{{"sub", kOwner}, {"mac", kMac}, {"exp", kNow}}).toJson(QJsonDocument::Compact)
                       .toBase64(QByteArray::Base64UrlEncoding);
    const QByteArray input = h + '.' + c;
    EXPECT_EQ(check(QString::fromLatin1(input + '.' + base64url(key.sign(input)))), Verdict::valid);
}

TEST_F(TicketCheck, PiecesMustBeThreeAndStrictBase64url)
{
    const QStringList p = good().split(QLatin1Char('.'));
    EXPECT_EQ(check(p[0] + '.' + p[1]), Verdict::invalid);
    EXPECT_EQ(check(p.join('.') + QStringLiteral(".x")), Verdict::invalid);
    EXPECT_EQ(check(p[0] + QStringLiteral("..") + p[2]), Verdict::invalid);
    EXPECT_EQ(check(QString()), Verdict::invalid);
    EXPECT_EQ(check(QStringLiteral("..")), Verdict::invalid);
    // Whitespace, foreign characters, a length of 4n+1 and data after padding are all rejected.
    EXPECT_EQ(check(p[0] + QStringLiteral(" .") + p[1] + '.' + p[2]), Verdict::invalid);
    EXPECT_EQ(check(p[0] + '.' + p[1] + QStringLiteral("\n.") + p[2]), Verdict::invalid);
    EXPECT_EQ(check(p[0] + '.' + p[1] + '.' + p[2] + QStringLiteral("*")), Verdict::invalid);
    EXPECT_EQ(check(p[0] + '.' + p[1] + '.' + p[2] + QStringLiteral("A")), Verdict::invalid);
    EXPECT_EQ(check(QStringLiteral("eyJ=hbGciOiJFUzI1NiJ9.") + p[1] + '.' + p[2]), Verdict::invalid);
}

TEST_F(TicketCheck, HeaderRules)
{
    EXPECT_EQ(check(withHeader({{"alg", "es256"}, {"kid", "t1"}})), Verdict::invalid);
    EXPECT_EQ(check(withHeader({{"alg", "ES384"}, {"kid", "t1"}})), Verdict::invalid);
    EXPECT_EQ(check(withHeader({{"kid", "t1"}})), Verdict::invalid);
    EXPECT_EQ(check(withHeader({{"alg", "ES256"}, {"kid", 1}})), Verdict::invalid);
    EXPECT_EQ(check(withHeader({{"alg", "ES256"}})), Verdict::invalid);
    EXPECT_EQ(check(withHeader({{"alg", "ES256"}, {"kid", "t2"}})), Verdict::invalid);
    EXPECT_EQ(check(withHeader({{"alg", "ES256"}, {"kid", "t1"}, {"typ", "JWT"}})), Verdict::valid);
    // A key filed under the empty identifier serves tickets without "kid".
    keys[QString()] = key.publicKey();
    EXPECT_EQ(check(withHeader({{"alg", "ES256"}})), Verdict::valid);
}

TEST_F(TicketCheck, KeyTableDecides)
{
    EXPECT_EQ(Ticket::check(good(), kOwner, kMac, kNow, {}), Verdict::invalid);
    const SigningKey other = SigningKey::generate();
    EXPECT_EQ(Ticket::check(good(), kOwner, kMac, kNow, {{QStringLiteral("t1"), other.publicKey()}}), Verdict::invalid);
}

TEST_F(TicketCheck, ClaimTypes)
{
    EXPECT_EQ(check(withClaims({{"sub", kOwner}, {"mac", kMac}, {"exp", 1'900'000'000}})), Verdict::valid);
    EXPECT_EQ(check(withClaims({{"sub", kOwner}, {"mac", kMac}, {"exp", "1900000000"}})), Verdict::invalid);
    EXPECT_EQ(check(withClaims({{"sub", kOwner}, {"mac", kMac}})), Verdict::invalid);
    EXPECT_EQ(check(withClaims({{"sub", kOwner}, {"exp", kNow + 60}})), Verdict::invalid);
    EXPECT_EQ(check(withClaims({{"sub", kOwner}, {"mac", kMac}, {"exp", kNow + 0.5}, {"nbf", kNow + 1e6}})), Verdict::valid);
}

TEST_F(TicketCheck, TicketsLongerThanAnyRealOneAreInvalidUnread)
{
    const QString padding(1 << 20, QLatin1Char('A'));
    EXPECT_EQ(check(padding + '.' + padding + '.' + padding), Verdict::invalid);
    EXPECT_EQ(check(QString(16 << 20, QLatin1Char('.'))), Verdict::invalid);
    // Even correctly signed: the length alone decides, before any decoding.
    auto padded = [&](qsizetype pad) {
        return withClaims({{"sub", kOwner}, {"mac", kMac}, {"exp", kNow + 60}, {"pad", QString(pad, 'x')}});
    };
    const qsizetype overhead = padded(0).size();
    // Base64url turns 3 bytes into 4 characters: pad so the token lands just at or over the limit.
    const qsizetype fits = (Ticket::maxLength - overhead - 200) * 3 / 4;
    EXPECT_LE(padded(fits).size(), Ticket::maxLength);
    EXPECT_EQ(check(padded(fits)), Verdict::valid);
    const QString over = padded(Ticket::maxLength);
    EXPECT_GT(over.size(), Ticket::maxLength);
    EXPECT_EQ(check(over), Verdict::invalid);
}

TEST(TicketKeys, CompiledInKeyIsTheDevelopmentKey)
{
    const auto& keys = Ticket::keys();
    ASSERT_EQ(keys.size(), 1u);
    ASSERT_TRUE(keys.count(QStringLiteral("t1")));
    const SigningKey dev = SigningKey::fromFile(QStringLiteral(TEST_SOURCE_DIR "/keys/t1-dev-private.pem"));
    ASSERT_TRUE(dev.valid());
    const QString t = dev.ticket(QStringLiteral("t1"), kOwner, kMac, kNow);
    EXPECT_EQ(Ticket::check(t, kOwner, kMac, kNow, keys), Verdict::valid);
    EXPECT_EQ(Ticket::check(dev.ticket(QStringLiteral("t0"), kOwner, kMac, kNow), kOwner, kMac, kNow, keys), Verdict::invalid);
}

TEST(TicketKeys, OnlyP256PublicKeysParse)
{
    EXPECT_FALSE(Ticket::publicKey("not a key"));
    EXPECT_FALSE(Ticket::publicKey(QByteArray()));
    EXPECT_TRUE(Ticket::publicKey(SigningKey::generate().publicPem()));
}
