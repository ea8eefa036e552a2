// The daemon's tables, its Info, its command dispatch and its handling of
// property change requests, without a running network.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "corvo/daemon.h"
#include "corvo/message.h"
#include "corvo/misc.h"
#include "corvo/network.h"
#include "corvo/peer.h"
#include "support/captured_output.h"
#include "support/temp_dir.h"

namespace {

// Counts what the test daemon's properties publish while a test runs.
struct BroadcastCounter {
    static inline std::vector<std::string> names;
    static inline bool active = false;
    BroadcastCounter()
    {
        names.clear();
        active = true;
    }
    ~BroadcastCounter() { active = false; }
};

class TestDaemon : public corvo::Daemon {
public:
    TestDaemon() : Daemon("tester") {}

    // Command line, options and a node that is never started; the logger
    // writes to standard output only (network sends are dropped).
    void prepare(std::vector<const char*> args = {})
    {
        args.insert(args.begin(), "tester");
        optionParser.parseArgs(static_cast<int>(args.size()), args.data());
        processOptions();
        network = std::make_shared<corvo::Network>(this, false);
        logger.init(name, spdlog::level::info, network.get());
    }

    void publish(const corvo::Property& property) override
    {
        if (BroadcastCounter::active)
            BroadcastCounter::names.push_back(property.name);
        Daemon::publish(property);
    }

    using Daemon::beforeInit;
    using Daemon::beforeLoop;
    using Daemon::commands;
    using Daemon::logger;
    using Daemon::properties;
    using Daemon::reportException;
    using Daemon::statusList;
};

std::shared_ptr<corvo::Peer> somePeer()
{
    return std::make_shared<corvo::Peer>("client", "UUID", "");
}

corvo::proto::Command commandRecord(std::vector<std::string> words)
{
    corvo::proto::Command record;
    record.set_cmd_name(words[0]);
    for (size_t i = 1; i < words.size(); ++i)
        record.add_args(words[i]);
    return record;
}

TEST(DaemonTables, AFreshDaemonDescribesOnlyItsIdleStatus)
{
    TestDaemon daemon;
    corvo::proto::Info info = daemon.composeInfo();
    ASSERT_EQ(info.status_list_size(), 1);
    EXPECT_EQ(info.status_list(0).status(), 0u);
    EXPECT_EQ(info.status_list(0).text(), "IDLE");
    EXPECT_EQ(info.status(), 0u);
    EXPECT_EQ(info.properties_size(), 0);
    EXPECT_EQ(info.commands_size(), 0);
}

TEST(DaemonTables, StatusValuesAreUnique)
{
    TestDaemon daemon;
    corvotest::CapturedDiagnostics quiet;  // stack traces of the errors
    try {
        daemon.addStatusStr(0, "READY");
        FAIL() << "no exception";
    } catch (const corvo::CorvoError& e) {
        EXPECT_STREQ(e.what(), "Repeated status value");
    }
    daemon.addStatusStr(3, "BUSY");
    EXPECT_THROW(daemon.addStatusStr(3, "AGAIN"), corvo::CorvoError);
    EXPECT_EQ(daemon.statusList.at(3), "BUSY");

    daemon.addStatusStr(-1, "WEIRD");
    EXPECT_EQ(daemon.statusList.at(4294967295u), "WEIRD");
}

// Every peer refuses an Info holding text that is not UTF-8: such a name,
// unit, description or argument name is refused where it is declared, and
// nothing of it is kept.
TEST(DaemonTables, TextThatIsNotUtf8IsRefusedWhereItIsDeclared)
{
    TestDaemon daemon;
    corvotest::CapturedDiagnostics quiet;
    const std::string latin1 = "\xb0"
                               "C";
    auto handler = [] {};
    EXPECT_THROW(daemon.createProperty("t" + latin1, corvo::Property::DOUBLE, "a", false), corvo::CorvoError);
    EXPECT_THROW(daemon.createProperty("t", corvo::Property::DOUBLE, latin1, "a", false), corvo::CorvoError);
    EXPECT_THROW(daemon.createProperty("t", corvo::Property::DOUBLE, "b" + latin1, false), corvo::CorvoError);
    EXPECT_THROW(daemon.createCommand("go" + latin1, handler, "go"), corvo::CorvoError);
    EXPECT_THROW(daemon.createCommand("go", handler, "go " + latin1), corvo::CorvoError);
    EXPECT_THROW(daemon.createCommand("go", [](double) {}, "go", {"\xe9"}), corvo::CorvoError);
    std::string arg = "\xe9";
    EXPECT_THROW(daemon.createCommand(
                     "go", [](std::vector<std::string>) {}, "go", 1, corvo::ARG_INT, arg.c_str()),
                 corvo::CorvoError);
    EXPECT_THROW(daemon.addStatusStr(7, "H" + latin1), corvo::CorvoError);
    EXPECT_TRUE(daemon.properties.empty());
    EXPECT_TRUE(daemon.commands.empty());
    EXPECT_EQ(daemon.statusList.count(7), 0u);

    daemon.createProperty("t", corvo::Property::DOUBLE,
                          "\xc2\xb0"
                          "C",
                          "temperature", false);
    daemon.createCommand(
        "go", [](std::vector<std::string>) {}, "go", 1, corvo::ARG_INT, "caf\xc3\xa9");
    corvo::proto::Info info = daemon.composeInfo();
    EXPECT_EQ(info.properties_size(), 1);
    ASSERT_EQ(info.commands_size(), 1);
    EXPECT_EQ(info.commands(0).args_size(), 1);
}

TEST(DaemonTables, InfoListsPropertiesByNameCommandsWithArgumentsAndStatusByValue)
{
    TestDaemon daemon;
    daemon.createProperty("zoom", corvo::Property::INT, "zoom level", true);
    daemon.createProperty("alpha", corvo::Property::STRING, "first", false);
    daemon.createProperty("mid", corvo::Property::DOUBLE, "deg", "angle", true);
    daemon.createProperty("alpha", corvo::Property::DOUBLE, "second", true);  // replaces the first
    daemon.createCommand(
        "goto", [](std::vector<std::string>) {}, "go somewhere", 2, corvo::ARG_DOUBLE, "ra", corvo::ARG_DOUBLE, "dec");
    daemon.addStatusStr(5, "FIVE");
    daemon.addStatusStr(1, "ONE");

    corvo::proto::Info info = daemon.composeInfo();
    ASSERT_EQ(info.properties_size(), 3);
    EXPECT_EQ(info.properties(0).name(), "alpha");
    EXPECT_EQ(info.properties(0).description(), "second");
    EXPECT_EQ(info.properties(1).name(), "mid");
    EXPECT_EQ(info.properties(1).egu(), "deg");
    EXPECT_EQ(info.properties(2).name(), "zoom");

    ASSERT_EQ(info.commands_size(), 1);
    EXPECT_EQ(info.commands(0).cmd_name(), "goto");
    EXPECT_EQ(info.commands(0).description(), "go somewhere");
    ASSERT_EQ(info.commands(0).args_size(), 2);
    EXPECT_EQ(info.commands(0).args(0).argname(), "ra");
    EXPECT_EQ(info.commands(0).args(1).argname(), "dec");
    EXPECT_EQ(info.commands(0).args(1).type(), corvo::proto::ArgDesc::DOUBLE);

    ASSERT_EQ(info.status_list_size(), 3);
    EXPECT_EQ(info.status_list(0).status(), 0u);
    EXPECT_EQ(info.status_list(1).status(), 1u);
    EXPECT_EQ(info.status_list(2).status(), 5u);
}

TEST(DaemonTables, InfoIsTheRecordCreateInfoComposesFromTheSameTables)
{
    TestDaemon daemon;
    daemon.createProperty("gain", corvo::Property::DOUBLE, "dB", "amplifier gain", true);
    daemon.createCommand(
        "move", [](std::vector<std::string>) {}, "move by", 2, corvo::ARG_INT, "steps", corvo::ARG_BOOL, "fast");
    daemon.addStatusStr(7, "MOVING");
    daemon.changeStatus(7);

    std::vector<corvo::Property> properties;
    for (const auto& entry : daemon.properties)
        properties.push_back(*entry.second);
    std::vector<corvo::CommandDef> commands;
    for (const auto& entry : daemon.commands)
        commands.push_back(entry.second);
    corvo::proto::Info expected = corvo::createInfo(properties, commands, daemon.statusList, daemon.getStatus());
    corvo::proto::Info composed = daemon.composeInfo();
    EXPECT_EQ(composed.SerializeAsString(), expected.SerializeAsString());
    EXPECT_EQ(composed.status(), 7u);
}

TEST(DaemonStatus, ChangesAreLoggedWithTheirText)
{
    TestDaemon daemon;
    daemon.addStatusStr(2, "MOVING");
    daemon.prepare();
    std::string out;
    {
        corvotest::CapturedStream console(STDOUT_FILENO);  // the daemon's log
        daemon.changeStatus(2);
        daemon.changeStatus(7);
        out = console.take();
    }
    EXPECT_EQ(daemon.getStatus(), 2u);
    EXPECT_NE(out.find("[info] Switch to new status MOVING"), std::string::npos) << out;
    EXPECT_NE(out.find("[error] Status value 7 out of range"), std::string::npos) << out;
}

TEST(DaemonErrors, ExceptionsFromTheLoopGoToTheDaemonLogAtErrorLevel)
{
    TestDaemon daemon;
    daemon.prepare();
    std::string out;
    {
        corvotest::CapturedStream console(STDOUT_FILENO);  // the daemon's log
        daemon.beforeLoop();
        daemon.reportException("disk full");
        out = console.take();
    }
    EXPECT_NE(out.find("[tester] [info] Start looping..."), std::string::npos) << out;
    EXPECT_NE(out.find("[tester] [error] Unhandled exception in event handling: disk full"), std::string::npos) << out;
}

class DaemonCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        daemon.createCommand(
            "move", [this](std::vector<std::string> args) { received.push_back(args); }, "two arguments", 2,
            corvo::ARG_STRING, "axis", corvo::ARG_DOUBLE, "position");
        daemon.createCommand(
            "stop", [this](std::vector<std::string> args) { received.push_back(args); }, "no arguments");
        daemon.createCommand(
            "picky", [](std::vector<std::string>) { throw corvo::CorvoArgError(); }, "rejects", 1, corvo::ARG_INT, "n");
        daemon.prepare();
    }

    // Runs the command and returns what the daemon logged to the console.
    std::string dispatch(std::vector<std::string> words)
    {
        corvotest::CapturedDiagnostics quiet;
        corvotest::CapturedStream console(STDOUT_FILENO);
        daemon.onCommand(somePeer(), commandRecord(std::move(words)));
        return console.take();
    }

    TestDaemon daemon;
    std::vector<std::vector<std::string>> received;
};

TEST_F(DaemonCommands, ArgumentsArriveInOrder)
{
    EXPECT_EQ(dispatch({"move", "a", "b"}), "");
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], (std::vector<std::string>{"a", "b"}));
    dispatch({"stop"});
    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(received[1].empty());
}

TEST_F(DaemonCommands, AWrongNumberOfArgumentsIsLoggedAndNotExecuted)
{
    std::string out = dispatch({"move", "5"});
    EXPECT_NE(out.find("[error] Wrong argument. Received: move 5 (from client: 'move' takes 2 arguments, got 1)\n"),
              std::string::npos)
        << out;
    out = dispatch({"move", "x", "5", "6"});
    EXPECT_NE(out.find("Wrong argument. Received: move x 5 6 (from client: "), std::string::npos) << out;
    out = dispatch({"stop", "now"});
    EXPECT_NE(out.find("Wrong argument. Received: stop now (from client: 'stop' takes 0 arguments, got 1)\n"),
              std::string::npos)
        << out;
    EXPECT_TRUE(received.empty());
}

TEST_F(DaemonCommands, AnUnknownNameIsAWrongArgumentAndAddsNothing)
{
    std::string out = dispatch({"x", "5"});
    EXPECT_NE(out.find("Wrong argument. Received: x 5 (from client: unknown command 'x')\n"), std::string::npos) << out;
    EXPECT_EQ(daemon.commands.size(), 3u);
    EXPECT_EQ(daemon.composeInfo().commands_size(), 3);
}

TEST_F(DaemonCommands, AFunctionRejectingItsArgumentsIsAWrongArgument)
{
    std::string out = dispatch({"picky", "z"});
    EXPECT_NE(out.find("Wrong argument. Received: picky z (from client: 'picky' refused its arguments)\n"),
              std::string::npos)
        << out;
}

TEST_F(DaemonCommands, OtherExceptionsLeaveTheDispatch)
{
    daemon.createCommand(
        "broken", [](std::vector<std::string>) { throw std::runtime_error("disk full"); }, "");
    daemon.createCommand("empty", nullptr, "");
    EXPECT_THROW(daemon.onCommand(somePeer(), commandRecord({"broken"})), std::runtime_error);
    EXPECT_THROW(daemon.onCommand(somePeer(), commandRecord({"empty"})), std::bad_function_call);
}

TEST_F(DaemonCommands, AFunctionThatReplacesItsOwnCommandFinishesTheCallInProgress)
{
    int calls = 0;
    daemon.createCommand(
        "self",
        [&](std::vector<std::string> args) {
            daemon.createCommand(
                "self", [](std::vector<std::string>) {}, "replaced");
            ++calls;
            EXPECT_EQ(args, std::vector<std::string>{"1"});
        },
        "replaces itself", 1, corvo::ARG_INT, "n");
    dispatch({"self", "1"});
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(daemon.commands.at("self").description, "replaced");
}

class DaemonPropertyRequests : public ::testing::Test {
protected:
    void SetUp() override
    {
        daemon.createProperty("gain", corvo::Property::INT, "gain", true);
        daemon.createProperty("serial", corvo::Property::STRING, "serial number", false);
        daemon.prepare();
    }

    std::string request(const std::string& name, long value, const std::string& text = "")
    {
        corvo::proto::PropertyChange change;
        change.set_name(name);
        change.set_command(true);
        if (text.empty())
            change.mutable_intval()->set_value(value);
        else
            change.mutable_strval()->set_value(text);
        corvotest::CapturedDiagnostics captured;
        daemon.onPropertyCommand(somePeer(), change);
        return captured.stderrText();
    }

    TestDaemon daemon;
    BroadcastCounter broadcasts;
};

TEST_F(DaemonPropertyRequests, AWritablePropertyTakesTheValueAndBroadcastsOnce)
{
    std::string trace = request("gain", 42);
    EXPECT_EQ(daemon.getProperty("gain")->getValue<long>(), 42);
    EXPECT_EQ(BroadcastCounter::names, std::vector<std::string>{"gain"});
    // No send time in the request: no delay is told.
    EXPECT_EQ(trace.rfind("onPropertyCommand: client, msg: ", 0), 0u) << trace;
    EXPECT_NE(trace.find(", msg: name: \"gain\""), std::string::npos) << trace;
    EXPECT_EQ(trace.back(), '\n');
}

TEST_F(DaemonPropertyRequests, TheConsoleLineOfEachChangeIsThrottledPerRequesterAndToldItsDelay)
{
    corvo::proto::PropertyChange change;
    change.set_name("gain");
    change.set_command(true);
    change.mutable_intval()->set_value(7);
    corvo::setTimestampNow(change.mutable_send_ts());
    corvotest::CapturedDiagnostics captured;
    for (int i = 0; i < 100; ++i)
        daemon.onPropertyCommand(somePeer(), change);
    std::string trace = captured.takeStderr();
    EXPECT_EQ(trace.rfind("onPropertyCommand: client, delayus: ", 0), 0u) << trace;
    size_t lines = 0;
    for (size_t at = trace.find("onPropertyCommand: client, "); at != std::string::npos;
         at = trace.find("onPropertyCommand: client, ", at + 1))
        ++lines;
    EXPECT_EQ(lines, 20u);
    EXPECT_EQ(daemon.getProperty("gain")->getValue<long>(), 7);
    // The count of the lines held back is written when the daemon stops.
    daemon.cleanup();
    trace = captured.takeStderr();
    EXPECT_NE(trace.find("onPropertyCommand: last line of client repeated 80 times"), std::string::npos) << trace;
}

TEST_F(DaemonPropertyRequests, ReadOnlyAndUnknownPropertiesAreLeftAlone)
{
    EXPECT_EQ(request("serial", 0, "forged"), "");
    EXPECT_EQ(request("nothere", 1), "");
    EXPECT_EQ(daemon.getProperty("serial")->toString(), "");
    EXPECT_FALSE(daemon.getProperty("nothere"));
    EXPECT_TRUE(BroadcastCounter::names.empty());
}

// Requests as the network hands them over: checked before the overridable
// handlers run.
class DaemonRequestChecks : public ::testing::Test {
protected:
    class Overriding : public TestDaemon {
    public:
        void onPropertyCommand(std::shared_ptr<corvo::Peer> peer, const corvo::proto::PropertyChange& change) override
        {
            ++overrideCalls;
            TestDaemon::onPropertyCommand(peer, change);
        }
        void onCommand(std::shared_ptr<corvo::Peer> peer, const corvo::proto::Command& command) override
        {
            ++overrideCalls;
            TestDaemon::onCommand(peer, command);
        }
        int overrideCalls = 0;
    };

    void SetUp() override
    {
        daemon.createProperty("gain", corvo::Property::INT, "gain", true);
        daemon.createProperty("exposure", corvo::Property::DOUBLE, "s", "exposure", true);
        daemon.createProperty("serial", corvo::Property::STRING, "serial number", false);
        daemon.getProperty("gain")->valueMin = 0L;
        daemon.getProperty("gain")->valueMax = 16L;
        daemon.getProperty("gain")->addChoice(1, "low");
        daemon.getProperty("gain")->addChoice(4, "high");
        daemon.getProperty("exposure")->valueMin = 0.0;
        daemon.getProperty("exposure")->valueMax = 60.0;
        daemon.createCommand(
            "move", [this](std::vector<std::string> args) { moves.push_back(args); }, "", 2, corvo::ARG_INT, "slot",
            corvo::ARG_DOUBLE, "focus");
        daemon.prepare();
    }

    // Hands the request over as the network does; returns what was logged.
    std::string handle(const corvo::proto::PropertyChange& change, std::shared_ptr<corvo::Peer> from = somePeer())
    {
        corvotest::CapturedDiagnostics quiet;
        corvotest::CapturedStream console(STDOUT_FILENO);
        daemon.handlePropertyCommand(from, change);
        return console.take();
    }
    std::string handle(const corvo::proto::Command& command, std::shared_ptr<corvo::Peer> from = somePeer())
    {
        std::string out, err;
        {
            corvotest::CapturedDiagnostics captured;
            corvotest::CapturedStream console(STDOUT_FILENO);
            daemon.handleCommand(from, command);
            err = captured.stderrText();
            out = console.take();
        }
        EXPECT_EQ(err.find("stack trace"), std::string::npos) << err;
        return out;
    }

    static corvo::proto::PropertyChange change(const std::string& name)
    {
        corvo::proto::PropertyChange c;
        c.set_name(name);
        c.set_command(true);
        return c;
    }

    static size_t count(const std::string& text, const std::string& what)
    {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    Overriding daemon;
    BroadcastCounter broadcasts;
    std::vector<std::vector<std::string>> moves;
};

TEST_F(DaemonRequestChecks, AChangeHandedOverWithoutAPeerIsAppliedAndPublished)
{
    // The program's own request (no peer): checked, applied and published,
    // and the record names no requester instead of reading a null peer.
    auto request = change("gain");
    request.mutable_intval()->set_value(4);
    corvotest::CapturedDiagnostics captured;
    daemon.handlePropertyCommand(nullptr, request);
    std::string err = captured.takeStderr();
    EXPECT_EQ(daemon.getProperty("gain")->getValue<long>(), 4);
    EXPECT_EQ(daemon.overrideCalls, 1);
    EXPECT_EQ(BroadcastCounter::names, std::vector<std::string>{"gain"});
    EXPECT_NE(err.find("(local)"), std::string::npos) << err;
}

TEST_F(DaemonRequestChecks, RefusedChangesLeaveEverythingAsItWasAndAreLoggedOnceWithTheRequester)
{
    auto nan = change("exposure");
    nan.mutable_doubleval()->set_value(std::nan(""));
    auto inf = change("exposure");
    inf.mutable_doubleval()->set_value(INFINITY);
    auto outside = change("gain");
    outside.mutable_intval()->set_value(99);
    auto notAChoice = change("gain");
    notAChoice.mutable_intval()->set_value(2);
    auto wrongKind = change("gain");
    wrongKind.mutable_strval()->set_value("4");
    auto readOnly = change("serial");
    readOnly.mutable_strval()->set_value("forged");
    auto unknown = change("nothere");
    unknown.mutable_intval()->set_value(1);

    auto requester = std::make_shared<corvo::Peer>("intruder", "UUID-I", "");
    for (const auto* request : {&nan, &inf, &outside, &notAChoice, &wrongKind, &readOnly, &unknown}) {
        std::string out = handle(*request, requester);
        EXPECT_EQ(count(out, "[error] Refused change of " + request->name() + " from intruder: "), 1u) << out;
        // A new requester for each: the rate limit is tested below.
        requester = std::make_shared<corvo::Peer>("intruder", requester->uuid + "x", "");
    }
    EXPECT_EQ(daemon.overrideCalls, 0);
    EXPECT_TRUE(BroadcastCounter::names.empty());
    EXPECT_EQ(daemon.getProperty("gain")->intValue, 0);
    EXPECT_EQ(daemon.getProperty("exposure")->doubleValue, 0.0);
    EXPECT_EQ(daemon.getProperty("serial")->strValue, "");
    EXPECT_EQ(daemon.getProperty("gain")->choices.size(), 2u);
    EXPECT_FALSE(daemon.getProperty("nothere"));
}

TEST_F(DaemonRequestChecks, AcceptedChangesReachTheOverrideWithTheirValueOnly)
{
    auto request = change("gain");
    request.mutable_intval()->set_value(4);
    request.mutable_intval()->set_value_max(1000000);
    auto* forged = request.mutable_intval()->add_choices();
    forged->set_choice_val(7);
    forged->set_choice_string("forged");
    handle(request);
    EXPECT_EQ(daemon.overrideCalls, 1);
    EXPECT_EQ(daemon.getProperty("gain")->intValue, 4);
    EXPECT_EQ(boost::get<long>(daemon.getProperty("gain")->valueMax), 16);
    EXPECT_EQ(daemon.getProperty("gain")->choices.count(7), 0u);
    EXPECT_EQ(BroadcastCounter::names, std::vector<std::string>{"gain"});
}

TEST_F(DaemonRequestChecks, CommandsWithUnknownNamesOrArgumentsThatDoNotFitAreRefused)
{
    corvo::proto::Command unknown = commandRecord({"launch"});
    EXPECT_NE(handle(unknown).find("(from client: unknown command 'launch')"), std::string::npos);
    EXPECT_NE(handle(commandRecord({"move", "3"})).find("'move' takes 2 arguments, got 1"), std::string::npos);
    EXPECT_NE(handle(commandRecord({"move", "3.5", "1"})).find("argument 1 (slot) of 'move' is not an integer"),
              std::string::npos);
    EXPECT_NE(handle(commandRecord({"move", "3", "nan"})).find("argument 2 (focus) of 'move' is not a finite number"),
              std::string::npos);
    EXPECT_TRUE(moves.empty());
    EXPECT_EQ(daemon.overrideCalls, 0);
    handle(commandRecord({"move", " 3", "-1.5e0"}));
    EXPECT_EQ(daemon.overrideCalls, 1);
    ASSERT_EQ(moves.size(), 1u);
    EXPECT_EQ(moves[0], (std::vector<std::string>{" 3", "-1.5e0"}));
}

TEST_F(DaemonRequestChecks, ErrorsOfOnePeerAreRateLimitedAndCounted)
{
    std::string out;
    auto peer = somePeer();
    {
        corvotest::CapturedStream console(STDOUT_FILENO);
        for (int i = 0; i < 2000; ++i)
            daemon.handleCommand(peer, commandRecord({"bogus", std::to_string(i)}));
        out = console.take();
    }
    // Another peer still gets its first records written.
    auto other = std::make_shared<corvo::Peer>("other", "UUID-O", "");
    out += handle(commandRecord({"bogus"}), other);
    EXPECT_EQ(count(out, "Wrong argument. Received: bogus "), 6u) << out;  // 5 + 1
    EXPECT_EQ(count(out, "(from other: "), 1u);
    EXPECT_LT(out.size(), 2000u);  // about 150 bytes a record

    // Held back records are counted when the daemon stops.
    {
        corvotest::CapturedStream console(STDOUT_FILENO);
        daemon.cleanup();
        out = console.take();
    }
    EXPECT_NE(out.find("[error] Last message from client repeated 1995 times"), std::string::npos) << out;
}

TEST_F(DaemonRequestChecks, PeerTextInTheConsoleLogIsEscaped)
{
    auto evil = std::make_shared<corvo::Peer>("evil\x1b]0;owned\x07", "UUID-E", "");
    std::string out = handle(commandRecord({"\x1b[2Jwipe\nfake line"}), evil);
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_NE(out.find("Received: \\x1b[2Jwipe\\nfake line (from evil\\x1b]0;owned\\x07: "), std::string::npos) << out;
    EXPECT_EQ(count(out, "\n"), 1u) << out;
}

// Configuration values are applied to properties of the same name.
TEST(DaemonConfiguration, EntriesSetPropertiesAndBadOnesAreSkipped)
{
    corvotest::TempDir dir("corvo-daemon");
    std::string confDir = dir / "conf";
    mkdir(confDir.c_str(), 0755);
    std::ofstream(confDir + "/tester.conf")
        << "serial = A17\ngain = lots\nratio = 0.5\nslot = 2.9x\nscale = 1,5\nunknown = 3\n";
    setenv("HOME", dir.path().c_str(), 1);
    setenv("CORVO_CONF_PATH", confDir.c_str(), 1);

    TestDaemon daemon;
    daemon.createProperty("serial", corvo::Property::STRING, "read-only", false);
    daemon.createProperty("gain", corvo::Property::INT, "gain", true);
    daemon.createProperty("ratio", corvo::Property::DOUBLE, "ratio", true);
    daemon.createProperty("slot", corvo::Property::INT, "slot", true);
    daemon.createProperty("scale", corvo::Property::DOUBLE, "scale", true);
    daemon.getProperty("gain")->setValue(7L);
    daemon.getProperty("slot")->setValue(4L);
    daemon.getProperty("scale")->setValue(2.0);
    corvotest::CapturedDiagnostics captured;
    daemon.prepare();
    daemon.beforeInit();
    std::string err = captured.stderrText();

    EXPECT_EQ(daemon.getProperty("serial")->toString(), "A17");
    EXPECT_DOUBLE_EQ(daemon.getProperty("ratio")->getValue<double>(), 0.5);
    EXPECT_EQ(daemon.getProperty("gain")->getValue<long>(), 7);
    EXPECT_NE(err.find("Configuration tester: cannot set gain to \"lots\""), std::string::npos) << err;
    // A value that only begins with a number is as bad as any other.
    EXPECT_EQ(daemon.getProperty("slot")->getValue<long>(), 4);
    EXPECT_DOUBLE_EQ(daemon.getProperty("scale")->getValue<double>(), 2.0);
    EXPECT_NE(err.find("Configuration tester: cannot set slot to \"2.9x\": not an integer"), std::string::npos) << err;
    EXPECT_NE(err.find("Configuration tester: cannot set scale to \"1,5\": not a finite number"), std::string::npos)
        << err;
    EXPECT_FALSE(daemon.getProperty("unknown"));
}

// A configuration file that is there but cannot be read (here a directory
// in its place) stops the start, before going to the background: on its
// defaults the daemon would put its data where the file does not say.
TEST(DaemonConfiguration, AFileThatCannotBeReadStopsTheStart)
{
    corvotest::TempDir dir("corvo-daemon");
    std::string confDir = dir / "conf";
    mkdir(confDir.c_str(), 0755);
    mkdir((confDir + "/tester.conf").c_str(), 0755);
    setenv("HOME", dir.path().c_str(), 1);
    setenv("CORVO_CONF_PATH", confDir.c_str(), 1);
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            TestDaemon daemon;
            daemon.prepare({"--daemon"});  // a refusal after the fork would go nowhere
            daemon.beforeInit();
            std::exit(0);
        },
        ::testing::ExitedWithCode(1),
        "tester: configuration .*/conf/tester.conf: it is not a regular file; tester "
        "does not start");
}

// A value of its own that peers would refuse (and drop the daemon for) is
// never published: a STRING setter keeps the previous value, a list is not
// sent and its Info entry travels empty; each time an error names the
// property and the bound.
TEST(DaemonOwnValues, ValuesBeyondThePeersBoundsAreNeverPublished)
{
    TestDaemon daemon;
    daemon.createProperty("label", corvo::Property::STRING, "label", false);
    daemon.createProperty("names", corvo::Property::STR_LIST, "names", false);
    daemon.createProperty("spectrum", corvo::Property::DOUBLE_LIST, "spectrum", false);
    daemon.createProperty("n", corvo::Property::INT, "n", false);
    daemon.prepare();
    corvotest::CapturedDiagnostics captured;

    auto label = daemon.getProperty("label");
    label->setValue(std::string("short"));
    label->setValue(std::string(corvo::kMaxPropertyStringBytes + 1, 'x'));
    EXPECT_EQ(label->getValue<std::string>(), "short");
    std::string err = captured.takeStderr();
    EXPECT_NE(err.find("Value of label not published: a string of 65537 bytes (at most 65536)"), std::string::npos)
        << err;

    auto names = daemon.getProperty("names");
    names->strList.assign(corvo::kMaxPropertyListItems + 1, "a");
    names->sendProperty();
    auto spectrum = daemon.getProperty("spectrum");
    spectrum->doubleList.assign(corvo::kMaxPropertyListItems + 1, 0.5);
    spectrum->sendProperty();
    err = captured.takeStderr();
    EXPECT_NE(err.find("Value of names not published: 16385 list items (at most 16384)"), std::string::npos) << err;
    EXPECT_NE(err.find("Value of spectrum not published: 16385 list items (at most 16384)"), std::string::npos) << err;

    // The Info stays one that peers accept; the other values are whole.
    daemon.getProperty("n")->setValue(3L);
    corvo::proto::Info info = daemon.composeInfo();
    for (const auto& record : info.properties()) {
        EXPECT_EQ(corvo::boundsViolation(record), "") << record.name();
        if (record.name() == "names") {
            EXPECT_EQ(record.strlist().values_size(), 0);
        } else if (record.name() == "spectrum") {
            EXPECT_EQ(record.doublelist().values_size(), 0);
        } else if (record.name() == "label") {
            EXPECT_EQ(record.strval().value(), "short");
        } else if (record.name() == "n") {
            EXPECT_EQ(record.intval().value(), 3);
        }
    }

    // A value back within the bounds is published again; a repeated error
    // is written a few times, then counted.
    spectrum->doubleList.assign(corvo::kMaxPropertyListItems, 0.5);
    spectrum->sendProperty();
    err = captured.takeStderr();
    EXPECT_EQ(err, "");
    for (int i = 0; i < 50; ++i)
        names->sendProperty();
    err = captured.takeStderr();
    EXPECT_LE(std::count(err.begin(), err.end(), '\n'), 5) << err;
    {
        corvotest::CapturedStream console(STDOUT_FILENO);
        daemon.cleanup();
        err = console.take();
    }
    EXPECT_NE(err.find("Value of names not published: last message repeated 46 times"), std::string::npos) << err;
}

// Values within the per-item bounds can still pass the 16 MiB a peer keeps:
// one property's value is held to kMaxOwnValueBytes, and the values of one
// Info together to kMaxOwnInfoValueBytes (those past it travel empty); an
// error names the property each time.
TEST(DaemonOwnValues, ValuesThatTogetherPassWhatAPeerKeepsAreNotSent)
{
    TestDaemon daemon;
    for (const char* name : {"a", "b", "c", "d", "huge"})
        daemon.createProperty(name, corvo::Property::STR_LIST, name, false);
    daemon.prepare();
    corvotest::CapturedDiagnostics captured;

    auto huge = daemon.getProperty("huge");
    huge->strList.assign(16000, std::string(1100, 'x'));
    huge->sendProperty();
    std::string err = captured.takeStderr();
    EXPECT_NE(err.find("Value of huge not published: a value of 18624000 bytes (at most 4194304)"), std::string::npos)
        << err;

    // Four values of 3.6 MB each: each fits, not all four together.
    for (const char* name : {"a", "b", "c", "d"}) {
        daemon.getProperty(name)->strList.assign(10000, std::string(300, 'y'));
        daemon.getProperty(name)->sendProperty();
    }
    EXPECT_EQ(captured.takeStderr(), "");
    corvo::proto::Info info = daemon.composeInfo();
    EXPECT_LT(info.ByteSizeLong(), corvo::kMaxPayloadBytes);
    size_t whole = 0;
    for (const auto& record : info.properties())
        if (record.strlist().values_size() == 10000)
            ++whole;
    EXPECT_EQ(whole, 3u);
    err = captured.takeStderr();
    EXPECT_NE(err.find("Value of d sent empty in the Info: the values together pass 12582912 bytes"), std::string::npos)
        << err;
}

// A configuration value is held to what a peer's request would be: inside
// the limits and choices and the size bounds, and valid UTF-8, else skipped
// with a warning.
TEST(DaemonConfiguration, ValuesOutsideTheLimitsChoicesOrBoundsAreSkipped)
{
    corvotest::TempDir dir("corvo-daemon");
    std::string confDir = dir / "conf";
    mkdir(confDir.c_str(), 0755);
    std::string longList = "7";
    for (size_t i = 0; i < corvo::kMaxPropertyListItems; ++i)
        longList += ",7";
    std::ofstream(confDir + "/tester.conf")
        << "slot = 9\nmode = 3\nratio = 1.5\nlevel = 4\noffsets = " << longList << "\nlabel = H\xe9\n";
    setenv("HOME", dir.path().c_str(), 1);
    setenv("CORVO_CONF_PATH", confDir.c_str(), 1);

    TestDaemon daemon;
    daemon.createProperty("slot", corvo::Property::INT, "slot", true);
    daemon.createProperty("mode", corvo::Property::INT, "mode", true);
    daemon.createProperty("ratio", corvo::Property::DOUBLE, "ratio", true);
    daemon.createProperty("level", corvo::Property::INT, "level", true);
    daemon.createProperty("offsets", corvo::Property::INT_LIST, "offsets", true);
    auto slot = daemon.getProperty("slot");
    slot->valueMin = 0L;
    slot->valueMax = 5L;
    slot->setValue(2L);
    auto mode = daemon.getProperty("mode");
    mode->addChoice(1, "ONE");
    mode->addChoice(2, "TWO");
    mode->setValue(1L);
    auto ratio = daemon.getProperty("ratio");
    ratio->valueMin = 0.0;
    ratio->valueMax = 1.0;
    ratio->setValue(0.25);
    daemon.getProperty("offsets")->intList = {1, 2};
    daemon.createProperty("label", corvo::Property::STRING, "label", true);
    daemon.getProperty("label")->setValue(std::string("init"));
    corvotest::CapturedDiagnostics captured;
    daemon.prepare();
    daemon.beforeInit();
    std::string err = captured.stderrText();

    EXPECT_EQ(slot->getValue<long>(), 2);
    EXPECT_NE(err.find("Configuration tester: cannot set slot to \"9\": value outside the limits [0, 5]"),
              std::string::npos)
        << err;
    EXPECT_EQ(mode->getValue<long>(), 1);
    EXPECT_NE(err.find("cannot set mode to \"3\": value is none of the choices 1=ONE, 2=TWO"), std::string::npos)
        << err;
    EXPECT_DOUBLE_EQ(ratio->getValue<double>(), 0.25);
    EXPECT_NE(err.find("cannot set ratio to \"1.5\": value outside the limits [0, 1]"), std::string::npos) << err;
    EXPECT_EQ(daemon.getProperty("offsets")->intList, (std::vector<int64_t>{1, 2}));
    EXPECT_NE(err.find("cannot set offsets to \"7,7,7"), std::string::npos) << err;
    EXPECT_NE(err.find("16385 list items (at most 16384)"), std::string::npos) << err;
    EXPECT_LT(err.size(), 2000u);  // the long value is quoted cut
    // Latin-1 text in a hand-edited file: no peer could decode it.
    EXPECT_EQ(daemon.getProperty("label")->toString(), "init");
    EXPECT_NE(err.find("cannot set label to \"H\\xe9\": a string that is not valid UTF-8"), std::string::npos) << err;
    // A value that fits is applied.
    EXPECT_EQ(daemon.getProperty("level")->getValue<long>(), 4);
}

}  // namespace
