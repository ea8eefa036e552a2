#include "rendezvous.h"

#include <czmq.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <unordered_map>

#include "corvo/option_parser.h"
#include "corvo/version.h"
#include "zre_clock.hpp"
#include "zre_gossip.hpp"
#include "zre_log.hpp"

namespace corvo::rendezvous {

namespace {

// Tuples only pass through: the rendezvous point greets no mailbox and
// knows no peer (a TTL-0 tuple lives while its publisher stays connected).
class IgnoreTuples : public zre::GossipListener {
public:
    bool onTuple(const zre::GossipTuple&) override { return true; }
    bool peerLivesAt(const zre::Uuid&, const std::string&) override { return false; }
};

[[noreturn]] void refuse(const std::string& name, const std::string& why)
{
    std::cerr << "corvo-rendezvous " << name << ": " << why << std::endl;
    std::exit(1);
}

}  // namespace

Settings parseCommandLine(int argc, char** argv)
{
    OptionParser parser("corvo-rendezvous: relays gossip discovery between subnets (no peer of the site)");
    parser.addOption<std::string>("gossip-bind", 0, "gossip endpoint to bind (tcp://A.B.C.D:PORT or tcp://*:PORT)");
    parser.addOption<std::string>("gossip", 0, "other rendezvous points to connect to (tcp://HOST:PORT[,...])");
    parser.addOption<std::string>("name", 'n', "name in messages and of NAME.conf (default rendezvous)");
    parser.addOption<std::string>("site", 's', "accepted for the service unit's options; tuples of every site pass");
    parser.addSwitch("no-beacon", 0, "accepted: a rendezvous point never sends beacons");
    parser.addSwitch("debug", 'd', "trace the gossip traffic on standard error");
    parser.addSwitch("version", 'v', "print version");
    parser.parseArgs(argc, argv);
    const auto& vm = parser.vm;
    if (vm["version"].as<bool>()) {
        std::cout << "corvo v" CORVO_VERSION_STRING << std::endl;
        std::exit(0);
    }
    Settings settings;
    if (vm.count("name"))
        settings.name = vm["name"].as<std::string>();
    settings.verbose = vm["debug"].as<bool>();
    try {
        settings.discovery = readDiscoveryConfig(settings.name);
        std::unordered_map<std::string, std::string> given;
        for (const char* key : {"gossip", "gossip-bind"})
            if (vm.count(key))
                given[key] = vm[key].as<std::string>();
        applyDiscoveryEntries(settings.discovery, given);
    } catch (const std::invalid_argument& e) {
        refuse(settings.name, e.what());
    }
    if (settings.discovery.gossipBind.empty())
        refuse(settings.name, "needs --gossip-bind (or a \"gossip-bind\" entry): the endpoint programs connect to");
    // A program's own endpoint in a shared "gossip" entry is no other point.
    auto& others = settings.discovery.gossipConnect;
    others.erase(std::remove(others.begin(), others.end(), settings.discovery.gossipBind), others.end());
    return settings;
}

struct Relay::Parts {
    zre::NodeLog log{"rendezvous"};
    zre::GossipDiscovery gossip{log};
};

Relay::Relay(Settings given) : settings(std::move(given)), parts(std::make_unique<Parts>())
{
    parts->log.setName(settings.name, settings.verbose);
}

Relay::~Relay() = default;

bool Relay::open()
{
    // czmq would install its own SIGINT and SIGTERM handlers with its
    // first socket; the stop signals are read from a descriptor instead.
    zsys_handler_set(nullptr);
    zre::GossipTuple none;  // no endpoint: relay only
    std::vector<zre::GossipDiscovery::Remote> others;
    for (const std::string& endpoint : settings.discovery.gossipConnect)
        others.push_back({endpoint, std::string()});
    if (!parts->gossip.open(settings.discovery.gossipBind, others, none, nullptr, std::string())) {
        std::cerr << "corvo-rendezvous " << settings.name << ": cannot bind " << settings.discovery.gossipBind
                  << std::endl;
        return false;
    }
    std::cout << "corvo-rendezvous " << settings.name << ": relaying on " << settings.discovery.gossipBind;
    for (const std::string& other : settings.discovery.gossipConnect)
        std::cout << ", with " << other;
    std::cout << std::endl;
    return true;
}

size_t Relay::tuples() const
{
    return parts->gossip.tupleCount();
}

int Relay::run(int signalFd)
{
    IgnoreTuples ignore;
    std::vector<int> fds;
    std::vector<pollfd> items;
    for (;;) {
        parts->gossip.work(ignore, zre::now());
        fds.clear();
        parts->gossip.descriptors(fds);
        items.assign(1, pollfd{signalFd, POLLIN, 0});
        for (int fd : fds)
            items.push_back(pollfd{fd, POLLIN, 0});
        // The gossip part pings and expires on a one-second rhythm.
        int rc = poll(items.data(), items.size(), int(zre::GossipDiscovery::kPingMs));
        if (rc > 0 && (items[0].revents & POLLIN)) {
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof info) == sizeof info) {
                std::cout << "corvo-rendezvous " << settings.name << ": stopped (signal " << info.ssi_signo << ", "
                          << tuples() << " tuples held)" << std::endl;
                return int(info.ssi_signo);
            }
        }
    }
}

}  // namespace corvo::rendezvous
