// corvo-simcam under a flood: a peer whispers RATE small messages a second
// to the camera (default 3,000) while this client
//  1. requests a change of the camera's "current" and times the broadcast
//     that confirms it (the property round trip), 200 times, first without
//     and then with the flood;
//  2. takes 20 exposures of 0.5 s and compares the length each should have
//     with the one the camera measured (EXPTIME) and with the time between
//     the EXPOSE and READOUT statuses seen here.
// Starts network nodes: run inside a network namespace
// (scripts/in-netns.sh bench_flood [RATE]).
// `bench_flood attacks [ROUNDS]` runs the table of attacks instead (see
// bench_attacks.cpp): round trips during each attack and without it, the
// victims' memory and the archive's growth.
#include <fitsio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_attacks.h"
#include "imaging_scenario.h"
#include "support/temp_dir.h"

using namespace imagingtest;

namespace {

constexpr int kRoundTrips = 200;
constexpr int kExposures = 20;
constexpr double kExposure = 0.5;

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5))];
}

double exptime(const std::string& path)
{
    fitsfile* fptr = nullptr;
    int status = 0;
    double value = NAN;
    if (ffopen(&fptr, path.c_str(), READONLY, &status) != 0)
        return NAN;
    ffgky(fptr, TDOUBLE, "EXPTIME", &value, nullptr, &status);
    int ignored = 0;
    ffclos(fptr, &ignored);
    return value;
}

// Round trips of "current" requests: each waits for its own value.
void addRoundTrips(ScenarioClient& client, std::vector<double>& out, const std::string& label)
{
    for (int i = 0; i < kRoundTrips; ++i) {
        auto sent = std::make_shared<Clock::time_point>();
        auto mark = std::make_shared<size_t>();
        const double value = 1000 + i + (label == "flood" ? 0.5 : 0);
        client.steps.push_back({label + " round trip",
                                [&client, sent, mark, value] {
                                    *mark = client.changes.size();
                                    *sent = Clock::now();
                                    auto cam = client.peer("camera");
                                    corvo::Property change = cam->properties.at("current");
                                    change.doubleValue = value;
                                    client.getNetwork()->changeProperty(cam, &change);
                                },
                                [&client, &out, sent, mark, value] {
                                    // The arrival time of the confirming broadcast.
                                    for (size_t k = *mark; k < client.changes.size(); ++k) {
                                        if (client.changes[k].first == "current" &&
                                            std::fabs(std::stod(client.changes[k].second) - value) < 1e-6) {
                                            out.push_back(
                                                std::chrono::duration<double>(client.changeTimes[k] - *sent).count());
                                            return true;
                                        }
                                    }
                                    return false;
                                }});
    }
}

void report(const char* what, const std::vector<double>& values, double scale, const char* unit)
{
    std::printf("  %-44s median %8.3f %s  p90 %8.3f %s  worst %8.3f %s  (n=%zu)\n", what,
                percentile(values, 0.5) * scale, unit, percentile(values, 0.9) * scale, unit,
                percentile(values, 1.0) * scale, unit, values.size());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "attacks")
        return runAttacks(argc > 2 ? std::max(1, std::atoi(argv[2])) : 3,
                          {SIMCAM_PATH, ARCHIVER_PATH, FLOOD_PEER_PATH, STALL_PEER_PATH, ARCHIVE_ATTACKER_PATH});
    const int rate = argc > 1 ? std::atoi(argv[1]) : 3000;
    const corvotest::TempDir tmp("corvo-bench-flood");
    const std::string dir = tmp.path();
    const std::string root = dir + "/root", conf = dir + "/conf";
    for (const auto& d : {root, conf, dir + "/home"})
        mkdir(d.c_str(), 0755);
    setenv("HOME", (dir + "/home").c_str(), 1);
    setenv("CORVO_CONF_PATH", conf.c_str(), 1);
    std::ofstream(conf + "/camera.conf") << "imgw = 1024\nimgh = 1024\ndatatype = 20\nexpotime = " << kExposure
                                         << "\nimageroot = " << root << "\nfilepattern = e.fits\n";
    std::ofstream(conf + "/fitshdr.txt") << "EXPTIME => camera:expotime \"requested\"\n";

    ChildProcess camera({SIMCAM_PATH}, dir + "/camera.log");
    std::unique_ptr<ChildProcess> flood;

    ScenarioClient client;
    std::vector<double> quietTrips, floodTrips, observed;
    auto& steps = client.steps;
    steps.push_back({"camera known", nullptr, [&] { return client.cameraReady(); }, std::chrono::seconds(30)});
    addRoundTrips(client, quietTrips, "quiet");
    steps.push_back({"flood starts",
                     [&] {
                         flood = std::make_unique<ChildProcess>(
                             std::vector<std::string>{FLOOD_PEER_PATH, "--flood", std::to_string(rate)},
                             dir + "/flood.log");
                     },
                     [&] { return client.peer("mount") != nullptr; }, std::chrono::seconds(30)});
    Clock::time_point since;
    steps.push_back({"flood at full rate", [&] { since = Clock::now(); },
                     [&] { return Clock::now() - since > std::chrono::seconds(2); }});
    addRoundTrips(client, floodTrips, "flood");
    size_t mark = 0;
    for (int i = 0; i < kExposures; ++i) {
        steps.push_back({"exposure",
                         [&] {
                             mark = client.statuses.size();
                             client.command("expose");
                         },
                         [&] {
                             if (!client.exposureDone(mark))
                                 return false;
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
    const Clock::time_point began = Clock::now();
    const char* args[] = {"benchflood", "--interface", "lo"};
    client.run(3, const_cast<char**>(args));
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    if (flood)
        flood->stop();
    camera.stop();
    if (!client.failure.empty()) {
        std::fprintf(stderr, "bench_flood: %s\n", client.failure.c_str());
        return 1;
    }

    std::vector<double> recordedError, observedError;
    for (int i = 0; i < kExposures; ++i) {
        const std::string file = root + (i == 0 ? "/e.fits" : "/e_" + std::to_string(i) + ".fits");
        const double recorded = exptime(file);
        recordedError.push_back(std::fabs(recorded - kExposure));
        observedError.push_back(std::fabs(observed[i] - kExposure));
    }
    std::string sent = readFile(dir + "/flood.log");
    const auto at = sent.find("flood sent ");
    const long long floodCount = at == std::string::npos ? -1 : std::atoll(sent.c_str() + at + 11);

    std::printf("corvo-simcam under a flood of %d msg/s from one peer (%lld sent in the run of %.1f s)\n", rate,
                floodCount, seconds);
    report("property round trip, no flood", quietTrips, 1e3, "ms");
    report("property round trip, flood", floodTrips, 1e3, "ms");
    report("exposure length error, EXPTIME (camera clock)", recordedError, 1e3, "ms");
    report("exposure length error, EXPOSE->READOUT seen", observedError, 1e3, "ms");
    return 0;
}
