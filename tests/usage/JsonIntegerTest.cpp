#include "usage/JsonInteger.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tallyglass {
namespace {

// Reads {"v": <text>} through the JSON reader, as the client does.
QJsonValue parsedNumber(const char* text)
{
    const QByteArray json = QByteArray("{\"v\":") + text + "}";
    const QJsonDocument document = QJsonDocument::fromJson(json);
    EXPECT_TRUE(document.isObject()) << json.constData();
    return document.object().value(QLatin1StringView("v"));
}

TEST(JsonNumberToInt64, ReadsNumbersFromJsonText)
{
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    const struct {
        const char* text;
        std::optional<std::int64_t> expected;
    } cases[] = {
        {"0", 0},
        {"42", 42},
        {"-3", -3},
        {"42.9", 42},
        {"-0.5", 0},
        {"-42.9", -42},
        {"1e3", 1000},
        {"3600.0", 3600},
        {"9007199254740993", 9007199254740993}, // beyond 2^53: kept exact
        {"9223372036854775807", max},
        {"-9223372036854775808", min},
        {"9.3e18", std::nullopt},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854777856", std::nullopt}, // the next double below -2^63
        {"1e300", std::nullopt},
        {"-1e300", std::nullopt},
        {"-9.2233720368547758e18", min},
    };
    for (const auto& c : cases)
        EXPECT_EQ(jsonNumberToInt64(parsedNumber(c.text)), c.expected) << c.text;
}

TEST(JsonNumberToInt64, RejectsNonFiniteAndOutOfRangeDoubles)
{
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(std::numeric_limits<double>::quiet_NaN())), std::nullopt);
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(std::numeric_limits<double>::infinity())), std::nullopt);
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(-std::numeric_limits<double>::infinity())), std::nullopt);
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(std::ldexp(1.0, 63))), std::nullopt);
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(-std::ldexp(1.0, 63))), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(std::nextafter(std::ldexp(1.0, 63), 0.0))), std::int64_t(0x7FFFFFFFFFFFFC00));
}

TEST(JsonNumberToInt64, NonNumbersGiveNothing)
{
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(QStringLiteral("42"))), std::nullopt);
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(true)), std::nullopt);
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(QJsonValue::Null)), std::nullopt);
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(QJsonValue::Undefined)), std::nullopt);
    EXPECT_EQ(jsonNumberToInt64(QJsonValue(QJsonObject{})), std::nullopt);
}

} // namespace
} // namespace tallyglass
