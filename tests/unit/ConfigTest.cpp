#include "Config.h"
#include "Log.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace core;

namespace {

struct Loaded {
    Config config;
    std::optional<QString> error;
};

Loaded loadText(const char* text)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config.json"));
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(text);
    f.close();
    auto [config, error] = Config::load(path);
    return {config, error};
}

} // namespace

TEST(Config, NoFileGivesDefaultsSilently)
{
    QTemporaryDir dir;
    auto [config, error] = Config::load(dir.filePath(QStringLiteral("absent.json")));
    EXPECT_EQ(config, Config());
    EXPECT_FALSE(error);
}

TEST(Config, DefaultsMatchTheDocumentedFile)
{
    const Loaded l = loadText(R"({"port":7420,"stream":{"full":{"maxEdge":0,"maxFps":120,"maxKbps":80000},
        "light":{"maxEdge":2560,"maxFps":60,"maxKbps":8000},"h265":true},
        "thumbs":{"width":480,"intervalMs":1000},"clipboard":{"sync":true},"actions":[]})");
    EXPECT_EQ(l.config, Config());
    EXPECT_FALSE(l.error);
    EXPECT_EQ(Config().stream.full.startKbps(), 20000);
    EXPECT_EQ(Config().stream.light.startKbps(), 2000);
}

TEST(Config, EmptyObjectAndNullsKeepDefaults)
{
    EXPECT_EQ(loadText("{}").config, Config());
    const Loaded l = loadText(R"({"port":null,"owner":null,"stream":{"full":null,"h265":null},"unknown":[1,2]})");
    EXPECT_EQ(l.config, Config());
    EXPECT_FALSE(l.error);
}

TEST(Config, ProfilesAreLaidOverTheirDefaultsMemberByMember)
{
    const Loaded l = loadText(R"({"stream":{"light":{"maxFps":30}},"owner":"me@example.com"})");
    EXPECT_FALSE(l.error);
    EXPECT_EQ(l.config.stream.light, (Config::Profile{2560, 30, 8000}));
    EXPECT_EQ(l.config.stream.full, Config().stream.full);
    EXPECT_EQ(l.config.owner, QStringLiteral("me@example.com"));
}

TEST(Config, PortOutOfRangeDiscardsTheFile)
{
    for (const char* port : {"0", "70000", "-1"}) {
        const Loaded l = loadText(QStringLiteral(R"({"port":%1,"owner":"x"})").arg(QLatin1String(port)).toUtf8().constData());
        EXPECT_EQ(l.config, Config());
        EXPECT_EQ(l.error, QStringLiteral("config.json: port %1 out of range").arg(QLatin1String(port)));
    }
}

TEST(Config, PortsAtBothEndsOfTheRangeAreKept)
{
    for (const int port : {1, 65535}) {
        const Loaded l = loadText(QStringLiteral(R"({"port":%1})").arg(port).toUtf8().constData());
        EXPECT_FALSE(l.error) << port;
        EXPECT_EQ(l.config.port, port);
    }
}

TEST(Config, ProfileRulesAreCheckedFullThenLight)
{
    const QString full = QStringLiteral(
        "config.json: stream.full needs maxEdge 0 or >= 320, maxFps 1-120, maxKbps 500-200000");
    const QString light = QStringLiteral(
        "config.json: stream.light needs maxEdge 0 or >= 320, maxFps 1-120, maxKbps 500-200000");
    EXPECT_EQ(loadText(R"({"stream":{"full":{"maxEdge":100}}})").error, full);
    EXPECT_EQ(loadText(R"({"stream":{"full":{"maxEdge":100}},"light":{"maxFps":0}})").error, full);
    EXPECT_EQ(loadText(R"({"stream":{"light":{"maxFps":121}}})").error, light);
    EXPECT_EQ(loadText(R"({"stream":{"light":{"maxKbps":499}}})").error, light);
    EXPECT_EQ(loadText(R"({"stream":{"light":{"maxKbps":200001}}})").error, light);
    EXPECT_FALSE(loadText(R"({"stream":{"full":{"maxEdge":0},"light":{"maxEdge":320,"maxKbps":200000,"maxFps":1}}})").error);
}

TEST(Config, ThumbRules)
{
    const QString tooSmall = QStringLiteral("config.json: thumbs needs width >= 64 and intervalMs >= 200");
    const QString tooLarge = QStringLiteral("config.json: thumbs needs width <= 3840 and intervalMs <= 3600000");
    const struct {
        const char* text;
        std::optional<QString> error;
    } rows[] = {
        {R"({"thumbs":{"width":63}})", tooSmall},
        {R"({"thumbs":{"intervalMs":199}})", tooSmall},
        {R"({"thumbs":{"width":64,"intervalMs":200}})", std::nullopt},
        {R"({"thumbs":{"width":3840,"intervalMs":3600000}})", std::nullopt},
        {R"({"thumbs":{"width":3841}})", tooLarge},
        {R"({"thumbs":{"width":100000000}})", tooLarge},
        {R"({"thumbs":{"intervalMs":3600001}})", tooLarge},
        {R"({"thumbs":{"intervalMs":2147483648}})", tooLarge},
    };
    for (const auto& row : rows) {
        const Loaded loaded = loadText(row.text);
        EXPECT_EQ(loaded.error, row.error) << row.text;
        if (row.error) {
            EXPECT_EQ(loaded.config.thumbs, Config().thumbs) << row.text;
        }
    }
}

TEST(Config, ActionRules)
{
    EXPECT_EQ(loadText(R"({"actions":[{"id":"lock","name":"Mine","run":"true"}]})").error,
              QStringLiteral("config.json: duplicate action id \"lock\""));
    EXPECT_EQ(loadText(R"({"actions":[{"id":"a","name":"","run":"x"},{"id":"a","name":"b","run":"y"}]})").error,
              QStringLiteral("config.json: duplicate action id \"a\""));
    // An empty command is reported as such even when the id is also a duplicate.
    EXPECT_EQ(loadText(R"({"actions":[{"id":"a","name":"","run":"x"},{"id":"a","name":"b","run":""}]})").error,
              QStringLiteral("config.json: action needs id and run"));
    EXPECT_EQ(loadText(R"({"actions":[{"id":"","name":"n","run":"x"}]})").error,
              QStringLiteral("config.json: action needs id and run"));
    const Loaded ok = loadText(R"({"actions":[{"id":"hi","name":"","run":"echo hi"}]})");
    EXPECT_FALSE(ok.error);
    ASSERT_EQ(ok.config.actions.size(), 1u);
    EXPECT_EQ(ok.config.actions[0], (CustomAction{QStringLiteral("hi"), QString(), QStringLiteral("echo hi")}));
}

TEST(Config, DecodingErrorsDiscardTheFile)
{
    for (const char* text : {R"({"port":"7420"})", R"({"owner":5})", R"({"port":7420.5})", R"({"stream":[]})",
                             R"({"clipboard":{"sync":1}})", R"({"actions":[{"id":"a","name":"b"}]})",
                             R"({"actions":[3]})", "not json", "[1]", "{\"port\":1e300}"}) {
        const Loaded l = loadText(text);
        EXPECT_EQ(l.config, Config()) << text;
        ASSERT_TRUE(l.error) << text;
        EXPECT_TRUE(l.error->startsWith(QStringLiteral("config.json: "))) << text;
        EXPECT_GT(l.error->size(), 13) << text;
    }
}

// What stands at the path is not a file to read: reported, never waited on.
TEST(Config, UnreadableFileIsReported)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString big = dir.filePath(QStringLiteral("big.json"));
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        // Valid JSON, one byte over the limit.
        f.write("{\"owner\":\"" + QByteArray(1024 * 1024 - 11, 'a') + "\"}");
        ASSERT_EQ(f.size(), 1024 * 1024 + 1);
    }
    // Exactly at the limit is still read.
    const QString atLimit = dir.filePath(QStringLiteral("limit.json"));
    {
        QFile f(atLimit);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("{\"owner\":\"" + QByteArray(1024 * 1024 - 12, 'a') + "\"}");
    }
    EXPECT_FALSE(Config::load(atLimit).second);
    for (const QString& path : {dir.path(), fifo, big}) {
        auto [config, error] = Config::load(path);
        EXPECT_EQ(config, Config()) << path.toStdString();
        ASSERT_TRUE(error) << path.toStdString();
        EXPECT_TRUE(error->startsWith(QStringLiteral("config.json: "))) << path.toStdString();
    }
}

TEST(Config, OldStreamLayoutIsReportedButUsed)
{
    const Loaded l = loadText(R"({"port":9000,"stream":{"maxFps":30}})");
    EXPECT_EQ(l.config.port, 9000);
    EXPECT_EQ(l.config.stream, Config().stream);
    EXPECT_EQ(l.error, QStringLiteral("config.json: stream.maxEdge/maxFps moved to stream.full and stream.light"));
}

TEST(Config, ProfileByName)
{
    const Config c;
    EXPECT_EQ(c.stream.profile(std::nullopt), c.stream.full);
    EXPECT_EQ(c.stream.profile(QStringLiteral("full")), c.stream.full);
    EXPECT_EQ(c.stream.profile(QStringLiteral("light")), c.stream.light);
    try {
        c.stream.profile(QStringLiteral("Full"));
        FAIL() << "expected an error";
    } catch (const AgentError& e) {
        EXPECT_EQ(e.description(), QStringLiteral("unknown profile \"Full\""));
    }
}

TEST(Config, ApiUrlNeedsSchemeAndHost)
{
    Config c;
    EXPECT_FALSE(c.apiURL());
    c.api = QStringLiteral("https://cloud.example.com/v1");
    EXPECT_TRUE(c.apiURL());
    for (const char* bad : {"cloud.example.com", "https://", "/just/a/path", "http//x", ""}) {
        c.api = QString::fromUtf8(bad);
        EXPECT_FALSE(c.apiURL()) << bad;
    }
}
