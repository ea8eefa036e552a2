// `bench_flood attacks [ROUNDS]`: one attack after another against a camera
// (corvo-simcam) and an archiver (corvo-archiver, SQLite) while this client,
// an honest peer, times property round trips of the camera. For each attack,
// ROUNDS (default 3) alternating rounds of 40 round trips without it and 40
// during it give the round trip's ratio (during / without: the floor is
// measured in the same run), and each attack round also gives the victims'
// memory (VmRSS at its end, VmHWM so far) and the archive's growth per
// second of attack: what the archive file and its write-ahead log grew by,
// and the rows the archiver wrote and refused over the attacker's budget,
// from the attack's start to kArchiveFlush after its end, over the attack's
// length. (SQLite reuses its log's space once it is checkpointed: the file
// growth is a floor, the rows are the measure.)
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_attacks.h"
#include "imaging_scenario.h"
#include "support/temp_dir.h"

using namespace imagingtest;

namespace {

constexpr int kTripsPerRound = 40;
// Between two round trips (so a round lasts a few seconds of the attack).
constexpr auto kTripSpacing = std::chrono::milliseconds(50);
// An attack runs this long before its round trips start.
constexpr auto kAttackSettle = std::chrono::seconds(2);
// After an attack, the archiver has this long to write what it took in.
constexpr auto kArchiveFlush = std::chrono::seconds(2);

struct Attack {
    std::string name;
    std::vector<std::string> argv;  // the attacker program (run on loopback)
    std::string peerName;           // the name it announces (empty: not awaited)
};

struct Round {
    std::vector<double> quiet, attacked;                                  // round trips, s
    long cameraRss = 0, cameraHwm = 0, archiverRss = 0, archiverHwm = 0;  // KiB
    double archiveBytesPerSecond = 0;
    double rowsPerSecond = 0, overBudgetPerSecond = 0;  // the archiver's "written" and "overbudget"
};

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long statusKib(pid_t pid, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::atol(line.c_str() + prefix.size());
    return -1;
}

long archiverCount(ScenarioClient& client, const char* property)
{
    auto peer = client.peer("archiver");
    return peer && peer->properties.count(property) ? long(peer->properties.at(property).intValue) : 0;
}

off_t fileBytes(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// A step that waits `length`.
corvotest::Step pause(std::chrono::milliseconds length)
{
    auto since = std::make_shared<Clock::time_point>();
    return {"pause", [since] { *since = Clock::now(); }, [since, length] { return Clock::now() - *since >= length; },
            length + std::chrono::seconds(10)};
}

// Round trips of "current" requests into `out`, kTripSpacing apart: each
// waits for its own confirming broadcast.
void addTrips(ScenarioClient& client, std::vector<double>& out, int& counter)
{
    for (int i = 0; i < kTripsPerRound; ++i) {
        client.steps.push_back(pause(kTripSpacing));
        auto sent = std::make_shared<Clock::time_point>();
        auto mark = std::make_shared<size_t>();
        const double value = 2000 + counter++;
        client.steps.push_back({"round trip",
                                [&client, sent, mark, value] {
                                    *mark = client.changes.size();
                                    *sent = Clock::now();
                                    auto cam = client.peer("camera");
                                    corvo::Property change = cam->properties.at("current");
                                    change.doubleValue = value;
                                    client.getNetwork()->changeProperty(cam, &change);
                                },
                                [&client, &out, sent, mark, value] {
                                    for (size_t k = *mark; k < client.changes.size(); ++k) {
                                        if (client.changes[k].first == "current" &&
                                            std::fabs(std::stod(client.changes[k].second) - value) < 1e-6) {
                                            out.push_back(
                                                std::chrono::duration<double>(client.changeTimes[k] - *sent).count());
                                            return true;
                                        }
                                    }
                                    return false;
                                },
                                std::chrono::seconds(60)});
    }
}

}  // namespace

int runAttacks(int rounds, const AttackPrograms& programs)
{
    const corvotest::TempDir tmp("corvo-bench-att");
    const std::string dir = tmp.path();
    const std::string root = dir + "/root", conf = dir + "/conf", db = dir + "/h.db";
    for (const auto& d : {root, conf, dir + "/home"})
        mkdir(d.c_str(), 0755);
    setenv("HOME", (dir + "/home").c_str(), 1);
    setenv("CORVO_CONF_PATH", conf.c_str(), 1);
    std::ofstream(conf + "/camera.conf") << "imgw = 64\nimgh = 64\nexpotime = 0.1\nimageroot = " << root
                                         << "\nfilepattern = e.fits\n";

    const std::vector<Attack> attacks = {
        {"whisper flood, 3000 msg/s to the camera", {programs.floodPeer, "--flood", "3000"}, "mount"},
        {"archiver: one Info of 2000 x 7 KB, 60 tiny Infos",
         {programs.archiveAttacker, "--big", "2000", "--size", "7000", "--tiny", "60", "--flood", "0", "--log-size",
          "0"},
         "attacker"},
        {"broadcasts and 60 KB log records, flat out",
         {programs.archiveAttacker, "--big", "0", "--size", "0", "--tiny", "0", "--flood", "1000", "--log-size",
          "60000"},
         "attacker"},
        {"bytes per peer: 30 Infos of 240 x 64,000-byte labels to the camera",
         {programs.floodPeer, "--bloat", "30"},
         "mount"},
        {"a reader that stalls: unknown commands flat out, never reading, new UUID every 2 s",
         {programs.stallPeer, "--renew", "2"},
         ""},
    };

    ChildProcess camera({programs.simcam}, dir + "/camera.log");
    ChildProcess archiver({programs.archiver, "--db", db, "--min-free", "1M"}, dir + "/archiver.log");
    ScenarioClient client;
    std::vector<std::vector<Round>> results(attacks.size(), std::vector<Round>(size_t(rounds)));
    std::unique_ptr<ChildProcess> attacker;
    int counter = 0;
    auto& steps = client.steps;
    steps.push_back({"camera known", nullptr, [&] { return client.cameraReady(); }, std::chrono::seconds(30)});
    steps.push_back(
        {"archiver known", nullptr, [&] { return client.peer("archiver") != nullptr; }, std::chrono::seconds(30)});
    for (size_t a = 0; a < attacks.size(); ++a) {
        for (int r = 0; r < rounds; ++r) {
            Round& round = results[a][size_t(r)];
            addTrips(client, round.quiet, counter);
            auto began = std::make_shared<Clock::time_point>();
            auto archiveBefore = std::make_shared<off_t>();
            auto rowsBefore = std::make_shared<std::pair<long, long>>();
            steps.push_back({"attack starts",
                             [&, a, began, archiveBefore, rowsBefore] {
                                 *archiveBefore = fileBytes(db) + fileBytes(db + "-wal");
                                 *rowsBefore = {archiverCount(client, "written"), archiverCount(client, "overbudget")};
                                 *began = Clock::now();
                                 attacker = std::make_unique<ChildProcess>(
                                     attacks[a].argv, dir + "/attacker" + std::to_string(a) + ".log");
                             },
                             [&, a] { return attacks[a].peerName.empty() || client.peer(attacks[a].peerName); },
                             std::chrono::seconds(30)});
            steps.push_back(pause(kAttackSettle));
            addTrips(client, round.attacked, counter);
            auto seconds = std::make_shared<double>();
            steps.push_back({"attack ends",
                             [&, began, seconds] {
                                 *seconds = std::chrono::duration<double>(Clock::now() - *began).count();
                                 round.cameraRss = statusKib(camera.id(), "VmRSS");
                                 round.cameraHwm = statusKib(camera.id(), "VmHWM");
                                 round.archiverRss = statusKib(archiver.id(), "VmRSS");
                                 round.archiverHwm = statusKib(archiver.id(), "VmHWM");
                                 attacker.reset();  // SIGINT, and waits
                             },
                             [&, a] { return attacks[a].peerName.empty() || !client.peer(attacks[a].peerName); },
                             std::chrono::seconds(60)});
            steps.push_back(pause(kArchiveFlush));
            steps.push_back({"archive measured",
                             [&, archiveBefore, rowsBefore, seconds] {
                                 round.archiveBytesPerSecond =
                                     double(fileBytes(db) + fileBytes(db + "-wal") - *archiveBefore) / *seconds;
                                 round.rowsPerSecond =
                                     double(archiverCount(client, "written") - rowsBefore->first) / *seconds;
                                 round.overBudgetPerSecond =
                                     double(archiverCount(client, "overbudget") - rowsBefore->second) / *seconds;
                             },
                             [] { return true; }});
        }
    }
    const char* args[] = {"benchattacks", "--interface", "lo"};
    client.run(3, const_cast<char**>(args));
    attacker.reset();
    archiver.stop();
    camera.stop();
    if (!client.failure.empty()) {
        std::fprintf(stderr, "bench_flood attacks: %s\n", client.failure.c_str());
        return 1;
    }

    std::printf("Attacks on corvo-simcam and corvo-archiver; honest property round trips (%d per round), %d "
                "alternating rounds each\n",
                kTripsPerRound, rounds);
    for (size_t a = 0; a < attacks.size(); ++a) {
        std::printf("%s\n", attacks[a].name.c_str());
        for (int r = 0; r < rounds; ++r) {
            const Round& round = results[a][size_t(r)];
            const double quiet = median(round.quiet), attacked = median(round.attacked);
            std::printf("  round %d: round trip median %6.2f ms without, %6.2f ms during (x%.2f); camera RSS %ld MiB "
                        "(peak %ld); archiver RSS %ld MiB (peak %ld); archive files +%.2f MiB/s, %.0f rows/s "
                        "written, %.0f rows/s refused over budget\n",
                        r + 1, quiet * 1e3, attacked * 1e3, attacked / quiet, round.cameraRss >> 10,
                        round.cameraHwm >> 10, round.archiverRss >> 10, round.archiverHwm >> 10,
                        round.archiveBytesPerSecond / (1 << 20), round.rowsPerSecond, round.overBudgetPerSecond);
        }
    }
    return 0;
}
