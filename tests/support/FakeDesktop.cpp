#include "FakeDesktop.h"

#include "InputInjector.h"
#include "Log.h"
#include "linux/DesktopActions.h"

using namespace core;

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
    throw AgentError(QStringLiteral("fake desktop: no pictures"));
}

std::unique_ptr<InputInjector> FakeDesktop::openInput()
{
    return nullptr;
}

SystemActions& FakeDesktop::actions() { return *actions_; }
