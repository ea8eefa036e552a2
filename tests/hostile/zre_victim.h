// The program under attack in the ZRE node's hostile tests: a real program
// started as a child process on loopback, and killed at the end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "zre_attacker.h"

namespace zreattack {

// A UDP port of its own for each test, so nodes of earlier tests (still
// leaving) never interfere.
inline int freshPort()
{
    static int next = 47000 + int(getpid() % 500) * 10;
    return next++;
}

class Victims {
public:
    ~Victims()
    {
        for (auto& child : children_) {
            kill(child.pid, SIGKILL);
            corvotest::waitFor(child.pid, std::chrono::seconds(5));
        }
    }

    // The example daemon, on loopback.
    corvotest::Child daemon(int port, const std::string& name)
    {
        std::vector<std::string> argv{CORVO_EXAMPLE_DAEMON, "--interface", "lo", "--port",
                                      std::to_string(port), "--name",      name};
        if (getenv("ZRE_TEST_VERBOSE"))
            argv.push_back("--debug");
        return start(argv);
    }
    // A bare node that only reads its events: zre_test_node NAME lo PORT.
    corvotest::Child node(int port, const std::string& name, const std::string& iface = "lo")
    {
        return start({ZRE_TEST_NODE, name, iface, std::to_string(port)});
    }

    // Ends a child now, with `signal`; it is no longer killed at the end.
    void end(const corvotest::Child& child, int signal)
    {
        kill(child.pid, signal);
        corvotest::waitFor(child.pid, std::chrono::seconds(10));
        for (auto it = children_.begin(); it != children_.end(); ++it)
            if (it->pid == child.pid) {
                children_.erase(it);
                break;
            }
    }

    const std::string& dir() const { return dir_; }

private:
    corvotest::Child start(const std::vector<std::string>& argv)
    {
        auto child = corvotest::spawn(argv, dir_, {{"HOME", dir_}, {"CORVO_CONF_PATH", dir_ + "/conf"}});
        children_.push_back(child);
        return child;
    }

    corvotest::TempDir tmp_{"corvo-hostile"};
    std::string dir_ = tmp_.path();
    std::vector<corvotest::Child> children_;
};

}  // namespace zreattack
