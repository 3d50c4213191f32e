#include "MutterClipboard.h"

#include "Log.h"
#include "MutterBus.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QObject>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace core::mutter {

namespace {

// How long a transfer may go without progress, either way.
constexpr int kTransferMs = 5000;
// Content beyond this is refused while reading: far over any cap, it only costs memory.
constexpr qsizetype kReadLimit = 64 * 1024 * 1024;

const QString kTextFormat = QLatin1String(core::Clipboard::textFormat);
// The names Wayland and X clients offer text under, best first; STRING is Latin-1.
const char* const kUtf8Types[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT"};
const char* const kTextTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT", "STRING"};

// A descriptor of our own, closed when it goes.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) { }
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The descriptor a reply carries, duplicated so that it outlives the reply; -1 when none.
int takeFd(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return -1;
    const auto fd = reply.arguments().front().value<QDBusUnixFileDescriptor>();
    return fd.isValid() ? ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
}

// The types of an owner-change notice: Mutter sends them as a structure holding the list.
QStringList mimeTypes(const QVariant& value)
{
    if (!value.canConvert<QDBusArgument>())
        return value.toStringList();
    const auto arg = value.value<QDBusArgument>();
    QStringList types;
    if (arg.currentType() == QDBusArgument::StructureType) {
        arg.beginStructure();
        arg >> types;
        arg.endStructure();
    } else if (arg.currentType() == QDBusArgument::ArrayType) {
        arg >> types;
    }
    return types;
}

// Waits for `events` on `fd`; false when nothing came within kTransferMs.
bool ready(int fd, short events)
{
    pollfd p{fd, events, 0};
    int n;
    do
        n = ::poll(&p, 1, kTransferMs);
    while (n < 0 && errno == EINTR);
    return n > 0;
}

} // namespace

// The clipboard side of one RemoteDesktop session. Lives on the clipboard thread, where Mutter's
// notices are delivered; every method runs there.
class Selection : public QObject {
    Q_OBJECT
public:
    Selection(QDBusConnection bus, QString session) : bus_(std::move(bus)), session_(std::move(session)) { }
    ~Selection() override
    {
        bus_.disconnect(kRemoteDesktop, session_, kRemoteDesktopSession, QStringLiteral("SelectionOwnerChanged"), this,
                        SLOT(ownerChanged(QVariantMap)));
        bus_.disconnect(kRemoteDesktop, session_, kRemoteDesktopSession, QStringLiteral("SelectionTransfer"), this,
                        SLOT(transfer(QString, uint)));
        call(bus_, kRemoteDesktop, session_, kRemoteDesktopSession, QStringLiteral("Stop"));
    }

    // Null, logged, when Mutter refuses.
    static std::unique_ptr<Selection> open(QDBusConnection bus)
    {
        const QDBusMessage created = call(bus, kRemoteDesktop, kRemoteDesktopPath, kRemoteDesktop, QStringLiteral("CreateSession"));
        if (created.type() != QDBusMessage::ReplyMessage || created.arguments().isEmpty()) {
            log(QStringLiteral("clipboard: ") + created.errorMessage() + QStringLiteral(", clipboard kept in the agent only"));
            return nullptr;
        }
        auto selection = std::make_unique<Selection>(bus, created.arguments().front().value<QDBusObjectPath>().path());
        // Connected before the clipboard is enabled, so that no notice is missed.
        bus.connect(kRemoteDesktop, selection->session_, kRemoteDesktopSession, QStringLiteral("SelectionOwnerChanged"),
                    selection.get(), SLOT(ownerChanged(QVariantMap)));
        bus.connect(kRemoteDesktop, selection->session_, kRemoteDesktopSession, QStringLiteral("SelectionTransfer"),
                    selection.get(), SLOT(transfer(QString, uint)));
        for (const QString& method : {QStringLiteral("Start"), QStringLiteral("EnableClipboard")}) {
            const QVariantList args = method == QStringLiteral("Start") ? QVariantList() : QVariantList{QVariantMap()};
            const QDBusMessage reply = call(bus, kRemoteDesktop, selection->session_, kRemoteDesktopSession, method, args);
            if (reply.type() == QDBusMessage::ErrorMessage) {
                log(QStringLiteral("clipboard: ") + reply.errorMessage() + QStringLiteral(", clipboard kept in the agent only"));
                return nullptr;
            }
        }
        // Mutter tells the present owner's types before its reply: that is the starting state.
        selection->drain();
        return selection;
    }

    // Handles the notices that have arrived, so that ownership and the change count are current.
    void drain() { QCoreApplication::sendPostedEvents(this); }

    quint64 changes() const { return changes_; }

    QStringList formats()
    {
        drain();
        QStringList out;
        if (!owned_.empty()) {
            for (const auto& [type, bytes] : owned_)
                out << type;
            return out;
        }
        out = offered_;
        if (!out.contains(kTextFormat)
            && std::any_of(std::begin(kTextTypes), std::end(kTextTypes), [&](const char* t) { return out.contains(QLatin1String(t)); }))
            out << kTextFormat;
        return out;
    }

    std::optional<QByteArray> data(const QString& format)
    {
        drain();
        if (!owned_.empty()) {
            for (const auto& [type, bytes] : owned_)
                if (type == format)
                    return bytes;
            return std::nullopt;
        }
        if (format != kTextFormat)
            return read(format);
        for (const char* t : kUtf8Types)
            if (offered_.contains(QLatin1String(t)))
                if (auto text = read(QLatin1String(t)))
                    return text;
        if (offered_.contains(QStringLiteral("STRING")))
            if (auto latin1 = read(QStringLiteral("STRING")))
                return QString::fromLatin1(*latin1).toUtf8();
        return std::nullopt;
    }

    void write(const QString& format, const QByteArray& bytes)
    {
        std::vector<std::pair<QString, QByteArray>> owned;
        if (format == kTextFormat) {
            for (const char* t : kTextTypes)
                owned.emplace_back(QLatin1String(t), t == QByteArrayView("STRING") ? QString::fromUtf8(bytes).toLatin1() : bytes);
        } else {
            owned.emplace_back(format, bytes);
        }
        QStringList types;
        for (const auto& [type, b] : owned)
            types << type;
        const QDBusMessage reply = call(bus_, kRemoteDesktop, session_, kRemoteDesktopSession, QStringLiteral("SetSelection"),
                                        {QVariantMap{{QStringLiteral("mime-types"), types}}});
        if (reply.type() == QDBusMessage::ErrorMessage) {
            log(QStringLiteral("clipboard: ") + reply.errorMessage());
            throw AgentError(QStringLiteral("The clipboard could not be set."));
        }
        // What came before the reply is handled now: notices of other owners are older than our
        // write and must not take the clipboard back from it, and a client may already be asking
        // for the new content.
        owned_ = std::move(owned);
        superseding_ = true;
        drain();
        superseding_ = false;
        ++changes_;
    }

private slots:
    void ownerChanged(const QVariantMap& options)
    {
        // Our own SetSelection was counted when it was made.
        if (superseding_ || options.value(QStringLiteral("session-is-owner")).toBool())
            return;
        owned_.clear();
        offered_ = mimeTypes(options.value(QStringLiteral("mime-types")));
        ++changes_;
    }

    // A client asks for our content in `type`: Mutter hands over a pipe to write it into.
    void transfer(const QString& type, uint serial)
    {
        const QByteArray* bytes = nullptr;
        for (const auto& [t, b] : owned_)
            if (t == type)
                bytes = &b;
        bool sent = false;
        if (bytes) {
            const QDBusMessage reply = call(bus_, kRemoteDesktop, session_, kRemoteDesktopSession, QStringLiteral("SelectionWrite"), {serial});
            const Fd fd(takeFd(reply));
            sent = fd.get() >= 0 && writeAll(fd.get(), *bytes);
        }
        call(bus_, kRemoteDesktop, session_, kRemoteDesktopSession, QStringLiteral("SelectionWriteDone"), {serial, sent});
    }

private:
    std::optional<QByteArray> read(const QString& type)
    {
        const QDBusMessage reply = call(bus_, kRemoteDesktop, session_, kRemoteDesktopSession, QStringLiteral("SelectionRead"), {type});
        const Fd fd(takeFd(reply));
        if (fd.get() < 0) {
            if (reply.type() == QDBusMessage::ErrorMessage)
                log(QStringLiteral("clipboard: ") + reply.errorMessage());
            return std::nullopt;
        }
        ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
        QByteArray out;
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n == 0)
                return out;
            if (n > 0) {
                if (out.size() + n > kReadLimit)
                    return std::nullopt;
                out.append(buffer, n);
            } else if (errno == EAGAIN) {
                if (!ready(fd.get(), POLLIN))
                    return std::nullopt;
            } else if (errno != EINTR) {
                return std::nullopt;
            }
        }
    }

    static bool writeAll(int fd, const QByteArray& bytes)
    {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        qsizetype sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.constData() + sent, size_t(bytes.size() - sent));
            if (n > 0)
                sent += n;
            else if (n < 0 && errno == EAGAIN) {
                if (!ready(fd, POLLOUT))
                    return false;
            } else if (n < 0 && errno != EINTR) {
                return false;
            }
        }
        return true;
    }

    QDBusConnection bus_;
    QString session_;
    quint64 changes_ = 0;
    // What another owner offers; empty when we own the clipboard or nobody does.
    QStringList offered_;
    // What we serve while we own the clipboard: (type, bytes), in the order offered.
    std::vector<std::pair<QString, QByteArray>> owned_;
    bool superseding_ = false;
};

std::unique_ptr<Clipboard> Clipboard::open(QDBusConnection bus)
{
    auto selection = Selection::open(std::move(bus));
    if (!selection)
        return nullptr;
    return std::unique_ptr<Clipboard>(new Clipboard(std::move(selection)));
}

Clipboard::Clipboard(std::unique_ptr<Selection> selection) : selection_(std::move(selection))
{
    thread_.setObjectName(QStringLiteral("remote-agent.clipboard"));
    selection_->moveToThread(&thread_);
    thread_.start();
    QMetaObject::invokeMethod(
        selection_.get(),
        [] {
            // A reader that went away must fail the write, not end the process.
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        },
        Qt::QueuedConnection);
}

Clipboard::~Clipboard()
{
    thread_.quit();
    thread_.wait();
    // Stopped from here: the thread is gone, and so is everything it would have delivered.
    selection_.reset();
}

void Clipboard::post(std::function<void()> job)
{
    QMetaObject::invokeMethod(selection_.get(), std::move(job), Qt::QueuedConnection);
}

quint64 Clipboard::changeCount()
{
    selection_->drain();
    return selection_->changes();
}

QStringList Clipboard::formats() { return selection_->formats(); }

std::optional<QByteArray> Clipboard::data(const QString& format) { return selection_->data(format); }

void Clipboard::write(const QString& format, const QByteArray& bytes) { selection_->write(format, bytes); }

} // namespace core::mutter

#include "MutterClipboard.moc"
