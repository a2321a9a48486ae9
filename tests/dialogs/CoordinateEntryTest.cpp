#include "dialogs/CoordinateEntry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tavo {
namespace {

struct LeadingNumberCase
{
    const char* text;
    double expected;
};

TEST(ParseLeadingNumber, TakesTheLongestLeadingNumberAndIgnoresTheRest)
{
    const LeadingNumberCase cases[] = {
        {"116.5", 116.5}, {"-73.98abc", -73.98}, {"1.5e1", 15.0},
        {" 40", 40.0},    {"\t 40", 40.0},       {"abc", 0.0},
        {"", 0.0},        {"1.234.5", 1.234},    {"12abc", 12.0},
        {".", 0.0},       {"1e2", 100.0},        {".5", 0.5},
        {"5.", 5.0},      {"+7", 7.0},           {"-", 0.0},
        {"--5", 0.0},     {"1e", 1.0},           {"1e+", 1.0},
        {"2E-1x", 0.2},   {"3.e1", 30.0},        {"e5", 0.0},
        {"-.25", -0.25},  {"12 34", 12.0},       {"1,5", 1.0},
        {"007", 7.0},     {"1.5e+2e3", 150.0},   {"- 5", 0.0},
        {"0x10", 0.0},
    };
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(ParseLeadingNumber(QString::fromUtf8(c.text)), c.expected)
            << "text '" << c.text << "'";
}

TEST(ParseLeadingNumber, NumbersBeyondTheRangeOfADoubleBecomeInfinityOrZero)
{
    const double infinity = std::numeric_limits<double>::infinity();
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("1e400")), infinity);
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("-1e400")), -infinity);
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("1e99999999999999999999")), infinity);
    EXPECT_EQ(ParseLeadingNumber(QString(400, u'9')), infinity);
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("0.0000001e-400")), 0.0);
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("1e-99999999999999999999")), 0.0);
    EXPECT_TRUE(std::signbit(ParseLeadingNumber(QStringLiteral("-1e-400"))));
    EXPECT_EQ(ParseLeadingNumber(QStringLiteral("0e99999")), 0.0);
    // Very long but ordinary texts are read exactly as the shorter ones.
    EXPECT_DOUBLE_EQ(
        ParseLeadingNumber(QStringLiteral("0.") + QString(300, u'0') + QStringLiteral("1e301")),
        1.0);
    EXPECT_DOUBLE_EQ(
        ParseLeadingNumber(QStringLiteral("1") + QString(20, u'0') + QStringLiteral("e-20")), 1.0);
}

TEST(ParseArea, ReadsCommaAndPointAlikeInTheOrderLeftRightTopBottom)
{
    const AreaValues area = ParseArea(QStringLiteral("116,3"), QStringLiteral("116.4"),
                                      QStringLiteral("40"), QStringLiteral("39,9"));
    EXPECT_DOUBLE_EQ(area.left, 116.3);
    EXPECT_DOUBLE_EQ(area.right, 116.4);
    EXPECT_DOUBLE_EQ(area.top, 40.0);
    EXPECT_DOUBLE_EQ(area.bottom, 39.9);

    const AreaValues examples = ParseArea(QStringLiteral("116,5"), QStringLiteral("-73.98abc"),
                                          QStringLiteral("1,234.5"), QStringLiteral(" 40"));
    EXPECT_DOUBLE_EQ(examples.left, 116.5);
    EXPECT_DOUBLE_EQ(examples.right, -73.98);
    EXPECT_DOUBLE_EQ(examples.top, 1.234);
    EXPECT_DOUBLE_EQ(examples.bottom, 40.0);

    EXPECT_EQ(ParseArea(QStringLiteral("1,5"), {}, {}, {}).left,
              ParseArea(QStringLiteral("1.5"), {}, {}, {}).left);
}

TEST(ParseArea, EmptyAndNonNumericFieldsReadAsZero)
{
    const AreaValues empty = ParseArea({}, {}, {}, {});
    EXPECT_EQ(empty.left, 0.0);
    EXPECT_EQ(empty.right, 0.0);
    EXPECT_EQ(empty.top, 0.0);
    EXPECT_EQ(empty.bottom, 0.0);

    const AreaValues words = ParseArea(QStringLiteral("abc"), QStringLiteral("north"),
                                       QStringLiteral(","), QStringLiteral("-"));
    EXPECT_EQ(words.left, 0.0);
    EXPECT_EQ(words.right, 0.0);
    EXPECT_EQ(words.top, 0.0);
    EXPECT_EQ(words.bottom, 0.0);
}

TEST(ParseArea, TextsThatAreNotWhollyANumberFailTheCheck)
{
    for (const char* good : {"6.05", "6,05", " 6.05 ", "-0,5", "+6.", ".5", "1e1", "1E-2\t"})
        EXPECT_EQ(areaCheckFailure(ParseArea("0", "10", "10", QString::fromUtf8(good))), "")
            << good;
    for (const char* bad : {"6.O5", "6.05.1", "6,05,1", "6 05", "6e", "", " ", "-", "abc", "0x5"})
        EXPECT_EQ(areaCheckFailure(ParseArea("0", "10", "10", QString::fromUtf8(bad))),
                  "Longitude or latitude input error!")
            << bad;
}

TEST(ParseWholeInteger, AcceptsOnlyWholeSigned32BitNumbers)
{
    EXPECT_EQ(ParseWholeInteger(QStringLiteral("116")), 116);
    EXPECT_EQ(ParseWholeInteger(QStringLiteral("-116")), -116);
    EXPECT_EQ(ParseWholeInteger(QStringLiteral("+5")), 5);
    EXPECT_EQ(ParseWholeInteger(QStringLiteral(" 12 ")), 12);
    EXPECT_EQ(ParseWholeInteger(QStringLiteral("2147483647")), 2147483647);
    EXPECT_EQ(ParseWholeInteger(QStringLiteral("-2147483648")), std::numeric_limits<int>::min());

    for (const char* bad : {"", " ", "-", "+", "12.5", "12,5", "1e2", "12abc", "abc", "1 2",
                            "2147483648", "-2147483649", "99999999999999999999", "$10", "--1"})
        EXPECT_FALSE(ParseWholeInteger(QString::fromUtf8(bad)).has_value())
            << "text '" << bad << "'";
}

struct ConversionCase
{
    const char* degrees;
    const char* minutes;
    const char* seconds;
    const char* shown;
};

TEST(ConvertDms, GivesTheSinglePrecisionResultShownWithFifteenDigits)
{
    const ConversionCase cases[] = {
        {"116", "30", "30", "116.508331298828"},
        {"10", "59", "59", "10.9997224807739"},
        {"0", "0", "30", "0.00833333376795053"},
        {"116", "30", "0", "116.5"},
        {"40", "0", "", "40"},
        {"-116", "30", "0", "-116.5"}, // the sign holds for the minutes and seconds
        {"-6", "3", "0", "-6.05000019073486"},
        {"-0", "30", "0", "-0.5"},
        {"0", "-30", "0", "-0.5"},
        {"0", "0", "-36", "-0.00999999977648258"},
        {"0", "0", "12.5", "0.00347222224809229"},
        {"0", "0", "30,5", "0.00833333376795053"}, // no comma replacement: 30
        {"0", "90", "0", "1.5"},                   // no range checks
        {"0", "-30", "-1800", "-1"},
        {"2147483647", "0", "0", "2147483648"}, // the nearest float
    };
    for (const auto& c : cases) {
        const std::optional<float> result =
            ConvertDms(QString::fromUtf8(c.degrees), QString::fromUtf8(c.minutes),
                       QString::fromUtf8(c.seconds));
        ASSERT_TRUE(result.has_value()) << c.degrees << " " << c.minutes << " " << c.seconds;
        EXPECT_EQ(FormatConverted(*result, QStringLiteral(".")), QString::fromUtf8(c.shown))
            << c.degrees << " " << c.minutes << " " << c.seconds;
    }
}

TEST(ConvertDms, ResultIsTheFloatNearestTheExtendedSum)
{
    // 116 + 30/60 + 30/3600 = 116.508333..., whose nearest floats are 116.50833129... and
    // 116.50833892...; the first is nearer.
    const std::optional<float> result =
        ConvertDms(QStringLiteral("116"), QStringLiteral("30"), QStringLiteral("30"));
    ASSERT_TRUE(result.has_value());
    const float below = 116.508331298828125f;
    EXPECT_EQ(*result, below);
    EXPECT_NE(*result, std::nextafter(below, 200.0f));
}

TEST(ConvertDms, DegreesOrMinutesThatAreNotWholeNumbersAreRefused)
{
    EXPECT_FALSE(ConvertDms(QStringLiteral("12.5"), QStringLiteral("0"), QStringLiteral("0")));
    EXPECT_FALSE(ConvertDms(QStringLiteral("116"), QString(), QStringLiteral("0")));
    EXPECT_FALSE(ConvertDms(QString(), QStringLiteral("30"), QStringLiteral("0")));
    EXPECT_FALSE(ConvertDms(QStringLiteral("116"), QStringLiteral("3O"), QStringLiteral("0")));
    EXPECT_FALSE(
        ConvertDms(QStringLiteral("2147483648"), QStringLiteral("0"), QStringLiteral("0")));
    // Seconds are never refused; text that is not a number counts as 0 seconds.
    EXPECT_EQ(ConvertDms(QStringLiteral("40"), QStringLiteral("0"), QStringLiteral("x")), 40.0f);
}

TEST(ConvertDms, SecondsBeyondTheRangeOfAFloatAreRefused)
{
    EXPECT_FALSE(ConvertDms(QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("1e39")));
    EXPECT_FALSE(ConvertDms(QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("-1e400")));
    EXPECT_TRUE(ConvertDms(QStringLiteral("0"), QStringLiteral("0"), QStringLiteral("1e38")));
}

TEST(FormatConverted, GeneralFormatWithFifteenSignificantDigits)
{
    const QString point = QStringLiteral(".");
    EXPECT_EQ(FormatConverted(0.0f, point), QStringLiteral("0"));
    EXPECT_EQ(FormatConverted(-0.0f, point), QStringLiteral("0"));
    EXPECT_EQ(FormatConverted(40.0f, point), QStringLiteral("40"));
    EXPECT_EQ(FormatConverted(100000.0f, point), QStringLiteral("100000"));
    EXPECT_EQ(FormatConverted(-115.5f, point), QStringLiteral("-115.5"));
    EXPECT_EQ(FormatConverted(0.5f, point), QStringLiteral("0.5"));
    EXPECT_EQ(FormatConverted(0.25e-3f, point), QStringLiteral("0.000250000011874363"));
    // Below 1e-5 and from 16 integer digits on, the scientific form.
    EXPECT_EQ(FormatConverted(1e-6f, point), QStringLiteral("9.99999997475243E-7"));
    EXPECT_EQ(FormatConverted(1e20f, point), QStringLiteral("1.00000002004088E20"));
    EXPECT_EQ(FormatConverted(-1e20f, point), QStringLiteral("-1.00000002004088E20"));
    EXPECT_EQ(FormatConverted(1125899906842624.0f, point), QStringLiteral("1.12589990684262E15"));
    EXPECT_EQ(FormatConverted(562949953421312.0f, point), QStringLiteral("562949953421312"));
    EXPECT_EQ(FormatConverted(1e-5f, point), QStringLiteral("9.99999974737875E-6"));
    EXPECT_EQ(FormatConverted(2e-5f, point), QStringLiteral("0.0000199999994947575"));
}

TEST(FormatConverted, UsesTheGivenDecimalSeparatorEverywhere)
{
    EXPECT_EQ(FormatConverted(116.5f, QStringLiteral(",")), QStringLiteral("116,5"));
    EXPECT_EQ(FormatConverted(0.5f, QStringLiteral(",")), QStringLiteral("0,5"));
    EXPECT_EQ(FormatConverted(1e20f, QStringLiteral(",")), QStringLiteral("1,00000002004088E20"));
    EXPECT_EQ(FormatConverted(40.0f, QStringLiteral(",")), QStringLiteral("40"));
}

} // namespace
} // namespace tavo
