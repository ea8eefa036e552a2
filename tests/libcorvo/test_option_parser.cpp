#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "corvo/option_parser.h"
#include "support/temp_dir.h"

using corvo::OptionParser;

namespace {

// The options every application declares.
void declareAppOptions(OptionParser& parser)
{
    parser.addOption<int>("port", 'p', "udp port for discovery");
    parser.addOption<std::string>("interface", 'i', "interface name for connection");
    parser.addOption<std::string>("site", 's', "site name");
    parser.addOption<std::string>("name", 'n', "component name");
    parser.addSwitch("debug", 'd', "debug mode (verbose zyre)");
    parser.addSwitch("version", 'v', "print version");
    parser.addSwitch("daemon", 'D', "run in background");
}

std::string expectedHelp()
{
    OptionParser parser("myapp");
    declareAppOptions(parser);
    std::ostringstream out;
    out << "myapp\n" << parser.desc << "\n";
    return out.str();
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Parses `args` in a child process, whose standard streams go to files.
// When parseArgs returns, the child prints the parsed values and exits 0.
Outcome parseInChild(std::vector<std::string> args)
{
    // The child leaves through _exit or exit, never back through this frame;
    // TempDir would not remove the directory from a child anyway.
    corvotest::TempDir dir("corvo-opt");
    std::string outPath = dir / "out";
    std::string errPath = dir / "err";

    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        static OptionParser parser("myapp");
        declareAppOptions(parser);
        std::vector<const char*> argv{"prog"};
        for (const std::string& a : args) {
            argv.push_back(a.c_str());
        }
        parser.parseArgs(static_cast<int>(argv.size()), argv.data());
        const auto& vm = parser.vm;
        std::cout << "port:" << vm.count("port");
        if (vm.count("port")) {
            std::cout << "=" << vm["port"].as<int>();
        }
        std::cout << " site:" << (vm.count("site") ? vm["site"].as<std::string>() : "-");
        std::cout << " debug:" << vm.count("debug") << "=" << vm["debug"].as<bool>();
        std::cout << " version:" << vm["version"].as<bool>() << std::endl;
        std::fflush(nullptr);
        _exit(0);
    }
    Outcome outcome;
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = readFile(outPath);
    outcome.err = readFile(errPath);
    return outcome;
}

}  // namespace

TEST(OptionNames, LongAndShortForms)
{
    OptionParser parser("t");
    declareAppOptions(parser);
    EXPECT_EQ(parser.desc.find("port", false).format_name(), "-p [ --port ]");
    EXPECT_EQ(parser.desc.find_nothrow("p", false), nullptr);  // no long option "p"
    EXPECT_EQ(parser.desc.find("help", false).format_name(), "--help");
    EXPECT_EQ(parser.desc.find("help", false).description(), "print this help");
    EXPECT_EQ(parser.desc.find("debug", false).description(), "debug mode (verbose zyre)");
    // Without a short letter, only the long form exists.
    parser.addOption<std::string>("label", 0, "a label");
    EXPECT_EQ(parser.desc.find("label", false).format_name(), "--label");
}

TEST(ParseArgs, HelpPrintsTitleAndTableToStderrAndExitsOne)
{
    for (const char* form : {"--help", "--he"}) {
        SCOPED_TRACE(form);
        Outcome o = parseInChild({form});
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, expectedHelp());
        EXPECT_NE(o.err.find("--help"), std::string::npos);
        EXPECT_NE(o.err.find("print this help"), std::string::npos);
        EXPECT_NE(o.err.find("-p [ --port ] arg"), std::string::npos);
    }
}

TEST(ParseArgs, UnknownOptionPrintsErrorThenHelp)
{
    Outcome o = parseInChild({"--bogus"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    std::string help = expectedHelp();
    ASSERT_GT(o.err.size(), help.size());
    std::string message = o.err.substr(0, o.err.size() - help.size());
    EXPECT_NE(message.find("--bogus"), std::string::npos) << message;
    EXPECT_EQ(message.back(), '\n');
    EXPECT_EQ(message.find('\n'), message.size() - 1);
    EXPECT_EQ(o.err.substr(message.size()), help);
}

TEST(ParseArgs, BadOrMissingValueExitsOne)
{
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--port", "abc"}, std::vector<std::string>{"--port"},
          std::vector<std::string>{"-p", "12x"}, std::vector<std::string>{"--site", "a", "--site", "b"}}) {
        Outcome o = parseInChild(args);
        EXPECT_EQ(o.status, 1) << args[0];
        EXPECT_EQ(o.out, "");
        EXPECT_NE(o.err.find("myapp\n"), std::string::npos);
    }
}

TEST(ParseArgs, AmbiguousPrefixIsAnError)
{
    // "d" starts both "debug" and "daemon".
    Outcome o = parseInChild({"--d"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
}

TEST(ParseArgs, ValuesAndSwitches)
{
    Outcome none = parseInChild({});
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "port:0 site:- debug:1=0 version:0\n");
    EXPECT_EQ(none.err, "");

    Outcome given = parseInChild({"-p", "6000", "-d", "-s", "north"});
    EXPECT_EQ(given.status, 0);
    EXPECT_EQ(given.out, "port:1=6000 site:north debug:1=1 version:0\n");

    Outcome longForms = parseInChild({"--port=6001", "--site=north", "--version"});
    EXPECT_EQ(longForms.status, 0);
    EXPECT_EQ(longForms.out, "port:1=6001 site:north debug:1=0 version:1\n");
}
