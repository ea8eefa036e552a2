#include "corvo/access_guard.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "corvo/peer.h"
#include "corvo/text.h"

namespace corvo {

namespace {

const char* const kLockName = "lock";
const char* const kUnlockName = "unlock";

// Peer text quoted in a record is cut to this many bytes.
constexpr size_t kQuotedTextBytes = 256;

std::string clipped(const std::string& text)
{
    return text.size() <= kQuotedTextBytes ? text : text.substr(0, kQuotedTextBytes) + "...";
}

std::string nameInThrottleKey(const std::string& key)
{
    size_t first = key.find('/');
    size_t second = first == std::string::npos ? first : key.find('/', first + 1);
    return second == std::string::npos ? key : key.substr(second + 1);
}

// The lease a "lock" argument asks for: 0 is the default lease; anything
// that is not a number of seconds within the bound is -1 (refused).
std::chrono::seconds requestedLease(const std::vector<std::string>& args)
{
    long long seconds = -1;
    try {
        seconds = args.empty() ? -1 : std::stoll(args[0]);
    } catch (const std::exception&) {
        // refused as a lease out of range
    }
    if (seconds < 0 || seconds > AccessControl::kMaxLease.count())
        return std::chrono::seconds(-1);
    return seconds == 0 ? AccessControl::kDefaultLease : std::chrono::seconds(seconds);
}

}  // namespace

AccessGuard::AccessGuard(RecordSink sink, LockListener listener) : sink(std::move(sink)), listener(std::move(listener))
{}

AccessGuard::~AccessGuard() = default;

std::string AccessGuard::findRulesFile(const std::vector<std::string>& confDirs, const std::string& name)
{
    for (auto dir = confDirs.rbegin(); dir != confDirs.rend(); ++dir) {
        struct stat info {};
        std::string candidate = *dir + "/" + name + ".rules";
        if (lstat(candidate.c_str(), &info) == 0)
            return candidate;
    }
    return "";
}

void AccessGuard::configure(bool secured, const std::string& path,
                            std::map<std::string, std::vector<std::string>> groups)
{
    if (!path.empty() && !secured)
        throw AccessError("access rules " + path +
                          " need a secured site (--key): on an open site no identity can be proven");
    std::optional<AccessRules> rules;
    if (!path.empty())
        rules = AccessRules::load(path);
    control.configure(secured, std::move(rules), std::move(groups));
}

bool AccessGuard::isLockCommand(const std::string& command) const
{
    return secured() && (command == kLockName || command == kUnlockName);
}

AccessGuard::Answer AccessGuard::mayWrite(const Peer& peer, const std::string& name)
{
    if (!secured())
        return {};
    if (peer.identity.empty())
        return {"no proven identity"};
    return {control.checkWrite(peer.identity, name, AccessControl::leaseNow())};
}

AccessGuard::Answer AccessGuard::mayRun(const Peer& peer, const std::string& name)
{
    if (!secured())
        return {};
    if (peer.identity.empty())
        return {"no proven identity"};
    return {control.checkCommand(peer.identity, name, isSafetyCommand(name), AccessControl::leaseNow())};
}

AccessGuard::Answer AccessGuard::mayFetch(const Peer& peer, const std::string& name) const
{
    if (!secured())
        return {};
    if (peer.identity.empty())
        return {"no proven identity"};
    return {control.checkFetch(peer.identity, name)};
}

AccessGuard::Answer AccessGuard::lockRequest(const Peer& peer, const std::string& command,
                                             const std::vector<std::string>& args)
{
    auto now = AccessControl::leaseNow();
    const std::string& identity = peer.identity;
    std::string reason, broken, what;
    if (command == kLockName) {
        std::chrono::seconds lease = requestedLease(args);
        what = "lock for " + std::to_string(lease.count()) + " s";
        reason = identity.empty() ? "no proven identity" : control.takeLock(identity, lease, now, broken);
    } else {
        what = "unlock";
        reason = identity.empty() ? "no proven identity" : control.releaseLock(identity, now, broken);
    }
    if (!reason.empty()) {
        record(peer, false, what, reason);
        return {reason};
    }
    record(peer, true, what, broken.empty() ? "" : "breaking the lock of " + broken, !broken.empty());
    publishLock();
    return {};
}

void AccessGuard::identityRevoked(const std::string& identity)
{
    auto now = AccessControl::leaseNow();
    const Lock* held = control.lock(now);
    if (!held || held->holder != identity)
        return;
    std::string broken;
    control.releaseLock(identity, now, broken);  // its own lock: always released
    sink(true, "audit: the lock of " + escapeControl(identity) + " ended: the identity is no longer trusted");
    publishLock();
}

std::string AccessGuard::shownName(const Peer& peer) const
{
    if (!secured())
        return peer.name;
    return peer.name + " [" + (peer.identity.empty() ? "no identity" : peer.identity) + "]";
}

std::string AccessGuard::requester(const Peer& peer) const
{
    std::string where = clipped(peer.name) + " at " + (peer.address.empty() ? "?" : clipped(peer.address));
    if (!secured())
        return where;
    return (peer.identity.empty() ? "no identity" : peer.identity) + " (" + where + ")";
}

void AccessGuard::record(const Peer& peer, bool accepted, const std::string& what, const std::string& reason,
                         bool notable)
{
    LogThrottle::Decision decision =
        records.admit(peer.uuid + "/" + (accepted ? "accepted" : "refused") + "/" + peer.name);
    if (decision.repeated)
        sink(false, "audit: last record of " + escapeControl(peer.name) + " repeated " +
                        std::to_string(decision.repeated) + " times");
    if (!decision.write)
        return;
    std::string text = std::string("audit: ") + (accepted ? "accepted " : "refused ") + what + " by " + requester(peer);
    if (!reason.empty())
        text += (accepted ? ", " : ": ") + clipped(reason);
    sink(!accepted || notable, escapeControl(text));
}

void AccessGuard::writeHeldBack(bool all)
{
    for (const LogThrottle::Summary& summary : all ? records.flush() : records.expire())
        sink(false, "audit: last record of " + escapeControl(nameInThrottleKey(summary.key)) + " repeated " +
                        std::to_string(summary.repeated) + " times");
}

void AccessGuard::start(uv_loop_t* loop)
{
    if (!secured() || !loop || timerOpen)
        return;
    timer = std::make_unique<uv_timer_t>();
    uv_timer_init(loop, timer.get());
    timer->data = this;
    timerOpen = true;
}

void AccessGuard::stop()
{
    writeHeldBack(true);
    if (!timerOpen)
        return;
    uv_timer_stop(timer.get());
    // The handle's memory stays with the guard: the loop finishes closing it
    // on its next run.
    uv_close(reinterpret_cast<uv_handle_t*>(timer.get()), nullptr);
    timerOpen = false;
}

void AccessGuard::publishLock()
{
    auto now = AccessControl::leaseNow();
    const Lock* held = control.lock(now);
    lockHolder = held ? held->holder : "";
    if (listener)
        listener(control.describeLock(now));
    armTimer(now);
}

void AccessGuard::armTimer(AccessControl::Clock::time_point now)
{
    if (!timerOpen)
        return;
    uv_timer_stop(timer.get());
    // The same `now` as the caller's decision: a lock that was in force then
    // gets its timer, even when its lease ends while we get here.
    const Lock* held = control.lock(now);
    if (!held)
        return;
    // Rounded up and a little more: the loop's clock counts whole ms.
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(held->until - now).count() + 2;
    uv_timer_start(timer.get(), onTimer, static_cast<uint64_t>(std::max<long long>(ms, 1)), 0);
}

void AccessGuard::onTimer(uv_timer_t* handle)
{
    auto* guard = static_cast<AccessGuard*>(handle->data);
    auto now = AccessControl::leaseNow();
    if (!guard->control.expire(now))
        return guard->armTimer(now);  // woke a little early
    guard->sink(false, "audit: the lock of " + escapeControl(guard->lockHolder) + " expired");
    guard->publishLock();
}

}  // namespace corvo
