// Alarm states: conditions with deadband and delay, then the state machine
// of each rule (see engine.h and apps/alarmd/README.md).
#include "engine.h"

#include <fnmatch.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace corvo::alarmd {

const char* stateName(State state)
{
    switch (state) {
        case State::Normal:
            return "normal";
        case State::Unacked:
            return "unacked";
        case State::Acked:
            return "acked";
        case State::ReturnedUnacked:
            return "rtn-unacked";
        case State::Shelved:
            return "shelved";
        case State::Disabled:
            return "disabled";
    }
    return "?";
}

std::optional<State> stateFromName(const std::string& name)
{
    for (State s :
         {State::Normal, State::Unacked, State::Acked, State::ReturnedUnacked, State::Shelved, State::Disabled})
        if (name == stateName(s))
            return s;
    return std::nullopt;
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

namespace {

std::string propertyKey(const std::string& peer, const std::string& property)
{
    return peer + '\n' + property;
}

std::string isoTime(double t)
{
    if (t <= 0)
        return "";
    time_t seconds = static_cast<time_t>(t);
    struct tm tm {};
    gmtime_r(&seconds, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

bool inAlarm(State s)
{
    return s == State::Unacked || s == State::Acked;
}

}  // namespace

Engine::Engine(RuleSet rules, double now, std::function<double()> wallOffset)
    : set(std::move(rules)), wallOffset(std::move(wallOffset)), states(set.rules.size())
{
    for (size_t i = 0; i < set.rules.size(); ++i) {
        const Rule& rule = set.rules[i];
        byName[rule.name] = i;
        states[i].since = now;
        switch (rule.kind) {
            case ConditionKind::Compare:
            case ConditionKind::Inside:
            case ConditionKind::Outside:
                byProperty[propertyKey(rule.peer, rule.property)].push_back(i);
                break;
            case ConditionKind::Status:
                byStatus[rule.peer].push_back(i);
                break;
            case ConditionKind::Gone:
            case ConditionKind::Silent:
                presenceRules.push_back(i);
                presence.emplace(rule.peer, Presence{false, now, false, 0});
                break;
        }
    }
}

double Engine::wallTime(double t) const
{
    return t > 0 && wallOffset ? t + wallOffset() : t;
}

double Engine::clockTime(double wall) const
{
    return wall > 0 && wallOffset ? wall - wallOffset() : wall;
}

std::optional<size_t> Engine::find(const std::string& name) const
{
    auto it = byName.find(name);
    if (it == byName.end())
        return std::nullopt;
    return it->second;
}

bool Engine::watches(const std::string& peer) const
{
    if (byStatus.count(peer) || presence.count(peer))
        return true;
    for (const auto& [key, rules] : byProperty)
        if (key.compare(0, peer.size() + 1, peer + '\n') == 0)
            return true;
    return false;
}

std::vector<std::string> Engine::presencePeers() const
{
    std::vector<std::string> out;
    for (const auto& [peer, p] : presence)
        out.push_back(peer);
    return out;
}

std::optional<bool> Engine::tripsOn(size_t i, const Observation& v) const
{
    const Rule& rule = set.rules[i];
    // An alarm raised before a restart is judged with its deadband until a
    // first value says otherwise.
    bool was = states[i].tripped || (states[i].restored && states[i].active);
    double db = rule.deadband;
    if (rule.kind == ConditionKind::Compare && !rule.numeric) {
        bool equal = v.text == rule.text;
        return rule.op == Op::Equal ? equal : !equal;
    }
    if (!v.numeric || !std::isfinite(v.number))
        return std::nullopt;
    double x = v.number;
    switch (rule.kind) {
        case ConditionKind::Compare:
            switch (rule.op) {
                case Op::Greater:
                    return was ? x > rule.number - db : x > rule.number;
                case Op::GreaterEqual:
                    return was ? x >= rule.number - db : x >= rule.number;
                case Op::Less:
                    return was ? x < rule.number + db : x < rule.number;
                case Op::LessEqual:
                    return was ? x <= rule.number + db : x <= rule.number;
                case Op::Equal:
                    return x == rule.number;
                case Op::NotEqual:
                    return x != rule.number;
            }
            break;
        case ConditionKind::Inside:
            return was ? x >= rule.low - db && x <= rule.high + db : x >= rule.low && x <= rule.high;
        case ConditionKind::Outside:
            return was ? x < rule.low + db || x > rule.high - db : x < rule.low || x > rule.high;
        default:
            break;
    }
    return std::nullopt;
}

void Engine::propertyValue(const std::string& peer, const std::string& property, const Observation& value, double now)
{
    auto it = byProperty.find(propertyKey(peer, property));
    if (it == byProperty.end())
        return;
    for (size_t i : it->second) {
        showValue(i, value.text);
        auto trips = tripsOn(i, value);
        if (trips)
            evaluate(i, *trips, now);
    }
}

void Engine::peerStatus(const std::string& peer, unsigned int value, const std::string& name, double now)
{
    auto it = byStatus.find(peer);
    if (it == byStatus.end())
        return;
    for (size_t i : it->second) {
        const Rule& rule = set.rules[i];
        bool equal = rule.text == name || rule.text == std::to_string(value);
        showValue(i, name.empty() ? std::to_string(value) : name);
        evaluate(i, rule.op == Op::Equal ? equal : !equal, now);
    }
}

void Engine::peerPresence(const std::string& peer, bool present, double now)
{
    auto it = presence.find(peer);
    if (it == presence.end() || it->second.present == present)
        return;
    it->second.present = present;
    if (!present)
        it->second.absentSince = now;
    else
        it->second.silent = false;
    for (size_t i : presenceRules)
        if (set.rules[i].peer == peer)
            evaluatePresence(i, now);
}

void Engine::peerSilence(const std::string& peer, bool silent, double now)
{
    auto it = presence.find(peer);
    if (it == presence.end() || it->second.silent == silent)
        return;
    it->second.silent = silent;
    if (silent)
        it->second.silentSince = now;
    for (size_t i : presenceRules)
        if (set.rules[i].peer == peer)
            evaluatePresence(i, now);
}

void Engine::evaluatePresence(size_t i, double now)
{
    const Rule& rule = set.rules[i];
    const Presence& p = presence.at(rule.peer);
    // A peer silent before it went away has been silent since then.
    double goneSince =
        rule.kind == ConditionKind::Silent && p.silent ? std::min(p.silentSince, p.absentSince) : p.absentSince;
    bool gone = !p.present && now - goneSince >= rule.forSeconds;
    bool quiet = rule.kind == ConditionKind::Silent && p.present && p.silent && now - p.silentSince >= rule.forSeconds;
    // A state read back at start waits until the peer shows up or the
    // condition can hold: at start no peer has been discovered yet.
    if (states[i].restored && !p.present && !gone)
        return;
    showValue(i, !p.present ? "gone" : p.silent ? "silent" : "present");
    evaluate(i, gone || quiet, now);
}

void Engine::showValue(size_t i, const std::string& text)
{
    RuleState& s = states[i];
    std::string value = text.substr(0, kMaxShownValueBytes);
    if (s.value == value)
        return;
    s.value = std::move(value);
    // Published for the rules that are shown (not normal) only.
    if (s.state != State::Normal)
        changed.insert(i);
}

void Engine::evaluate(size_t i, bool trippedNow, double now)
{
    RuleState& s = states[i];
    if (s.restored) {
        // The first value after a start: an alarm raised before the restart
        // that still holds is not raised again.
        s.restored = false;
        if (trippedNow && s.active) {
            s.tripped = true;
            s.trippedSince = now - set.rules[i].delaySeconds;
        }
    }
    if (trippedNow && !s.tripped) {
        s.tripped = true;
        s.trippedSince = now;
    } else if (!trippedNow) {
        s.tripped = false;
    }
    refresh(i, now);
}

void Engine::refresh(size_t i, double now)
{
    RuleState& s = states[i];
    bool shouldBeActive = s.tripped && now - s.trippedSince >= set.rules[i].delaySeconds;
    if (s.tripped && !shouldBeActive)
        delayed.insert(i);
    else
        delayed.erase(i);
    if (shouldBeActive == s.active)
        return;
    s.active = shouldBeActive;
    if (shouldBeActive)
        s.activeSince = now;
    changed.insert(i);
    activeChanged(i, now);
}

void Engine::activeChanged(size_t i, double now)
{
    const RuleState& s = states[i];
    switch (s.state) {
        case State::Normal:
        case State::ReturnedUnacked:
            if (s.active)
                go(i, State::Unacked, true, "condition holds: " + set.rules[i].conditionText(), now);
            break;
        case State::Unacked:
            if (!s.active)
                go(i, set.rules[i].latch ? State::ReturnedUnacked : State::Normal, false, "condition cleared", now);
            break;
        case State::Acked:
            if (!s.active)
                go(i, State::Normal, false, "condition cleared", now);
            break;
        case State::Shelved:
        case State::Disabled:
            break;  // followed underneath, announced when the suppression ends
    }
}

void Engine::go(size_t i, State to, bool entered, const std::string& why, double now)
{
    RuleState& s = states[i];
    Transition t{i, s.state, to, entered, why};
    s.state = to;
    s.since = now;
    if (to == State::Normal || to == State::Unacked)
        s.by.clear();
    if (to != State::Shelved && to != State::Disabled) {
        s.note.clear();
        s.shelvedUntil = 0;
        shelved.erase(i);
    }
    if (entered) {
        s.actions.clear();
        for (const Action& action : set.rules[i].actions) {
            ActionOutcome outcome;
            outcome.peer = action.peer;
            for (const auto& word : action.words)
                outcome.command += (outcome.command.empty() ? "" : " ") + word;
            s.actions.push_back(std::move(outcome));
        }
    }
    changed.insert(i);
    transitions.push_back(std::move(t));
}

void Engine::endSuppression(size_t i, const std::string& why, double now)
{
    // Raised again when the condition holds: nobody has seen this alarm.
    if (states[i].active)
        go(i, State::Unacked, true, why + "; condition holds: " + set.rules[i].conditionText(), now);
    else
        go(i, State::Normal, false, why, now);
}

void Engine::tick(double now)
{
    for (auto it = delayed.begin(); it != delayed.end();) {
        size_t i = *it++;
        refresh(i, now);
    }
    for (auto it = shelved.begin(); it != shelved.end();) {
        size_t i = *it++;
        if (states[i].state == State::Shelved && states[i].shelvedUntil <= now)
            endSuppression(i, "shelve expired", now);
    }
    for (size_t i : presenceRules)
        evaluatePresence(i, now);
}

std::vector<size_t> Engine::matching(const std::string& pattern) const
{
    std::vector<size_t> out;
    auto exact = byName.find(pattern);
    if (exact != byName.end())
        return {exact->second};
    for (size_t i = 0; i < set.rules.size(); ++i)
        if (fnmatch(pattern.c_str(), set.rules[i].name.c_str(), 0) == 0)
            out.push_back(i);
    return out;
}

std::string Engine::ack(const std::string& pattern, const std::string& by, double now)
{
    auto rules = matching(pattern);
    if (rules.empty())
        return "no rule matches \"" + pattern + "\"";
    size_t done = 0;
    for (size_t i : rules) {
        State s = states[i].state;
        if (s == State::Unacked) {
            go(i, State::Acked, false, "acknowledged by " + by, now);
            states[i].by = by.substr(0, kMaxByBytes);
            ++done;
        } else if (s == State::ReturnedUnacked) {
            go(i, State::Normal, false, "acknowledged by " + by, now);
            ++done;
        }
    }
    return done ? "" : "nothing to acknowledge in \"" + pattern + "\"";
}

std::string Engine::shelve(const std::string& pattern, double seconds, const std::string& reason, const std::string& by,
                           double now)
{
    if (!(seconds > 0))
        return "a shelve needs a duration above 0";
    if (seconds > set.maxShelveSeconds)
        return "a shelve lasts at most " + durationText(set.maxShelveSeconds);
    if (reason.size() > kMaxReasonBytes)
        return "a shelve reason is at most " + std::to_string(kMaxReasonBytes) + " bytes";
    auto rules = matching(pattern);
    if (rules.empty())
        return "no rule matches \"" + pattern + "\"";
    size_t done = 0;
    for (size_t i : rules) {
        if (states[i].state == State::Disabled)
            continue;
        std::string why = "shelved for " + durationText(seconds) + " by " + by + (reason.empty() ? "" : ": " + reason);
        go(i, State::Shelved, false, why, now);
        RuleState& s = states[i];
        s.shelvedUntil = now + seconds;
        s.note = reason;
        s.by = by.substr(0, kMaxByBytes);
        shelved.insert(i);
        ++done;
    }
    return done ? "" : "every rule of \"" + pattern + "\" is disabled";
}

std::string Engine::unshelve(const std::string& pattern, const std::string& by, double now)
{
    auto rules = matching(pattern);
    if (rules.empty())
        return "no rule matches \"" + pattern + "\"";
    size_t done = 0;
    for (size_t i : rules)
        if (states[i].state == State::Shelved) {
            endSuppression(i, "unshelved by " + by, now);
            ++done;
        }
    return done ? "" : "nothing shelved in \"" + pattern + "\"";
}

std::string Engine::disable(const std::string& pattern, const std::string& reason, const std::string& by, double now)
{
    auto rules = matching(pattern);
    if (rules.empty())
        return "no rule matches \"" + pattern + "\"";
    for (size_t i : rules) {
        if (states[i].state == State::Disabled)
            continue;
        go(i, State::Disabled, false, "disabled by " + by + (reason.empty() ? "" : ": " + reason), now);
        states[i].note = reason.substr(0, kMaxReasonBytes);
        states[i].by = by.substr(0, kMaxByBytes);
    }
    return "";
}

std::string Engine::enable(const std::string& pattern, const std::string& by, double now)
{
    auto rules = matching(pattern);
    if (rules.empty())
        return "no rule matches \"" + pattern + "\"";
    size_t done = 0;
    for (size_t i : rules)
        if (states[i].state == State::Disabled) {
            endSuppression(i, "enabled by " + by, now);
            ++done;
        }
    return done ? "" : "nothing disabled in \"" + pattern + "\"";
}

std::vector<Transition> Engine::takeTransitions()
{
    std::vector<Transition> out;
    out.swap(transitions);
    return out;
}

std::set<size_t> Engine::takeChanged()
{
    std::set<size_t> out;
    out.swap(changed);
    return out;
}

std::vector<SavedState> Engine::saved() const
{
    std::vector<SavedState> out;
    for (size_t i = 0; i < states.size(); ++i) {
        const RuleState& s = states[i];
        if (s.state == State::Normal)
            continue;
        out.push_back({set.rules[i].name, s.state, wallTime(s.since), wallTime(s.shelvedUntil), s.by, s.note});
    }
    return out;
}

void Engine::restore(const std::vector<SavedState>& saved, double now)
{
    for (const SavedState& entry : saved) {
        auto i = find(entry.rule);
        if (!i || entry.state == State::Normal)
            continue;
        double until = clockTime(entry.shelvedUntil);
        if (entry.state == State::Shelved && until <= now)
            continue;  // expired while the daemon was away
        RuleState& s = states[*i];
        s.state = entry.state;
        s.since = clockTime(entry.since);
        s.by = entry.by.substr(0, kMaxByBytes);
        s.note = entry.note.substr(0, kMaxReasonBytes);
        if (entry.state == State::Shelved) {
            s.shelvedUntil = std::min(until, now + set.maxShelveSeconds);
            shelved.insert(*i);
        }
        // An alarm raised before is taken as still raised until a first
        // value says otherwise.
        s.active = inAlarm(entry.state);
        s.restored = true;
        changed.insert(*i);
    }
}

std::string Engine::toJson(size_t i) const
{
    const Rule& rule = set.rules[i];
    const RuleState& s = states[i];
    std::string out = "{\"rule\":" + jsonString(rule.name);
    out += ",\"state\":" + jsonString(stateName(s.state));
    out += ",\"severity\":" + jsonString(severityName(rule.severity));
    out += ",\"active\":" + std::string(s.active ? "true" : "false");
    out += ",\"peer\":" + jsonString(rule.peer);
    out += ",\"condition\":" + jsonString(rule.conditionText());
    out += ",\"value\":" + jsonString(s.value);
    out += ",\"since\":" + jsonString(isoTime(wallTime(s.since)));
    if (s.active)
        out += ",\"active_since\":" + jsonString(isoTime(wallTime(s.activeSince)));
    out += ",\"latch\":" + std::string(rule.latch ? "true" : "false");
    out += ",\"guidance\":" + jsonString(rule.guidance);
    if (s.state == State::Shelved)
        out += ",\"shelved_until\":" + jsonString(isoTime(wallTime(s.shelvedUntil)));
    if (!s.note.empty())
        out += ",\"reason\":" + jsonString(s.note);
    if (!s.by.empty())
        out += ",\"by\":" + jsonString(s.by);
    out += ",\"actions\":[";
    for (size_t k = 0; k < s.actions.size(); ++k) {
        const ActionOutcome& a = s.actions[k];
        out += std::string(k ? "," : "") + "{\"peer\":" + jsonString(a.peer) + ",\"command\":" + jsonString(a.command) +
               ",\"outcome\":" + jsonString(a.outcome) + "}";
    }
    return out + "]}";
}

}  // namespace corvo::alarmd
