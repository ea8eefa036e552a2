// Companion of bench_python.py.
//   bench_python_broadcaster daemon [program options]
//     a daemon "caster": command "burst N" broadcasts "counter" = 1..N as
//     fast as the library sends.
//   bench_python_broadcaster rtt SITE PORT PEER PROPERTY COUNT
//     a C++ client on interface lo: COUNT change requests of the DOUBLE
//     property, each waiting for its confirming broadcast; prints the median
//     and mean round trip in microseconds.
#include <corvo/daemon.h>
#include <corvo/network.h>
#include <corvo/peer.h>
#include <corvo/property.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class Caster : public corvo::Daemon {
public:
    Caster() : Daemon("caster")
    {
        createProperty("counter", corvo::Property::INT, "counts the burst", false);
        createCommand(
            "burst",
            [this](std::vector<std::string> args) {
                long n = std::stol(args[0]);
                for (long i = 1; i <= n; ++i)
                    properties["counter"]->setValue(i);
            },
            "broadcast counter = 1..n", 1, corvo::ARG_INT, "n");
    }
};

class RoundTrips : public corvo::EventCallback {
public:
    RoundTrips(const std::string& site, int port) : net(this, false)
    {
        net.setName("bench-rtt");
        net.setPort(port);
        net.setInterface("lo");
        net.siteGroup = site;
        net.propGroup = site + "-prop";
        net.logGroup = site + "-log";
        net.setClient(true);
        net.setType("client");
        net.join(site);
        net.setRecvValue(true);
        net.start();
    }

    bool pump(double seconds, const std::function<bool()>& done)
    {
        auto deadline =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (!done()) {
            if (Clock::now() > deadline)
                return false;
            if (net.poll(5))
                net.recv();
        }
        return true;
    }

    void onInfo(std::shared_ptr<corvo::Peer> peer) override { described = peer; }
    void onProperty(std::shared_ptr<corvo::Peer>, const corvo::Property& property) override
    {
        if (property.name == watched)
            last = property.doubleValue;
    }

    corvo::Network net;
    std::shared_ptr<corvo::Peer> described;
    std::string watched;
    double last = -1;
};

int runRoundTrips(const std::string& site, int port, const std::string& peerName, const std::string& property,
                  int count)
{
    RoundTrips client(site, port);
    client.watched = property;
    if (!client.pump(30, [&] { return client.described && client.described->name == peerName; })) {
        std::fprintf(stderr, "no peer %s\n", peerName.c_str());
        return 1;
    }
    auto peer = client.described;
    corvo::Property request = peer->properties.at(property);
    request.master = nullptr;
    std::vector<double> us;
    for (int i = 0; i < count + 50; ++i) {
        double value = 1000.0 + i;
        request.doubleValue = value;
        auto start = Clock::now();
        client.net.changeProperty(peer, &request);
        if (!client.pump(10, [&] { return client.last == value; })) {
            std::fprintf(stderr, "no confirmation\n");
            return 1;
        }
        if (i >= 50)  // warm-up excluded
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    double mean = 0;
    for (double v : us)
        mean += v / us.size();
    std::printf("%.1f %.1f\n", us[us.size() / 2], mean);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "daemon") == 0) {
        Caster caster;
        return caster.run(argc - 1, argv + 1) == 0 ? 0 : 1;
    }
    if (argc == 7 && std::strcmp(argv[1], "rtt") == 0)
        return runRoundTrips(argv[2], std::atoi(argv[3]), argv[4], argv[5], std::atoi(argv[6]));
    std::fprintf(stderr, "usage: %s daemon [options] | rtt SITE PORT PEER PROPERTY COUNT\n", argv[0]);
    return 2;
}
