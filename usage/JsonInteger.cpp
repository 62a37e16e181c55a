#include "usage/JsonInteger.h"

#include <cmath>

namespace tallyglass {

namespace {

// Works on a value and on a member read in place alike.
template <typename Value>
std::optional<std::int64_t> numberToInt64(const Value& value)
{
    if (!value.isDouble())
        return std::nullopt;

    // NaN and infinities first: Qt's own integer conversion does not guard them.
    const double number = value.toDouble();
    if (!std::isfinite(number))
        return std::nullopt;

    // Whole numbers that fit are returned exactly, including those beyond 2^53
    // that the JSON reader kept as integers. Two different defaults tell a real
    // value from the fallback.
    const qint64 exact = value.toInteger(0);
    if (exact == value.toInteger(1))
        return exact;

    const double whole = std::trunc(number);
    // -2^63 is exactly representable; 2^63 is the first value past the top.
    constexpr double lowest = -9223372036854775808.0;
    constexpr double pastHighest = 9223372036854775808.0;
    if (whole < lowest || whole >= pastHighest)
        return std::nullopt;
    return static_cast<std::int64_t>(whole);
}

} // namespace

std::optional<std::int64_t> jsonNumberToInt64(const QJsonValue& value)
{
    return numberToInt64(value);
}

std::optional<std::int64_t> jsonNumberToInt64(const QJsonValueConstRef& value)
{
    return numberToInt64(value);
}

} // namespace tallyglass
