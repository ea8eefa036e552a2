// Alarm states of rules, driven with chosen times: deadband against chatter,
// delays, latching, acknowledgement, shelves, disables, presence, restart,
// and the state file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <string>
#include <vector>

#include "engine.h"
#include "persist.h"

using namespace corvo::alarmd;

namespace {

Observation number(double v)
{
    Observation o;
    o.numeric = true;
    o.number = v;
    o.text = numberText(v);
    return o;
}

Observation text(const std::string& t)
{
    Observation o;
    o.text = t;
    return o;
}

const char* kRules = R"(
max-shelve 1h
rule rain
    when weather.rain >= 1
    severity major
    delay 5s
    action dome close
    action mount park
rule wind
    when weather.wind > 10
    deadband 2
rule cold
    when weather.temperature < 0
    deadband 1
    latch
rule humid
    when weather.humidity outside 10..80
    deadband 5
rule fault
    when dome status == FAULT
rule shutter
    when dome.shutter != closed
rule station
    when weather silent for 10s
rule mountgone
    when mount gone for 3s
)";

class AlarmEngine : public ::testing::Test {
protected:
    AlarmEngine() : engine(parseRules(kRules, "test"), 1000.0) {}

    State stateOf(const std::string& rule) const { return engine.state(*engine.find(rule)).state; }
    // Transitions of one rule since the last call.
    std::vector<Transition> transitionsOf(const std::string& rule)
    {
        std::vector<Transition> out;
        for (auto& t : engine.takeTransitions())
            if (engine.rules()[t.rule].name == rule)
                out.push_back(t);
        return out;
    }
    void wind(double v, double t) { engine.propertyValue("weather", "wind", number(v), t); }

    Engine engine;
};

}  // namespace

TEST_F(AlarmEngine, ChatterInsideTheDeadbandRaisesOneAlarm)
{
    double t = 1000;
    for (int i = 0; i < 50; ++i) {
        wind(10.5, t += 0.1);
        wind(9.5, t += 0.1);
    }
    auto transitions = transitionsOf("wind");
    ASSERT_EQ(transitions.size(), 1u);
    EXPECT_TRUE(transitions[0].entered);
    EXPECT_EQ(stateOf("wind"), State::Unacked);
    wind(8.5, t += 0.1);  // still above 10 - 2
    EXPECT_EQ(stateOf("wind"), State::Unacked);
    wind(8.0, t += 0.1);
    EXPECT_EQ(stateOf("wind"), State::Normal);
    EXPECT_EQ(transitionsOf("wind").size(), 1u);
}

TEST_F(AlarmEngine, DelayRaisesOnlyAConditionThatHoldsThroughIt)
{
    engine.propertyValue("weather", "rain", number(1), 1000);
    engine.tick(1004);
    EXPECT_EQ(stateOf("rain"), State::Normal);
    engine.propertyValue("weather", "rain", number(0), 1004.5);  // a shower shorter than the delay
    engine.tick(1010);
    EXPECT_EQ(stateOf("rain"), State::Normal);

    engine.propertyValue("weather", "rain", number(2), 1020);
    engine.tick(1024.9);
    EXPECT_EQ(stateOf("rain"), State::Normal);
    engine.tick(1025);
    EXPECT_EQ(stateOf("rain"), State::Unacked);
    auto transitions = transitionsOf("rain");
    ASSERT_EQ(transitions.size(), 1u);
    EXPECT_TRUE(transitions[0].entered);
    const auto& actions = engine.state(*engine.find("rain")).actions;
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(actions[0].peer, "dome");
    EXPECT_EQ(actions[0].command, "close");
    EXPECT_EQ(actions[1].command, "park");
    EXPECT_EQ(actions[1].outcome, "pending");
}

TEST_F(AlarmEngine, AcknowledgedAlarmReturnsToNormalWhenItClears)
{
    wind(12, 1000);
    EXPECT_EQ(engine.ack("wind", "alice", 1001), "");
    EXPECT_EQ(stateOf("wind"), State::Acked);
    EXPECT_EQ(engine.state(*engine.find("wind")).by, "alice");
    EXPECT_NE(engine.ack("wind", "alice", 1002), "");  // nothing left to acknowledge
    wind(5, 1003);
    EXPECT_EQ(stateOf("wind"), State::Normal);
    EXPECT_NE(engine.ack("nosuchrule", "alice", 1004).find("no rule matches"), std::string::npos);
}

TEST_F(AlarmEngine, LatchedAlarmStaysUntilAcknowledged)
{
    engine.propertyValue("weather", "temperature", number(-2), 1000);
    EXPECT_EQ(stateOf("cold"), State::Unacked);
    engine.propertyValue("weather", "temperature", number(3), 1001);
    EXPECT_EQ(stateOf("cold"), State::ReturnedUnacked);
    engine.tick(2000);
    EXPECT_EQ(stateOf("cold"), State::ReturnedUnacked);
    EXPECT_EQ(engine.ack("cold", "bob", 2001), "");
    EXPECT_EQ(stateOf("cold"), State::Normal);

    // Raised again while back to normal unacknowledged: a new alarm.
    engine.propertyValue("weather", "temperature", number(-2), 2002);
    engine.propertyValue("weather", "temperature", number(3), 2003);
    engine.propertyValue("weather", "temperature", number(-2), 2004);
    EXPECT_EQ(stateOf("cold"), State::Unacked);
    size_t raised = 0;
    for (auto& t : transitionsOf("cold"))
        raised += t.entered;
    EXPECT_EQ(raised, 3u);
}

TEST_F(AlarmEngine, AckedLatchedAlarmClearsWithItsCondition)
{
    engine.propertyValue("weather", "temperature", number(-2), 1000);
    engine.ack("cold", "bob", 1001);
    engine.propertyValue("weather", "temperature", number(3), 1002);
    EXPECT_EQ(stateOf("cold"), State::Normal);
}

TEST_F(AlarmEngine, ShelveExpiresOnTimeAndRaisesWhatStillHolds)
{
    EXPECT_NE(engine.shelve("wind", 0, "", "alice", 1000), "");
    EXPECT_NE(engine.shelve("wind", 7200, "", "alice", 1000).find("at most 1 h"), std::string::npos);
    EXPECT_EQ(engine.shelve("wind", 60, "anemometer iced", "alice", 1000), "");
    EXPECT_EQ(stateOf("wind"), State::Shelved);
    engine.takeTransitions();
    wind(20, 1010);
    EXPECT_EQ(stateOf("wind"), State::Shelved);
    EXPECT_TRUE(transitionsOf("wind").empty());
    engine.tick(1059.9);
    EXPECT_EQ(stateOf("wind"), State::Shelved);
    engine.tick(1060);
    EXPECT_EQ(stateOf("wind"), State::Unacked);
    auto transitions = transitionsOf("wind");
    ASSERT_EQ(transitions.size(), 1u);
    EXPECT_TRUE(transitions[0].entered);
    EXPECT_NE(transitions[0].why.find("shelve expired"), std::string::npos);

    // A shelve whose condition cleared meanwhile ends in normal.
    engine.shelve("humid", 10, "", "alice", 1100);
    engine.tick(1110);
    EXPECT_EQ(stateOf("humid"), State::Normal);
}

TEST_F(AlarmEngine, UnshelveAndDisable)
{
    engine.shelve("wind", 60, "", "alice", 1000);
    EXPECT_EQ(engine.unshelve("wind", "alice", 1001), "");
    EXPECT_EQ(stateOf("wind"), State::Normal);
    EXPECT_NE(engine.unshelve("wind", "alice", 1002), "");

    EXPECT_EQ(engine.disable("w*", "", "carol", 1003), "");
    EXPECT_EQ(stateOf("wind"), State::Disabled);
    wind(30, 1004);
    engine.tick(5000);
    EXPECT_EQ(stateOf("wind"), State::Disabled);
    EXPECT_NE(engine.shelve("wind", 60, "", "alice", 5001), "");  // disabled stays disabled
    EXPECT_EQ(engine.enable("wind", "carol", 5002), "");
    EXPECT_EQ(stateOf("wind"), State::Unacked);
}

TEST_F(AlarmEngine, StatusAndTextConditions)
{
    engine.peerStatus("dome", 2, "FAULT", 1000);
    EXPECT_EQ(stateOf("fault"), State::Unacked);
    engine.peerStatus("dome", 0, "IDLE", 1001);
    EXPECT_EQ(stateOf("fault"), State::Normal);

    engine.propertyValue("dome", "shutter", text("open"), 1000);
    EXPECT_EQ(stateOf("shutter"), State::Unacked);
    engine.propertyValue("dome", "shutter", text("closed"), 1001);
    EXPECT_EQ(stateOf("shutter"), State::Normal);
}

TEST_F(AlarmEngine, ValuesThatAreNoNumbersLeaveNumericRulesAlone)
{
    wind(12, 1000);
    engine.propertyValue("weather", "wind", text("broken"), 1001);
    EXPECT_EQ(stateOf("wind"), State::Unacked);
    EXPECT_EQ(engine.state(*engine.find("wind")).value, "broken");
}

TEST_F(AlarmEngine, GoneAndSilentPeers)
{
    engine.peerPresence("mount", true, 1000);
    engine.peerPresence("weather", true, 1000);
    engine.tick(1010);
    EXPECT_EQ(stateOf("mountgone"), State::Normal);
    engine.peerPresence("mount", false, 1011);
    engine.tick(1013.9);
    EXPECT_EQ(stateOf("mountgone"), State::Normal);
    engine.tick(1014);
    EXPECT_EQ(stateOf("mountgone"), State::Unacked);
    engine.peerPresence("mount", true, 1015);
    engine.tick(1015.1);
    EXPECT_EQ(stateOf("mountgone"), State::Normal);

    engine.peerSilence("weather", true, 1020);
    engine.tick(1029);
    EXPECT_EQ(stateOf("station"), State::Normal);
    engine.tick(1030);
    EXPECT_EQ(stateOf("station"), State::Unacked);
    engine.peerSilence("weather", false, 1031);
    EXPECT_EQ(stateOf("station"), State::Normal);
    // Gone counts as silent too.
    engine.peerPresence("weather", false, 1040);
    engine.tick(1050);
    EXPECT_EQ(stateOf("station"), State::Unacked);
}

TEST_F(AlarmEngine, SilenceCountsFromItsStartWhenTheSilentPeerGoesAway)
{
    engine.peerPresence("weather", true, 1000);
    engine.peerSilence("weather", true, 1020);
    engine.peerPresence("weather", false, 1025);  // the node gives up on it later
    engine.tick(1029.9);
    EXPECT_EQ(stateOf("station"), State::Normal);
    engine.tick(1030);
    EXPECT_EQ(stateOf("station"), State::Unacked);
}

TEST_F(AlarmEngine, PeerTextsAndShelveReasonsAreBounded)
{
    // A status name may be 64 KiB, and so may a command's argument: what
    // the rule's JSON carries of them stays small.
    engine.peerStatus("dome", 2, std::string(70000, 'F'), 1000);
    EXPECT_EQ(engine.state(*engine.find("fault")).value.size(), kMaxShownValueBytes);
    engine.propertyValue("dome", "shutter", text(std::string(70000, 'o')), 1000);
    EXPECT_EQ(engine.state(*engine.find("shutter")).value.size(), kMaxShownValueBytes);

    EXPECT_NE(engine.shelve("wind", 60, std::string(kMaxReasonBytes + 1, 'x'), "alice", 1001), "");
    EXPECT_EQ(stateOf("wind"), State::Normal);
    EXPECT_EQ(engine.shelve("wind", 60, std::string(kMaxReasonBytes, 'x'), "alice", 1002), "");
    EXPECT_EQ(stateOf("wind"), State::Shelved);
}

TEST_F(AlarmEngine, RestartKeepsAcksAndShelvesAndRaisesNothingAgain)
{
    wind(12, 1000);
    engine.ack("wind", "alice", 1001);
    engine.propertyValue("weather", "temperature", number(-3), 1000);  // latched, unacknowledged
    engine.shelve("humid", 600, "sensor swap", "bob", 1002);
    engine.disable("fault", "", "carol", 1003);
    size_t skipped = 99;
    auto saved = parseState(formatState(engine.saved()), skipped);
    EXPECT_EQ(skipped, 0u);
    ASSERT_EQ(saved.size(), 4u);

    Engine again(parseRules(kRules, "test"), 1100);
    again.restore(saved, 1100);
    auto state = [&](const char* rule) { return again.state(*again.find(rule)).state; };
    EXPECT_EQ(state("wind"), State::Acked);
    EXPECT_EQ(state("cold"), State::Unacked);
    EXPECT_EQ(state("humid"), State::Shelved);
    EXPECT_EQ(again.state(*again.find("humid")).note, "sensor swap");
    EXPECT_EQ(state("fault"), State::Disabled);

    again.propertyValue("weather", "wind", number(12), 1101);
    again.propertyValue("weather", "temperature", number(-3), 1101);
    for (auto& t : again.takeTransitions())
        EXPECT_FALSE(t.entered) << again.rules()[t.rule].name;
    EXPECT_EQ(state("wind"), State::Acked);
    EXPECT_EQ(state("cold"), State::Unacked);

    // The shelve still ends when it was meant to.
    again.tick(1601);
    EXPECT_EQ(state("humid"), State::Shelved);
    again.tick(1602);
    EXPECT_EQ(state("humid"), State::Normal);

    // A value that cleared during the restart clears the restored alarm.
    Engine third(parseRules(kRules, "test"), 1200);
    third.restore(saved, 1200);
    third.propertyValue("weather", "wind", number(1), 1201);
    EXPECT_EQ(third.state(*third.find("wind")).state, State::Normal);
}

// Started before the clock was set (no RTC, NTP not yet synced), so its
// clock is a day behind the wall clock once that is right: the shelve is
// shown and saved in wall time, and after a restart it ends when it was
// meant to.
TEST_F(AlarmEngine, ShelveKeepsItsRemainingDurationAcrossARestartWhenTheWallClockWasSet)
{
    const double day = 86400;
    Engine before(parseRules(kRules, "test"), 1000, [&] { return day; });
    ASSERT_EQ(before.shelve("humid", 600, "sensor swap", "bob", 1002), "");
    std::string json = before.toJson(*before.find("humid"));
    EXPECT_NE(json.find("\"shelved_until\":\"1970-01-02T00:26:42Z\""), std::string::npos) << json;
    size_t skipped = 99;
    auto saved = parseState(formatState(before.saved()), skipped);
    ASSERT_EQ(saved.size(), 1u);

    // Restarted 98 s later with the clock right from its start.
    Engine after(parseRules(kRules, "test"), day + 1100);
    after.restore(saved, day + 1100);
    auto humid = [&] { return after.state(*after.find("humid")).state; };
    EXPECT_EQ(humid(), State::Shelved);
    after.tick(day + 1601);
    EXPECT_EQ(humid(), State::Shelved);
    after.tick(day + 1603);
    EXPECT_EQ(humid(), State::Normal);
}

TEST_F(AlarmEngine, RestoredAlarmKeepsItsDeadband)
{
    // wind: > 10, deadband 2. Acked before the restart; the first value
    // after it lies inside the deadband.
    std::vector<SavedState> saved = {{"wind", State::Acked, 900, 0, "alice", ""}};
    engine.restore(saved, 1000);
    engine.takeTransitions();
    wind(9, 1001);
    EXPECT_EQ(stateOf("wind"), State::Acked);
    EXPECT_TRUE(transitionsOf("wind").empty());
    wind(11, 1002);
    EXPECT_EQ(stateOf("wind"), State::Acked);
    EXPECT_TRUE(transitionsOf("wind").empty());
    wind(7.9, 1003);
    EXPECT_EQ(stateOf("wind"), State::Normal);
}

TEST_F(AlarmEngine, RestoredShelveIsBoundedAndExpiredOnesAreDropped)
{
    std::vector<SavedState> saved = {{"wind", State::Shelved, 900, 999999, "x", ""},
                                     {"humid", State::Shelved, 900, 950, "x", ""},
                                     {"nosuchrule", State::Acked, 900, 0, "", ""}};
    engine.restore(saved, 1000);
    EXPECT_EQ(stateOf("wind"), State::Shelved);
    EXPECT_DOUBLE_EQ(engine.state(*engine.find("wind")).shelvedUntil, 1000 + 3600);
    EXPECT_EQ(stateOf("humid"), State::Normal);
}

TEST(AlarmStateFile, RoundTripsAwkwardTextAndSkipsBadLines)
{
    std::vector<SavedState> saved = {{"a", State::Shelved, 1.5, 99.25, "eve\tx", "two\nlines \\ back"}};
    size_t skipped = 0;
    auto back = parseState(formatState(saved), skipped);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].by, "eve\tx");
    EXPECT_EQ(back[0].note, "two\nlines \\ back");
    EXPECT_DOUBLE_EQ(back[0].shelvedUntil, 99.25);

    std::string bad = "a\tacked\t1\t0\t\t\n"  // good
                      "b\tbogus\t1\t0\t\t\n"
                      "c\tacked\tnan\t0\t\t\n"
                      "d\tacked\t1\t0\t\\q\t\n"
                      "e\tacked\t1\n"
                      "f\tacked\t1\t0\t\t\t\textra\n";
    back = parseState(bad, skipped);
    EXPECT_EQ(back.size(), 1u);
    EXPECT_EQ(skipped, 5u);
}

TEST(AlarmStateFile, TheLargestStateWrittenIsReadBack)
{
    // Every rule, with the longest name, shelved with the longest reason
    // whose every byte is escaped, by a requester with a long name.
    std::string rules;
    for (size_t i = 0; i < kMaxRules; ++i) {
        std::string name = std::to_string(i);
        rules += "rule " + name + std::string(kMaxNameBytes - name.size(), 'r') + "\n when p.x > 1\n";
    }
    Engine engine(parseRules(rules, "t"), 1000.123456789);
    std::string by(kMaxByBytes + 300, '\t');
    ASSERT_EQ(engine.shelve("*", 3600, std::string(kMaxReasonBytes, '\\'), by, 1000.123456789), "");
    std::string text = formatState(engine.saved());
    EXPECT_LE(text.size(), kMaxStateFileBytes);

    char dir[] = "/tmp/alst.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/state";
    ASSERT_EQ(writeFileAtomically(path, text), "");
    std::string error;
    bool missing = true;
    std::string back = readStateFile(path, error, missing);
    std::remove(path.c_str());
    rmdir(dir);
    EXPECT_EQ(error, "");
    size_t skipped = 99;
    auto saved = parseState(back, skipped);
    EXPECT_EQ(skipped, 0u);
    Engine again(parseRules(rules, "t"), 1001);
    again.restore(saved, 1001);
    for (size_t i = 0; i < kMaxRules; ++i)
        ASSERT_EQ(again.state(i).state, State::Shelved) << i;
    EXPECT_EQ(again.state(0).note, std::string(kMaxReasonBytes, '\\'));
    EXPECT_EQ(again.state(0).by, by.substr(0, kMaxByBytes));
}

// Without HOME (a service's dynamic user), the one directory the service
// may write: its state directory.
TEST(AlarmStateFile, DefaultPathFollowsHomeThenTheServiceStateDirectory)
{
    const char* home = getenv("HOME");
    const std::string keep = home ? home : "";
    setenv("HOME", "/home/observer", 1);
    setenv("STATE_DIRECTORY", "/var/lib/corvo/alarms", 1);
    EXPECT_EQ(defaultStatePath(), "/home/observer/.local/share/corvo/alarmd.state");
    unsetenv("HOME");
    EXPECT_EQ(defaultStatePath(), "/var/lib/corvo/alarms/alarmd.state");
    setenv("STATE_DIRECTORY", "/var/lib/corvo/alarms:/var/lib/other", 1);
    EXPECT_EQ(defaultStatePath(), "/var/lib/corvo/alarms/alarmd.state");
    setenv("STATE_DIRECTORY", "relative", 1);
    EXPECT_EQ(defaultStatePath(), "/var/lib/corvo/alarmd.state");
    unsetenv("STATE_DIRECTORY");
    EXPECT_EQ(defaultStatePath(), "/var/lib/corvo/alarmd.state");
    if (home)
        setenv("HOME", keep.c_str(), 1);
}

TEST(AlarmStateFile, JsonOfARuleEscapesItsText)
{
    Engine engine(parseRules("rule q\n when p.x == \"a\\\"b\"\n guidance say \"hi\"\n", "t"), 0);
    engine.propertyValue("p", "x", text("a\\\"b"), 1);
    std::string json = engine.toJson(0);
    EXPECT_NE(json.find("\"guidance\":\"say \\\"hi\\\"\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"state\":\"unacked\""), std::string::npos) << json;
}
