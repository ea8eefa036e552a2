// Attacks on where images go and what they hold, against the real
// corvo-simcam in a network namespace: a peer property that is NaN in a
// header card, peer values and patterns that try to leave the image root or
// use cfitsio's extended syntax, a symbolic link out of the root, and two
// exposures within one second. Every image must land inside the root, whole,
// with its pixels readable by cfitsio.
#include <dirent.h>
#include <fitsio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "corvo/image_root.h"
#include "imaging_scenario.h"
#include "support/temp_dir.h"

using namespace imagingtest;

namespace {

constexpr int kWidth = 64, kHeight = 48;

// Every regular file below `dir`, with its path.
void walk(const std::string& dir, std::vector<std::string>& files)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            walk(path, files);
        else if (S_ISREG(st.st_mode))
            files.push_back(path);
    }
    closedir(d);
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Opens the image with cfitsio and reads every pixel; "" when all is well.
std::string checkImage(const std::string& path)
{
    fitsfile* fptr = nullptr;
    int status = 0;
    if (ffdkopn(&fptr, path.c_str(), READONLY, &status) != 0)
        return "cfitsio cannot open it";
    long axes[2] = {0, 0};
    int naxis = 0;
    ffgidm(fptr, &naxis, &status);
    ffgisz(fptr, 2, axes, &status);
    std::vector<uint16_t> pixels(static_cast<size_t>(kWidth) * kHeight);
    long first[2] = {1, 1};
    ffgpxv(fptr, TUSHORT, first, static_cast<LONGLONG>(pixels.size()), nullptr, pixels.data(), nullptr, &status);
    ffclos(fptr, &status);
    if (status != 0 || naxis != 2 || axes[0] != kWidth || axes[1] != kHeight)
        return "wrong shape or unreadable pixels (status " + std::to_string(status) + ")";
    double sum = 0;
    for (auto p : pixels)
        sum += p;
    // The simulated sky: a background of about 3300 counts.
    const double mean = sum / pixels.size();
    if (mean < 1000 || mean > 20000)
        return "pixels are not the sky frame (mean " + std::to_string(mean) + ")";
    return "";
}

std::string cardValue(const std::string& path, const char* key)
{
    fitsfile* fptr = nullptr;
    int status = 0;
    if (ffdkopn(&fptr, path.c_str(), READONLY, &status) != 0)
        return "<unreadable>";
    char value[FLEN_VALUE] = {0};
    if (ffgkey(fptr, key, value, nullptr, &status) != 0)
        value[0] = 0;
    int ignored = 0;
    ffclos(fptr, &ignored);
    return status == 0 ? value : "<missing>";
}

}  // namespace

TEST(HostileImaging, ImagesStayInsideTheRootWhole)
{
    const corvotest::TempDir tmp("corvo-hostile-imaging");
    const std::string dir = tmp.path();
    const std::string root = dir + "/root", outside = dir + "/outside", conf = dir + "/conf";
    for (const auto& d : {root, outside, conf, dir + "/home"})
        mkdir(d.c_str(), 0755);
    ASSERT_EQ(symlink(outside.c_str(), (root + "/link").c_str()), 0);
    std::ofstream(dir + "/secret.txt") << "SECRET  = 'do not copy'\n";
    setenv("HOME", (dir + "/home").c_str(), 1);
    setenv("CORVO_CONF_PATH", conf.c_str(), 1);
    std::ofstream(conf + "/camera.conf") << "imgw = " << kWidth << "\nimgh = " << kHeight
                                         << "\ndatatype = 20\nexpotime = 0.05\nimageroot = " << root
                                         << "\nfilepattern = first.fits\n";
    std::ofstream(conf + "/fitshdr.txt") << "EXPTIME => camera:expotime \"exposure time\"\n"
                                            "AIRMASS => mount:airmass \"NaN from a peer\"\n"
                                            "OBJECT => mount:object \"target\"\n";

    ChildProcess mount({HOSTILE_PEER_PATH}, dir + "/mount.log");
    ChildProcess camera({SIMCAM_PATH}, dir + "/camera.log");

    ScenarioClient client;
    size_t mark = 0;
    auto expose = [&] {
        mark = client.statuses.size();
        client.command("expose");
    };
    auto setPattern = [&](const std::string& pattern) {
        return Step{"pattern " + pattern, [&client, pattern] { client.requestString("filepattern", pattern); },
                    [&client, pattern] { return client.value("filepattern") == pattern; }};
    };
    auto exposeStep = [&](const std::string& name) {
        return Step{"expose " + name, expose, [&] { return client.exposureDone(mark); }};
    };
    std::vector<std::string> refused = {"../escape.fits", outside + "/abs.fits", "a/../../escape2.fits",
                                        root + "/../escape3.fits"};

    auto& steps = client.steps;
    steps.push_back({"camera and mount known", nullptr, [&] {
                         auto m = client.peer("mount");
                         return client.cameraReady() && m && m->properties.count("airmass");
                     }});
    steps.push_back(exposeStep("with a NaN card"));
    // Each refusal is answered to the requester at once, with the reason.
    for (const auto& bad : refused) {
        auto answered = std::make_shared<size_t>(0);
        steps.push_back({"refuse " + bad,
                         [&client, bad, answered] {
                             *answered = client.refusals.size();
                             client.requestString("filepattern", bad);
                         },
                         [&client, answered] {
                             return client.refusals.size() > *answered &&
                                    client.refusals.back().first == "filepattern" &&
                                    !client.refusals.back().second.empty();
                         }});
    }
    steps.push_back(setPattern("named/${mount:object}.fits"));
    steps.push_back(exposeStep("peer value in the name"));
    for (const std::string& name :
         std::vector<std::string>{"!bang.fits", "mem://m.fits", "t.fits(" + dir + "/secret.txt)"}) {
        steps.push_back(setPattern(name));
        steps.push_back(exposeStep(name));
    }
    steps.push_back(setPattern("link/through.fits"));
    steps.push_back({"expose through a link", expose,
                     [&] { return client.exposureDone(mark) && client.hasLog("Image not saved"); }});
    steps.push_back(setPattern("same.fits"));
    size_t sameMark = 0;
    steps.push_back({"two exposures in one second",
                     [&] {
                         sameMark = client.changes.size();
                         expose();
                     },
                     [&] { return client.exposureDone(mark); }});
    steps.push_back(exposeStep("second of the same second"));
    steps.push_back({"files announced", nullptr, [&] { return client.filenamesAfter(sameMark).size() >= 2; }});

    const char* argv[] = {"imagingtest", "--interface", "lo"};
    client.run(3, const_cast<char**>(argv));
    ASSERT_EQ(client.failure, "") << "camera log:\n" << readFile(dir + "/camera.log");
    EXPECT_TRUE(camera.alive()) << readFile(dir + "/camera.log");

    // No refused pattern was ever taken.
    for (const auto& change : client.changes) {
        if (change.first == "filepattern") {
            for (const auto& bad : refused)
                EXPECT_NE(change.second, bad);
        }
    }

    const std::string sanitized = corvo::sanitizeFileNameText("../../escape(x)!mem://[1]");
    const std::vector<std::string> expected = {
        root + "/first.fits",  root + "/named/" + sanitized + ".fits",   root + "/!bang.fits",
        root + "/mem:/m.fits", root + "/t.fits(" + dir + "/secret.txt)", root + "/same.fits",
        root + "/same_1.fits"};
    std::vector<std::string> images;
    walk(dir, images);
    for (const auto& path : images) {
        if (!endsWith(path, ".log") && path.compare(0, conf.size(), conf) != 0 && path != dir + "/secret.txt" &&
            path.compare(0, dir.size() + 6, dir + "/home/") != 0) {
            EXPECT_EQ(path.compare(0, root.size() + 1, root + "/"), 0) << path << " is outside the root";
        }
        EXPECT_EQ(path.find("/.corvo-"), std::string::npos) << "temporary file left: " << path;
    }
    std::vector<std::string> none;
    walk(outside, none);
    EXPECT_TRUE(none.empty());
    for (const auto& path : expected) {
        SCOPED_TRACE(path);
        EXPECT_EQ(checkImage(path), "");
        EXPECT_EQ(readFile(path).find("SECRET"), std::string::npos);
    }
    // The NaN card was skipped, the others written.
    EXPECT_EQ(cardValue(root + "/first.fits", "AIRMASS"), "<missing>");
    EXPECT_EQ(cardValue(root + "/first.fits", "OBJECT"), "'../../escape(x)!mem://[1]'");
    EXPECT_EQ(client.filenamesAfter(sameMark), (std::vector<std::string>{root + "/same.fits", root + "/same_1.fits"}));
}
