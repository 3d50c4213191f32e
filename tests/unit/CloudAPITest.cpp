#include "CloudAPI.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

using namespace core;

namespace {

const MacDetails kDetails{QStringLiteral("n1"), QStringLiteral("Desk"), QStringLiteral("desk.ts.net"), 7420,
                          QStringLiteral("ann@example.com")};

// Answers every request with one canned outcome and keeps the requests.
struct FakeCloud {
    Outcome<HttpResponse> answer = Outcome<HttpResponse>::success({200, {}});
    std::vector<HttpRequest> requests;

    CloudAPI api(const QString& base = QStringLiteral("https://cloud.test"))
    {
        return CloudAPI(QUrl(base), [this](const HttpRequest& r, CloudAPI::Reply reply) {
            requests.push_back(r);
            reply(answer);
        });
    }
    void respond(int status, QByteArray body = {}) { answer = Outcome<HttpResponse>::success({status, std::move(body)}); }
};

QByteArray header(const HttpRequest& r, const QByteArray& name)
{
    for (const auto& [n, v] : r.headers)
        if (n == name)
            return v;
    return {};
}

template <typename T> Outcome<T> run(const std::function<void(std::function<void(Outcome<T>)>)>& call)
{
    std::optional<Outcome<T>> result;
    call([&](Outcome<T> o) { result = std::move(o); });
    EXPECT_TRUE(result.has_value());
    return result.value_or(Outcome<T>::failure(QStringLiteral("never completed")));
}

} // namespace

TEST(CloudAPI, RegisterSendsHashesAndDetails)
{
    FakeCloud cloud;
    const CloudAPI api = cloud.api(QStringLiteral("https://cloud.test/base"));
    const auto r = run<bool>([&](auto done) { api.registerCode("ABC123", "sec", "tok", kDetails, done); });
    ASSERT_EQ(cloud.requests.size(), 1u);
    const HttpRequest& req = cloud.requests[0];
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(req.url.toString(), QStringLiteral("https://cloud.test/base/v1/pair"));
    EXPECT_EQ(header(req, "Content-Type"), "application/json");
    EXPECT_TRUE(header(req, "Authorization").isEmpty());
    EXPECT_EQ(req.timeoutMs, 15000);
    const QJsonObject body = QJsonDocument::fromJson(req.body).object();
    EXPECT_EQ(body.value("code").toString(), QStringLiteral("ABC123"));
    EXPECT_EQ(body.value("secretHash").toString(), PairCode::sha256Hex("sec"));
    EXPECT_EQ(body.value("tokenHash").toString(), PairCode::sha256Hex("tok"));
    EXPECT_EQ(body.value("port").toInteger(), 7420);
    EXPECT_EQ(body.value("tailscaleLogin").toString(), kDetails.tailscaleLogin);
    EXPECT_EQ(body.size(), 8);
    EXPECT_FALSE(req.body.contains("\"sec\"")) << "the raw secret never travels in a body";
    EXPECT_EQ(r.value, true);
}

TEST(CloudAPI, StatusMapping)
{
    FakeCloud cloud;
    const CloudAPI api = cloud.api(QStringLiteral("https://cloud.test/"));
    struct Case {
        int status;
        std::optional<bool> registered, linked;
        QString registerError, statusError, updateError, unpairError;
        bool updated, unpaired;
    };
    const Case cases[] = {
        {200, true, true, {}, {}, "update: HTTP 200", "unpair: HTTP 200", false, false},
        {204, std::nullopt, std::nullopt, "pair: HTTP 204", "mac: HTTP 204", {}, {}, true, true},
        {401, std::nullopt, false, "pair: HTTP 401", {}, "update: HTTP 401", {}, false, true},
        {409, false, std::nullopt, {}, "mac: HTTP 409", "update: HTTP 409", "unpair: HTTP 409", false, false},
        {500, std::nullopt, std::nullopt, "pair: HTTP 500", "mac: HTTP 500", "update: HTTP 500", "unpair: HTTP 500", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        cloud.respond(c.status);
        const auto reg = run<bool>([&](auto done) { api.registerCode("C", "s", "t", kDetails, done); });
        EXPECT_EQ(reg.value, c.registered);
        EXPECT_EQ(reg.error, c.registerError);
        const auto st = run<bool>([&](auto done) { api.status("tok", done); });
        EXPECT_EQ(st.value, c.linked);
        EXPECT_EQ(st.error, c.statusError);
        const auto up = run<std::monostate>([&](auto done) { api.update("tok", kDetails, done); });
        EXPECT_EQ(up.ok(), c.updated);
        EXPECT_EQ(up.error, c.updateError);
        const auto un = run<std::monostate>([&](auto done) { api.unpair("tok", done); });
        EXPECT_EQ(un.ok(), c.unpaired);
        EXPECT_EQ(un.error, c.unpairError);
    }
}

TEST(CloudAPI, MacEndpointsCarryTheTokenInTheHeader)
{
    FakeCloud cloud;
    const CloudAPI api = cloud.api();
    run<bool>([&](auto done) { api.status("tok", done); });
    run<std::monostate>([&](auto done) { api.update("tok", kDetails, done); });
    run<std::monostate>([&](auto done) { api.unpair("tok", done); });
    ASSERT_EQ(cloud.requests.size(), 3u);
    const char* methods[] = {"GET", "PUT", "DELETE"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(cloud.requests[i].method, methods[i]);
        EXPECT_EQ(cloud.requests[i].url.toString(), QStringLiteral("https://cloud.test/v1/mac"));
        EXPECT_EQ(header(cloud.requests[i], "Authorization"), "Mac tok");
    }
    EXPECT_EQ(QJsonDocument::fromJson(cloud.requests[1].body).object(), kDetails.json());
    EXPECT_EQ(header(cloud.requests[1], "Content-Type"), "application/json");
    EXPECT_TRUE(cloud.requests[2].body.isEmpty());
}

TEST(CloudAPI, PollDecodesTheClaim)
{
    FakeCloud cloud;
    const CloudAPI api = cloud.api();
    const auto poll = [&](int status, const QByteArray& body) {
        cloud.respond(status, body);
        return run<CloudAPI::Poll>([&](auto done) { api.poll("ABC123", "sec", done); });
    };
    EXPECT_EQ(poll(200, R"({"status":"claimed","macId":"m","userId":"u","email":"e","x":1})").value,
              CloudAPI::Poll::claimed("m", "u", "e"));
    EXPECT_EQ(poll(200, R"({"status":"pending"})").value, CloudAPI::Poll::pending());
    EXPECT_EQ(poll(200, R"({"status":"whatever","macId":null})").value, CloudAPI::Poll::pending());
    EXPECT_EQ(poll(200, R"({"status":"expired"})").value, CloudAPI::Poll::expired());
    EXPECT_EQ(poll(200, R"({"status":"claimed","macId":"m","userId":null,"email":"e"})").error,
              QStringLiteral("poll: claimed without ids"));
    EXPECT_EQ(poll(404, R"({"status":"claimed"})").error, QStringLiteral("poll: HTTP 404"));
    EXPECT_FALSE(poll(200, R"({"status":"cla)").ok());
    EXPECT_FALSE(poll(200, R"({"macId":"m"})").ok());
    EXPECT_FALSE(poll(200, R"({"status":5})").ok());
    ASSERT_FALSE(cloud.requests.empty());
    EXPECT_EQ(cloud.requests[0].method, "GET");
    EXPECT_EQ(cloud.requests[0].url.toString(), QStringLiteral("https://cloud.test/v1/pair/ABC123"));
    EXPECT_EQ(header(cloud.requests[0], "Authorization"), "Pair sec");
}

TEST(CloudAPI, TransportErrorsPassThrough)
{
    FakeCloud cloud;
    cloud.answer = Outcome<HttpResponse>::failure(QStringLiteral("Connection refused"));
    const CloudAPI api = cloud.api();
    EXPECT_EQ(run<bool>([&](auto done) { api.status("tok", done); }).error, QStringLiteral("Connection refused"));
    EXPECT_EQ(run<CloudAPI::Poll>([&](auto done) { api.poll("C", "s", done); }).error, QStringLiteral("Connection refused"));
}
