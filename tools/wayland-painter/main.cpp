// A Wayland client for the GNOME tests: a full-screen window of one colour (argv[1], "#rrggbb")
// that prints, one line each, when it is first drawn and the input it receives. It draws again
// every 0.1 s, so that screen casts keep getting frames of it. A line "copy TEXT" on its standard
// input puts TEXT on the clipboard; the clipboard's text is printed whenever it changes.
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
#include <unistd.h>

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
