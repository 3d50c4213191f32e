#include "TrayMenu.h"

#include "MenuModel.h"
#include "TrayIcon.h"

#include <QCursor>
#include <QDateTime>
#include <QGuiApplication>
#include <QTimeZone>

namespace ui {

using namespace core;

TrayMenu::TrayMenu(Commands commands, Ask ask, QObject* parent)
    : QObject(parent)
    , commands_(std::move(commands))
    , ask_(std::move(ask))
{
    tray_.setToolTip(QStringLiteral("Dorvane"));
    // A left click shows the same menu: some tray hosts give no right-click menu of their own.
    connect(&tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && menu_)
            menu_->popup(QCursor::pos());
    });
    midnight_.setSingleShot(true);
    connect(&midnight_, &QTimer::timeout, this, &TrayMenu::rebuild);
    rebuild();
    // Without any display (the headless developer mode) there is no tray to show in.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        tray_.show();
}

TrayMenu::~TrayMenu() = default;

void TrayMenu::update(const AgentStatus& status)
{
    status_ = status;
    rebuild();
}

void TrayMenu::rebuild()
{
    greyed_ = !status_.tailscale.isOn();
    tray_.setIcon(TrayIcon::make(TrayIcon::darkPanel(), greyed_));

    const std::vector<MenuModel::Line> lines
        = MenuModel::lines(status_.link, status_.connectedDevice, status_.tailscale, status_.devices.visible(),
                           status_.connectedDeviceID, QDateTime::currentDateTime(), QTimeZone::systemTimeZone());

    auto menu = std::make_unique<QMenu>();
    for (const MenuModel::Line& line : lines) {
        if (const auto* status = std::get_if<MenuModel::StatusLine>(&line)) {
            menu->addAction(status->text)->setEnabled(false);
        } else if (const auto* action = std::get_if<MenuModel::ActionLine>(&line)) {
            QAction* item = menu->addAction(action->title);
            const QString name = MenuModel::actionName(action->action);
            item->setData(name);
            if (action->action == MenuModel::Action::quit)
                item->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
            if (action->bold) {
                QFont font = item->font();
                font.setBold(true);
                item->setFont(font);
            }
            connect(item, &QAction::triggered, this, [this, name] { run(name); });
        } else if (const auto* device = std::get_if<MenuModel::DeviceLine>(&line)) {
            QMenu* sub = menu->addMenu(device->label);
            const QString id = device->id;
            QAction* toggle = sub->addAction(device->disabled ? QStringLiteral("Enable") : QStringLiteral("Disable"));
            toggle->setData(id);
            connect(toggle, &QAction::triggered, this, [this, id] { toggleDevice(id); });
            sub->addSeparator();
            QAction* remove = sub->addAction(QStringLiteral("Remove\u2026"));
            remove->setData(id);
            connect(remove, &QAction::triggered, this, [this, id] { confirmRemove(id); });
        } else {
            menu->addSeparator();
        }
    }
    tray_.setContextMenu(menu.get());
    // The old menu goes through the event loop: an item's own trigger may have led to this rebuild.
    if (menu_)
        menu_.release()->deleteLater();
    menu_ = std::move(menu);
    armMidnight();
}

void TrayMenu::armMidnight()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime next = now.date().addDays(1).startOfDay();
    // A second past midnight, so the rebuild surely counts the new day.
    midnight_.start(std::max<qint64>(1000, now.msecsTo(next) + 1000));
}

void TrayMenu::run(const QString& name)
{
    const std::optional<MenuModel::Action> action = MenuModel::actionFrom(name);
    if (!action)
        return;
    switch (*action) {
    case MenuModel::Action::pair:
        commands_.openPairing();
        break;
    case MenuModel::Action::unpair:
        confirmUnpair(status_.link, ask_, commands_.unpair, commands_.openPairing);
        break;
    case MenuModel::Action::quit:
        commands_.quit();
        break;
    }
}

void TrayMenu::toggleDevice(const QString& id)
{
    const std::optional<Device::State> state = status_.devices.state(id);
    // A stale item of a removed device must not bring it back as disabled.
    if (!state || *state == Device::State::removed)
        return;
    if (*state == Device::State::disabled)
        commands_.enable(id);
    else
        commands_.disable(id);
}

void TrayMenu::confirmRemove(const QString& id)
{
    for (const Device& device : status_.devices.visible()) {
        if (device.id != id)
            continue;
        if (ask_(removeQuestion(device.name)))
            commands_.remove(id);
        return;
    }
}

void TrayMenu::confirmUnpair(const std::optional<Linked>& link, const Ask& ask, const std::function<void()>& unpair,
                             const std::function<void()>& then)
{
    if (!link || !ask(unpairQuestion(link->email)))
        return;
    unpair();
    then();
}

} // namespace ui
