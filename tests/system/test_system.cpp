// The example daemon and tool as separate processes, watched by a node of
// the test. Runs inside a network namespace of its own.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <thread>

#include "observer.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using corvotest::Child;
using corvotest::Observer;

namespace {

const std::string kDaemon = CORVO_EXAMPLE_DAEMON;
const std::string kTool = CORVO_EXAMPLE_CLIENT;

class SystemTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = tmp.path();
        site = std::string("site-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }

    void TearDown() override
    {
        for (auto& child : children) {
            kill(child.pid, SIGKILL);
            corvotest::waitFor(child.pid, 2s);
        }
    }

    std::map<std::string, std::string> env() const { return {{"HOME", dir}, {"CORVO_CONF_PATH", dir + "/conf"}}; }

    Child startDaemon(std::vector<std::string> extra = {}, const std::string& siteName = "")
    {
        std::vector<std::string> argv = {kDaemon, "--interface", "lo", "--site", siteName.empty() ? site : siteName};
        argv.insert(argv.end(), extra.begin(), extra.end());
        Child child = corvotest::spawn(argv, dir, env());
        children.push_back(child);
        return child;
    }

    // Runs a program to its end (with a deadline) and returns its wait status.
    int runToEnd(std::vector<std::string> argv, Child* out = nullptr)
    {
        Child child = corvotest::spawn(argv, dir, env());
        int status = corvotest::waitFor(child.pid, 10s);
        if (out)
            *out = child;
        return status;
    }

    void forget(pid_t pid)
    {
        children.erase(std::remove_if(children.begin(), children.end(), [&](const Child& c) { return c.pid == pid; }),
                       children.end());
    }

    corvotest::TempDir tmp{"corvo-system"};  // outlives the children: TearDown ends them
    std::string dir;
    std::string site;
    std::vector<Child> children;
};

TEST_F(SystemTest, ClientReceivesInfoWithTheDaemonTables)
{
    Observer observer(site);
    startDaemon();
    auto wheel = observer.waitForInfo("wheel");
    ASSERT_TRUE(wheel);

    EXPECT_FALSE(wheel->client);
    EXPECT_EQ(wheel->type, "wheel");
    // The daemon was told to use loopback, although v0 offers broadcast.
    EXPECT_EQ(wheel->address.rfind("tcp://127.", 0), 0u) << wheel->address;

    std::set<std::string> names;
    for (const auto& entry : wheel->properties)
        names.insert(entry.first);
    EXPECT_EQ(names, (std::set<std::string>{"filters", "focus", "label", "offsets", "slot", "temps"}));
    EXPECT_EQ(wheel->properties.at("slot").type, corvo::Property::INT);
    EXPECT_EQ(wheel->properties.at("focus").type, corvo::Property::DOUBLE);
    EXPECT_EQ(wheel->properties.at("focus").egu, "mm");
    EXPECT_EQ(wheel->properties.at("temps").type, corvo::Property::DOUBLE_LIST);
    EXPECT_TRUE(wheel->properties.at("label").writable);
    EXPECT_FALSE(wheel->properties.at("filters").writable);
    EXPECT_EQ(wheel->properties.at("filters").strList, (std::vector<std::string>{"L", "R", "G", "B", "Ha", "OIII"}));

    ASSERT_EQ(wheel->commands.count("move"), 1u);
    const auto& move = wheel->commands.at("move");
    ASSERT_EQ(move.args.size(), 2u);
    EXPECT_EQ(move.args[0].type, corvo::ARG_INT);
    EXPECT_EQ(move.args[0].name, "slot");
    EXPECT_EQ(move.args[1].type, corvo::ARG_DOUBLE);
    EXPECT_EQ(wheel->commands.at("home").args.size(), 0u);

    EXPECT_EQ(wheel->statusNames, (std::map<unsigned int, std::string>{{0, "IDLE"}, {1, "MOVING"}, {2, "FAULT"}}));
    EXPECT_EQ(wheel->status, 0u);
}

TEST_F(SystemTest, CommandRunsWithItsArgumentsAndBroadcastsItsEffects)
{
    Observer observer(site);
    Child daemon = startDaemon();
    auto wheel = observer.waitForInfo("wheel");
    ASSERT_TRUE(wheel);

    observer.sendCommand(wheel, {"move", "3", "12.5"});
    ASSERT_TRUE(observer.waitUntil([&] { return observer.countProperties("focus") == 1; }, 3s));

    ASSERT_EQ(observer.countLogs("move 3 12.5"), 1u);
    EXPECT_EQ(wheel->properties.at("slot").toString(), "3");
    EXPECT_EQ(wheel->properties.at("focus").getValue<double>(), 12.5);
    // MOVING, then IDLE again, on the site group.
    ASSERT_TRUE(observer.waitUntil([&] { return observer.statuses.size() >= 2; }, 2s));
    EXPECT_EQ(observer.statuses[0], std::make_pair(std::string("wheel"), 1u));
    EXPECT_EQ(observer.statuses[1], std::make_pair(std::string("wheel"), 0u));
    EXPECT_EQ(wheel->status, 0u);
    EXPECT_EQ(wheel->properties.at("label").toString(), "B");
    EXPECT_NE(daemon.out().find("CommandDelay: "), std::string::npos);

    observer.sendCommand(wheel, {"move", "9", "1"});
    ASSERT_TRUE(observer.waitUntil([&] { return observer.statuses.size() >= 3; }, 3s));
    EXPECT_EQ(observer.statuses[2], std::make_pair(std::string("wheel"), 2u));
    EXPECT_EQ(wheel->statusNames.at(wheel->status), "FAULT");
    ASSERT_TRUE(observer.waitUntil([&] { return observer.countLogs("there is no slot 9") == 1; }, 3s));
    for (const auto& log : observer.logs) {
        if (log.message == "there is no slot 9") {
            EXPECT_EQ(log.level, corvo::proto::Log::WARN);
        }
    }
}

TEST_F(SystemTest, WrongCommandsAreLoggedToTheLogGroup)
{
    Observer observer(site);
    startDaemon();
    auto wheel = observer.waitForInfo("wheel");
    ASSERT_TRUE(wheel);

    observer.sendCommand(wheel, {"move", "3"});            // too few
    observer.sendCommand(wheel, {"move", "1", "2", "3"});  // too many
    observer.sendCommand(wheel, {"fly", "5"});             // unknown
    observer.sendCommand(wheel, {"move", "x", "1"});       // not an integer
    observer.sendCommand(wheel, {"home"});                 // fine: marks the end
    // "home" sets the focus last, after every log record of the commands.
    ASSERT_TRUE(observer.waitUntil([&] { return observer.countProperties("focus") == 1; }, 3s));

    std::vector<std::string> errors;
    for (const auto& log : observer.logs) {
        if (log.level == corvo::proto::Log::ERROR) {
            errors.push_back(log.message);
            EXPECT_EQ(log.logger, "wheel");
        }
    }
    // The received words, then the requester and the reason of the refusal.
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "Wrong argument. Received: move 3 (from observer: 'move' takes 2 arguments, got 1)",
                          "Wrong argument. Received: move 1 2 3 (from observer: 'move' takes 2 arguments, got 3)",
                          "Wrong argument. Received: fly 5 (from observer: unknown command 'fly')",
                          "Wrong argument. Received: move x 1 (from observer: argument 1 (slot) of 'move' is not an "
                          "integer)"}));
    EXPECT_EQ(observer.countLogs("move 0 0"), 1u);
    EXPECT_EQ(observer.countProperties("slot"), 1u);  // only "home" moved
}

TEST_F(SystemTest, PropertyChangeRequestGivesExactlyOneBroadcast)
{
    Observer observer(site);
    Child daemon = startDaemon();
    auto wheel = observer.waitForInfo("wheel");
    ASSERT_TRUE(wheel);

    corvo::Property readOnly = wheel->properties.at("filters");
    readOnly.setValueString("X,Y");
    observer.net.changeProperty(wheel, &readOnly);
    corvo::Property label = wheel->properties.at("label");
    label.setValue(std::string("Ha"));
    observer.net.changeProperty(wheel, &label);

    ASSERT_TRUE(observer.waitUntil([&] { return observer.countProperties("label") == 1; }, 3s));
    observer.drainFor(300ms);
    EXPECT_EQ(observer.countProperties("label"), 1u);
    EXPECT_EQ(observer.countProperties("filters"), 0u);
    EXPECT_EQ(wheel->properties.at("label").toString(), "Ha");
    EXPECT_EQ(wheel->properties.at("filters").strList.size(), 6u);
    // The daemon's diagnostics are records of its logger (on standard output).
    std::string trace = daemon.out();
    EXPECT_NE(trace.find("[info] onPropertyCommand: observer, delayus: "), std::string::npos) << trace;
    // The read-only property's request is refused, logged once, and not applied.
    EXPECT_EQ(trace.find("msg: name: \"filters\""), std::string::npos) << trace;
    EXPECT_NE(trace.find("[error] Refused change of filters from observer: property 'filters' is read-only"),
              std::string::npos)
        << trace;
}

TEST_F(SystemTest, ConfigurationGivesInitialValuesAndBadEntriesAreSkipped)
{
    std::string confDir = dir + "/conf";
    ASSERT_EQ(mkdir(confDir.c_str(), 0755), 0);
    std::ofstream(confDir + "/wheel.conf") << "label = Ha\nslot = notanumber\nfocus = 2.5\nnothere = 1\n";

    Observer observer(site);
    Child daemon = startDaemon();
    auto wheel = observer.waitForInfo("wheel");
    ASSERT_TRUE(wheel) << daemon.err();
    EXPECT_EQ(wheel->properties.at("label").toString(), "Ha");
    EXPECT_EQ(wheel->properties.at("focus").getValue<double>(), 2.5);
    EXPECT_EQ(wheel->properties.at("slot").toString(), "0");
    EXPECT_NE(daemon.err().find("cannot set slot"), std::string::npos) << daemon.err();
}

TEST_F(SystemTest, TwoSitesDoNotSeeEachOther)
{
    Observer observer(site);
    startDaemon({"--name", "other"}, site + "-elsewhere");
    startDaemon({"--name", "mine"});
    auto mine = observer.waitForInfo("mine");
    ASSERT_TRUE(mine);
    EXPECT_EQ(mine->type, "wheel");  // the class's name, whatever --name says
    observer.drainFor(1500ms);       // more than a beacon interval

    EXPECT_FALSE(observer.peerNamed("other"));
    EXPECT_FALSE(observer.hasInfo("other"));
    for (const auto& name : observer.enters)
        EXPECT_NE(name, "other");
}

TEST_F(SystemTest, OneShotClientRunsTheCommandAndExitsWithZero)
{
    Observer observer(site);
    startDaemon();
    ASSERT_TRUE(observer.waitForInfo("wheel"));

    Child tool;
    int status =
        runToEnd({kTool, "--interface", "lo", "--site", site, "--target", "wheel", "--command", "move 4 1.5"}, &tool);
    EXPECT_TRUE(corvotest::exitedWith(status, 0)) << status << tool.err();
    EXPECT_TRUE(observer.waitUntil([&] { return observer.countLogs("move 4 1.5") == 1; }, 3s));
    // The tool leaves the network when it ends; the daemon says so at once.
    EXPECT_TRUE(observer.waitUntil([&] { return observer.countLogs("Peer example-client has left") == 1; }, 2s));
    ASSERT_EQ(observer.headersAtEnter.count("example-client"), 1u);
    EXPECT_EQ(observer.headersAtEnter["example-client"], std::make_pair(true, std::string("client")));
}

TEST_F(SystemTest, OneShotClientWithoutItsDaemonFails)
{
    int status = runToEnd(
        {kTool, "--interface", "lo", "--site", site, "--target", "nobody", "--command", "home", "--wait", "200"});
    EXPECT_TRUE(corvotest::exitedWith(status, 1)) << status;
}

TEST_F(SystemTest, VersionHelpAndBadOptions)
{
    Child run;
    EXPECT_TRUE(corvotest::exitedWith(runToEnd({kDaemon, "--version", "--site", "x"}, &run), 0));
    EXPECT_EQ(run.out(), "corvo v2.1.0\n");
    EXPECT_TRUE(corvotest::exitedWith(runToEnd({kTool, "-v"}, &run), 0));
    EXPECT_EQ(run.out(), "corvo v2.1.0\n");

    EXPECT_TRUE(corvotest::exitedWith(runToEnd({kDaemon, "--help"}, &run), 1));
    EXPECT_EQ(run.out(), "");
    EXPECT_EQ(run.err().rfind("wheel\n", 0), 0u) << run.err();
    EXPECT_NE(run.err().find("--daemon"), std::string::npos);
    EXPECT_NE(run.err().find("run as daemon"), std::string::npos);

    EXPECT_TRUE(corvotest::exitedWith(runToEnd({kDaemon, "--bogus"}, &run), 1));
    EXPECT_NE(run.err().find("udp port for discovery"), std::string::npos);
    EXPECT_TRUE(corvotest::exitedWith(runToEnd({kDaemon, "--port", "abc"}, &run), 1));
    EXPECT_EQ(run.out(), "");

    // An interface that does not exist: the daemon says so and ends.
    EXPECT_TRUE(corvotest::exitedWith(runToEnd({kDaemon, "--interface", "nosuch0", "--site", site}, &run), 1));
    EXPECT_NE(run.out().find("[error] Cannot start the network node; wheel stops"), std::string::npos) << run.out();
}

// The parent of process `pid`, or -1.
pid_t parentOf(pid_t pid)
{
    std::string stat = corvotest::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    int parent = -1;
    if (end == std::string::npos || std::sscanf(stat.c_str() + end + 1, " %*c %d", &parent) != 1)
        return -1;
    return parent;
}

// Finds the background server of a double fork: the process whose command
// line holds `needle` as one argument, that does not lead its session (the
// first child does) and that this process, its subreaper, has adopted. Until
// the first child has exited the server is not adopted yet, and under the
// sanitizers the exiting process may show helper tasks with the same
// command line.
pid_t findAdoptedServer(const std::string& needle, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        DIR* proc = opendir("/proc");
        pid_t found = -1;
        while (dirent* entry = readdir(proc)) {
            pid_t pid = atoi(entry->d_name);
            if (pid <= 0)
                continue;
            std::string cmdline = corvotest::readFile("/proc/" + std::string(entry->d_name) + "/cmdline");
            if (cmdline.find(std::string(1, '\0') + needle + '\0') != std::string::npos && getsid(pid) != pid &&
                parentOf(pid) == getpid())
                found = pid;
        }
        closedir(proc);
        if (found > 0)
            return found;
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

TEST_F(SystemTest, DaemonSwitchForksToTheBackgroundAndKeepsServing)
{
    // Orphans of this test become its children, so that it can reap them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string unique = "bg" + std::to_string(getpid());
    Observer observer(site);
    Child launcher = startDaemon({"--daemon", "--name", unique});
    EXPECT_TRUE(corvotest::exitedWith(corvotest::waitFor(launcher.pid, 5s), 0));
    forget(launcher.pid);

    auto peer = observer.waitForInfo(unique);
    pid_t background = findAdoptedServer(unique, 5s);
    ASSERT_GT(background, 0);
    children.push_back(Child{background, "", ""});
    EXPECT_TRUE(peer);
    EXPECT_EQ(launcher.out(), "Fork to background\n");

    std::string cwd(256, '\0');
    ssize_t n = readlink(("/proc/" + std::to_string(background) + "/cwd").c_str(), cwd.data(), cwd.size());
    EXPECT_EQ(cwd.substr(0, n > 0 ? n : 0), "/");

    kill(background, SIGINT);
    EXPECT_TRUE(corvotest::exitedWith(corvotest::waitFor(background, 5s), 0));
    forget(background);
}

TEST_F(SystemTest, SigintStopsCleanlyAndPeersSeeTheDaemonLeave)
{
    Observer observer(site);
    Child daemon = startDaemon();
    ASSERT_TRUE(observer.waitForInfo("wheel"));

    auto sent = std::chrono::steady_clock::now();
    kill(daemon.pid, SIGINT);
    EXPECT_TRUE(corvotest::exitedWith(corvotest::waitFor(daemon.pid, 5s), 0));
    forget(daemon.pid);
    // Well before the peer would expire.
    EXPECT_TRUE(observer.waitUntil([&] { return !observer.exits.empty(); }, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 3s);
    EXPECT_FALSE(observer.peerNamed("wheel"));

    std::string out = daemon.out();
    EXPECT_NE(out.find("Start looping..."), std::string::npos) << out;
    EXPECT_NE(out.find("Stop and clean up"), std::string::npos) << out;
}

}  // namespace
