/// @file
/// The access side of a daemon: who may do what, the lock, and the audit
/// trail of every decision (see corvo/access.h for the rules, the lock and
/// the audit records).
#pragma once

#include "corvo/export.h"

#include <uv.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "corvo/access.h"
#include "corvo/log_throttle.h"

namespace corvo {

class Peer;

/// Decides whether a peer may change a property or run a command, keeps the
/// lock with its lease timer, and writes the audit records, throttled per
/// peer. The daemon asks it and acts on the answers; the guard knows nothing
/// of the daemon, its network or its tables.
class CORVO_API AccessGuard {
public:
    /// Where the guard's records go: `warning` false for an info record.
    using RecordSink = std::function<void(bool warning, const std::string& text)>;
    /// Told the lock's new description ("" when free) whenever it changes.
    using LockListener = std::function<void(const std::string& description)>;

    /// The answer to "may this peer do this?": allowed when `reason` is empty.
    struct Answer {
        std::string reason;  ///< why it is refused; empty when allowed
        /// True when the request may go on.
        bool allowed() const { return reason.empty(); }
    };

    /// A guard whose records go to `sink` and lock changes to `listener`.
    AccessGuard(RecordSink sink, LockListener listener);
    ~AccessGuard();
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;

    /// The rules file of component `name`: NAME.rules in the last of
    /// `confDirs` that holds one, else empty.
    static std::string findRulesFile(const std::vector<std::string>& confDirs, const std::string& name);
    /// Loads the rules of `path` (none when empty) for a secured or open
    /// site; `groups` are the key directory's groups by identity. Throws
    /// AccessError when a rules file is given on an open site or cannot be
    /// used.
    void configure(bool secured, const std::string& path, std::map<std::string, std::vector<std::string>> groups);
    /// True on a secured site.
    bool secured() const { return control.secured(); }
    /// The rules and the lock as decided so far.
    const AccessControl& accessControl() const { return control; }

    /// Marks a safety command (abort, stop): a lock never blocks it.
    void markSafetyCommand(const std::string& command) { safety.insert(command); }
    /// True for a command marked above.
    bool isSafetyCommand(const std::string& command) const { return safety.count(command) != 0; }
    /// True for the guard's own commands, "lock" and "unlock", on a secured
    /// site.
    bool isLockCommand(const std::string& command) const;

    /// May `peer` change property `name`? By rights and by the lock.
    Answer mayWrite(const Peer& peer, const std::string& name);
    /// May `peer` run command `name`? By rights and by the lock.
    Answer mayRun(const Peer& peer, const std::string& name);
    /// May `peer` fetch the image `name` (below the image root)? By rights
    /// only: a lock does not stop fetching.
    Answer mayFetch(const Peer& peer, const std::string& name) const;
    /// Takes, renews or releases the lock for `peer` ("lock" with its lease
    /// argument in seconds, or "unlock"); records the outcome and, when it
    /// changed, tells the lock listener.
    Answer lockRequest(const Peer& peer, const std::string& command, const std::vector<std::string>& args);

    /// `identity` is no longer trusted (its identity file left the key
    /// directory): a lock it holds ends at once, since it can neither renew
    /// nor release it, and would shut every other identity out until its
    /// lease ends. Records "audit: the lock of IDENTITY ended: the identity
    /// is no longer trusted" (a warning) and tells the lock listener. Does
    /// nothing when another identity, or none, holds the lock.
    void identityRevoked(const std::string& identity);

    /// Records one decision: "audit: accepted WHAT by WHO" (info; a warning
    /// when `notable`) or "audit: refused WHAT by WHO: REASON" (warning), at
    /// most kAuditBurst per peer and kind in 10 s, then counted.
    void record(const Peer& peer, bool accepted, const std::string& what, const std::string& reason = "",
                bool notable = false);
    /// Writes the counts of records held back longer than the throttle's
    /// window; `all` writes every count (at shutdown).
    void writeHeldBack(bool all = false);

    /// The requester in refusal records: its name, with the identity on a
    /// secured site.
    std::string shownName(const Peer& peer) const;

    /// Starts the lease timer on `loop` (secured site); stop() closes it.
    void start(uv_loop_t* loop);
    /// Stops and closes the lease timer; later calls do nothing.
    void stop();

    /// Records per peer and kind written in 10 s before they are counted.
    static constexpr size_t kAuditBurst = 20;

private:
    std::string requester(const Peer& peer) const;
    void publishLock();
    void armTimer(AccessControl::Clock::time_point now);
    static void onTimer(uv_timer_t* timer);

    RecordSink sink;
    LockListener listener;
    AccessControl control;
    std::set<std::string> safety;
    LogThrottle records{kAuditBurst};
    std::unique_ptr<uv_timer_t> timer;
    bool timerOpen = false;
    std::string lockHolder;  // of the lock last published, for its expiry record
};

}  // namespace corvo
