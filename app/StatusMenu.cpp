#include "app/StatusMenu.h"

#include "app/StatusTexts.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <algorithm>
#include <array>

namespace tallyglass {
namespace {

struct Preset {
    const char16_t* title;
    double seconds;
};
constexpr std::array<Preset, 4> refreshPresets{{{u"30초", 30}, {u"1분", 60}, {u"5분", 300}, {u"10분", 600}}};
static_assert(std::ranges::all_of(refreshPresets,
                                  [](const Preset& p) { return SettingsKeys::refreshInterval.inRange(p.seconds); }),
              "every preset is an interval the settings accept");

struct ModeChoice {
    const char16_t* title;
    TimeDisplayMode mode;
};
constexpr std::array<ModeChoice, 2> modeChoices{
    {{u"갱신 시각", TimeDisplayMode::resetAt}, {u"남은 시간", TimeDisplayMode::remaining}}};

void addInfo(QMenu& menu, const QString& text)
{
    menu.addAction(text)->setEnabled(false);
}

QAction* addCommand(QMenu& menu, const QString& title, const QObject* context, std::function<void()> action)
{
    QAction* item = menu.addAction(title);
    QObject::connect(item, &QAction::triggered, context, [action = std::move(action)] {
        if (action)
            action();
    });
    return item;
}

QAction* addChoice(QMenu& menu, const QString& title, const QVariant& data, bool checked, const QObject* context,
                   const std::function<void(const QVariant&)>& select)
{
    QAction* item = menu.addAction(title);
    item->setData(data);
    item->setCheckable(true);
    item->setChecked(checked);
    QObject::connect(item, &QAction::triggered, context, [item, select] {
        if (select)
            select(item->data());
    });
    return item;
}

void addShortcut(QAction* item, QKeyCombination keys)
{
    item->setShortcut(QKeySequence(keys));
    item->setShortcutVisibleInContextMenu(true);
}

void addUsageLines(QMenu& menu, const StatusMenuState& state)
{
    const UsageLines lines = UsageLines::make(state.snapshot, state.mode, state.time);
    for (const QString& line : lines.fiveHour)
        addInfo(menu, line);
    menu.addSeparator();
    for (const QString& line : lines.week)
        addInfo(menu, line);
    if (state.statusMessage) {
        menu.addSeparator();
        addInfo(menu, *state.statusMessage);
    }
    if (lines.checked)
        addInfo(menu, *lines.checked);
}

void addRefreshIntervalMenu(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions,
                            const QObject* context)
{
    QMenu* submenu = menu.addMenu(QStringLiteral("자동 갱신"));
    for (const Preset& preset : refreshPresets)
        addChoice(*submenu, QString::fromUtf16(preset.title), preset.seconds,
                  preset.seconds == state.refreshInterval, context, actions.selectRefreshInterval);
    submenu->addSeparator();
    addCommand(*submenu, QStringLiteral("직접 설정…"), context, actions.setCustomRefreshInterval);
    const double off = SettingsKeys::refreshInterval.offSeconds;
    addChoice(*submenu, QStringLiteral("끄기"), off, state.refreshInterval == off, context,
              actions.selectRefreshInterval);
}

void addTimeDisplayMenu(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions,
                        const QObject* context)
{
    QMenu* submenu = menu.addMenu(QStringLiteral("시간 표시"));
    for (const ModeChoice& choice : modeChoices)
        addChoice(*submenu, QString::fromUtf16(choice.title), rawValue(choice.mode), choice.mode == state.mode,
                  context, actions.selectTimeDisplayMode);
}

} // namespace

void StatusMenu::fill(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions,
                      const QObject* context)
{
    // clear() leaves submenus alive as children of the menu; drop them with their items.
    for (QMenu* submenu : menu.findChildren<QMenu*>(Qt::FindDirectChildrenOnly))
        delete submenu;
    menu.clear();

    addUsageLines(menu, state);
    menu.addSeparator();
    addShortcut(addCommand(menu, QStringLiteral("새로고침"), context, actions.refreshNow), Qt::CTRL | Qt::Key_R);
    addRefreshIntervalMenu(menu, state, actions, context);
    addTimeDisplayMenu(menu, state, actions, context);
    QAction* login = addCommand(menu, QStringLiteral("로그인 시 실행"), context, actions.toggleLaunchAtLogin);
    login->setCheckable(true);
    login->setChecked(state.launchAtLogin);
    addCommand(menu, QStringLiteral("Codex 열기"), context, actions.openCodex);
    menu.addSeparator();
    addShortcut(addCommand(menu, QStringLiteral("종료"), context, actions.quit), Qt::CTRL | Qt::Key_Q);
}

} // namespace tallyglass
