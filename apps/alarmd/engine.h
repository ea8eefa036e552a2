// The alarm states of every rule, driven by the values, statuses and
// presence of peers and by the operators' commands. Times are seconds of the
// caller's clock passed in, so that the engine is tested without waiting;
// the times it shows and saves are Unix (wall) times.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "rules.h"

namespace corvo::alarmd {

// normal; in alarm unacknowledged ("unacked"); in alarm acknowledged
// ("acked"); back to normal but unacknowledged ("rtn-unacked", latched
// rules); "shelved" until a time; "disabled".
enum class State { Normal, Unacked, Acked, ReturnedUnacked, Shelved, Disabled };
const char* stateName(State state);
std::optional<State> stateFromName(const std::string& name);

// Bounds on the free texts of a rule's state, so that its JSON always fits
// one list item that receivers accept and the state file stays within what
// it reads back: a value shown (a property's text, a status name) and who
// acted (`by`) are clipped, a longer shelve reason is refused.
constexpr size_t kMaxShownValueBytes = 256;
constexpr size_t kMaxReasonBytes = 1024;
constexpr size_t kMaxByBytes = 256;

// A value of a peer's property as the rules compare it.
struct Observation {
    bool numeric = false;
    double number = 0;
    std::string text;
};

struct ActionOutcome {
    std::string peer;
    std::string command;  // the words joined by blanks
    // "pending" (waiting for the peer), "sent", "done", "refused: REASON",
    // "peer absent", "dropped"
    std::string outcome = "pending";
};

struct RuleState {
    State state = State::Normal;
    bool tripped = false;  // the condition holds (the deadband applied)
    double trippedSince = 0;
    bool active = false;  // the condition held through the delay
    double since = 0;     // of the current state
    double activeSince = 0;
    std::string value;  // the last value seen, as text
    double shelvedUntil = 0;
    std::string note;  // reason of a shelve or a disable
    std::string by;    // who acknowledged, shelved or disabled it
    std::vector<ActionOutcome> actions;
    bool restored = false;  // state read back at start, no value seen since
};

struct Transition {
    size_t rule = 0;
    State from = State::Normal;
    State to = State::Normal;
    bool entered = false;  // the alarm was raised: its actions run
    std::string why;
};

// What the state file keeps of one rule.
struct SavedState {
    std::string rule;
    State state = State::Normal;
    double since = 0;
    double shelvedUntil = 0;
    std::string by;
    std::string note;
};

class Engine {
public:
    // `wallOffset` says how far the wall clock is ahead of the caller's
    // clock (alarmd's runs on the monotonic clock from the wall time at its
    // start); none when empty. Times in toJson and saved() are wall times,
    // and restore() takes wall times.
    Engine(RuleSet rules, double now, std::function<double()> wallOffset = nullptr);

    const RuleSet& ruleSet() const { return set; }
    const std::vector<Rule>& rules() const { return set.rules; }
    const RuleState& state(size_t rule) const { return states[rule]; }
    RuleState& mutableState(size_t rule) { return states[rule]; }
    std::optional<size_t> find(const std::string& name) const;

    // Inputs from the site.
    void propertyValue(const std::string& peer, const std::string& property, const Observation& value, double now);
    void peerStatus(const std::string& peer, unsigned int value, const std::string& name, double now);
    // The peer is on the site (at least one program of that name) or not.
    void peerPresence(const std::string& peer, bool present, double now);
    // The node reports the peer silent, or something was heard from it.
    void peerSilence(const std::string& peer, bool silent, double now);
    // Delays, shelve expiry, gone and silent conditions.
    void tick(double now);
    // True when a peer of this name has rules.
    bool watches(const std::string& peer) const;
    // The peers named in gone and silent rules.
    std::vector<std::string> presencePeers() const;

    // Operators' commands on the rules whose names match `pattern` (a shell
    // pattern). Each returns "" or why nothing was done.
    std::string ack(const std::string& pattern, const std::string& by, double now);
    std::string shelve(const std::string& pattern, double seconds, const std::string& reason, const std::string& by,
                       double now);
    std::string unshelve(const std::string& pattern, const std::string& by, double now);
    std::string disable(const std::string& pattern, const std::string& reason, const std::string& by, double now);
    std::string enable(const std::string& pattern, const std::string& by, double now);

    // The transitions since the last call, in order.
    std::vector<Transition> takeTransitions();
    // Publishes the rule again (an action's outcome changed).
    void markChanged(size_t rule) { changed.insert(rule); }
    // Rules whose state changed since the last call (for publishing).
    std::set<size_t> takeChanged();

    // Acks, shelves, disables and unacknowledged alarms, for the state file.
    std::vector<SavedState> saved() const;
    // Applied at start: rules not named stay normal; actions do not run for
    // an alarm that was raised before, when its condition still holds.
    void restore(const std::vector<SavedState>& saved, double now);

    // One rule's state as a JSON object.
    std::string toJson(size_t rule) const;

private:
    struct Presence {
        bool present = false;
        double absentSince = 0;
        bool silent = false;
        double silentSince = 0;
    };

    // A time of the caller's clock as wall time, and back (0: none, kept).
    double wallTime(double t) const;
    double clockTime(double wall) const;
    std::vector<size_t> matching(const std::string& pattern) const;
    void showValue(size_t rule, const std::string& value);
    void evaluate(size_t rule, bool trippedNow, double now);
    void refresh(size_t rule, double now);
    void activeChanged(size_t rule, double now);
    void go(size_t rule, State to, bool entered, const std::string& why, double now);
    void endSuppression(size_t rule, const std::string& why, double now);
    std::optional<bool> tripsOn(size_t rule, const Observation& value) const;
    void evaluatePresence(size_t rule, double now);

    RuleSet set;
    std::function<double()> wallOffset;
    std::vector<RuleState> states;
    std::unordered_map<std::string, size_t> byName;
    std::unordered_map<std::string, std::vector<size_t>> byProperty;  // "PEER\nPROPERTY"
    std::unordered_map<std::string, std::vector<size_t>> byStatus;    // PEER
    std::vector<size_t> presenceRules;
    std::unordered_map<std::string, Presence> presence;
    std::set<size_t> delayed;  // tripped, waiting for the delay
    std::set<size_t> shelved;
    std::vector<Transition> transitions;
    std::set<size_t> changed;
};

// A JSON string literal.
std::string jsonString(const std::string& text);

}  // namespace corvo::alarmd
