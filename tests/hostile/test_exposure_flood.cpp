// Exposure length under a flood: while a peer whispers 3,000 messages a
// second to corvo-simcam, each exposure must last the time asked for, the
// EXPTIME card must say how long it really lasted, and the readout must come
// when the exposure ends. The tolerances are generous (the machine is shared
// and the suite also runs under sanitizers); the benchmark measures.
#include <fitsio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "imaging_scenario.h"
#include "support/temp_dir.h"

using namespace imagingtest;

namespace {

constexpr double kExposure = 0.5;
constexpr int kExposures = 4;

double exptime(const std::string& path)
{
    fitsfile* fptr = nullptr;
    int status = 0;
    double value = -1;
    if (ffopen(&fptr, path.c_str(), READONLY, &status) != 0)
        return -1;
    ffgky(fptr, TDOUBLE, "EXPTIME", &value, nullptr, &status);
    int ignored = 0;
    ffclos(fptr, &ignored);
    return status == 0 ? value : -1;
}

}  // namespace

TEST(HostileImaging, ExposureLengthHoldsUnderAFlood)
{
    const corvotest::TempDir tmp("corvo-hostile-flood");
    const std::string dir = tmp.path();
    const std::string root = dir + "/root", conf = dir + "/conf";
    for (const auto& d : {root, conf, dir + "/home"})
        mkdir(d.c_str(), 0755);
    setenv("HOME", (dir + "/home").c_str(), 1);
    setenv("CORVO_CONF_PATH", conf.c_str(), 1);
    std::ofstream(conf + "/camera.conf") << "imgw = 256\nimgh = 256\ndatatype = 20\nexpotime = " << kExposure
                                         << "\nimageroot = " << root << "\nfilepattern = flood.fits\n";
    std::ofstream(conf + "/fitshdr.txt") << "EXPTIME => camera:expotime \"requested\"\n";

    ChildProcess camera({SIMCAM_PATH}, dir + "/camera.log");
    ChildProcess flood({HOSTILE_PEER_PATH, "--flood", "3000"}, dir + "/flood.log");

    ScenarioClient client;
    size_t mark = 0;
    std::vector<double> observed;
    auto& steps = client.steps;
    steps.push_back({"camera known", nullptr, [&] { return client.cameraReady() && client.peer("mount"); }});
    // Let the flood run at full rate before the first exposure.
    Clock::time_point floodSince;
    steps.push_back({"flood running", [&] { floodSince = Clock::now(); },
                     [&] { return Clock::now() - floodSince > std::chrono::seconds(1); }});
    for (int i = 0; i < kExposures; ++i) {
        steps.push_back({"exposure " + std::to_string(i),
                         [&] {
                             mark = client.statuses.size();
                             client.command("expose");
                         },
                         [&] {
                             if (!client.exposureDone(mark))
                                 return false;
                             // EXPOSE to READOUT as this client saw them.
                             Clock::time_point start, readout;
                             for (size_t k = mark; k < client.statuses.size(); ++k) {
                                 if (client.statuses[k].first == 1)
                                     start = client.statuses[k].second;
                                 if (client.statuses[k].first == 2)
                                     readout = client.statuses[k].second;
                             }
                             observed.push_back(std::chrono::duration<double>(readout - start).count());
                             return true;
                         }});
    }
    const char* argv[] = {"imagingtest", "--interface", "lo"};
    client.run(3, const_cast<char**>(argv));
    flood.stop();
    ASSERT_EQ(client.failure, "") << "camera log:\n" << readFile(dir + "/camera.log");
    EXPECT_TRUE(camera.alive());

    // The flood really ran: about 3,000 a second for the whole scenario.
    std::smatch sent;
    const std::string floodLog = readFile(dir + "/flood.log");
    ASSERT_TRUE(std::regex_search(floodLog, sent, std::regex("flood sent (\\d+)"))) << floodLog;
    EXPECT_GT(std::stoll(sent[1]), 3000LL * kExposures * kExposure);

    ASSERT_EQ(observed.size(), static_cast<size_t>(kExposures));
    for (int i = 0; i < kExposures; ++i) {
        SCOPED_TRACE(i);
        const std::string file = root + (i == 0 ? "/flood.fits" : "/flood_" + std::to_string(i) + ".fits");
        const double recorded = exptime(file);
        // The recorded length is the real one, and the real one is the one
        // asked for.
        EXPECT_NEAR(recorded, kExposure, 0.15) << file;
        EXPECT_NEAR(observed[i], recorded, 0.4);
    }
}
