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
///     allow WHO[, WHO...] lock                take exclusive control
///     allow WHO[, WHO...] override            break another identity's lock
///
/// WHO is an identity, @GROUP (a group of this file or of the identity
/// files) or * (every trusted identity). PATTERNs are shell patterns (*, ?,
/// [...]). Rules only grant; whatever no rule grants is refused. Reading is
/// never restricted. Example:
///
///     group night = alice, bob
///     allow @night, @operators set exposure, filter, binning
///     allow @night run expose, abort
///     allow * run status
///     allow @night lock
///     allow admin override
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
/// (Daemon::markSafetyCommand). A timer of the daemon's loop ends the lease.
///
/// Audit. Every request that passes the checks of its form is written as
/// "audit: accepted WHAT by WHO" (info) or "audit: refused WHAT by WHO:
/// REASON" (warning) to the daemon's log, which the site's log group and the
/// archiver keep. WHAT is "set NAME = NEW (was OLD)" or "run COMMAND ARGS",
/// "lock for N s", "unlock"; WHO is "IDENTITY (NAME at ADDRESS)" on a secured
/// site, "NAME at ADDRESS" on an open one. A broken lock is a warning naming
/// the former holder; an expired lease is recorded too. A malformed request
/// keeps its error record (with the identity on a secured site). Per peer,
/// at most 20 accepted and 20 refused records are written in 10 s; the rest
/// are counted ("audit: last record of NAME repeated N times").
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "corvo/errors.h"  // AccessError
#include "corvo/export.h"

namespace corvo {

enum class Right { Set, Run, Lock, Override };

CORVO_API const char* rightName(Right right);

class CORVO_API AccessRules {
public:
    /// Bounds on a rules file: its size, its rules, the names in one rule.
    static constexpr size_t kMaxFileSize = 64 * 1024;
    static constexpr size_t kMaxRules = 4096;
    static constexpr size_t kMaxWordsPerRule = 256;

    /// Throws AccessError "SOURCE:LINE: why" at the first bad line.
    static AccessRules parse(const std::string& text, const std::string& source);
    /// Reads and parses a file (not following a symbolic link); throws
    /// AccessError when it cannot be read or is bad.
    static AccessRules load(const std::string& path);

    /// `groups`: the identity's groups from the key directory.
    bool allows(const std::string& identity, const std::vector<std::string>& groups, Right right,
                const std::string& name) const;
    size_t size() const { return rules.size(); }

private:
    struct Rule {
        std::vector<std::string> who;
        Right right = Right::Set;
        std::vector<std::string> patterns;
    };
    bool matchesWho(const Rule& rule, const std::string& identity, const std::vector<std::string>& groups) const;

    std::vector<Rule> rules;
    std::map<std::string, std::set<std::string>> localGroups;
};

/// The lock of one daemon: a lease held by an identity.
struct Lock {
    std::string holder;
    std::chrono::system_clock::time_point until;
};

/// The decisions of one daemon. Each check returns the empty string when the
/// request may go on, else the reason to refuse it.
class CORVO_API AccessControl {
public:
    static constexpr std::chrono::seconds kDefaultLease{15 * 60};
    static constexpr std::chrono::seconds kMaxLease{24 * 60 * 60};

    using Clock = std::chrono::system_clock;

    /// Open site: `rules` must be empty (throws AccessError otherwise).
    void configure(bool secured, std::optional<AccessRules> rules,
                   std::map<std::string, std::vector<std::string>> groupsByIdentity);

    bool secured() const { return isSecured; }
    bool hasRules() const { return rules.has_value(); }

    std::string checkWrite(const std::string& identity, const std::string& property, Clock::time_point now);
    /// Safety commands are never blocked by a lock (rights still apply).
    std::string checkCommand(const std::string& identity, const std::string& command, bool safety,
                             Clock::time_point now);

    /// Takes or renews the lock for `lease`; breaks another identity's lock
    /// with the override right (`broken` then names its holder).
    std::string takeLock(const std::string& identity, std::chrono::seconds lease, Clock::time_point now,
                         std::string& broken);
    /// Releases the holder's lock, or breaks it with the override right.
    std::string releaseLock(const std::string& identity, Clock::time_point now, std::string& broken);
    /// Drops an expired lock; true when it did.
    bool expire(Clock::time_point now);
    /// The lock in force, if any.
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

}  // namespace corvo
