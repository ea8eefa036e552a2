// Figures of the ZRE node: discovery time, WHISPER round trip, SHOUT
// throughput, idle CPU, and the same round trip and throughput over a bare
// ZeroMQ DEALER-to-ROUTER pair as the floor. Starts nodes, so run it in a
// network namespace:
//   scripts/in-netns.sh build/.../bench_zre [INTERFACE [rtt|shout|shout1 [TURNS [MESSAGES]]]]
// "shout1" has the sending and the receiving node read and written by one
// application thread (send a burst, then read what is there), as a daemon
// that both publishes and listens, against bare ZeroMQ in the same pattern.
// The readers wait on the node's inbox too and read it on their own thread
// (zyre_receive_direct); BENCH_ZRE_HOP=1 leaves every message to the node's
// thread.
#include <poll.h>
#include <sys/resource.h>
#include <zyre.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 2000;
// Messages of one SHOUT turn (and of its bare floor); the third argument
// of the shout mode changes it.
long shouts = 200000;
constexpr size_t kPayload = 32;
constexpr int kIdleSeconds = 10;

std::string iface = "lo";
int nextPort = 5670;

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

bool readable(zsock_t* sock, int ms)
{
    zmq_pollitem_t item = {zsock_resolve(sock), 0, ZMQ_POLLIN, 0};
    return zmq_poll(&item, 1, ms) > 0;
}

// The application's thread reads the node's inbox itself (unless
// BENCH_ZRE_HOP is set: then every message comes through the node's thread;
// the round-trip mode measures both in turns).
bool directReceive = std::getenv("BENCH_ZRE_HOP") == nullptr;
// Whether a reader says that it waits on the inbox (zyre_inbox_waiting), so
// that the node's thread is not woken by the same message; the round-trip
// mode also measures without, for comparison.
bool announceWait = true;

// Whether an event of `node` is there within `ms`. Waits on the event
// socket's descriptor and on the node's inbox, which this thread reads when
// the node's thread is not at it; when it is, its events come through the
// socket. The queue is looked at first (no system call), and the events of
// this thread's own reads are not signalled on the socket, as libcorvo's
// loop does.
bool eventWithin(zyre_t* node, int ms)
{
    if (zyre_event_waiting(node))
        return true;  // and when not, the descriptor is armed
    int events = zsock_fd(zyre_socket(node));
    int inbox = directReceive ? zyre_inbox_fd(node) : -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        struct pollfd items[2] = {{events, POLLIN, 0}, {inbox, POLLIN, 0}};
        // While this thread waits on the inbox, the node's thread leaves it alone.
        bool announce = inbox >= 0 && announceWait;
        if (announce)
            zyre_inbox_waiting(node, true);
        int ready = poll(items, inbox >= 0 ? 2 : 1, int(std::max<long>(left, 0)));
        if (announce)
            zyre_inbox_waiting(node, false);
        if (ready <= 0)
            return false;
        if (inbox >= 0 && (items[1].revents & POLLIN) && zyre_receive_direct_unsignalled(node) < 0)
            inbox = -1;
        if (zyre_event_waiting(node))
            return true;
        // Commands of libzmq's that signalled the descriptor are taken.
        if ((items[0].revents & POLLIN) && (zsock_events(zyre_socket(node)) & ZMQ_POLLIN))
            return true;
        if (left <= 0)
            return false;
    }
}

zyre_t* makeNode(const char* name, int port, size_t interval = 1000)
{
    zyre_t* node = zyre_new(name);
    zyre_set_interface(node, iface.c_str());
    zyre_set_port(node, port);
    zyre_set_interval(node, interval);
    zyre_join(node, "bench");
    return node;
}

// Reads events of `node` until it has seen a JOIN of "bench" by `peer`.
bool sawJoin(zyre_t* node, const std::string& peer, bool& seen)
{
    while (!seen && readable(zyre_socket(node), 0)) {
        zyre_event_t* e = zyre_event_new(node);
        if (!e)
            return seen;
        if (strcmp(zyre_event_type(e), "JOIN") == 0 && peer == zyre_event_peer_uuid(e))
            seen = true;
        zyre_event_destroy(&e);
    }
    return seen;
}

struct Pair {
    zyre_t* a = nullptr;
    zyre_t* b = nullptr;
    double discoveryMs = -1;
    ~Pair()
    {
        zyre_destroy(&a);
        zyre_destroy(&b);
    }
};

// Starts two nodes and measures until each has seen the other's JOIN.
void connect(Pair& pair)
{
    int port = nextPort++;
    pair.a = makeNode("bench-a", port);
    pair.b = makeNode("bench-b", port);
    auto start = Clock::now();
    zyre_start(pair.a);
    zyre_start(pair.b);
    bool aSaw = false, bSaw = false;
    auto deadline = start + std::chrono::seconds(10);
    while (!(aSaw && bSaw) && Clock::now() < deadline) {
        zmq_pollitem_t items[] = {{zsock_resolve(zyre_socket(pair.a)), 0, ZMQ_POLLIN, 0},
                                  {zsock_resolve(zyre_socket(pair.b)), 0, ZMQ_POLLIN, 0}};
        zmq_poll(items, 2, 100);
        sawJoin(pair.a, zyre_uuid(pair.b), aSaw);
        sawJoin(pair.b, zyre_uuid(pair.a), bSaw);
    }
    if (aSaw && bSaw)
        pair.discoveryMs = micros(Clock::now() - start) / 1000.0;
}

zmsg_t* twoFrames(uint8_t tag, size_t payload)
{
    zmsg_t* msg = zmsg_new();
    zmsg_addmem(msg, &tag, 1);
    std::vector<uint8_t> body(payload, 0x5A);
    zmsg_addmem(msg, body.data(), body.size());
    return msg;
}

// ---- over the ZRE node ---------------------------------------------------

std::vector<double> zreRoundTrips(Pair& pair, int rounds = kRounds)
{
    std::atomic<bool> done{false};
    std::string aId = zyre_uuid(pair.a);
    std::thread echo([&] {
        while (!done) {
            if (!eventWithin(pair.b, 50))
                continue;
            zyre_event_t* e = zyre_event_new(pair.b);
            if (e && strcmp(zyre_event_type(e), "WHISPER") == 0) {
                zmsg_t* reply = zmsg_dup(zyre_event_msg(e));
                zyre_whisper(pair.b, aId.c_str(), &reply);
            }
            zyre_event_destroy(&e);
        }
    });
    std::string bId = zyre_uuid(pair.b);
    std::vector<double> rtts;
    for (int i = 0; i < rounds; ++i) {
        zmsg_t* msg = twoFrames(4, kPayload);
        auto sent = Clock::now();
        zyre_whisper(pair.a, bId.c_str(), &msg);
        bool back = false;
        while (!back && eventWithin(pair.a, 2000)) {
            zyre_event_t* e = zyre_event_new(pair.a);
            back = e && strcmp(zyre_event_type(e), "WHISPER") == 0;
            zyre_event_destroy(&e);
        }
        if (!back)
            break;
        rtts.push_back(micros(Clock::now() - sent));
    }
    done = true;
    echo.join();
    return rtts;
}

struct Throughput {
    long sent = 0;
    long received = 0;
    double seconds = 0;
};

Throughput zreShouts(Pair& pair)
{
    Throughput t;
    std::atomic<long> received{0};
    std::atomic<bool> done{false};
    Clock::time_point lastAt;
    std::thread sink([&] {
        while (!done) {
            // Polls only when no event is waiting, as a busy application would.
            if (!eventWithin(pair.b, 50))
                continue;
            zyre_event_t* e = zyre_event_new(pair.b);
            if (e && strcmp(zyre_event_type(e), "SHOUT") == 0 && zmsg_size(zyre_event_msg(e)) == 2) {
                ++received;
                lastAt = Clock::now();
            }
            zyre_event_destroy(&e);
        }
    });
    auto start = Clock::now();
    for (long i = 0; i < shouts; ++i) {
        zmsg_t* msg = twoFrames(2, kPayload);
        zyre_shout(pair.a, "bench", &msg);
    }
    t.sent = shouts;
    // Wait until everything arrived or nothing more comes for two seconds.
    long seen = -1;
    auto quietSince = Clock::now();
    while (received < shouts && Clock::now() - quietSince < std::chrono::seconds(2)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (received != seen) {
            seen = received;
            quietSince = Clock::now();
        }
    }
    done = true;
    sink.join();
    t.received = received;
    t.seconds = std::chrono::duration<double>(lastAt - start).count();
    return t;
}

// One thread sends bursts and reads what has arrived after each (never
// waiting while there is something to send): the pattern of a daemon that
// publishes and listens on its loop thread.
constexpr long kBurst = 100;

Throughput zreShoutsOneThread(Pair& pair)
{
    Throughput t;
    long received = 0;
    // What the node's thread has read meanwhile; only a wait reads the
    // inbox on this thread (eventWithin). The queue, not the socket, tells:
    // the events of this thread's own reads are not signalled there.
    auto readWhatIsThere = [&] {
        while (zyre_event_waiting(pair.b)) {
            zyre_event_t* e = zyre_event_new(pair.b);
            if (e && strcmp(zyre_event_type(e), "SHOUT") == 0 && zmsg_size(zyre_event_msg(e)) == 2)
                ++received;
            zyre_event_destroy(&e);
        }
    };
    auto start = Clock::now();
    for (long i = 0; i < shouts; ++i) {
        zmsg_t* msg = twoFrames(2, kPayload);
        zyre_shout(pair.a, "bench", &msg);
        if ((i + 1) % kBurst == 0)
            readWhatIsThere();
    }
    t.sent = shouts;
    auto quietSince = Clock::now();
    long seen = received;
    while (received < shouts && Clock::now() - quietSince < std::chrono::seconds(2)) {
        if (!eventWithin(pair.b, 5))
            continue;
        readWhatIsThere();
        if (received != seen) {
            seen = received;
            quietSince = Clock::now();
        }
    }
    t.received = received;
    t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return t;
}

double idleCpuPercent()
{
    int port = nextPort++;
    zyre_t* a = makeNode("idle-a", port);
    zyre_t* b = makeNode("idle-b", port);
    zyre_start(a);
    zyre_start(b);
    bool seen = false;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!seen && Clock::now() < deadline) {
        readable(zyre_socket(a), 100);
        sawJoin(a, zyre_uuid(b), seen);
    }
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    getrusage(RUSAGE_SELF, &after);
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    auto cpu = [](const rusage& r) {
        return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
    };
    zyre_destroy(&a);
    zyre_destroy(&b);
    // Two nodes (and the shared ZeroMQ I/O thread) ran: per node is half.
    return 100.0 * (cpu(after) - cpu(before)) / wall / 2.0;
}

// ---- bare ZeroMQ floor ---------------------------------------------------

struct Bare {
    zsock_t* router = nullptr;
    zsock_t* dealer = nullptr;
    Bare()
    {
        router = zsock_new(ZMQ_ROUTER);
        int port = zsock_bind(router, "tcp://127.0.0.1:*");
        dealer = zsock_new(ZMQ_DEALER);
        zsock_set_sndhwm(dealer, 1000000);
        zsock_set_rcvhwm(router, 1000000);
        zsock_connect(dealer, "tcp://127.0.0.1:%d", port);
    }
    ~Bare()
    {
        zsock_destroy(&dealer);
        zsock_destroy(&router);
    }
};

std::vector<double> bareRoundTrips(int rounds = kRounds)
{
    Bare bare;
    std::atomic<bool> done{false};
    std::thread echo([&] {
        while (!done) {
            if (!readable(bare.router, 50))
                continue;
            zmsg_t* msg = zmsg_recv(bare.router);
            zmsg_send(&msg, bare.router);  // identity first: goes back to the sender
        }
    });
    std::vector<double> rtts;
    for (int i = 0; i < rounds; ++i) {
        zmsg_t* msg = twoFrames(4, kPayload);
        auto sent = Clock::now();
        zmsg_send(&msg, bare.dealer);
        if (!readable(bare.dealer, 2000))
            break;
        zmsg_t* reply = zmsg_recv(bare.dealer);
        zmsg_destroy(&reply);
        rtts.push_back(micros(Clock::now() - sent));
    }
    done = true;
    echo.join();
    return rtts;
}

Throughput bareThroughput()
{
    Bare bare;
    Throughput t;
    std::atomic<long> received{0};
    Clock::time_point lastAt;
    std::thread sink([&] {
        while (received < shouts && readable(bare.router, 2000)) {
            zmsg_t* msg = zmsg_recv(bare.router);
            zmsg_destroy(&msg);
            ++received;
            lastAt = Clock::now();
        }
    });
    auto start = Clock::now();
    for (long i = 0; i < shouts; ++i) {
        zmsg_t* msg = twoFrames(2, kPayload);
        zmsg_send(&msg, bare.dealer);
    }
    t.sent = shouts;
    sink.join();
    t.received = received;
    t.seconds = std::chrono::duration<double>(lastAt - start).count();
    return t;
}

Throughput bareThroughputOneThread()
{
    Bare bare;
    Throughput t;
    long received = 0;
    auto readWhatIsThere = [&] {
        while (zsock_events(bare.router) & ZMQ_POLLIN) {
            zmsg_t* msg = zmsg_recv(bare.router);
            zmsg_destroy(&msg);
            ++received;
        }
    };
    auto start = Clock::now();
    for (long i = 0; i < shouts; ++i) {
        zmsg_t* msg = twoFrames(2, kPayload);
        zmsg_send(&msg, bare.dealer);
        if ((i + 1) % kBurst == 0)
            readWhatIsThere();
    }
    t.sent = shouts;
    while (received < shouts && readable(bare.router, 2000))
        readWhatIsThere();
    t.received = received;
    t.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return t;
}

void report(const char* what, const std::vector<double>& rtts)
{
    if (rtts.empty()) {
        printf("%-28s failed\n", what);
        return;
    }
    printf("%-28s p50 %7.1f us   p99 %7.1f us   (%zu rounds)\n", what, percentile(rtts, 0.5), percentile(rtts, 0.99),
           rtts.size());
}

void report(const char* what, const Throughput& t)
{
    double rate = t.seconds > 0 ? double(t.received) / t.seconds : 0;
    printf("%-28s %9.0f msg/s   sent %ld received %ld lost %ld\n", what, rate, t.sent, t.received, t.sent - t.received);
}

double cpuSeconds()
{
    rusage r;
    getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Round trips only, ZRE and bare in turns, so that both meet the same load
// on a shared machine.
int roundTripsInTurns(int turns)
{
    Pair pair;
    connect(pair);
    if (pair.discoveryMs < 0) {
        printf("nodes did not discover each other\n");
        return 1;
    }
    std::vector<double> zre, hop, both, bare;
    double zreCpu = 0, bareCpu = 0;
    for (int i = 0; i < turns; ++i) {
        double t0 = cpuSeconds();
        auto z = zreRoundTrips(pair, kRounds / 2);
        double t1 = cpuSeconds();
        auto b = bareRoundTrips(kRounds / 2);
        zreCpu += t1 - t0;
        bareCpu += cpuSeconds() - t1;
        // The same with every message read by the node's thread and
        // handed over, for comparison.
        bool direct = directReceive;
        directReceive = false;
        auto h = zreRoundTrips(pair, kRounds / 2);
        directReceive = direct;
        // Read directly, but with the node's thread woken by every message too.
        announceWait = false;
        auto w = zreRoundTrips(pair, kRounds / 2);
        announceWait = true;
        if (z.empty() || b.empty() || h.empty() || w.empty())
            return 1;
        printf("turn %d: WHISPER p50 %6.1f us  bare p50 %6.1f us  ratio %.2fx  (through the node's thread %.2fx, "
               "node's thread also woken %.2fx)\n",
               i, percentile(z, 0.5), percentile(b, 0.5), percentile(z, 0.5) / percentile(b, 0.5),
               percentile(h, 0.5) / percentile(b, 0.5), percentile(w, 0.5) / percentile(b, 0.5));
        zre.insert(zre.end(), z.begin(), z.end());
        hop.insert(hop.end(), h.begin(), h.end());
        both.insert(both.end(), w.begin(), w.end());
        bare.insert(bare.end(), b.begin(), b.end());
    }
    report("WHISPER round trip", zre);
    report("through the node's thread", hop);
    report("node's thread also woken", both);
    report("bare ZeroMQ round trip", bare);
    printf("%-28s %.2fx (through the node's thread %.2fx, node's thread also woken %.2fx)\n", "p50 ratio",
           percentile(zre, 0.5) / percentile(bare, 0.5), percentile(hop, 0.5) / percentile(bare, 0.5),
           percentile(both, 0.5) / percentile(bare, 0.5));
    // CPU time of all threads per round trip: a steadier figure than wall
    // time where other work shares the cores.
    printf("%-28s WHISPER %.1f us   bare %.1f us\n", "CPU per round trip", 1e6 * zreCpu / double(zre.size()),
           1e6 * bareCpu / double(bare.size()));
    return 0;
}

// SHOUT throughput only, ZRE and bare in turns, for the same reason;
// `oneThread`: sender and reader on one thread.
int shoutsInTurns(int turns, bool oneThread)
{
    Pair pair;
    connect(pair);
    if (pair.discoveryMs < 0) {
        printf("nodes did not discover each other\n");
        return 1;
    }
    double zreRate = 0, bareRate = 0, zreCpu = 0, bareCpu = 0;
    long lost = 0, zreCount = 0, bareCount = 0;
    for (int i = 0; i < turns; ++i) {
        double t0 = cpuSeconds();
        Throughput z = oneThread ? zreShoutsOneThread(pair) : zreShouts(pair);
        double t1 = cpuSeconds();
        Throughput b = oneThread ? bareThroughputOneThread() : bareThroughput();
        zreCpu += t1 - t0;
        bareCpu += cpuSeconds() - t1;
        if (z.seconds <= 0 || b.seconds <= 0)
            return 1;
        double zr = double(z.received) / z.seconds, br = double(b.received) / b.seconds;
        printf("turn %d: SHOUT %8.0f msg/s  bare %8.0f msg/s  ratio %.2fx  lost %ld (events dropped so far %llu)\n", i,
               zr, br, zr / br, z.sent - z.received, (unsigned long long)zyre_dropped_events(pair.b));
        zreRate += zr;
        bareRate += br;
        lost += z.sent - z.received;
        zreCount += z.received;
        bareCount += b.received;
    }
    printf("%-28s %9.0f msg/s   lost %ld in all turns\n", "SHOUT throughput (mean)", zreRate / turns, lost);
    printf("%-28s %9.0f msg/s\n", "bare ZeroMQ (mean)", bareRate / turns);
    printf("%-28s %.2fx\n", "SHOUT / bare rate", zreRate / bareRate);
    // CPU of all threads per message (the idle waits of the turn included).
    printf("%-28s SHOUT %.2f us   bare %.2f us\n", "CPU per message", 1e6 * zreCpu / double(std::max(1L, zreCount)),
           1e6 * bareCpu / double(std::max(1L, bareCount)));
    return 0;
}

}  // namespace

// bench_zre [INTERFACE [rtt|shout [TURNS [MESSAGES]]]]: "rtt" measures only
// round trips, "shout" only SHOUT throughput (MESSAGES a turn).
int main(int argc, char** argv)
{
    if (argc > 1)
        iface = argv[1];
    printf("bench_zre on interface %s\n", iface.c_str());
    if (argc > 2 && std::string(argv[2]) == "rtt")
        return roundTripsInTurns(std::max(1, argc > 3 ? std::atoi(argv[3]) : 6));
    if (argc > 4)
        shouts = std::max(1L, std::atol(argv[4]));
    if (argc > 2 && (std::string(argv[2]) == "shout" || std::string(argv[2]) == "shout1")) {
        bool oneThread = std::string(argv[2]) == "shout1";
        printf("SHOUT: %s\n", oneThread ? "sender and reader on one thread (bursts of 100, then read what is there)"
                                        : "a reader thread of its own");
        return shoutsInTurns(std::max(1, argc > 3 ? std::atoi(argv[3]) : 4), oneThread);
    }

    std::vector<double> discovery;
    for (int i = 0; i < 5; ++i) {
        Pair pair;
        connect(pair);
        discovery.push_back(pair.discoveryMs);
    }
    std::sort(discovery.begin(), discovery.end());
    printf("%-28s median %6.1f ms   worst %6.1f ms   (5 runs; -1 = failed)\n", "discovery (both JOINs)", discovery[2],
           discovery.back());

    Pair pair;
    connect(pair);
    if (pair.discoveryMs < 0) {
        printf("nodes did not discover each other\n");
        return 1;
    }
    auto zreRtt = zreRoundTrips(pair);
    auto bareRtt = bareRoundTrips();
    report("WHISPER round trip", zreRtt);
    report("bare ZeroMQ round trip", bareRtt);
    if (!zreRtt.empty() && !bareRtt.empty())
        printf("%-28s %.2fx\n", "p50 ratio", percentile(zreRtt, 0.5) / percentile(bareRtt, 0.5));

    Throughput shouts = zreShouts(pair);
    Throughput bare = bareThroughput();
    report("SHOUT throughput", shouts);
    report("bare ZeroMQ throughput", bare);
    if (shouts.seconds > 0 && bare.seconds > 0 && bare.received > 0)
        printf("%-28s %.2fx\n", "SHOUT / bare rate",
               (double(shouts.received) / shouts.seconds) / (double(bare.received) / bare.seconds));

    printf("%-28s %.3f %% of a core\n", "idle node CPU", idleCpuPercent());
    return 0;
}
