// A bare network node that joins a site's three groups and records every
// event, for tests that watch real daemons from the outside.
#pragma once

#include <corvo/command.h>
#include <corvo/message.h>
#include <corvo/network.h>
#include <corvo/peer.h>
#include <corvo/property.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace corvotest {

struct LogRecord {
    std::string peer;
    int level;
    std::string logger;
    std::string message;
};

struct PropertyRecord {
    std::string peer;
    std::string name;
    std::string value;
};

class Observer : public corvo::EventCallback {
public:
    Observer(const std::string& site, const std::string& name = "observer", int port = 5670) : net(this, false)
    {
        net.setName(name);
        net.setPort(port);
        net.setInterface("lo");
        net.siteGroup = site;
        net.propGroup = site + "-prop";
        net.logGroup = site + "-log";
        net.setClient(true);
        net.setType("client");
        net.join(site);
        net.setRecvValue(true);
        net.setRecvLog(true);
        net.start();
    }

    // Handles events until `done` holds or the time is up.
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            if (net.poll(5))
                net.recv();
        }
        return true;
    }

    // Handles events for a while, whatever comes.
    void drainFor(std::chrono::milliseconds duration)
    {
        waitUntil([] { return false; }, duration);
    }

    std::shared_ptr<corvo::Peer> peerNamed(const std::string& name) const { return net.peers().find(name); }

    // The peer once its Info has arrived, or null after the timeout.
    std::shared_ptr<corvo::Peer> waitForInfo(const std::string& name,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        waitUntil([&] { return hasInfo(name); }, timeout);
        return hasInfo(name) ? peerNamed(name) : nullptr;
    }

    bool hasInfo(const std::string& name) const
    {
        for (const auto& peer : infos)
            if (peer == name)
                return true;
        return false;
    }

    void sendCommand(const std::shared_ptr<corvo::Peer>& peer, const std::vector<std::string>& words)
    {
        net.sendOne(corvo::ProtobufToZMsg(corvo::genCommandPB(words)), peer);
    }

    size_t countLogs(const std::string& message) const
    {
        size_t n = 0;
        for (const auto& log : logs)
            n += log.message == message;
        return n;
    }

    size_t countProperties(const std::string& name) const
    {
        size_t n = 0;
        for (const auto& change : properties)
            n += change.name == name;
        return n;
    }

    void onStatus(std::shared_ptr<corvo::Peer> peer, unsigned int status) override
    {
        statuses.emplace_back(peer->name, status);
    }
    void onLog(std::shared_ptr<corvo::Peer> peer, const corvo::proto::Log& log) override
    {
        logs.push_back({peer->name, log.level(), log.logger(), log.message()});
    }
    void onEnter(std::shared_ptr<corvo::Peer> peer) override
    {
        enters.push_back(peer->name);
        headersAtEnter[peer->name] = {peer->client, peer->type};
    }
    void onExit(std::shared_ptr<corvo::Peer> peer) override { exits.push_back(peer->name); }
    void onProperty(std::shared_ptr<corvo::Peer> peer, const corvo::Property& property) override
    {
        properties.push_back({peer->name, property.name, property.toString()});
    }
    void onInfo(std::shared_ptr<corvo::Peer> peer) override { infos.push_back(peer->name); }

    corvo::Network net;
    std::vector<std::pair<std::string, unsigned int>> statuses;
    std::vector<LogRecord> logs;
    std::vector<std::string> enters;
    std::map<std::string, std::pair<bool, std::string>> headersAtEnter;  // client, type
    std::vector<std::string> exits;
    std::vector<PropertyRecord> properties;
    std::vector<std::string> infos;
};

}  // namespace corvotest
