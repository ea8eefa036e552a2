// A daemon for the web console's benchmark and tests: "burst N" broadcasts
// its property "stamp" N times in a row, "pace N RATE" N times at RATE per
// second (from the loop's idle turns); each value is the wall-clock time of
// its broadcast (seconds since the epoch), so a receiver on the same machine
// can tell how long it took to arrive. "wave RATE SECONDS" sets each of its
// 100 properties p1 ... p100 RATE times a second for SECONDS, to the round's
// number (the last round's is RATE * SECONDS), then "wavevalues" to the
// number of values it set (rounds that came too late are skipped) and
// "waveend" to the wall-clock time it ended.
#include <corvo/daemon.h>
#include <corvo/misc.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

double wallClock()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

class Flood : public corvo::Daemon {
public:
    Flood() : Daemon("flood")
    {
        createProperty("stamp", corvo::Property::DOUBLE, "s", "wall-clock time of the broadcast", false);
        createCommand(
            "burst", [this](std::vector<std::string> args) { burst(args); }, "broadcast stamp N times", 1,
            corvo::ARG_INT, "count");
        for (int i = 1; i <= kWaveProperties; ++i)
            createProperty("p" + std::to_string(i), corvo::Property::INT, "round of the wave", false);
        createProperty("wavevalues", corvo::Property::INT, "values the last wave set", false);
        createProperty("waveend", corvo::Property::DOUBLE, "s", "wall-clock time the last wave ended", false);
        createCommand(
            "wave", [this](std::vector<std::string> args) { wave(args); },
            "set p1 ... p100 RATE times a second for SECONDS", 2, corvo::ARG_DOUBLE, "rate", corvo::ARG_DOUBLE,
            "seconds");
        createCommand(
            "pace", [this](std::vector<std::string> args) { pace(args); }, "broadcast stamp N times at RATE/s", 2,
            corvo::ARG_INT, "count", corvo::ARG_DOUBLE, "rate");
    }

    void onIdle() override
    {
        waveTurn();
        if (remaining <= 0)
            return;
        const long due = static_cast<long>((wallClock() - paceStart) * paceRate) - paced;
        for (long i = 0; i < std::min(due, remaining); ++i)
            properties["stamp"]->setValue(wallClock());
        if (due > 0) {
            paced += std::min(due, remaining);
            remaining -= std::min(due, remaining);
        }
    }

private:
    static constexpr int kWaveProperties = 100;
    long waveRounds = 0, waveDone = 0, waveValues = 0;
    double waveStart = 0, waveRate = 0;

    void wave(const std::vector<std::string>& args)
    {
        double seconds;
        try {
            waveRate = std::stod(args[0]);
            seconds = std::stod(args[1]);
        } catch (const std::exception&) {
            throw corvo::CorvoArgError();
        }
        if (!(waveRate > 0 && waveRate <= 1000 && seconds > 0 && seconds <= 3600))
            throw corvo::CorvoArgError();
        waveRounds = static_cast<long>(waveRate * seconds + 0.5);
        waveDone = 0;
        waveValues = 0;
        waveStart = wallClock();
    }

    // The rounds due by now; late rounds are not made up one by one (the
    // last one due is set), so the wave keeps its length.
    void waveTurn()
    {
        if (waveDone >= waveRounds)
            return;
        const long due = std::min(waveRounds, static_cast<long>((wallClock() - waveStart) * waveRate) + 1);
        if (due <= waveDone)
            return;
        waveDone = due;
        for (int i = 1; i <= kWaveProperties; ++i)
            properties["p" + std::to_string(i)]->setValue(waveDone);
        waveValues += kWaveProperties;
        if (waveDone == waveRounds) {
            properties["wavevalues"]->setValue(waveValues);
            properties["waveend"]->setValue(wallClock());
        }
    }

    long remaining = 0, paced = 0;
    double paceStart = 0, paceRate = 0;

    void pace(const std::vector<std::string>& args)
    {
        try {
            remaining = std::min(std::stol(args[0]), 10000000L);
            paceRate = std::stod(args[1]);
        } catch (const std::exception&) {
            throw corvo::CorvoArgError();
        }
        if (!(paceRate > 0))
            throw corvo::CorvoArgError();
        paced = 0;
        paceStart = wallClock();
    }

    void burst(const std::vector<std::string>& args)
    {
        long count;
        try {
            count = std::stol(args[0]);
        } catch (const std::exception&) {
            throw corvo::CorvoArgError();
        }
        for (long i = 0; i < count && i < 1000000; ++i)
            properties["stamp"]->setValue(wallClock());
    }
};

}  // namespace

int main(int argc, char** argv)
{
    Flood flood;
    return flood.run(argc, argv) == 0 ? 0 : 1;
}
