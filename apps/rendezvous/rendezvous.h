// corvo-rendezvous: a gossip endpoint that programs on other subnets
// connect to. It binds, stores and relays tuples (every program's UUID and
// mailbox endpoint) and publishes none of its own: it is no peer of the
// site, holds no mailbox and sends no beacon.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "corvo/discovery.h"
#include "corvo/keys.h"

namespace corvo::rendezvous {

struct Settings {
    std::string name = "rendezvous";
    DiscoveryOptions discovery;  // gossipBind required; gossipConnect: other rendezvous points
    bool verbose = false;
    // A secured site (--key): this point's key pair, and the identities
    // whose programs may connect and publish (--keys).
    KeyPair keyPair;
    std::vector<Identity> trusted;
    // Watched while the point runs: a key removed there (revoked) may no
    // longer connect or publish, one added may.
    std::string keyDirectory;
};

// Reads the command line and the configuration entries ("gossip",
// "gossip-bind" in network.conf and NAME.conf); prints help or version and
// exits, or says what is wrong and exits with status 1.
Settings parseCommandLine(int argc, char** argv);

class Relay {
public:
    explicit Relay(Settings settings);
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    // Binds and connects; false (said on standard error) when the endpoint
    // cannot be bound.
    bool open();
    // Relays until SIGINT or SIGTERM (blocked by the caller beforehand and
    // read from `signalFd`); returns the signal's number.
    int run(int signalFd);
    // Tuples held now.
    size_t tuples() const;
    // Trusts `identities` from now on (what the key watch hands over).
    void applyTrust(const std::vector<Identity>& identities);

private:
    // The rest after gossip woke the loop: at most ten wake-ups a second
    // whatever the number of programs; a tuple waits at most this long.
    static constexpr int kRestMs = 100;
    void takeTrustChange();
    struct Parts;
    Settings settings;
    std::unique_ptr<Parts> parts;
};

}  // namespace corvo::rendezvous
