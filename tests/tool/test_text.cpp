// The operator tool's parsing and rendering of values typed by an operator.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>

#include "text.h"

using corvo::Property;
using namespace corvo::tool;

namespace {

Property detached(Property::Type type)
{
    return Property("p", type, "a property", true, nullptr, "");
}

Property withIntLimits(long lo, long hi)
{
    Property p = detached(Property::INT);
    p.valueMin = lo;
    p.valueMax = hi;
    return p;
}

}  // namespace

TEST(ToolParseValue, IntegersMustBeWholeAndInRange)
{
    Property p = detached(Property::INT);
    std::string error;
    ASSERT_TRUE(parseValue(p, " 42 ", error));
    EXPECT_EQ(p.intValue, 42);
    ASSERT_TRUE(parseValue(p, "-9223372036854775808", error));
    EXPECT_EQ(p.intValue, LONG_MIN);
    // Values above 32 bits are kept whole, not narrowed.
    ASSERT_TRUE(parseValue(p, "4294967297", error));
    EXPECT_EQ(p.intValue, 4294967297L);

    for (const char* bad : {"", "12abc", "1.5", "abc", "9223372036854775808", "0x10", " "}) {
        error.clear();
        EXPECT_FALSE(parseValue(p, bad, error)) << bad;
        EXPECT_NE(error.find("not an integer"), std::string::npos) << bad;
    }
}

TEST(ToolParseValue, IntegerChoicesAcceptLabels)
{
    Property p = detached(Property::INT);
    p.addChoice(16, "INT16");
    p.addChoice(20, "UINT16");
    std::string error;
    ASSERT_TRUE(parseValue(p, "INT16", error));
    EXPECT_EQ(p.intValue, 16);
    EXPECT_EQ(p.checkValue(), "");
    ASSERT_TRUE(parseValue(p, "20", error));
    EXPECT_EQ(p.toString(), "UINT16");
    // A number that is no choice parses but is refused.
    ASSERT_TRUE(parseValue(p, "12", error));
    EXPECT_NE(p.checkValue().find("none of the choices"), std::string::npos);
    EXPECT_EQ(p.toString(), "12");  // no exception for a value outside the choices
    // 2^32 + 16 narrowed would be 16: must not count as a choice.
    ASSERT_TRUE(parseValue(p, "4294967312", error));
    EXPECT_NE(p.checkValue(), "");
    EXPECT_FALSE(parseValue(p, "int16", error));
    EXPECT_NE(error.find("16=INT16, 20=UINT16"), std::string::npos);
}

TEST(ToolParseValue, DoublesMustBeFiniteNumbers)
{
    Property p = detached(Property::DOUBLE);
    std::string error;
    ASSERT_TRUE(parseValue(p, "2.5", error));
    EXPECT_EQ(p.doubleValue, 2.5);
    ASSERT_TRUE(parseValue(p, "-1e-3", error));
    EXPECT_EQ(p.doubleValue, -1e-3);
    ASSERT_TRUE(parseValue(p, "1e-320", error));  // underflow is still a value
    for (const char* bad : {"", "nan", "inf", "-inf", "1e999", "2.5s", "x"})
        EXPECT_FALSE(parseValue(p, bad, error)) << bad;
}

TEST(ToolParseValue, ListsSplitAtCommas)
{
    std::string error;
    Property ints = detached(Property::INT_LIST);
    ASSERT_TRUE(parseValue(ints, "1, 2,3", error));
    EXPECT_EQ(ints.intList, (std::vector<int64_t>{1, 2, 3}));
    ASSERT_TRUE(parseValue(ints, "", error));
    EXPECT_TRUE(ints.intList.empty());
    EXPECT_FALSE(parseValue(ints, "1,x,3", error));
    EXPECT_NE(error.find("'x'"), std::string::npos);
    EXPECT_FALSE(parseValue(ints, "1,,3", error));

    Property doubles = detached(Property::DOUBLE_LIST);
    ASSERT_TRUE(parseValue(doubles, "1.5,2", error));
    EXPECT_EQ(doubles.doubleList, (std::vector<double>{1.5, 2.0}));
    EXPECT_FALSE(parseValue(doubles, "1.5,nan", error));

    Property strings = detached(Property::STR_LIST);
    ASSERT_TRUE(parseValue(strings, "a, b", error));
    EXPECT_EQ(strings.strList, (std::vector<std::string>{"a", " b"}));
    ASSERT_TRUE(parseValue(strings, "", error));
    EXPECT_TRUE(strings.strList.empty());
}

TEST(ToolParseValue, StringsAreTakenAsTheyAre)
{
    Property p = detached(Property::STRING);
    std::string error;
    ASSERT_TRUE(parseValue(p, " img_%y.fits ", error));
    EXPECT_EQ(p.strValue, " img_%y.fits ");
    ASSERT_TRUE(parseValue(p, "", error));
    EXPECT_EQ(p.strValue, "");
}

TEST(ToolCheckValue, LimitsAreInclusive)
{
    Property p = withIntLimits(0, 10);
    std::string error;
    for (const char* ok : {"0", "10", "5"}) {
        ASSERT_TRUE(parseValue(p, ok, error));
        EXPECT_EQ(p.checkValue(), "") << ok;
    }
    for (const char* bad : {"-1", "11"}) {
        ASSERT_TRUE(parseValue(p, bad, error));
        EXPECT_NE(p.checkValue().find("[0, 10]"), std::string::npos) << bad;
    }

    Property d = detached(Property::DOUBLE);
    d.valueMin = -5.0;
    d.valueMax = 5.0;
    d.doubleValue = 5.0;
    EXPECT_EQ(d.checkValue(), "");
    d.doubleValue = 5.5;
    EXPECT_NE(d.checkValue(), "");
    EXPECT_EQ(d.limitsText(), "[-5, 5]");
}

TEST(ToolCheckValue, FullRangeOrUnsetLimitsDeclareNothing)
{
    Property fresh = detached(Property::INT);  // the type's full range
    fresh.intValue = LONG_MAX;
    EXPECT_EQ(fresh.limitsText(), "");
    EXPECT_EQ(fresh.checkValue(), "");
    Property unset = withIntLimits(0, 0);  // a description without limits
    unset.intValue = 7;
    EXPECT_EQ(unset.checkValue(), "");
    Property freshDouble = detached(Property::DOUBLE);
    freshDouble.doubleValue = DBL_MAX;
    EXPECT_EQ(freshDouble.limitsText(), "");
    EXPECT_EQ(freshDouble.checkValue(), "");
}

TEST(ToolSameValue, ComparesTheTypedValue)
{
    Property a = detached(Property::DOUBLE), b = detached(Property::DOUBLE);
    a.doubleValue = 0.1;
    b.doubleValue = 0.1;
    EXPECT_TRUE(sameValue(a, b));
    b.doubleValue = 0.1000001;  // same six-decimal text, other value
    EXPECT_EQ(a.toString(), b.toString());
    EXPECT_FALSE(sameValue(a, b));
    EXPECT_FALSE(sameValue(a, detached(Property::INT)));
    Property l1 = detached(Property::STR_LIST), l2 = detached(Property::STR_LIST);
    l1.strList = {"a"};
    EXPECT_FALSE(sameValue(l1, l2));
    l2.strList = {"a"};
    EXPECT_TRUE(sameValue(l1, l2));
}

TEST(ToolCheckArg, ChecksDeclaredTypes)
{
    EXPECT_EQ(checkArg(corvo::ARG_INT, "-3"), "");
    EXPECT_NE(checkArg(corvo::ARG_INT, "3.5"), "");
    EXPECT_EQ(checkArg(corvo::ARG_DOUBLE, "3.5"), "");
    EXPECT_NE(checkArg(corvo::ARG_DOUBLE, "fast"), "");
    EXPECT_EQ(checkArg(corvo::ARG_BOOL, "TRUE"), "");
    EXPECT_EQ(checkArg(corvo::ARG_BOOL, "0"), "");
    EXPECT_NE(checkArg(corvo::ARG_BOOL, "maybe"), "");
    EXPECT_EQ(checkArg(corvo::ARG_STRING, ""), "");
    EXPECT_EQ(checkArg(static_cast<corvo::ArgType>(9), "anything"), "");
    EXPECT_EQ(checkArg(corvo::ARG_INT, "one"), "'one' is not an integer");
    // What the tool lets through is what the daemon's own check accepts.
    for (const char* text : {" 7 ", "1e3", "nan", "-0", "yes", "False", "9223372036854775808"})
        for (corvo::ArgType type : {corvo::ARG_INT, corvo::ARG_DOUBLE, corvo::ARG_BOOL})
            EXPECT_EQ(checkArg(type, text).empty(), corvo::checkArgument(type, text).empty()) << text << " " << type;
}

TEST(ToolJson, EscapesAndRendersValues)
{
    EXPECT_EQ(jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
    EXPECT_EQ(jsonNumber(1.5), "1.5");
    EXPECT_EQ(jsonNumber(0.1), "0.10000000000000001");
    Property d = detached(Property::DOUBLE);
    d.doubleValue = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(jsonValue(d), "null");
    Property s = detached(Property::STR_LIST);
    s.strList = {"x", "y\"z"};
    EXPECT_EQ(jsonValue(s), "[\"x\", \"y\\\"z\"]");
    Property i = detached(Property::INT_LIST);
    EXPECT_EQ(jsonValue(i), "[]");
    i.intList = {1, -2};
    EXPECT_EQ(jsonValue(i), "[1, -2]");
}

// A peer's log time stamp as the tool prints it: far dates are printed as
// they are or not at all, never wrapped into a plausible one.
TEST(ToolTimeText, PeerTimeStampsOutsideTheClocksRangeAreNotWrapped)
{
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(peerTimeText(1796883000, 250000000), "2026-12-10 06:10:00.250");
    EXPECT_EQ(peerTimeText(32503680000, 0), "3000-01-01 00:00:00.000");
    EXPECT_EQ(peerTimeText(-62135596800, 0), "?");
    EXPECT_EQ(peerTimeText(INT64_MAX, 0), "?");
    EXPECT_EQ(timeText(std::chrono::system_clock::time_point(std::chrono::milliseconds(-1))),
              "1969-12-31 23:59:59.999");
}
