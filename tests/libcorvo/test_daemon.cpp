// The daemon's tables, its Info, its command dispatch and its handling of
// property change requests, without a running network.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "corvo/daemon.h"
#include "corvo/misc.h"
#include "corvo/peer.h"
#include "support/temp_dir.h"

namespace {

// Counts what properties publish while a test runs.
struct BroadcastCounter {
    static inline std::vector<std::string> names;
    corvo::detail::PropertyBroadcaster saved = corvo::detail::propertyBroadcaster;
    BroadcastCounter()
    {
        names.clear();
        corvo::detail::propertyBroadcaster = [](corvo::EventCallback*, corvo::Property* p) {
            names.push_back(p->name);
        };
    }
    ~BroadcastCounter() { corvo::detail::propertyBroadcaster = saved; }
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
    ::testing::internal::CaptureStderr();  // stack traces of the errors
    try {
        daemon.addStatusStr(0, "READY");
        FAIL() << "no exception";
    } catch (const corvo::CorvoError& e) {
        EXPECT_STREQ(e.what(), "Repeated status value");
    }
    daemon.addStatusStr(3, "BUSY");
    EXPECT_THROW(daemon.addStatusStr(3, "AGAIN"), corvo::CorvoError);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(daemon.statusList.at(3), "BUSY");

    daemon.addStatusStr(-1, "WEIRD");
    EXPECT_EQ(daemon.statusList.at(4294967295u), "WEIRD");
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

TEST(DaemonStatus, ChangesAreLoggedWithTheirText)
{
    TestDaemon daemon;
    daemon.addStatusStr(2, "MOVING");
    daemon.prepare();
    ::testing::internal::CaptureStdout();
    daemon.changeStatus(2);
    daemon.changeStatus(7);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(daemon.getStatus(), 2u);
    EXPECT_NE(out.find("[info] Switch to new status MOVING"), std::string::npos) << out;
    EXPECT_NE(out.find("[error] Status value 7 out of range"), std::string::npos) << out;
}

TEST(DaemonErrors, ExceptionsFromTheLoopGoToTheDaemonLogAtErrorLevel)
{
    TestDaemon daemon;
    daemon.prepare();
    ::testing::internal::CaptureStdout();
    daemon.beforeLoop();
    daemon.reportException("disk full");
    std::string out = ::testing::internal::GetCapturedStdout();
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

    // Runs the command and returns what the daemon printed.
    std::string dispatch(std::vector<std::string> words)
    {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        daemon.onCommand(somePeer(), commandRecord(std::move(words)));
        ::testing::internal::GetCapturedStderr();
        return ::testing::internal::GetCapturedStdout();
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
    EXPECT_NE(out.find("[error] Wrong argument. Received: move 5 \n"), std::string::npos) << out;
    out = dispatch({"move", "x", "5", "6"});
    EXPECT_NE(out.find("Wrong argument. Received: move x 5 6 \n"), std::string::npos) << out;
    out = dispatch({"stop", "now"});
    EXPECT_NE(out.find("Wrong argument. Received: stop now \n"), std::string::npos) << out;
    EXPECT_TRUE(received.empty());
}

TEST_F(DaemonCommands, AnUnknownNameIsAWrongArgumentAndAddsNothing)
{
    std::string out = dispatch({"x", "5"});
    EXPECT_NE(out.find("Wrong argument. Received: x 5 \n"), std::string::npos) << out;
    EXPECT_EQ(daemon.commands.size(), 3u);
    EXPECT_EQ(daemon.composeInfo().commands_size(), 3);
}

TEST_F(DaemonCommands, AFunctionRejectingItsArgumentsIsAWrongArgument)
{
    std::string out = dispatch({"picky", "z"});
    EXPECT_NE(out.find("Wrong argument. Received: picky z \n"), std::string::npos) << out;
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
        ::testing::internal::CaptureStderr();
        daemon.onPropertyCommand(somePeer(), change);
        return ::testing::internal::GetCapturedStderr();
    }

    TestDaemon daemon;
    BroadcastCounter broadcasts;
};

TEST_F(DaemonPropertyRequests, AWritablePropertyTakesTheValueAndBroadcastsOnce)
{
    std::string trace = request("gain", 42);
    EXPECT_EQ(daemon.getProperty("gain")->getValue<long>(), 42);
    EXPECT_EQ(BroadcastCounter::names, std::vector<std::string>{"gain"});
    EXPECT_EQ(trace.rfind("onPropertyCommand: client, delayus: ", 0), 0u) << trace;
    EXPECT_NE(trace.find(", msg: name: \"gain\""), std::string::npos) << trace;
    EXPECT_EQ(trace.back(), '\n');
}

TEST_F(DaemonPropertyRequests, ReadOnlyAndUnknownPropertiesAreLeftAlone)
{
    EXPECT_EQ(request("serial", 0, "forged"), "");
    EXPECT_EQ(request("nothere", 1), "");
    EXPECT_EQ(daemon.getProperty("serial")->toString(), "");
    EXPECT_FALSE(daemon.getProperty("nothere"));
    EXPECT_TRUE(BroadcastCounter::names.empty());
}

// Configuration values are applied to properties of the same name.
TEST(DaemonConfiguration, EntriesSetPropertiesAndBadOnesAreSkipped)
{
    corvotest::TempDir dir("corvo-daemon");
    std::string confDir = dir / "conf";
    mkdir(confDir.c_str(), 0755);
    std::ofstream(confDir + "/tester.conf") << "serial = A17\ngain = lots\nratio = 0.5\nunknown = 3\n";
    setenv("HOME", dir.path().c_str(), 1);
    setenv("CORVO_CONF_PATH", confDir.c_str(), 1);

    TestDaemon daemon;
    daemon.createProperty("serial", corvo::Property::STRING, "read-only", false);
    daemon.createProperty("gain", corvo::Property::INT, "gain", true);
    daemon.createProperty("ratio", corvo::Property::DOUBLE, "ratio", true);
    daemon.getProperty("gain")->setValue(7L);
    ::testing::internal::CaptureStderr();
    daemon.prepare();
    daemon.beforeInit();
    std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(daemon.getProperty("serial")->toString(), "A17");
    EXPECT_DOUBLE_EQ(daemon.getProperty("ratio")->getValue<double>(), 0.5);
    EXPECT_EQ(daemon.getProperty("gain")->getValue<long>(), 7);
    EXPECT_NE(err.find("Configuration tester: cannot set gain to \"lots\""), std::string::npos) << err;
    EXPECT_FALSE(daemon.getProperty("unknown"));
}

}  // namespace
