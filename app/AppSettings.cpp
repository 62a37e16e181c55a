#include "app/AppSettings.h"

#include "app/NumberParsing.h"

#include <cmath>

namespace tallyglass {
namespace {

constexpr RefreshIntervalSetting interval = SettingsKeys::refreshInterval;

std::optional<double> storedNumber(const QVariant& stored)
{
    if (isNumericVariant(stored))
        return stored.toDouble();
    if (stored.metaType().id() == QMetaType::QString)
        // Settings files keep numbers as text; only text that is wholly a decimal number
        // counts, so a damaged entry falls back to the default instead of switching refresh off.
        return parseDecimalNumber(stored.toString());
    return std::nullopt;
}

} // namespace

double AppSettings::refreshInterval(const SettingsStore& store)
{
    const QVariant stored = store.value(interval.key);
    if (!stored.isValid())
        return interval.defaultSeconds;
    const std::optional<double> v = storedNumber(stored);
    if (!v || !std::isfinite(*v))
        return interval.defaultSeconds;
    if (*v == interval.offSeconds)
        return interval.offSeconds;
    if (!interval.inRange(*v))
        return interval.defaultSeconds;
    return *v;
}

TimeDisplayMode AppSettings::timeDisplayMode(const SettingsStore& store)
{
    const QVariant stored = store.value(SettingsKeys::timeDisplayMode.key);
    if (stored.metaType().id() == QMetaType::QString && stored.toString() == QLatin1String("remaining"))
        return TimeDisplayMode::remaining;
    return SettingsKeys::timeDisplayMode.defaultMode;
}

int AppSettings::usageAlertPercent(const SettingsStore& store)
{
    constexpr UsageAlertSetting alert = SettingsKeys::usageAlertPercent;
    const std::optional<double> v = storedNumber(store.value(alert.key));
    const std::optional<int> percent = v ? alert.choiceOf(*v) : std::nullopt;
    return percent.value_or(alert.defaultPercent);
}

void AppSettings::setUsageAlertPercent(SettingsStore& store, int percent)
{
    store.setValue(SettingsKeys::usageAlertPercent.key, percent);
}

void AppSettings::setRefreshInterval(SettingsStore& store, double seconds)
{
    store.setValue(interval.key, seconds);
}

void AppSettings::setTimeDisplayMode(SettingsStore& store, TimeDisplayMode mode)
{
    store.setValue(SettingsKeys::timeDisplayMode.key, rawValue(mode));
}

} // namespace tallyglass
