// The devices of a weather-protected dome for the alarm tests, one program
// per role (the first argument): "weather" (writable "rain", "wind",
// "humidity"), "dome" ("shutter": open/closed; "close", a safety command,
// and "open"), "mount" ("parked": 0/1; "park", not a safety command, and
// "unpark"; writable "tracking", an INT with choices 0 OFF, 1 ON). Each command's effect is broadcast, so a test sees it run.
#include <corvo/daemon.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

class Weather : public corvo::Daemon {
public:
    Weather() : Daemon("weather")
    {
        createProperty("rain", corvo::Property::DOUBLE, "mm/h", "rain rate", true);
        createProperty("wind", corvo::Property::DOUBLE, "m/s", "wind speed", true);
        createProperty("humidity", corvo::Property::DOUBLE, "%", "relative humidity", true);
    }
};

class Dome : public corvo::Daemon {
public:
    Dome() : Daemon("dome")
    {
        createProperty("shutter", corvo::Property::STRING, "open or closed", false);
        getProperty("shutter")->setValue("open");
        createCommand(
            "close", [this] { getProperty("shutter")->setValue("closed"); }, "close the shutter");
        createCommand(
            "open", [this] { getProperty("shutter")->setValue("open"); }, "open the shutter");
        markSafetyCommand("close");
    }
};

class Mount : public corvo::Daemon {
public:
    Mount() : Daemon("mount")
    {
        createProperty("parked", corvo::Property::INT, "1 when parked", false);
        createProperty("tracking", corvo::Property::INT, "tracking the sky", true);
        auto tracking = getProperty("tracking");
        tracking->addChoice(0, "OFF");
        tracking->addChoice(1, "ON");
        createCommand(
            "park", [this] { getProperty("parked")->setValue(1L); }, "park the telescope");
        createCommand(
            "unpark", [this] { getProperty("parked")->setValue(0L); }, "leave the park position");
    }
};

template <class D>
int runAs(int argc, char** argv)
{
    D device;
    return device.run(argc, argv) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: alarm-site-device weather|dome|mount [options]" << std::endl;
        return 2;
    }
    std::string role = argv[1];
    // The role is not an option of the daemon.
    std::vector<char*> rest{argv[0]};
    rest.insert(rest.end(), argv + 2, argv + argc);
    int n = static_cast<int>(rest.size());
    if (role == "weather")
        return runAs<Weather>(n, rest.data());
    if (role == "dome")
        return runAs<Dome>(n, rest.data());
    if (role == "mount")
        return runAs<Mount>(n, rest.data());
    std::cerr << "unknown role " << role << std::endl;
    return 2;
}
