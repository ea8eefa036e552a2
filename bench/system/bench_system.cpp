// Whole-system figures: a daemon and a client as separate processes on
// loopback. Run it through scripts/in-netns.sh:
//   scripts/in-netns.sh build/bench/system/bench_system
// The same program plays the daemon ("daemon" mode) and a bare ZRE echo node
// ("echo" mode); the default mode is the client that measures. "secure"
// compares a secured site (CURVE, keys made with `corvo keys new`) with an
// open one, in alternating rounds:
//   scripts/in-netns.sh build/bench/system/bench_system secure [ROUNDS]
// "rtt" compares, in alternating rounds, three round trips to another
// process with a bare ZeroMQ DEALER -> ROUTER echo (the floor): a WHISPER to
// a bare ZRE echo node, and a property set until its confirmation (the
// daemon's broadcast of the new value) is applied in the client; then the
// CPU each kind costs per round trip, by process and thread:
//   scripts/in-netns.sh build/bench/system/bench_system rtt [ROUNDS]
#include <corvo/command.h>
#include <corvo/daemon.h>
#include <corvo/keys.h>
#include <corvo/message.h>
#include <corvo/network.h>
#include <corvo/peer.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zyre.h>

#include "../common/thread_cpu.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

const char* kSite = "bench";
constexpr int kSamples = 2000;
constexpr long kBurst = 4000;  // below the 5000-message event queue
constexpr int kBursts = 10;

int64_t systemNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---- daemon mode ------------------------------------------------------------

class BenchDaemon : public corvo::Daemon {
public:
    BenchDaemon() : Daemon("benchd")
    {
        createProperty("value", corvo::Property::INT, "written by the client", true);
        createProperty("counter", corvo::Property::INT, "counts bursts", false);
        createProperty("ack", corvo::Property::INT, "last ping", false);
        createProperty("report", corvo::Property::STRING, "command delays", false);
        // args: sequence number, client's system clock in ns when sent
        createCommand(
            "ping",
            [this](std::vector<std::string> args) {
                delaysNs.push_back(systemNowNs() - std::stoll(args[1]));
                properties["ack"]->setValue(std::stol(args[0]));
            },
            "latency probe", 2, corvo::ARG_INT, "seq", corvo::ARG_INT, "sent");
        createCommand(
            "report",
            [this](std::vector<std::string>) {
                std::sort(delaysNs.begin(), delaysNs.end());
                std::ostringstream text;
                if (!delaysNs.empty())
                    text << delaysNs[delaysNs.size() / 2] << " " << delaysNs[delaysNs.size() * 99 / 100];
                delaysNs.clear();
                properties["report"]->setValue(text.str());
            },
            "send the delays");
        createCommand(
            "burst",
            [this](std::vector<std::string> args) {
                long n = std::stol(args[0]);
                for (long i = 1; i <= n; ++i)
                    properties["counter"]->setValue(i);
            },
            "broadcast n values", 1, corvo::ARG_INT, "n");
    }

    std::vector<int64_t> delaysNs;
};

int runDaemon(int argc, char** argv)
{
    BenchDaemon daemon;
    return daemon.run(argc, argv);
}

// ---- echo mode: a bare ZRE node that whispers every message back -------------

int runEcho()
{
    zyre_t* node = zyre_new("echo");
    zyre_set_interface(node, "lo");
    zyre_join(node, "bench-echo");
    zyre_start(node);
    while (zyre_event_t* event = zyre_event_new(node)) {
        if (std::strcmp(zyre_event_type(event), "WHISPER") == 0) {
            zmsg_t* msg = zmsg_dup(zyre_event_msg(event));
            zyre_whisper(node, zyre_event_peer_uuid(event), &msg);
        }
        zyre_event_destroy(&event);
    }
    zyre_destroy(&node);
    return 0;
}

// ---- zmq-echo mode: a bare ZeroMQ ROUTER that sends every message back ------

int runZmqEcho(int port)
{
    zsock_t* router = zsock_new(ZMQ_ROUTER);
    if (!router || zsock_bind(router, "tcp://127.0.0.1:%d", port) != port)
        return 1;
    while (zmsg_t* msg = zmsg_recv(router))
        zmsg_send(&msg, router);  // the identity frame first: back to the sender
    zsock_destroy(&router);
    return 0;
}

// ---- client mode -------------------------------------------------------------

pid_t spawnSelf(std::vector<std::string> args)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        static std::string self = "/proc/self/exe";
        argv.push_back(self.data());
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    return pid;
}

void stopProcess(pid_t pid)
{
    kill(pid, SIGINT);
    int status;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return;
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
}

std::vector<std::string> daemonArgs(const std::string& name)
{
    return {"daemon", "--interface", "lo", "--site", kSite, "--name", name};
}

// The key pair and trusted identities of a secured client; none: open.
struct Security {
    corvo::KeyPair own;
    std::vector<corvo::Identity> trusted;
};

class BenchClient : public corvo::EventCallback {
public:
    explicit BenchClient(const Security* security = nullptr) : net(this, false)
    {
        net.setName("bench-client");
        if (security)
            net.setSecurity(security->own, security->trusted);
        net.setInterface("lo");
        net.siteGroup = kSite;
        net.propGroup = std::string(kSite) + "-prop";
        net.logGroup = std::string(kSite) + "-log";
        net.setClient(true);
        net.setType("client");
        net.join(kSite);
        net.setRecvValue(true);
        net.start();
    }

    bool pump(const std::function<bool()>& done, std::chrono::milliseconds timeout)
    {
        auto deadline = Clock::now() + timeout;
        while (!done()) {
            if (Clock::now() > deadline)
                return false;
            if (net.poll(5))
                net.recv();
        }
        return true;
    }

    void onInfo(std::shared_ptr<corvo::Peer> peer) override
    {
        if (peer->name == waitingFor)
            infoAt = Clock::now();
    }
    void onProperty(std::shared_ptr<corvo::Peer>, const corvo::Property& property) override
    {
        ++propertyCount[property.name];
        lastValue[property.name] = property.name == "report" ? 0 : property.intValue;
        if (property.name == "report")
            report = property.strValue;
    }

    std::shared_ptr<corvo::Peer> peerNamed(const std::string& name) { return net.peers().find(name); }

    void command(const std::shared_ptr<corvo::Peer>& peer, std::vector<std::string> words)
    {
        net.sendOne(corvo::ProtobufToZMsg(corvo::genCommandPB(words)), peer);
    }

    corvo::Network net;
    std::string waitingFor;
    Clock::time_point infoAt;
    std::map<std::string, long> propertyCount;
    std::map<std::string, int64_t> lastValue;
    std::string report;
};

struct Percentiles {
    double p50, p99;
};

Percentiles percentilesUs(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// Whisper round trip of two bare ZRE nodes (the floor of every exchange).
Percentiles bareWhisperRtt()
{
    pid_t echo = spawnSelf({"echo"});
    zyre_t* node = zyre_new("probe");
    zyre_set_interface(node, "lo");
    zyre_join(node, "bench-echo");
    zyre_start(node);
    zsock_t* events = zyre_socket(node);
    std::string peer;
    while (peer.empty()) {
        zyre_event_t* event = zyre_event_new(node);
        if (std::strcmp(zyre_event_type(event), "JOIN") == 0 && zyre_event_group(event) &&
            std::strcmp(zyre_event_group(event), "bench-echo") == 0)
            peer = zyre_event_peer_uuid(event);
        zyre_event_destroy(&event);
    }
    (void)events;
    std::vector<double> rtt;
    uint8_t tag = 2;
    char payload[32] = {};
    for (int i = 0; i < kSamples + 100; ++i) {
        zmsg_t* msg = zmsg_new();
        zmsg_addmem(msg, &tag, 1);
        zmsg_addmem(msg, payload, sizeof payload);
        auto start = Clock::now();
        zyre_whisper(node, peer.c_str(), &msg);
        while (true) {
            zyre_event_t* event = zyre_event_new(node);
            bool back = std::strcmp(zyre_event_type(event), "WHISPER") == 0;
            zyre_event_destroy(&event);
            if (back)
                break;
        }
        if (i >= 100)  // warm-up
            rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    zyre_destroy(&node);
    stopProcess(echo);
    kill(echo, SIGKILL);
    return percentilesUs(rtt);
}

double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return double(utime + stime) / sysconf(_SC_CLK_TCK);
}

int runClient(bool quick)
{
    Percentiles floor = bareWhisperRtt();

    BenchClient client;

    // Start-up: from spawning the daemon until this running client has its Info.
    std::vector<double> infoMs;
    for (int i = 0; i < 5; ++i) {
        std::string name = "benchd" + std::to_string(i);
        client.waitingFor = name;
        auto start = Clock::now();
        pid_t pid = spawnSelf(daemonArgs(name));
        if (!client.pump([&] { return client.infoAt > start; }, 10s)) {
            std::fprintf(stderr, "no Info from %s\n", name.c_str());
            return 1;
        }
        infoMs.push_back(std::chrono::duration<double, std::milli>(client.infoAt - start).count());
        stopProcess(pid);
    }
    std::sort(infoMs.begin(), infoMs.end());

    client.waitingFor = "benchd";
    auto start = Clock::now();
    pid_t daemon = spawnSelf(daemonArgs("benchd"));
    client.pump([&] { return client.infoAt > start; }, 10s);
    auto peer = client.peerNamed("benchd");
    if (!peer) {
        std::fprintf(stderr, "daemon not found\n");
        return 1;
    }

    // Command delay: one ping at a time, each acknowledged by a broadcast.
    for (int i = 1; i <= kSamples; ++i) {
        client.command(peer, {"ping", std::to_string(i), std::to_string(systemNowNs())});
        client.pump([&] { return client.lastValue["ack"] == i; }, 5s);
    }
    client.command(peer, {"report"});
    client.pump([&] { return !client.report.empty(); }, 5s);
    double cmdP50 = 0, cmdP99 = 0;
    std::sscanf(client.report.c_str(), "%lf %lf", &cmdP50, &cmdP99);

    // Property change request until the client's copy holds the broadcast value.
    std::vector<double> propRtt;
    corvo::Property request = peer->properties.at("value");
    for (int i = 1; i <= kSamples + 100; ++i) {
        request.intValue = i;
        auto sent = Clock::now();
        client.net.changeProperty(peer, &request);
        client.pump([&] { return peer->properties.at("value").intValue == i; }, 5s);
        if (i > 100)
            propRtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    Percentiles prop = percentilesUs(propRtt);

    // Broadcast rate: bursts of values, every one applied to the client's copy.
    long received = 0, expected = 0;
    double burstSeconds = 0;
    for (int b = 0; b < kBursts; ++b) {
        long before = client.propertyCount["counter"];
        auto t0 = Clock::now();
        client.command(peer, {"burst", std::to_string(kBurst)});
        client.pump([&] { return client.propertyCount["counter"] - before == kBurst; }, 10s);
        burstSeconds += std::chrono::duration<double>(Clock::now() - t0).count();
        received += client.propertyCount["counter"] - before;
        expected += kBurst;
    }
    bool lastApplied = peer->properties.at("counter").intValue == kBurst;

    // Idle daemon: CPU over 10 s (2 s with --quick).
    double window = quick ? 2.0 : 10.0;
    double cpu0 = cpuSeconds(daemon);
    client.pump([] { return false; }, std::chrono::milliseconds(long(window * 1000)));
    double idleCpu = (cpuSeconds(daemon) - cpu0) / window * 100.0;

    stopProcess(daemon);

    std::printf("bare ZRE whisper RTT          p50 %8.1f us   p99 %8.1f us\n", floor.p50, floor.p99);
    std::printf("command -> command function   p50 %8.1f us   p99 %8.1f us   (%d commands)\n", cmdP50 / 1000,
                cmdP99 / 1000, kSamples);
    std::printf("property change RTT           p50 %8.1f us   p99 %8.1f us   (%.2fx bare p50)\n", prop.p50, prop.p99,
                prop.p50 / floor.p50);
    std::printf("property broadcasts applied   %8.0f /s   (%ld of %ld received, last value %s)\n",
                received / burstSeconds, received, expected, lastApplied ? "applied" : "MISSING");
    std::printf("daemon start -> client Info   median %6.1f ms   max %6.1f ms   (5 starts)\n",
                infoMs[infoMs.size() / 2], infoMs.back());
    std::printf("idle daemon CPU               %8.2f %% of a core over %.0f s\n", idleCpu, window);
    return 0;
}

// ---- rtt mode: round trips against bare ZeroMQ, in alternating rounds ---------

// The same two frames as a WHISPER carries, through a DEALER to the echo.
std::vector<double> bareZmqRtt(void* dealer, int samples)
{
    std::vector<double> rtt;
    uint8_t tag = 2;
    char payload[32] = {};
    for (int i = 0; i < samples; ++i) {
        auto start = Clock::now();
        zmq_send(dealer, &tag, 1, ZMQ_SNDMORE);
        zmq_send(dealer, payload, sizeof payload, 0);
        zmsg_t* reply = zmsg_recv(dealer);
        zmsg_destroy(&reply);
        rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return rtt;
}

std::vector<double> zreWhisperRtt(zyre_t* node, const std::string& peer, int samples)
{
    std::vector<double> rtt;
    uint8_t tag = 2;
    char payload[32] = {};
    for (int i = 0; i < samples; ++i) {
        zmsg_t* msg = zmsg_new();
        zmsg_addmem(msg, &tag, 1);
        zmsg_addmem(msg, payload, sizeof payload);
        auto start = Clock::now();
        zyre_whisper(node, peer.c_str(), &msg);
        while (true) {
            zyre_event_t* event = zyre_event_new(node);
            bool back = std::strcmp(zyre_event_type(event), "WHISPER") == 0;
            zyre_event_destroy(&event);
            if (back)
                break;
        }
        rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return rtt;
}

std::vector<double> propertySetRtt(BenchClient& client, const std::shared_ptr<corvo::Peer>& peer, int samples)
{
    std::vector<double> rtt;
    corvo::Property request = peer->properties.at("value");
    for (int i = 0; i < samples; ++i) {
        int64_t value = peer->properties.at("value").intValue + 1;
        request.intValue = value;
        auto sent = Clock::now();
        client.net.changeProperty(peer, &request);
        if (!client.pump([&] { return peer->properties.at("value").intValue == value; }, 5s))
            break;
        rtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    return rtt;
}

// The CPU one kind of round trip costs, split by process and thread.
class RoundTripCpu {
public:
    // Around one batch of round trips with the program at `peer`.
    void begin(pid_t peer)
    {
        peer_ = peer;
        before_[0] = bench::threadCpu(getpid());
        before_[1] = bench::threadCpu(peer);
    }
    void end(size_t roundTrips)
    {
        add(0, getpid());
        add(1, peer_);
        count_ += roundTrips;
    }

    // µs per round trip: this client's main thread, libzmq I/O and other
    // threads, then the same of the other side, then in all.
    void print(const char* what) const
    {
        double us[2][3];
        double all = 0;
        for (int p = 0; p < 2; ++p)
            for (int t = 0; t < 3; ++t)
                all += us[p][t] = count_ ? ns_[p][t] / 1e3 / double(count_) : 0;
        std::printf("  %-28s %6.1f %6.1f %6.1f   %6.1f %6.1f %6.1f   %6.1f\n", what, us[0][0], us[0][1], us[0][2],
                    us[1][0], us[1][1], us[1][2], all);
    }

private:
    void add(int side, pid_t pid)
    {
        for (const auto& [tid, thread] : bench::threadCpu(pid)) {
            auto earlier = before_[side].find(tid);
            long long ns = thread.ns - (earlier == before_[side].end() ? 0 : earlier->second.ns);
            int kind = tid == pid ? 0 : bench::isZmqIoThread(thread.name) ? 1 : 2;
            ns_[side][kind] += double(ns);
        }
    }

    pid_t peer_ = 0;
    std::map<int, bench::ThreadCpu> before_[2];
    double ns_[2][3] = {};
    size_t count_ = 0;
};

int runRoundTrips(int rounds)
{
    constexpr int kPerRound = 1000;
    const int port = 20000 + getpid() % 20000;
    pid_t zmqEcho = spawnSelf({"zmq-echo", std::to_string(port)});
    pid_t zreEcho = spawnSelf({"echo"});
    pid_t daemon = spawnSelf(daemonArgs("benchd"));

    // The client's node first: it sets the messaging library's signal
    // handling before any socket is made.
    BenchClient client;
    zsock_t* dealerSocket = zsock_new(ZMQ_DEALER);
    zsock_connect(dealerSocket, "tcp://127.0.0.1:%d", port);
    void* dealer = zsock_resolve(dealerSocket);

    zyre_t* node = zyre_new("probe");
    zyre_set_interface(node, "lo");
    zyre_join(node, "bench-echo");
    zyre_start(node);
    std::string echoPeer;
    while (echoPeer.empty()) {
        zyre_event_t* event = zyre_event_new(node);
        if (std::strcmp(zyre_event_type(event), "JOIN") == 0 && zyre_event_group(event) &&
            std::strcmp(zyre_event_group(event), "bench-echo") == 0)
            echoPeer = zyre_event_peer_uuid(event);
        zyre_event_destroy(&event);
    }

    client.waitingFor = "benchd";
    client.pump([&] { return client.infoAt.time_since_epoch().count() != 0; }, 20s);
    auto peer = client.peerNamed("benchd");
    int status = 0;
    if (!peer) {
        std::fprintf(stderr, "daemon not found\n");
        status = 1;
    } else {
        // Warm-up of every path, then the rounds.
        bareZmqRtt(dealer, 100);
        zreWhisperRtt(node, echoPeer, 100);
        propertySetRtt(client, peer, 100);
        std::vector<double> bare, whisper, property;
        // The three kinds of round trip, each with the program that answers it.
        const pid_t answeredBy[3] = {zmqEcho, zreEcho, daemon};
        auto runKind = [&](int kind) {
            if (kind == 0)
                return bareZmqRtt(dealer, kPerRound);
            if (kind == 1)
                return zreWhisperRtt(node, echoPeer, kPerRound);
            return propertySetRtt(client, peer, kPerRound);
        };
        RoundTripCpu cpu[3];
        for (int r = 0; r < rounds; ++r) {
            // The order rotates, so that none of the three always runs
            // first (on a machine just woken) or right after another.
            std::vector<double> times[3];
            for (int k = 0; k < 3; ++k) {
                const int kind = (r + k) % 3;
                cpu[kind].begin(answeredBy[kind]);
                times[kind] = runKind(kind);
                cpu[kind].end(times[kind].size());
            }
            const auto& b = times[0];
            const auto& w = times[1];
            const auto& p = times[2];
            if (p.size() < size_t(kPerRound)) {
                std::fprintf(stderr, "a property set was not confirmed within 5 s\n");
                status = 1;
                break;
            }
            std::printf("round %d: bare ZeroMQ p50 %6.1f us   WHISPER p50 %6.1f us (%.2fx)   property set p50 %6.1f us "
                        "(%.2fx)\n",
                        r, percentilesUs(b).p50, percentilesUs(w).p50, percentilesUs(w).p50 / percentilesUs(b).p50,
                        percentilesUs(p).p50, percentilesUs(p).p50 / percentilesUs(b).p50);
            std::fflush(stdout);
            bare.insert(bare.end(), b.begin(), b.end());
            whisper.insert(whisper.end(), w.begin(), w.end());
            property.insert(property.end(), p.begin(), p.end());
        }
        if (status == 0) {
            Percentiles b = percentilesUs(bare), w = percentilesUs(whisper), p = percentilesUs(property);
            std::printf("all rounds (%d round trips each):\n", rounds * kPerRound);
            std::printf("  bare ZeroMQ DEALER -> ROUTER  p50 %7.1f us   p99 %8.1f us\n", b.p50, b.p99);
            std::printf("  WHISPER to a ZRE echo node    p50 %7.1f us   p99 %8.1f us   %.2fx bare p50\n", w.p50, w.p99,
                        w.p50 / b.p50);
            std::printf("  property set, confirmed       p50 %7.1f us   p99 %8.1f us   %.2fx bare p50\n", p.p50, p.p99,
                        p.p50 / b.p50);
            std::printf("CPU per round trip (us), by thread: this client's, then the other side's\n");
            std::printf("  %-28s %6s %6s %6s   %6s %6s %6s   %6s\n", "", "main", "I/O", "other", "main", "I/O", "other",
                        "all");
            cpu[0].print("bare ZeroMQ");
            cpu[1].print("WHISPER to a ZRE echo");
            cpu[2].print("property set, confirmed");
        }
    }
    zyre_destroy(&node);
    zsock_destroy(&dealerSocket);
    for (pid_t pid : {daemon, zreEcho})
        stopProcess(pid);
    kill(zmqEcho, SIGKILL);
    waitpid(zmqEcho, nullptr, 0);
    return status;
}

// ---- secure mode: the same exchanges on a secured and an open site -----------

// A key directory of its own, removed at the end.
class KeyDir {
public:
    KeyDir()
    {
        std::string pattern =
            (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + std::string("/bench-keysXXXXXX");
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()))
            path = buffer.data();
    }
    ~KeyDir()
    {
        if (!path.empty())
            std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string path;
};

// `corvo keys new NAME --names NAMES` with the tool built beside this
// program; false when it is missing or fails.
bool corvoKeysNew(const std::string& dir, const std::string& name, const std::string& names)
{
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return false;
    std::string tool = std::string(self);
    tool = tool.substr(0, tool.rfind('/')) + "/../../tools/corvo/corvo";
    std::string command =
        "'" + tool + "' keys new " + name + " --names '" + names + "' --keys '" + dir + "' >/dev/null";
    return std::system(command.c_str()) == 0;
}

struct SiteFigures {
    double infoMs = 0;      // daemon start until the client holds its Info
    Percentiles rtt{0, 0};  // property change request until the broadcast value is applied
    double cmdUs = 0;       // command from the client to the daemon's function (p50)
    double rate = 0;        // broadcasts applied per second
    long lost = 0;
};

// One round: a client and a daemon, started afresh, secured or open.
bool measureSite(const KeyDir* keys, int samples, SiteFigures& out)
{
    Security security;
    std::vector<std::string> args = daemonArgs("benchd");
    if (keys) {
        security.own = corvo::KeyDirectory::readSecret(keys->path + "/bench-client.key");
        security.trusted = corvo::KeyDirectory(keys->path).identities();
        args.insert(args.end(), {"--key", "benchd", "--keys", keys->path});
    }
    BenchClient client(keys ? &security : nullptr);
    client.waitingFor = "benchd";
    auto start = Clock::now();
    pid_t daemon = spawnSelf(args);
    bool ok = client.pump([&] { return client.infoAt > start; }, 20s);
    auto peer = client.peerNamed("benchd");
    if (!ok || !peer) {
        std::fprintf(stderr, "no Info from the %s daemon\n", keys ? "secured" : "open");
        stopProcess(daemon);
        return false;
    }
    out.infoMs = std::chrono::duration<double, std::milli>(client.infoAt - start).count();

    for (int i = 1; i <= samples / 4; ++i) {
        client.command(peer, {"ping", std::to_string(i), std::to_string(systemNowNs())});
        client.pump([&] { return client.lastValue["ack"] == i; }, 5s);
    }
    client.command(peer, {"report"});
    client.pump([&] { return !client.report.empty(); }, 5s);
    double cmdP99 = 0;
    std::sscanf(client.report.c_str(), "%lf %lf", &out.cmdUs, &cmdP99);
    out.cmdUs /= 1000;

    std::vector<double> propRtt;
    corvo::Property request = peer->properties.at("value");
    for (int i = 1; i <= samples + 100; ++i) {
        request.intValue = i;
        auto sent = Clock::now();
        client.net.changeProperty(peer, &request);
        client.pump([&] { return peer->properties.at("value").intValue == i; }, 5s);
        if (i > 100)
            propRtt.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    out.rtt = percentilesUs(propRtt);

    long received = 0;
    double seconds = 0;
    for (int b = 0; b < kBursts / 2; ++b) {
        long before = client.propertyCount["counter"];
        auto t0 = Clock::now();
        client.command(peer, {"burst", std::to_string(kBurst)});
        client.pump([&] { return client.propertyCount["counter"] - before == kBurst; }, 10s);
        seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        received += client.propertyCount["counter"] - before;
    }
    out.rate = received / seconds;
    out.lost = kBurst * (kBursts / 2) - received;
    stopProcess(daemon);
    return true;
}

int runSecure(int rounds)
{
    KeyDir keys;
    if (keys.path.empty() || !corvoKeysNew(keys.path, "benchd", "benchd") ||
        !corvoKeysNew(keys.path, "bench-client", "bench-client")) {
        std::fprintf(stderr, "cannot make the keys with corvo keys new\n");
        return 1;
    }
    std::vector<SiteFigures> open, secured;
    for (int r = 0; r < rounds; ++r) {
        for (bool secure : {false, true}) {
            SiteFigures figures;
            if (!measureSite(secure ? &keys : nullptr, kSamples / 2, figures))
                return 1;
            (secure ? secured : open).push_back(figures);
            std::printf("round %d %-8s Info %6.1f ms   request RTT p50 %6.1f us p99 %7.1f us   command %6.1f us   "
                        "broadcasts %7.0f /s (lost %ld)\n",
                        r, secure ? "secured" : "open", figures.infoMs, figures.rtt.p50, figures.rtt.p99, figures.cmdUs,
                        figures.rate, figures.lost);
            std::fflush(stdout);
        }
    }
    auto median = [](const std::vector<SiteFigures>& all, auto field) {
        std::vector<double> values;
        for (const auto& f : all)
            values.push_back(field(f));
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    struct Row {
        const char* what;
        double (*field)(const SiteFigures&);
        const char* unit;
    };
    const Row rows[] = {
        {"daemon start -> client Info", [](const SiteFigures& f) { return f.infoMs; }, "ms"},
        {"request round trip p50", [](const SiteFigures& f) { return f.rtt.p50; }, "us"},
        {"request round trip p99", [](const SiteFigures& f) { return f.rtt.p99; }, "us"},
        {"command to its function p50", [](const SiteFigures& f) { return f.cmdUs; }, "us"},
        {"broadcasts applied", [](const SiteFigures& f) { return f.rate; }, "/s"},
    };
    std::printf("\nmedians of %d rounds        %12s %12s   secured/open\n", rounds, "open", "secured");
    for (const Row& row : rows) {
        double o = median(open, row.field), s = median(secured, row.field);
        std::printf("%-28s %9.1f %-2s %9.1f %-2s   %.2fx\n", row.what, o, row.unit, s, row.unit, s / o);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "daemon") == 0)
        return runDaemon(argc - 1, argv + 1);
    if (argc > 1 && std::strcmp(argv[1], "echo") == 0)
        return runEcho();
    if (argc > 2 && std::strcmp(argv[1], "zmq-echo") == 0)
        return runZmqEcho(std::atoi(argv[2]));
    if (argc > 1 && std::strcmp(argv[1], "rtt") == 0)
        return runRoundTrips(std::max(1, argc > 2 ? std::atoi(argv[2]) : 5));
    if (argc > 1 && std::strcmp(argv[1], "secure") == 0)
        return runSecure(std::max(1, argc > 2 ? std::atoi(argv[2]) : 3));
    bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    return runClient(quick);
}
