// The Tailscale queries: whois decoding, the command runner against real child processes (small
// shell scripts standing in for `tailscale`), interface lookups, and connection-level admission.
#include "Auth.h"
#include "Json.h"
#include "Log.h"
#include "Tailscale.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtConcurrent>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace core;

namespace {

Whois decoded(const char* json) { return Tailscale::decodeWhois(QByteArray(json)); }

} // namespace

TEST(TailscaleWhois, DecodesIdentityAndDropsOneTrailingDot)
{
    const Whois w = decoded(R"({"Node":{"ID":42,"StableID":"nX1","Name":"ipad.tail.ts.net.","Addresses":["100.64.0.2/32"]},
                               "UserProfile":{"ID":7,"LoginName":"me@example.com","DisplayName":"Me"},"CapMap":{}})");
    EXPECT_EQ(w, (Whois{42, "me@example.com", QStringLiteral("nX1"), QStringLiteral("ipad.tail.ts.net")}));
    EXPECT_EQ(decoded(R"({"Node":{"ID":1,"Name":"a.b.."},"UserProfile":{"LoginName":"x"}})").dnsName, "a.b.");
    EXPECT_EQ(decoded(R"({"Node":{"ID":1,"Name":"a.b"},"UserProfile":{"LoginName":"x"}})").dnsName, "a.b");
}

TEST(TailscaleWhois, OptionalMembersMayBeAbsentOrNull)
{
    const Whois absent = decoded(R"({"Node":{"ID":-3},"UserProfile":{"LoginName":"x"}})");
    EXPECT_EQ(absent, (Whois{-3, "x", std::nullopt, std::nullopt}));
    EXPECT_EQ(decoded(R"({"Node":{"ID":1,"StableID":null,"Name":null},"UserProfile":{"LoginName":"x"}})"),
              (Whois{1, "x", std::nullopt, std::nullopt}));
}

TEST(TailscaleWhois, NodeNumbersKeepAll64Bits)
{
    EXPECT_EQ(decoded(R"({"Node":{"ID":9007199254740993},"UserProfile":{"LoginName":"x"}})").nodeID,
              Q_INT64_C(9007199254740993));
}

TEST(TailscaleWhois, UnexpectedOrHostileOutputIsADecodeError)
{
    const std::vector<QByteArray> bad{
        "",
        "peer not found",
        "garbage{",
        "[1,2]",
        "null",
        R"({"Node":{"ID":1}})",
        R"({"UserProfile":{"LoginName":"x"}})",
        R"({"Node":{"ID":1},"UserProfile":{}})",
        R"({"Node":{},"UserProfile":{"LoginName":"x"}})",
        R"({"Node":[],"UserProfile":{"LoginName":"x"}})",
        R"({"Node":{"ID":"1"},"UserProfile":{"LoginName":"x"}})",
        R"({"Node":{"ID":1.5},"UserProfile":{"LoginName":"x"}})",
        R"({"Node":{"ID":1e300},"UserProfile":{"LoginName":"x"}})",
        R"({"Node":{"ID":1},"UserProfile":{"LoginName":7}})",
        R"({"Node":{"ID":1,"Name":false},"UserProfile":{"LoginName":"x"}})",
        R"({"Node":{"ID":1},"UserProfile":{"LoginName":"x"})",
        QByteArray("{\"Node\":{\"ID\":1},\0\xff\xfe", 18),
        QByteArray(100000, '['),
        QByteArray(1 << 20, ' '),
    };
    for (const QByteArray& bytes : bad)
        EXPECT_THROW(Tailscale::decodeWhois(bytes), json::DecodeError) << bytes.left(80).constData();
}

// Puts a shell script named `tailscale` first on PATH for the duration of a test.
class TailscaleCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        savedPath = qgetenv("PATH");
        qputenv("PATH", dir.path().toUtf8() + ':' + savedPath);
    }
    void TearDown() override { qputenv("PATH", savedPath); }

    void script(const QByteArray& body)
    {
        QFile file(dir.path() + QStringLiteral("/tailscale"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\n" + body + '\n');
        file.close();
        file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
    }

    template <typename F>
    QString errorOf(F call)
    {
        try {
            call();
        } catch (const std::exception& e) {
            return describe(e);
        }
        return QStringLiteral("(no error)");
    }

    QTemporaryDir dir;
    QByteArray savedPath;
};

TEST_F(TailscaleCommand, AddressIsTrimmedAndEmptyOutputMeansNoAddress)
{
    script(R"(test "$*" = "ip -4" && printf ' 100.64.0.1\n\n')");
    EXPECT_EQ(Tailscale::ipv4(), QStringLiteral("100.64.0.1"));
    script(R"(printf ' \n\t\r\n')");
    EXPECT_EQ(errorOf([] { Tailscale::ipv4(); }), QStringLiteral("tailscale has no IPv4 address"));
}

TEST_F(TailscaleCommand, FailuresNameTheCommandAndStatus)
{
    script("echo 100.64.0.1; exit 1");
    EXPECT_EQ(errorOf([] { Tailscale::ipv4(); }), QStringLiteral("tailscale ip -4 exited 1"));
    script("kill -9 $$");
    EXPECT_EQ(errorOf([] { Tailscale::whois(QStringLiteral("100.64.0.2")); }),
              QStringLiteral("tailscale whois --json 100.64.0.2 exited 9"));
    qputenv("PATH", dir.path().toUtf8()); // no tailscale, and no env to find it with: env says 127
    QFile::remove(dir.path() + QStringLiteral("/tailscale"));
    EXPECT_EQ(errorOf([] { Tailscale::ipv4(); }), QStringLiteral("tailscale ip -4 exited 127"));
}

TEST_F(TailscaleCommand, WhoisGetsTheTargetAsOneArgument)
{
    script(R"(printf '{"Node":{"ID":5,"Name":"%s"},"UserProfile":{"LoginName":"a@b"}}' "$1|$2|$3|$#")");
    EXPECT_EQ(Tailscale::whois(QStringLiteral("100.64.0.9; echo x")).dnsName, QStringLiteral("whois|--json|100.64.0.9; echo x|3"));
}

TEST_F(TailscaleCommand, StandardErrorIsIgnored)
{
    // More than a pipe holds: a reader that waited on standard error would dead-lock here.
    script("head -c 300000 /dev/zero >&2; echo 100.64.0.1");
    EXPECT_EQ(Tailscale::ipv4(), QStringLiteral("100.64.0.1"));
}

TEST_F(TailscaleCommand, EndlessOutputIsCutOffNotAwaited)
{
    script("yes '{}'");
    EXPECT_EQ(errorOf([] { Tailscale::whois(QStringLiteral("100.64.0.2")); }),
              QStringLiteral("tailscale whois --json 100.64.0.2 wrote too much"));
}

TEST_F(TailscaleCommand, GarbageWhoisIsAnErrorNotACrash)
{
    script(R"(printf '\377\376{"Node":')");
    EXPECT_THROW(Tailscale::whois(QStringLiteral("100.64.0.2")), json::DecodeError);
}

TEST_F(TailscaleCommand, ChildInheritsNoOtherDescriptors)
{
    const int leaky = ::open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(leaky, 3);
    script(QByteArrayLiteral("test -e /proc/$$/fd/") + QByteArray::number(leaky) + " && echo leaked || echo 100.64.0.1");
    const QString ip = Tailscale::ipv4();
    ::close(leaky);
    EXPECT_EQ(ip, QStringLiteral("100.64.0.1"));
}

TEST_F(TailscaleCommand, ConcurrentRunsStayApart)
{
    script(R"(printf '{"Node":{"ID":%s},"UserProfile":{"LoginName":"u%s"}}' "${3##*.}" "${3##*.}")");
    QList<int> targets;
    for (int i = 1; i <= 16; ++i)
        targets << i;
    const QList<Whois> results = QtConcurrent::blockingMapped(targets, [](int i) {
        return Tailscale::whois(QStringLiteral("100.64.0.%1").arg(i));
    });
    for (int i = 1; i <= 16; ++i) {
        EXPECT_EQ(results[i - 1].nodeID, i);
        EXPECT_EQ(results[i - 1].login, QStringLiteral("u%1").arg(i));
    }
}

TEST(TailscaleInterfaces, NameOfTheInterfaceCarryingAnAddress)
{
    EXPECT_EQ(Tailscale::interfaceName(QStringLiteral("127.0.0.1")), QStringLiteral("lo"));
    EXPECT_EQ(Tailscale::interfaceName(QStringLiteral("::1")), std::nullopt);
    EXPECT_EQ(Tailscale::interfaceName(QStringLiteral("127.0.0.01")), std::nullopt);
    EXPECT_EQ(Tailscale::interfaceName(QString()), std::nullopt);
}

TEST(TailscaleInterfaces, OnlyExistingUpInterfacesAreAvailable)
{
    EXPECT_EQ(Tailscale::nwInterface(QStringLiteral("lo")), QStringLiteral("lo"));
    EXPECT_EQ(Tailscale::nwInterface(QStringLiteral("nosuchif0")), std::nullopt);
}

TEST(AuthDecide, OwnerFromAnotherNodeOnly)
{
    const QString owner = QStringLiteral("Me@Example.com");
    const qint64 self = 1;
    struct Row {
        qint64 node;
        const char* login;
        bool admitted;
    };
    const Row rows[] = {
        {2, "Me@Example.com", true},
        {2, "me@example.com", true},  // letter case does not matter
        {2, "ME@EXAMPLE.COM", true},
        {1, "Me@Example.com", false}, // this computer itself
        {2, "someone@example.com", false},
        {2, "me@example.co", false},
        {2, "", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Auth::decide(Whois{r.node, QString::fromUtf8(r.login), {}, {}}, owner, self), r.admitted) << r.login;
}

TEST(AuthDecide, LetterCaseIgnoredFromAToZOnBothSides)
{
    const struct {
        const char* owner;
        const char* login;
        bool admitted;
    } rows[] = {
        {"az@example.com", "AZ@example.com", true},
        {"AZ@example.com", "az@example.com", true},
        {"@[@example.com", "`{@example.com", false}, // the neighbours of A and Z have no case
    };
    for (const auto& r : rows)
        EXPECT_EQ(Auth::decide(Whois{2, QString::fromUtf8(r.login), {}, {}}, QString::fromUtf8(r.owner), 1), r.admitted)
            << r.owner << " " << r.login;
}

TEST(AuthDecide, OnlyAsciiLettersIgnoreCase)
{
    const QString owner = QStringLiteral("sk@example.com");
    const struct {
        const char* login;
        bool admitted;
    } rows[] = {
        {"SK@example.com", true},
        {"\u017FK@example.com", false},  // long s folds to s under Unicode rules
        {"s\u212A@example.com", false},  // so does the Kelvin sign to k
        {"\u017F\u212A@example.com", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(Auth::decide(Whois{2, QString::fromUtf8(r.login), {}, {}}, owner, 1), r.admitted) << r.login;
}
