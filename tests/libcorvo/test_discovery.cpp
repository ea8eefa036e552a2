// Discovery settings: gossip endpoints as options and configuration entries.
#include "corvo/discovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

using namespace corvo;

TEST(GossipEndpoint, AcceptsTcpEndpointsAndNamesWhatIsWrong)
{
    EXPECT_EQ(gossipEndpointProblem("tcp://10.0.1.5:5671", false), "");
    EXPECT_EQ(gossipEndpointProblem("tcp://rendezvous.lab:5671", false), "");
    EXPECT_EQ(gossipEndpointProblem("tcp://*:5671", true), "");
    EXPECT_EQ(gossipEndpointProblem("tcp://10.0.1.5:5671", true), "");

    EXPECT_NE(gossipEndpointProblem("udp://10.0.1.5:5671", false), "");
    EXPECT_NE(gossipEndpointProblem("10.0.1.5:5671", false), "");
    EXPECT_NE(gossipEndpointProblem("tcp://10.0.1.5", false), "");
    EXPECT_NE(gossipEndpointProblem("tcp://10.0.1.5:0", false), "");
    EXPECT_NE(gossipEndpointProblem("tcp://10.0.1.5:65536", false), "");
    EXPECT_NE(gossipEndpointProblem("tcp://10.0.1.5:99999999999", false), "");
    EXPECT_NE(gossipEndpointProblem("tcp://10.0.1:5671", false), "");  // an address cut short
    EXPECT_NE(gossipEndpointProblem("tcp://300.0.1.5:5671", false), "");
    EXPECT_NE(gossipEndpointProblem("tcp://*:5671", false), "");        // connect needs a host
    EXPECT_NE(gossipEndpointProblem("tcp://host.lab:5671", true), "");  // bind needs an address
    EXPECT_NE(gossipEndpointProblem("tcp://a b:5671", false), "");
    EXPECT_NE(gossipEndpointProblem("tcp://:5671", false), "");
    // The problem quotes the endpoint with control characters escaped.
    std::string problem = gossipEndpointProblem("tcp://\x1b[2J:1", false);
    EXPECT_EQ(problem.find('\x1b'), std::string::npos) << problem;
}

TEST(GossipEndpoint, ListsAreSplitCheckedAndBounded)
{
    EXPECT_EQ(parseGossipList(" tcp://10.0.1.5:5671 ,tcp://10.0.2.5:5671,"),
              (std::vector<std::string>{"tcp://10.0.1.5:5671", "tcp://10.0.2.5:5671"}));
    EXPECT_TRUE(parseGossipList("").empty());
    EXPECT_THROW(parseGossipList("tcp://10.0.1.5:5671,tcp://nowhere"), std::invalid_argument);
    std::string many;
    for (size_t i = 0; i <= kMaxGossipEndpoints; ++i)
        many += "tcp://10.0.0." + std::to_string(i + 1) + ":5671,";
    EXPECT_THROW(parseGossipList(many), std::invalid_argument);
}

TEST(DiscoveryEntries, EntriesOverrideAndBadValuesAreRefused)
{
    DiscoveryOptions options;
    EXPECT_TRUE(options.beacon);
    EXPECT_FALSE(options.usesGossip());
    applyDiscoveryEntries(
        options,
        {{"gossip", "tcp://10.0.1.5:5671"}, {"gossip-bind", "tcp://*:5671"}, {"no-beacon", "yes"}, {"exposure", "3"}});
    EXPECT_FALSE(options.beacon);
    EXPECT_EQ(options.gossipBind, "tcp://*:5671");
    EXPECT_EQ(options.gossipConnect, std::vector<std::string>{"tcp://10.0.1.5:5671"});
    EXPECT_TRUE(options.findsPeers());

    // Later entries replace earlier ones; empty values clear.
    applyDiscoveryEntries(options, {{"gossip", ""}, {"gossip-bind", ""}, {"no-beacon", "false"}});
    EXPECT_TRUE(options.beacon);
    EXPECT_FALSE(options.usesGossip());

    DiscoveryOptions untouched;
    EXPECT_THROW(applyDiscoveryEntries(untouched, {{"no-beacon", "perhaps"}}), std::invalid_argument);
    EXPECT_THROW(applyDiscoveryEntries(untouched, {{"gossip-bind", "tcp://host.lab:5671"}}), std::invalid_argument);
    EXPECT_THROW(applyDiscoveryEntries(untouched, {{"gossip", "tcp://10.0.1.5"}}), std::invalid_argument);
}

// Configuration files in a directory of their own ($CORVO_CONF_PATH, the
// last searched), with HOME pointing elsewhere so no user file interferes.
class DiscoveryFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/cdiscXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
        savedPath = std::getenv("CORVO_CONF_PATH") ? std::getenv("CORVO_CONF_PATH") : "";
        setenv("HOME", dir.c_str(), 1);
        setenv("CORVO_CONF_PATH", dir.c_str(), 1);
    }
    void TearDown() override
    {
        setenv("HOME", savedHome.c_str(), 1);
        savedPath.empty() ? unsetenv("CORVO_CONF_PATH") : setenv("CORVO_CONF_PATH", savedPath.c_str(), 1);
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    void write(const std::string& file, const std::string& text) { std::ofstream(dir + "/" + file) << text; }

    std::string dir, savedHome, savedPath;
};

TEST_F(DiscoveryFiles, NetworkFileThenTheProgramsOwnFile)
{
    write("network.conf", "# every program of this host\ngossip = tcp://10.0.1.5:5671, tcp://10.0.2.5:5671\n"
                          "no-beacon = true  # broadcast is unwanted here\n");
    write("wheel.conf", "position = 3\ngossip-bind = tcp://*:5671\ngossip = tcp://10.0.3.5:5671\n");

    DiscoveryOptions host = readDiscoveryConfig("");
    EXPECT_FALSE(host.beacon);
    EXPECT_EQ(host.gossipConnect.size(), 2u);
    EXPECT_TRUE(host.gossipBind.empty());

    DiscoveryOptions wheel = readDiscoveryConfig("wheel");
    EXPECT_FALSE(wheel.beacon);  // from network.conf
    EXPECT_EQ(wheel.gossipBind, "tcp://*:5671");
    EXPECT_EQ(wheel.gossipConnect, std::vector<std::string>{"tcp://10.0.3.5:5671"});

    // Nothing is created where nothing was.
    DiscoveryOptions other = readDiscoveryConfig("camera");
    struct stat st;
    EXPECT_NE(stat((dir + "/camera.conf").c_str(), &st), 0);
    EXPECT_FALSE(other.beacon);
}

TEST_F(DiscoveryFiles, ABadEntryNamesTheFileAndAHugeFileIsRefused)
{
    write("network.conf", "gossip = tcp://10.0.1.5\n");
    try {
        readDiscoveryConfig("");
        FAIL() << "a bad endpoint was taken";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find(dir + "/network.conf"), std::string::npos) << e.what();
    }
    write("network.conf", std::string(kMaxDiscoveryFileBytes + 10, '#'));
    EXPECT_THROW(readDiscoveryConfig(""), std::invalid_argument);
    // A name cannot lead outside the configuration directories.
    write("network.conf", "");
    EXPECT_NO_THROW(readDiscoveryConfig("../../etc/passwd"));
}
