// Checking a command against what a peer declared.
#include <gtest/gtest.h>

#include "corvo/peer.h"
#include "support/captured_output.h"

namespace {

corvo::Peer cameraWithExpose()
{
    corvo::Peer peer("cam", "UUID", "tcp://127.0.0.1:1");
    corvo::CommandDef expose;
    expose.name = "expose";
    expose.args.push_back({corvo::ARG_DOUBLE, "seconds"});
    peer.commands["expose"] = expose;
    corvo::CommandDef abort;
    abort.name = "abort";
    peer.commands["abort"] = abort;
    return peer;
}

bool verifyQuietly(corvo::Peer& peer, std::vector<std::string> command, std::string* err = nullptr)
{
    corvotest::CapturedDiagnostics captured;
    bool ok = peer.verifyCommand(std::move(command));
    std::string text = captured.stderrText();
    if (err)
        *err = text;
    return ok;
}

TEST(VerifyCommand, APeerWithoutInfoKnowsNoCommand)
{
    corvo::Peer peer("cam", "UUID", "");
    std::string err;
    EXPECT_FALSE(verifyQuietly(peer, {"expose", "1"}, &err));
    EXPECT_EQ(err, "command not found\n");
}

TEST(VerifyCommand, ValuesAreCountedNotTyped)
{
    corvo::Peer peer = cameraWithExpose();
    std::string err;
    EXPECT_FALSE(verifyQuietly(peer, {"expose"}, &err));
    EXPECT_EQ(err, "");  // too few values: false without a message
    EXPECT_TRUE(verifyQuietly(peer, {"expose", "1.5"}));
    EXPECT_TRUE(verifyQuietly(peer, {"expose", "1.5", "extra"}));
    EXPECT_TRUE(verifyQuietly(peer, {"expose", "not a number"}));
    EXPECT_TRUE(verifyQuietly(peer, {"abort"}));
    EXPECT_TRUE(verifyQuietly(peer, {"abort", "anything"}));
}

TEST(VerifyCommand, NamesMatchExactly)
{
    corvo::Peer peer = cameraWithExpose();
    std::string err;
    EXPECT_FALSE(verifyQuietly(peer, {"Expose", "1"}, &err));
    EXPECT_EQ(err, "command not found\n");
    EXPECT_FALSE(verifyQuietly(peer, {"expose ", "1"}));
}

TEST(VerifyCommand, AnEmptyCommandIsNotFound)
{
    corvo::Peer peer = cameraWithExpose();
    std::string err;
    EXPECT_FALSE(verifyQuietly(peer, {}, &err));
    EXPECT_EQ(err, "command not found\n");
}

TEST(Peer, StartsEmpty)
{
    corvo::Peer peer("cam", "UUID", "tcp://10.0.0.1:5");
    EXPECT_EQ(peer.name, "cam");
    EXPECT_EQ(peer.uuid, "UUID");
    EXPECT_EQ(peer.address, "tcp://10.0.0.1:5");
    EXPECT_FALSE(peer.client);
    EXPECT_EQ(peer.status, 0u);
    EXPECT_EQ(peer.type, "");
    EXPECT_TRUE(peer.commands.empty());
    EXPECT_TRUE(peer.properties.empty());
    EXPECT_TRUE(peer.statusNames.empty());
}

}  // namespace
