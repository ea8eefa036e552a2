// A daemon for the web console's benchmark: "burst N" broadcasts its
// property "stamp" N times in a row, "pace N RATE" N times at RATE per
// second (from the loop's idle turns); each value is the wall-clock time of
// its broadcast (seconds since the epoch), so a receiver on the same machine
// can tell how long it took to arrive.
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
        createCommand(
            "pace", [this](std::vector<std::string> args) { pace(args); }, "broadcast stamp N times at RATE/s", 2,
            corvo::ARG_INT, "count", corvo::ARG_DOUBLE, "rate");
    }

    void onIdle() override
    {
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
