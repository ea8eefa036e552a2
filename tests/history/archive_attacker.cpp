// A hostile peer of the archiver, for the archive budget test: a daemon named
// "attacker" that, once it sees the archiver, whispers it one Info declaring
// --big string properties of --size bytes, then --tiny Infos of a few bytes
// (each makes a careless archiver record every property again), then floods
// for --flood seconds: property broadcasts with a new value each time and
// log records of --log-size bytes, as fast as it can. It prints "attack done"
// and stays until stopped.
#include <chrono>
#include <iostream>
#include <thread>

#include "corvo/daemon.h"
#include "corvo/message.h"
#include "corvo/peer.h"

namespace {

using Clock = std::chrono::steady_clock;

class ArchiveAttacker : public corvo::Daemon {
public:
    ArchiveAttacker() : Daemon("attacker")
    {
        optionParser.addOption<int>("big", 0, "properties in the big Info");
        optionParser.addOption<int>("size", 0, "bytes of each big property's value");
        optionParser.addOption<int>("tiny", 0, "tiny Infos after the big one");
        optionParser.addOption<double>("flood", 0, "seconds of flooding");
        optionParser.addOption<int>("log-size", 0, "bytes of each flooded log record");
        createProperty("counter", corvo::Property::INT, "changes at every broadcast", false);
    }

    void onEnter(std::shared_ptr<corvo::Peer> peer) override
    {
        Daemon::onEnter(peer);
        if (peer->name == "archiver" && !target)
            target = peer;
    }

    void onIdle() override
    {
        if (!target || done)
            return;
        const auto& vm = optionParser.vm;
        if (!infosSent) {
            // Time for the archiver to have our own Info first.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            sendBigInfo(vm["big"].as<int>(), vm["size"].as<int>());
            for (int i = 0; i < vm["tiny"].as<int>(); ++i)
                sendTinyInfo();
            infosSent = true;
            floodUntil = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(vm["flood"].as<double>()));
            logText.assign(static_cast<size_t>(vm["log-size"].as<int>()), 'L');
            return;
        }
        if (Clock::now() >= floodUntil) {
            done = true;
            std::cout << "attack done" << std::endl;
            return;
        }
        for (int i = 0; i < 200; ++i)
            properties.at("counter")->setValue(++counter);
        corvo::proto::Log log;
        log.set_level(corvo::proto::Log::ERROR);
        log.set_logger("attacker");
        log.set_message(logText);
        network->sendLog(log);
    }

private:
    void sendBigInfo(int count, int size)
    {
        corvo::proto::Info info;
        std::string value(static_cast<size_t>(size), 'x');
        for (int i = 0; i < count; ++i) {
            corvo::Property p("big" + std::to_string(i), corvo::Property::STRING, "", false, nullptr);
            value[0] = static_cast<char>('a' + i % 26);
            p.strValue = value;
            *info.add_properties() = p.serialize();
        }
        info.set_status(1);
        network->sendOne(corvo::ProtobufToZMsg(info), target);
    }

    void sendTinyInfo()
    {
        corvo::proto::Info info;
        info.set_status(1);
        network->sendOne(corvo::ProtobufToZMsg(info), target);
    }

    std::shared_ptr<corvo::Peer> target;
    bool infosSent = false, done = false;
    Clock::time_point floodUntil;
    std::string logText;
    long counter = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    ArchiveAttacker attacker;
    return attacker.run(argc, argv) == 0 ? 0 : 1;
}
