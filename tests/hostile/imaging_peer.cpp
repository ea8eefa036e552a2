// A hostile peer of the camera, for the imaging tests and the flood
// benchmark: a daemon named "mount" whose properties hold what a careless or
// malicious peer might (a NaN, a name that tries to leave the image
// directory), and which, with --flood N, whispers N small messages a second
// to the peer named "camera" (--target NAME for another). With --bloat N it
// whispers the target N Infos instead, each declaring one more property with
// 240 choice labels of 64,000 bytes (every entry within its own bound, about
// 15 MB each), and prints "bloat sent N" when done.
#include <chrono>
#include <cmath>
#include <iostream>
#include <limits>
#include <string>

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
        optionParser.addOption<int>("bloat", 0, "Infos of about 15 MB whispered to the camera");
        optionParser.addOption<std::string>("target", 0, "the name of the peer attacked (default camera)");
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
        if (optionParser.vm.count("bloat"))
            bloat = optionParser.vm["bloat"].as<int>();
        if (optionParser.vm.count("target"))
            target = optionParser.vm["target"].as<std::string>();
        started = Clock::now();
    }

    // Sends the messages due by now, so the rate holds whatever the pace of
    // the loop.
    void onIdle() override
    {
        if (bloatSent < bloat)
            return sendBloat();
        if (rate <= 0)
            return;
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        const auto due = static_cast<long long>(elapsed * rate);
        std::shared_ptr<corvo::Peer> camera = network->peers().find(target);
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
    // One Info every 200 ms once the target is known: paced, so that our
    // own node's bounded backlog towards the target never drops it and all
    // of them reach it.
    void sendBloat()
    {
        std::shared_ptr<corvo::Peer> victim = network->peers().find(target);
        if (!victim || Clock::now() < nextBloat)
            return;
        nextBloat = Clock::now() + std::chrono::milliseconds(200);
        corvo::proto::Info info;
        auto* property = info.add_properties();
        property->set_name("bloat" + std::to_string(bloatSent));
        property->set_type(corvo::proto::Property_PropertyType_INT);
        for (int c = 0; c < 240; ++c) {
            auto* choice = property->mutable_intval()->add_choices();
            choice->set_choice_val(c);
            choice->set_choice_string(std::string(64000, char('a' + (bloatSent + c) % 26)));
        }
        network->sendOne(corvo::ProtobufToZMsg(info), victim);
        if (++bloatSent == bloat)
            std::cout << "bloat sent " << bloatSent << std::endl;
    }

    int bloat = 0, bloatSent = 0;
    Clock::time_point nextBloat;
    std::string target = "camera";
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
