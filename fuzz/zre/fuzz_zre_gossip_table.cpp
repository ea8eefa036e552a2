// libFuzzer target: the gossip tuple table under any sequence of tuples
// (few UUIDs and endpoints, so that keys and endpoints collide), clock
// steps, liveness changes, attempts and relays. It must stay within its
// bound, never pass a tuple on with TTL 0, and never lose a live peer's
// tuple to a newcomer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "zre_gossip_table.hpp"

namespace {

struct Live : zre::LivePeers {
    std::set<std::string> alive;  // "uuid endpoint"
    bool peerLivesAt(const zre::Uuid& uuid, const std::string& endpoint) override
    {
        return alive.count(zre::uuidToString(uuid) + " " + endpoint) != 0;
    }
};

std::string uuidText(unsigned n)
{
    char text[33];
    snprintf(text, sizeof text, "%032X", n);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zre::GossipTable table(uuidText(0));
    Live live;
    int64_t t = 1000000;
    for (size_t i = 0; i + 3 < size; i += 4) {
        uint8_t op = data[i] % 6;
        unsigned key = data[i + 1] % 64;
        std::string endpoint = "tcp://10.0.0.1:" + std::to_string(1 + data[i + 2] % 16);
        uint32_t ttl = data[i + 3] < 64 ? 0 : uint32_t(data[i + 3]) * 500;
        if (op == 0 || op == 1) {
            zre::GossipMessage publish;
            publish.id = zre::GossipId::Publish;
            publish.key = uuidText(key);
            publish.value = endpoint;
            publish.ttlMs = ttl;
            bool wasHeld = table.has(publish.key);
            std::string before = wasHeld ? table.outgoing(publish.key, t).value : "";
            table.store(publish, op == 0 ? "cA" : "sB", t, live);
            // A live peer's tuple keeps its endpoint.
            if (wasHeld && live.alive.count(publish.key + " " + before) &&
                table.outgoing(publish.key, t).value != before)
                abort();
        } else if (op == 2) {
            t += int64_t(data[i + 3]) * 250;
            table.maintain(t, live, [&](const std::string& p) { return p == "cA" && (data[i + 2] & 1); });
        } else if (op == 3) {
            std::string entry = uuidText(key) + " " + endpoint;
            if (!live.alive.erase(entry))
                live.alive.insert(entry);
        } else if (op == 4) {
            table.attemptDue(t, live, [&](const zre::GossipTuple&) { return (data[i + 2] & 3) != 0; });
        } else {
            for (const zre::GossipMessage& m : table.dueRelays(t))
                if (m.ttlMs == 0)
                    abort();
        }
        if (table.size() > zre::GossipTable::kMaxTuples)
            abort();
    }
    for (const zre::GossipMessage& m : table.all(t, &live))
        if (m.ttlMs == 0)
            abort();
    return 0;
}
