#include "DesktopActions.h"

#include "InputInjector.h"
#include "Keys.h"
#include "Log.h"
#include "linux/Process.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QHash>
#include <QPointer>
#include <QStandardPaths>

namespace core::os {

namespace {

const QHash<QString, Keys::KeySym>& mediaKeys()
{
    static const QHash<QString, Keys::KeySym> keys = {
        {QStringLiteral("volume.up"), 0x1008FF13},       // XF86AudioRaiseVolume
        {QStringLiteral("volume.down"), 0x1008FF11},     // XF86AudioLowerVolume
        {QStringLiteral("volume.mute"), 0x1008FF12},     // XF86AudioMute
        {QStringLiteral("media.playpause"), 0x1008FF14}, // XF86AudioPlay
        {QStringLiteral("media.next"), 0x1008FF17},      // XF86AudioNext
        {QStringLiteral("media.prev"), 0x1008FF16},      // XF86AudioPrev
    };
    return keys;
}

} // namespace

DesktopActions::DesktopActions(std::function<std::unique_ptr<InputInjector>()> openInput,
                               std::function<void()> sleepDisplays)
    : openInput_(std::move(openInput))
    , sleepDisplays_(std::move(sleepDisplays))
{
}

DesktopActions::~DesktopActions() = default;

void DesktopActions::perform(const QString& id, std::optional<qint64> value)
{
    if (const auto key = mediaKeys().find(id); key != mediaKeys().end()) {
        std::unique_ptr<InputInjector> input = openInput_();
        if (!input) {
            log(QStringLiteral("actions: %1: no input on this desktop").arg(id));
            return;
        }
        Keys::postKeysym(std::move(input), *key, {});
    } else if (id == QLatin1String("lock")) {
        // Not a key stroke: the locking chord of other systems is Ctrl+Q here, which quits the
        // focused application. logind asks the session's own locker.
        const QString session = qEnvironmentVariable("XDG_SESSION_ID", QStringLiteral("auto"));
        callLogind(QStringLiteral("LockSession"), {session}, [this] {
            if (const QString tool = QStandardPaths::findExecutable(QStringLiteral("xdg-screensaver")); !tool.isEmpty())
                runProgram({tool, QStringLiteral("lock")});
        });
    } else if (id == QLatin1String("sleep")) {
        callLogind(QStringLiteral("Suspend"), {false}, nullptr);
    } else if (id == QLatin1String("display.sleep")) {
        sleepDisplays_();
    } else if (id == QLatin1String("volume.set")) {
        const QString level = QString::number(value.value_or(0)) + QLatin1Char('%');
        if (const QString wpctl = QStandardPaths::findExecutable(QStringLiteral("wpctl")); !wpctl.isEmpty())
            runProgram({wpctl, QStringLiteral("set-volume"), QStringLiteral("@DEFAULT_AUDIO_SINK@"), level});
        else if (const QString pactl = QStandardPaths::findExecutable(QStringLiteral("pactl")); !pactl.isEmpty())
            runProgram({pactl, QStringLiteral("set-sink-volume"), QStringLiteral("@DEFAULT_SINK@"), level});
        else
            log(QStringLiteral("actions: volume.set: neither wpctl nor pactl is installed"));
    }
}

void DesktopActions::runShell(const QString& command, std::chrono::milliseconds timeout, qsizetype tail, ShellDone done)
{
    shell_.run(command, timeout, tail, std::move(done));
}

void DesktopActions::callLogind(const QString& method, const QVariantList& args, std::function<void()> otherwise)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), method);
    call.setArguments(args);
    // Without interactive authorisation: nobody sits at the computer to answer a prompt.
    call.setInteractiveAuthorizationAllowed(false);
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [method, otherwise](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (!w->isError())
            return;
        log(QStringLiteral("actions: logind %1: %2").arg(method, w->error().message()));
        if (otherwise)
            otherwise();
    });
}

void DesktopActions::runProgram(const QStringList& argv)
{
    std::vector<QByteArray> args;
    for (const QString& a : argv)
        args.push_back(a.toLocal8Bit());
    auto holder = std::make_shared<QPointer<ChildRun>>();
    const QString name = argv.front();
    auto child = std::make_unique<ChildRun>(args, 65536, 10000, [holder, name](const ChildRun::Result& r) {
        if (r.startError)
            log(QStringLiteral("actions: %1: %2").arg(name, *r.startError));
        else if (r.output.status != 0 || r.output.signalled)
            log(QStringLiteral("actions: %1 ended with status %2").arg(name).arg(r.output.status));
        if (*holder)
            (*holder)->deleteLater();
    });
    child->setParent(this); // the parent ends a run still going when the agent goes
    *holder = child.release();
}

} // namespace core::os
