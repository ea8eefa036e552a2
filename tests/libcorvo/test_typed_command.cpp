// Commands declared with typed handlers: what peers see of them, the values
// the handler receives, and refusals word for word as for a command declared
// with argument types and names passed one by one.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "corvo/daemon.h"
#include "corvo/peer.h"
#include "corvo/typed_command.h"
#include "support/captured_output.h"

namespace {

class Wheel : public corvo::Daemon {
public:
    Wheel() : Daemon("wheel") {}

    // A node that is never started; the logger writes to standard output.
    void prepare()
    {
        const char* args[] = {"wheel"};
        optionParser.parseArgs(1, args);
        processOptions();
        network = std::make_shared<corvo::Network>(this, false);
        logger.init(name, spdlog::level::info, network.get());
    }

    // Hands the command over as the network does; returns the reason of a
    // refusal as logged, or "" when it was accepted.
    std::string request(std::vector<std::string> words)
    {
        corvo::proto::Command command;
        command.set_cmd_name(words[0]);
        for (size_t i = 1; i < words.size(); ++i)
            command.add_args(words[i]);
        // A requester of its own each time: refusals are logged a few times
        // per requester only.
        std::string requester = "client" + std::to_string(++requests);
        corvotest::CapturedStream console(STDOUT_FILENO);
        handleCommand(std::make_shared<corvo::Peer>(requester, "UUID", ""), command);
        std::string out = console.take();
        const std::string from = "(from " + requester + ": ";
        size_t at = out.find(from);
        if (at == std::string::npos)
            return "";
        size_t end = out.find(")\n", at);
        return out.substr(at + from.size(), end - at - from.size());
    }

    using Daemon::commands;

private:
    int requests = 0;
};

struct Received {
    long slot = 0;
    double focus = 0;
    bool fast = false;
    std::string label;
    int calls = 0;
};

void declareTyped(Wheel& wheel, Received& got)
{
    wheel.createCommand("move",
                        [&got](long slot, double focus, bool fast, const std::string& label) {
                            got = {slot, focus, fast, label, got.calls + 1};
                        },
                        "put a filter in", {"slot", "focus", "fast", "label"});
    wheel.createCommand(
        "home", [&got] { ++got.calls; }, "go to slot 0");
}

void declareOneByOne(Wheel& wheel)
{
    wheel.createCommand(
        "move", [](std::vector<std::string>) {}, "put a filter in", 4, corvo::ARG_INT, "slot", corvo::ARG_DOUBLE,
        "focus", corvo::ARG_BOOL, "fast", corvo::ARG_STRING, "label");
    wheel.createCommand(
        "home", [](std::vector<std::string>) {}, "go to slot 0");
}

}  // namespace

TEST(TypedCommand, PeersSeeTheSameDeclarationAsOneByOne)
{
    Wheel typed, oneByOne;
    Received got;
    declareTyped(typed, got);
    declareOneByOne(oneByOne);
    corvo::proto::Info a = typed.composeInfo(), b = oneByOne.composeInfo();
    ASSERT_EQ(a.commands_size(), b.commands_size());
    for (int i = 0; i < a.commands_size(); ++i) {
        const auto& command = a.commands(i);
        auto same = std::find_if(b.commands().begin(), b.commands().end(),
                                 [&](const auto& other) { return other.cmd_name() == command.cmd_name(); });
        ASSERT_NE(same, b.commands().end()) << command.cmd_name();
        EXPECT_EQ(command.SerializeAsString(), same->SerializeAsString()) << command.cmd_name();
    }
    const auto& move = typed.commands.at("move");
    ASSERT_EQ(move.args.size(), 4u);
    EXPECT_EQ(move.args[0].type, corvo::ARG_INT);
    EXPECT_EQ(move.args[1].type, corvo::ARG_DOUBLE);
    EXPECT_EQ(move.args[2].type, corvo::ARG_BOOL);
    EXPECT_EQ(move.args[3].type, corvo::ARG_STRING);
    EXPECT_EQ(move.args[3].name, "label");
}

TEST(TypedCommand, TheHandlerReceivesTypedValues)
{
    Wheel wheel;
    Received got;
    declareTyped(wheel, got);
    wheel.prepare();
    EXPECT_EQ(wheel.request({"move", " -3 ", "2.5e1", "TRUE", " Ha, 656 nm"}), "");
    EXPECT_EQ(got.calls, 1);
    EXPECT_EQ(got.slot, -3);
    EXPECT_EQ(got.focus, 25.0);
    EXPECT_TRUE(got.fast);
    EXPECT_EQ(got.label, " Ha, 656 nm");  // strings as they came
    EXPECT_EQ(wheel.request({"move", "9223372036854775807", "-0", "0", ""}), "");
    EXPECT_EQ(got.slot, 9223372036854775807L);
    EXPECT_FALSE(got.fast);
    EXPECT_EQ(wheel.request({"home"}), "");
    EXPECT_EQ(got.calls, 3);
}

TEST(TypedCommand, WrongRequestsAreRefusedWithTheSameReasonsAsOneByOne)
{
    Wheel typed, oneByOne;
    Received got;
    declareTyped(typed, got);
    declareOneByOne(oneByOne);
    typed.prepare();
    oneByOne.prepare();
    const std::vector<std::vector<std::string>> wrong = {
        {"move", "1", "2", "true"},                     // too few
        {"move", "1", "2", "true", "x", "y"},           // too many
        {"move", "1.5", "2", "true", "x"},              // not an integer
        {"move", "9223372036854775808", "2", "1", ""},  // beyond 64 bits
        {"move", "1", "inf", "true", "x"},              // not finite
        {"move", "1", "2", "yes", "x"},                 // not a boolean
        {"home", "now"},
    };
    for (const auto& words : wrong) {
        std::string reason = typed.request(words);
        EXPECT_NE(reason, "") << words[1];
        EXPECT_EQ(reason, oneByOne.request(words)) << words[1];
    }
    EXPECT_EQ(typed.request({"move", "1", "2", "true", "x"}), "");
    EXPECT_EQ(got.calls, 1) << "a refused request reached the handler";
}

TEST(TypedCommand, ACallerThatSkipsTheCheckGetsAnArgumentError)
{
    Wheel wheel;
    Received got;
    declareTyped(wheel, got);
    const auto& move = wheel.commands.at("move");
    EXPECT_THROW(move.func({"1", "2"}), corvo::CorvoArgError);
    EXPECT_THROW(move.func({"x", "2", "true", ""}), corvo::CorvoArgError);
    EXPECT_THROW(move.func({"1", "nan", "true", ""}), corvo::CorvoArgError);
    EXPECT_THROW(move.func({"1", "2", "maybe", ""}), corvo::CorvoArgError);
    EXPECT_EQ(got.calls, 0);
    move.func({"4", "1", "false", "L"});
    EXPECT_EQ(got.slot, 4);
    EXPECT_EQ(got.label, "L");
}

TEST(TypedCommand, ArgumentReadersAcceptExactlyWhatTheCheckAccepts)
{
    auto reads = [](auto read, const std::string& text) {
        try {
            read(text);
            return true;
        } catch (const corvo::CorvoArgError&) {
            return false;
        }
    };
    for (const char* text : {"7", " 7 ", "-0", "1e3", "0x10", "", "nan", "inf", "TRUE", "false", "1", "0", "yes"}) {
        EXPECT_EQ(corvo::checkArgument(corvo::ARG_INT, text).empty(), reads(corvo::readIntArgument, text)) << text;
        EXPECT_EQ(corvo::checkArgument(corvo::ARG_DOUBLE, text).empty(), reads(corvo::readDoubleArgument, text))
            << text;
        EXPECT_EQ(corvo::checkArgument(corvo::ARG_BOOL, text).empty(), reads(corvo::readBoolArgument, text)) << text;
    }
    EXPECT_EQ(corvo::readIntArgument(" -12 "), -12);
    EXPECT_EQ(corvo::readDoubleArgument("1e3"), 1000.0);
    EXPECT_TRUE(corvo::readBoolArgument("True"));
    EXPECT_FALSE(corvo::readBoolArgument(" 0"));
}
