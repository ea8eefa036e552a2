#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "corvo/message.h"
#include "corvo/misc.h"
#include "corvo/network.h"
#include "corvo/property.h"
#include "support/captured_output.h"

using namespace corvo;

namespace {

// Every broadcast, as the change record the network would send.
std::vector<proto::PropertyChange> broadcasts;
std::vector<PropertyOwner*> broadcastOwners;

// Records what its properties publish and the names of those out of range.
class Owner : public PropertyOwner {
public:
    void publish(const Property& property) override
    {
        broadcastOwners.push_back(this);
        broadcasts.push_back(property.genPropertyChangePB());
    }
    void outOfRange(const Property& property) override { errors.push_back(property.name); }
    std::vector<std::string> errors;
};

class PropertyTest : public testing::Test {
protected:
    void SetUp() override
    {
        broadcasts.clear();
        broadcastOwners.clear();
    }

    // Type errors print a stack trace; keep it out of the test output.
    // Returns what was reported for standard output.
    template <class F>
    static std::string expectTypeError(F f, const char* what = "Type Error")
    {
        corvotest::CapturedDiagnostics captured;
        try {
            f();
            ADD_FAILURE() << "no CorvoTypeError";
        } catch (const CorvoTypeError& e) {
            EXPECT_STREQ(e.what(), what);
        }
        std::string err = captured.stderrText();
        EXPECT_NE(err.find("stack trace:"), std::string::npos);
        return captured.stdoutText();
    }

    Owner owner;
};

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TEST_F(PropertyTest, TypeConstantsMatchWireEnum)
{
    EXPECT_EQ(Property::INT, 0);
    EXPECT_EQ(Property::STRING, 1);
    EXPECT_EQ(Property::DOUBLE, 2);
    EXPECT_EQ(Property::STR_LIST, 4);
    EXPECT_EQ(Property::INT_LIST, 5);
    EXPECT_EQ(Property::DOUBLE_LIST, 6);
    ASSERT_EQ(property_typemap.size(), 3u);
    EXPECT_EQ(property_typemap.at(typeid(long)), Property::INT);
    EXPECT_EQ(property_typemap.at(typeid(double)), Property::DOUBLE);
    EXPECT_EQ(property_typemap.at(typeid(std::string)), Property::STRING);
}

TEST_F(PropertyTest, NewPropertiesRenderTheirDefaults)
{
    EXPECT_EQ(Property("d", Property::DOUBLE, "", false, nullptr).toString(), "0.000000");
    EXPECT_EQ(Property("i", Property::INT, "", false, nullptr).toString(), "0");
    EXPECT_EQ(Property("s", Property::STRING, "", false, nullptr).toString(), "");
    EXPECT_EQ(Property("a", Property::STR_LIST, "", false, nullptr).toString(), "[]");
    EXPECT_EQ(Property("b", Property::INT_LIST, "", false, nullptr).toString(), "[]");
    EXPECT_EQ(Property("c", Property::DOUBLE_LIST, "", false, nullptr).toString(), "[]");
    EXPECT_EQ(Property("x", Property::Type(3), "", false, nullptr).toString(), "");
}

TEST_F(PropertyTest, ConstructorSetsFullRangeLimits)
{
    Property i("i", Property::INT, "desc", true, &owner, "px");
    EXPECT_EQ(boost::get<long>(i.valueMin), std::numeric_limits<long>::min());
    EXPECT_EQ(boost::get<long>(i.valueMax), std::numeric_limits<long>::max());
    EXPECT_EQ(i.egu, "px");
    EXPECT_EQ(i.master, &owner);
    EXPECT_EQ(i.delayUs, 0);
    Property d("d", Property::DOUBLE, "", false, nullptr);
    EXPECT_EQ(boost::get<double>(d.valueMin), -1.7976931348623157e308);
    EXPECT_EQ(boost::get<double>(d.valueMax), 1.7976931348623157e308);
    // The whole range is valid: the extremes raise no error.
    Property owned("o", Property::INT, "", false, &owner);
    owned.setValue(std::numeric_limits<long>::min());
    owned.setValue(std::numeric_limits<long>::max());
    EXPECT_TRUE(owner.errors.empty());
}

TEST_F(PropertyTest, SettersStoreAndBroadcastThroughOwner)
{
    Property s("file", Property::STRING, "", false, &owner);
    s.setValue(std::string("a.fits"));
    ASSERT_EQ(broadcasts.size(), 1u);
    EXPECT_EQ(broadcastOwners[0], &owner);
    EXPECT_EQ(broadcasts[0].name(), "file");
    EXPECT_EQ(broadcasts[0].strval().value(), "a.fits");
    EXPECT_EQ(s.getValue<std::string>(), "a.fits");

    Property unowned("free", Property::STRING, "", false, nullptr);
    unowned.setValue("x");
    EXPECT_EQ(broadcasts.size(), 1u);
    EXPECT_EQ(unowned.getValue<std::string>(), "x");
}

TEST_F(PropertyTest, RequestedTextShowsTheRequestWithoutApplyingIt)
{
    Property mode("mode", Property::INT, "", true, &owner);
    mode.addChoice(1, "FAST");
    mode.addChoice(2, "SLOW");
    mode.setValue(1L);
    broadcasts.clear();
    proto::PropertyChange change;
    change.set_name("mode");
    change.set_command(true);
    change.mutable_intval()->set_value(2);
    EXPECT_EQ(mode.requestedText(change), "SLOW");
    EXPECT_EQ(mode.toString(), "FAST");
    EXPECT_TRUE(broadcasts.empty());
    change.mutable_intval()->set_value(7);
    EXPECT_EQ(mode.requestedText(change), "7");
}

TEST_F(PropertyTest, LongOnDoubleStoresDouble)
{
    Property d("exp", Property::DOUBLE, "", false, &owner);
    d.setValue(5L);
    EXPECT_EQ(d.getValue<double>(), 5.0);
    ASSERT_EQ(broadcasts.size(), 1u);
    EXPECT_EQ(broadcasts[0].doubleval().value(), 5.0);
}

TEST_F(PropertyTest, WrongTypedSetterThrowsAndChangesNothing)
{
    Property i("width", Property::INT, "", false, &owner);
    i.setValue(7L);
    broadcasts.clear();

    EXPECT_EQ(expectTypeError([&] { i.setValue(2.5); }), "width\n");

    expectTypeError([&] { i.setValue(std::string("x")); });
    Property list("l", Property::INT_LIST, "", false, &owner);
    expectTypeError([&] { list.setValue(3L); });
    expectTypeError([&] { list.setValue(std::string("x")); });
    EXPECT_EQ(i.getValue<long>(), 7);
    EXPECT_TRUE(broadcasts.empty());
}

TEST_F(PropertyTest, GetValueChecksType)
{
    Property i("i", Property::INT, "", false, nullptr);
    expectTypeError([&] { i.getValue<double>(); });
    expectTypeError([&] { i.getValue<std::string>(); });
    Property d("d", Property::DOUBLE, "", false, nullptr);
    expectTypeError([&] { d.getValue<long>(); });
    Property l("l", Property::STR_LIST, "", false, nullptr);
    expectTypeError([&] { l.getValue<std::string>(); });
}

TEST_F(PropertyTest, AddChoiceOnlyOnInt)
{
    Property s("s", Property::STRING, "", false, nullptr);
    expectTypeError([&] { s.addChoice(1, "one"); }, "Only int value can be added choices.");
    Property i("i", Property::INT, "", false, nullptr);
    i.addChoice(1, "one");
    i.addChoice(1, "uno");
    EXPECT_EQ(i.choices.size(), 1u);
    EXPECT_EQ(i.choices.at(1), "uno");
    EXPECT_TRUE(broadcasts.empty());
}

TEST_F(PropertyTest, ValueOutsideChoicesIsKeptBroadcastAndReported)
{
    Property mode("binning", Property::INT, "", true, &owner);
    mode.addChoice(16, "sixteen");
    mode.addChoice(8, "eight");

    mode.setValue(12L);
    EXPECT_EQ(mode.getValue<long>(), 12);
    ASSERT_EQ(broadcasts.size(), 1u);
    EXPECT_EQ(broadcasts[0].intval().value(), 12);
    EXPECT_EQ(owner.errors, std::vector<std::string>{"binning"});
    // Not one of the choices: rendered as the number.
    EXPECT_EQ(mode.toString(), "12");

    owner.errors.clear();
    mode.setValue(16L);
    EXPECT_TRUE(owner.errors.empty());
    EXPECT_EQ(mode.toString(), "sixteen");
}

TEST_F(PropertyTest, LimitsAndChoicesCanBothReport)
{
    Property p("gain", Property::INT, "", true, &owner);
    proto::PropertyChange change;
    change.mutable_intval()->set_value(5);
    change.mutable_intval()->set_value_min(0);
    change.mutable_intval()->set_value_max(10);
    p.updateFromPB(change);
    p.addChoice(1, "low");
    p.addChoice(2, "high");

    p.setValue(11L);
    EXPECT_EQ(owner.errors.size(), 2u);
    owner.errors.clear();
    p.setValue(-1L);
    EXPECT_EQ(owner.errors.size(), 2u);
    owner.errors.clear();
    p.setValue(10L);  // limit itself is valid, but not a choice
    EXPECT_EQ(owner.errors.size(), 1u);
    owner.errors.clear();
    p.setValue(2L);
    EXPECT_TRUE(owner.errors.empty());
}

TEST_F(PropertyTest, ChoiceMatchUsesWholeValue)
{
    Property p("p", Property::INT, "", true, &owner);
    p.addChoice(1, "one");
    p.setValue(4294967297L);  // narrowed to 32 bits it would read as 1
    EXPECT_EQ(owner.errors.size(), 1u);
    EXPECT_EQ(p.toString(), "4294967297");
}

TEST_F(PropertyTest, DoubleLimitsStrictAndNaNNeverReported)
{
    Property p("t", Property::DOUBLE, "", true, &owner);
    proto::Property msg;
    msg.mutable_doubleval()->set_value_min(-1.0);
    msg.mutable_doubleval()->set_value_max(1.0);
    p.updateFromPB(msg);
    p.setValue(1.0);
    p.setValue(-1.0);
    EXPECT_TRUE(owner.errors.empty());
    p.setValue(1.5);
    p.setValue(-1.5);
    EXPECT_EQ(owner.errors.size(), 2u);
    owner.errors.clear();
    p.setValue(std::nan(""));
    EXPECT_TRUE(owner.errors.empty());
    EXPECT_TRUE(std::isnan(p.getValue<double>()));
}

TEST_F(PropertyTest, SetValueStringScalars)
{
    Property i("i", Property::INT, "", false, &owner);
    i.setValueString(" 42 ");
    EXPECT_EQ(i.getValue<long>(), 42);
    // Text that only begins with a number is refused, not read as its start.
    for (const char* partly : {"  42abc", "2.9x", "2.7", "0x10", "1,5", "4 2"})
        EXPECT_THROW(i.setValueString(partly), std::invalid_argument) << partly;
    EXPECT_EQ(i.getValue<long>(), 42);
    // The whole 64-bit value is kept.
    i.setValueString("4294967297");
    EXPECT_EQ(i.getValue<long>(), 4294967297L);
    i.setValueString("-9223372036854775808");
    EXPECT_EQ(i.getValue<long>(), std::numeric_limits<long>::min());
    EXPECT_EQ(broadcasts.size(), 3u);

    EXPECT_THROW(i.setValueString("9223372036854775808"), std::invalid_argument);
    EXPECT_THROW(i.setValueString("abc"), std::invalid_argument);
    EXPECT_EQ(i.getValue<long>(), std::numeric_limits<long>::min());

    Property d("d", Property::DOUBLE, "", false, &owner);
    d.setValueString("1.5");
    EXPECT_EQ(d.getValue<double>(), 1.5);
    EXPECT_EQ(d.toString(), "1.500000");
    for (const char* bad : {"x", "1,5", "2.5e", "0.5 s", "nan"})
        EXPECT_THROW(d.setValueString(bad), std::invalid_argument) << bad;
    EXPECT_EQ(d.getValue<double>(), 1.5);

    Property s("s", Property::STRING, "", false, &owner);
    s.setValueString(" spaced ");
    EXPECT_EQ(s.toString(), " spaced ");
}

TEST_F(PropertyTest, SetValueStringLists)
{
    Property il("il", Property::INT_LIST, "", false, &owner);
    il.setValueString("1, 2,3");
    EXPECT_EQ(il.intList, (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(il.toString(), "[1, 2, 3]");
    il.setValueString("4294967297");
    EXPECT_EQ(il.intList, (std::vector<int64_t>{4294967297L}));

    Property sl("sl", Property::STR_LIST, "", false, &owner);
    sl.setValueString("a,,b");
    EXPECT_EQ(sl.strList, (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(sl.toString(), "[\"a\", \"\", \"b\"]");
    sl.setValueString("a, b");
    EXPECT_EQ(sl.strList, (std::vector<std::string>{"a", " b"}));
    sl.setValueString("a,");
    EXPECT_EQ(sl.strList, (std::vector<std::string>{"a"}));
    sl.setValueString("");
    EXPECT_TRUE(sl.strList.empty());

    Property dl("dl", Property::DOUBLE_LIST, "", false, &owner);
    dl.setValueString("1.5,2.0");
    EXPECT_EQ(dl.doubleList, (std::vector<double>{1.5, 2.0}));
    EXPECT_EQ(dl.toString(), "[1.5, 2]");

    // Lists change silently.
    EXPECT_TRUE(broadcasts.empty());
}

TEST_F(PropertyTest, BadListTextLeavesListUnchanged)
{
    Property il("il", Property::INT_LIST, "", false, &owner);
    il.setValueString("7,8");
    EXPECT_THROW(il.setValueString("1,x,3"), std::invalid_argument);
    EXPECT_THROW(il.setValueString("1,2.5"), std::invalid_argument);
    EXPECT_EQ(il.intList, (std::vector<int64_t>{7, 8}));

    Property dl("dl", Property::DOUBLE_LIST, "", false, &owner);
    dl.setValueString("0.5");
    EXPECT_THROW(dl.setValueString("1,,2"), std::invalid_argument);  // the empty piece
    EXPECT_THROW(dl.setValueString("1,2x"), std::invalid_argument);
    EXPECT_EQ(dl.doubleList, (std::vector<double>{0.5}));
}

TEST_F(PropertyTest, SetValueStringOnUnknownTypeDoesNothing)
{
    Property p("p", Property::Type(3), "", false, &owner);
    p.setValueString("1");
    EXPECT_EQ(p.toString(), "");
    EXPECT_TRUE(broadcasts.empty());
}

TEST_F(PropertyTest, StrListRendersQuotesUnescaped)
{
    Property sl("sl", Property::STR_LIST, "", false, nullptr);
    sl.strList = {"say \"hi\"", "x"};
    EXPECT_EQ(sl.toString(), "[\"say \"hi\"\", \"x\"]");
}

TEST_F(PropertyTest, SerializeIntWithChoicesInKeyOrder)
{
    Property p("mode", Property::INT, "read mode", true, &owner, "");
    p.addChoice(3, "c");
    p.addChoice(-1, "a");
    p.addChoice(2, "b");
    p.intValue = 2;
    proto::Property msg = p.serialize();
    EXPECT_EQ(msg.name(), "mode");
    EXPECT_EQ(msg.description(), "read mode");
    EXPECT_TRUE(msg.writable());
    EXPECT_EQ(msg.type(), proto::Property::INT);
    EXPECT_FALSE(msg.has_timestamp());
    ASSERT_EQ(msg.property_type_case(), proto::Property::kIntval);
    const auto& iv = msg.intval();
    EXPECT_EQ(iv.value(), 2);
    EXPECT_EQ(iv.value_min(), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(iv.value_max(), std::numeric_limits<int64_t>::max());
    ASSERT_EQ(iv.choices_size(), 3);
    EXPECT_EQ(iv.choices(0).choice_val(), -1);
    EXPECT_EQ(iv.choices(0).choice_string(), "a");
    EXPECT_EQ(iv.choices(1).choice_val(), 2);
    EXPECT_EQ(iv.choices(2).choice_val(), 3);
}

TEST_F(PropertyTest, SetPBValueReplacesAnyPreviousMember)
{
    Property p("p", Property::INT_LIST, "", false, nullptr);
    p.intList = {1, 2};
    proto::PropertyChange msg;
    msg.mutable_strval()->set_value("stale");
    p.setPBValue(msg);
    EXPECT_EQ(msg.property_type_case(), proto::PropertyChange::kIntlist);
    p.setPBValue(msg);  // filling twice does not append twice
    EXPECT_EQ(msg.intlist().values_size(), 2);

    Property unknown("u", Property::Type(9), "", false, nullptr);
    proto::PropertyChange none;
    unknown.setPBValue(none);
    EXPECT_EQ(none.property_type_case(), proto::PropertyChange::PROPERTY_TYPE_NOT_SET);
}

TEST_F(PropertyTest, ChangeRecordCarriesValueAndSendTime)
{
    Property p("exp", Property::DOUBLE, "", true, &owner);
    p.doubleValue = 2.5;
    int64_t before = nowNs();
    proto::PropertyChange change = p.genPropertyChangePB();
    int64_t after = nowNs();
    EXPECT_EQ(change.name(), "exp");
    EXPECT_FALSE(change.command());
    EXPECT_FALSE(change.has_timestamp());
    EXPECT_EQ(change.doubleval().value(), 2.5);
    ASSERT_TRUE(change.has_send_ts());
    int64_t sent = change.send_ts().seconds() * 1000000000 + change.send_ts().nanos();
    EXPECT_GE(sent, before);
    EXPECT_LE(sent, after);
}

TEST_F(PropertyTest, WireRoundTripOfEveryType)
{
    std::vector<Property> originals;
    Property i("i", Property::INT, "int", true, &owner, "px");
    i.intValue = -123456789012L;
    i.valueMin = -1000000000000L;
    i.valueMax = 5L;
    i.addChoice(7, "seven");
    originals.push_back(i);
    Property s("s", Property::STRING, "str", false, &owner);
    s.strValue = std::string("a\0b", 3);
    originals.push_back(s);
    Property d("d", Property::DOUBLE, "dbl", true, &owner, "s");
    d.doubleValue = 0.1;
    d.valueMin = -2.5;
    d.valueMax = 1e300;
    originals.push_back(d);
    Property sl("sl", Property::STR_LIST, "", false, &owner);
    sl.strList = {"x", "", "y z"};
    originals.push_back(sl);
    Property il("il", Property::INT_LIST, "", false, &owner);
    il.intList = {std::numeric_limits<int64_t>::min(), 0, 9};
    originals.push_back(il);
    Property dl("dl", Property::DOUBLE_LIST, "", false, &owner);
    dl.doubleList = {1.5, -0.0, 1e-300};
    originals.push_back(dl);

    for (const Property& original : originals) {
        SCOPED_TRACE(original.name);
        proto::Property wire;
        ASSERT_TRUE(wire.ParseFromString(original.serialize().SerializeAsString()));
        Property copy(wire);
        EXPECT_EQ(copy.master, nullptr);
        EXPECT_EQ(copy.name, original.name);
        EXPECT_EQ(copy.type, original.type);
        EXPECT_EQ(copy.description, original.description);
        EXPECT_EQ(copy.writable, original.writable);
        EXPECT_EQ(copy.egu, original.egu);
        EXPECT_EQ(copy.toString(), original.toString());
        EXPECT_EQ(copy.serialize().SerializeAsString(), original.serialize().SerializeAsString());

        // And through a change record into a fresh copy of the same type.
        Property target(original.name, original.type, "", false, nullptr);
        const proto::PropertyChange change = original.genPropertyChangePB();
        target.updateFromPB(change);
        EXPECT_EQ(target.toString(), original.toString());
    }
    EXPECT_TRUE(owner.errors.empty());
}

TEST_F(PropertyTest, UpdateReadsByOwnTypeNotByMember)
{
    Property p("p", Property::INT, "", false, nullptr);
    p.intValue = 55;
    proto::PropertyChange change;
    change.mutable_strval()->set_value("not an int");
    p.updateFromPB(change);
    EXPECT_EQ(p.intValue, 0);
    EXPECT_EQ(boost::get<long>(p.valueMin), 0);
    EXPECT_EQ(boost::get<long>(p.valueMax), 0);

    Property l("l", Property::STR_LIST, "", false, nullptr);
    l.strList = {"a"};
    proto::Property empty;
    l.updateFromPB(empty);
    EXPECT_TRUE(l.strList.empty());
}

TEST_F(PropertyTest, UpdateKeepsMetadataAndExistingChoices)
{
    Property p("p", Property::INT, "keep", true, &owner, "egu");
    p.addChoice(1, "one");
    proto::Property msg;
    msg.set_name("other");
    msg.set_description("other");
    msg.set_type(proto::Property::STRING);
    auto* c = msg.mutable_intval()->add_choices();
    c->set_choice_val(2);
    c->set_choice_string("two");
    c = msg.mutable_intval()->add_choices();
    c->set_choice_val(1);
    c->set_choice_string("uno");
    p.updateFromPB(msg);
    EXPECT_EQ(p.name, "p");
    EXPECT_EQ(p.description, "keep");
    EXPECT_EQ(p.type, Property::INT);
    EXPECT_EQ(p.choices.size(), 2u);
    EXPECT_EQ(p.choices.at(1), "uno");
    EXPECT_EQ(p.choices.at(2), "two");
    EXPECT_TRUE(broadcasts.empty());
    EXPECT_TRUE(owner.errors.empty());
}

TEST_F(PropertyTest, DelayFromSendTime)
{
    Property p("p", Property::INT, "", false, nullptr);
    EXPECT_EQ(p.delayUs, 0);
    proto::PropertyChange change;
    int64_t sent = nowNs() - 1000000;  // one millisecond ago
    change.mutable_send_ts()->set_seconds(sent / 1000000000);
    change.mutable_send_ts()->set_nanos(static_cast<int32_t>(sent % 1000000000));
    auto before = std::chrono::system_clock::now();
    p.updateFromPB(change);
    EXPECT_GE(p.delayUs, 1000);
    EXPECT_LT(p.delayUs, 1000 + 1000000);  // bounded by this test's own run time
    EXPECT_GE(p.timestamp, before);

    // A Property record carries no send time and leaves the delay alone.
    int64_t delay = p.delayUs;
    proto::Property msg;
    p.updateFromPB(msg);
    EXPECT_EQ(p.delayUs, delay);
}

TEST_F(PropertyTest, AbsurdSendTimeDoesNotOverflow)
{
    Property p("p", Property::INT, "", false, nullptr);
    proto::PropertyChange change;
    change.mutable_send_ts()->set_seconds(std::numeric_limits<int64_t>::max());
    change.mutable_send_ts()->set_nanos(999999999);
    p.updateFromPB(change);
    EXPECT_LT(p.delayUs, 0);
    change.mutable_send_ts()->set_seconds(std::numeric_limits<int64_t>::min());
    p.updateFromPB(change);
    EXPECT_EQ(p.delayUs, std::numeric_limits<int64_t>::max());
}

TEST_F(PropertyTest, MissingSendTimeCountsAsEpoch)
{
    Property p("p", Property::INT, "", false, nullptr);
    proto::PropertyChange change;
    p.updateFromPB(change);
    int64_t expected = nowNs() / 1000;
    EXPECT_GT(p.delayUs, expected - 60 * 1000000LL);
    EXPECT_LE(p.delayUs, expected);
}

TEST_F(PropertyTest, CopyKeepsOwner)
{
    Property p("p", Property::INT, "", false, &owner);
    Property copy = p;
    EXPECT_EQ(copy.master, &owner);
    copy.setValue(1L);
    ASSERT_EQ(broadcastOwners.size(), 1u);
    EXPECT_EQ(broadcastOwners[0], &owner);
}

TEST_F(PropertyTest, DefaultConstructed)
{
    Property p;
    EXPECT_EQ(p.master, nullptr);
    EXPECT_EQ(p.delayUs, 0);
    EXPECT_TRUE(p.name.empty());
    EXPECT_EQ(boost::get<long>(p.valueMin), 0);
    EXPECT_EQ(boost::get<long>(p.valueMax), 0);
}

// What a tool shows and checks before it asks a daemon for a value: the same
// limit text a refused request carries, and only limits that say something.
TEST_F(PropertyTest, LimitsChoicesAndTheValueCheckAsATaskShowsThem)
{
    Property exposure("exposure", Property::DOUBLE, "", true, nullptr);
    EXPECT_FALSE(exposure.hasLimits());  // the whole range of finite numbers
    EXPECT_EQ(exposure.limitsText(), "");
    exposure.valueMin = -0.5;
    exposure.valueMax = 2.5;
    EXPECT_TRUE(exposure.hasLimits());
    EXPECT_EQ(exposure.limitsText(), "[-0.5, 2.5]");
    exposure.doubleValue = 3.0;
    EXPECT_EQ(exposure.checkValue(), "value outside the limits [-0.5, 2.5]");
    proto::PropertyChange request;
    request.mutable_doubleval()->set_value(3.0);
    EXPECT_EQ(exposure.checkRequest(request), "3 is outside the limits " + exposure.limitsText());

    Property gain("gain", Property::INT, "", true, nullptr);
    for (auto pair : {std::make_pair(0L, 0L), std::make_pair(5L, 1L)}) {  // unset, inverted
        gain.valueMin = pair.first;
        gain.valueMax = pair.second;
        gain.intValue = 3;
        EXPECT_FALSE(gain.hasLimits()) << pair.first << "," << pair.second;
        EXPECT_EQ(gain.checkValue(), "");
    }
    gain.valueMin = 1.5;  // a limit of the other kind is read as an integer
    gain.valueMax = 16L;
    EXPECT_EQ(gain.limitsText(), "[1, 16]");
    gain.intValue = 17;
    EXPECT_EQ(gain.checkValue(), "value outside the limits [1, 16]");
    gain.addChoice(8, "high");
    gain.addChoice(2, "low");
    EXPECT_EQ(gain.choicesText(), "2=low, 8=high");
    gain.intValue = (int64_t(1) << 32) + 2;  // narrows to a choice, is none
    EXPECT_EQ(gain.checkValue(), "value is none of the choices 2=low, 8=high");
    gain.intValue = 8;
    EXPECT_EQ(gain.checkValue(), "");
    EXPECT_EQ(gain.toString(), "high");
}

// Change requests from peers: checkRequest decides, applyRequest takes only
// the value.
class PropertyRequests : public PropertyTest {
protected:
    static proto::PropertyChange intRequest(int64_t value)
    {
        proto::PropertyChange change;
        change.set_name("gain");
        change.set_command(true);
        change.mutable_intval()->set_value(value);
        return change;
    }
    static proto::PropertyChange doubleRequest(double value)
    {
        proto::PropertyChange change;
        change.set_name("exposure");
        change.set_command(true);
        change.mutable_doubleval()->set_value(value);
        return change;
    }
};

TEST_F(PropertyRequests, AValueOfAnotherKindIsRefused)
{
    Property gain("gain", Property::INT, "", true, nullptr);
    proto::PropertyChange asString;
    asString.mutable_strval()->set_value("5");
    EXPECT_EQ(gain.checkRequest(asString), "a value of kind string for a property of type int");
    proto::PropertyChange none;
    EXPECT_EQ(gain.checkRequest(none), "a value of kind no value for a property of type int");
    Property label("label", Property::STRING, "", true, nullptr);
    EXPECT_NE(label.checkRequest(intRequest(5)), "");
    proto::PropertyChange emptyString;
    emptyString.mutable_strval();
    EXPECT_EQ(label.checkRequest(emptyString), "");  // an empty string is a string
}

TEST_F(PropertyRequests, NonFiniteAndOutOfLimitDoublesAreRefused)
{
    Property exposure("exposure", Property::DOUBLE, "", true, nullptr);
    // The default limits are the whole range of finite numbers.
    EXPECT_EQ(exposure.checkRequest(doubleRequest(1e308)), "");
    EXPECT_EQ(exposure.checkRequest(doubleRequest(std::nan(""))), "the value is not a finite number");
    EXPECT_NE(exposure.checkRequest(doubleRequest(INFINITY)), "");
    EXPECT_NE(exposure.checkRequest(doubleRequest(-INFINITY)), "");
    exposure.valueMin = 0.0;
    exposure.valueMax = 3600.0;
    EXPECT_EQ(exposure.checkRequest(doubleRequest(0.0)), "");
    EXPECT_EQ(exposure.checkRequest(doubleRequest(3600.0)), "");
    EXPECT_EQ(exposure.checkRequest(doubleRequest(3600.5)), "3600.5 is outside the limits [0, 3600]");
    EXPECT_NE(exposure.checkRequest(doubleRequest(-1e-9)), "");

    Property temps("temps", Property::DOUBLE_LIST, "", true, nullptr);
    proto::PropertyChange list;
    list.mutable_doublelist()->add_values(1.0);
    list.mutable_doublelist()->add_values(std::nan(""));
    EXPECT_NE(temps.checkRequest(list), "");
}

TEST_F(PropertyRequests, IntegersMustKeepLimitsAndChoices)
{
    Property gain("gain", Property::INT, "", true, nullptr);
    gain.valueMin = 0L;
    gain.valueMax = 16L;
    EXPECT_EQ(gain.checkRequest(intRequest(16)), "");
    EXPECT_EQ(gain.checkRequest(intRequest(17)), "17 is outside the limits [0, 16]");
    EXPECT_NE(gain.checkRequest(intRequest(-1)), "");
    gain.addChoice(1, "low");
    gain.addChoice(4, "high");
    EXPECT_EQ(gain.checkRequest(intRequest(4)), "");
    EXPECT_EQ(gain.checkRequest(intRequest(2)), "2 is not one of the choices");
    // A value that narrows to a choice (2^32 + 1 -> 1) is still none of them.
    gain.valueMax = std::numeric_limits<long>::max();
    EXPECT_NE(gain.checkRequest(intRequest((int64_t(1) << 32) + 1)), "");
}

TEST_F(PropertyRequests, AnAcceptedRequestSetsTheValueOnlyNeverLimitsOrChoices)
{
    Property gain("gain", Property::INT, "", true, &owner);
    gain.valueMin = 0L;
    gain.valueMax = 16L;
    gain.addChoice(1, "low");
    gain.addChoice(4, "high");
    proto::PropertyChange change = intRequest(4);
    change.mutable_intval()->set_value_min(-1000);
    change.mutable_intval()->set_value_max(1000);
    for (int i = 0; i < 100; ++i) {
        auto* choice = change.mutable_intval()->add_choices();
        choice->set_choice_val(100 + i);
        choice->set_choice_string("forged");
    }
    ASSERT_EQ(gain.checkRequest(change), "");
    gain.applyRequest(change);
    EXPECT_EQ(gain.intValue, 4);
    EXPECT_EQ(boost::get<long>(gain.valueMin), 0);
    EXPECT_EQ(boost::get<long>(gain.valueMax), 16);
    EXPECT_EQ(gain.choices, (std::map<int32_t, std::string>{{1, "low"}, {4, "high"}}));
    EXPECT_TRUE(broadcasts.empty());  // the daemon broadcasts, not the property

    Property exposure("exposure", Property::DOUBLE, "", true, nullptr);
    exposure.valueMin = 0.0;
    exposure.valueMax = 10.0;
    proto::PropertyChange d = doubleRequest(2.5);
    d.mutable_doubleval()->set_value_max(1e9);
    gain.applyRequest(d);  // another kind is not even read
    EXPECT_EQ(gain.intValue, 4);
    exposure.applyRequest(d);
    EXPECT_EQ(exposure.doubleValue, 2.5);
    EXPECT_EQ(boost::get<double>(exposure.valueMax), 10.0);
}

TEST_F(PropertyRequests, SizesBeyondTheBoundsAreRefusedWhole)
{
    Property label("label", Property::STRING, "", true, nullptr);
    proto::PropertyChange text;
    text.mutable_strval()->set_value(std::string(kMaxPropertyStringBytes, 'x'));
    EXPECT_EQ(label.checkRequest(text), "");
    text.mutable_strval()->set_value(std::string(kMaxPropertyStringBytes + 1, 'x'));
    EXPECT_NE(label.checkRequest(text), "");

    Property names("names", Property::STR_LIST, "", true, nullptr);
    proto::PropertyChange list;
    for (size_t i = 0; i <= kMaxPropertyListItems; ++i)
        list.mutable_strlist()->add_values("a");
    EXPECT_EQ(names.checkRequest(list), std::to_string(kMaxPropertyListItems + 1) + " list items (at most " +
                                            std::to_string(kMaxPropertyListItems) + ")");
    proto::PropertyChange longItem;
    longItem.mutable_strlist()->add_values(std::string(kMaxPropertyStringBytes + 1, 'y'));
    EXPECT_NE(names.checkRequest(longItem), "");

    Property steps("steps", Property::INT_LIST, "", true, nullptr);
    proto::PropertyChange ints;
    for (size_t i = 0; i <= kMaxPropertyListItems; ++i)
        ints.mutable_intlist()->add_values(1);
    EXPECT_NE(steps.checkRequest(ints), "");
    ints.mutable_intlist()->mutable_values()->RemoveLast();
    EXPECT_EQ(steps.checkRequest(ints), "");
}

TEST_F(PropertyRequests, ChoicesOfAPeersCopyStopGrowingAtTheBound)
{
    // Every broadcast may bring new keys; a peer's copy keeps at most the bound.
    Property copy("mode", Property::INT, "", false, nullptr);
    for (int round = 0; round < 3; ++round) {
        proto::PropertyChange change;
        for (size_t i = 0; i < kMaxPropertyChoices; ++i) {
            auto* choice = change.mutable_intval()->add_choices();
            choice->set_choice_val(static_cast<int64_t>(round * kMaxPropertyChoices + i));
            choice->set_choice_string("c");
        }
        copy.updateFromPB(change);
    }
    EXPECT_EQ(copy.choices.size(), kMaxPropertyChoices);
    // Known keys still take new labels.
    proto::PropertyChange relabel;
    auto* choice = relabel.mutable_intval()->add_choices();
    choice->set_choice_val(0);
    choice->set_choice_string("zero");
    copy.updateFromPB(relabel);
    EXPECT_EQ(copy.choices.at(0), "zero");
}
