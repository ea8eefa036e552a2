// A site at scale: starts N example daemons and M clients on loopback, and
// prints how long the site takes to converge (every client holds every
// daemon's Info) after the last program started, the idle CPU of each
// daemon per thread (the network's threads apart from the application
// thread), and memory per daemon (Pss, RSS), with 100 peers and alone.
// Then the same for N bare ZRE nodes that whisper one record to every peer
// that joins. Starts nodes, so run it in a network namespace:
//   scripts/in-netns.sh build/.../bench_scale [DAEMONS [CLIENTS [IDLE_SECONDS [secure]]]]
//   scripts/in-netns.sh build/.../bench_scale gossip [NODES [ROUNDS [IDLE_SECONDS]]]
// compares, in turns, bare nodes found by beacons with bare nodes whose
// beacons are off, found through one rendezvous point (corvo-rendezvous)
// and through a pair of them (half the nodes on each), and reports the
// rendezvous points' idle CPU and memory; then kills one node and reports
// when every other node saw it leave and whether the rendezvous points had
// forgotten it 31 s after the kill (the gossip bound is 30 s).
// With "secure" the daemons and clients form a secured site (CURVE; one
// identity made with `corvo keys new`, which every program uses), and the
// bare nodes are left out. With "rounds" (and ROUNDS, default 3) the open
// site, the secured site and the bare nodes converge in turns, ROUNDS times
// (the order rotating), without the idle figures, and the ratios of each
// round and their medians are printed, with the CPU each kind used until it
// converged, split into the daemons' (or bare nodes') main threads, their
// libzmq I/O threads (where CURVE works) and their other threads (the ZRE
// node's):
//   scripts/in-netns.sh build/.../bench_scale 100 10 0 rounds 3
// The program plays the client ("client") and the bare node ("node") too.
#include <corvo/keys.h>
#include <corvo/network.h>
#include <corvo/peer.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zyre.h>

#include "../common/thread_cpu.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

const char* kSite = "scale";

int64_t epochMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---- the client: counts the daemons whose Info it holds -----------------

class InfoCounter : public corvo::EventCallback {
public:
    explicit InfoCounter(size_t daemons) : daemons_(daemons) {}
    // When every daemon has entered: the part of the convergence time that
    // is discovery, apart from the exchange of Info that follows.
    void onEnter(std::shared_ptr<corvo::Peer> peer) override
    {
        if (peer->name.rfind("d", 0) == 0 && entered_.insert(peer->name).second && entered_.size() == daemons_) {
            std::printf("entered %lld\n", static_cast<long long>(epochMs()));
            std::fflush(stdout);
        }
    }
    void onInfo(std::shared_ptr<corvo::Peer> peer) override
    {
        if (peer->name.rfind("d", 0) != 0 || !seen_.insert(peer->name).second)
            return;
        if (seen_.size() == daemons_) {
            std::printf("converged %lld\n", static_cast<long long>(epochMs()));
            std::fflush(stdout);
        } else if (seen_.size() % 10 == 0) {
            // How far a site got that does not converge in time.
            std::printf("have %zu\n", seen_.size());
            std::fflush(stdout);
        }
    }

private:
    size_t daemons_;
    std::set<std::string> seen_;
    std::set<std::string> entered_;
};

// `keys`: the key directory of a secured site, else empty.
int runClient(size_t daemons, int port, const std::string& keys)
{
    InfoCounter counter(daemons);
    corvo::Network net(&counter, false);
    net.setName("c" + std::to_string(getpid()));
    if (!keys.empty())
        net.setSecurity(corvo::KeyDirectory::readSecret(keys + "/scale.key"), corvo::KeyDirectory(keys).identities());
    net.setPort(port);
    net.setInterface("lo");
    net.siteGroup = kSite;
    net.propGroup = std::string(kSite) + "-prop";
    net.logGroup = std::string(kSite) + "-log";
    net.setClient(true);
    net.setType("client");
    net.join(kSite);
    net.start();
    while (true)
        if (net.poll(1000))
            net.recv();
}

// ---- the bare node: whispers one record to every peer that joins --------

// Gossip mode: `bind` (or "-") is a gossip endpoint to bind, `connect` (or
// "-") comma-separated ones to connect to. Prints its UUID, and each peer's
// EXIT with its time.
int runNode(size_t nodes, int port, const std::string& bind = "-", const std::string& connect = "-")
{
    zyre_t* node = zyre_new(nullptr);
    zyre_set_interface(node, "lo");
    zyre_set_port(node, port);
    if (bind != "-")
        zyre_gossip_bind(node, "%s", bind.c_str());
    std::stringstream endpoints(connect == "-" ? "" : connect);
    for (std::string endpoint; std::getline(endpoints, endpoint, ',');)
        zyre_gossip_connect(node, "%s", endpoint.c_str());
    zyre_join(node, kSite);
    if (zyre_start(node) != 0)
        return 1;
    std::printf("uuid %s\n", zyre_uuid(node));
    std::fflush(stdout);
    std::set<std::string> heard;
    bool reported = false;
    while (zyre_event_t* event = zyre_event_new(node)) {
        std::string type = zyre_event_type(event);
        if (type == "JOIN") {
            zmsg_t* msg = zmsg_new();
            zmsg_addstr(msg, "record");
            zyre_whisper(node, zyre_event_peer_uuid(event), &msg);
        } else if (type == "WHISPER") {
            heard.insert(zyre_event_peer_uuid(event));
        } else if (type == "EXIT") {
            std::printf("left %s %lld\n", zyre_event_peer_uuid(event), static_cast<long long>(epochMs()));
            std::fflush(stdout);
        }
        if (!reported && heard.size() + 1 == nodes) {
            std::printf("converged %lld\n", static_cast<long long>(epochMs()));
            std::fflush(stdout);
            reported = true;
        }
        zyre_event_destroy(&event);
    }
    zyre_destroy(&node);
    return 0;
}

// ---- the parent --------------------------------------------------------

struct Child {
    pid_t pid = -1;
    std::string out;
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every child not yet reaped (0: a free slot), so that a benchmark stopped
// by a signal (a `timeout` around it) takes its hundreds of programs along.
// A plain array: the signal handler reads it.
constexpr size_t kMaxRunning = 4096;
volatile pid_t running[kMaxRunning] = {};

void noteRunning(pid_t pid)
{
    for (auto& slot : running)
        if (slot == 0) {
            slot = pid;
            return;
        }
}

void reap(pid_t pid)
{
    waitpid(pid, nullptr, 0);
    for (auto& slot : running)
        if (slot == pid)
            slot = 0;
}

void stopRunningAndExit(int)
{
    for (auto& slot : running)
        if (slot > 0)
            kill(slot, SIGKILL);
    _exit(2);
}

Child spawn(const std::vector<std::string>& argv, const std::string& dir)
{
    static int counter = 0;
    Child child;
    child.out = dir + "/p" + std::to_string(counter++) + ".out";
    child.pid = fork();
    if (child.pid == 0) {
        int out = open(child.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int null = open("/dev/null", O_WRONLY);
        dup2(out, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        setenv("HOME", dir.c_str(), 1);
        setenv("CORVO_CONF_PATH", (dir + "/conf").c_str(), 1);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    noteRunning(child.pid);
    return child;
}

void stopAll(std::vector<Child>& children)
{
    for (auto& c : children)
        kill(c.pid, SIGKILL);
    for (auto& c : children)
        reap(c.pid);
    children.clear();
}

// The time a child printed `what` ("converged", "entered"), or -1.
int64_t reportedAt(const Child& c, const std::string& what = "converged")
{
    std::string text = readFile(c.out);
    size_t at = text.find(what + " ");
    return at == std::string::npos ? -1 : std::atoll(text.c_str() + at + what.size() + 1);
}

// CPU time in nanoseconds of each thread of a process, by thread id; with
// `names`, each thread's name as well.
std::map<int, long long> threadCpuNs(pid_t pid, std::map<int, std::string>* names = nullptr)
{
    std::map<int, long long> cpu;
    for (const auto& [tid, thread] : bench::threadCpu(pid)) {
        cpu[tid] = thread.ns;
        if (names)
            (*names)[tid] = thread.name;
    }
    return cpu;
}

long statusKb(pid_t pid, const char* file, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0)
            return std::atol(line.c_str() + key.size());
    return -1;
}

struct Figures {
    double convergeMs = -1;
    double fromFirstMs = -1;  // convergence counted from the first start
    double enteredMs = -1;    // clients only: all daemons entered
    double startCpuSec = 0;   // CPU of all the programs from their start until convergence
    // The same for the first `measuredCount` programs (the daemons, or the
    // bare nodes) by thread: the main thread, libzmq's I/O threads (where
    // CURVE works), and the rest (the ZRE node's thread, the key watch).
    double mainCpuSec = 0, zmqCpuSec = 0, otherCpuSec = 0;
    size_t leastHeld = 0, mostHeld = 0;            // not converged: daemons' Info held by the clients
    double networkCpuMean = 0, networkCpuMax = 0;  // % of a core, threads other than the main one
    double mainCpuMean = 0, wholeCpuMean = 0;
    double pssMeanMb = 0, pssMaxMb = 0, rssMeanMb = 0;
};

// Idle CPU over `seconds`, and memory, of every child.
void measureIdle(const std::vector<Child>& children, int seconds, Figures& f)
{
    std::vector<std::map<int, long long>> before;
    for (const auto& c : children)
        before.push_back(threadCpuNs(c.pid));
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (size_t i = 0; i < children.size(); ++i) {
        auto after = threadCpuNs(children[i].pid);
        long long network = 0, main = 0;
        for (const auto& [tid, ns] : after) {
            long long used = ns - (before[i].count(tid) ? before[i][tid] : 0);
            (tid == children[i].pid ? main : network) += used;
        }
        double networkPct = 100.0 * double(network) / 1e9 / elapsed;
        double mainPct = 100.0 * double(main) / 1e9 / elapsed;
        f.networkCpuMean += networkPct / double(children.size());
        f.networkCpuMax = std::max(f.networkCpuMax, networkPct);
        f.mainCpuMean += mainPct / double(children.size());
        f.wholeCpuMean += (networkPct + mainPct) / double(children.size());
        double pss = double(statusKb(children[i].pid, "smaps_rollup", "Pss")) / 1024.0;
        double rss = double(statusKb(children[i].pid, "status", "VmRSS")) / 1024.0;
        f.pssMeanMb += pss / double(children.size());
        f.pssMaxMb = std::max(f.pssMaxMb, pss);
        f.rssMeanMb += rss / double(children.size());
    }
}

// Starts the programs, waits until every watcher reported convergence,
// measures; `watchers` are the children whose "converged" line counts.
Figures runSite(const std::vector<std::vector<std::string>>& programs, size_t watchersFrom, size_t measuredCount,
                int idleSeconds, const std::string& dir)
{
    Figures f;
    std::vector<Child> children;
    int64_t firstStart = epochMs();
    for (const auto& argv : programs)
        children.push_back(spawn(argv, dir));
    int64_t lastStart = epochMs();
    auto deadline = std::chrono::steady_clock::now() + 180s;
    int64_t last = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        last = 0;
        for (size_t i = watchersFrom; i < children.size() && last >= 0; ++i) {
            int64_t t = reportedAt(children[i]);
            last = t < 0 ? -1 : std::max(last, t);
        }
        if (last >= 0)
            break;
        std::this_thread::sleep_for(50ms);
    }
    if (watchersFrom >= children.size())
        f.convergeMs = -2;  // nobody to converge with
    else
        f.convergeMs = last < 0 ? -1 : double(last - lastStart);
    if (last >= 0)
        f.fromFirstMs = double(last - firstStart);
    if (last < 0) {
        f.leastHeld = SIZE_MAX;
        for (size_t i = watchersFrom; i < children.size(); ++i) {
            std::string text = readFile(children[i].out);
            size_t at = text.rfind("have ");
            size_t held = at == std::string::npos ? 0 : size_t(std::atol(text.c_str() + at + 5));
            f.leastHeld = std::min(f.leastHeld, held);
            f.mostHeld = std::max(f.mostHeld, held);
        }
    }
    int64_t lastEntered = -1;
    for (size_t i = watchersFrom; i < children.size(); ++i)
        lastEntered = std::max(lastEntered, reportedAt(children[i], "entered"));
    if (lastEntered >= 0)
        f.enteredMs = double(lastEntered - lastStart);
    for (size_t i = 0; i < children.size(); ++i) {
        std::map<int, std::string> names;
        for (const auto& [tid, ns] : threadCpuNs(children[i].pid, &names)) {
            double sec = double(ns) / 1e9;
            f.startCpuSec += sec;
            if (i >= measuredCount)
                continue;
            if (tid == children[i].pid)
                f.mainCpuSec += sec;
            else
                (bench::isZmqIoThread(names[tid]) ? f.zmqCpuSec : f.otherCpuSec) += sec;
        }
    }
    if (idleSeconds <= 0) {
        stopAll(children);
        return f;
    }
    std::this_thread::sleep_for(3s);  // settles
    std::vector<Child> measured(children.begin(), children.begin() + long(measuredCount));
    measureIdle(measured, idleSeconds, f);
    stopAll(children);
    return f;
}

void print(const char* what, size_t n, const Figures& f)
{
    std::printf("%s (%zu):\n", what, n);
    if (f.convergeMs >= 0)
        std::printf("  converged %.0f ms after the last start (%.0f ms from the first)\n", f.convergeMs, f.fromFirstMs);
    if (f.enteredMs >= 0)
        std::printf("  every daemon had entered at every client %.0f ms after the last start\n", f.enteredMs);
    if (f.convergeMs >= 0)
        std::printf("  CPU of all programs from their start until then: %.2f s; of the %zu measured ones: main "
                    "threads %.2f s, libzmq I/O threads %.2f s, other threads %.2f s\n",
                    f.startCpuSec, n, f.mainCpuSec, f.zmqCpuSec, f.otherCpuSec);
    else if (f.convergeMs == -1)
        std::printf("  did not converge within 180 s; the clients held the Info of %zu to %zu daemons (counted in "
                    "tens)\n",
                    f.leastHeld, f.mostHeld);
    std::printf("  idle CPU, threads other than the main one: mean %.3f %%, max %.3f %% of a core\n", f.networkCpuMean,
                f.networkCpuMax);
    std::printf("  idle CPU, main thread: mean %.3f %%; whole process: mean %.3f %%\n", f.mainCpuMean, f.wholeCpuMean);
    std::printf("  memory: Pss mean %.1f MB (max %.1f MB), RSS mean %.1f MB\n", f.pssMeanMb, f.pssMaxMb, f.rssMeanMb);
}

enum SiteKind { kOpen, kSecured, kBare };

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

// The open site, the secured site and the bare nodes in turns, the order
// rotating each round; `run` starts one kind and returns its figures.
template <typename Run>
int runRounds(int rounds, size_t daemons, Run run)
{
    const char* names[] = {"open site", "secured site", "bare nodes"};
    std::vector<double> openOverBare, openOverBareFirst, securedOverOpen, last[3], first[3];
    for (int r = 0; r < rounds; ++r) {
        Figures f[3];
        for (int k = 0; k < 3; ++k) {
            int kind = (k + r) % 3;
            f[kind] = run(kind);
            if (f[kind].convergeMs < 0) {
                std::printf("round %d: the %s did not converge\n", r, names[kind]);
                return 1;
            }
        }
        for (int kind = 0; kind < 3; ++kind) {
            last[kind].push_back(f[kind].convergeMs);
            first[kind].push_back(f[kind].fromFirstMs);
        }
        openOverBare.push_back(f[kOpen].convergeMs / f[kBare].convergeMs);
        openOverBareFirst.push_back(f[kOpen].fromFirstMs / f[kBare].fromFirstMs);
        securedOverOpen.push_back(f[kSecured].convergeMs / f[kOpen].convergeMs);
        std::printf("round %d (%zu daemons): open %.0f ms (%.0f from the first start), secured %.0f ms (%.0f), bare "
                    "%.0f ms (%.0f); open/bare %.2fx (%.2fx from the first start), secured/open %.2fx\n",
                    r, daemons, f[kOpen].convergeMs, f[kOpen].fromFirstMs, f[kSecured].convergeMs,
                    f[kSecured].fromFirstMs, f[kBare].convergeMs, f[kBare].fromFirstMs, openOverBare.back(),
                    openOverBareFirst.back(), securedOverOpen.back());
        for (int kind = 0; kind < 3; ++kind)
            std::printf("  %s: CPU until converged %.2f s in all; daemons or nodes: main threads %.2f s, libzmq I/O "
                        "%.2f s, other threads %.2f s\n",
                        names[kind], f[kind].startCpuSec, f[kind].mainCpuSec, f[kind].zmqCpuSec, f[kind].otherCpuSec);
        std::fflush(stdout);
    }
    std::printf("medians of %d rounds: open %.0f ms, secured %.0f ms, bare %.0f ms after the last start; open/bare "
                "%.2fx (%.2fx from the first start), secured/open %.2fx\n",
                rounds, median(last[kOpen]), median(last[kSecured]), median(last[kBare]), median(openOverBare),
                median(openOverBareFirst), median(securedOverOpen));
    return 0;
}

// ---- gossip mode: bare nodes whose beacons never meet --------------------

// One site of bare nodes found by beacons (`rendezvous` 0), or with beacons
// off and found through corvo-rendezvous: one point that every node
// connects to, or a pair of points connected to each other with half the
// nodes on each (tuples must pass from one point to the other).
// Convergence, then idle CPU and memory of the nodes and of the rendezvous
// points apart, then one node killed: when every other node saw it leave,
// and the tuples the points still hold 31 s after the kill.
struct GossipFigures {
    Figures nodes, rendezvous;
    double leftMs = -1;         // the last EXIT of the killed node, after the kill
    long tuplesAfterKill = -1;  // held by the first point 31 s after the kill
};

// The value after `what ` in a child's output ("uuid", "left UUID"), or "".
std::string reportedText(const Child& c, const std::string& what)
{
    std::string text = readFile(c.out);
    size_t at = text.find(what + " ");
    if (at == std::string::npos)
        return "";
    size_t from = at + what.size() + 1;
    return text.substr(from, text.find_first_of(" \n", from) - from);
}

// Stops a rendezvous point cleanly (reaped: the caller drops it) and reads
// the tuples it said it held.
long stopRendezvous(Child& rv)
{
    kill(rv.pid, SIGTERM);
    reap(rv.pid);
    std::string text = readFile(rv.out);
    size_t at = text.find(" tuples held");
    if (at == std::string::npos)
        return -1;
    size_t from = text.rfind(", ", at);
    return from == std::string::npos ? -1 : std::atol(text.c_str() + from + 2);
}

#ifdef CORVO_RENDEZVOUS
GossipFigures runGossipSite(const std::string& self, size_t count, int rendezvous, int port, int idle,
                            const std::string& dir)
{
    std::vector<std::vector<std::string>> programs;
    std::vector<std::string> endpoints;
    for (int r = 0; r < rendezvous; ++r) {
        endpoints.push_back("tcp://127.0.0.1:" + std::to_string(port + 100 + r));
        std::vector<std::string> argv{CORVO_RENDEZVOUS, "--gossip-bind", endpoints.back(), "--name",
                                      "rv" + std::to_string(r)};
        if (r > 0)
            argv.insert(argv.end(), {"--gossip", endpoints.front()});
        programs.push_back(argv);
    }
    for (size_t i = 0; i < count; ++i)
        programs.push_back({self, "node", std::to_string(count), rendezvous ? "0" : std::to_string(port), "-",
                            rendezvous ? endpoints[i % endpoints.size()] : "-"});
    GossipFigures g;
    std::vector<Child> children;
    int64_t firstStart = epochMs();
    for (const auto& argv : programs)
        children.push_back(spawn(argv, dir));
    int64_t lastStart = epochMs();
    auto deadline = std::chrono::steady_clock::now() + 180s;
    int64_t last = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        last = 0;
        for (size_t i = size_t(rendezvous); i < children.size() && last >= 0; ++i) {
            int64_t t = reportedAt(children[i]);
            last = t < 0 ? -1 : std::max(last, t);
        }
        if (last >= 0)
            break;
        std::this_thread::sleep_for(50ms);
    }
    g.nodes.convergeMs = last < 0 ? -1 : double(last - lastStart);
    g.nodes.fromFirstMs = last < 0 ? -1 : double(last - firstStart);
    if (last < 0) {
        stopAll(children);
        return g;
    }
    std::this_thread::sleep_for(3s);  // settles
    std::vector<Child> rvs(children.begin(), children.begin() + rendezvous);
    std::vector<Child> nodes(children.begin() + rendezvous, children.end());
    measureIdle(nodes, idle, g.nodes);
    if (!rvs.empty())
        measureIdle(rvs, idle, g.rendezvous);

    // One node killed (nothing closes cleanly: SIGKILL).
    Child victim = children.back();
    std::string uuid = reportedText(victim, "uuid");
    int64_t killedAt = epochMs();
    kill(victim.pid, SIGKILL);
    reap(victim.pid);
    children.pop_back();
    deadline = std::chrono::steady_clock::now() + 60s;
    int64_t lastLeft = -1;
    while (!uuid.empty() && std::chrono::steady_clock::now() < deadline) {
        lastLeft = 0;
        for (size_t i = size_t(rendezvous); i < children.size() && lastLeft >= 0; ++i) {
            int64_t t = reportedAt(children[i], "left " + uuid);
            lastLeft = t < 0 ? -1 : std::max(lastLeft, t);
        }
        if (lastLeft >= 0)
            break;
        std::this_thread::sleep_for(50ms);
    }
    g.leftMs = lastLeft < 0 ? -1 : double(lastLeft - killedAt);
    if (rendezvous > 0) {
        std::this_thread::sleep_until(std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(31000 - (epochMs() - killedAt)));
        g.tuplesAfterKill = stopRendezvous(children.front());
        children.erase(children.begin());  // reaped: never signalled again
    }
    stopAll(children);
    return g;
}
#endif

// Beacons, one rendezvous and two in turns (the order rotating), with the
// ratios of each round against the beacons of the same round.
int runGossipRounds(const std::string& self, size_t count, int rounds, int idle, int port, const std::string& dir)
{
#ifndef CORVO_RENDEZVOUS
    (void)self, (void)count, (void)rounds, (void)idle, (void)port, (void)dir;
    std::printf("the gossip mode needs corvo-rendezvous (built with the bundled ZRE node)\n");
    return 1;
#else
    const char* names[] = {"beacons", "gossip, 1 rendezvous", "gossip, 2 rendezvous"};
    std::vector<double> ratio[3], converge[3], rvCpu[3], rvRss[3], netCpu[3], left[3];
    bool forgotten = true;
    for (int r = 0; r < rounds; ++r) {
        GossipFigures f[3];
        for (int k = 0; k < 3; ++k) {
            int kind = (k + r) % 3;
            f[kind] = runGossipSite(self, count, kind, port, idle, dir);
            if (f[kind].nodes.convergeMs < 0) {
                std::printf("round %d: %s did not converge\n", r, names[kind]);
                return 1;
            }
        }
        for (int kind = 0; kind < 3; ++kind) {
            converge[kind].push_back(f[kind].nodes.convergeMs);
            ratio[kind].push_back(f[kind].nodes.convergeMs / f[0].nodes.convergeMs);
            netCpu[kind].push_back(f[kind].nodes.networkCpuMean);
            rvCpu[kind].push_back(f[kind].rendezvous.wholeCpuMean);
            rvRss[kind].push_back(f[kind].rendezvous.rssMeanMb);
            left[kind].push_back(f[kind].leftMs);
        }
        std::printf("round %d (%zu nodes): beacons %.0f ms; 1 rendezvous %.0f ms (%.2fx); 2 rendezvous %.0f ms "
                    "(%.2fx) after the last start\n",
                    r, count, converge[0].back(), converge[1].back(), ratio[1].back(), converge[2].back(),
                    ratio[2].back());
        for (int kind = 0; kind < 3; ++kind)
            std::printf("  %s: node network threads idle %.3f %% (max %.3f %%) of a core; a killed node left every "
                        "other node %.0f ms after the kill\n",
                        names[kind], f[kind].nodes.networkCpuMean, f[kind].nodes.networkCpuMax, f[kind].leftMs);
        for (int kind = 1; kind < 3; ++kind) {
            std::printf("  %s: rendezvous idle %.3f %% of a core (max %.3f %%; threads other than the main one "
                        "%.3f %%), RSS %.1f MB, Pss %.1f MB; tuples held 31 s after the kill: %ld (of %zu nodes "
                        "left)\n",
                        names[kind], f[kind].rendezvous.wholeCpuMean, f[kind].rendezvous.networkCpuMax,
                        f[kind].rendezvous.networkCpuMean, f[kind].rendezvous.rssMeanMb, f[kind].rendezvous.pssMeanMb,
                        f[kind].tuplesAfterKill, count - 1);
            forgotten = forgotten && f[kind].tuplesAfterKill == long(count - 1);
        }
        std::fflush(stdout);
    }
    std::printf("medians of %d rounds (%zu nodes): beacons %.0f ms, 1 rendezvous %.0f ms (%.2fx), 2 rendezvous %.0f "
                "ms (%.2fx); rendezvous idle CPU %.3f %% / %.3f %%, RSS %.1f MB / %.1f MB; node network threads "
                "idle %.3f %% (beacons), %.3f %% / %.3f %% (gossip); a killed node left every other node after %.0f / "
                "%.0f / %.0f ms; forgotten by the rendezvous points within 31 s: %s\n",
                rounds, count, median(converge[0]), median(converge[1]), median(ratio[1]), median(converge[2]),
                median(ratio[2]), median(rvCpu[1]), median(rvCpu[2]), median(rvRss[1]), median(rvRss[2]),
                median(netCpu[0]), median(netCpu[1]), median(netCpu[2]), median(left[0]), median(left[1]),
                median(left[2]), forgotten ? "yes" : "no");
    return 0;
#endif
}

}  // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, stopRunningAndExit);
    signal(SIGINT, stopRunningAndExit);
    // Each figure is written out when printed: a run stopped by a signal
    // keeps the figures it had.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string self = "/proc/self/exe";
    char path[4096] = {};
    if (readlink("/proc/self/exe", path, sizeof path - 1) > 0)
        self = path;
    if (argc >= 4 && std::strcmp(argv[1], "client") == 0)
        return runClient(size_t(std::atoi(argv[2])), std::atoi(argv[3]), argc > 4 ? argv[4] : "");
    if (argc >= 4 && std::strcmp(argv[1], "node") == 0)
        return runNode(size_t(std::atoi(argv[2])), std::atoi(argv[3]), argc > 4 ? argv[4] : "-",
                       argc > 5 ? argv[5] : "-");
    if (argc >= 2 && std::strcmp(argv[1], "gossip") == 0) {
        char gossipDir[] = "/tmp/corvo-scale-XXXXXX";
        std::string dir = mkdtemp(gossipDir);
        size_t count = argc > 2 ? size_t(std::max(2, std::atoi(argv[2]))) : 100;
        int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
        int idle = argc > 4 ? std::max(1, std::atoi(argv[4])) : 10;
        int status = runGossipRounds(self, count, rounds, idle, 5690, dir);
        std::string cleanup = "rm -rf '" + dir + "'";
        return std::system(cleanup.c_str()) == 0 ? status : 1;
    }

    size_t daemons = argc > 1 ? size_t(std::atoi(argv[1])) : 100;
    size_t clients = argc > 2 ? size_t(std::atoi(argv[2])) : 10;
    int idle = argc > 3 ? std::atoi(argv[3]) : 10;
    bool rounds = argc > 4 && std::strcmp(argv[4], "rounds") == 0;
    bool secure = rounds || (argc > 4 && std::strcmp(argv[4], "secure") == 0);
    char dirTemplate[] = "/tmp/corvo-scale-XXXXXX";
    std::string dir = mkdtemp(dirTemplate);
    int port = 5670;

    // One identity for every program of the secured site, made by the
    // corvo tool built beside this program.
    std::string keys = secure ? dir + "/keys" : "";
    if (secure) {
        std::string tool = self.substr(0, self.rfind('/')) + "/../../tools/corvo/corvo";
        std::string make = "'" + tool + "' keys new scale --names '*' --keys '" + keys + "' >/dev/null";
        if (std::system(make.c_str()) != 0) {
            std::fprintf(stderr, "cannot make the keys with %s\n", tool.c_str());
            return 1;
        }
        std::printf("secured site (CURVE)\n");
    }

    auto daemonArgv = [&](size_t i, int p, bool secured = true) {
        char name[32];
        std::snprintf(name, sizeof name, "d%03zu", i);
        std::vector<std::string> argv{
            CORVO_EXAMPLE_DAEMON, "--interface", "lo", "--port", std::to_string(p), "--site", kSite, "--name", name};
        if (secure && secured)
            argv.insert(argv.end(), {"--key", "scale", "--keys", keys});
        return argv;
    };
    if (rounds) {
        int count = argc > 5 ? std::max(1, std::atoi(argv[5])) : 3;
        int status = runRounds(count, daemons, [&](int kind) {
            std::vector<std::vector<std::string>> programs;
            bool secured = kind == kSecured;
            for (size_t i = 0; i < daemons; ++i)
                programs.push_back(kind == kBare ? std::vector<std::string>{self, "node", std::to_string(daemons),
                                                                            std::to_string(port + 2)}
                                                 : daemonArgv(i, port, secured));
            if (kind != kBare)
                for (size_t i = 0; i < clients; ++i)
                    programs.push_back(
                        {self, "client", std::to_string(daemons), std::to_string(port), secured ? keys : ""});
            return runSite(programs, kind == kBare ? 0 : daemons, daemons, 0, dir);
        });
        std::string cleanup = "rm -rf '" + dir + "'";
        return std::system(cleanup.c_str()) == 0 ? status : 1;
    }

    // One daemon alone: the figure with no peers.
    Figures alone = runSite({daemonArgv(0, port + 1)}, 1, 1, idle, dir);
    print("one daemon, no peers", 1, alone);

    std::vector<std::vector<std::string>> site;
    for (size_t i = 0; i < daemons; ++i)
        site.push_back(daemonArgv(i, port));
    for (size_t i = 0; i < clients; ++i)
        site.push_back({self, "client", std::to_string(daemons), std::to_string(port), keys});
    print("daemons, with clients", daemons, runSite(site, daemons, daemons, idle, dir));

    if (!secure) {
        std::vector<std::vector<std::string>> bare;
        for (size_t i = 0; i < daemons; ++i)
            bare.push_back({self, "node", std::to_string(daemons), std::to_string(port + 2)});
        print("bare nodes", daemons, runSite(bare, 0, daemons, idle, dir));
    }

    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
