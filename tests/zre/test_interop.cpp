// Our node against an independent ZRE implementation (zyre.js, run by
// Node.js): discovery both ways, groups, WHISPER and SHOUT both ways, and
// departures. Skipped when Node.js or zyre.js is not installed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "zre_test_util.hpp"

extern char** environ;

using namespace zretest;

namespace {

const std::string kNpmModules = std::string(ZRE_SOURCE_DIR) + "/build/npm/node_modules";
const std::string kScript = std::string(ZRE_SOURCE_DIR) + "/tests/zre/zyrejs_peer.js";

std::string upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

std::string toHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// The string value of "key" in one JSON line of the peer script (values it
// prints never contain quotes).
std::string field(const std::string& line, const std::string& key)
{
    std::string marker = "\"" + key + "\":\"";
    size_t at = line.find(marker);
    if (at == std::string::npos)
        return {};
    at += marker.size();
    return line.substr(at, line.find('"', at) - at);
}

bool zyreJsUsable()
{
    std::string probe = "cd '" + kNpmModules + "/..' && node -e \"require('zyre.js')\" >/dev/null 2>&1";
    return access((kNpmModules + "/zyre.js/package.json").c_str(), R_OK) == 0 && std::system(probe.c_str()) == 0;
}

// One zyre.js node in a child process, driven over its stdin and stdout.
class JsPeer {
public:
    JsPeer(const std::string& name, const std::string& iface, int port)
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::string portText = std::to_string(port);
        const char* argv[] = {"node", kScript.c_str(), name.c_str(), iface.c_str(), portText.c_str(), nullptr};
        std::string nodePath = "NODE_PATH=" + kNpmModules;
        std::vector<char*> envp;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "NODE_PATH=", 10) != 0)
                envp.push_back(*e);
        envp.push_back(nodePath.data());
        envp.push_back(nullptr);
        if (posix_spawnp(&pid_, "node", &actions, nullptr, const_cast<char**>(argv), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        toChild_ = in[1];
        fromChild_ = out[0];
    }
    ~JsPeer()
    {
        if (toChild_ >= 0)
            close(toChild_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fromChild_ >= 0)
            close(fromChild_);
    }

    bool running() const { return pid_ > 0; }

    void command(const std::string& line)
    {
        std::string text = line + "\n";
        ASSERT_EQ(write(toChild_, text.data(), text.size()), ssize_t(text.size()));
    }

    // First line (seen before or arriving within `ms`) with event `ev`
    // whose fields match `want`.
    std::optional<std::string> waitFor(const std::string& ev, const std::map<std::string, std::string>& want, int ms)
    {
        auto matches = [&](const std::string& line) {
            if (field(line, "ev") != ev)
                return false;
            for (const auto& [key, value] : want)
                if (upper(field(line, key)) != upper(value))
                    return false;
            return true;
        };
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        size_t checked = 0;
        while (true) {
            for (; checked < lines_.size(); ++checked)
                if (matches(lines_[checked]))
                    return lines_[checked];
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0 || !readSome(int(left)))
                return std::nullopt;
        }
    }

    const std::vector<std::string>& lines() const { return lines_; }

private:
    bool readSome(int ms)
    {
        pollfd p = {fromChild_, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return true;
        char buffer[4096];
        ssize_t n = read(fromChild_, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        pending_.append(buffer, size_t(n));
        size_t nl;
        while ((nl = pending_.find('\n')) != std::string::npos) {
            lines_.push_back(pending_.substr(0, nl));
            pending_.erase(0, nl + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
};

class ZreInterop : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        if (!zyreJsUsable())
            GTEST_SKIP() << "zyre.js not usable under " << kNpmModules;
    }
};

TEST_P(ZreInterop, TalksWithZyreJs)
{
    const std::string iface = GetParam();
    const int port = freshPort();
    JsPeer js("jsnode", iface, port);
    ASSERT_TRUE(js.running());
    auto ready = js.waitFor("ready", {}, 10000);
    ASSERT_TRUE(ready) << "zyre.js did not start";
    std::string jsId = upper(field(*ready, "id"));
    js.command("join js-group");

    NodeOptions o;
    o.iface = iface;
    o.port = port;
    o.headers = {{"client", "0"}, {"type", "camera"}};
    o.evasive = 500;
    o.expired = 1500;
    auto ours = std::make_unique<TestNode>("ournode", o);
    zyre_join(ours->get(), "our-group");
    ASSERT_TRUE(ours->start());
    std::string ourId = ours->uuid();

    // Discovery both ways, with headers.
    auto enter = ours->waitFor(isEvent("ENTER", jsId), 5000);
    ASSERT_TRUE(enter);
    EXPECT_EQ(enter->name, "jsnode");
    EXPECT_EQ(enter->headers["type"], "js");
    EXPECT_EQ(enter->headers["client"], "1");
    auto connect = js.waitFor("connect", {{"id", ourId}}, 5000);
    ASSERT_TRUE(connect);
    EXPECT_NE(connect->find("\"type\":\"camera\""), std::string::npos) << *connect;
    EXPECT_EQ(field(*connect, "name"), "ournode");

    // Each sees the other's groups.
    EXPECT_TRUE(ours->waitFor(isEvent("JOIN", jsId, "js-group"), 5000));
    EXPECT_TRUE(js.waitFor("join", {{"id", ourId}, {"group", "our-group"}}, 5000));
    zyre_join(ours->get(), "shared");
    js.command("join shared");
    ASSERT_TRUE(ours->waitFor(isEvent("JOIN", jsId, "shared"), 5000));
    ASSERT_TRUE(js.waitFor("join", {{"id", ourId}, {"group", "shared"}}, 5000));

    // SHOUT both ways: zyre.js sends one frame and hands up the first.
    js.command("shout shared " + toHex("from js"));
    auto shout = ours->waitFor(isEvent("SHOUT", jsId, "shared"), 5000);
    ASSERT_TRUE(shout);
    EXPECT_EQ(shout->frames, std::vector<std::string>{"from js"});
    ours->shout("shared", {"from ours"});
    EXPECT_TRUE(js.waitFor("shout", {{"id", ourId}, {"group", "shared"}, {"msg", toHex("from ours")}}, 5000));
    ours->shout("shared", {"\x02", "second frame"});
    EXPECT_TRUE(js.waitFor("shout", {{"id", ourId}, {"msg", toHex("\x02")}}, 5000));

    // WHISPER both ways.
    js.command("whisper " + ourId + " " + toHex("psst ours"));
    auto whisper = ours->waitFor(isEvent("WHISPER", jsId), 5000);
    ASSERT_TRUE(whisper);
    EXPECT_EQ(whisper->frames, std::vector<std::string>{"psst ours"});
    ours->whisper(jsId, {"psst js"});
    EXPECT_TRUE(js.waitFor("whisper", {{"id", ourId}, {"msg", toHex("psst js")}}, 5000));

    // LEAVE both ways.
    js.command("leave shared");
    EXPECT_TRUE(ours->waitFor(isEvent("LEAVE", jsId, "shared"), 5000));
    zyre_leave(ours->get(), "shared");
    EXPECT_TRUE(js.waitFor("leave", {{"id", ourId}, {"group", "shared"}}, 5000));

    // Our node stops: zyre.js reports it gone.
    ours.reset();
    bool gone = js.waitFor("disconnect", {{"id", ourId}}, 6000) || js.waitFor("expired", {{"id", ourId}}, 100);
    EXPECT_TRUE(gone);

    // A new node of ours is found again, then zyre.js stops: EXIT.
    auto again = std::make_unique<TestNode>("ournode", o);
    ASSERT_TRUE(again->start());
    ASSERT_TRUE(again->waitFor(isEvent("ENTER", jsId), 5000));
    EXPECT_TRUE(js.waitFor("connect", {{"id", again->uuid()}}, 5000));
    // zyre.js's ZeroMQ binding, built against the system libzmq, now and
    // then aborts inside libzmq while closing its sockets on stop; what
    // matters here is that our node reports the peer gone.
    js.command("stop");
    EXPECT_TRUE(again->waitFor(isEvent("EXIT", jsId), 5000));
    if (getenv("ZRE_TEST_VERBOSE"))
        for (const auto& line : js.lines())
            fprintf(stderr, "zyre.js: %s\n", line.c_str());
}

INSTANTIATE_TEST_SUITE_P(Interfaces, ZreInterop, ::testing::Values("v0", "lo"));

}  // namespace
