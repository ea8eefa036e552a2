// corvo-rendezvous's loop under a backlog: a client that sends many gossip
// messages at once gets every answer, and the loop never waits for news
// while messages are still queued (the sockets' descriptors signal only new
// arrivals). Runs on loopback inside the test's network namespace.
#include <gtest/gtest.h>

#include <czmq.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rendezvous.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* kEndpoint = "tcp://127.0.0.1:5671";
// Gossip messages: signature 0xAA 0xA0, id, version 1.
const uint8_t kHello[] = {0xAA, 0xA0, 1, 1};
const uint8_t kPing[] = {0xAA, 0xA0, 3, 1};
const uint8_t kPong[] = {0xAA, 0xA0, 4, 1};

// Runs the relay in a thread; a stop is handed over as a signalfd record
// through a pipe, as the signal descriptor would deliver it.
class RunningRelay {
public:
    RunningRelay()
    {
        corvo::rendezvous::Settings settings;
        settings.discovery.gossipBind = kEndpoint;
        relay = std::make_unique<corvo::rendezvous::Relay>(settings);
        opened = relay->open() && pipe(stopPipe) == 0;
        if (opened)
            thread = std::thread([this] { relay->run(stopPipe[0]); });
    }
    ~RunningRelay()
    {
        if (!opened)
            return;
        signalfd_siginfo stop{};
        stop.ssi_signo = SIGTERM;
        (void)!write(stopPipe[1], &stop, sizeof stop);
        thread.join();
        close(stopPipe[0]);
        close(stopPipe[1]);
    }
    bool opened = false;

private:
    std::unique_ptr<corvo::rendezvous::Relay> relay;
    int stopPipe[2] = {-1, -1};
    std::thread thread;
};

bool send(zsock_t* socket, const uint8_t (&message)[4])
{
    zframe_t* frame = zframe_new(message, sizeof message);
    return zframe_send(&frame, socket, 0) == 0;
}

}  // namespace

TEST(Rendezvous, AnswersABacklogWithoutWaitingBetweenItsBatches)
{
    RunningRelay relay;
    ASSERT_TRUE(relay.opened);
    zsock_t* client = zsock_new_dealer((std::string(">") + kEndpoint).c_str());
    ASSERT_NE(client, nullptr);
    zsock_set_rcvtimeo(client, 10000);
    ASSERT_TRUE(send(client, kHello));
    // Several times the gossip part's read batch (256 messages a socket),
    // and fewer than its queue of answers to one client holds (libzmq's
    // 1000, beyond which they are dropped while the client is not reading).
    const size_t pings = 900;
    for (size_t i = 0; i < pings; ++i)
        ASSERT_TRUE(send(client, kPing));

    std::vector<Clock::time_point> pongs;
    while (pongs.size() < pings) {
        zframe_t* frame = zframe_recv(client);
        if (!frame)
            break;  // nothing for 10 s
        if (zframe_size(frame) == sizeof kPong && std::equal(kPong, kPong + sizeof kPong, zframe_data(frame)))
            pongs.push_back(Clock::now());
        zframe_destroy(&frame);
    }
    zsock_destroy(&client);

    ASSERT_EQ(pongs.size(), pings);
    // A loop that waited for news between batches would stall about a
    // second (its ping rhythm) after each one.
    auto longestGap = Clock::duration::zero();
    for (size_t i = 1; i < pongs.size(); ++i)
        longestGap = std::max(longestGap, pongs[i] - pongs[i - 1]);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(longestGap).count(), 500);
}
