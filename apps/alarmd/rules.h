// The alarm rules file of corvo-alarmd: settings, then one block per rule.
// The grammar is in apps/alarmd/README.md; parse errors name the line.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvo::alarmd {

class RulesError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Severity { Minor, Major };
const char* severityName(Severity severity);

// What a rule watches and when it holds.
enum class ConditionKind {
    Compare,  // PEER.PROPERTY OP VALUE
    Inside,   // PEER.PROPERTY in LOW..HIGH
    Outside,  // PEER.PROPERTY outside LOW..HIGH
    Status,   // PEER status OP NAME|NUMBER (OP is == or !=)
    Gone,     // PEER gone for DURATION: not on the site
    Silent,   // PEER silent for DURATION: gone, or reported silent by the node
};

enum class Op { Less, LessEqual, Greater, GreaterEqual, Equal, NotEqual };
const char* opText(Op op);

struct Action {
    std::string peer;
    std::vector<std::string> words;  // command name, then its arguments
};

struct Rule {
    std::string name;
    int line = 0;  // where "rule NAME" stands
    std::string peer;
    std::string property;  // Compare, Inside, Outside
    ConditionKind kind = ConditionKind::Compare;
    Op op = Op::Greater;
    // The value of a comparison: `number` when `numeric`, else `text`
    // (a property's text or a status name).
    bool numeric = false;
    double number = 0;
    std::string text;
    double low = 0, high = 0;  // Inside, Outside
    double forSeconds = 0;     // Gone, Silent
    Severity severity = Severity::Minor;
    double delaySeconds = 0;
    double deadband = 0;
    bool latch = false;
    std::string guidance;
    std::vector<Action> actions;

    // The condition as written after "when", for operators.
    std::string conditionText() const;
};

struct Notify {
    std::string webhook;               // http://HOST:PORT/PATH, or empty
    std::vector<std::string> command;  // program and arguments, or empty
};

struct RuleSet {
    std::vector<Rule> rules;
    double maxShelveSeconds = 8 * 3600.0;
    int actionRetries = 3;
    Notify notify[2];  // by Severity

    const Notify& notifyFor(Severity severity) const { return notify[static_cast<int>(severity)]; }
};

// Bounds on a rules file.
constexpr size_t kMaxRulesFileBytes = 8 * 1024 * 1024;
constexpr size_t kMaxRules = 16384;
constexpr size_t kMaxLineBytes = 4096;
constexpr size_t kMaxActionsPerRule = 8;
constexpr size_t kMaxActionWords = 32;
constexpr size_t kMaxGuidanceBytes = 2048;
constexpr size_t kMaxNameBytes = 64;
constexpr double kMaxDurationSeconds = 30 * 24 * 3600.0;

// Throws RulesError "SOURCE:LINE: why" at the first bad line, or
// "SOURCE: why" for a fault of the whole file.
RuleSet parseRules(const std::string& text, const std::string& source);
// Reads and parses a file; throws RulesError when it cannot be read or is bad.
RuleSet loadRules(const std::string& path);

// Seconds of "90", "1.5s", "500ms", "10m", "2h", "1d" (0 to 30 days); false
// for anything else.
bool parseDurationText(const std::string& text, double& seconds);
// Text of a number as rules and messages show it.
std::string numberText(double value);
// "5 s", "10 min", "2 h" (short, for messages).
std::string durationText(double seconds);

}  // namespace corvo::alarmd
