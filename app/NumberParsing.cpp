#include "app/NumberParsing.h"

#include "app/SettingsKeys.h"

#include <QByteArray>
#include <cmath>
#include <cstdlib>
#include <locale.h>

namespace tallyglass {
namespace {

locale_t cLocale()
{
    // Created once and kept for the life of the process.
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return locale;
}

bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// [+-] digits [. [digits]] | [+-] . digits, then an optional [eE] [+-] digits.
bool isDecimalNumber(const QByteArray& bytes)
{
    qsizetype i = 0;
    const qsizetype n = bytes.size();
    const auto digits = [&] {
        const qsizetype start = i;
        while (i < n && isDigit(bytes[i]))
            ++i;
        return i - start;
    };
    if (i < n && (bytes[i] == '+' || bytes[i] == '-'))
        ++i;
    qsizetype mantissa = digits();
    if (i < n && bytes[i] == '.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (i < n && (bytes[i] == 'e' || bytes[i] == 'E')) {
        ++i;
        if (i < n && (bytes[i] == '+' || bytes[i] == '-'))
            ++i;
        if (digits() == 0)
            return false;
    }
    return i == n;
}

} // namespace

std::optional<double> parseWholeNumber(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    if (bytes.isEmpty() || isCSpace(bytes.front()))
        return std::nullopt;
    const char* begin = bytes.constData();
    char* end = nullptr;
    const double value = strtod_l(begin, &end, cLocale());
    // An embedded NUL also stops strtod early and so fails this test.
    if (end != begin + bytes.size())
        return std::nullopt;
    return value;
}

std::optional<double> parseDecimalNumber(const QString& text)
{
    // Checked first, so strtod never sees the hexadecimal, "inf" and "nan" forms it also reads.
    const QByteArray bytes = text.toUtf8();
    if (!isDecimalNumber(bytes))
        return std::nullopt;
    return strtod_l(bytes.constData(), nullptr, cLocale());
}

std::optional<double> parseCustomRefreshInterval(const QString& text)
{
    const std::optional<double> value = parseWholeNumber(text);
    if (!value || !std::isfinite(*value) || !SettingsKeys::refreshInterval.inRange(*value))
        return std::nullopt;
    return value;
}

bool isNumericVariant(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return true;
    default:
        return false;
    }
}

} // namespace tallyglass
