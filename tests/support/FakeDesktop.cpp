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

FakeDesktop::FakeDesktop()
    : displays_(std::make_unique<Displays>())
    , probe_(std::make_unique<Probe>(*this))
    , actions_(std::make_unique<os::DesktopActions>([] { return nullptr; }, [] {}))
{
}

FakeDesktop::~FakeDesktop() = default;

void FakeDesktop::setDisplays(std::vector<DisplayInfo> displays) { displays_->set(std::move(displays)); }

DisplaySource& FakeDesktop::displays() { return *displays_; }

PermissionsProbe& FakeDesktop::permissions() { return *probe_; }

std::unique_ptr<FrameSource> FakeDesktop::openFrames()
{
    throw AgentError(QStringLiteral("fake desktop: no pictures"));
}

std::unique_ptr<InputInjector> FakeDesktop::openInput()
{
    return nullptr;
}

SystemActions& FakeDesktop::actions() { return *actions_; }
