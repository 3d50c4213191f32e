#pragma once

#include <QByteArray>
#include <QProcess>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A private Xorg server with the dummy video driver (which, unlike Xvfb, honours
// `xrandr --setmonitor`), plus openbox. The primary output DUMMY0 runs at `primary`; the
// framebuffer is `framebuffer`, so that monitors added beside it have room. While it runs, $DISPLAY
// of this process points at it (restored on stop), so code under test and child processes use it.
// Child servers die with the test process.
class XServerFixture {
public:
    XServerFixture();
    ~XServerFixture();

    // Starts the server; fails the current test and returns false when it cannot.
    bool start(QSize primary = {1920, 1080}, QSize framebuffer = {3840, 1080});
    void stop();
    // Kills the X server abruptly, as a crash would.
    void killServer();

    QString display() const { return display_; }
    qint64 serverPid() const { return server_ ? server_->processId() : 0; }
    // Runs xrandr with `args` on this display; false when it fails.
    bool xrandr(const QStringList& args);
    // A monitor without outputs at `r` (xrandr --setmonitor NAME W/mmxH/mm+X+Y none).
    bool addMonitor(const QString& name, const QRect& r);
    // The xrandr arguments that add such a monitor; several of them in one xrandr run make one
    // burst of changes.
    static QStringList setMonitorArgs(const QString& name, const QRect& r);
    bool deleteMonitor(const QString& name);
    // The atom value of a monitor name, as the display id reports it.
    quint32 atom(const QString& name) const;
    quint32 rootWindow() const;
    // A text property of a window (UTF8_STRING or STRING); empty when it has none.
    QString windowText(quint32 window, const QString& property) const;
    QString serverLog() const;

private:
    bool waitForDisplayNumber(int fd);
    bool waitForWindowManager();

    QTemporaryDir dir_;
    std::unique_ptr<QProcess> server_;
    std::unique_ptr<QProcess> wm_;
    QString display_;
    QByteArray previousDisplay_;
    bool hadDisplay_ = false;
};
