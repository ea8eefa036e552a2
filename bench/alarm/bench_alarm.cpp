// bench_alarm: corvo-alarmd under load. N rules over D daemons (one rule per
// property, "dX.vY > 50 deadband 5"), whose values change R times a second,
// each change crossing its rule's limit (raising or clearing an alarm: the
// worst case). Measures the latency from a daemon's broadcast to the alarm
// daemon's "changes" broadcast holding the new state (p50, p99), next to
// the floor: the same broadcast reaching this program directly. Reports the
// alarm daemon's CPU share and memory. The daemons are bare network nodes,
// spread over a few child processes (ZRE links every node with every other:
// one process could not hold all their sockets). Run inside a network
// namespace:
//   scripts/in-netns.sh build/bench/alarm/bench_alarm [--rules N] [--daemons D] [--rate R] [--seconds S]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <corvo/message.h>
#include <corvo/network.h>
#include <corvo/peer.h>
#include <corvo/property.h>

using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    int rules = 10000;
    int daemons = 100;
    int rate = 2000;
    int seconds = 20;
    int processes = 4;
    std::string alarmd = ALARMD_PATH;
};

// One source daemon: a bare network node that describes its properties to
// every peer that enters and broadcasts their changes.
class Source : public corvo::EventCallback {
public:
    Source(const std::string& name, const std::string& site, int properties)
        : net(std::make_unique<corvo::Network>(this, false))
    {
        for (int k = 0; k < properties; ++k) {
            values.emplace_back("v" + std::to_string(k), corvo::Property::DOUBLE, "", false, nullptr);
            values.back().setValueString("40");
        }
        net->setName(name);
        net->setInterface("lo");
        net->siteGroup = site;
        net->propGroup = site + "-prop";
        net->logGroup = site + "-log";
        net->join(site);
        net->setClient(false);
        net->setType("bench");
        net->start();
    }

    // Described to the two programs that read the values only: 100 nodes
    // describing themselves to each other would only load the machine.
    void onEnter(std::shared_ptr<corvo::Peer> peer) override
    {
        if (peer->name != "alarmd" && peer->name != "observer")
            return;
        net->sendOne(corvo::ProtobufToZMsg(corvo::createInfo(values, {}, {{0, "IDLE"}}, 0)), peer);
    }

    void set(int k, double v)
    {
        values[k].doubleValue = v;
        net->sendProperty(&values[k]);
    }

    void drain()
    {
        while (net->poll(0))
            net->recv();
    }

    std::unique_ptr<corvo::Network> net;
    std::vector<corvo::Property> values;
};

// What a source process reports of each change it broadcast.
struct SentRecord {
    int32_t daemon;
    int32_t property;
    int32_t up;
    int64_t sentNs;  // steady clock, shared by the processes of the machine
};

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Pairs each change sent with its arrival, whichever is known first.
class Matcher {
public:
    void sent(const std::string& key, int64_t ns)
    {
        auto it = arrived.find(key);
        if (it != arrived.end()) {
            latency.push_back((it->second - ns) / 1e6);
            arrived.erase(it);
        } else {
            waiting[key] = ns;
        }
    }
    void arrival(const std::string& key, int64_t ns)
    {
        auto it = waiting.find(key);
        if (it != waiting.end()) {
            latency.push_back((ns - it->second) / 1e6);
            waiting.erase(it);
        } else if (arrived.size() < 1000000) {
            arrived[key] = ns;
        }
    }
    std::vector<double> latency;
    std::unordered_map<std::string, int64_t> waiting, arrived;
};

std::string changeKey(const std::string& daemon, const std::string& property, bool up)
{
    return daemon + "." + property + (up ? "+" : "-");
}

// Listens to the property group: the sources' broadcasts (the floor) and
// the alarm daemon's "changes".
class Observer : public corvo::EventCallback {
public:
    explicit Observer(const std::string& site) : net(std::make_unique<corvo::Network>(this, false))
    {
        net->setName("observer");
        net->setInterface("lo");
        net->siteGroup = site;
        net->propGroup = site + "-prop";
        net->logGroup = site + "-log";
        net->join(site);
        net->join(site + "-prop");
        net->setClient(true);
        net->setType("client");
        net->start();
    }

    void onProperty(std::shared_ptr<corvo::Peer> peer, const corvo::Property& property) override
    {
        if (peer->name == "alarmd") {
            if (property.name == "rules")
                rulesLoaded = property.intValue;
            if (property.name == "changes")
                for (const std::string& item : property.strList)
                    alarmChange(item);
            return;
        }
        if (property.type == corvo::Property::DOUBLE)
            floor.arrival(changeKey(peer->name, property.name, property.doubleValue > 50), nowNs());
    }

    void onInfo(std::shared_ptr<corvo::Peer> peer) override
    {
        if (peer->name == "alarmd" && peer->properties.count("rules"))
            rulesLoaded = peer->properties.at("rules").intValue;
    }

    void alarmChange(const std::string& json)
    {
        // {"rule":"dX_vY","state":"...",...}: the rule is named after its property.
        size_t start = json.find("\"rule\":\"");
        size_t stateAt = json.find("\"state\":\"");
        if (start == std::string::npos || stateAt == std::string::npos)
            return;
        start += 8;
        std::string rule = json.substr(start, json.find('"', start) - start);
        size_t cut = rule.find('_');
        if (cut == std::string::npos)
            return;
        bool up = json.compare(stateAt + 9, 7, "unacked") == 0;
        alarms.arrival(changeKey(rule.substr(0, cut), rule.substr(cut + 1), up), nowNs());
    }

    void drain()
    {
        while (net->poll(0))
            net->recv();
    }

    std::unique_ptr<corvo::Network> net;
    Matcher alarms, floor;
    long rulesLoaded = 0;
};

// One source process: its share of the daemons, changing values at `rate`
// per second once a byte arrives on `startFd`, each value at most once a
// second; every change is reported on `reportFd`. Ends when `startFd` closes.
[[noreturn]] void runSources(int first, int step, int daemons, int perDaemon, double rate, int seconds,
                             const std::string& site, int startFd, int reportFd)
{
    // Each node holds a socket per peer: more than the library's default.
    zsys_set_max_sockets(16384);
    std::vector<std::unique_ptr<Source>> sources;
    std::vector<int> ids;
    for (int d = first; d < daemons; d += step) {
        sources.push_back(std::make_unique<Source>("d" + std::to_string(d), site, perDaemon));
        ids.push_back(d);
        // One at a time, so that the site is not flooded by greetings.
        for (int i = 0; i < 10; ++i) {
            for (auto& s : sources)
                s->drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    auto drainAll = [&] {
        for (auto& s : sources)
            s->drain();
    };
    fcntl(startFd, F_SETFL, O_NONBLOCK);
    char byte = 0;
    while (read(startFd, &byte, 1) != 1) {
        drainAll();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::mt19937 random(static_cast<unsigned>(first + 1));
    size_t values = sources.size() * static_cast<size_t>(perDaemon);
    std::vector<bool> high(values, false);
    std::vector<Clock::time_point> last(values, Clock::now() - std::chrono::seconds(2));
    auto start = Clock::now();
    auto end = start + std::chrono::seconds(seconds);
    long sent = 0;
    while (Clock::now() < end) {
        long due = static_cast<long>(std::chrono::duration<double>(Clock::now() - start).count() * rate);
        for (; sent < due; ++sent) {
            size_t r = random() % values;
            for (size_t tries = 0; tries < values && Clock::now() - last[r] < std::chrono::seconds(1); ++tries)
                r = (r + 1) % values;
            last[r] = Clock::now();
            high[r] = !high[r];
            size_t s = r / perDaemon;
            int k = static_cast<int>(r % perDaemon);
            SentRecord record{ids[s], k, high[r] ? 1 : 0, nowNs()};
            sources[s]->set(k, high[r] ? 60 : 40);
            if (write(reportFd, &record, sizeof record) != sizeof record)
                _exit(1);
        }
        drainAll();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    // Stay on the site until told to go, so that nobody leaves mid-measure.
    while (read(startFd, &byte, 1) != 0) {
        drainAll();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sources.clear();
    _exit(0);
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

// utime + stime of a process in clock ticks, and its resident memory in KiB.
bool processUsage(pid_t pid, long& ticks, long& rssKiB)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    std::istringstream in(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14)
            utime = std::atol(field.c_str());
        if (i == 15)
            stime = std::atol(field.c_str());
    }
    ticks = utime + stime;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            rssKiB = std::atol(line.c_str() + 6);
    return true;
}

Options parseOptions(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        std::string value = argv[i + 1];
        if (key == "--rules")
            o.rules = std::atoi(value.c_str());
        else if (key == "--daemons")
            o.daemons = std::atoi(value.c_str());
        else if (key == "--rate")
            o.rate = std::atoi(value.c_str());
        else if (key == "--seconds")
            o.seconds = std::atoi(value.c_str());
        else if (key == "--processes")
            o.processes = std::max(1, std::atoi(value.c_str()));
        else if (key == "--alarmd")
            o.alarmd = value;
    }
    o.daemons = std::max(1, o.daemons);
    o.rules = std::max(o.daemons, o.rules);
    return o;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt = parseOptions(argc, argv);
    int perDaemon = opt.rules / opt.daemons;
    std::string site = "ab" + std::to_string(getpid());
    char dirTemplate[] = "/tmp/alarmbench.XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    {
        std::ofstream rules(dir + "/bench.alarms");
        for (int d = 0; d < opt.daemons; ++d)
            for (int k = 0; k < perDaemon; ++k)
                rules << "rule d" << d << "_v" << k << "\n    when d" << d << ".v" << k << " > 50\n    deadband 5\n";
    }
    pid_t alarmd = fork();
    if (alarmd == 0) {
        std::string log = dir + "/alarmd.log";
        freopen(log.c_str(), "w", stdout);
        freopen(log.c_str(), "a", stderr);
        setenv("HOME", dir.c_str(), 1);
        execl(opt.alarmd.c_str(), opt.alarmd.c_str(), "-s", site.c_str(), "--interface", "lo", "--alarms",
              (dir + "/bench.alarms").c_str(), "--state", (dir + "/state").c_str(), nullptr);
        _exit(127);
    }
    // The sources' processes are made before this process touches the
    // network, so that none inherits a node's threads.
    int startPipe[2], reportPipe[2];
    if (pipe(startPipe) != 0 || pipe(reportPipe) != 0)
        return 1;
    std::vector<pid_t> children;
    for (int c = 0; c < opt.processes; ++c) {
        pid_t pid = fork();
        if (pid == 0) {
            close(startPipe[1]);
            close(reportPipe[0]);
            runSources(c, opt.processes, opt.daemons, perDaemon, static_cast<double>(opt.rate) / opt.processes,
                       opt.seconds, site, startPipe[0], reportPipe[1]);
        }
        children.push_back(pid);
    }
    close(startPipe[0]);
    close(reportPipe[1]);
    fcntl(reportPipe[0], F_SETFL, O_NONBLOCK);
    Observer observer(site);
    long reported = 0;
    auto readReports = [&] {
        SentRecord records[256];
        for (;;) {
            ssize_t n = read(reportPipe[0], records, sizeof records);
            if (n <= 0)
                return;
            for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof(SentRecord)); ++i) {
                const SentRecord& r = records[i];
                std::string d = "d" + std::to_string(r.daemon), p = "v" + std::to_string(r.property);
                observer.alarms.sent(changeKey(d, p, r.up), r.sentNs);
                observer.floor.sent(changeKey(d, p, r.up), r.sentNs);
                ++reported;
            }
        }
    };
    auto stopAll = [&] {
        close(startPipe[1]);
        for (pid_t pid : children)
            waitpid(pid, nullptr, 0);
        kill(alarmd, SIGINT);
        int status = 0;
        for (int i = 0; i < 100 && waitpid(alarmd, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(alarmd, SIGKILL);
        waitpid(alarmd, &status, 0);
        std::string cleanup = "rm -rf '" + dir + "'";
        if (std::system(cleanup.c_str()) != 0)
            std::cerr << "bench_alarm: could not remove " << dir << std::endl;
    };

    // Wait for the alarm daemon, then for every description to travel.
    auto until = Clock::now() + std::chrono::seconds(90);
    while (observer.rulesLoaded != perDaemon * opt.daemons && Clock::now() < until) {
        observer.drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (observer.rulesLoaded != perDaemon * opt.daemons) {
        std::cerr << "bench_alarm: the alarm daemon did not come up" << std::endl;
        stopAll();
        return 1;
    }
    for (auto settle = Clock::now() + std::chrono::seconds(8); Clock::now() < settle;) {
        observer.drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    long ticksBefore = 0, rss = 0;
    processUsage(alarmd, ticksBefore, rss);
    std::string go(static_cast<size_t>(opt.processes), 'g');
    if (write(startPipe[1], go.data(), go.size()) != static_cast<ssize_t>(go.size()))
        return 1;
    auto end = Clock::now() + std::chrono::seconds(opt.seconds);
    while (Clock::now() < end) {
        readReports();
        observer.drain();
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    long ticksAfter = 0;
    processUsage(alarmd, ticksAfter, rss);
    double cpuShare = (ticksAfter - ticksBefore) / static_cast<double>(sysconf(_SC_CLK_TCK)) / opt.seconds;
    for (auto tail = Clock::now() + std::chrono::seconds(3); Clock::now() < tail;) {
        readReports();
        observer.drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    const auto& lat = observer.alarms.latency;
    const auto& flo = observer.floor.latency;
    double p50 = percentile(lat, 0.5), p99 = percentile(lat, 0.99);
    double f50 = percentile(flo, 0.5), f99 = percentile(flo, 0.99);
    std::printf("rules %d over %d daemons (in %d processes), %d changes/s for %d s, each crossing a limit\n",
                perDaemon * opt.daemons, opt.daemons, opt.processes, opt.rate, opt.seconds);
    std::printf("changes sent %ld, alarm states seen %zu (missing %zu), direct broadcasts seen %zu\n", reported,
                lat.size(), observer.alarms.waiting.size(), flo.size());
    std::printf("latency broadcast -> alarm state published: p50 %.1f ms, p99 %.1f ms (goal p99 <= 100 ms)\n", p50,
                p99);
    std::printf("floor (the same broadcast reaching a client): p50 %.1f ms, p99 %.1f ms; ratio p50 %.1f, p99 %.1f\n",
                f50, f99, f50 > 0 ? p50 / f50 : 0, f99 > 0 ? p99 / f99 : 0);
    std::printf("corvo-alarmd: CPU %.0f%% of one core, resident memory %.1f MiB\n", cpuShare * 100, rss / 1024.0);
    stopAll();
    return lat.empty() ? 1 : 0;
}
