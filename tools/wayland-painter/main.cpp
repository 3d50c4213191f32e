// A Wayland client for the GNOME tests: a full-screen window of one colour (argv[1], "#rrggbb")
// that prints, one line each, when it is first drawn and the input it receives. It draws again
// every 0.1 s, so that screen casts keep getting frames of it. A line "copy TEXT" on its standard
// input puts TEXT on the clipboard; the clipboard's text is printed whenever it changes.
//
// With "animate" instead of a colour it is the benchmarks' animation: every frame (the compositor's
// rate, 60 a second at most) changes the whole picture and carries its number and the wall-clock
// time (milliseconds, low 32 bits) as two rows of 32 black-or-white blocks in the top-left corner,
// drawn as bench_animate draws them on X.
#include <QClipboard>
#include <QGuiApplication>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRasterWindow>
#include <QSocketNotifier>
#include <QTimer>
#include <QWheelEvent>

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

void say(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

uint32_t wallMillis()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint32_t(uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000);
}

class Painter : public QRasterWindow {
public:
    // An invalid colour animates.
    explicit Painter(QColor colour) : colour_(colour)
    {
        // Drawn again and again: Mutter 43 may skip the last frame of a burst that comes too soon
        // after the one before, and a still window would then never be seen whole. An animation
        // asks as often as it can; Qt draws once per frame the compositor shows.
        redraw_.setInterval(colour_.isValid() ? 100 : 4);
        QObject::connect(&redraw_, &QTimer::timeout, this, [this] { update(); });
        redraw_.start();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (colour_.isValid())
            QPainter(this).fillRect(QRect(QPoint(), size()), colour_);
        else
            animate();
        if (!drawn_) {
            drawn_ = true;
            say(QStringLiteral("drawn %1x%2").arg(width()).arg(height()));
        }
    }
    bool event(QEvent* e) override
    {
        // The pointer's first position on the window comes as an enter event.
        if (e->type() == QEvent::Enter) {
            const QPointF at = static_cast<QEnterEvent*>(e)->position();
            say(QStringLiteral("motion %1 %2").arg(int(at.x())).arg(int(at.y())));
        }
        return QRasterWindow::event(e);
    }
    void mouseMoveEvent(QMouseEvent* e) override
    {
        say(QStringLiteral("motion %1 %2").arg(int(e->position().x())).arg(int(e->position().y())));
    }
    void mousePressEvent(QMouseEvent* e) override { say(QStringLiteral("press %1").arg(int(e->button()))); }
    void mouseReleaseEvent(QMouseEvent* e) override { say(QStringLiteral("release %1").arg(int(e->button()))); }
    void wheelEvent(QWheelEvent* e) override
    {
        say(QStringLiteral("wheel %1 %2").arg(e->angleDelta().x()).arg(e->angleDelta().y()));
    }
    void keyPressEvent(QKeyEvent* e) override { say(QStringLiteral("key %1 %2").arg(e->key()).arg(e->text())); }

private:
    void animate()
    {
        constexpr int kBlock = 24;
        QPainter p(this);
        const uint32_t shade = (frame_ * 3) % 200 + 30;
        p.fillRect(QRect(QPoint(), size()), QColor(int(shade), int(255 - shade), frame_ % 2 ? 96 : 64));
        p.fillRect(int(frame_ * 8 % uint32_t(std::max(width(), 1))), kBlock * 3, 40, height() - kBlock * 3, Qt::white);
        const uint32_t stamp = wallMillis();
        for (int bit = 0; bit < 32; ++bit) {
            p.fillRect(bit * kBlock, 0, kBlock, kBlock, (frame_ >> bit) & 1 ? Qt::white : Qt::black);
            p.fillRect(bit * kBlock, kBlock, kBlock, kBlock, (stamp >> bit) & 1 ? Qt::white : Qt::black);
        }
        ++frame_;
    }

    QColor colour_;
    uint32_t frame_ = 0;
    bool drawn_ = false;
    QTimer redraw_;
};

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "wayland");
    QGuiApplication app(argc, argv);
    const QString colour = argc > 1 ? QString::fromLatin1(argv[1]) : QStringLiteral("#ff0000");
    Painter window(colour == QStringLiteral("animate") ? QColor() : QColor(colour));
    window.showFullScreen();
    QObject::connect(QGuiApplication::clipboard(), &QClipboard::dataChanged, &app,
                     [] { say(QStringLiteral("clipboard ") + QGuiApplication::clipboard()->text()); });
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        pending.append(buffer, n);
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1)) {
            const QString line = QString::fromUtf8(pending.left(end));
            if (line.startsWith(QStringLiteral("copy ")))
                QGuiApplication::clipboard()->setText(line.mid(5));
        }
    });
    return app.exec();
}
