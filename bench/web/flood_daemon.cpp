// A daemon for the web console's benchmark: "burst N" broadcasts its
// property "stamp" N times in a row, each time with the wall-clock time of
// the broadcast (seconds since the epoch), so a receiver on the same machine
// can tell how long the value took to reach it.
#include <corvo/daemon.h>
#include <corvo/misc.h>

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
    }

private:
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
