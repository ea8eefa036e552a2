// Access rules and locks: the decisions a daemon takes for each request.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "corvo/access.h"
#include "support/temp_dir.h"

using corvo::AccessControl;
using corvo::AccessError;
using corvo::AccessRules;
using corvo::Right;
using namespace std::chrono_literals;

namespace {

const char* kExample = R"(# night crew
group night = alice, bob   # local group
allow @night, @operators set exposure, filter*
allow @night run expose, abort
allow * run status
allow @night lock
allow admin override
)";

TEST(AccessRules, GrantsOnlyWhatARuleNames)
{
    auto rules = AccessRules::parse(kExample, "cam.rules");
    EXPECT_EQ(rules.size(), 5u);
    EXPECT_TRUE(rules.allows("alice", {}, Right::Set, "exposure"));
    EXPECT_TRUE(rules.allows("alice", {}, Right::Set, "filter_wheel"));
    EXPECT_FALSE(rules.allows("alice", {}, Right::Set, "gain"));
    EXPECT_FALSE(rules.allows("alice", {}, Right::Run, "exposure")) << "set does not grant run";
    EXPECT_TRUE(rules.allows("carol", {"operators"}, Right::Set, "exposure")) << "group of the key directory";
    EXPECT_FALSE(rules.allows("carol", {"operators"}, Right::Run, "expose"));
    EXPECT_TRUE(rules.allows("carol", {}, Right::Run, "status"));
    EXPECT_FALSE(rules.allows("carol", {}, Right::Lock, ""));
    EXPECT_TRUE(rules.allows("bob", {}, Right::Lock, ""));
    EXPECT_TRUE(rules.allows("admin", {}, Right::Override, ""));
    EXPECT_FALSE(rules.allows("alice", {}, Right::Override, ""));
    EXPECT_FALSE(rules.allows("night", {}, Right::Set, "exposure")) << "a group name is not an identity";
}

TEST(AccessRules, GroupsListedInGroupsOfThisFileAreExpandedAndCyclesEnd)
{
    auto rules = AccessRules::parse("group night = alice\n"
                                    "group ops = @night, @shift\n"
                                    "group shift = @operators\n"
                                    "group a = @b\n"
                                    "group b = @a, carol\n"
                                    "allow @ops set x\n"
                                    "allow @night set y\n"
                                    "allow @a run z\n",
                                    "nest.rules");
    EXPECT_TRUE(rules.allows("alice", {}, Right::Set, "x")) << "night inside ops";
    EXPECT_TRUE(rules.allows("dave", {"operators"}, Right::Set, "x")) << "a key-directory group two groups down";
    EXPECT_FALSE(rules.allows("bob", {}, Right::Set, "x"));
    // A rule that names the group again still matches after the group was
    // searched for an earlier rule.
    EXPECT_TRUE(rules.allows("alice", {}, Right::Set, "y"));
    // a and b list each other: the search ends, and finds carol through b.
    EXPECT_TRUE(rules.allows("carol", {}, Right::Run, "z"));
    EXPECT_FALSE(rules.allows("bob", {}, Right::Run, "z"));
}

TEST(AccessRules, BadLinesAreReportedWithTheirNumber)
{
    struct Case {
        const char* text;
        const char* line;
    };
    for (const Case& c :
         {Case{"allow alice set\n", ":1:"}, Case{"\n# ok\nallow alice lock exposure\n", ":3:"},
          Case{"permit alice set x\n", ":1:"}, Case{"allow set x\n", ":1:"}, Case{"allow alice jump x\n", ":1:"},
          Case{"allow ../x set y\n", ":1:"}, Case{"group = a\n", ":1:"}, Case{"group g a\n", ":1:"}}) {
        try {
            AccessRules::parse(c.text, "f");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const AccessError& e) {
            EXPECT_NE(std::string(e.what()).find(c.line), std::string::npos) << e.what();
        }
    }
    std::string many;
    for (size_t i = 0; i <= AccessRules::kMaxRules; ++i)
        many += "allow a run x\n";
    EXPECT_THROW(AccessRules::parse(many, "f"), AccessError);
}

TEST(AccessRules, ARulesFileOthersCouldChangeIsRefusedByPath)
{
    corvotest::TempDir dir;
    std::string path = dir.path() + "/cam.rules";
    std::ofstream(path) << "allow * run status\n";
    chmod(path.c_str(), 0644);
    EXPECT_EQ(corvo::AccessRules::load(path).size(), 1u);
    chmod(path.c_str(), 0646);
    try {
        corvo::AccessRules::load(path);
        ADD_FAILURE() << "loaded";
    } catch (const corvo::AccessError& e) {
        EXPECT_EQ(std::string(e.what()), path + ": the rules file is writable by others (chmod go-w it)");
    }
}

// The fetch right names images below the root; no other right grants it, a
// lock does not stop it, and on an open site or without rules it is free.
TEST(AccessControl, FetchIsARightOfItsOwnByImageName)
{
    const char* text = "group night = alice\n"
                       "allow @night fetch night/*, dark_*.fits\n"
                       "allow bob set *\n"
                       "allow bob run *\n"
                       "allow bob lock\n";
    auto rules = AccessRules::parse(text, "cam.rules");
    EXPECT_TRUE(rules.allows("alice", {}, Right::Fetch, "night/a.fits"));
    EXPECT_TRUE(rules.allows("alice", {}, Right::Fetch, "night/sub/b.fits")) << "'*' matches '/' too";
    EXPECT_TRUE(rules.allows("alice", {}, Right::Fetch, "dark_3.fits"));
    EXPECT_FALSE(rules.allows("alice", {}, Right::Fetch, "day/a.fits"));
    EXPECT_FALSE(rules.allows("alice", {}, Right::Set, "night/a.fits")) << "fetch grants nothing else";
    EXPECT_EQ(std::string(corvo::rightName(Right::Fetch)), "fetch");
    EXPECT_THROW(AccessRules::parse("allow alice fetch\n", "f"), AccessError) << "fetch needs its patterns";

    AccessControl control;
    control.configure(true, rules, {});
    auto now = AccessControl::Clock::now();
    EXPECT_EQ(control.checkFetch("alice", "night/a.fits"), "");
    EXPECT_EQ(control.checkFetch("bob", "night/a.fits"), "bob may not fetch night/a.fits") << "set and run do not";
    std::string broken;
    ASSERT_EQ(control.takeLock("bob", 60s, now, broken), "");
    EXPECT_EQ(control.checkFetch("alice", "night/a.fits"), "") << "a lock does not stop a fetch";

    AccessControl noRules;
    noRules.configure(true, std::nullopt, {});
    EXPECT_EQ(noRules.checkFetch("anyone", "x.fits"), "");
    AccessControl open;
    open.configure(false, std::nullopt, {});
    EXPECT_EQ(open.checkFetch("", "x.fits"), "");
}

TEST(AccessControl, OpenSiteAllowsAllAndRefusesRulesAndLocks)
{
    AccessControl open;
    EXPECT_THROW(open.configure(false, AccessRules::parse("allow a run x", "f"), {}), AccessError);
    open.configure(false, std::nullopt, {});
    auto now = AccessControl::Clock::now();
    EXPECT_EQ(open.checkWrite("", "anything", now), "");
    EXPECT_EQ(open.checkCommand("", "anything", false, now), "");
    std::string broken;
    EXPECT_NE(open.takeLock("", 60s, now, broken), "");
}

TEST(AccessControl, SecuredWithoutRulesGrantsEveryTrustedIdentity)
{
    AccessControl control;
    control.configure(true, std::nullopt, {});
    auto now = AccessControl::Clock::now();
    EXPECT_EQ(control.checkWrite("anyone", "x", now), "");
    std::string broken;
    EXPECT_EQ(control.takeLock("anyone", 60s, now, broken), "");
    EXPECT_NE(control.checkWrite("other", "x", now), "") << "but a lock still holds";
}

TEST(AccessControl, LockHoldsExpiresAndBreaksOnlyWithOverride)
{
    AccessControl control;
    control.configure(true, AccessRules::parse(kExample, "f"), {{"carol", {"operators"}}});
    auto t0 = AccessControl::Clock::now();
    std::string broken;
    EXPECT_NE(control.takeLock("carol", 60s, t0, broken), "") << "carol has no lock right";
    ASSERT_EQ(control.takeLock("alice", 60s, t0, broken), "");
    EXPECT_EQ(control.checkWrite("alice", "exposure", t0), "");
    std::string refused = control.checkWrite("carol", "exposure", t0);
    EXPECT_NE(refused.find("locked by alice"), std::string::npos) << refused;
    EXPECT_NE(control.checkCommand("bob", "expose", false, t0), "");
    EXPECT_EQ(control.checkCommand("bob", "abort", true, t0), "") << "a safety command passes a lock";
    EXPECT_NE(control.checkCommand("carol", "abort", true, t0), "") << "but needs the run right";

    EXPECT_NE(control.takeLock("bob", 60s, t0, broken), "") << "lock right is not override";
    EXPECT_NE(control.releaseLock("bob", t0, broken), "");
    EXPECT_EQ(control.takeLock("alice", 60s, t0 + 50s, broken), "") << "renewed by its holder";
    EXPECT_TRUE(control.lock(t0 + 100s));
    EXPECT_FALSE(control.expire(t0 + 100s));
    EXPECT_TRUE(control.expire(t0 + 111s));
    EXPECT_EQ(control.checkWrite("carol", "exposure", t0 + 111s), "");

    ASSERT_EQ(control.takeLock("bob", 60s, t0 + 200s, broken), "");
    EXPECT_EQ(control.releaseLock("admin", t0 + 201s, broken), "");
    EXPECT_EQ(broken, "bob");
    EXPECT_FALSE(control.lock(t0 + 201s));
    EXPECT_NE(control.takeLock("alice", 0s, t0, broken), "");
    EXPECT_NE(control.takeLock("alice", AccessControl::kMaxLease + 1s, t0, broken), "");
}

}  // namespace
