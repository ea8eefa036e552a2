// Control traffic while images flow between the same two peers: this client
// times the property round trip to corvo-simcam (a change of "current" and
// the broadcast that confirms it) in alternating rounds, with no transfer
// and while it fetches the camera's 4096 x 4096 16-bit frame (32 MiB) back
// to back; it reports both, the fetch throughput, and the growth of the
// camera's resident memory while this client holds a transfer without
// granting credit (a stalled receiver). Then, in alternating rounds, it
// times single fetches from request to the verified end (the checksum
// checked), written to a file, against a floor: `cp` of the camera's frame
// on loopback, or with --tcp HOST:PORT a bare TCP stream of the frame from a
// server that sends the file to each connection (bench_shaped.sh sets one
// up). Discovery happens once, so no figure includes it. Starts network
// nodes: run inside a network namespace:
//   scripts/in-netns.sh bench_image_control
//   bench_image_control --camera-pid PID --tcp HOST:PORT -i IFACE [-p PORT -s SESSION]
// With --camera-pid the camera is not started here: it runs already (in
// another namespace) and this pid is the one whose memory is read; the
// remaining options go to the client node.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
constexpr int kThroughputRounds = 5;  // each: the floor, then one fetch

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

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Reads a bare TCP stream from HOST:PORT to its end into `path`; returns
// the bytes read, or -1.
long long tcpStream(const std::string& hostPort, const std::string& path)
{
    const auto colon = hostPort.rfind(':');
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::atoi(hostPort.c_str() + colon + 1)));
    if (colon == std::string::npos || inet_pton(AF_INET, hostPort.substr(0, colon).c_str(), &addr.sin_addr) != 1)
        return -1;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    FILE* out = std::fopen(path.c_str(), "wb");
    long long got = -1;
    if (fd >= 0 && out && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        std::vector<char> buffer(1 << 20);
        got = 0;
        for (ssize_t n; (n = read(fd, buffer.data(), buffer.size())) > 0; got += n)
            std::fwrite(buffer.data(), 1, size_t(n), out);
    }
    if (out)
        std::fclose(out);
    if (fd >= 0)
        close(fd);
    return got;
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
    FILE* sink = nullptr;              // where received bytes go, if anywhere
    std::vector<double> fetchSeconds;  // request to verified end, each fetch done
    uint64_t lastFetchBytes = 0;

    void startFetch()
    {
        auto cam = peer("camera");
        fetchStart = Clock::now();
        fetchBytesBefore = bytes;
        if (sink)
            std::rewind(sink);
        receiver = std::make_unique<corvo::ImageReceiver>(++number, "frame.fits", 0,
                                                          [this](const unsigned char* data, size_t n) {
                                                              bytes += n;
                                                              return !sink || std::fwrite(data, 1, n, sink) == n;
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
        if (receiver->state() == corvo::ImageReceiver::State::Done) {
            ++fetched;
            if (sink)
                std::fflush(sink);
            fetchSeconds.push_back(secondsSince(fetchStart));
            lastFetchBytes = bytes - fetchBytesBefore;
        } else {
            ++failed;
        }
        receiver.reset();
        if (fetching)
            startFetch();
    }

private:
    std::unique_ptr<corvo::ImageReceiver> receiver;
    uint64_t number = 0;
    Clock::time_point fetchStart;
    uint64_t fetchBytesBefore = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    std::string tcp;
    pid_t cameraPid = 0;
    std::vector<char*> clientArgs{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--tcp" && i + 1 < argc)
            tcp = argv[++i];
        else if (arg == "--camera-pid" && i + 1 < argc)
            cameraPid = static_cast<pid_t>(std::atol(argv[++i]));
        else
            clientArgs.push_back(argv[i]);
    }
    if (clientArgs.size() == 1)
        clientArgs.insert(clientArgs.end(), {const_cast<char*>("--interface"), const_cast<char*>("lo")});

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
    std::unique_ptr<ChildProcess> camera;
    if (!cameraPid) {
        camera = std::make_unique<ChildProcess>(std::vector<std::string>{SIMCAM_PATH}, dir + "/camera.log");
        cameraPid = camera->id();
    }

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
                         rssBefore = residentKiB(cameraPid);
                         stallBytes = client.bytes;
                         client.stall = true;
                         client.startFetch();
                     },
                     [&] { return client.bytes > stallBytes; }, std::chrono::seconds(30)});
    Clock::time_point stallSince;
    steps.push_back({"stalled for 2 s", [&] { stallSince = Clock::now(); },
                     [&] { return Clock::now() - stallSince > std::chrono::seconds(2); }});
    steps.push_back({"memory read", [&] { rssStalled = residentKiB(cameraPid); }, [] { return true; }});
    steps.push_back({"stall ends", [&] { client.cancel(), client.stall = false; }, [] { return true; }});

    // Throughput, alternating: the floor, then one fetch (timed by the client).
    const std::string copy = dir + "/copy.fits";
    std::vector<double> floorSeconds;
    size_t fetchesBefore = 0;
    long long floorBytes = 0;
    bool floorFailed = false;
    for (int round = 0; round < kThroughputRounds; ++round) {
        steps.push_back({"floor",
                         [&] {
                             const auto start = Clock::now();
                             if (!tcp.empty()) {
                                 floorBytes = tcpStream(tcp, copy);
                             } else {
                                 const std::string cp = "cp " + root + "/frame.fits " + copy;
                                 floorFailed = floorFailed || std::system(cp.c_str()) != 0;
                                 struct stat st {};
                                 floorBytes = stat(copy.c_str(), &st) == 0 ? st.st_size : -1;
                             }
                             floorSeconds.push_back(secondsSince(start));
                         },
                         [] { return true; }});
        steps.push_back({"one fetch",
                         [&] {
                             fetchesBefore = client.fetchSeconds.size();
                             client.startFetch();
                         },
                         [&] { return !client.transferring(); }, std::chrono::seconds(120)});
        steps.push_back({"same bytes",
                         [&] {
                             floorFailed = floorFailed || client.fetchSeconds.size() != fetchesBefore + 1 ||
                                           floorBytes != static_cast<long long>(client.lastFetchBytes);
                         },
                         [] { return true; }});
    }
    std::vector<double> singleFetches;
    steps.push_back({"fetches collected",
                     [&] {
                         auto& all = client.fetchSeconds;
                         singleFetches.assign(all.end() - std::min<size_t>(all.size(), kThroughputRounds), all.end());
                     },
                     [] { return true; }});
    const std::string got = dir + "/got.fits";
    client.sink = std::fopen(got.c_str(), "wb");

    client.run(static_cast<int>(clientArgs.size()), clientArgs.data());
    if (client.sink)
        std::fclose(client.sink);
    if (camera)
        camera->stop();
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
    if (floorFailed || std::system(("cmp -s " + got + " " + copy).c_str()) != 0) {
        std::fprintf(stderr, "bench_image_control: the floor and the fetch did not carry the same bytes\n");
        return 1;
    }
    std::printf("  camera resident memory: %ld KiB, with a stalled receiver %ld KiB (+%ld KiB; window %zu KiB)\n",
                rssBefore, rssStalled, rssStalled - rssBefore,
                size_t(corvo::kImageWindowChunks) * corvo::kImageChunkBytes / 1024);
    const double frameMiB = double(client.lastFetchBytes) / 1048576.0;
    const char* floorName = tcp.empty() ? "cp" : "bare TCP";
    std::printf("throughput, %d alternating rounds of %s and one fetch (request to verified end, to a file):\n",
                kThroughputRounds, floorName);
    for (size_t i = 0; i < singleFetches.size() && i < floorSeconds.size(); ++i)
        std::printf("  round %zu: %s %.3f s (%.1f MiB/s); fetch %.3f s (%.1f MiB/s); fetch/%s throughput %.2f\n", i + 1,
                    floorName, floorSeconds[i], frameMiB / floorSeconds[i], singleFetches[i],
                    frameMiB / singleFetches[i], floorName, floorSeconds[i] / singleFetches[i]);
    std::printf("  median: %s %.1f MiB/s, fetch %.1f MiB/s, fetch/%s %.2f\n", floorName,
                frameMiB / percentile(floorSeconds, 0.5), frameMiB / percentile(singleFetches, 0.5), floorName,
                percentile(floorSeconds, 0.5) / percentile(singleFetches, 0.5));
    return client.failed == 0 ? 0 : 1;
}
