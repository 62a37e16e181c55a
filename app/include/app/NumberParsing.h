#pragma once
// Reading text as a number in the C locale, whatever the user's locale. Pure; any thread.

#include <QString>
#include <QVariant>
#include <optional>

namespace tallyglass {

// The number when the whole text reads as one by strtod in the C locale (signs,
// exponents, hexadecimal forms, "inf" and "nan" included). Empty text, a leading
// whitespace character or any character left over gives nothing.
std::optional<double> parseWholeNumber(const QString& text);

// The number when the whole text is one decimal number: an optional sign, digits with an
// optional point, an optional exponent ("-7.5", ".5", "1e2"). Anything else (whitespace,
// hexadecimal, "inf", "nan", a decimal comma) gives nothing. A number too large for a
// double reads as an infinity, so callers still check the range. For stored settings.
std::optional<double> parseDecimalNumber(const QString& text);

// True when the variant holds a number type (not text that reads as one).
bool isNumericVariant(const QVariant& value);

// A typed refresh interval: a finite number in the range of SettingsKeys::refreshInterval, or nothing.
std::optional<double> parseCustomRefreshInterval(const QString& text);

} // namespace tallyglass
