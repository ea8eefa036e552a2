// A second node on its own thread, for tests whose program runs its event
// loop on the main thread: it waits until the program has joined the site,
// then does its part.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "corvo/network.h"
#include "corvo/peer.h"

namespace corvotest {

class PeerThread : public corvo::EventCallback {
public:
    // `act` runs on the thread once `target` has joined `site`.
    PeerThread(std::string site, std::string target, std::function<void(PeerThread&)> act)
        : site(std::move(site)), target(std::move(target)), act(std::move(act))
    {
        // Made here, on the caller's thread: the messaging library sets
        // itself up with the first socket of the process, and that set-up
        // must not race with the program's own node.
        net = std::make_unique<corvo::Network>(this, false);
        thread = std::thread([this] { run(); });
    }
    ~PeerThread()
    {
        done = true;
        thread.join();
    }

    void onEnter(std::shared_ptr<corvo::Peer> peer) override
    {
        if (peer->name == target)
            found = peer;
    }

    std::shared_ptr<corvo::Peer> found;
    std::unique_ptr<corvo::Network> net;

private:
    void run()
    {
        net->setName("helper");
        net->setInterface("lo");
        net->siteGroup = site;
        net->propGroup = site + "-prop";
        net->logGroup = site + "-log";
        net->join(site);
        net->start();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!found && !done && std::chrono::steady_clock::now() < deadline) {
            if (net->poll(5))
                net->recv();
        }
        if (found)
            act(*this);
        while (!done) {
            if (net->poll(5))
                net->recv();
        }
        net.reset();
    }

    std::string site;
    std::string target;
    std::function<void(PeerThread&)> act;
    std::atomic<bool> done{false};
    std::thread thread;
};

}  // namespace corvotest
