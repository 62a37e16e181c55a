#include "app/NumberParsing.h"

#include <QLocale>
#include <cmath>
#include <gtest/gtest.h>
#include <locale.h>

namespace tallyglass::test {
namespace {

TEST(NumberParsing, WholeTextByStrtodRules)
{
    const std::vector<std::pair<QString, double>> numbers{
        {QStringLiteral("120"), 120},     {QStringLiteral("+45"), 45},     {QStringLiteral("-7.5"), -7.5},
        {QStringLiteral("1e2"), 100},     {QStringLiteral(".5"), 0.5},     {QStringLiteral("5."), 5},
        {QStringLiteral("0x1p4"), 16},    {QStringLiteral("0X10"), 16},    {QStringLiteral("1E+2"), 100},
        {QStringLiteral("INF"), INFINITY}, {QStringLiteral("-infinity"), -INFINITY},
    };
    for (const auto& [text, value] : numbers) {
        SCOPED_TRACE(text.toStdString());
        const std::optional<double> parsed = parseWholeNumber(text);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(*parsed, value);
    }
    EXPECT_TRUE(std::isnan(parseWholeNumber(QStringLiteral("nan")).value_or(0)));
    EXPECT_TRUE(std::isnan(parseWholeNumber(QStringLiteral("NaN(123)")).value_or(0)));

    for (const QString& text : {QString(), QStringLiteral(" 1"), QStringLiteral("\n1"), QStringLiteral("\v1"),
                                QStringLiteral("1 "), QStringLiteral("1,5"), QStringLiteral("abc"),
                                QStringLiteral("1e"), QStringLiteral("++1"), QStringLiteral("１２０"),
                                QString::fromUtf16(u"12\u00000", 4), QStringLiteral("0x"), QStringLiteral("e5")}) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_FALSE(parseWholeNumber(text));
    }
}

// Stored settings: decimal only; strtod's hexadecimal and special forms are refused.
TEST(NumberParsing, DecimalNumbersOnly)
{
    for (const auto& [text, value] : std::vector<std::pair<const char*, double>>{
             {"120", 120}, {"-7.5", -7.5}, {".5", 0.5}, {"5.", 5}, {"+1E+2", 100}, {"1e999", INFINITY}}) {
        EXPECT_EQ(parseDecimalNumber(QString::fromLatin1(text)), value) << text;
    }
    for (const char* text : {"", " 1", "1 ", "0x19", "0x1p4", "inf", "-infinity", "nan", ".", "-", "1e", "e5",
                             "1.2.3", "1,5"})
        EXPECT_FALSE(parseDecimalNumber(QString::fromLatin1(text))) << text;
}

TEST(NumberParsing, DecimalPointIsADotWhateverTheUserLocale)
{
    // A locale with a decimal comma must not change how typed text reads.
    const char* previous = setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    setlocale(LC_NUMERIC, "de_DE.UTF-8"); // where installed
    QLocale::setDefault(QLocale(QLocale::German));
    EXPECT_EQ(parseWholeNumber(QStringLiteral("90.5")), 90.5);
    EXPECT_FALSE(parseWholeNumber(QStringLiteral("90,5")));
    setlocale(LC_NUMERIC, saved.c_str());
    QLocale::setDefault(QLocale::c());
}

TEST(NumberParsing, CustomIntervalRange)
{
    EXPECT_EQ(parseCustomRefreshInterval(QStringLiteral("30")), 30);
    EXPECT_EQ(parseCustomRefreshInterval(QStringLiteral("86400")), 86400);
    for (const char* text : {"29.999", "86400.001", "inf", "-inf", "nan", "0", "-30"})
        EXPECT_FALSE(parseCustomRefreshInterval(QString::fromLatin1(text))) << text;
}

} // namespace
} // namespace tallyglass::test
