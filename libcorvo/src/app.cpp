#include "corvo/app.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <unordered_map>

#include "corvo/diagnostics.h"
#include "corvo/version.h"

namespace corvo {

namespace {

constexpr int kDefaultPort = 5670;
constexpr int kPollTimeoutMs = 5;
// The loop's turn: onIdle runs every kTurnMs (200 times a second).
constexpr uint64_t kTurnMs = 5;
// Network events are handled as they arrive, between turns. One pass takes
// at most this many, and stops taking more once a turn's time is up, so that
// a steady stream of messages never starves timers or onIdle; the rest is
// taken on the loop's next pass.
constexpr int kMaxEventsPerTurn = 1000;
constexpr uint64_t kTurnNs = kTurnMs * 1000000;

}  // namespace

App::App(std::string name) : optionParser(name), defaultName(name)
{
    optionParser.addOption<int>("port", 'p', "udp port for discovery");
    optionParser.addOption<std::string>("interface", 'i', "interface name for connection");
    optionParser.addOption<std::string>("gossip", 0, "gossip endpoints to connect to (tcp://HOST:PORT[,...])");
    optionParser.addOption<std::string>("gossip-bind", 0, "gossip endpoint to bind (tcp://A.B.C.D:PORT)");
    optionParser.addSwitch("no-beacon", 0, "no UDP beacons (gossip discovery only)");
    optionParser.addOption<std::string>("site", 's', "site name");
    optionParser.addOption<std::string>("name", 'n', "component name");
    optionParser.addSwitch("debug", 'd', "debug mode (verbose zyre)");
    optionParser.addSwitch("version", 'v', "print version");
    optionParser.addOption<std::string>("key", 'k', "secured site: own identity (secret key NAME or file path)");
    optionParser.addOption<std::string>("keys", 0, "secured site: directory of trusted identities");
}

int App::run(int argc, char** argv)
{
    optionParser.parseArgs(argc, argv);
    processOptions();
    beforeInit();
    loop = uv_default_loop();
    initSocket();
    beforeLoop();
    return startLoop();
}

void App::processOptions()
{
    const auto& vm = optionParser.vm;
    if (vm["version"].as<bool>()) {
        std::cout << version() << std::endl;
        std::exit(0);
    }
    name = vm.count("name") ? vm["name"].as<std::string>() : defaultName;
    site = vm.count("site") ? vm["site"].as<std::string>() : "corvo";
    loadKeys();
    loadDiscovery();
}

void App::loadDiscovery()
{
    const auto& vm = optionParser.vm;
    try {
        discovery = readDiscoveryConfig(name);
        std::unordered_map<std::string, std::string> given;
        for (const char* key : {"gossip", "gossip-bind"})
            if (vm.count(key))
                given[key] = vm[key].as<std::string>();
        applyDiscoveryEntries(discovery, given);
        if (vm["no-beacon"].as<bool>())
            discovery.beacon = false;
    } catch (const std::invalid_argument& e) {
        std::cerr << name << ": " << e.what() << std::endl;
        std::exit(1);
    }
    for (const std::string& entry : discovery.gossipConnect) {
        std::string identity = splitGossipIdentity(entry).identity;
        bool trusted = std::any_of(trustedIdentities.begin(), trustedIdentities.end(),
                                   [&](const Identity& known) { return known.name == identity; });
        if (!identity.empty() && !trusted) {
            std::cerr << name << ": gossip endpoint " << entry << ": " << identity
                      << " is no trusted identity (a secured rendezvous point needs --key and its identity in the "
                         "key directory)"
                      << std::endl;
            std::exit(1);
        }
    }
    // zyre ignores a port out of range (the default one stays, so the
    // program would join another site's beacons), and port 0 sends no
    // beacons, like --no-beacon.
    int port = vm.count("port") ? vm["port"].as<int>() : kDefaultPort;
    if (port < 0 || port > 65535) {
        std::cerr << name << ": --port " << port << ": the UDP beacon port is 1 to 65535, or 0 for no beacons"
                  << std::endl;
        std::exit(1);
    }
    if (!discovery.findsPeers() || (port == 0 && !discovery.usesGossip())) {
        std::cerr << name << ": " << (port == 0 ? "--port 0 (no beacons)" : "--no-beacon")
                  << " needs --gossip or --gossip-bind (else no peer can be found)" << std::endl;
        std::exit(1);
    }
}

void App::loadKeys()
{
    const auto& vm = optionParser.vm;
    if (!vm.count("key")) {
        if (vm.count("keys")) {
            std::cerr << name << ": --keys needs --key (the program's own identity)" << std::endl;
            std::exit(1);
        }
        return;
    }
    std::string given = vm.count("keys") ? vm["keys"].as<std::string>() : KeyDirectory::defaultPath();
    // Absolute from here on: the directory is watched for the program's
    // whole life, also after a daemon's move to "/" (--daemon).
    std::error_code unknown;  // no working directory: the path stays as given
    std::string absolute = std::filesystem::absolute(given, unknown).string();
    KeyDirectory directory(absolute.empty() ? given : absolute);
    keyDirectory = directory.path();
    try {
        keyPair = KeyDirectory::readSecret(directory.secretPath(vm["key"].as<std::string>()));
        std::vector<std::string> problems;
        trustedIdentities = directory.identities(&problems);
        for (const auto& problem : problems)
            std::cerr << name << ": key directory: " << problem << std::endl;
    } catch (const KeyError& e) {
        std::cerr << name << ": " << e.what() << std::endl;
        std::exit(1);
    }
}

void App::initSocket()
{
    const auto& vm = optionParser.vm;
    bool debug = vm["debug"].as<bool>();
    network = std::make_shared<Network>(this, debug);
    network->setName(name);
    if (isSecured()) {
        try {
            network->setSecurity(keyPair, trustedIdentities);
            network->watchKeys(keyDirectory);
        } catch (const KeyError& e) {
            std::cerr << name << ": " << e.what() << std::endl;
            std::exit(1);
        }
    }
    network->setPort(vm.count("port") ? vm["port"].as<int>() : kDefaultPort);
    if (vm.count("interface"))
        network->setInterface(vm["interface"].as<std::string>());
    network->setDiscovery(discovery);
    network->siteGroup = site;
    network->logGroup = site + "-log";
    network->propGroup = site + "-prop";
    if (!network->joinedGroups().count(site))
        network->join(site);
}

int App::startLoop()
{
    network->start();
    if (!network->isStarted()) {
        // A program that cannot reach its peers would run deaf and mute.
        diagnose(Diagnostic::Error, Diagnostic::Stderr, "Cannot start the network node; " + name + " stops");
        return -1;
    }

    if (!watchEvents()) {
        diagnose(Diagnostic::Error, Diagnostic::Stderr,
                 "Cannot wait for the network node's events; " + name + " stops");
        return -1;
    }

    turnTimer = std::make_unique<uv_timer_t>();
    uv_timer_init(loop, turnTimer.get());
    turnTimer->data = this;
    nextTurnMs = uv_now(loop) + kTurnMs;
    uv_timer_start(turnTimer.get(), onTurn, kTurnMs, 0);

    signalHandle = std::make_unique<uv_signal_t>();
    uv_signal_init(loop, signalHandle.get());
    signalHandle->data = this;
    uv_signal_start(signalHandle.get(), cleanupAndExit, SIGINT);

    uv_run(loop, UV_RUN_DEFAULT);

    // Release every handle before closing the loop: the default loop
    // outlives this object, and must not keep pointers into its handles.
    if (inboxWatch) {
        if (waitingOnInbox)
            network->setInboxWaiting(false);
        waitingOnInbox = false;
        for (uv_handle_t* handle :
             {reinterpret_cast<uv_handle_t*>(inboxWatch.get()), reinterpret_cast<uv_handle_t*>(waitBegins.get()),
              reinterpret_cast<uv_handle_t*>(waitEnded.get())})
            uv_close(handle, nullptr);
    }
    for (uv_handle_t* handle :
         {reinterpret_cast<uv_handle_t*>(turnTimer.get()), reinterpret_cast<uv_handle_t*>(eventWatch.get()),
          reinterpret_cast<uv_handle_t*>(backlog.get()), reinterpret_cast<uv_handle_t*>(signalHandle.get())})
        uv_close(handle, nullptr);
    uv_run(loop, UV_RUN_NOWAIT);  // runs the close callbacks
    return uv_loop_close(loop);
}

void App::watchInbox()
{
    // Optional: without it the node's thread reads the inbox and hands the
    // events over through the event socket.
    const int fd = network->inboxWaitDescriptor();
    if (fd < 0)
        return;
    inboxWatch = std::make_unique<uv_poll_t>();
    if (uv_poll_init(loop, inboxWatch.get(), fd) != 0) {
        inboxWatch.reset();
        return;
    }
    inboxWatch->data = this;
    uv_poll_start(inboxWatch.get(), UV_READABLE, onInboxSignalled);
    waitBegins = std::make_unique<uv_prepare_t>();
    uv_prepare_init(loop, waitBegins.get());
    waitBegins->data = this;
    uv_prepare_start(waitBegins.get(), onWaitBegins);
    waitEnded = std::make_unique<uv_check_t>();
    uv_check_init(loop, waitEnded.get());
    waitEnded->data = this;
    uv_check_start(waitEnded.get(), onWaitEnded);
}

bool App::watchEvents()
{
    const int fd = network->waitDescriptor();
    if (fd < 0)
        return false;
    eventWatch = std::make_unique<uv_poll_t>();
    if (uv_poll_init(loop, eventWatch.get(), fd) != 0) {
        eventWatch.reset();
        return false;
    }
    eventWatch->data = this;
    uv_poll_start(eventWatch.get(), UV_READABLE, onEventsSignalled);
    watchInbox();
    backlog = std::make_unique<uv_idle_t>();
    uv_idle_init(loop, backlog.get());
    backlog->data = this;
    // Events may already wait that the descriptor will not announce (it
    // signals only what comes after a look found nothing): look once.
    uv_idle_start(backlog.get(), onBacklog);
    return true;
}

void App::stop()
{
    try {
        cleanup();
    } catch (const std::exception& e) {
        reportException(e.what());
    } catch (...) {
        reportException("unknown exception");
    }
    if (loop)
        uv_stop(loop);
}

std::string App::version() const
{
    return "corvo v" CORVO_VERSION_STRING;
}

void App::drainNetwork()
{
    if (!turnTimer) {
        // Outside the loop (a one-shot client's work) nothing else waits:
        // everything pending is handled, until 5 ms pass without an event.
        while (network->poll(kPollTimeoutMs))
            handleOneEvent();
        return;
    }
    const uint64_t start = uv_hrtime();
    for (int handled = 0; handled < kMaxEventsPerTurn; ++handled) {
        // What came while this pass ran may be in the inbox, left to this
        // thread by the node's: it is read and handled in the same pass.
        bool more = network->poll(0) || (inboxWatch && !inboxWatchStopped && network->readInbox() && network->poll(0));
        if (!more) {
            // The look that found nothing re-arms the descriptor.
            uv_idle_stop(backlog.get());
            if (inboxWatchStopped) {
                inboxWatchStopped = false;
                uv_poll_start(inboxWatch.get(), UV_READABLE, onInboxSignalled);
            }
            return;
        }
        // Handlers that start timers count from now.
        uv_update_time(loop);
        handleOneEvent();
        if (uv_hrtime() - start >= kTurnNs)
            break;
    }
    // More may wait, and the descriptor will not say so: go on in the
    // loop's next pass, after its timers, without waiting.
    uv_idle_start(backlog.get(), onBacklog);
}

void App::handleOneEvent()
{
    // A failing handler must neither unwind through libuv nor end the
    // program: report it and go on with the next event.
    try {
        network->recv();
    } catch (const std::exception& e) {
        reportException(e.what());
    } catch (...) {
        reportException("unknown exception");
    }
}

void App::reportException(const char* what)
{
    std::string text = std::string("Unhandled exception in event handling: ") + what;
    if (errorReporter) {
        try {
            errorReporter(text);
            return;
        } catch (...) {
            // fall back to the library's diagnostics
        }
    }
    diagnose(Diagnostic::Error, Diagnostic::Stderr, text);
}

void App::scheduleNextTurn()
{
    // On a fixed 5 ms grid, not 5 ms after this turn: libuv's millisecond
    // clock and a wake-up's latency would otherwise stretch every turn, and
    // 200 a second would become about 190. A turn missed (the thread was
    // busy) is skipped, not made up in a burst.
    const uint64_t now = uv_now(loop);
    nextTurnMs += kTurnMs;
    if (nextTurnMs <= now)
        nextTurnMs = now + kTurnMs;
    uv_timer_start(turnTimer.get(), onTurn, nextTurnMs - now, 0);
}

void App::onTurn(uv_timer_t* handle)
{
    App* app = static_cast<App*>(handle->data);
    app->scheduleNextTurn();
    if (app->eventWatchFailed)
        app->drainNetwork();
    try {
        app->network->reportRevocations();
        app->onIdle();
    } catch (const std::exception& e) {
        app->reportException(e.what());
    } catch (...) {
        app->reportException("unknown exception");
    }
}

void App::onEventsSignalled(uv_poll_t* handle, int status, int /*events*/)
{
    App* app = static_cast<App*>(handle->data);
    if (status < 0 && !app->eventWatchFailed) {
        // libuv has stopped watching: look once a turn from now on.
        app->eventWatchFailed = true;
        diagnose(Diagnostic::Warning, Diagnostic::Stderr,
                 std::string("Waiting for network events failed (") + uv_strerror(status) +
                     "); they are now read once a turn");
    }
    app->drainNetwork();
}

void App::onInboxSignalled(uv_poll_t* handle, int status, int /*events*/)
{
    App* app = static_cast<App*>(handle->data);
    if (status < 0 || !app->network->readInbox()) {
        // The node's thread has the inbox (or the watch failed): everything
        // comes through the event socket; watch the inbox again once that
        // has been read empty.
        uv_poll_stop(handle);
        app->inboxWatchStopped = status >= 0;
    }
    app->drainNetwork();
}

void App::onWaitBegins(uv_prepare_t* handle)
{
    App* app = static_cast<App*>(handle->data);
    if (app->inboxWatchStopped || app->waitingOnInbox)
        return;
    app->waitingOnInbox = true;
    app->network->setInboxWaiting(true);
}

void App::onWaitEnded(uv_check_t* handle)
{
    App* app = static_cast<App*>(handle->data);
    if (!app->waitingOnInbox)
        return;
    app->waitingOnInbox = false;
    app->network->setInboxWaiting(false);
}

void App::onBacklog(uv_idle_t* handle)
{
    static_cast<App*>(handle->data)->drainNetwork();
}

void App::cleanupAndExit(uv_signal_t* handle, int /*signum*/)
{
    static_cast<App*>(handle->data)->stop();
}

}  // namespace corvo
