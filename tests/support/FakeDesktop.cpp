#include "FakeDesktop.h"

#include "FramePool.h"
#include "Log.h"
#include "linux/DesktopActions.h"

#include <cstring>
#include <unistd.h>

using namespace core;

namespace {

QString hex(InputInjector::KeySym sym) { return QStringLiteral("0x%1").arg(sym, 0, 16); }

} // namespace

FakeInput::FakeInput(std::shared_ptr<State> state)
    : s_(std::move(state))
{
    if (::pipe(fds_) != 0)
        throw AgentError(QStringLiteral("fake input: no pipe"));
}

FakeInput::~FakeInput()
{
    ::close(fds_[0]);
    ::close(fds_[1]);
}

int FakeInput::fd() const { return fds_[0]; }

void FakeInput::moveTo(int x, int y) { s_->calls << QStringLiteral("move %1,%2").arg(x).arg(y); }

void FakeInput::button(std::uint8_t button, bool press)
{
    s_->calls << QStringLiteral("button %1 %2").arg(button).arg(press ? "down" : "up");
}

bool FakeInput::prepare(const std::vector<KeySym>& syms, Clock::time_point, bool)
{
    if (s_->busy > 0) {
        --s_->busy;
        s_->calls << QStringLiteral("busy");
        return false;
    }
    QString line = QStringLiteral("prepare");
    for (KeySym sym : syms)
        line += QLatin1Char(' ') + hex(sym);
    s_->calls << line;
    s_->remapped = s_->remapped || s_->remapOnPrepare;
    return true;
}

std::optional<InputInjector::Clock::time_point> FakeInput::nextSpareFree(Clock::time_point now) const { return now; }

bool FakeInput::key(KeySym sym, bool press)
{
    s_->calls << QStringLiteral("key %1 %2").arg(hex(sym), press ? "down" : "up");
    return true;
}

bool FakeInput::type(KeySym sym)
{
    s_->calls << QStringLiteral("type %1").arg(hex(sym));
    return true;
}

void FakeInput::beginNeutral()
{
    if (!s_->neutral)
        s_->calls << QStringLiteral("neutral");
    s_->neutral = true;
}

void FakeInput::endNeutral()
{
    if (s_->neutral)
        s_->calls << QStringLiteral("plain");
    s_->neutral = false;
}
bool FakeInput::neutral() const { return s_->neutral; }
bool FakeInput::restorePending() const { return false; }

void FakeInput::restoreIdle(std::optional<Clock::time_point>)
{
    if (s_->remapped)
        s_->calls << QStringLiteral("restore");
    s_->remapped = false;
}

bool FakeInput::remapped() const { return s_->remapped; }
std::size_t FakeInput::spareCount() const { return s_->spares; }
void FakeInput::releaseAll() { s_->calls << QStringLiteral("release"); }

void FakeInput::requestAck()
{
    s_->ackPending = true;
    s_->ackDone = s_->answerAcks;
}

bool FakeInput::ackPending() const { return s_->ackPending; }

bool FakeInput::pollAck()
{
    if (!s_->ackPending || !s_->ackDone)
        return false;
    s_->ackPending = false;
    s_->ackDone = false;
    return true;
}

std::optional<QPoint> FakeInput::ackedPointer() const { return QPoint(0, 0); }

class FakeDesktop::Displays : public DisplaySource {
public:
    const std::vector<DisplayInfo>& current() const override { return list; }
    void set(std::vector<DisplayInfo> displays)
    {
        list = std::move(displays);
        emit changed();
    }
    std::vector<DisplayInfo> list;
};

class FakeDesktop::Probe : public PermissionsProbe {
public:
    explicit Probe(const FakeDesktop& owner) : owner_(owner) { }
    Permissions probe() override { return owner_.granted; }

private:
    const FakeDesktop& owner_;
};

class FakeDesktop::Presence : public LockState, public IdleInhibitor {
public:
    class Counted : public Hold {
    public:
        explicit Counted(int& count) : count_(count) { ++count_; }
        ~Counted() override { --count_; }

    private:
        int& count_;
    };

    bool locked() const override { return locked_; }
    std::unique_ptr<Hold> hold(const QString&) override { return std::make_unique<Counted>(holds); }
    void declareActivity() override { ++activity; }
    void set(bool locked)
    {
        locked_ = locked;
        emit changed(locked);
    }

    int holds = 0;
    int activity = 0;

private:
    bool locked_ = false;
};

// Every display, as the displays were when the source was opened, with a grey that brightens
// on every grab so that each frame differs from the last.
class FakeDesktop::Frames : public FrameSource {
public:
    Frames(std::vector<DisplayInfo> displays, std::atomic<int>& grabbed)
        : displays_(std::move(displays))
        , grabbed_(grabbed)
    {
    }
    void watch() override { }
    std::vector<DisplayInfo> displays() override { return displays_; }
    Result update(DisplayInfo&) override { return Result::ok; }
    Result grab(const DisplayInfo&, Nv12Buffer& into) override
    {
        const int n = grabbed_++;
        std::memset(into.y(), 16 + n % 200, std::size_t(into.frame.strideY) * std::size_t(into.frame.height));
        std::memset(into.uv(), 128, std::size_t(into.frame.strideUV) * std::size_t(into.frame.height / 2));
        return Result::ok;
    }
    const BgrxImage* still(const DisplayInfo&) override { return nullptr; }
    bool lost() const override { return false; }
    QString lostReason() const override { return {}; }

private:
    const std::vector<DisplayInfo> displays_;
    std::atomic<int>& grabbed_;
};

FakeDesktop::FakeDesktop()
    : displays_(std::make_unique<Displays>())
    , probe_(std::make_unique<Probe>(*this))
    , presence_(std::make_unique<Presence>())
    , actions_(std::make_unique<os::DesktopActions>([] { return nullptr; }, [] {}))
{
}

FakeDesktop::~FakeDesktop() = default;

void FakeDesktop::setDisplays(std::vector<DisplayInfo> displays) { displays_->set(std::move(displays)); }

DisplaySource& FakeDesktop::displays() { return *displays_; }

PermissionsProbe& FakeDesktop::permissions() { return *probe_; }

IdleInhibitor& FakeDesktop::idleInhibitor() { return *presence_; }

LockState& FakeDesktop::lockState() { return *presence_; }

void FakeDesktop::setLocked(bool locked) { presence_->set(locked); }

int FakeDesktop::holds() const { return presence_->holds; }

int FakeDesktop::activity() const { return presence_->activity; }

std::unique_ptr<FrameSource> FakeDesktop::openFrames()
{
    if (!capturable)
        throw AgentError(QStringLiteral("fake desktop: no pictures"));
    return std::make_unique<Frames>(displays_->list, grabbed);
}

std::unique_ptr<InputInjector> FakeDesktop::openInput()
{
    if (!input)
        return nullptr;
    return std::make_unique<FakeInput>(input);
}

SystemActions& FakeDesktop::actions() { return *actions_; }
