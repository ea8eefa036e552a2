// A peer that floods the archiver, for the flood test: a daemon named
// "flooder" that, 2 s after it sees the archiver (which has its Info by
// then), broadcasts --count changes as fast as its loop turns (500 a turn):
// change i sets "n" to i, "x" to i / 4 and "label" to a text of i (every
// third one with a NUL byte, every other one with an accented letter). It prints the wall-clock span of the flood in microseconds as
// "flood done FIRST LAST" and stays until stopped.
#include <chrono>
#include <iostream>
#include <string>

#include "corvo/daemon.h"
#include "corvo/peer.h"
#include "history/archive_flooder.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t wallMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

namespace {

class Flooder : public corvo::Daemon {
public:
    Flooder() : Daemon("flooder")
    {
        optionParser.addOption<long>("count", 0, "changes to broadcast");
        createProperty("n", corvo::Property::INT, "change number", false);
        createProperty("x", corvo::Property::DOUBLE, "K", "a quarter of the change number", false);
        createProperty("label", corvo::Property::STRING, "a text of the change number", false);
    }

    void onEnter(std::shared_ptr<corvo::Peer> peer) override
    {
        Daemon::onEnter(peer);
        if (peer->name == "archiver" && startAt == Clock::time_point{})
            startAt = Clock::now() + std::chrono::seconds(2);
    }

    void onIdle() override
    {
        if (startAt == Clock::time_point{} || Clock::now() < startAt || done)
            return;
        long count = optionParser.vm["count"].as<long>();
        if (sent == 0)
            first = wallMicros();
        for (int k = 0; k < 500 && sent < count; ++k) {
            ++sent;
            properties.at("n")->setValue(static_cast<long>(sent));
            properties.at("x")->setValue(static_cast<double>(sent) / 4);
            properties.at("label")->setValue(floodLabel(sent));
        }
        if (sent >= count) {
            done = true;
            std::cout << "flood done " << first << " " << wallMicros() << std::endl;
        }
    }

private:
    Clock::time_point startAt{};
    int64_t sent = 0;
    int64_t first = 0;
    bool done = false;
};

}  // namespace

int main(int argc, char** argv)
{
    Flooder flooder;
    return flooder.run(argc, argv);
}
