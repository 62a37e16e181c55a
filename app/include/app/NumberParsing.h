#pragma once
// Reading text as a number by the C library's strtod rules in the C locale. Pure; any thread.

#include <QString>
#include <QVariant>
#include <optional>

namespace tallyglass {

// The number when the whole text reads as one by strtod in the C locale (signs,
// exponents, hexadecimal forms, "inf" and "nan" included). Empty text, a leading
// whitespace character or any character left over gives nothing.
std::optional<double> parseWholeNumber(const QString& text);

// True when the variant holds a number type (not text that reads as one).
bool isNumericVariant(const QVariant& value);

// A typed refresh interval: a finite number in the range of SettingsKeys::refreshInterval, or nothing.
std::optional<double> parseCustomRefreshInterval(const QString& text);

} // namespace tallyglass
