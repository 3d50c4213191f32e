// A Wayland client for the GNOME tests: a full-screen window of one colour (argv[1], "#rrggbb")
// that prints, one line each, when it is first drawn and the input it receives. It draws again
// every 0.1 s, so that screen casts keep getting frames of it.
#include <QGuiApplication>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRasterWindow>
#include <QTimer>
#include <QWheelEvent>

#include <cstdio>

namespace {

void say(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

class Painter : public QRasterWindow {
public:
    explicit Painter(QColor colour) : colour_(colour)
    {
        // Drawn again and again: Mutter 43 may skip the last frame of a burst that comes too soon
        // after the one before, and a still window would then never be seen whole.
        redraw_.setInterval(100);
        QObject::connect(&redraw_, &QTimer::timeout, this, [this] { update(); });
        redraw_.start();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter(this).fillRect(QRect(QPoint(), size()), colour_);
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
    QColor colour_;
    bool drawn_ = false;
    QTimer redraw_;
};

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "wayland");
    QGuiApplication app(argc, argv);
    Painter window(QColor(argc > 1 ? QString::fromLatin1(argv[1]) : QStringLiteral("#ff0000")));
    window.showFullScreen();
    return app.exec();
}
