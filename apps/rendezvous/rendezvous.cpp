#include "rendezvous.h"

#include <czmq.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <sys/eventfd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "corvo/key_watch.h"
#include "corvo/option_parser.h"
#include "corvo/version.h"
#include "zre_clock.hpp"
#include "zre_curve.hpp"
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
    parser.addOption<std::string>("key", 'k', "secured site: own identity (secret key NAME or file path)");
    parser.addOption<std::string>("keys", 0, "secured site: directory of trusted identities");
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
    if (vm.count("key")) {
        KeyDirectory directory(vm.count("keys") ? vm["keys"].as<std::string>() : KeyDirectory::defaultPath());
        try {
            settings.keyPair = KeyDirectory::readSecret(directory.secretPath(vm["key"].as<std::string>()));
            settings.keyDirectory = directory.path();
            std::vector<std::string> problems;
            settings.trusted = directory.identities(&problems);
            for (const auto& problem : problems)
                std::cerr << "corvo-rendezvous " << settings.name << ": key directory: " << problem << std::endl;
        } catch (const KeyError& e) {
            refuse(settings.name, e.what());
        }
    } else if (vm.count("keys")) {
        refuse(settings.name, "--keys needs --key (the rendezvous point's own identity)");
    }
    for (const std::string& entry : settings.discovery.gossipConnect)
        if (!splitGossipIdentity(entry).identity.empty() && settings.keyPair.identity.empty())
            refuse(settings.name, "gossip endpoint " + entry + " is secured: needs --key");
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
    std::unique_ptr<zre::CurveSetup> curve;  // a secured site
    std::string zapDomain;                   // registered while open
    // The key watch's thread hands a new list over here and signals
    // `changed` (an eventfd the loop waits on).
    std::unique_ptr<KeyWatch> keyWatch;
    std::mutex handOver;
    std::optional<std::vector<Identity>> newTrust;  // under handOver
    int changed = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Parts()
    {
        keyWatch.reset();
        if (changed >= 0)
            ::close(changed);
        gossip.close();
        if (!zapDomain.empty())
            zre::unregisterZapDomain(zapDomain);
    }
};

namespace {

std::shared_ptr<const zre::TrustTable> trustTable(const std::vector<Identity>& identities)
{
    auto trust = std::make_shared<zre::TrustTable>();
    for (const Identity& identity : identities)
        if (auto key = zre::curveKeyFromText(identity.publicKey))
            trust->add(zre::TrustedIdentity{identity.name, *key, identity.names});
    return trust;
}

// The CURVE set-up of a secured rendezvous point: its key pair, and a trust
// table of the key directory's identities (who may connect and publish).
std::unique_ptr<zre::CurveSetup> curveSetup(const Settings& settings, std::string& problem)
{
    auto publicKey = zre::curveKeyFromText(settings.keyPair.publicKey);
    auto secretKey = zre::curveKeyFromText(settings.keyPair.secretKey);
    if (!publicKey || !secretKey || !zsys_has_curve()) {
        problem = "the key pair of " + settings.keyPair.identity + " cannot be used (is CURVE missing?)";
        return nullptr;
    }
    auto curve = std::make_unique<zre::CurveSetup>();
    curve->publicKey = *publicKey;
    curve->secretKey = *secretKey;
    curve->trust = trustTable(settings.trusted);
    return curve;
}

}  // namespace

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
    if (!settings.keyPair.identity.empty()) {
        std::string problem;
        parts->curve = curveSetup(settings, problem);
        if (!parts->curve) {
            std::cerr << "corvo-rendezvous " << settings.name << ": " << problem << std::endl;
            return false;
        }
        parts->zapDomain = "corvo-rendezvous " + settings.name;
        if (!zre::registerZapDomain(parts->zapDomain, parts->curve->trust)) {
            std::cerr << "corvo-rendezvous " << settings.name << ": cannot start the authentication" << std::endl;
            parts->zapDomain.clear();
            return false;
        }
    }
    std::vector<zre::GossipDiscovery::Remote> others;
    for (const std::string& entry : settings.discovery.gossipConnect) {
        GossipRemote remote = splitGossipIdentity(entry);
        std::string key;
        for (const Identity& identity : settings.trusted)
            if (identity.name == remote.identity)
                key = identity.publicKey;
        if (!remote.identity.empty() && key.empty()) {
            std::cerr << "corvo-rendezvous " << settings.name << ": " << entry << " left out: " << remote.identity
                      << " is no trusted identity" << std::endl;
            continue;
        }
        others.push_back({remote.endpoint, key});
    }
    if (!parts->gossip.open(settings.discovery.gossipBind, others, none, parts->curve.get(), parts->zapDomain)) {
        std::cerr << "corvo-rendezvous " << settings.name << ": cannot bind " << settings.discovery.gossipBind
                  << std::endl;
        return false;
    }
    std::cout << "corvo-rendezvous " << settings.name << ": relaying on " << settings.discovery.gossipBind;
    if (parts->curve)
        std::cout << " (CURVE, key of " << settings.keyPair.identity << ", " << settings.trusted.size()
                  << " trusted identities)";
    for (const std::string& other : settings.discovery.gossipConnect)
        std::cout << ", with " << other;
    std::cout << std::endl;
    if (parts->curve && !settings.keyDirectory.empty()) {
        parts->keyWatch = std::make_unique<KeyWatch>(settings.keyDirectory, settings.trusted,
                                                     [this](const std::vector<Identity>& now) {
                                                         std::lock_guard<std::mutex> hold(parts->handOver);
                                                         parts->newTrust = now;
                                                         uint64_t one = 1;
                                                         (void)!write(parts->changed, &one, sizeof one);
                                                     });
        parts->keyWatch->start();
    }
    return true;
}

void Relay::applyTrust(const std::vector<Identity>& identities)
{
    if (!parts->curve)
        return;
    TrustChanges changes = trustChanges(settings.trusted, identities);
    parts->curve->trust = trustTable(identities);
    zre::registerZapDomain(parts->zapDomain, parts->curve->trust);
    for (const Identity& identity : changes.removed)
        std::cout << "corvo-rendezvous " << settings.name << ": key directory: identity " << identity.name
                  << " is no longer trusted as it was" << std::endl;
    for (const Identity& identity : changes.added)
        std::cout << "corvo-rendezvous " << settings.name << ": key directory: identity " << identity.name
                  << " is trusted" << std::endl;
    settings.trusted = identities;
}

void Relay::takeTrustChange()
{
    uint64_t count = 0;
    if (read(parts->changed, &count, sizeof count) != sizeof count)
        return;
    std::optional<std::vector<Identity>> now;
    {
        std::lock_guard<std::mutex> hold(parts->handOver);
        now.swap(parts->newTrust);
    }
    if (now)
        applyTrust(*now);
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
        bool more = parts->gossip.work(ignore, zre::now());
        fds.clear();
        parts->gossip.descriptors(fds);
        items.assign(1, pollfd{signalFd, POLLIN, 0});
        items.push_back(pollfd{parts->changed, POLLIN, 0});
        for (int fd : fds)
            items.push_back(pollfd{fd, POLLIN, 0});
        // The gossip part pings and expires on a one-second rhythm. With
        // more messages waiting (a batch read in full), only a look: the
        // descriptors signal news, not what is still queued.
        int rc = poll(items.data(), items.size(), more ? 0 : int(zre::GossipDiscovery::kPingMs));
        // Woken by gossip: rest a moment (listening only for a stop) so that
        // the clients' pings, each second from every program, are read in
        // batches instead of one wake-up each; the queued messages wait in
        // libzmq's bounded queues, and a ping is answered well within the
        // clients' 3 s patience. A backlog is read on without a rest.
        if (items[1].revents & POLLIN)
            takeTrustChange();
        if (rc > 0 && !more && !(items[0].revents & POLLIN)) {
            items.resize(1);
            rc = poll(items.data(), 1, kRestMs);
        }
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
