// A peer that floods and never reads, for the flood benchmark: a hand-made
// ZRE peer whose inbox has a tiny receive buffer and is never read after the
// greeting. It whispers the peer named --target (default "camera") commands
// it does not know, flat out, so every refusal lands in a mailbox that does
// not drain; every --renew seconds (default 2) it comes back under a fresh
// UUID. It runs on loopback, site --site (default "corvo"), discovery port
// --port (default 5670), until SIGINT or SIGTERM.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "corvo/message.h"
#include "zre_attacker.h"

namespace {

std::atomic<bool> stopped{false};

void onSignal(int)
{
    stopped = true;
}

struct Options {
    std::string target = "camera", site = "corvo";
    int port = 5670;
    double renew = 2;
};

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--target")
            o.target = value;
        else if (key == "--site")
            o.site = value;
        else if (key == "--port")
            o.port = std::stoi(value);
        else if (key == "--renew")
            o.renew = std::stod(value);
    }
    return o;
}

// Beacons until the node named `name` greets us, then greets it, joined to
// `site`. False after 10 s without its HELLO.
bool greet(zreattack::RawPeer& peer, const Options& o)
{
    zreattack::BeaconSender beacons;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!stopped && std::chrono::steady_clock::now() < deadline) {
        beacons.send("127.255.255.255", o.port, peer.uuid(), peer.port());
        auto m = peer.receive(std::chrono::milliseconds(200));
        if (m && m->id == zre::MessageId::Hello && m->name == o.target) {
            peer.connect(m->endpoint);
            zre::Message hello;
            hello.id = zre::MessageId::Hello;
            hello.sequence = 1;
            hello.endpoint = peer.endpoint();
            hello.groups = {o.site};
            hello.name = "staller";
            peer.send(hello);
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    const Options o = parse(argc, argv);
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    corvo::proto::Command command;
    command.set_cmd_name("no-such-command");
    // A corvo message: its tag frame, then the record.
    const std::vector<std::string> frames = {std::string(1, char(corvo::MSG_COMMAND)), command.SerializeAsString()};
    long sent = 0;
    int comebacks = 0;
    while (!stopped) {
        auto peer = std::make_unique<zreattack::RawPeer>("127.0.0.1", zreattack::randomUuid(), true);
        if (!greet(*peer, o))
            continue;
        ++comebacks;
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(o.renew));
        zre::Message whisper;
        whisper.id = zre::MessageId::Whisper;  // numbered by send()
        while (!stopped && std::chrono::steady_clock::now() < until) {
            for (int i = 0; i < 200; ++i) {
                peer->send(whisper, frames);
                ++sent;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    std::cout << "stall sent " << sent << " under " << comebacks << " UUIDs" << std::endl;
    return 0;
}
