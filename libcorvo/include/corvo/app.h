// Base of every program: owns the command line, the network node and the
// libuv event loop, and fixes the order in which a program starts, runs and
// stops.
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

class CORVO_API App : public EventCallback {
public:
    explicit App(std::string name);

    // The whole life of the program: parse, hooks, network, loop. Returns
    // when the loop has ended, with the result of closing the loop (0 when
    // every handle was released), or -1 at once when the network node cannot
    // start (for example on an unknown interface).
    int run(int argc, char** argv);
    // Runs cleanup() and asks the loop to stop at the end of this turn.
    void stop();
    std::string version() const;

    std::shared_ptr<Network> getNetwork() const { return network; }
    const std::string& getName() const { return name; }
    const std::string& getSite() const { return site; }
    // True when the program was given --key: it runs on a secured site.
    bool isSecured() const { return !keyPair.identity.empty(); }
    // The program's own identity on a secured site, else empty.
    const std::string& getIdentity() const { return keyPair.identity; }

    virtual void processOptions();
    virtual void beforeInit() {}
    virtual void beforeLoop() {}
    virtual void cleanup() {}
    virtual void onIdle() {}

    static void zyreProcess(uv_idle_t* handle);
    static void cleanupAndExit(uv_signal_t* handle, int signum);

protected:
    void initSocket();
    // Reads --key and --keys; a key that cannot be used ends the process
    // with status 1 and says why.
    void loadKeys();
    int startLoop();
    // Handles the network events of one loop turn: waits at most 5 ms for
    // them, less when a timer is due sooner, and takes at most 1000 events
    // or until that time is up. Called before the loop runs, it handles
    // everything pending until 5 ms pass without an event. Exceptions from handlers are logged and the
    // next event goes on.
    void drainNetwork();
    // The time to the loop's next timer in milliseconds, at most 5.
    int msUntilNextTimer();
    void handleOneEvent();
    // Reports an exception that escaped a handler or hook called from the
    // loop: through errorReporter when one is set, else on standard error.
    void reportException(const char* what);

    std::shared_ptr<Network> network;
    OptionParser optionParser;
    std::string defaultName;
    uv_loop_t* loop = nullptr;
    std::string name;
    std::string site;
    // --key and --keys: own key pair and the trusted identities (secured site).
    KeyPair keyPair;
    std::vector<Identity> trustedIdentities;
    std::shared_ptr<uv_idle_t> idleHandle;
    std::shared_ptr<uv_signal_t> signalHandle;
    // Set by roles that have a logger of their own (the daemon).
    std::function<void(const std::string&)> errorReporter;
};

}  // namespace corvo
