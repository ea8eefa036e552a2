/// @file
/// Base of every program: owns the command line, the network node and the
/// libuv event loop, and fixes the order in which a program starts, runs and
/// stops.
#pragma once

#include "corvo/export.h"

#include <uv.h>

#include <functional>
#include <memory>
#include <string>

#include "corvo/keys.h"
#include "corvo/network.h"
#include "corvo/option_parser.h"

namespace corvo {

/// A program on a site: the common part of every Daemon and Client.
///
/// run() goes through the same steps for every program: parse the command
/// line, processOptions(), beforeInit(), make the network node, beforeLoop(),
/// then run the libuv loop on the calling thread (the application thread)
/// until stop() or SIGINT. Every callback of EventCallback, timer and signal
/// runs on that thread, one at a time. Roles override the hooks; a program
/// rarely overrides more than beforeInit() and cleanup().
///
/// The loop turns 200 times a second (every 5 ms; later only while the
/// thread is busy) and runs onIdle() once per turn. Network events are
/// handled as they arrive, between turns: the loop waits on the node's
/// descriptor (Network::waitDescriptor()) beside its timers, so a turn with
/// nothing to do costs one wait of the loop and onIdle().
class CORVO_API App : public EventCallback {
public:
    /// Declares the options every program takes ("port", "interface",
    /// "site", "name", "debug", "version", "key", "keys", "gossip",
    /// "gossip-bind", "no-beacon"); `name` is the
    /// component name used when no --name is given.
    explicit App(std::string name);

    /// The whole life of the program: parse, hooks, network, loop. Returns
    /// when the loop has ended, with the result of closing the loop (0 when
    /// every handle was released), or -1 at once when the network node cannot
    /// start (for example on an unknown interface).
    int run(int argc, char** argv);
    /// Runs cleanup() and asks the loop to end after its current pass (what
    /// is already due in that pass may still run; the next turn's onIdle()
    /// does not). An exception from cleanup() is reported, not thrown.
    void stop();
    /// The text --version prints: "corvo v" and the library's version.
    std::string version() const;

    /// The network node; empty before run() has made it.
    std::shared_ptr<Network> getNetwork() const { return network; }
    /// The component name: --name, else the name given to the constructor.
    const std::string& getName() const { return name; }
    /// The site (--site, default "corvo"), which names the ZRE groups.
    const std::string& getSite() const { return site; }
    /// True when the program was given --key: it runs on a secured site.
    bool isSecured() const { return !keyPair.identity.empty(); }
    /// The program's own identity on a secured site, else empty.
    const std::string& getIdentity() const { return keyPair.identity; }
    /// How the node finds its peers, once the options are read.
    const DiscoveryOptions& getDiscovery() const { return discovery; }

    /// Reads the parsed command line: prints the version and exits for
    /// --version, takes the name and site, and loads the keys. Roles extend
    /// it (a daemon reads its configuration file here); call the base first.
    virtual void processOptions();
    /// Hook after the options are read and before the network node is
    /// made: the place to create properties and commands.
    virtual void beforeInit() {}
    /// Hook after the network node is made and before it starts: the role's
    /// last set-up (a daemon starts its logger, a one-shot client does its
    /// work here and exits).
    virtual void beforeLoop() {}
    /// Hook when the program stops (stop() or SIGINT), on the application
    /// thread, before the loop ends: release devices and timers here.
    virtual void cleanup() {}
    /// Hook run once per loop turn, 200 times a second, whether or not
    /// events came (they are handled as they arrive, between turns).
    virtual void onIdle() {}

    /// The turn's timer callback: the identities revoked since the last
    /// turn (Network::reportRevocations()), then onIdle(). `handle->data`
    /// is the App.
    static void onTurn(uv_timer_t* handle);
    /// The node's descriptor signalled: drainNetwork().
    static void onEventsSignalled(uv_poll_t* handle, int status, int events);
    /// Events were left waiting by drainNetwork()'s bound: drainNetwork().
    static void onBacklog(uv_idle_t* handle);
    /// The node's inbox signalled: read it here (Network::readInbox()),
    /// then drainNetwork().
    static void onInboxSignalled(uv_poll_t* handle, int status, int events);
    /// Right before the loop waits: while the inbox is watched, tells the
    /// node that this thread waits on it (Network::setInboxWaiting()).
    static void onWaitBegins(uv_prepare_t* handle);
    /// Right after the loop's wait: the wait of onWaitBegins() has ended.
    static void onWaitEnded(uv_check_t* handle);
    /// The SIGINT callback: stop() the App in `handle->data`.
    static void cleanupAndExit(uv_signal_t* handle, int signum);

protected:
    /// Makes the network node from the options: name, keys on a secured
    /// site, port, interface and the site's three groups (site, site-log,
    /// site-prop), and joins the site group. A key the node refuses ends the
    /// process with status 1.
    void initSocket();
    /// Reads --key and --keys; a key that cannot be used ends the process
    /// with status 1 and says why.
    void loadKeys();
    /// Reads the discovery settings: the configuration entries (see
    /// readDiscoveryConfig()), then --gossip, --gossip-bind and --no-beacon,
    /// which win. A bad endpoint, or --no-beacon without any gossip endpoint,
    /// ends the process with status 1 and says why.
    void loadDiscovery();
    /// Starts the node, installs the turn's timer, the event watch and the
    /// SIGINT handler and runs the loop until it stops; returns what run()
    /// returns.
    int startLoop();
    /// Watches the node's descriptor from the loop; false when it cannot.
    bool watchEvents();
    /// Watches the node's inbox too, when this thread may read it.
    void watchInbox();
    /// Starts the turn's timer for the next slot of the 5 ms grid.
    void scheduleNextTurn();
    /// In the loop: handles the events that wait now, without waiting, at
    /// most 1000 or for 5 ms; what is left is taken in the loop's next pass
    /// (after its timers). Called before the loop runs, it handles
    /// everything pending until 5 ms pass without an event. Exceptions from
    /// handlers are logged and the next event goes on.
    void drainNetwork();
    /// Hands one received message to its callback; an exception it throws
    /// is reported (reportException()) and goes no further.
    void handleOneEvent();
    /// Reports an exception that escaped a handler or hook called from the
    /// loop: through errorReporter when one is set, else on standard error.
    void reportException(const char* what);

    /// The network node, made by initSocket().
    std::shared_ptr<Network> network;
    /// The command line; roles add their own options before run().
    OptionParser optionParser;
    /// The name given to the constructor (also the daemon's type).
    std::string defaultName;
    /// libuv's default loop once run() has started, else null.
    uv_loop_t* loop = nullptr;
    /// The component name (see getName()).
    std::string name;
    /// The site (see getSite()).
    std::string site;
    /// --key: the program's own key pair (secured site).
    KeyPair keyPair;
    /// --keys: the identities this program trusts (secured site).
    std::vector<Identity> trustedIdentities;
    /// How the node finds its peers (see loadDiscovery()).
    DiscoveryOptions discovery;
    /// The key directory, reread while the program runs (Network::watchKeys);
    /// absolute (a relative --keys or $CORVO_KEY_DIR is taken from the
    /// working directory at start).
    std::string keyDirectory;
    /// The turn's timer (see onTurn()); null before the loop.
    std::unique_ptr<uv_timer_t> turnTimer;
    /// When the next turn is due, in the loop's milliseconds.
    uint64_t nextTurnMs = 0;
    /// The watch on the node's descriptor (see onEventsSignalled()).
    std::unique_ptr<uv_poll_t> eventWatch;
    /// Active only while events wait beyond drainNetwork()'s bound.
    std::unique_ptr<uv_idle_t> backlog;
    /// The watch on the node's inbox, when this thread may read it (else
    /// null); stopped while the node's thread has the inbox.
    std::unique_ptr<uv_poll_t> inboxWatch;
    /// Set while the inbox watch is stopped because the node's thread has
    /// the inbox; drainNetwork() starts it again once the events are read.
    bool inboxWatchStopped = false;
    /// The hook right before the loop's wait (see onWaitBegins()).
    std::unique_ptr<uv_prepare_t> waitBegins;
    /// The hook right after the loop's wait (see onWaitEnded()).
    std::unique_ptr<uv_check_t> waitEnded;
    /// Set from onWaitBegins() to onWaitEnded() while the inbox is watched.
    bool waitingOnInbox = false;
    /// Set when libuv stopped watching the descriptor: onTurn() then reads
    /// the events once a turn.
    bool eventWatchFailed = false;
    /// The loop's SIGINT handle (see cleanupAndExit()).
    std::unique_ptr<uv_signal_t> signalHandle;
    /// Set by roles that have a logger of their own (the daemon): receives
    /// the text of reportException().
    std::function<void(const std::string&)> errorReporter;
};

}  // namespace corvo
