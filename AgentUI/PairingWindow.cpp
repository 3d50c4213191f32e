#include "PairingWindow.h"

#include "PairingText.h"
#include "QrImage.h"

#include <QCloseEvent>
#include <QCursor>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

namespace ui {

using namespace core;

namespace {
constexpr int kStepMs = 3000;
constexpr int kCloseAfterPairingMs = 2000;
constexpr int kQrSide = 200;
constexpr int kWidth = 380;

QLabel* label(QWidget* parent, const char* name)
{
    auto* l = new QLabel(parent);
    l->setObjectName(QLatin1String(name));
    l->setAlignment(Qt::AlignCenter);
    l->setWordWrap(true);
    return l;
}

void scaleFont(QWidget* w, double factor, bool bold)
{
    QFont f = w->font();
    f.setPointSizeF(f.pointSizeF() * factor);
    f.setBold(bold);
    w->setFont(f);
}
} // namespace

PairingWindow::PairingWindow(PairingController& pairing, Details details,
                             std::function<void(std::function<void()>)> unpair)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , pairing_(pairing)
    , details_(std::move(details))
    , unpair_(std::move(unpair))
{
    setWindowTitle(QStringLiteral("Dorvane"));
    setObjectName(QStringLiteral("pairingWindow"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(14);

    title_ = label(this, "title");
    scaleFont(title_, 1.4, true);
    layout->addWidget(title_);

    pairedButtons_ = new QWidget(this);
    auto* buttons = new QHBoxLayout(pairedButtons_);
    buttons->setContentsMargins(0, 0, 0, 0);
    auto* showCode = new QPushButton(QStringLiteral("Show code"), pairedButtons_);
    showCode->setObjectName(QStringLiteral("showCode"));
    auto* unpairButton = new QPushButton(QStringLiteral("Unpair\u2026"), pairedButtons_);
    unpairButton->setObjectName(QStringLiteral("unpair"));
    buttons->addStretch();
    buttons->addWidget(showCode);
    buttons->addWidget(unpairButton);
    buttons->addStretch();
    layout->addWidget(pairedButtons_);
    connect(showCode, &QPushButton::clicked, this, [this] {
        pairing_.show();
        refresh();
    });
    connect(unpairButton, &QPushButton::clicked, this, [this] {
        QPointer<PairingWindow> self(this);
        unpair_([self] {
            if (self)
                self->refresh();
        });
    });

    instructions_ = new QWidget(this);
    instructions_->setObjectName(QStringLiteral("instructions"));
    auto* lines = new QVBoxLayout(instructions_);
    lines->setContentsMargins(0, 0, 0, 0);
    lines->setSpacing(4);
    for (const QString& text : {PairingText::instruction1, PairingText::instruction2}) {
        auto* line = new QLabel(text, instructions_);
        line->setForegroundRole(QPalette::PlaceholderText);
        lines->addWidget(line);
    }
    layout->addWidget(instructions_, 0, Qt::AlignCenter);

    qrLabel_ = label(this, "qr");
    qrLabel_->setFixedSize(kQrSide, kQrSide);
    layout->addWidget(qrLabel_, 0, Qt::AlignCenter);

    code_ = label(this, "code");
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(font().pointSizeF() * 1.25);
    code_->setFont(mono);
    layout->addWidget(code_);

    countdownLabel_ = label(this, "countdown");
    countdownLabel_->setForegroundRole(QPalette::PlaceholderText);
    scaleFont(countdownLabel_, 0.85, false);
    layout->addWidget(countdownLabel_);

    auto* tailscale = new QWidget(this);
    auto* row = new QHBoxLayout(tailscale);
    row->setContentsMargins(0, 0, 0, 0);
    tailscaleIcon_ = new QLabel(tailscale);
    tailscaleText_ = label(tailscale, "tailscale");
    tailscaleText_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    row->addWidget(tailscaleIcon_, 0, Qt::AlignTop);
    row->addWidget(tailscaleText_, 1);
    layout->addWidget(tailscale);

    step_.setInterval(kStepMs);
    connect(&step_, &QTimer::timeout, this, &PairingWindow::step);
    countdown_.setInterval(1000);
    connect(&countdown_, &QTimer::timeout, this, &PairingWindow::showCountdown);
    closeLater_.setSingleShot(true);
    closeLater_.setInterval(kCloseAfterPairingMs);
    connect(&closeLater_, &QTimer::timeout, this, &QWidget::close);

    refresh();
}

PairingWindow::~PairingWindow() = default;

void PairingWindow::open()
{
    if (locked_)
        showOnUnlock();
    else
        present();
}

void PairingWindow::present()
{
    if (!pairing_.linked())
        pairing_.show();
    closeLater_.stop();
    refresh();
    place();
    show();
    raise();
    activateWindow();
    step_.start();
    countdown_.start();
    step();
}

void PairingWindow::showOnUnlock()
{
    waitingForUnlock_ = true;
}

void PairingWindow::update(const AgentStatus& status)
{
    tailscale_ = status.tailscale;
    locked_ = status.locked;
    if (waitingForUnlock_ && !locked_) {
        waitingForUnlock_ = false;
        present();
        return;
    }
    refresh();
}

void PairingWindow::refresh()
{
    const std::optional<Linked>& link = pairing_.linked();
    const std::optional<QString> email = link ? std::optional(link->email) : std::nullopt;
    const std::optional<QString> shown = pairing_.shownCode();
    const std::optional<MacDetails> details = shown ? details_() : std::nullopt;
    qr_ = shown && details ? qrImage(PairCode::link(*shown, *details)) : QImage();
    expiresAt_ = shown && pairing_.showing() ? std::optional(pairing_.showing()->expiresAt) : std::nullopt;

    const bool pairedView = email && !shown;
    title_->setText(PairingText::title(email));
    pairedButtons_->setVisible(pairedView);
    instructions_->setVisible(!pairedView);
    qrLabel_->setVisible(!pairedView && !qr_.isNull());
    // Nearest-neighbour scaling keeps the modules' edges sharp for a camera (or a screenshot).
    qrLabel_->setPixmap(qr_.isNull() ? QPixmap()
                                     : QPixmap::fromImage(qr_.scaled(kQrSide, kQrSide, Qt::KeepAspectRatio,
                                                                     Qt::FastTransformation)));
    code_->setVisible(!pairedView && shown);
    code_->setText(shown ? QStringLiteral("or enter ") + PairCode::display(*shown) : QString());
    countdownLabel_->setVisible(!pairedView && expiresAt_);
    showCountdown();

    const PairingText::TailscaleLine line = PairingText::tailscale(tailscale_);
    tailscaleText_->setText(line.text);
    QPalette palette = tailscaleText_->palette();
    palette.setColor(QPalette::WindowText, line.colour);
    tailscaleText_->setPalette(palette);
    const QStyle::StandardPixmap symbol = line.ok ? QStyle::SP_DialogApplyButton : QStyle::SP_MessageBoxWarning;
    tailscaleIcon_->setPixmap(style()->standardIcon(symbol).pixmap(16, 16));

    // A fixed width; the height follows the wrapped lines of the state shown.
    layout()->activate();
    setFixedSize(kWidth, layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(kWidth) : sizeHint().height());
}

void PairingWindow::showCountdown()
{
    countdownLabel_->setText(expiresAt_ ? PairingText::countdown(QDateTime::currentDateTimeUtc(), *expiresAt_)
                                        : QString());
}

void PairingWindow::step()
{
    if (!pairing_.linked())
        pairing_.show();
    const std::optional<MacDetails> details = details_();
    if (!details) {
        refresh();
        return;
    }
    const std::optional<QString> before = pairing_.linked() ? std::optional(pairing_.linked()->email) : std::nullopt;
    QPointer<PairingWindow> self(this);
    pairing_.tick(*details, [self, before] {
        if (!self)
            return;
        self->refresh();
        if (PairingText::justPaired(before, self->pairing_.linked()))
            self->justPaired();
    });
}

void PairingWindow::justPaired()
{
    step_.stop();
    if (isVisible())
        closeLater_.start();
}

void PairingWindow::place()
{
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    move(area.center().x() - width() / 2, area.center().y() - height() / 2);
}

void PairingWindow::closeEvent(QCloseEvent* event)
{
    step_.stop();
    countdown_.stop();
    closeLater_.stop();
    pairing_.hide();
    QWidget::closeEvent(event);
}

} // namespace ui
