// Shared by the imaging hostile tests: child programs with their output in a
// file, and a client that runs a scenario of steps (an action, then a
// condition awaited with a deadline) against corvo-simcam.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "corvo/client.h"
#include "corvo/peer.h"
#include "corvo/property.h"
#include "support/child_process.h"
#include "support/scenario.h"

namespace imagingtest {

using Clock = std::chrono::steady_clock;

using corvotest::readFile;
using corvotest::Step;

// A child program on loopback, ended with SIGINT (SIGKILL after 10 s).
class ChildProcess : public corvotest::ChildProcess {
public:
    ChildProcess(std::vector<std::string> argv, const std::string& logFile)
        : corvotest::ChildProcess(onLoopback(std::move(argv)), logFile)
    {}

private:
    static std::vector<std::string> onLoopback(std::vector<std::string> argv)
    {
        argv.insert(argv.begin() + 1, {"--interface", "lo"});
        return argv;
    }
};

class ScenarioClient : public corvo::Client, public corvotest::Scenario {
public:
    ScenarioClient() : Client("imagingtest") {}

    void beforeLoop() override
    {
        Client::beforeLoop();
        network->setRecvLog(true);
    }
    void onStatus(std::shared_ptr<corvo::Peer> peer, unsigned int status) override
    {
        if (peer->name == "camera")
            statuses.push_back({status, Clock::now()});
    }
    void onLog(std::shared_ptr<corvo::Peer> peer, const corvo::proto::Log& log) override
    {
        if (peer->name == "camera")
            logs.push_back(log.message());
    }
    void onProperty(std::shared_ptr<corvo::Peer> peer, const corvo::Property& property) override
    {
        if (peer->name == "camera") {
            changes.push_back({property.name, property.toString()});
            changeTimes.push_back(Clock::now());
        }
    }
    void onResponse(std::shared_ptr<corvo::Peer> peer, const corvo::proto::Response& response) override
    {
        if (peer->name == "camera" && !response.error().empty() && response.has_property_data())
            refusals.push_back({response.property_data().name(), response.error()});
    }
    void onIdle() override
    {
        if (!advance())
            stop();
    }

    // Refusals the camera answered: (property, reason).
    std::vector<std::pair<std::string, std::string>> refusals;

    std::shared_ptr<corvo::Peer> peer(const std::string& peerName) const { return network->peers().find(peerName); }
    bool cameraReady() const
    {
        auto cam = peer("camera");
        return cam && cam->properties.count("filepattern") && cam->commands.count("expose");
    }
    void command(const std::string& name) { network->sendCommand(peer("camera"), name, {}); }
    void requestString(const std::string& name, const std::string& value)
    {
        auto cam = peer("camera");
        corvo::Property change = cam->properties.at(name);
        change.strValue = value;
        network->changeProperty(cam, &change);
    }
    std::string value(const std::string& name) const
    {
        auto cam = peer("camera");
        if (!cam || !cam->properties.count(name))
            return "";
        return cam->properties.at(name).toString();
    }
    bool hasLog(const std::string& text) const
    {
        return std::any_of(logs.begin(), logs.end(), [&](const std::string& l) { return l.find(text) == 0; });
    }
    // Filenames broadcast from index `from` of the changes on.
    std::vector<std::string> filenamesAfter(size_t from) const
    {
        std::vector<std::string> names;
        for (size_t i = from; i < changes.size(); ++i)
            if (changes[i].first == "filename")
                names.push_back(changes[i].second);
        return names;
    }
    // True once the statuses from `from` on hold EXPOSE, READOUT, IDLE.
    bool exposureDone(size_t from) const
    {
        std::vector<unsigned int> seen;
        for (size_t i = from; i < statuses.size(); ++i)
            seen.push_back(statuses[i].first);
        return seen.size() >= 3 &&
               std::vector<unsigned int>(seen.end() - 3, seen.end()) == std::vector<unsigned int>{1, 2, 0};
    }

    std::vector<std::pair<unsigned int, Clock::time_point>> statuses;
    std::vector<std::string> logs;
    std::vector<std::pair<std::string, std::string>> changes;
    std::vector<Clock::time_point> changeTimes;  // when each change arrived
};

}  // namespace imagingtest
