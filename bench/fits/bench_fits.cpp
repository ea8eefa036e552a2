// FITS writing figures, side by side in one run:
//  1. Camera::saveImage of a 4096 x 4096 UINT16 frame with 20 template cards
//     against a bare cfitsio program writing the same pixels (create, image,
//     pixels, close), interleaved, median of the rounds.
//  2. With a corvo-simcam program: the time from sending "expose" (0 s,
//     1024 x 1024) to the camera's IDLE status, which it broadcasts after
//     the file is closed. This part starts network nodes: run the program
//     inside a network namespace (scripts/in-netns.sh bench_fits); outside
//     a loopback-only namespace it is skipped.
// Files go to a temporary directory that is removed at the end.
#include <fcntl.h>
#include <fitsio.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "corvo/camera.h"
#include "corvo/client.h"
#include "corvo/peer.h"

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 4096;
constexpr int kHeight = 4096;
constexpr int kRounds = 7;
constexpr int kExposures = 10;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

class BenchCamera : public corvo::Camera {
public:
    BenchCamera()
    {
        const char* argv[] = {"bench_fits"};
        optionParser.parseArgs(1, argv);
        processOptions();
    }
    corvo::Property& prop(const std::string& key) { return *properties.at(key); }

protected:
    void doReadTemp() override {}
    void doReadCurrent() override {}
    void doSwitchPower() override {}
    void doExpose() override {}
    void doAbort() override {}
};

void bareWrite(const std::string& path, std::vector<uint16_t>& pixels)
{
    fitsfile* fptr = nullptr;
    int status = 0;
    const std::string name = "!" + path;
    ffinit(&fptr, name.c_str(), &status);
    long axes[2] = {kWidth, kHeight};
    ffcrim(fptr, USHORT_IMG, 2, axes, &status);
    long first[2] = {1, 1};
    ffppx(fptr, TUSHORT, first, static_cast<LONGLONG>(kWidth) * kHeight, pixels.data(), &status);
    ffclos(fptr, &status);
    if (status != 0) {
        std::cerr << "bare cfitsio write failed: " << status << std::endl;
        std::exit(1);
    }
}

// Part 1.
void compareWriters(const std::string& dir)
{
    std::string cards;
    for (int i = 0; i < 20; ++i) {
        static const char* props[] = {"model",     "imgw",    "imgh",        "datatype",    "expotime",
                                      "starttime", "current", "temperature", "filepattern", "filename"};
        cards +=
            "CARD" + std::to_string(i) + " => camera:" + props[i % 10] + " \"card number " + std::to_string(i) + "\"\n";
    }
    std::ofstream(dir + "/conf/fitshdr.txt") << cards;

    std::vector<uint16_t> pixels(static_cast<size_t>(kWidth) * kHeight);
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> noise(900, 1100);
    for (auto& p : pixels)
        p = static_cast<uint16_t>(noise(rng));

    BenchCamera camera;
    camera.prop("model").setValue(std::string("bench"));
    camera.prop("imgw").setValue(static_cast<long>(kWidth));
    camera.prop("imgh").setValue(static_cast<long>(kHeight));
    camera.prop("expotime").setValue(1.0);
    camera.prop("imageroot").setValue(dir);
    camera.prop("filepattern").setValue(dir + "/save.fits");

    // saveImage prints the configuration search on the log stream.
    std::streambuf* logBuffer = std::clog.rdbuf(nullptr);
    std::vector<double> bare, saved;
    for (int round = 0; round < kRounds; ++round) {
        auto t0 = Clock::now();
        bareWrite(dir + "/bare.fits", pixels);
        auto t1 = Clock::now();
        camera.saveImage(pixels.data());
        auto t2 = Clock::now();
        bare.push_back(seconds(t1 - t0));
        saved.push_back(seconds(t2 - t1));
        unlink((dir + "/bare.fits").c_str());
        unlink((dir + "/save.fits").c_str());
    }
    std::clog.rdbuf(logBuffer);

    const double mib = pixels.size() * sizeof(uint16_t) / (1024.0 * 1024.0);
    const double bareMedian = median(bare), savedMedian = median(saved);
    std::printf("4096x4096 UINT16 (%.0f MiB), %d rounds, median:\n", mib, kRounds);
    std::printf("  bare cfitsio            %8.1f ms  %8.1f MiB/s\n", bareMedian * 1e3, mib / bareMedian);
    std::printf("  saveImage + 20 cards    %8.1f ms  %8.1f MiB/s\n", savedMedian * 1e3, mib / savedMedian);
    std::printf("  saveImage / bare throughput: %.1f %%\n", 100.0 * bareMedian / savedMedian);
}

// Part 2: a client that sends "expose" and waits for the status to come
// back to IDLE, kExposures times.
class ExposeClient : public corvo::Client {
public:
    ExposeClient() : Client("benchclient") {}

    void onStatus(std::shared_ptr<corvo::Peer> peer, unsigned int status) override
    {
        if (peer->name != "camera" || !waiting)
            return;
        if (status == 1)
            sawExpose = true;
        if (status == 0 && sawExpose) {
            latencies.push_back(seconds(Clock::now() - sent));
            waiting = false;
        }
    }

    void onIdle() override
    {
        const auto now = Clock::now();
        if (now > deadline) {
            std::cerr << "expose benchmark timed out" << std::endl;
            stop();
            return;
        }
        std::shared_ptr<corvo::Peer> camera = network->peers().find("camera");
        if (!camera || camera->commands.empty())
            return;
        if (!ready) {
            ready = true;
            readyAt = now + std::chrono::milliseconds(300);
        }
        if (now < readyAt || waiting)
            return;
        if (static_cast<int>(latencies.size()) == kExposures) {
            stop();
            return;
        }
        waiting = true;
        sawExpose = false;
        sent = Clock::now();
        network->sendCommand(camera, "expose", {});
    }

    std::vector<double> latencies;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);

private:
    bool ready = false, waiting = false, sawExpose = false;
    Clock::time_point readyAt, sent;
};

void exposeLatency(const std::string& dir, const std::string& simcam)
{
    std::ofstream(dir + "/conf/camera.conf") << "imgw = 1024\nimgh = 1024\ndatatype = 20\nexpotime = 0\n"
                                                "imageroot = "
                                             << dir << "\nfilepattern = " << dir << "/expose.fits\n";
    std::ofstream(dir + "/conf/fitshdr.txt") << "EXPTIME => camera:expotime \"exposure time\"\n";

    pid_t pid = fork();
    if (pid == 0) {
        int fd = open((dir + "/simcam.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execl(simcam.c_str(), simcam.c_str(), "--interface", "lo", static_cast<char*>(nullptr));
        _exit(127);
    }
    ExposeClient client;
    const char* argv[] = {"bench_fits", "--interface", "lo"};
    client.run(3, const_cast<char**>(argv));
    kill(pid, SIGINT);
    waitpid(pid, nullptr, 0);

    if (client.latencies.empty()) {
        std::printf("expose -> closed file: no exposure completed\n");
        return;
    }
    const auto& l = client.latencies;
    std::printf("expose (0 s, 1024x1024 UINT16) -> IDLE after the file is closed, %zu exposures:\n", l.size());
    std::printf("  median %.1f ms, min %.1f ms, max %.1f ms\n", median(l) * 1e3,
                *std::min_element(l.begin(), l.end()) * 1e3, *std::max_element(l.begin(), l.end()) * 1e3);
}

// True inside a namespace whose only interface is loopback (in-netns.sh).
bool loopbackOnly()
{
    std::ifstream devices("/proc/net/dev");
    std::string line;
    int interfaces = 0;
    bool onlyLo = true;
    while (std::getline(devices, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        ++interfaces;
        if (name != "lo")
            onlyLo = false;
    }
    return interfaces > 0 && onlyLo;
}

}  // namespace

int main(int argc, char** argv)
{
    char pattern[] = "/tmp/corvo-bench-fits-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    mkdir((dir + "/conf").c_str(), 0755);
    setenv("HOME", (dir + "/home").c_str(), 1);
    setenv("CORVO_CONF_PATH", (dir + "/conf").c_str(), 1);

    compareWriters(dir);

    std::string simcam;
#ifdef SIMCAM_PATH
    simcam = SIMCAM_PATH;
#endif
    if (argc > 1)
        simcam = argv[1];
    if (simcam.empty())
        std::printf("expose -> closed file: skipped (no corvo-simcam)\n");
    else if (!loopbackOnly())
        std::printf("expose -> closed file: skipped (run inside scripts/in-netns.sh)\n");
    else
        exposeLatency(dir, simcam);

    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
