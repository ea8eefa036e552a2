// A hostile peer of the camera, for the imaging tests and the flood
// benchmark: a daemon named "mount" whose properties hold what a careless or
// malicious peer might (a NaN, a name that tries to leave the image
// directory), and which, with --flood N, whispers N small messages a second
// to every peer named "camera".
#include <chrono>
#include <cmath>
#include <iostream>
#include <limits>

#include "corvo/daemon.h"
#include "corvo/message.h"
#include "corvo/peer.h"

namespace {

using Clock = std::chrono::steady_clock;

class ImagingPeer : public corvo::Daemon {
public:
    ImagingPeer() : Daemon("mount")
    {
        optionParser.addOption<int>("flood", 0, "messages a second whispered to the camera");
        createProperty("object", corvo::Property::STRING, "target name", false);
        createProperty("airmass", corvo::Property::DOUBLE, "airmass", false);
        properties.at("object")->setValue(std::string("../../escape(x)!mem://[1]"));
        properties.at("airmass")->setValue(std::numeric_limits<double>::quiet_NaN());
    }

    void beforeLoop() override
    {
        Daemon::beforeLoop();
        if (optionParser.vm.count("flood"))
            rate = optionParser.vm["flood"].as<int>();
        started = Clock::now();
    }

    // Sends the messages due by now, so the rate holds whatever the pace of
    // the loop.
    void onIdle() override
    {
        if (rate <= 0)
            return;
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        const auto due = static_cast<long long>(elapsed * rate);
        std::shared_ptr<corvo::Peer> camera = network->peers().find("camera");
        if (!camera) {
            sent = due;
            return;
        }
        // Never more than a second's worth at once.
        if (due - sent > rate)
            sent = due - rate;
        for (; sent < due; ++sent) {
            corvo::proto::Log log;
            log.set_level(corvo::proto::Log::TRACE);
            log.set_message("flood");
            network->sendOne(corvo::ProtobufToZMsg(log), camera);
        }
    }

    void cleanup() override
    {
        Daemon::cleanup();
        if (rate > 0)
            std::cout << "flood sent " << sent << std::endl;
    }

private:
    int rate = 0;
    long long sent = 0;
    Clock::time_point started;
};

}  // namespace

int main(int argc, char** argv)
{
    ImagingPeer peer;
    return peer.run(argc, argv) == 0 ? 0 : 1;
}
