#include "PairingController.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <deque>

using namespace core;

namespace {

const MacDetails kDetails{QStringLiteral("n1"), QStringLiteral("Desk"), QStringLiteral("desk.ts.net"), 7420,
                          QStringLiteral("ann@example.com")};

// Holds every request until the test answers it.
struct Cloud {
    struct Call {
        HttpRequest request;
        CloudAPI::Reply reply;
    };
    std::deque<Call> calls;

    CloudAPI api()
    {
        return CloudAPI(QUrl(QStringLiteral("https://cloud.test")),
                        [this](const HttpRequest& r, CloudAPI::Reply reply) { calls.push_back({r, std::move(reply)}); });
    }
    // Answers the oldest request; returns it for inspection.
    HttpRequest answer(int status, const QByteArray& body = {})
    {
        EXPECT_FALSE(calls.empty());
        if (calls.empty())
            return {};
        Call c = std::move(calls.front());
        calls.pop_front();
        c.reply(Outcome<HttpResponse>::success({status, body}));
        return c.request;
    }
    // Answers the oldest request for this method and path.
    HttpRequest answerFor(const QString& methodPath, int status, const QByteArray& body = {})
    {
        for (auto it = calls.begin(); it != calls.end(); ++it) {
            if (it->request.method + ' ' + it->request.url.path() != methodPath)
                continue;
            Call c = std::move(*it);
            calls.erase(it);
            c.reply(Outcome<HttpResponse>::success({status, body}));
            return c.request;
        }
        ADD_FAILURE() << "no pending " << methodPath.toStdString();
        return {};
    }
    HttpRequest fail()
    {
        Call c = std::move(calls.front());
        calls.pop_front();
        c.reply(Outcome<HttpResponse>::failure(QStringLiteral("offline")));
        return c.request;
    }
    QString pathOfNext() const { return calls.empty() ? QString() : calls.front().request.method + ' ' + calls.front().request.url.path(); }
};

Linked link(const QString& owner = QStringLiteral("user-1"), const QString& token = QStringLiteral("tok-1"))
{
    return {QStringLiteral("mac-1"), owner, QStringLiteral("ann@example.com"), token, std::nullopt};
}

class Pairing : public ::testing::Test {
protected:
    void make(std::optional<Linked> stored = std::nullopt, std::optional<QString> pending = std::nullopt)
    {
        auto s = std::make_unique<MemoryLinkStore>();
        s->value = std::move(stored);
        s->pending = std::move(pending);
        store = s.get();
        controller = std::make_unique<PairingController>(cloud.api(), std::move(s), [this] { return now; });
        controller->onChange = [this] { events.push_back("change"); };
        controller->onUnlinked = [this] { events.push_back("unlinked"); };
        controller->onOwnerChanged = [this] { events.push_back("owner"); };
        controller->onUnpairedRemotely = [this] { events.push_back("remote"); };
    }
    // Shows a code and lets the cloud take it.
    void registerShown()
    {
        controller->show();
        controller->tick(kDetails);
        cloud.answerFor(QStringLiteral("POST /v1/pair"), 200);
        ASSERT_TRUE(controller->showing()->registered);
    }
    QByteArray claimBody(const QString& owner) const
    {
        return QJsonDocument(QJsonObject{{"status", "claimed"}, {"macId", "mac-9"}, {"userId", owner}, {"email", "x@y.z"}})
            .toJson();
    }

    Cloud cloud;
    QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
    MemoryLinkStore* store = nullptr;
    std::unique_ptr<PairingController> controller;
    std::vector<std::string> events;
};

} // namespace

TEST_F(Pairing, StartsFromTheStore)
{
    make(link(), QStringLiteral("old"));
    EXPECT_EQ(controller->linked(), link());
    EXPECT_EQ(controller->pendingUnpair(), QStringLiteral("old"));
    EXPECT_FALSE(controller->showing());
}

TEST_F(Pairing, ShowKeepsALiveCodeAndReplacesAnExpiredOne)
{
    make();
    controller->show();
    const auto first = *controller->showing();
    EXPECT_EQ(first.expiresAt, now.addSecs(600));
    EXPECT_NE(first.secret, first.token);
    now = now.addSecs(599);
    controller->show();
    EXPECT_EQ(controller->showing(), first);
    EXPECT_EQ(controller->shownCode(), first.code);
    now = now.addSecs(1);
    EXPECT_FALSE(controller->shownCode());
    controller->show();
    EXPECT_NE(controller->showing()->secret, first.secret);
    EXPECT_EQ(events, (std::vector<std::string>{"change", "change"}));
}

TEST_F(Pairing, TickAtExpiryRenewsWithoutTheCloud)
{
    make();
    controller->show();
    const QString secret = controller->showing()->secret;
    now = now.addSecs(600);
    controller->tick(kDetails);
    EXPECT_TRUE(cloud.calls.empty());
    EXPECT_NE(controller->showing()->secret, secret);
    EXPECT_FALSE(controller->showing()->registered);
}

TEST_F(Pairing, ConflictDrawsANewCodeAndErrorsRetry)
{
    make();
    controller->show();
    const auto first = *controller->showing();
    controller->tick(kDetails);
    cloud.fail();
    EXPECT_EQ(controller->showing(), first);
    controller->tick(kDetails);
    cloud.answer(500);
    EXPECT_EQ(controller->showing(), first);
    controller->tick(kDetails);
    cloud.answer(409);
    ASSERT_TRUE(controller->showing());
    EXPECT_NE(controller->showing()->secret, first.secret);
    EXPECT_FALSE(controller->showing()->registered);
}

TEST_F(Pairing, FirstClaimStoresTheLinkAndKeepsTheCodeAdmitted)
{
    make();
    registerShown();
    const auto shown = *controller->showing();
    controller->tick(kDetails);
    EXPECT_EQ(cloud.pathOfNext(), QStringLiteral("GET /v1/pair/") + shown.code);
    cloud.answer(200, R"({"status":"pending"})");
    EXPECT_TRUE(controller->showing());
    events.clear();
    controller->tick(kDetails);
    cloud.answer(200, claimBody("user-9"));
    const Linked expected{QStringLiteral("mac-9"), QStringLiteral("user-9"), QStringLiteral("x@y.z"), shown.token, kDetails};
    EXPECT_EQ(controller->linked(), expected);
    EXPECT_EQ(store->value, expected);
    EXPECT_FALSE(controller->showing());
    EXPECT_FALSE(controller->shownCode());
    EXPECT_EQ(controller->admittedCode(), shown.code);
    EXPECT_EQ(events, std::vector<std::string>{"change"});
    now = shown.expiresAt;
    EXPECT_FALSE(controller->admittedCode());
}

TEST_F(Pairing, RepairingKeepsTheTokenAndReportsANewOwnerFirst)
{
    make(link());
    controller->show();
    EXPECT_EQ(controller->showing()->token, QStringLiteral("tok-1"));
    controller->tick(kDetails);
    const HttpRequest reg = cloud.answer(200);
    EXPECT_EQ(QJsonDocument::fromJson(reg.body).object().value("tokenHash").toString(), PairCode::sha256Hex("tok-1"));
    events.clear();
    controller->tick(kDetails);
    cloud.answer(200, claimBody("user-2"));
    EXPECT_EQ(controller->linked()->token, QStringLiteral("tok-1"));
    EXPECT_EQ(events, (std::vector<std::string>{"owner", "change"}));
}

TEST_F(Pairing, LateAnswersForAReplacedCodeAreIgnored)
{
    make();
    controller->show();
    controller->tick(kDetails); // registration in flight
    controller->hide();
    cloud.answer(200);
    EXPECT_FALSE(controller->showing());

    registerShown();
    controller->tick(kDetails); // poll in flight
    now = now.addSecs(600);
    controller->show(); // a new code replaces the expired one
    const auto fresh = *controller->showing();
    cloud.answer(200, claimBody("user-9"));
    EXPECT_FALSE(controller->linked());
    EXPECT_EQ(controller->showing(), fresh);
}

TEST_F(Pairing, ExpiredPollRenewsAndBadClaimChangesNothing)
{
    make();
    registerShown();
    const auto shown = *controller->showing();
    controller->tick(kDetails);
    cloud.answer(200, R"({"status":"claimed","macId":"m"})");
    EXPECT_EQ(controller->showing(), shown);
    controller->tick(kDetails);
    cloud.answer(200, R"({"status":"expired"})");
    EXPECT_NE(controller->showing()->secret, shown.secret);
}

TEST_F(Pairing, CheckForgetsTheLinkOnlyWhenTheCloudSaysSo)
{
    make(link());
    controller->check();
    EXPECT_EQ(cloud.pathOfNext(), QStringLiteral("GET /v1/mac"));
    cloud.answer(500);
    controller->check();
    cloud.fail();
    controller->check();
    cloud.answer(200);
    EXPECT_TRUE(controller->linked());
    EXPECT_TRUE(events.empty());
    controller->check();
    cloud.answer(401);
    EXPECT_FALSE(controller->linked());
    EXPECT_FALSE(store->value);
    EXPECT_EQ(events, (std::vector<std::string>{"unlinked", "change", "remote"}));
}

TEST_F(Pairing, CheckFinishesOnceEachAnswerArrives)
{
    make(link());
    int done = 0;
    // Server error, offline, still linked, unlinked; then nothing left to ask about.
    for (const int status : {500, 0, 200, 401}) {
        controller->check([&] { ++done; });
        const int before = done;
        if (status)
            cloud.answer(status);
        else
            cloud.fail();
        EXPECT_EQ(done, before + 1) << status;
    }
    controller->check([&] { ++done; });
    EXPECT_EQ(done, 5);
}

TEST_F(Pairing, CheckAnswerForAnOldTokenDoesNotUnlinkANewPairing)
{
    make(link());
    controller->check(); // asks about tok-1
    controller->unpair();
    cloud.answerFor(QStringLiteral("DELETE /v1/mac"), 204);
    registerShown();
    const QString newToken = controller->showing()->token;
    controller->tick(kDetails);
    cloud.answerFor(QStringLiteral("GET /v1/pair/") + controller->showing()->code, 200, claimBody("user-1"));
    ASSERT_EQ(controller->linked()->token, newToken);
    events.clear();
    cloud.answerFor(QStringLiteral("GET /v1/mac"), 401);
    EXPECT_EQ(controller->linked()->token, newToken);
    EXPECT_TRUE(events.empty());
}

TEST_F(Pairing, UnpairWhileOfflineKeepsTheTokenUntilDelivered)
{
    make(link());
    controller->unpair();
    EXPECT_FALSE(controller->linked());
    EXPECT_FALSE(store->value);
    EXPECT_EQ(store->pending, QStringLiteral("tok-1"));
    EXPECT_EQ(events, (std::vector<std::string>{"unlinked", "change"}));
    ASSERT_EQ(cloud.pathOfNext(), QStringLiteral("DELETE /v1/mac"));
    cloud.fail();
    EXPECT_EQ(store->pending, QStringLiteral("tok-1"));

    // After a restart the token is still there and a 401 also counts as delivered.
    make(std::nullopt, store->pending);
    bool done = false;
    controller->flushUnpair([&] { done = true; });
    const HttpRequest del = cloud.answer(401);
    EXPECT_EQ(del.headers.front().second, "Mac tok-1");
    EXPECT_TRUE(done);
    EXPECT_FALSE(controller->pendingUnpair());
    EXPECT_FALSE(store->pending);
}

TEST_F(Pairing, UnpairWithdrawsACodeShownForTheOldLink)
{
    // A code shown while linked carries the link's token: once unpaired it must admit nobody.
    make(link());
    controller->show();
    ASSERT_TRUE(controller->admittedCode());
    controller->unpair();
    EXPECT_FALSE(controller->showing());
    EXPECT_FALSE(controller->admittedCode());
}

TEST_F(Pairing, TickDeliversAPendingUnpairFirst)
{
    make(std::nullopt, QStringLiteral("tok-0"));
    controller->show();
    bool done = false;
    controller->tick(kDetails, [&] { done = true; });
    EXPECT_EQ(cloud.pathOfNext(), QStringLiteral("DELETE /v1/mac"));
    cloud.answer(204);
    EXPECT_EQ(cloud.pathOfNext(), QStringLiteral("POST /v1/pair"));
    EXPECT_FALSE(done);
    cloud.answer(200);
    EXPECT_TRUE(done);
}

TEST_F(Pairing, SyncSendsOnlyChangedDetails)
{
    Linked stored = link();
    stored.details = kDetails;
    make(stored);
    bool done = false;
    controller->sync(kDetails, [&] { done = true; });
    EXPECT_TRUE(done);
    EXPECT_TRUE(cloud.calls.empty());

    MacDetails moved = kDetails;
    moved.dnsName = QStringLiteral("other.ts.net");
    controller->sync(moved);
    cloud.answer(500);
    EXPECT_EQ(store->value->details, kDetails);
    controller->sync(moved);
    const HttpRequest put = cloud.answer(204);
    EXPECT_EQ(put.method, "PUT");
    EXPECT_EQ(controller->linked()->details, moved);
    EXPECT_EQ(store->value->details, moved);
    EXPECT_TRUE(events.empty());
}

TEST_F(Pairing, SyncAnswerAfterUnpairIsIgnored)
{
    make(link());
    controller->sync(kDetails);
    controller->unpair();
    cloud.answer(204); // the update
    EXPECT_FALSE(controller->linked());
    EXPECT_FALSE(store->value);
}

TEST_F(Pairing, AnswersAfterTheControllerIsGoneAreDropped)
{
    make(link());
    bool done = false;
    controller->check([&] { done = true; });
    controller.reset();
    cloud.answer(401);
    EXPECT_FALSE(done);
}
