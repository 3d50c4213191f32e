// The pairing window over a real pairing controller talking to the stand-in cloud on loopback.
#include "CloudProcess.h"
#include "PairingText.h"
#include "PairingWindow.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <zbar.h>

#include <gtest/gtest.h>

using namespace core;
using namespace ui;

namespace {

const MacDetails kDetails{QStringLiteral("nNODE"), QStringLiteral("Desk"), QStringLiteral("desk.tail.ts.net"), 7420,
                          QStringLiteral("ann@example.com")};
const Linked kLink{QStringLiteral("mac-1"), QStringLiteral("user-7"), QStringLiteral("ann@example.com"),
                   QStringLiteral("tok"), std::nullopt};

// Every QR symbol zbar finds in the image.
QStringList decodeQr(const QImage& picture)
{
    const QImage grey = picture.convertToFormat(QImage::Format_Grayscale8);
    QByteArray pixels;
    for (int y = 0; y < grey.height(); ++y)
        pixels.append(reinterpret_cast<const char*>(grey.constScanLine(y)), grey.width());
    zbar::ImageScanner scanner;
    scanner.set_config(zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
    scanner.set_config(zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
    zbar::Image image(grey.width(), grey.height(), "Y800", pixels.constData(), pixels.size());
    scanner.scan(image);
    QStringList out;
    for (auto s = image.symbol_begin(); s != image.symbol_end(); ++s)
        out << QString::fromStdString(s->get_data());
    return out;
}

class PairingWindowTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(cloud.start()) << cloud.error().toStdString(); }

    // The window over a controller whose store holds `link`.
    void make(std::optional<Linked> link = std::nullopt)
    {
        auto store = std::make_unique<MemoryLinkStore>();
        store->value = link;
        pairing = std::make_unique<PairingController>(CloudAPI(QUrl(cloud.base()), CloudAPI::urlSession(&owner)),
                                                      std::move(store), [] { return QDateTime::currentDateTimeUtc(); });
        window = std::make_unique<PairingWindow>(*pairing, [this] { return details; }, [this](std::function<void()> then) {
            ++unpairAsked;
            then();
        });
    }
    QString text(const char* name) const { return window->findChild<QLabel*>(QLatin1String(name))->text(); }
    bool shown(const char* name) const { return window->findChild<QWidget*>(QLatin1String(name))->isVisible(); }

    CloudProcess cloud;
    QObject owner;
    std::optional<MacDetails> details = kDetails;
    int unpairAsked = 0;
    std::unique_ptr<PairingController> pairing; // outlives the window
    std::unique_ptr<PairingWindow> window;
};

} // namespace

TEST_F(PairingWindowTest, UnpairedShowsTheCodeItsScannableQrAndCountdown)
{
    make();
    window->present();
    ASSERT_TRUE(window->isVisible());
    ASSERT_TRUE(pairing->shownCode());
    const QString code = *pairing->shownCode();
    EXPECT_EQ(window->windowTitle(), "Dorvane");
    EXPECT_EQ(text("title"), "Pair with your phone or tablet");
    EXPECT_TRUE(shown("instructions"));
    EXPECT_FALSE(shown("showCode"));
    EXPECT_EQ(text("code"), "or enter " + code.left(3) + " " + code.mid(3));
    EXPECT_TRUE(text("countdown").startsWith("New code in 10:00") || text("countdown").startsWith("New code in 9:"))
        << text("countdown").toStdString();
    EXPECT_EQ(text("tailscale"), "Tailscale is off on this Mac. Turn it on, then pair.");
    EXPECT_TRUE(window->stepping());

    const QString link = PairCode::link(code, kDetails).toString(QUrl::FullyEncoded);
    EXPECT_EQ(decodeQr(window->qr()), QStringList{link}) << "the image itself";
    EXPECT_EQ(window->qr().width() % 8, 0);
    auto* qr = window->findChild<QLabel*>(QStringLiteral("qr"));
    EXPECT_TRUE(qr->isVisible());
    EXPECT_EQ(qr->size(), QSize(200, 200));
    EXPECT_EQ(window->width(), 380);
    EXPECT_EQ(decodeQr(window->grab().toImage()), QStringList{link}) << "a screenshot of the window";
}

TEST_F(PairingWindowTest, WithoutDetailsTheCodeShowsButNoQr)
{
    details.reset();
    make();
    window->present();
    ASSERT_TRUE(pairing->shownCode());
    EXPECT_TRUE(shown("code"));
    EXPECT_FALSE(shown("qr"));
    EXPECT_TRUE(window->qr().isNull());
}

TEST_F(PairingWindowTest, PairedShowsTheAccountAndOffersTheCodeAgain)
{
    make(kLink);
    AgentStatus status;
    status.tailscale = TailscaleState::on(QStringLiteral("ann@github"));
    window->update(status);
    window->present();
    EXPECT_EQ(text("title"), "Paired with ann@example.com");
    EXPECT_TRUE(shown("showCode"));
    EXPECT_TRUE(shown("unpair"));
    EXPECT_FALSE(shown("code"));
    EXPECT_FALSE(shown("instructions"));
    EXPECT_EQ(text("tailscale"), "Tailscale is on, signed in as ann@github. Use the same Tailscale account on your "
                                 "phone or tablet.");
    EXPECT_EQ(window->findChild<QLabel*>("tailscale")->palette().color(QPalette::WindowText),
              PairingText::tailscale(status.tailscale).colour);

    window->findChild<QPushButton*>("unpair")->click();
    EXPECT_EQ(unpairAsked, 1);

    window->findChild<QPushButton*>("showCode")->click();
    EXPECT_EQ(text("title"), "Paired with ann@example.com");
    EXPECT_TRUE(shown("code"));
    EXPECT_TRUE(shown("qr"));
    EXPECT_FALSE(shown("showCode"));
}

TEST_F(PairingWindowTest, ClosingWithdrawsTheCodeAndStopsStepping)
{
    make();
    window->present();
    ASSERT_TRUE(pairing->shownCode());
    window->close();
    EXPECT_FALSE(pairing->shownCode());
    EXPECT_FALSE(window->stepping());

    // Reopening reuses the window with a fresh code.
    window->present();
    EXPECT_TRUE(pairing->shownCode());
    EXPECT_TRUE(window->stepping());
}

TEST_F(PairingWindowTest, WhileLockedOpensOnceOnUnlock)
{
    make();
    AgentStatus locked;
    locked.locked = true;
    window->update(locked);
    window->open();
    window->open();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(window->waitingForUnlock());
    window->update(AgentStatus{});
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->waitingForUnlock());
    window->close();
    window->update(AgentStatus{});
    EXPECT_FALSE(window->isVisible()) << "a later unlock opens nothing";
}

TEST_F(PairingWindowTest, ClosesTwoSecondsAfterAPhoneClaimedTheCode)
{
    make();
    window->present();
    ASSERT_TRUE(QTest::qWaitFor([&] { return pairing->showing() && pairing->showing()->registered; }, 20000))
        << "the code was never registered with the cloud";
    ASSERT_TRUE(cloud.claim(pairing->showing()->code, QStringLiteral("user-7"), QStringLiteral("ann@example.com")));

    // The next step finds the claim: stepping stops at once, the window goes two seconds later.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->stepping(); }, 20000));
    QElapsedTimer since;
    since.start();
    EXPECT_TRUE(pairing->linked());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(text("title"), "Paired with ann@example.com");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 20000));
    EXPECT_GE(since.elapsed(), 1900);
}
