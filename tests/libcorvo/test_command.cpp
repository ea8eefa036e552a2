#include <gtest/gtest.h>

#include <chrono>

#include "corvo/command.h"
#include "corvo/misc.h"
#include "support/captured_output.h"

using namespace corvo;
using Words = std::vector<std::string>;

namespace {

CommandDef twoArgCommand()
{
    CommandDef def;
    def.name = "expose";
    def.args = {{ARG_DOUBLE, "time"}, {ARG_INT, "count"}};
    return def;
}

}  // namespace

TEST(Verify, NeedsNameAndOneValuePerArgument)
{
    CommandDef def = twoArgCommand();
    EXPECT_TRUE(def.verify({"expose", "1.5", "3"}));
    EXPECT_FALSE(def.verify({"expose", "1.5"}));
    EXPECT_TRUE(def.verify({"expose", "1.5", "3", "extra"}));
    EXPECT_FALSE(def.verify({"Expose", "1.5", "3"}));
    // Values are not checked against their declared types.
    EXPECT_TRUE(def.verify({"expose", "abc", "xyz"}));
}

TEST(Verify, EmptyVectorIsRejected)
{
    CommandDef def = twoArgCommand();
    EXPECT_FALSE(def.verify({}));
    CommandDef noArgs;
    noArgs.name = "";
    EXPECT_FALSE(noArgs.verify({}));
}

TEST(Verify, NoArgumentsAcceptsAnythingAfterName)
{
    CommandDef def;
    def.name = "stop";
    EXPECT_TRUE(def.verify({"stop"}));
    EXPECT_TRUE(def.verify({"stop", "now", "please"}));
    EXPECT_FALSE(def.verify({"sto"}));
}

TEST(FromDesc, CopiesNameDescriptionAndArgumentsInOrder)
{
    proto::CommandDesc desc;
    desc.set_cmd_name("move");
    desc.set_description("move the mount");
    auto* a = desc.add_args();
    a->set_type(proto::ArgDesc::DOUBLE);
    a->set_argname("ra");
    auto* b = desc.add_args();
    b->set_type(static_cast<proto::ArgDesc_ArgType>(42));  // unknown to us
    b->set_argname("mode");

    CommandDef def(&desc);
    EXPECT_EQ(def.name, "move");
    EXPECT_EQ(def.description, "move the mount");
    ASSERT_EQ(def.args.size(), 2u);
    EXPECT_EQ(def.args[0].type, ARG_DOUBLE);
    EXPECT_EQ(def.args[0].name, "ra");
    EXPECT_EQ(static_cast<int>(def.args[1].type), 42);
    EXPECT_EQ(def.args[1].name, "mode");
    EXPECT_FALSE(def.func);
}

TEST(GenCommand, NameArgumentsAndSendTime)
{
    auto before = std::chrono::system_clock::now();
    proto::Command record = genCommandPB({"readtemp"});
    EXPECT_EQ(record.cmd_name(), "readtemp");
    EXPECT_EQ(record.args_size(), 0);
    ASSERT_TRUE(record.has_send_ts());
    int64_t sent = record.send_ts().seconds() * 1000000000 + record.send_ts().nanos();
    EXPECT_GE(sent, std::chrono::duration_cast<std::chrono::nanoseconds>(before.time_since_epoch()).count());
    EXPECT_LT(record.send_ts().nanos(), 1000000000);
    EXPECT_EQ(extractCommandPB(record), Words{"readtemp"});
}

TEST(GenCommand, RoundTripKeepsWholeArguments)
{
    Words text{"set", "a b", std::string("x\0y", 3), ""};
    proto::Command record = genCommandPB(text);
    ASSERT_EQ(record.args_size(), 3);
    EXPECT_EQ(record.args(1), std::string("x\0y", 3));
    EXPECT_EQ(extractCommandPB(record), text);

    proto::Command decoded;
    ASSERT_TRUE(decoded.ParseFromString(record.SerializeAsString()));
    EXPECT_EQ(extractCommandPB(decoded), text);
}

TEST(GenCommand, EmptyVectorThrowsArgError)
{
    corvotest::CapturedDiagnostics quiet;
    EXPECT_THROW(genCommandPB({}), CorvoArgError);
}

TEST(ExtractCommand, EmptyNameGivesEmptyFirstElement)
{
    proto::Command record;
    EXPECT_EQ(extractCommandPB(record), Words{""});
}
