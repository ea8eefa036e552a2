// A scenario for a test client: steps, each an action and then a condition
// awaited with a deadline, run one after the other from the client's idle
// callback (the application thread), so no step races the events it awaits.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace corvotest {

struct Step {
    std::string name;
    std::function<void()> action;  // may be empty
    std::function<bool()> done;
    std::chrono::milliseconds timeout{20000};
};

// A client derives from it too and calls advance() from onIdle:
//   void onIdle() override { if (!advance()) stop(); }
class Scenario {
public:
    std::vector<Step> steps;
    // Which step timed out; empty while none has.
    std::string failure;

protected:
    // Runs the current step's action once and moves on when its condition
    // holds. False when every step is done or one timed out.
    bool advance()
    {
        if (current >= steps.size() || !failure.empty())
            return false;
        Step& step = steps[current];
        if (!started) {
            started = true;
            stepStart = std::chrono::steady_clock::now();
            if (step.action)
                step.action();
        }
        if (step.done()) {
            ++current;
            started = false;
        } else if (std::chrono::steady_clock::now() - stepStart > step.timeout) {
            failure = "step \"" + step.name + "\" timed out";
            return false;
        }
        return true;
    }

private:
    size_t current = 0;
    bool started = false;
    std::chrono::steady_clock::time_point stepStart;
};

}  // namespace corvotest
