#pragma once
// Reading JSON numbers as signed 64-bit integers without undefined behaviour.

#include <QJsonValue>
#include <cstdint>
#include <optional>

namespace tallyglass {

// The integer part of a JSON number (fraction dropped toward zero), or nothing
// when the value is not a number or its integer part lies outside int64.
std::optional<std::int64_t> jsonNumberToInt64(const QJsonValue& value);
// The same for a member read in place (an object's or array's element).
std::optional<std::int64_t> jsonNumberToInt64(const QJsonValueConstRef& value);

} // namespace tallyglass
