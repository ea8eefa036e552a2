#include "zre_gossip_table.hpp"

#include <algorithm>
#include <unordered_map>

namespace zre {

uint32_t GossipTable::remaining(const Tuple& tuple, int64_t t)
{
    return uint32_t(std::clamp<int64_t>(tuple.expiresAt - t, 1, kMaxTtlMs));
}

GossipTable::Stored GossipTable::store(const GossipMessage& publish, const std::string& publisher, int64_t t,
                                       LivePeers& live)
{
    if (publish.key == ownKey_)
        return Stored::Ignored;
    auto parsed = parseTuple(publish);
    if (!parsed)
        return Stored::Ignored;
    // A TTL-0 tuple came just now on a connection that is up: anchored. A
    // longer TTL than kMaxTtlMs would keep a forged tuple (and every node
    // dialling its endpoint) for weeks.
    int64_t lifetime = publish.ttlMs > 0 ? std::min<int64_t>(publish.ttlMs, kMaxTtlMs) : kAnchoredTtlMs;
    auto it = tuples_.find(publish.key);
    if (it != tuples_.end() && it->second.value == publish.value) {
        Tuple& known = it->second;
        known.expiresAt = std::max(known.expiresAt, t + lifetime);
        known.zeroTtl = publish.ttlMs == 0;
        known.publisher = publisher;
        return Stored::Refreshed;
    }
    if (it != tuples_.end()) {
        // Another endpoint under a UUID whose peer lives at the one held:
        // stale, or forged. Otherwise the peer moved.
        if (live.peerLivesAt(it->second.uuid, it->second.endpoint))
            return Stored::Ignored;
    } else if (tuples_.size() >= kMaxTuples && !makeRoom(live)) {
        return Stored::Ignored;
    }
    Tuple& tuple = tuples_[publish.key];
    tuple = Tuple{};
    tuple.value = publish.value;
    tuple.endpoint = parsed->endpoint;
    tuple.uuid = parsed->uuid;
    tuple.zeroTtl = publish.ttlMs == 0;
    tuple.publisher = publisher;
    tuple.storedAt = t;
    tuple.expiresAt = t + lifetime;
    tuple.sequence = ++sequence_;
    // The caller passes it on and tries it at once.
    tuple.relayedExpiry = tuple.expiresAt;
    noteOrder(publish.key);
    return Stored::New;
}

void GossipTable::noteOrder(const std::string& key)
{
    order_.push_back(key);
    if (order_.size() <= 2 * kMaxTuples)
        return;
    std::vector<std::pair<int64_t, std::string>> byAge;
    for (const auto& [k, tuple] : tuples_)
        byAge.emplace_back(tuple.storedAt, k);
    std::sort(byAge.begin(), byAge.end());
    order_.clear();
    for (auto& entry : byAge)
        order_.push_back(std::move(entry.second));
}

bool GossipTable::makeRoom(LivePeers& live)
{
    // First the tuple tried most often in vain (a live peer's has none).
    auto worst = tuples_.end();
    for (auto it = tuples_.begin(); it != tuples_.end(); ++it)
        if (it->second.failures > 0 &&
            (worst == tuples_.end() || it->second.failures > worst->second.failures ||
             (it->second.failures == worst->second.failures && it->second.sequence < worst->second.sequence)))
            worst = it;
    if (worst != tuples_.end() && !live.peerLivesAt(worst->second.uuid, worst->second.endpoint)) {
        tuples_.erase(worst);
        return true;
    }
    // Live ones go to the back; each key is looked at once at most.
    for (size_t looked = 0, n = order_.size(); looked < n && !order_.empty(); ++looked) {
        std::string key = std::move(order_.front());
        order_.pop_front();
        auto it = tuples_.find(key);
        if (it == tuples_.end())
            continue;
        if (live.peerLivesAt(it->second.uuid, it->second.endpoint)) {
            order_.push_back(std::move(key));
            continue;
        }
        tuples_.erase(it);
        return true;
    }
    return false;
}

void GossipTable::maintain(int64_t t, LivePeers& live, const std::function<bool(const std::string&)>& publisherUp)
{
    for (auto it = tuples_.begin(); it != tuples_.end();) {
        Tuple& tuple = it->second;
        bool alive = live.peerLivesAt(tuple.uuid, tuple.endpoint);
        if (alive)
            tuple.failures = 0;
        // A tuple with a TTL is its publisher's to refresh: anchoring it too
        // would only multiply the refreshes every node passes on.
        if (tuple.zeroTtl && (alive || publisherUp(tuple.publisher)))
            tuple.expiresAt = std::max(tuple.expiresAt, t + kAnchoredTtlMs);
        it = t >= tuple.expiresAt ? tuples_.erase(it) : std::next(it);
    }
    settleContests(t, live);
}

void GossipTable::settleContests(int64_t t, LivePeers& live)
{
    std::unordered_map<std::string, std::vector<Map::iterator>> byEndpoint;
    for (auto it = tuples_.begin(); it != tuples_.end(); ++it)
        byEndpoint[it->second.endpoint].push_back(it);
    for (auto& entry : byEndpoint) {
        const std::string& endpoint = entry.first;
        std::vector<Map::iterator>& sharing = entry.second;
        if (sharing.size() < 2)
            continue;
        auto winner = std::find_if(sharing.begin(), sharing.end(),
                                   [&](Map::iterator it) { return live.peerLivesAt(it->second.uuid, endpoint); });
        if (winner != sharing.end()) {
            for (Map::iterator it : sharing)
                if (it != *winner && t - it->second.storedAt >= kContendMs)
                    tuples_.erase(it);
            continue;
        }
        auto newest = std::max_element(sharing.begin(), sharing.end(), [](Map::iterator a, Map::iterator b) {
            return a->second.storedAt < b->second.storedAt;
        });
        Map::iterator keep = *newest;
        for (Map::iterator it : sharing)
            if (it != keep)
                tuples_.erase(it);
    }
}

std::vector<GossipTable::Relay> GossipTable::dueRelays(int64_t t)
{
    std::vector<Relay> due;
    for (auto& [key, tuple] : tuples_) {
        if (tuple.expiresAt - tuple.relayedExpiry < kRelayGainMs)
            continue;
        tuple.relayedExpiry = tuple.expiresAt;
        due.push_back({outgoing(key, t), tuple.publisher});
    }
    return due;
}

bool GossipTable::tryOne(Map::iterator it, int64_t t, const Attempt& attempt)
{
    Tuple& tuple = it->second;
    GossipTuple named;
    named.uuid = tuple.uuid;
    named.endpoint = tuple.endpoint;
    if (auto parsed = parseTuple(outgoing(it->first, t)))
        named = *parsed;
    if (!attempt(named))
        return false;
    int shift = std::min(tuple.failures, 8);
    tuple.nextAttemptAt = t + std::min(kFirstBackoffMs << shift, kMaxBackoffMs);
    ++tuple.failures;
    return true;
}

void GossipTable::attemptNow(const std::string& key, int64_t t, const Attempt& attempt)
{
    auto it = tuples_.find(key);
    if (it != tuples_.end())
        tryOne(it, t, attempt);
}

void GossipTable::attemptDue(int64_t t, LivePeers& live, const Attempt& attempt)
{
    std::vector<Map::iterator> due;
    for (auto it = tuples_.begin(); it != tuples_.end(); ++it)
        if (t >= it->second.nextAttemptAt && !live.peerLivesAt(it->second.uuid, it->second.endpoint))
            due.push_back(it);
    std::sort(due.begin(), due.end(), [](Map::iterator a, Map::iterator b) {
        if (a->second.failures != b->second.failures)
            return a->second.failures < b->second.failures;
        return a->second.sequence > b->second.sequence;
    });
    if (due.size() > kMaxAttemptsPerRound)
        due.resize(kMaxAttemptsPerRound);
    for (Map::iterator it : due)
        if (!tryOne(it, t, attempt))
            return;
}

GossipMessage GossipTable::outgoing(const std::string& key, int64_t t) const
{
    GossipMessage publish;
    publish.id = GossipId::Publish;
    publish.key = key;
    auto it = tuples_.find(key);
    if (it != tuples_.end()) {
        publish.value = it->second.value;
        publish.ttlMs = remaining(it->second, t);
    }
    return publish;
}

std::vector<GossipMessage> GossipTable::all(int64_t t, LivePeers* live) const
{
    std::vector<GossipMessage> out, alive;
    out.reserve(tuples_.size());
    for (const auto& [key, tuple] : tuples_)
        (live && live->peerLivesAt(tuple.uuid, tuple.endpoint) ? alive : out).push_back(outgoing(key, t));
    out.insert(out.end(), alive.begin(), alive.end());
    return out;
}

}  // namespace zre
