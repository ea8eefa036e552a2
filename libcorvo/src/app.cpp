#include "corvo/app.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <unordered_map>

#include "corvo/diagnostics.h"
#include "corvo/version.h"

namespace corvo {

namespace {

constexpr int kDefaultPort = 5670;
constexpr int kPollTimeoutMs = 5;
// One loop turn handles at most this many network events, and stops taking
// more once its time is up (kPollTimeoutMs, or earlier when a timer is due),
// so that a steady stream of messages never starves timers or onIdle.
constexpr int kMaxEventsPerTurn = 1000;

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
    if (!discovery.findsPeers()) {
        std::cerr << name << ": --no-beacon needs --gossip or --gossip-bind (else no peer can be found)" << std::endl;
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
    KeyDirectory directory(vm.count("keys") ? vm["keys"].as<std::string>() : KeyDirectory::defaultPath());
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

    idleHandle = std::make_shared<uv_idle_t>();
    uv_idle_init(loop, idleHandle.get());
    idleHandle->data = this;
    uv_idle_start(idleHandle.get(), zyreProcess);

    signalHandle = std::make_shared<uv_signal_t>();
    uv_signal_init(loop, signalHandle.get());
    signalHandle->data = this;
    uv_signal_start(signalHandle.get(), cleanupAndExit, SIGINT);

    uv_run(loop, UV_RUN_DEFAULT);

    // Release both handles before closing the loop: the default loop outlives
    // this object, and must not keep pointers into its handle storage.
    uv_close(reinterpret_cast<uv_handle_t*>(idleHandle.get()), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(signalHandle.get()), nullptr);
    uv_run(loop, UV_RUN_NOWAIT);  // runs the close callbacks
    return uv_loop_close(loop);
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

int App::msUntilNextTimer()
{
    if (!loop || !idleHandle)
        return kPollTimeoutMs;
    // libuv reports no wait while an idle handle is active; without it the
    // wait is the time to the next timer (-1: none).
    uv_idle_stop(idleHandle.get());
    uv_update_time(loop);
    const int timeout = uv_backend_timeout(loop);
    uv_idle_start(idleHandle.get(), zyreProcess);
    return timeout < 0 ? kPollTimeoutMs : std::min(timeout, kPollTimeoutMs);
}

void App::drainNetwork()
{
    if (!idleHandle) {
        // Outside the loop (a one-shot client's work) nothing else waits:
        // everything pending is handled, until 5 ms pass without an event.
        while (network->poll(kPollTimeoutMs))
            handleOneEvent();
        return;
    }
    const uint64_t start = uv_hrtime();
    const uint64_t deadline = start + static_cast<uint64_t>(msUntilNextTimer()) * 1000000;
    for (int handled = 0; handled < kMaxEventsPerTurn; ++handled) {
        const uint64_t now = handled == 0 ? start : uv_hrtime();
        if (now > deadline)
            break;
        // Whole milliseconds, rounded up so a turn never spins without
        // waiting; the first event of a turn is awaited even when a timer is
        // due now (zero wait).
        const int wait = static_cast<int>((deadline - now + 999999) / 1000000);
        if (!network->poll(wait))
            break;
        // Handlers that start timers count from now.
        uv_update_time(loop);
        handleOneEvent();
    }
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

void App::zyreProcess(uv_idle_t* handle)
{
    App* app = static_cast<App*>(handle->data);
    app->drainNetwork();
    try {
        app->onIdle();
    } catch (const std::exception& e) {
        app->reportException(e.what());
    } catch (...) {
        app->reportException("unknown exception");
    }
}

void App::cleanupAndExit(uv_signal_t* handle, int /*signum*/)
{
    static_cast<App*>(handle->data)->stop();
}

}  // namespace corvo
