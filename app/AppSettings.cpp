#include "app/AppSettings.h"

#include "app/NumberParsing.h"

#include <cmath>

namespace tallyglass {
namespace {

constexpr double defaultRefreshInterval = 60;

std::optional<double> storedNumber(const QVariant& stored)
{
    if (isNumericVariant(stored))
        return stored.toDouble();
    if (stored.metaType().id() == QMetaType::QString)
        // Settings files keep numbers as text; only text that is wholly a number counts,
        // so a damaged entry falls back to the default instead of switching refresh off.
        return parseWholeNumber(stored.toString());
    return std::nullopt;
}

} // namespace

double AppSettings::refreshInterval(const SettingsStore& store)
{
    const QVariant stored = store.value(refreshIntervalKey);
    if (!stored.isValid())
        return defaultRefreshInterval;
    const std::optional<double> v = storedNumber(stored);
    if (!v || !std::isfinite(*v))
        return defaultRefreshInterval;
    if (*v == 0)
        return 0;
    if (*v < 30 || *v > 86400)
        return defaultRefreshInterval;
    return *v;
}

TimeDisplayMode AppSettings::timeDisplayMode(const SettingsStore& store)
{
    const QVariant stored = store.value(timeDisplayModeKey);
    if (stored.metaType().id() == QMetaType::QString && stored.toString() == QLatin1String("remaining"))
        return TimeDisplayMode::remaining;
    return TimeDisplayMode::resetAt;
}

void AppSettings::setRefreshInterval(SettingsStore& store, double seconds)
{
    store.setValue(refreshIntervalKey, seconds);
}

void AppSettings::setTimeDisplayMode(SettingsStore& store, TimeDisplayMode mode)
{
    store.setValue(timeDisplayModeKey, rawValue(mode));
}

} // namespace tallyglass
