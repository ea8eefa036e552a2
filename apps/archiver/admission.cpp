// Change detection and per-peer budgets of the archiver.
#include "admission.h"

#include <corvo/property.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string_view>

namespace corvo::archiver {

namespace {

uint64_t mix(uint64_t h, uint64_t v)
{
    // A 64-bit combination step (splitmix64 finaliser).
    h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 27;
    return h;
}

uint64_t textHash(const std::string& text)
{
    return std::hash<std::string_view>()(std::string_view(text));
}

uint64_t doubleBits(double v)
{
    if (std::isnan(v))
        v = std::nan("");  // every NaN is the same value in the history
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Reports waiting to be taken (oldest dropped beyond).
constexpr size_t kMaxReports = 100;

}  // namespace

RateBudget::RateBudget(double rate, double burstSeconds)
    : rate(rate), capacity(rate * burstSeconds), tokens(rate * burstSeconds)
{}

bool RateBudget::take(double amount, Clock::time_point now)
{
    if (last != Clock::time_point{}) {
        double elapsed = std::chrono::duration<double>(now - last).count();
        if (elapsed > 0)
            tokens = std::min(capacity, tokens + elapsed * rate);
    }
    last = now;
    if (amount > tokens)
        return false;
    tokens -= amount;
    return true;
}

void RateBudget::giveBack(double amount)
{
    tokens = std::min(capacity, tokens + amount);
}

Fingerprint fingerprint(const Property& p)
{
    Fingerprint f;
    f.type = static_cast<int>(p.type);
    switch (p.type) {
        case Property::INT:
            f.bits = static_cast<uint64_t>(p.intValue);
            break;
        case Property::DOUBLE:
            f.bits = doubleBits(p.doubleValue);
            break;
        case Property::STRING:
            f.bits = textHash(p.strValue);
            f.size = p.strValue.size();
            break;
        case Property::STR_LIST:
            for (const std::string& s : p.strList)
                f.bits = mix(mix(f.bits, textHash(s)), s.size());
            f.size = p.strList.size();
            break;
        case Property::INT_LIST:
            for (int64_t v : p.intList)
                f.bits = mix(f.bits, static_cast<uint64_t>(v));
            f.size = p.intList.size();
            break;
        case Property::DOUBLE_LIST:
            for (double v : p.doubleList)
                f.bits = mix(f.bits, doubleBits(v));
            f.size = p.doubleList.size();
            break;
        default:
            break;
    }
    // The unit is part of what a row records.
    f.bits = mix(f.bits, textHash(p.egu));
    return f;
}

size_t valueBytes(const Property& p)
{
    size_t n = p.name.size() + p.egu.size() + 16;
    switch (p.type) {
        case Property::STRING:
            return n + p.strValue.size();
        case Property::STR_LIST:
            for (const std::string& s : p.strList)
                n += s.size() + 4;
            return n;
        case Property::INT_LIST:
            return n + p.intList.size() * 8;
        case Property::DOUBLE_LIST:
            return n + p.doubleList.size() * 8;
        default:
            return n;
    }
}

Admission::Admission(BudgetLimits limits) : limits(limits) {}

Admission::PeerState& Admission::peer(const std::string& uuid, const std::string& name)
{
    auto found = state.find(uuid);
    if (found != state.end())
        return found->second;
    PeerState& p = state[uuid];
    p.uuid = uuid;
    p.name = name;
    p.rows = RateBudget(limits.rows, limits.burstSeconds);
    p.bytes = RateBudget(limits.bytes, limits.burstSeconds);
    // Programs log in bursts (at start, on a fault): logs save up longer.
    p.logs = RateBudget(limits.logs, limits.burstSeconds * 5);
    p.logBytes = RateBudget(limits.logBytes, limits.burstSeconds * 5);
    return p;
}

bool Admission::admit(PeerState& p, RateBudget& count, RateBudget& size, size_t bytes, Clock::time_point now)
{
    if (count.take(1, now)) {
        if (size.take(static_cast<double>(bytes), now))
            return true;
        count.giveBack(1);
    }
    drop(p, now);
    return false;
}

void Admission::drop(PeerState& p, Clock::time_point now)
{
    ++droppedTotal;
    auto wall = std::chrono::system_clock::now();
    if (p.run.rows == 0) {
        p.run.first = wall;
        if (reports.size() >= kMaxReports)
            reports.erase(reports.begin());
        DropReport r;
        r.peer = p.name;
        r.uuid = p.uuid;
        r.started = true;
        r.first = wall;
        reports.push_back(r);
    }
    ++p.run.rows;
    p.run.last = wall;
    p.run.lastDrop = now;
}

void Admission::endRun(PeerState& p)
{
    if (p.run.rows == 0)
        return;
    if (reports.size() >= kMaxReports)
        reports.erase(reports.begin());
    DropReport r;
    r.peer = p.name;
    r.uuid = p.uuid;
    r.rows = p.run.rows;
    r.first = p.run.first;
    r.last = p.run.last;
    reports.push_back(r);
    p.run = Run{};
}

Admission::Verdict Admission::sample(const std::string& uuid, const std::string& peerName, const Property& property,
                                     Clock::time_point now)
{
    PeerState& p = peer(uuid, peerName);
    Fingerprint f = fingerprint(property);
    auto last = p.values.find(property.name);
    if (last != p.values.end() && last->second == f)
        return UNCHANGED;
    if (!admit(p, p.rows, p.bytes, valueBytes(property), now))
        return OVER_BUDGET;
    if (last != p.values.end())
        last->second = f;
    else
        p.values.emplace(property.name, f);
    return RECORD;
}

Admission::Verdict Admission::status(const std::string& uuid, const std::string& peerName, unsigned int value,
                                     size_t bytes, Clock::time_point now)
{
    PeerState& p = peer(uuid, peerName);
    if (p.hasStatus && p.status == value)
        return UNCHANGED;
    if (!admit(p, p.rows, p.bytes, bytes, now))
        return OVER_BUDGET;
    p.hasStatus = true;
    p.status = value;
    return RECORD;
}

Admission::Verdict Admission::log(const std::string& uuid, const std::string& peerName, size_t bytes,
                                  Clock::time_point now)
{
    PeerState& p = peer(uuid, peerName);
    return admit(p, p.logs, p.logBytes, bytes, now) ? RECORD : OVER_BUDGET;
}

void Admission::forget(const std::string& uuid, Clock::time_point /*now*/)
{
    auto found = state.find(uuid);
    if (found == state.end())
        return;
    endRun(found->second);
    state.erase(found);
}

void Admission::forgetValues()
{
    for (auto& entry : state) {
        entry.second.values.clear();
        entry.second.hasStatus = false;
    }
}

void Admission::retain(const std::function<bool(const std::string& uuid)>& keep)
{
    for (auto it = state.begin(); it != state.end();) {
        if (keep(it->first)) {
            ++it;
            continue;
        }
        endRun(it->second);
        it = state.erase(it);
    }
}

void Admission::endRuns()
{
    for (auto& entry : state)
        endRun(entry.second);
}

std::vector<DropReport> Admission::takeReports(Clock::time_point now, Clock::duration quiet)
{
    for (auto& [uuid, p] : state)
        if (p.run.rows > 0 && now - p.run.lastDrop >= quiet)
            endRun(p);
    std::vector<DropReport> out;
    out.swap(reports);
    return out;
}

}  // namespace corvo::archiver
