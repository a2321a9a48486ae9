#include "engine/TextConv.h"
#include "engine/AppError.h"

#include "FileTestSupport.h"

#include <QLocale>

#include <climits>

using namespace tavo;
using tavo::testing::appErrorText;

TEST(TextConv, ReadsDecimalAndHexadecimalIntegers)
{
    const struct
    {
        const char* text;
        int value;
    } good[] = {{"0", 0},
                {"  12", 12},
                {"+7", 7},
                {"-7", -7},
                {"$10", 16},
                {"0x10", 16},
                {"0X1f", 31},
                {"-$10", -16},
                {"007", 7},
                {"2147483647", INT_MAX},
                {"-2147483648", INT_MIN},
                {"$FFFFFFFF", -1}};
    for (const auto& c : good) {
        int value = 12345;
        EXPECT_TRUE(tryStrToInt(QString::fromUtf8(c.text), value)) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}

TEST(TextConv, RefusesEverythingElseAndLeavesTheValue)
{
    const char* bad[] = {"", " ", "12 ", "1.5", "2147483648", "-2147483649", "$", "0x",
                         "$100000000", "true", "1e2", "+", "--1", "\t5", "5a", "0x-5",
                         // only "$", "0x" and "0X" introduce hexadecimal digits
                         "x10", "X1F90", "-x10", "0h10"};
    for (const char* text : bad) {
        int value = 99;
        EXPECT_FALSE(tryStrToInt(QString::fromUtf8(text), value)) << text;
        EXPECT_EQ(value, 99) << text;
    }
}

TEST(TextConv, StrToIntThrowsTheIntegerMessage)
{
    EXPECT_EQ(StrToInt(QStringLiteral("$1F")), 31);
    EXPECT_EQ(appErrorText([] { StrToInt(QStringLiteral("x1y")); }),
              QStringLiteral("'x1y' is not a valid integer value"));
}

TEST(TextConv, TimeOfDayNamesNoTimeZone)
{
    const struct
    {
        const char* format;
        const char* expected;
    } cases[] = {{"HH:mm:ss t", "HH:mm:ss"},
                 {"h:mm:ss AP t", "h:mm:ss AP"},
                 {"HH:mm:ss tttt", "HH:mm:ss"},
                 {"t HH:mm:ss", "HH:mm:ss"},
                 {"HH'h'mm 'at' ss", "HH'h'mm 'at' ss"}};
    for (const auto& c : cases)
        EXPECT_EQ(timeFormatWithoutZone(QString::fromUtf8(c.format)), QString::fromUtf8(c.expected))
            << c.format;

    const QDateTime now(QDate(2026, 3, 4), QTime(12, 7, 45), Qt::UTC);
    const QString text = nowText(now);
    EXPECT_TRUE(text.contains(QLocale::system().toString(QTime(12, 7, 45), "HH:mm:ss")) ||
                text.contains(QLocale::system().toString(QTime(12, 7, 45), "h:mm:ss")))
        << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("UTC"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("GMT"))) << text.toStdString();
}

TEST(TextConv, FloatToStrUsesFifteenDigitsAndTheSystemSeparator)
{
    const QString point = QLocale::system().decimalPoint();
    EXPECT_EQ(FloatToStr(116.279296875), QStringLiteral("116") + point + "279296875");
    EXPECT_EQ(FloatToStr(116.4111328125), QStringLiteral("116") + point + "4111328125");
    EXPECT_EQ(FloatToStr(-0.5), QStringLiteral("-0") + point + "5");
    EXPECT_EQ(FloatToStr(0.1 + 0.2), QStringLiteral("0") + point + "3");
    EXPECT_EQ(FloatToStr(100.0), QStringLiteral("100"));
    EXPECT_EQ(FloatToStr(-0.0), QStringLiteral("0"));
    EXPECT_EQ(FloatToStr(1e15), QStringLiteral("1E15"));
    EXPECT_EQ(FloatToStr(1.5e-5), QStringLiteral("1") + point + "5E-5");
}
