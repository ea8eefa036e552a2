// Control traffic while images flow between the same two peers: this client
// times the property round trip to corvo-simcam (a change of "current" and
// the broadcast that confirms it) in alternating rounds, with no transfer
// and while it fetches the camera's 4096 x 4096 16-bit frame (32 MiB) back
// to back; it reports both, the fetch throughput, and the growth of the
// camera's resident memory while this client holds a transfer without
// granting credit (a stalled receiver). Starts network nodes: run inside a
// network namespace (scripts/in-netns.sh bench_image_control).
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "corvo/image_service.h"
#include "corvo/message.h"
#include "imaging_scenario.h"
#include "support/temp_dir.h"

using namespace imagingtest;

namespace {

constexpr int kRounds = 6;  // alternating: quiet, fetching, quiet, ...
constexpr int kTripsPerRound = 40;

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5))];
}

long residentKiB(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

class FetchingClient : public ScenarioClient {
public:
    // Fetches "frame.fits" again and again while `fetching`; with `stall`
    // the credit is never returned.
    bool fetching = false;
    bool stall = false;
    uint64_t bytes = 0;
    int fetched = 0;
    int failed = 0;

    void startFetch()
    {
        auto cam = peer("camera");
        receiver =
            std::make_unique<corvo::ImageReceiver>(++number, "frame.fits", 0, [this](const unsigned char*, size_t n) {
                bytes += n;
                return true;
            });
        network->sendOne(receiver->request(), cam);
    }
    bool transferring() const { return receiver != nullptr; }
    void cancel()
    {
        if (receiver)
            network->sendOne(receiver->cancel(), peer("camera"));
        receiver.reset();
    }

    void onImageMessage(std::shared_ptr<corvo::Peer> from, uint8_t tag, const unsigned char* data, size_t size) override
    {
        if (!receiver || from->name != "camera")
            return;
        bool ignored = false;
        zmsg_t* credit = receiver->handle(tag, data, size, ignored);
        if (credit && !stall)
            network->sendOne(credit, from);
        else if (credit)
            zmsg_destroy(&credit);
        if (receiver->state() == corvo::ImageReceiver::State::Running)
            return;
        receiver->state() == corvo::ImageReceiver::State::Done ? ++fetched : ++failed;
        receiver.reset();
        if (fetching)
            startFetch();
    }

private:
    std::unique_ptr<corvo::ImageReceiver> receiver;
    uint64_t number = 0;
};

}  // namespace

int main()
{
    const corvotest::TempDir tmp("corvo-bimc");
    const std::string dir = tmp.path();
    const std::string root = dir + "/root", conf = dir + "/conf";
    for (const auto& d : {root, conf, dir + "/home"})
        mkdir(d.c_str(), 0755);
    setenv("HOME", (dir + "/home").c_str(), 1);
    setenv("CORVO_CONF_PATH", conf.c_str(), 1);
    std::ofstream(conf + "/camera.conf") << "imgw = 4096\nimgh = 4096\ndatatype = 20\nexpotime = 0.1\nimageroot = "
                                         << root << "\nfilepattern = frame.fits\n";
    std::ofstream(conf + "/fitshdr.txt") << "";
    ChildProcess camera({SIMCAM_PATH}, dir + "/camera.log");

    FetchingClient client;
    std::vector<double> quiet, busy;
    double busySeconds = 0;
    Clock::time_point busySince;
    uint64_t busyBytesBefore = 0;
    long rssBefore = -1, rssStalled = -1;
    uint64_t stallBytes = 0;
    auto& steps = client.steps;
    steps.push_back({"camera known", nullptr, [&] { return client.cameraReady(); }, std::chrono::seconds(30)});
    size_t mark = 0;
    steps.push_back({"exposure", [&] { mark = client.statuses.size(), client.command("expose"); },
                     [&] { return client.exposureDone(mark) && !client.filenamesAfter(0).empty(); },
                     std::chrono::seconds(60)});
    for (int round = 0; round < kRounds; ++round) {
        const bool loaded = round % 2 == 1;
        auto& out = loaded ? busy : quiet;
        steps.push_back({loaded ? "fetching" : "quiet",
                         [&, loaded] {
                             client.fetching = loaded;
                             if (loaded) {
                                 busySince = Clock::now();
                                 busyBytesBefore = client.bytes;
                                 client.startFetch();
                             }
                         },
                         [&, loaded] { return loaded ? client.bytes > busyBytesBefore : !client.transferring(); },
                         std::chrono::seconds(60)});
        for (int i = 0; i < kTripsPerRound; ++i) {
            auto sent = std::make_shared<Clock::time_point>();
            auto from = std::make_shared<size_t>();
            const double value = 1000 + round * kTripsPerRound + i;
            steps.push_back({"round trip",
                             [&client, sent, from, value] {
                                 *from = client.changes.size();
                                 *sent = Clock::now();
                                 auto cam = client.peer("camera");
                                 corvo::Property change = cam->properties.at("current");
                                 change.doubleValue = value;
                                 client.getNetwork()->changeProperty(cam, &change);
                             },
                             [&client, &out, sent, from, value] {
                                 for (size_t k = *from; k < client.changes.size(); ++k)
                                     if (client.changes[k].first == "current" &&
                                         std::fabs(std::stod(client.changes[k].second) - value) < 1e-6) {
                                         out.push_back(
                                             std::chrono::duration<double>(client.changeTimes[k] - *sent).count());
                                         return true;
                                     }
                                 return false;
                             }});
        }
        if (loaded)
            steps.push_back({"fetching ends",
                             [&] {
                                 client.fetching = false;
                                 busySeconds += std::chrono::duration<double>(Clock::now() - busySince).count();
                             },
                             [&] { return !client.transferring(); }, std::chrono::seconds(120)});
    }
    // A stalled receiver: one window granted, never more.
    steps.push_back({"stalled transfer",
                     [&] {
                         rssBefore = residentKiB(camera.id());
                         stallBytes = client.bytes;
                         client.stall = true;
                         client.startFetch();
                     },
                     [&] { return client.bytes > stallBytes; }, std::chrono::seconds(30)});
    Clock::time_point stallSince;
    steps.push_back({"stalled for 2 s", [&] { stallSince = Clock::now(); },
                     [&] { return Clock::now() - stallSince > std::chrono::seconds(2); }});
    steps.push_back({"memory read", [&] { rssStalled = residentKiB(camera.id()); }, [] { return true; }});
    steps.push_back({"stall ends", [&] { client.cancel(); }, [] { return true; }});

    const char* args[] = {"benchimc", "--interface", "lo"};
    client.run(3, const_cast<char**>(args));
    camera.stop();
    if (!client.failure.empty()) {
        std::fprintf(stderr, "bench_image_control: %s\n", client.failure.c_str());
        return 1;
    }
    std::printf("corvo-simcam, 32 MiB 16-bit frame, %d rounds of %d property round trips, alternating\n", kRounds,
                kTripsPerRound);
    std::printf("  round trip, no transfer:       median %7.3f ms  p99 %7.3f ms  worst %7.3f ms\n",
                percentile(quiet, 0.5) * 1e3, percentile(quiet, 0.99) * 1e3, percentile(quiet, 1.0) * 1e3);
    std::printf("  round trip, fetching:          median %7.3f ms  p99 %7.3f ms  worst %7.3f ms\n",
                percentile(busy, 0.5) * 1e3, percentile(busy, 0.99) * 1e3, percentile(busy, 1.0) * 1e3);
    std::printf("  fetching/quiet: median %.2f, p99 %.2f\n", percentile(busy, 0.5) / percentile(quiet, 0.5),
                percentile(busy, 0.99) / percentile(quiet, 0.99));
    std::printf("  fetched %d frames (%d failed) in the fetching rounds, %.1f MiB/s\n", client.fetched, client.failed,
                double(stallBytes) / 1048576.0 / busySeconds);
    std::printf("  camera resident memory: %ld KiB, with a stalled receiver %ld KiB (+%ld KiB; window %zu KiB)\n",
                rssBefore, rssStalled, rssStalled - rssBefore,
                size_t(corvo::kImageWindowChunks) * corvo::kImageChunkBytes / 1024);
    return client.failed == 0 ? 0 : 1;
}
