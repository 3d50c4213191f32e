#include "XServerFixture.h"

#include <gtest/gtest.h>

#include "linux/x11/XConnection.h"

#include <QFile>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// Children get SIGTERM when the test process dies, so no server outlives a crashed test.
void dieWithParent()
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
}

// A VESA-like mode line for w x h at 60 Hz; the dummy driver accepts any timing within the
// monitor's ranges.
QStringList modeLine(int w, int h)
{
    const int htotal = w + 160, vtotal = h + 30;
    const double clock = double(htotal) * vtotal * 60 / 1e6;
    return {QString::number(clock, 'f', 2), QString::number(w), QString::number(w + 48), QString::number(w + 80),
            QString::number(htotal), QString::number(h), QString::number(h + 3), QString::number(h + 9),
            QString::number(vtotal), QStringLiteral("+hsync"), QStringLiteral("+vsync")};
}

} // namespace

XServerFixture::XServerFixture() = default;

XServerFixture::~XServerFixture()
{
    stop();
}

bool XServerFixture::start(QSize primary, QSize framebuffer)
{
    const QString config = dir_.filePath(QStringLiteral("xorg.conf"));
    if (!QFile::copy(QStringLiteral(TEST_SOURCE_DIR "/support/xorg-dummy.conf"), config)) {
        ADD_FAILURE() << "cannot write the Xorg configuration";
        return false;
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return false;
    }
    const int writeEnd = fds[1];
    server_ = std::make_unique<QProcess>();
    server_->setProcessChannelMode(QProcess::MergedChannels);
    server_->setStandardOutputFile(dir_.filePath(QStringLiteral("server.out")));
    server_->setChildProcessModifier([writeEnd] {
        dieWithParent();
        fcntl(writeEnd, F_SETFD, 0); // the server writes its display number here
    });
    server_->start(QStringLiteral("Xorg"),
                   {QStringLiteral("-displayfd"), QString::number(writeEnd), QStringLiteral("-config"),
                    config, QStringLiteral("-configdir"), dir_.filePath(QStringLiteral("none")),
                    QStringLiteral("-logfile"), dir_.filePath(QStringLiteral("Xorg.log")),
                    QStringLiteral("-noreset"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                    QStringLiteral("-sharevts"), QStringLiteral("-novtswitch")});
    close(writeEnd);
    const bool started = server_->waitForStarted(5000) && waitForDisplayNumber(fds[0]);
    close(fds[0]);
    if (!started) {
        ADD_FAILURE() << "Xorg with the dummy driver did not start (is xserver-xorg-video-dummy installed?)\n"
                      << serverLog().toStdString();
        return false;
    }

    hadDisplay_ = qEnvironmentVariableIsSet("DISPLAY");
    previousDisplay_ = qgetenv("DISPLAY");
    qputenv("DISPLAY", display_.toUtf8());

    // A name of its own: the dummy driver already has modes named like "1920x1080".
    const QString mode = QStringLiteral("fixture-%1x%2").arg(primary.width()).arg(primary.height());
    xrandr(QStringList{QStringLiteral("--newmode"), mode} + modeLine(primary.width(), primary.height()));
    if (!xrandr({QStringLiteral("--addmode"), QStringLiteral("DUMMY0"), mode})
        || !xrandr({QStringLiteral("--output"), QStringLiteral("DUMMY0"), QStringLiteral("--mode"), mode,
                    QStringLiteral("--primary")})
        || !xrandr({QStringLiteral("--fb"),
                    QStringLiteral("%1x%2").arg(framebuffer.width()).arg(framebuffer.height())})) {
        ADD_FAILURE() << "xrandr could not set up the dummy screen";
        return false;
    }

    wm_ = std::make_unique<QProcess>();
    wm_->setChildProcessModifier(dieWithParent);
    wm_->setStandardOutputFile(QProcess::nullDevice());
    wm_->setStandardErrorFile(QProcess::nullDevice());
    wm_->start(QStringLiteral("openbox"), {});
    if (!wm_->waitForStarted(5000) || !waitForWindowManager()) {
        ADD_FAILURE() << "openbox did not start";
        return false;
    }
    return true;
}

bool XServerFixture::waitForWindowManager()
{
    // Windows mapped while openbox still starts may stay unmanaged: it is ready once it has
    // published its client list, which it does after adopting the windows already there.
    const auto x = core::x11::Connection::open();
    if (!x)
        return false;
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(x->get(), x->root(), XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t clientList = x->atom("_NET_CLIENT_LIST");
    for (;;) {
        const core::x11::Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
            x->get(), xcb_get_property(x->get(), 0, x->root(), clientList, XCB_ATOM_ANY, 0, 0), nullptr));
        if (r && r->type != XCB_ATOM_NONE)
            return true;
        // The reply may have brought the awaited event along: only an empty queue waits.
        bool queued = false;
        while (core::x11::Reply<xcb_generic_event_t> event{xcb_poll_for_event(x->get())})
            queued = true;
        pollfd p{x->fd(), POLLIN, 0};
        if (!queued && (poll(&p, 1, 20000) <= 0 || x->broken()))
            return false;
    }
}

bool XServerFixture::waitForDisplayNumber(int fd)
{
    QByteArray text;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0)
            return false;
        char c = 0;
        const ssize_t n = read(fd, &c, 1);
        if (n <= 0)
            return false;
        if (c == '\n')
            break;
        text += c;
    }
    display_ = QStringLiteral(":") + QString::fromLatin1(text);
    return !text.isEmpty();
}

void XServerFixture::stop()
{
    for (auto* p : {wm_.get(), server_.get()}) {
        if (p && p->state() != QProcess::NotRunning) {
            p->terminate();
            if (!p->waitForFinished(5000)) {
                p->kill();
                p->waitForFinished(2000);
            }
        }
    }
    wm_.reset();
    server_.reset();
    if (!display_.isEmpty()) {
        if (hadDisplay_)
            qputenv("DISPLAY", previousDisplay_);
        else
            qunsetenv("DISPLAY");
        display_.clear();
    }
}

void XServerFixture::killServer()
{
    if (server_ && server_->state() != QProcess::NotRunning) {
        server_->kill();
        server_->waitForFinished(5000);
    }
}

bool XServerFixture::xrandr(const QStringList& args)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display_);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("xrandr"), args);
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        ADD_FAILURE() << "xrandr " << args.join(QLatin1Char(' ')).toStdString() << ": "
                      << p.readAll().toStdString();
        return false;
    }
    return true;
}

bool XServerFixture::addMonitor(const QString& name, const QRect& r)
{
    return xrandr(setMonitorArgs(name, r));
}

QStringList XServerFixture::setMonitorArgs(const QString& name, const QRect& r)
{
    // Physical sizes follow from 96 dpi; they only matter for xrandr's own report.
    const QString geometry = QStringLiteral("%1/%2x%3/%4+%5+%6")
                                 .arg(r.width())
                                 .arg(r.width() * 254 / 960)
                                 .arg(r.height())
                                 .arg(r.height() * 254 / 960)
                                 .arg(r.x())
                                 .arg(r.y());
    return {QStringLiteral("--setmonitor"), name, geometry, QStringLiteral("none")};
}

bool XServerFixture::deleteMonitor(const QString& name)
{
    return xrandr({QStringLiteral("--delmonitor"), name});
}

quint32 XServerFixture::atom(const QString& name) const
{
    const auto x = core::x11::Connection::open();
    return x ? x->atom(name.toLatin1().constData(), true) : 0;
}

quint32 XServerFixture::rootWindow() const
{
    const auto x = core::x11::Connection::open();
    return x ? x->root() : 0;
}

QString XServerFixture::windowText(quint32 window, const QString& property) const
{
    const auto x = core::x11::Connection::open();
    if (!x)
        return {};
    const core::x11::Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        x->get(), xcb_get_property(x->get(), 0, window, x->atom(property.toLatin1().constData()), XCB_ATOM_ANY, 0, 1024),
        nullptr));
    if (!r || r->format != 8)
        return {};
    return QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(r.get())), xcb_get_property_value_length(r.get()));
}

QString XServerFixture::serverLog() const
{
    QFile f(dir_.filePath(QStringLiteral("Xorg.log")));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll().right(4000));
}
