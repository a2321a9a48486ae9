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
                {"x10", 16},
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
    const char* bad[] = {"",    " ",   "12 ",        "1.5",  "2147483648", "-2147483649",
                         "$",   "0x",  "$100000000", "true", "1e2",        "+",
                         "--1", "\t5", "5a",         "0x-5"};
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
