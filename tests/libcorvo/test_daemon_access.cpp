// A daemon's access decisions: rules loaded from its configuration
// directory, refusals by rights and by the lock, the built-in "lock" and
// "unlock" commands, safety commands, and the audit records of every request.
// Without a running network: requests are handed over as the network does.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "corvo/daemon.h"
#include "corvo/peer.h"
#include "support/captured_output.h"
#include "support/temp_dir.h"

namespace {

// Counts what properties publish while a test runs.
struct BroadcastCounter {
    std::vector<std::string> names;
    static inline BroadcastCounter* current = nullptr;
    BroadcastCounter() { current = this; }
    ~BroadcastCounter() { current = nullptr; }
};

class GuardedDaemon : public corvo::Daemon {
public:
    GuardedDaemon() : Daemon("guarded")
    {
        createProperty("slot", corvo::Property::INT, "slot", true);
        createProperty("label", corvo::Property::STRING, "label", true);
        createCommand(
            "move",
            [this](std::vector<std::string> args) {
                if (args[0] == "13")
                    throw corvo::CorvoArgError();  // the device's own check
                ran.push_back("move " + args[0]);
            },
            "", 1, corvo::ARG_INT, "slot");
        createCommand(
            "stop", [this](std::vector<std::string>) { ran.push_back("stop"); }, "");
        markSafetyCommand("stop");
    }

    // Options, keys (an identity when `secured`) and the start-up hooks up
    // to the loop; the logger writes to standard output.
    void prepare(bool secured, std::map<std::string, std::vector<std::string>> groups = {})
    {
        const char* args[] = {"guarded"};
        optionParser.parseArgs(1, const_cast<char**>(args));
        processOptions();
        if (secured)
            keyPair.identity = "guarded";
        for (auto& [identity, its] : groups)
            trustedIdentities.push_back({identity, "", {}, its});
        beforeInit();
        network = std::make_shared<corvo::Network>(this, false);
        logger.init(name, spdlog::level::info, network.get());
    }

    // The daemon's timers on the default loop, as before the loop starts.
    void startLoopTimers()
    {
        loop = uv_default_loop();
        beforeLoop();
    }

    // The device's own check after the daemon's: some labels are refused.
    void onPropertyCommand(std::shared_ptr<corvo::Peer> peer, const corvo::proto::PropertyChange& change) override
    {
        if (change.name() == "label" && change.strval().value() == "forbidden")
            return refuseProperty(peer, "label", "not a label this device takes");
        // The device's own limit: a larger slot is clamped.
        if (change.name() == "slot" && change.intval().value() > kLastSlot)
            return getProperty("slot")->setValue(kLastSlot);
        // A motion that ends later: nothing applied, nothing broadcast yet.
        if (change.name() == "label" && change.strval().value() == "slow")
            return;
        // Finished later through the ticket (another thread, a queue).
        if (change.name() == "label" && change.strval().value() == "later") {
            tickets.push_back(deferChange());
            return;
        }
        Daemon::onPropertyCommand(peer, change);
    }

    void finishLater(uint64_t ticket, const std::string& refusal) { finishDeferredChange(ticket, refusal); }
    static constexpr long kLastSlot = 9;
    std::vector<uint64_t> tickets;

    void publish(const corvo::Property& property) override
    {
        if (BroadcastCounter::current)
            BroadcastCounter::current->names.push_back(property.name);
        Daemon::publish(property);
    }

    std::vector<std::string> ran;
};

std::shared_ptr<corvo::Peer> peerOf(const std::string& identity, const std::string& name = "tool")
{
    auto peer = std::make_shared<corvo::Peer>(name, "UUID-" + identity + "-" + name, "tcp://127.0.0.1:4000");
    peer->identity = identity;
    return peer;
}

corvo::proto::Command command(std::vector<std::string> words)
{
    corvo::proto::Command record;
    record.set_cmd_name(words[0]);
    for (size_t i = 1; i < words.size(); ++i)
        record.add_args(words[i]);
    return record;
}

corvo::proto::PropertyChange setSlot(long value)
{
    corvo::proto::PropertyChange change;
    change.set_name("slot");
    change.set_command(true);
    change.mutable_intval()->set_value(value);
    return change;
}

// A death test's child runs the test again up to its statement and leaves
// through exit(), past the destructors: its temporary directory goes with an
// exit handler.
std::string childDir;
void removeChildDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(childDir, ignored);
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class DaemonAccess : public ::testing::Test {
protected:
    void SetUp() override
    {
        confDir = dir / "conf";
        mkdir(confDir.c_str(), 0755);
        setenv("HOME", dir.path().c_str(), 1);
        setenv("CORVO_CONF_PATH", confDir.c_str(), 1);
        // After the environment: the daemon finds its directories when made.
        daemon = std::make_unique<GuardedDaemon>();
    }

    void writeRules(const std::string& text) { std::ofstream(confDir + "/guarded.rules") << text; }

    std::string handle(const std::shared_ptr<corvo::Peer>& peer, const corvo::proto::PropertyChange& change)
    {
        corvotest::CapturedDiagnostics quiet;
        corvotest::CapturedStream console(STDOUT_FILENO);  // the daemon's log
        daemon->handlePropertyCommand(peer, change);
        return console.take();
    }
    std::string handle(const std::shared_ptr<corvo::Peer>& peer, const corvo::proto::Command& record)
    {
        corvotest::CapturedStream console(STDOUT_FILENO);  // the daemon's log
        daemon->handleCommand(peer, record);
        return console.take();
    }

    long slot() const { return daemon->getProperty("slot")->intValue; }
    std::string lock() const { return daemon->getProperty("lock")->strValue; }

    corvotest::TempDir dir{"corvo-access"};
    std::string confDir;
    std::unique_ptr<GuardedDaemon> daemon;
};

TEST_F(DaemonAccess, RightsDecideWritesAndCommandsAndEveryDecisionIsAudited)
{
    writeRules("allow alice set slot\n"
               "allow alice, @ops run move\n"
               "allow * run stop\n");
    daemon->prepare(true, {{"alice", {}}, {"bob", {}}, {"carol", {"ops"}}});
    ASSERT_TRUE(daemon->accessControl().hasRules());

    std::string out = handle(peerOf("bob"), setSlot(3));
    EXPECT_EQ(slot(), 0);
    EXPECT_NE(out.find("[warning] audit: refused set slot = 3 (was 0) by bob (tool at tcp://127.0.0.1:4000): bob may "
                       "not set slot"),
              std::string::npos)
        << out;
    out = handle(peerOf("alice"), setSlot(3));
    EXPECT_EQ(slot(), 3);
    EXPECT_NE(out.find("[info] audit: accepted set slot = 3 (was 0) by alice (tool at tcp://127.0.0.1:4000)"),
              std::string::npos)
        << out;
    // A property no rule names is nobody's to write.
    corvo::proto::PropertyChange label;
    label.set_name("label");
    label.set_command(true);
    label.mutable_strval()->set_value("Ha");
    out = handle(peerOf("alice"), label);
    EXPECT_EQ(daemon->getProperty("label")->strValue, "");
    EXPECT_NE(out.find("refused set label = Ha (was ) by alice"), std::string::npos) << out;

    out = handle(peerOf("bob"), command({"move", "2"}));
    EXPECT_NE(out.find("audit: refused run move 2 by bob (tool at tcp://127.0.0.1:4000): bob may not run move"),
              std::string::npos)
        << out;
    handle(peerOf("carol"), command({"move", "4"}));  // through the group of her identity file
    handle(peerOf("bob"), command({"stop"}));
    EXPECT_EQ(daemon->ran, (std::vector<std::string>{"move 4", "stop"}));

    // A peer without a proven identity gets nothing on a secured site.
    out = handle(peerOf(""), command({"stop"}));
    EXPECT_NE(out.find("refused run stop by no identity (tool at tcp://127.0.0.1:4000): no proven identity"),
              std::string::npos)
        << out;
    EXPECT_EQ(daemon->ran.size(), 2u);
    // Malformed requests keep their error record, which names the identity.
    out = handle(peerOf("bob"), command({"move"}));
    EXPECT_NE(out.find("(from tool [bob]: 'move' takes 1 argument, got 0)"), std::string::npos) << out;
}

TEST_F(DaemonAccess, ALockShutsOutOthersButNotSafetyCommandsAndOnlyOverrideBreaksIt)
{
    writeRules("allow alice, bob set *\n"
               "allow alice, bob run *\n"
               "allow alice, bob, admin lock\n"
               "allow admin override\n");
    daemon->prepare(true);
    EXPECT_EQ(lock(), "");

    handle(peerOf("alice"), command({"lock", "60"}));
    EXPECT_EQ(lock().rfind("alice until 20", 0), 0u) << lock();
    handle(peerOf("alice", "other-program"), setSlot(1));  // the identity holds it, whatever the program
    EXPECT_EQ(slot(), 1);

    std::string out = handle(peerOf("bob"), setSlot(2));
    EXPECT_EQ(slot(), 1);
    EXPECT_NE(out.find("by bob (tool at tcp://127.0.0.1:4000): locked by alice until 20"), std::string::npos) << out;
    handle(peerOf("bob"), command({"move", "5"}));
    handle(peerOf("bob"), command({"stop"}));  // a safety command
    EXPECT_EQ(daemon->ran, std::vector<std::string>{"stop"});
    // A safety command passes the lock, not the rules.
    out = handle(peerOf("carol"), command({"stop"}));
    EXPECT_NE(out.find("refused run stop by carol (tool at tcp://127.0.0.1:4000): carol may not run stop"),
              std::string::npos)
        << out;
    EXPECT_EQ(daemon->ran, std::vector<std::string>{"stop"});
    out = handle(peerOf("bob"), command({"unlock"}));
    EXPECT_NE(out.find("refused unlock by bob"), std::string::npos) << out;
    out = handle(peerOf("bob"), command({"lock", "0"}));
    EXPECT_NE(out.find("refused lock for 900 s by bob"), std::string::npos) << out;
    EXPECT_EQ(lock().rfind("alice until", 0), 0u);

    out = handle(peerOf("admin"), command({"lock", "30"}));
    EXPECT_NE(out.find("[warning] audit: accepted lock for 30 s by admin (tool at tcp://127.0.0.1:4000), breaking "
                       "the lock of alice"),
              std::string::npos)
        << out;
    EXPECT_EQ(lock().rfind("admin until", 0), 0u);
    handle(peerOf("admin"), command({"unlock"}));
    EXPECT_EQ(lock(), "");
    out = handle(peerOf("admin"), command({"unlock"}));
    EXPECT_NE(out.find("refused unlock by admin (tool at tcp://127.0.0.1:4000): not locked"), std::string::npos);

    handle(peerOf("bob"), setSlot(2));
    EXPECT_EQ(slot(), 2);
    // Leases out of range are refused, and change nothing.
    for (std::string lease : {"-5", "86401", "99999999999999999999"}) {
        out = handle(peerOf("bob"), command({"lock", lease}));
        EXPECT_EQ(lock(), "") << lease << ": " << out;
    }
    EXPECT_EQ(count(out, "refused lock"), 0u);  // not an integer: refused before any lock decision
    out = handle(peerOf("bob"), command({"lock", "86401"}));
    EXPECT_NE(out.find("refused lock for -1 s by bob (tool at tcp://127.0.0.1:4000): a lease lasts 1 to 86400 seconds"),
              std::string::npos)
        << out;
}

TEST_F(DaemonAccess, ARevokedIdentityLosesItsLockAndTheChangeIsAuditedAndPublished)
{
    // Nobody may override: only the revocation can end alice's lock early.
    writeRules("allow alice, bob set *\n"
               "allow alice, bob lock\n");
    daemon->prepare(true);
    handle(peerOf("alice"), command({"lock", "86400"}));
    ASSERT_EQ(lock().rfind("alice until", 0), 0u) << lock();

    BroadcastCounter broadcasts;
    std::string out;
    {
        corvotest::CapturedStream console(STDOUT_FILENO);
        daemon->onRevoked("carol");  // not the holder: the lock stays
        EXPECT_EQ(lock().rfind("alice until", 0), 0u) << lock();
        daemon->onRevoked("alice");
        out = console.take();
    }
    EXPECT_EQ(lock(), "");
    EXPECT_EQ(broadcasts.names, std::vector<std::string>{"lock"});
    EXPECT_NE(out.find("[warning] audit: the lock of alice ended: the identity is no longer trusted"),
              std::string::npos)
        << out;
    EXPECT_EQ(count(out, "audit:"), 1u) << out;
    handle(peerOf("bob"), setSlot(2));
    EXPECT_EQ(slot(), 2);
}

TEST_F(DaemonAccess, TheLoopEndsALeaseAndPublishesTheFreeLock)
{
    daemon->prepare(true);
    daemon->startLoopTimers();
    handle(peerOf("alice"), command({"lock", "1"}));
    EXPECT_EQ(lock().rfind("alice until", 0), 0u);
    BroadcastCounter broadcasts;
    // Only the lease timer keeps the loop alive: it runs until the lease ended.
    std::string out;
    {
        corvotest::CapturedStream console(STDOUT_FILENO);
        uv_run(uv_default_loop(), UV_RUN_DEFAULT);
        out = console.take();
    }
    EXPECT_EQ(lock(), "");
    EXPECT_EQ(broadcasts.names, std::vector<std::string>{"lock"});
    EXPECT_NE(out.find("[info] audit: the lock of alice expired"), std::string::npos) << out;
    handle(peerOf("bob"), setSlot(2));
    EXPECT_EQ(slot(), 2);
    daemon->cleanup();
    uv_run(uv_default_loop(), UV_RUN_NOWAIT);  // the timer's close
}

TEST_F(DaemonAccess, WithoutRulesASecuredSiteGrantsEveryRightAndAnOpenSiteIsUnchanged)
{
    daemon->prepare(true);
    EXPECT_FALSE(daemon->accessControl().hasRules());
    corvo::proto::Info info = daemon->composeInfo();
    std::set<std::string> names;
    for (const auto& c : info.commands())
        names.insert(c.cmd_name());
    EXPECT_EQ(names, (std::set<std::string>{"lock", "move", "stop", "unlock"}));
    ASSERT_TRUE(daemon->getProperty("lock"));
    EXPECT_FALSE(daemon->getProperty("lock")->writable);
    handle(peerOf("anyone"), command({"lock", "10"}));
    EXPECT_EQ(lock().rfind("anyone until", 0), 0u);
    handle(peerOf("someone"), setSlot(4));
    EXPECT_EQ(slot(), 0);
    handle(peerOf("anyone"), setSlot(4));
    EXPECT_EQ(slot(), 4);

    GuardedDaemon open;
    open.prepare(false);
    EXPECT_FALSE(open.getProperty("lock"));
    EXPECT_EQ(open.composeInfo().commands_size(), 2);
    std::string out;
    {
        corvotest::CapturedStream console(STDOUT_FILENO);
        open.handleCommand(peerOf("", "client"), command({"lock", "10"}));
        open.handlePropertyCommand(peerOf("", "client"), setSlot(5));
        out = console.take();
    }
    EXPECT_EQ(open.getProperty("slot")->intValue, 5);
    EXPECT_NE(out.find("unknown command 'lock'"), std::string::npos) << out;
    // On an open site the audit names the program and its address.
    EXPECT_NE(out.find("[info] audit: accepted set slot = 5 (was 0) by client at tcp://127.0.0.1:4000"),
              std::string::npos)
        << out;
}

TEST_F(DaemonAccess, ARequestTheDevicesOwnCheckRefusesIsAuditedOnlyAsRefused)
{
    GuardedDaemon open;
    open.prepare(false);
    corvo::proto::PropertyChange label;
    label.set_name("label");
    label.set_command(true);
    label.mutable_strval()->set_value("forbidden");
    corvotest::CapturedDiagnostics quiet;
    corvotest::CapturedStream console(STDOUT_FILENO);  // the daemon's log
    open.handlePropertyCommand(peerOf("", "client"), label);
    open.handleCommand(peerOf("", "client"), command({"move", "13"}));
    open.handleCommand(peerOf("", "client"), command({"move", "2"}));
    std::string out = console.take();
    EXPECT_EQ(open.getProperty("label")->strValue, "");
    EXPECT_EQ(count(out, "audit: accepted set label"), 0u) << out;
    EXPECT_NE(out.find("[warning] audit: refused set label = forbidden (was ) by client at tcp://127.0.0.1:4000: not "
                       "a label this device takes"),
              std::string::npos)
        << out;
    EXPECT_EQ(count(out, "audit: accepted run move 13"), 0u) << out;
    EXPECT_EQ(count(out, "audit: refused run move 13"), 1u) << out;
    EXPECT_EQ(count(out, "audit: accepted run move 2"), 1u) << out;
    EXPECT_EQ(open.ran, std::vector<std::string>{"move 2"});
}

corvo::proto::PropertyChange setLabel(const std::string& value)
{
    corvo::proto::PropertyChange change;
    change.set_name("label");
    change.set_command(true);
    change.mutable_strval()->set_value(value);
    return change;
}

TEST_F(DaemonAccess, TheAuditRecordsTheValueTheHandlerApplied)
{
    daemon->prepare(false);
    auto client = peerOf("", "client");
    const std::string by = " by client at tcp://127.0.0.1:4000";

    // Clamped by the handler: the applied value, and what was asked.
    std::string out = handle(client, setSlot(12));
    EXPECT_EQ(slot(), 9);
    EXPECT_EQ(count(out, "audit:"), 1u) << out;
    EXPECT_NE(out.find("[info] audit: accepted set slot = 9 (requested 12, was 0)" + by), std::string::npos) << out;
    out = handle(client, setSlot(4));
    EXPECT_NE(out.find("[info] audit: accepted set slot = 4 (was 9)" + by), std::string::npos) << out;

    // Accepted, but the handler has not applied it yet.
    out = handle(client, setLabel("slow"));
    EXPECT_NE(out.find("[info] audit: accepted set label = slow (was )" + by + ", not applied yet (value )"),
              std::string::npos)
        << out;

    // Deferred: audited when the handler's later work ends, with what it
    // applied then, or as refused.
    out = handle(client, setLabel("later"));
    EXPECT_EQ(count(out, "audit:"), 0u) << out;
    ASSERT_EQ(daemon->tickets.size(), 1u);
    ASSERT_NE(daemon->tickets[0], 0u);
    {
        corvotest::CapturedStream console(STDOUT_FILENO);
        daemon->getProperty("label")->setValue("LATER");
        daemon->finishLater(daemon->tickets[0], "");
        daemon->finishLater(daemon->tickets[0], "");  // once only
        out = console.take();
    }
    EXPECT_EQ(count(out, "audit:"), 1u) << out;
    EXPECT_NE(out.find("[info] audit: accepted set label = LATER (requested later, was )" + by), std::string::npos)
        << out;
    handle(client, setLabel("later"));
    ASSERT_EQ(daemon->tickets.size(), 2u);
    EXPECT_NE(daemon->tickets[1], daemon->tickets[0]);
    {
        corvotest::CapturedStream console(STDOUT_FILENO);
        daemon->finishLater(daemon->tickets[1], "the label wheel jammed");
        out = console.take();
    }
    EXPECT_NE(out.find("[warning] audit: refused set label = later (was LATER)" + by + ": the label wheel jammed"),
              std::string::npos)
        << out;

    // Deferred changes that never end are bounded: the oldest is audited as
    // it stands when the table is full.
    auto other = peerOf("", "flood");
    daemon->tickets.clear();
    for (size_t i = 0; i < corvo::Daemon::kMaxPendingChanges + 3; ++i)
        out = handle(other, setLabel("later"));
    EXPECT_EQ(count(out, "audit: accepted set label = later (was LATER)"), 1u) << out;
    daemon->getProperty("label")->setValue("x");
    {
        corvotest::CapturedStream console(STDOUT_FILENO);
        daemon->finishLater(daemon->tickets.front(), "");  // already audited
        daemon->finishLater(daemon->tickets.back(), "");
        out = console.take();
    }
    EXPECT_EQ(count(out, "audit:"), 1u) << out;
    EXPECT_NE(out.find("accepted set label = x (requested later, was LATER) by flood"), std::string::npos) << out;
}

TEST_F(DaemonAccess, AuditRecordsOfAFloodingPeerAreBoundedAndCounted)
{
    daemon->prepare(true);
    auto peer = peerOf("alice");
    std::string out;
    {
        corvotest::CapturedDiagnostics quiet;
        corvotest::CapturedStream console(STDOUT_FILENO);
        for (int i = 0; i < 500; ++i)
            daemon->handlePropertyCommand(peer, setSlot(i % 6));
        out = console.take();
    }
    EXPECT_EQ(slot(), 499 % 6);
    EXPECT_EQ(count(out, "audit: accepted set slot"), 20u);
    {
        corvotest::CapturedStream console(STDOUT_FILENO);
        daemon->cleanup();
        out = console.take();
    }
    EXPECT_NE(out.find("audit: last record of tool repeated 480 times"), std::string::npos) << out;
}

TEST_F(DaemonAccess, RulesThatCannotBeUsedStopTheDaemon)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the node's threads
    auto start = [this](bool secured) {
        childDir = dir.path();
        std::atexit(removeChildDir);
        GuardedDaemon().prepare(secured);
    };
    writeRules("allow alice set slot\n");
    EXPECT_EXIT(start(false), ::testing::ExitedWithCode(1), "access rules .*guarded.rules need a secured site");
    writeRules("allow alice fly slot\n");
    EXPECT_EXIT(start(true), ::testing::ExitedWithCode(1), "guarded.rules:1: missing right");
    remove((confDir + "/guarded.rules").c_str());
    symlink("/etc/passwd", (confDir + "/guarded.rules").c_str());
    EXPECT_EXIT(start(true), ::testing::ExitedWithCode(1), "guarded.rules");
}

}  // namespace
