// corvo-simcam end to end: a test client commands the camera over the peer
// network, follows its broadcasts, and reads the saved image back. Runs in
// a network namespace of its own (every program uses --interface lo).
#include <fitsio.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "corvo/client.h"
#include "corvo/peer.h"
#include "corvo/property.h"
#include "support/child_process.h"
#include "support/scenario.h"
#include "support/temp_dir.h"

using namespace corvo;
using Clock = std::chrono::steady_clock;
using corvotest::ChildProcess;
using corvotest::readFile;
using corvotest::Step;

namespace {

class TestClient : public Client, public corvotest::Scenario {
public:
    TestClient() : Client("camtest") {}

    void beforeLoop() override
    {
        Client::beforeLoop();
        network->setRecvLog(true);
    }

    void onStatus(std::shared_ptr<Peer> peer, unsigned int status) override
    {
        if (peer->name == "camera")
            statuses.push_back(status);
    }
    void onLog(std::shared_ptr<Peer> peer, const corvo::proto::Log& log) override
    {
        if (peer->name == "camera")
            logs.push_back(log.message());
    }
    void onProperty(std::shared_ptr<Peer> peer, const Property& property) override
    {
        if (peer->name == "camera")
            changes.push_back({property.name, property.toString()});
    }

    void onIdle() override
    {
        if (!advance())
            stop();
    }

    std::shared_ptr<Peer> peer(const std::string& peerName) const { return network->peers().find(peerName); }
    void command(const std::string& name, std::vector<std::string> args = {})
    {
        network->sendCommand(peer("camera"), name, std::move(args));
    }
    void requestChange(const std::string& name, const std::string& value)
    {
        auto cam = peer("camera");
        Property change = cam->properties.at(name);
        change.strValue = value;
        network->changeProperty(cam, &change);
    }
    bool hasLog(const std::string& text) const { return std::find(logs.begin(), logs.end(), text) != logs.end(); }
    // The last broadcast value of `name` among changes [from, to), or ""
    // when none arrived there.
    std::string changeAfter(size_t from, const std::string& name, size_t to = SIZE_MAX) const
    {
        std::string value;
        for (size_t i = from; i < std::min(to, changes.size()); ++i)
            if (changes[i].first == name)
                value = changes[i].second;
        return value;
    }
    bool statusesEndWith(size_t from, std::vector<unsigned int> tail) const
    {
        return std::vector<unsigned int>(statuses.begin() + std::min(from, statuses.size()), statuses.end()) == tail;
    }

    std::vector<unsigned int> statuses;
    std::vector<std::string> logs;
    std::vector<std::pair<std::string, std::string>> changes;
};

struct FitsFile {
    explicit FitsFile(const std::string& path)
    {
        int status = 0;
        if (ffopen(&fptr, path.c_str(), READONLY, &status) != 0)
            fptr = nullptr;
    }
    ~FitsFile()
    {
        int status = 0;
        if (fptr)
            ffclos(fptr, &status);
    }
    std::string value(const char* key)
    {
        char text[FLEN_VALUE] = {0};
        int status = 0;
        if (ffgkey(fptr, key, text, nullptr, &status) != 0)
            return "<missing>";
        return text;
    }
    std::string text(const char* key)
    {
        char value[FLEN_VALUE] = {0};
        int status = 0;
        if (ffgky(fptr, TSTRING, key, value, nullptr, &status) != 0)
            return "<missing>";
        return value;
    }
    fitsfile* fptr = nullptr;
};

}  // namespace

TEST(CameraEndToEnd, ExposeSavesImageWithCardsFromCameraAndPeer)
{
    // Made before the children, so it is removed after they are stopped.
    const corvotest::TempDir tmp("corvo-camera-e2e");
    const std::string dir = tmp.path();
    const std::string confDir = dir + "/conf";
    mkdir(confDir.c_str(), 0755);
    setenv("HOME", (dir + "/home").c_str(), 1);
    setenv("CORVO_CONF_PATH", confDir.c_str(), 1);
    std::ofstream(confDir + "/camera.conf")
        << "model = TestCam\n"
           "imgw = 64\n"
           "imgh = 48\n"
           "datatype = 16\n"
           "expotime = 0.3\n"
           "imageroot = "
        << dir << "\nfilepattern = " << dir << "/img/${camera:expotime}_${mount:object}_%y.fits\n";
    std::ofstream(confDir + "/fitshdr.txt") << "#define CAM camera\n"
                                               "EXPTIME => CAM:expotime \"exposure time\"\n"
                                               "INSTRUME => CAM:model \"camera model\"\n"
                                               "DATE-OBS => CAM:starttime \"start\"\n"
                                               "OBJECT => mount:object \"target\"\n"
                                               "AIRMASS => mount:airmass \"airmass\"\n"
                                               "STEPS => mount:steps \"64-bit\"\n"
                                               "TAGS => mount:tags \"list: no card\"\n";
    std::ofstream(dir + "/plain").put('x');

    ChildProcess mount({PEER_DAEMON_PATH, "--interface", "lo"}, dir + "/mount.log");
    ChildProcess camera({SIMCAM_PATH, "--interface", "lo"}, dir + "/camera.log");

    TestClient client;
    size_t mark = 0, statusMark = 0;
    std::string starttime;
    Clock::time_point exposeSeen, readoutSeen;
    Clock::time_point settle;
    auto& steps = client.steps;
    steps.push_back({"discover camera and mount", nullptr, [&] {
                         auto cam = client.peer("camera");
                         auto mnt = client.peer("mount");
                         return cam && mnt && cam->properties.count("filepattern") && mnt->properties.count("object");
                     }});
    // The camera learns the mount's properties from the mount's Info, sent
    // when they meet; give that a moment.
    steps.push_back({"settle", [&] { settle = Clock::now() + std::chrono::milliseconds(1000); },
                     [&] { return Clock::now() > settle; }});
    steps.push_back({"expose with an argument is refused", [&] { client.command("expose", {"1"}); },
                     [&] {
                         return client.hasLog(
                             "Wrong argument. Received: expose 1 (from camtest: 'expose' takes 0 arguments, got 1)");
                     }});
    steps.push_back({"expose",
                     [&] {
                         mark = client.changes.size();
                         statusMark = client.statuses.size();
                         client.command("expose");
                     },
                     [&] {
                         if (client.statuses.size() > statusMark && exposeSeen == Clock::time_point()) {
                             exposeSeen = Clock::now();
                             // The loop keeps serving requests during the exposure.
                             client.command("readtemp");
                         }
                         if (client.statuses.size() > statusMark + 1 && readoutSeen == Clock::time_point())
                             readoutSeen = Clock::now();
                         return client.statusesEndWith(statusMark, {1, 2, 0});
                     }});
    size_t firstEnd = 0;
    steps.push_back({"first exposure recorded", [&] { firstEnd = client.changes.size(); }, [] { return true; }});
    steps.push_back({"switch off",
                     [&] {
                         statusMark = client.statuses.size();
                         client.command("switch");
                     },
                     [&] { return client.statusesEndWith(statusMark, {4}); }});
    steps.push_back(
        {"expose while off is refused", [&] { client.command("expose"); },
         [&] { return client.hasLog("Wrong argument. Received: expose (from camtest: the camera is powered off)"); }});
    steps.push_back({"switch on", [&] { client.command("switch"); },
                     [&] {
                         return client.statusesEndWith(statusMark, {4, 3});
                     }});
    steps.push_back(
        {"unwritable file pattern", [&] { client.requestChange("filepattern", dir + "/plain/x.fits"); },
         [&] { return client.peer("camera")->properties.at("filepattern").strValue == dir + "/plain/x.fits"; }});
    steps.push_back({"failed save is logged",
                     [&] {
                         statusMark = client.statuses.size();
                         client.command("expose");
                     },
                     [&] {
                         return client.statusesEndWith(statusMark, {1, 2, 0}) &&
                                client.hasLog("Image not saved: Error occured during creating FITS file.");
                     }});
    size_t currentMark = 0;
    steps.push_back({"daemon still serves",
                     [&] {
                         currentMark = client.changes.size();
                         client.command("readcurrent");
                     },
                     [&] { return !client.changeAfter(currentMark, "current").empty(); }});

    const char* argv[] = {"camtest", "--interface", "lo"};
    client.run(3, const_cast<char**>(argv));
    ASSERT_EQ(client.failure, "") << "camera log:\n" << readFile(dir + "/camera.log");

    // The first exposure: its broadcasts.
    starttime = client.changeAfter(mark, "starttime", firstEnd);
    EXPECT_TRUE(std::regex_match(starttime, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3})"))) << starttime;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string file = dir + "/img/0.300000_M31_" + std::to_string(local.tm_year + 1900) + ".fits";
    EXPECT_EQ(client.changeAfter(mark, "filename", firstEnd), file);
    EXPECT_FALSE(client.changeAfter(mark, "temperature", firstEnd).empty());
    // The readtemp sent during the exposure was answered before the readout.
    size_t temperatureAt = 0, filenameAt = 0;
    for (size_t i = mark; i < firstEnd; ++i) {
        if (client.changes[i].first == "temperature" && !temperatureAt)
            temperatureAt = i;
        if (client.changes[i].first == "filename" && !filenameAt)
            filenameAt = i;
    }
    EXPECT_LT(temperatureAt, filenameAt);
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(readoutSeen - exposeSeen).count(), 200);

    // The file: image and cards.
    FitsFile fits(file);
    ASSERT_NE(fits.fptr, nullptr) << file;
    EXPECT_EQ(fits.value("BITPIX"), "16");
    EXPECT_EQ(fits.value("NAXIS1"), "64");
    EXPECT_EQ(fits.value("NAXIS2"), "48");
    // The length the camera measured, not the one it was asked for.
    EXPECT_NEAR(std::stod(fits.value("EXPTIME")), 0.3, 0.1);
    EXPECT_EQ(fits.text("INSTRUME"), "TestCam");
    EXPECT_EQ(fits.text("DATE-OBS"), starttime);
    EXPECT_EQ(fits.text("OBJECT"), "M31");
    EXPECT_EQ(fits.value("AIRMASS"), "1.25");
    EXPECT_EQ(fits.value("STEPS"), "4294967301");
    EXPECT_EQ(fits.value("TAGS"), "<missing>");
    EXPECT_NE(fits.value("DATE"), "<missing>");

    // A sky: background near 5% of the INT16 range, stars well above it.
    std::vector<int16_t> pixels(64 * 48);
    long first[2] = {1, 1};
    int status = 0;
    ffgpxv(fits.fptr, TSHORT, first, pixels.size(), nullptr, pixels.data(), nullptr, &status);
    ASSERT_EQ(status, 0);
    std::vector<int16_t> sorted = pixels;
    std::sort(sorted.begin(), sorted.end());
    const int median = sorted[sorted.size() / 2];
    EXPECT_NEAR(median, 0.05 * 32767, 100);
    EXPECT_GT(sorted.back(), median + 500);
    EXPECT_GT(sorted.front(), 0);

    // Both daemons end cleanly on SIGINT.
    EXPECT_EQ(camera.stop(), 0) << readFile(dir + "/camera.log");
    EXPECT_EQ(mount.stop(), 0) << readFile(dir + "/mount.log");
}
