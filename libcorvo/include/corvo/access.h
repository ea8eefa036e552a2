/// @file
/// Who may change what on a daemon of a secured site, and exclusive control
/// ("lock") of a daemon by one identity.
///
/// Access rules live in NAME.rules in the daemon's configuration directories
/// (the last of /etc/corvo, ~/.config/corvo, $CORVO_CONF_PATH that holds
/// one). One rule per line; '#' starts a comment:
///
///     group NAME = WHO[, WHO...]              a group of this file
///     allow WHO[, WHO...] set PATTERN[, ...]  write matching properties
///     allow WHO[, WHO...] run PATTERN[, ...]  run matching commands
///     allow WHO[, WHO...] fetch PATTERN[, ...] fetch matching images (a camera)
///     allow WHO[, WHO...] lock                take exclusive control
///     allow WHO[, WHO...] override            break another identity's lock
///
/// WHO is an identity, \@GROUP (a group of this file or of the identity
/// files) or * (every trusted identity). A group of this file may list
/// groups too, to any depth ("group ops = @night, @operators"; a cycle of
/// groups is harmless). PATTERNs are shell patterns (*, ?, [...]). Rules
/// only grant; whatever no rule grants is refused. Reading
/// properties is never restricted. A fetch PATTERN is matched against the
/// image's name below the camera's image root ("latest" is matched as the
/// name it stands for); '*' also matches '/', so "night/*" grants every image
/// below night/. Example:
///
///     group night = alice, bob
///     allow @night, @operators set exposure, filter, binning
///     allow @night run expose, abort
///     allow * run status
///     allow @night lock
///     allow admin override
///     allow @night, pipeline fetch *
///
/// Without a rules file an open site behaves as it always did and a secured
/// site grants every right to every trusted identity. A rules file on an open
/// site is an error: no identity can be proven there, and the daemon does not
/// start (status 1, with the reason); so does a secured daemon whose rules
/// file cannot be read or parsed.
///
/// Locks. A secured daemon has the read-only property "lock" ("" when free,
/// else "IDENTITY until YYYY-MM-DDTHH:MM:SSZ", broadcast whenever the lock is
/// taken, renewed, released, broken or expires) and the commands "lock
/// SECONDS" (0: 15 minutes, at most 24 hours; the holder renews by locking
/// again) and "unlock". While the lock is held, writes and commands of every
/// other identity are refused, except the daemon's safety commands
/// (Daemon::markSafetyCommand). A timer of the daemon's loop ends the lease;
/// the lock of an identity revoked (its file removed from the key directory)
/// ends at once, since its holder can neither renew nor release it.
/// A lease runs in elapsed time: a step of the daemon's wall clock (an NTP
/// step, `date -s`) neither ends it early nor lengthens it, and its "until"
/// is the end in the wall clock's time when the text is made.
/// A lock does not stop fetching images: a fetch changes nothing.
///
/// Audit. Every request that passes the checks of its form is written as
/// "audit: accepted WHAT by WHO" (info) or "audit: refused WHAT by WHO:
/// REASON" (warning) to the daemon's log, which the site's log group and the
/// archiver keep. WHAT is "set NAME = NEW (was OLD)" or "run COMMAND ARGS",
/// "lock for N s", "unlock", "fetch IMAGE"; WHO is "IDENTITY (NAME at ADDRESS)" on a secured
/// site, "NAME at ADDRESS" on an open one. A broken lock is a warning naming
/// the former holder; an expired lease is recorded too, and the end of a
/// revoked identity's lock is a warning. A malformed request keeps its
/// error record (with the identity on a secured site). Per peer,
/// at most 20 accepted and 20 refused records are written in 10 s; the rest
/// are counted ("audit: last record of NAME repeated N times"). A fetch is
/// recorded once it ends: "audit: accepted fetch IMAGE by WHO, sent B of S
/// bytes from byte O: OUTCOME" (OUTCOME "complete", else a warning with
/// "cancelled by the receiver", "the receiver left" or
/// the error), or "audit: refused fetch NAME by WHO: REASON" for a request
/// the camera refuses (no right, no such image, not a regular file, too
/// many requests, ...).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "corvo/errors.h"  // AccessError
#include "corvo/export.h"

namespace corvo {

/// What a rule grants: the five kinds of "allow" line of a rules file.
enum class Right {
    Set,       ///< write the properties whose names match ("allow WHO set PATTERN")
    Run,       ///< run the commands whose names match ("allow WHO run PATTERN")
    Lock,      ///< take, renew and release exclusive control of the daemon ("allow WHO lock")
    Override,  ///< break or release another identity's lock ("allow WHO override")
    Fetch      ///< fetch the images whose names (below the image root) match ("allow WHO fetch PATTERN")
};

/// The word of a rules file for `right` ("set", "run", "lock", "override", "fetch"),
/// for messages and audit records. A static string; never null.
CORVO_API const char* rightName(Right right);

/// The parsed rules of one NAME.rules file (see the file's description): its
/// "allow" rules and its local groups. Immutable once parsed, so a const
/// object may be read from any thread; a daemon keeps one per process.
class CORVO_API AccessRules {
public:
    /// Bounds on a rules file: its size, its rules, the names in one rule.
    /// A file beyond any of them is refused as a whole (AccessError).
    /// Bytes of one rules file.
    static constexpr size_t kMaxFileSize = 64 * 1024;
    /// Rules and distinct local groups of one file, together.
    static constexpr size_t kMaxRules = 4096;
    /// Identities, groups and patterns named on one line.
    static constexpr size_t kMaxWordsPerRule = 256;

    /// Parses the text of a rules file; `source` names it in error messages.
    /// Throws AccessError "SOURCE:LINE: why" at the first bad line.
    static AccessRules parse(const std::string& text, const std::string& source);
    /// Reads and parses a file (not following a symbolic link); throws
    /// AccessError when it cannot be read or is bad.
    static AccessRules load(const std::string& path);

    /// True when some rule grants `right` on `name` (a property for Set, a
    /// command for Run, an image below the root for Fetch, ignored for Lock
    /// and Override) to `identity`.
    /// `groups`: the identity's groups from the key directory, for \@GROUP
    /// names that this file does not define itself.
    bool allows(const std::string& identity, const std::vector<std::string>& groups, Right right,
                const std::string& name) const;
    /// Number of "allow" rules parsed (group lines not counted).
    size_t size() const { return rules.size(); }

private:
    struct Rule {
        std::vector<std::string> who;
        Right right = Right::Set;
        std::vector<std::string> patterns;
    };
    // Whether the rule's WHO names `identity`, itself, through "*" or
    // through a group it belongs to (see inGroup).
    bool matchesWho(const Rule& rule, const std::string& identity, const std::vector<std::string>& groups,
                    std::set<std::string>& explored) const;
    // Whether `identity` belongs to `group`: one of its key-directory
    // `groups`, or a group of this file that lists it, directly or through
    // the groups it lists (of the key directory or of this file, to any
    // depth). `explored` holds the groups of this file already searched in
    // vain; they are not searched again.
    bool inGroup(const std::string& group, const std::string& identity, const std::vector<std::string>& groups,
                 std::set<std::string>& explored) const;
    // Whether the rule's patterns match `name` (a rule without patterns
    // grants whatever it grants on no name: lock, override).
    static bool grantsName(const Rule& rule, const std::string& name);

    std::vector<Rule> rules;
    std::map<std::string, std::set<std::string>> localGroups;
};

/// The lock of one daemon: a lease held by an identity.
/// A lock lasts until `until` unless its holder renews or releases it.
struct Lock {
    std::string holder;                           ///< identity that holds the lock; never empty
    std::chrono::system_clock::time_point until;  ///< end of the lease, in the time of `now` arguments
};

/// The decisions of one daemon. Each check returns the empty string when the
/// request may go on, else the reason to refuse it. Not thread-safe: the
/// daemon uses it from its loop thread only. Times are passed in so that
/// a lock's expiry does not depend on when the check happens to run.
class CORVO_API AccessControl {
public:
    /// Lease of a "lock 0" request: 15 minutes.
    static constexpr std::chrono::seconds kDefaultLease{15 * 60};
    /// Longest lease a lock request may ask for: 24 hours.
    static constexpr std::chrono::seconds kMaxLease{24 * 60 * 60};

    /// The clock of leases and of every `now` argument (wall time, UTC).
    /// A daemon passes leaseNow(), so that its leases run in elapsed time.
    using Clock = std::chrono::system_clock;

    /// The `now` of a daemon's decisions: the wall clock read once, then
    /// advanced by the monotonic clock, so that a step of the wall clock
    /// neither ends a lease nor lengthens it. Texts of the lock show the
    /// lease's end in the wall clock's time (the wall clock now plus what is
    /// left of the lease at `now`).
    static Clock::time_point leaseNow();

    /// Sets what the checks decide on, replacing any earlier configuration
    /// and dropping the lock in force. `rules` absent: every trusted identity
    /// has every right on a secured site. `groupsByIdentity`: the groups of
    /// each identity from the key directory. Open site: `rules` must be
    /// empty (throws AccessError otherwise).
    void configure(bool secured, std::optional<AccessRules> rules,
                   std::map<std::string, std::vector<std::string>> groupsByIdentity);

    /// True when configured for a secured site (identities are proven).
    bool secured() const { return isSecured; }
    /// True when a rules file was given; otherwise nothing is restricted.
    bool hasRules() const { return rules.has_value(); }

    /// Whether `identity` may write `property` now: it needs the Set right
    /// on it and must not be locked out by another identity's lock. Empty
    /// when allowed, else the reason. Always allowed on an open site.
    std::string checkWrite(const std::string& identity, const std::string& property, Clock::time_point now);
    /// Whether `identity` may run `command` now: it needs the Run right on
    /// it and must not be locked out. Empty when allowed, else the reason.
    /// Safety commands are never blocked by a lock (rights still apply).
    std::string checkCommand(const std::string& identity, const std::string& command, bool safety,
                             Clock::time_point now);

    /// Whether `identity` may fetch the image `name` (below the image root):
    /// it needs the Fetch right on it; a lock does not matter. Empty when
    /// allowed, else the reason. Always allowed on an open site.
    std::string checkFetch(const std::string& identity, const std::string& name) const;

    /// Takes or renews the lock for `lease` (1 s to kMaxLease; the daemon
    /// turns "lock 0" into kDefaultLease); needs a secured site and the Lock
    /// right. Breaks another
    /// identity's lock with the override right (`broken` then names its
    /// holder, else it is left empty). Empty on success, else the reason.
    std::string takeLock(const std::string& identity, std::chrono::seconds lease, Clock::time_point now,
                         std::string& broken);
    /// Releases the holder's lock, or breaks it with the override right
    /// (`broken` then names the former holder). Empty on success, else the
    /// reason (no lock, or another identity's lock without the right).
    std::string releaseLock(const std::string& identity, Clock::time_point now, std::string& broken);
    /// Drops the lock when its lease ended at or before `now`; true when it
    /// did (the caller records and broadcasts the change).
    bool expire(Clock::time_point now);
    /// The lock in force at `now`, or null when free. The pointer is owned
    /// by this object and valid until its next non-const call.
    const Lock* lock(Clock::time_point now) const;
    /// "" when free, else "HOLDER until YYYY-MM-DDTHH:MM:SSZ".
    std::string describeLock(Clock::time_point now) const;

private:
    bool allowed(const std::string& identity, Right right, const std::string& name) const;
    std::string lockedOut(const std::string& identity, Clock::time_point now) const;

    bool isSecured = false;
    std::optional<AccessRules> rules;
    std::map<std::string, std::vector<std::string>> groups;
    std::optional<Lock> current;
};

namespace detail {
/// The clocks the lock reads: the wall clock for the times it shows and for
/// the start of leaseNow(), the monotonic clock for elapsed time. A test
/// replaces them to step the wall clock; an empty function is the real clock.
struct AccessClocks {
    std::function<std::chrono::system_clock::time_point()> wall;
    std::function<std::chrono::steady_clock::time_point()> steady;
};
/// Replaces the clocks of every AccessControl of the process (tests only).
CORVO_API void setAccessClocks(AccessClocks clocks);
}  // namespace detail

}  // namespace corvo
