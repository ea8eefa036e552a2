// The alarm rules grammar: what a good file yields, and that every kind of
// mistake is refused with its line.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "rules.h"

using namespace corvo::alarmd;

namespace {

const char* kDome = R"(# weather protection of the dome
max-shelve 4h
action-retries 5
webhook major http://127.0.0.1:8080/alarm
hook * /usr/local/bin/page --to night

rule rain
    when weather.rain >= 1
    severity major
    delay 5s
    guidance Rain: the dome closes and the mount parks.
    guidance Reopen by hand when the sky is dry.
    action dome close
    action mount park
    latch

rule wind
    when weather.wind > 15
    deadband 2
rule humidity
  when weather.humidity outside 5..85
  deadband 1.5
rule dome-fault
    when dome status == FAULT
rule shutter
    when dome.shutter != "closed now"
rule station
    when weather silent for 30s
rule gone
    when mount gone for 1m
rule band
    when weather.temperature in -5.5..0
)";

}  // namespace

TEST(AlarmRules, ReadsEveryKindOfRuleAndSetting)
{
    RuleSet set = parseRules(kDome, "dome.alarms");
    EXPECT_DOUBLE_EQ(set.maxShelveSeconds, 4 * 3600);
    EXPECT_EQ(set.actionRetries, 5);
    EXPECT_EQ(set.notifyFor(Severity::Major).webhook, "http://127.0.0.1:8080/alarm");
    EXPECT_TRUE(set.notifyFor(Severity::Minor).webhook.empty());
    EXPECT_EQ(set.notifyFor(Severity::Minor).command,
              (std::vector<std::string>{"/usr/local/bin/page", "--to", "night"}));
    ASSERT_EQ(set.rules.size(), 8u);

    const Rule& rain = set.rules[0];
    EXPECT_EQ(rain.name, "rain");
    EXPECT_EQ(rain.line, 7);
    EXPECT_EQ(rain.peer, "weather");
    EXPECT_EQ(rain.property, "rain");
    EXPECT_EQ(rain.op, Op::GreaterEqual);
    EXPECT_TRUE(rain.numeric);
    EXPECT_DOUBLE_EQ(rain.number, 1);
    EXPECT_EQ(rain.severity, Severity::Major);
    EXPECT_DOUBLE_EQ(rain.delaySeconds, 5);
    EXPECT_TRUE(rain.latch);
    EXPECT_EQ(rain.guidance, "Rain: the dome closes and the mount parks. Reopen by hand when the sky is dry.");
    ASSERT_EQ(rain.actions.size(), 2u);
    EXPECT_EQ(rain.actions[0].peer, "dome");
    EXPECT_EQ(rain.actions[0].words, std::vector<std::string>{"close"});
    EXPECT_EQ(rain.actions[1].peer, "mount");

    EXPECT_DOUBLE_EQ(set.rules[1].deadband, 2);
    EXPECT_EQ(set.rules[1].severity, Severity::Minor);
    EXPECT_EQ(set.rules[2].kind, ConditionKind::Outside);
    EXPECT_DOUBLE_EQ(set.rules[2].low, 5);
    EXPECT_DOUBLE_EQ(set.rules[2].high, 85);
    EXPECT_EQ(set.rules[3].kind, ConditionKind::Status);
    EXPECT_EQ(set.rules[3].text, "FAULT");
    EXPECT_FALSE(set.rules[4].numeric);
    EXPECT_EQ(set.rules[4].text, "closed now");
    EXPECT_EQ(set.rules[5].kind, ConditionKind::Silent);
    EXPECT_DOUBLE_EQ(set.rules[5].forSeconds, 30);
    EXPECT_EQ(set.rules[6].kind, ConditionKind::Gone);
    EXPECT_DOUBLE_EQ(set.rules[6].forSeconds, 60);
    EXPECT_EQ(set.rules[7].kind, ConditionKind::Inside);
    EXPECT_DOUBLE_EQ(set.rules[7].low, -5.5);
    EXPECT_EQ(set.rules[7].conditionText(), "weather.temperature in -5.5..0");
}

TEST(AlarmRules, EmptyAndCommentOnlyFilesHoldNoRules)
{
    EXPECT_TRUE(parseRules("", "x").rules.empty());
    EXPECT_TRUE(parseRules("# nothing\n\n   \t\n", "x").rules.empty());
}

TEST(AlarmRules, DurationsHaveUnitsAndBounds)
{
    double s = 0;
    EXPECT_TRUE(parseDurationText("90", s));
    EXPECT_DOUBLE_EQ(s, 90);
    EXPECT_TRUE(parseDurationText("500ms", s));
    EXPECT_DOUBLE_EQ(s, 0.5);
    EXPECT_TRUE(parseDurationText("1.5m", s));
    EXPECT_DOUBLE_EQ(s, 90);
    EXPECT_TRUE(parseDurationText("2h", s));
    EXPECT_TRUE(parseDurationText("30d", s));
    for (const char* bad : {"", "-1s", "1x", "31d", "inf", "nan", "s", "1e400", "0x10"})
        EXPECT_FALSE(parseDurationText(bad, s)) << bad;
}

// Each bad file, and the line and words its error must name.
class AlarmRulesError : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(AlarmRulesError, NamesTheLineAndTheFault)
{
    auto [text, expected] = GetParam();
    try {
        parseRules(text, "site.alarms");
        FAIL() << "accepted:\n" << text;
    } catch (const RulesError& e) {
        EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, AlarmRulesError,
    ::testing::Values(
        std::make_pair("frobnicate 3\n", "site.alarms:1: unknown setting \"frobnicate\""),
        std::make_pair("rule a\n when w.x > 1\n colour red\n", "site.alarms:3: unknown keyword \"colour\""),
        std::make_pair("rule\n", "site.alarms:1: rule wants one name"),
        std::make_pair("rule a b\n", "site.alarms:1: rule wants one name"),
        std::make_pair("rule a*\n", "site.alarms:1: bad rule name"),
        std::make_pair("rule a\n when w.x > 1\nrule a\n", "site.alarms:3: rule \"a\" is defined twice"),
        std::make_pair("rule a\n severity major\n", "site.alarms:1: rule a has no \"when\""),
        std::make_pair("rule a\n when w.x > 1\n when w.y > 1\n", "site.alarms:3: \"when\" given twice"),
        std::make_pair("rule a\n when w.x\n", "site.alarms:2: when wants a condition"),
        std::make_pair("rule a\n when wx > 1\n", "site.alarms:2: \"wx\" is not PEER.PROPERTY"),
        std::make_pair("rule a\n when .x > 1\n", "site.alarms:2: \".x\" is not PEER.PROPERTY"),
        std::make_pair("rule a\n when w.x => 1\n", "site.alarms:2: unknown operator \"=>\""),
        std::make_pair("rule a\n when w.x > high\n", "site.alarms:2: \"high\" is not a number"),
        std::make_pair("rule a\n when w.x > nan\n", "site.alarms:2: \"nan\" is not a number"),
        std::make_pair("rule a\n when w.x in 5\n", "site.alarms:2: in wants a range"),
        std::make_pair("rule a\n when w.x outside 1..b\n", "site.alarms:2: outside wants a range"),
        std::make_pair("rule a\n when w.x in 9..1\n", "site.alarms:2: range 9..1 is empty"),
        std::make_pair("rule a\n when w status > 1\n", "site.alarms:2: a status is compared with == or !="),
        std::make_pair("rule a\n when w status ==\n", "site.alarms:2: status wants a name or a number"),
        std::make_pair("rule a\n when w gone 5s\n", "site.alarms:2: gone wants \"for DURATION\""),
        std::make_pair("rule a\n when w silent for ever\n", "site.alarms:2: silent wants \"for DURATION\""),
        std::make_pair("rule a\n when w$ gone for 1s\n", "site.alarms:2: bad peer name"),
        std::make_pair("rule a\n when w.x > 1\n severity high\n", "site.alarms:3: severity is minor or major"),
        std::make_pair("rule a\n when w.x > 1\n delay soon\n", "site.alarms:3: delay wants one duration"),
        std::make_pair("rule a\n when w.x > 1\n delay 1s\n delay 2s\n", "site.alarms:4: \"delay\" given twice"),
        std::make_pair("rule a\n when w.x > 1\n deadband -1\n", "site.alarms:3: deadband wants one number"),
        std::make_pair("rule a\n when w.x == 1\n deadband 1\n", "site.alarms:3: deadband needs a numeric limit"),
        std::make_pair("rule a\n when w.x outside 0..2\n deadband 1.5\n", "site.alarms:3: deadband wider"),
        std::make_pair("rule a\n when w.x > 1\n latch now\n", "site.alarms:3: latch takes nothing"),
        std::make_pair("rule a\n when w.x > 1\n guidance\n", "site.alarms:3: guidance wants a text"),
        std::make_pair("rule a\n when w.x > 1\n action dome\n", "site.alarms:3: action wants a peer and a command"),
        std::make_pair("rule a\n when w.x > 1\n action do/me close\n", "site.alarms:3: bad peer name"),
        std::make_pair("max-shelve 0\n", "site.alarms:1: max-shelve wants one duration above 0"),
        std::make_pair("action-retries 2.5\n", "site.alarms:1: action-retries wants a whole number"),
        std::make_pair("webhook major https://x/\n", "site.alarms:1: webhook URL must start with http://"),
        std::make_pair("webhook loud http://x/\n", "site.alarms:1: unknown severity \"loud\""),
        std::make_pair("hook major page\n", "site.alarms:1: hook program must be an absolute path"),
        std::make_pair("rule a\n when w.x > 1\x01\n", "site.alarms:2: control character"),
        std::make_pair("rule a\n when w.x > 1\n guidance \x7f\n", "site.alarms:3: control character")));

TEST(AlarmRulesBounds, RefusesWhatIsTooLarge)
{
    std::string longLine = "rule a\n when w.x > 1\n guidance " + std::string(kMaxLineBytes, 'g') + "\n";
    EXPECT_THROW(parseRules(longLine, "x"), RulesError);

    std::string guidance = "rule a\n when w.x > 1\n";
    for (int i = 0; i < 3; ++i)
        guidance += " guidance " + std::string(1000, 'g') + "\n";
    EXPECT_THROW(parseRules(guidance, "x"), RulesError);

    std::string actions = "rule a\n when w.x > 1\n";
    for (size_t i = 0; i <= kMaxActionsPerRule; ++i)
        actions += " action dome close\n";
    EXPECT_THROW(parseRules(actions, "x"), RulesError);

    EXPECT_THROW(parseRules(std::string("rule a\0", 7), "x"), RulesError);
}

TEST(AlarmRulesBounds, LoadRefusesMissingFilesAndFolders)
{
    EXPECT_THROW(loadRules("/nonexistent/site.alarms"), RulesError);
    EXPECT_THROW(loadRules("/"), RulesError);
}
