// Revoking a key on a running secured node: the table of trusted keys
// itself, and nodes that drop a peer whose key they stopped trusting, keep
// it out (its new handshakes and its old connection alike), and let it back
// once the key is trusted again. The node tests run in a namespace (v0).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "zre_curve.hpp"
#include "zre_test_util.hpp"

using namespace zretest;

namespace {

struct Keys {
    std::string publicKey;
    std::string secretKey;
    Keys()
    {
        char pub[41], sec[41];
        zmq_curve_keypair(pub, sec);
        publicKey = pub;
        secretKey = sec;
    }
    zre::CurveKey raw() const { return *zre::curveKeyFromText(publicKey); }
};

zre::TrustedIdentity entry(const Keys& keys, const std::string& identity)
{
    zre::TrustedIdentity e;
    e.identity = identity;
    e.key = keys.raw();
    e.names = {identity};
    return e;
}

TEST(ZreTrustTable, RemovingAKeyForgetsItUnderBothLookups)
{
    Keys ka, kb;
    zre::TrustTable table;
    ASSERT_TRUE(table.add(entry(ka, "alice")));
    ASSERT_TRUE(table.add(entry(kb, "bob")));
    EXPECT_TRUE(table.remove(ka.raw()));
    EXPECT_EQ(table.byKey(ka.raw()), nullptr);
    EXPECT_EQ(table.byIdentity("alice"), nullptr);
    EXPECT_FALSE(table.trusts("alice", ka.raw()));
    EXPECT_EQ(table.size(), 1u);
    EXPECT_FALSE(table.remove(ka.raw())) << "a key removed twice";
    // The other entry is untouched.
    ASSERT_NE(table.byIdentity("bob"), nullptr);
    EXPECT_TRUE(table.trusts("bob", kb.raw()));
}

TEST(ZreTrustTable, AnIdentityComesBackUnderANewKeyAndTheOldOneStaysOut)
{
    Keys oldKey, newKey;
    zre::TrustTable table;
    ASSERT_TRUE(table.add(entry(oldKey, "alice")));
    EXPECT_FALSE(table.add(entry(newKey, "alice"))) << "one identity under two keys";
    ASSERT_TRUE(table.remove(oldKey.raw()));
    ASSERT_TRUE(table.add(entry(newKey, "alice")));
    EXPECT_TRUE(table.trusts("alice", newKey.raw()));
    EXPECT_FALSE(table.trusts("alice", oldKey.raw())) << "a connection proved with the old key";
    EXPECT_EQ(table.byKey(oldKey.raw()), nullptr);
    ASSERT_NE(table.byKey(newKey.raw()), nullptr);
    EXPECT_EQ(table.byKey(newKey.raw())->identity, "alice");
}

TEST(ZreTrustTable, ACopyIsNotChangedByTheOriginal)
{
    // A node's table is a copy taken when the trust is applied; later edits
    // of the front's table must not reach it before the next apply.
    Keys ka;
    zre::TrustTable front;
    ASSERT_TRUE(front.add(entry(ka, "alice")));
    zre::TrustTable applied(front);
    ASSERT_TRUE(front.remove(ka.raw()));
    EXPECT_TRUE(applied.trusts("alice", ka.raw()));
}

// Two secured nodes that trust each other, and whose events are read.
class ZreRevocation : public ::testing::Test {
protected:
    void SetUp() override
    {
        NodeOptions o;
        o.port = freshPort();
        o.verbose = getenv("ZRE_DEBUG") != nullptr;
        a_ = std::make_unique<TestNode>("alpha", o);
        b_ = std::make_unique<TestNode>("beta", o);
        ASSERT_EQ(zyre_set_curve_keypair(a_->get(), ka_.publicKey.c_str(), ka_.secretKey.c_str()), 0);
        ASSERT_EQ(zyre_set_curve_keypair(b_->get(), kb_.publicKey.c_str(), kb_.secretKey.c_str()), 0);
        for (TestNode* n : {a_.get(), b_.get()}) {
            ASSERT_EQ(zyre_trust_key(n->get(), ka_.publicKey.c_str(), "alice", "alpha"), 0);
            ASSERT_EQ(zyre_trust_key(n->get(), kb_.publicKey.c_str(), "bob", "beta"), 0);
        }
        ASSERT_TRUE(a_->start());
        ASSERT_TRUE(b_->start());
        ASSERT_TRUE(a_->waitFor(isEvent("ENTER", b_->uuid()), 10000));
        ASSERT_TRUE(b_->waitFor(isEvent("ENTER", a_->uuid()), 10000));
    }

    // Alpha's events about beta since `from` (an index into its events).
    size_t countFromB(const std::string& type, size_t from) const
    {
        size_t n = 0;
        const auto& events = a_->events();
        for (size_t i = from; i < events.size(); ++i)
            if (events[i].type == type && events[i].uuid == b_->uuid())
                ++n;
        return n;
    }

    Keys ka_, kb_;
    std::unique_ptr<TestNode> a_, b_;
};

TEST_F(ZreRevocation, ARevokedPeerIsDroppedAtOnceStaysOutAndComesBackWhenTrustedAgain)
{
    ASSERT_EQ(zyre_untrust_key(a_->get(), kb_.publicKey.c_str()), 0);
    EXPECT_EQ(zyre_untrust_key(a_->get(), kb_.publicKey.c_str()), -1) << "untrusted twice";
    ASSERT_EQ(zyre_apply_trust(a_->get()), 0);
    // The EXIT is queued before zyre_apply_trust returns.
    EXPECT_TRUE(a_->waitFor(isEvent("EXIT", b_->uuid()), 500)) << "beta kept its session";

    // Beta still trusts alpha: it keeps beaconing, greets again over its
    // old connection and tries new ones, and whispers.
    size_t from = a_->events().size();
    for (int i = 0; i < 15; ++i) {
        b_->whisper(a_->uuid(), {"after revocation"});
        a_->drain(200);
        b_->drain(0);
    }
    EXPECT_EQ(countFromB("ENTER", from), 0u) << "the revoked key came back";
    EXPECT_EQ(countFromB("WHISPER", from), 0u) << "a message of the revoked key was delivered";
    // Beta finds that alpha stopped answering.
    EXPECT_TRUE(b_->waitFor(isEvent("EXIT", a_->uuid()), 5000));

    size_t fromAtB = b_->events().size();
    ASSERT_EQ(zyre_trust_key(a_->get(), kb_.publicKey.c_str(), "bob", "beta"), 0);
    ASSERT_EQ(zyre_apply_trust(a_->get()), 0);
    for (int i = 0; i < 250 && countFromB("ENTER", from) == 0; ++i) {
        a_->drain(100);
        b_->drain(0);
    }
    EXPECT_EQ(countFromB("ENTER", from), 1u) << "beta did not come back once trusted again";
    // Both ways work again (beta's mailbox to alpha, refused while
    // revoked, is made afresh), and beta stays.
    auto enteredB = [&] {
        const auto& events = b_->events();
        return std::any_of(events.begin() + ptrdiff_t(fromAtB), events.end(),
                           [&](const Event& e) { return e.type == "ENTER" && e.uuid == a_->uuid(); });
    };
    for (int i = 0; i < 100 && !enteredB(); ++i)
        b_->drain(100);
    EXPECT_TRUE(enteredB()) << "alpha did not enter at beta again";
    size_t back = a_->events().size();
    b_->whisper(a_->uuid(), {"back"});
    a_->whisper(b_->uuid(), {"welcome"});
    EXPECT_TRUE(a_->waitFor(isEvent("WHISPER", b_->uuid()), 5000));
    EXPECT_TRUE(b_->waitFor(isEvent("WHISPER", a_->uuid()), 5000));
    for (int i = 0; i < 5; ++i) {
        a_->drain(1000);
        b_->drain(0);
    }
    EXPECT_EQ(countFromB("EXIT", back), 0u) << "beta left again after it came back";
}

TEST_F(ZreRevocation, EditsTakeEffectOnlyWhenApplied)
{
    ASSERT_EQ(zyre_untrust_key(a_->get(), kb_.publicKey.c_str()), 0);
    a_->drain(500);
    EXPECT_FALSE(a_->saw(isEvent("EXIT", b_->uuid()))) << "dropped before the change was applied";
    // Untrusting and trusting again in one step keeps the session.
    ASSERT_EQ(zyre_trust_key(a_->get(), kb_.publicKey.c_str(), "bob", "beta"), 0);
    ASSERT_EQ(zyre_apply_trust(a_->get()), 0);
    size_t from = a_->events().size();
    b_->whisper(a_->uuid(), {"still here"});
    EXPECT_TRUE(a_->waitFor(isEvent("WHISPER", b_->uuid()), 5000));
    EXPECT_EQ(countFromB("EXIT", 0), 0u);
    EXPECT_EQ(countFromB("ENTER", from), 0u);
}

TEST_F(ZreRevocation, AnIdentityThatMayNoLongerAnnounceItsNameIsDropped)
{
    ASSERT_EQ(zyre_untrust_key(a_->get(), kb_.publicKey.c_str()), 0);
    ASSERT_EQ(zyre_trust_key(a_->get(), kb_.publicKey.c_str(), "bob", "gamma"), 0);
    ASSERT_EQ(zyre_apply_trust(a_->get()), 0);
    EXPECT_TRUE(a_->waitFor(isEvent("EXIT", b_->uuid()), 500));
    size_t from = a_->events().size();
    a_->drain(2000);
    EXPECT_EQ(countFromB("ENTER", from), 0u) << "beta entered under a name bob may no longer announce";
}

TEST_F(ZreRevocation, AnIdentityUnderANewKeyDropsThePeerOfTheOldOne)
{
    Keys replacement;
    ASSERT_EQ(zyre_untrust_key(a_->get(), kb_.publicKey.c_str()), 0);
    ASSERT_EQ(zyre_trust_key(a_->get(), replacement.publicKey.c_str(), "bob", "beta"), 0);
    ASSERT_EQ(zyre_apply_trust(a_->get()), 0);
    EXPECT_TRUE(a_->waitFor(isEvent("EXIT", b_->uuid()), 500));
    size_t from = a_->events().size();
    for (int i = 0; i < 10; ++i) {
        b_->whisper(a_->uuid(), {"old key"});
        a_->drain(200);
        b_->drain(0);
    }
    EXPECT_EQ(countFromB("ENTER", from), 0u) << "the old key came back as bob";
    EXPECT_EQ(countFromB("WHISPER", from), 0u);
}

TEST(ZreRevocationApi, OpenNodesAndMalformedKeysAreRefused)
{
    NodeOptions o;
    o.port = freshPort();
    TestNode open("open", o);
    EXPECT_EQ(zyre_untrust_key(open.get(), "not a key"), -1);
    EXPECT_EQ(zyre_untrust_key(open.get(), nullptr), -1);
    EXPECT_EQ(zyre_apply_trust(open.get()), 0) << "before start: nothing to hand over";
    ASSERT_TRUE(open.start());
    EXPECT_EQ(zyre_apply_trust(open.get()), -1) << "an open node has no trust to change";
}

}  // namespace
