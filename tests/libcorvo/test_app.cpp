// Options of every program and the exit paths of run(). Exit paths run in a
// fresh process each (threadsafe death tests re-execute this program);
// nothing here starts a network node.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "corvo/app.h"
#include "support/captured_output.h"
#include "support/temp_dir.h"

namespace {

class TestApp : public corvo::App {
public:
    TestApp() : App("tester") {}

    // Stops run() before the network node exists.
    void beforeInit() override { _exit(99); }
    void cleanup() override
    {
        ++cleanups;
        if (throwInCleanup)
            throw std::runtime_error("cleanup failed");
    }

    void parse(std::vector<const char*> args)
    {
        args.insert(args.begin(), "tester");
        optionParser.parseArgs(static_cast<int>(args.size()), args.data());
        processOptions();
    }

    using App::errorReporter;
    using App::initSocket;
    using App::optionParser;
    using App::reportException;

    int cleanups = 0;
    bool throwInCleanup = false;
};

std::string readAll(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the whole program with `args`, standard output going to the file that
// the parent named in CORVO_TEST_STDOUT (the child is a new process running
// this test again, so it cannot share the parent's variables).
void runWithStdoutIn(const std::string& /*parentPath*/, std::vector<const char*> args)
{
    std::fflush(stdout);  // what the test runner printed stays out of the file
    int fd = open(getenv("CORVO_TEST_STDOUT"), O_WRONLY | O_TRUNC);
    dup2(fd, STDOUT_FILENO);
    args.insert(args.begin(), "tester");
    args.push_back(nullptr);
    TestApp app;
    app.run(static_cast<int>(args.size()) - 1, const_cast<char**>(args.data()));
    _exit(98);  // run() must not return here
}

class AppExit : public ::testing::Test {
protected:
    // The parent makes the file and removes it afterwards; a child finds
    // the name in its environment and leaves the directory alone.
    void SetUp() override
    {
        ::testing::FLAGS_gtest_death_test_style = "threadsafe";
        if (!getenv("CORVO_TEST_STDOUT")) {
            ownDir.emplace("corvo-app");
            setenv("CORVO_TEST_STDOUT", ownDir->makeFile("stdout").c_str(), 1);
        }
        out = getenv("CORVO_TEST_STDOUT");
    }
    void TearDown() override
    {
        if (ownDir)
            unsetenv("CORVO_TEST_STDOUT");
    }
    std::optional<corvotest::TempDir> ownDir;
    std::string out;
};

TEST_F(AppExit, VersionPrintsTheVersionAndExitsWithZero)
{
    EXPECT_EXIT(runWithStdoutIn(out, {"--site", "lab", "--version", "-p", "7000"}), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readAll(out), "corvo v2.1.0\n");
    EXPECT_EXIT(runWithStdoutIn(out, {"-v"}), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readAll(out), "corvo v2.1.0\n");
}

TEST_F(AppExit, HelpAndBadCommandLinesExitWithOne)
{
    EXPECT_EXIT(runWithStdoutIn(out, {"--help"}), ::testing::ExitedWithCode(1), "^tester\n");
    EXPECT_EQ(readAll(out), "");
    EXPECT_EXIT(runWithStdoutIn(out, {"--help", "--version"}), ::testing::ExitedWithCode(1), "print version");
    EXPECT_EXIT(runWithStdoutIn(out, {"--frobnicate"}), ::testing::ExitedWithCode(1), "udp port for discovery");
    EXPECT_EXIT(runWithStdoutIn(out, {"--port", "abc"}), ::testing::ExitedWithCode(1), "interface name for connection");
    EXPECT_EQ(readAll(out), "");
}

TEST_F(AppExit, AValidCommandLineGoesOnToTheHooks)
{
    EXPECT_EXIT(runWithStdoutIn(out, {"-i", "lo", "-d", "--name", "cam2", "-s", "lab1", "--port", "7000"}),
                ::testing::ExitedWithCode(99), "");
}

TEST(AppOptions, NameAndSiteFallBackToTheirDefaults)
{
    TestApp app;
    app.parse({});
    EXPECT_EQ(app.getName(), "tester");
    EXPECT_EQ(app.getSite(), "corvo");
    EXPECT_EQ(app.optionParser.vm.count("port"), 0u);
    EXPECT_EQ(app.optionParser.vm.count("interface"), 0u);
    EXPECT_EQ(app.version(), "corvo v2.1.0");

    TestApp named;
    named.parse({"--name", "cam2", "--site=lab1", "-i", "lo"});
    EXPECT_EQ(named.getName(), "cam2");
    EXPECT_EQ(named.getSite(), "lab1");
    EXPECT_EQ(named.optionParser.vm["interface"].as<std::string>(), "lo");
}

TEST(AppOptions, TheNodeJoinsOnlyTheSiteGroupAndKnowsAllThree)
{
    TestApp app;
    app.parse({"-s", "lab1"});
    EXPECT_FALSE(app.getNetwork());
    app.initSocket();
    auto network = app.getNetwork();
    ASSERT_TRUE(network);
    EXPECT_EQ(network->siteGroup, "lab1");
    EXPECT_EQ(network->propGroup, "lab1-prop");
    EXPECT_EQ(network->logGroup, "lab1-log");
    EXPECT_EQ(network->joinedGroups(), (std::unordered_set<std::string>{"lab1"}));
    EXPECT_FALSE(network->isStarted());

    TestApp plain;
    plain.parse({});
    plain.initSocket();
    EXPECT_EQ(plain.getNetwork()->logGroup, "corvo-log");
}

TEST(AppStop, EveryStopRunsCleanupEvenWithoutALoop)
{
    TestApp app;
    app.stop();
    app.stop();
    EXPECT_EQ(app.cleanups, 2);
}

TEST(AppStop, AFailingCleanupIsReportedAndStopCompletes)
{
    TestApp app;
    app.throwInCleanup = true;
    corvotest::CapturedDiagnostics captured;
    EXPECT_NO_THROW(app.stop());
    EXPECT_EQ(captured.stderrText(), "Unhandled exception in event handling: cleanup failed\n");
}

TEST(AppErrors, ExceptionsGoToTheRoleReporterWhenThereIsOne)
{
    TestApp app;
    std::vector<std::string> reported;
    app.errorReporter = [&](const std::string& text) { reported.push_back(text); };
    app.reportException("boom");
    EXPECT_EQ(reported, std::vector<std::string>{"Unhandled exception in event handling: boom"});

    // A reporter that fails itself falls back to standard error.
    app.errorReporter = [](const std::string&) { throw std::runtime_error("logger gone"); };
    corvotest::CapturedDiagnostics captured;
    app.reportException("boom");
    EXPECT_EQ(captured.stderrText(), "Unhandled exception in event handling: boom\n");
}

}  // namespace
