#include "app/StatusMenu.h"

#include "texts/StatusTexts.h"

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

const QString offTitle = QStringLiteral("끄기");

QString label(UsageWindowKind kind)
{
    return kind == UsageWindowKind::fiveHour ? QStringLiteral("5h") : QStringLiteral("Week");
}

TimeFormat format(UsageWindowKind kind)
{
    return kind == UsageWindowKind::fiveHour ? TimeFormat::clock : TimeFormat::week;
}

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

// A checkable item that hands `value` to `select`; the item's data carries it too.
template<typename T>
QAction* addChoice(QMenu& menu, const QString& title, T value, const QVariant& data, bool checked,
                   const QObject* context, const std::function<void(T)>& select)
{
    QAction* item = addCommand(menu, title, context, [value, select] {
        if (select)
            select(value);
    });
    item->setData(data);
    item->setCheckable(true);
    item->setChecked(checked);
    return item;
}

void addShortcut(QAction* item, QKeyCombination keys)
{
    item->setShortcut(QKeySequence(keys));
    item->setShortcutVisibleInContextMenu(true);
}

// A window's lines, and under its time line the forecast when there is one.
void addWindowLines(QMenu& menu, const StatusMenuState& state, UsageWindowKind kind, const QStringList& lines,
                    const std::optional<double>& exhaustion)
{
    for (const QString& line : lines)
        addInfo(menu, line);
    const bool hasTimeLine = lines.size() > 1;
    if (exhaustion && hasTimeLine)
        addInfo(menu, TimeTexts::exhaustionMenuText(label(kind), *exhaustion, format(kind), state.mode, state.time));
}

// Other buckets as submenus, credits, why usage is blocked, spend control and banked resets.
void addAllowanceLines(QMenu& menu, const AllowanceLines& allowance, const StatusMenuActions& actions,
                       const QObject* context)
{
    if (allowance.lines.isEmpty() && allowance.otherLimits.empty() && !allowance.canUseReset)
        return;
    menu.addSeparator();
    for (const LimitLines& limit : allowance.otherLimits) {
        QMenu* submenu = menu.addMenu(limit.title);
        for (const QString& line : limit.lines)
            addInfo(*submenu, line);
    }
    for (const QString& line : allowance.lines)
        addInfo(menu, line);
    if (allowance.canUseReset)
        addCommand(menu, AllowanceLines::useResetCommand(), context, actions.useReset);
}

void addUsageLines(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions,
                   const QObject* context)
{
    const UsageLines lines = UsageLines::make(state.snapshot, state.mode, state.time);
    addWindowLines(menu, state, UsageWindowKind::fiveHour, lines.fiveHour, state.fiveHourExhaustion);
    menu.addSeparator();
    addWindowLines(menu, state, UsageWindowKind::week, lines.week, state.weekExhaustion);
    if (state.allowance)
        addAllowanceLines(menu, *state.allowance, actions, context);
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
        addChoice(*submenu, QString::fromUtf16(preset.title), preset.seconds, preset.seconds,
                  preset.seconds == state.refreshInterval, context, actions.selectRefreshInterval);
    submenu->addSeparator();
    addCommand(*submenu, QStringLiteral("직접 설정…"), context, actions.setCustomRefreshInterval);
    const double off = SettingsKeys::refreshInterval.offSeconds;
    addChoice(*submenu, offTitle, off, off, state.refreshInterval == off, context, actions.selectRefreshInterval);
}

void addUsageAlertMenu(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions,
                       const QObject* context)
{
    constexpr UsageAlertSetting alert = SettingsKeys::usageAlertPercent;
    QMenu* submenu = menu.addMenu(QStringLiteral("한도 알림"));
    addChoice(*submenu, offTitle, alert.offPercent, alert.offPercent, state.usageAlertPercent == alert.offPercent,
              context, actions.selectUsageAlert);
    for (int percent : alert.percents)
        addChoice(*submenu, QStringLiteral("%1% 남았을 때").arg(percent), percent, percent,
                  state.usageAlertPercent == percent, context, actions.selectUsageAlert);
}

void addTimeDisplayMenu(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions,
                        const QObject* context)
{
    QMenu* submenu = menu.addMenu(QStringLiteral("시간 표시"));
    for (const ModeChoice& choice : modeChoices)
        addChoice(*submenu, QString::fromUtf16(choice.title), choice.mode, rawValue(choice.mode),
                  choice.mode == state.mode, context, actions.selectTimeDisplayMode);
}

} // namespace

void StatusMenu::fill(QMenu& menu, const StatusMenuState& state, const StatusMenuActions& actions,
                      const QObject* context)
{
    // clear() leaves submenus alive as children of the menu; drop them with their items.
    for (QMenu* submenu : menu.findChildren<QMenu*>(Qt::FindDirectChildrenOnly))
        delete submenu;
    menu.clear();

    addUsageLines(menu, state, actions, context);
    menu.addSeparator();
    addShortcut(addCommand(menu, QStringLiteral("새로고침"), context, actions.refreshNow), Qt::CTRL | Qt::Key_R);
    addCommand(menu, QStringLiteral("사용 기록…"), context, actions.showHistory);
    addRefreshIntervalMenu(menu, state, actions, context);
    addUsageAlertMenu(menu, state, actions, context);
    addTimeDisplayMenu(menu, state, actions, context);
    QAction* login = addCommand(menu, QStringLiteral("로그인 시 실행"), context, actions.toggleLaunchAtLogin);
    login->setCheckable(true);
    login->setChecked(state.launchAtLogin);
    addCommand(menu, QStringLiteral("Codex 열기"), context, actions.openCodex);
    menu.addSeparator();
    addShortcut(addCommand(menu, QStringLiteral("종료"), context, actions.quit), Qt::CTRL | Qt::Key_Q);
}

QString StatusMenu::timeLine(UsageWindowKind kind, const UsageWindow& window, TimeDisplayMode mode,
                             const TimeContext& time)
{
    return TimeTexts::timeMenuText(label(kind), window.resetsAt, format(kind), mode, time);
}

} // namespace tallyglass
