#include "NetNamespace.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <atomic>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace {

std::atomic<int> instances{0};

// Removal of what may not exist: failures are expected and not shown.
void remove(const QStringList& args)
{
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(QStringLiteral("ip"), args);
    p.waitForFinished(10000);
}

// Namespaces of test processes that died without cleaning up (a crash skips destructors).
// Deleting a namespace deletes its veth end and with it the host end.
void sweepOrphans()
{
    static const QRegularExpression ours(QStringLiteral("^ra-test-(\\d+)-\\d+$"));
    const QStringList names = QDir(QStringLiteral("/run/netns")).entryList(QDir::Files);
    for (const QString& name : names) {
        const QRegularExpressionMatch m = ours.match(name);
        if (m.hasMatch() && !QFileInfo::exists(QStringLiteral("/proc/") + m.captured(1)))
            remove({QStringLiteral("netns"), QStringLiteral("del"), name});
    }
}

} // namespace

NetNamespace::NetNamespace()
{
    sweepOrphans();
    // Interface names hold at most 15 characters: "tailscale" leaves six digits.
    const int n = instances++;
    const int id = static_cast<int>(::getpid() % 100000) * 10 + n % 10;
    name_ = QStringLiteral("ra-test-%1-%2").arg(::getpid()).arg(n);
    hostIf_ = QStringLiteral("tailscale%1").arg(id);
    peerIf_ = QStringLiteral("tsphone%1").arg(id);
    // One /29 of 100.64.0.0/10 per id (id < 2^19).
    const int b = 64 + (id >> 13) % 64;
    const int c = (id >> 5) & 255;
    const int d = (id & 31) << 3;
    hostIp_ = QStringLiteral("100.%1.%2.%3").arg(b).arg(c).arg(d + 1);
    peerIp_ = QStringLiteral("100.%1.%2.%3").arg(b).arg(c).arg(d + 2);
    otherPeerIp_ = QStringLiteral("100.%1.%2.%3").arg(b).arg(c).arg(d + 3);
    otherHostIp_ = QStringLiteral("100.%1.%2.%3").arg(b).arg(c).arg(d + 4);

    // Leftovers of a killed run whose process id matched ours modulo 100000.
    remove({QStringLiteral("netns"), QStringLiteral("del"), name_});
    remove({QStringLiteral("link"), QStringLiteral("del"), hostIf_});

    const QString peerCidr = peerIp_ + QStringLiteral("/29");
    ip({QStringLiteral("netns"), QStringLiteral("add"), name_})
        && ip({QStringLiteral("link"), QStringLiteral("add"), hostIf_, QStringLiteral("type"), QStringLiteral("veth"),
               QStringLiteral("peer"), QStringLiteral("name"), peerIf_, QStringLiteral("netns"), name_})
        && ip({QStringLiteral("-n"), name_, QStringLiteral("addr"), QStringLiteral("add"), peerCidr, QStringLiteral("dev"),
               peerIf_})
        && ip({QStringLiteral("-n"), name_, QStringLiteral("addr"), QStringLiteral("add"), otherPeerIp_ + QStringLiteral("/29"),
               QStringLiteral("dev"), peerIf_})
        && ip({QStringLiteral("-n"), name_, QStringLiteral("link"), QStringLiteral("set"), peerIf_, QStringLiteral("up")})
        && ip({QStringLiteral("-n"), name_, QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("lo"),
               QStringLiteral("up")})
        && setHostLink(true);
}

NetNamespace::~NetNamespace()
{
    // Deleting the namespace deletes the peer end, and with it the host end of the pair.
    remove({QStringLiteral("netns"), QStringLiteral("del"), name_});
    remove({QStringLiteral("link"), QStringLiteral("del"), hostIf_});
}

bool NetNamespace::ip(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral("ip"), args);
    const bool finished = p.waitForFinished(10000);
    if (finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    if (error_.isEmpty())
        error_ = QStringLiteral("ip ") + args.join(QLatin1Char(' ')) + QStringLiteral(": ")
            + (p.error() == QProcess::FailedToStart ? p.errorString() : QString::fromLocal8Bit(p.readAllStandardError()));
    return false;
}

bool NetNamespace::addHostAddress(const QString& address)
{
    return ip({QStringLiteral("addr"), QStringLiteral("add"), address + QStringLiteral("/29"), QStringLiteral("dev"), hostIf_});
}

bool NetNamespace::removeHostAddress(const QString& address)
{
    return ip({QStringLiteral("addr"), QStringLiteral("del"), address + QStringLiteral("/29"), QStringLiteral("dev"), hostIf_});
}

NetNamespace::Inside::Inside(const NetNamespace& ns)
{
    home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(QByteArray("/run/netns/" + ns.name().toUtf8()).constData(), O_RDONLY | O_CLOEXEC);
    ok_ = home_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        ::close(target);
}

NetNamespace::Inside::~Inside()
{
    if (home_ < 0)
        return;
    if (ok_)
        ::setns(home_, CLONE_NEWNET);
    ::close(home_);
}

bool NetNamespace::setHostLink(bool up)
{
    return ip({QStringLiteral("link"), QStringLiteral("set"), hostIf_, up ? QStringLiteral("up") : QStringLiteral("down")});
}

QByteArray NetNamespace::exec(const QStringList& argv, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral("ip"), QStringList{QStringLiteral("netns"), QStringLiteral("exec"), name_} + argv);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
    }
    return p.readAllStandardOutput();
}
