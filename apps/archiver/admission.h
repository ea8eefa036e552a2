// What the archiver lets into the history, per peer: a value only when it
// differs from the last one recorded for that peer and property (or is the
// first), a status only when it changed, and no more rows and bytes a second
// than the peer's budget. A peer over its budget loses its own rows, never
// another peer's; the drops are counted per run so that they can be
// reported.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvo {
class Property;
}

namespace corvo::archiver {

using Clock = std::chrono::steady_clock;

// A token bucket: `rate` a second, up to `burst` seconds' worth saved up.
class RateBudget {
public:
    RateBudget(double rate = 0, double burstSeconds = 2.0);
    // Takes `amount` if it is there (refilling first); else takes nothing.
    bool take(double amount, Clock::time_point now);
    // Puts back what a later check refused (the row was not recorded).
    void giveBack(double amount);

private:
    double rate;
    double capacity;
    double tokens;
    Clock::time_point last{};
};

// A short stand-in for a value: equal values have equal fingerprints, and
// different ones different fingerprints but for a 64-bit hash collision of
// their text (which can only hide a change of the peer's own).
struct Fingerprint {
    int type = -1;
    uint64_t bits = 0;
    uint64_t size = 0;
    bool operator==(const Fingerprint& o) const { return type == o.type && bits == o.bits && size == o.size; }
};
Fingerprint fingerprint(const Property& property);
// The bytes a property's value takes in the history (approximately).
size_t valueBytes(const Property& property);

struct BudgetLimits {
    double rows = 1000;           // samples and status changes a second
    double bytes = 1024 * 1024;   // of their values and names
    double logs = 20;             // log records a second
    double logBytes = 64 * 1024;  // of their text
    double burstSeconds = 2.0;    // saved up at most (logs: five times this)
};

// A run of drops of one peer, ended when nothing was dropped for a while.
struct DropReport {
    std::string peer;
    std::string uuid;      // of the peer
    bool started = false;  // the run begins (else it ended)
    int64_t rows = 0;      // dropped in the run (when it ended)
    std::chrono::system_clock::time_point first, last;
};

class Admission {
public:
    explicit Admission(BudgetLimits limits = {});

    enum Verdict { RECORD, UNCHANGED, OVER_BUDGET };

    // A property value of this peer (by UUID): record it? A recorded value
    // becomes the one later values are compared with.
    Verdict sample(const std::string& uuid, const std::string& peerName, const Property& property,
                   Clock::time_point now);
    Verdict status(const std::string& uuid, const std::string& peerName, unsigned int value, size_t bytes,
                   Clock::time_point now);
    Verdict log(const std::string& uuid, const std::string& peerName, size_t bytes, Clock::time_point now);
    // The peer left: its state goes (and its run of drops ends).
    void forget(const std::string& uuid, Clock::time_point now);
    // Rows admitted here were lost later (the writer's buffer was full):
    // every value and status counts as never recorded, so that the next one
    // seen is recorded even if it did not change. The budgets stay.
    void forgetValues();
    // Forgets the state of every peer for which `keep` (given its UUID) is
    // false, ending its run of drops as `forget` does: for peers that left
    // the table without a farewell.
    void retain(const std::function<bool(const std::string& uuid)>& keep);

    // Runs of drops that began, and those that ended (nothing dropped for
    // `quiet`), since the last call.
    std::vector<DropReport> takeReports(Clock::time_point now, Clock::duration quiet = std::chrono::seconds(5));
    // Ends every run (at stop), so that the next takeReports has them.
    void endRuns();
    int64_t dropped() const { return droppedTotal; }
    size_t peers() const { return state.size(); }

private:
    struct Run {
        int64_t rows = 0;
        std::chrono::system_clock::time_point first, last;
        Clock::time_point lastDrop{};
    };
    struct PeerState {
        std::string uuid;
        std::string name;
        std::unordered_map<std::string, Fingerprint> values;
        bool hasStatus = false;
        unsigned int status = 0;
        RateBudget rows, bytes, logs, logBytes;
        Run run;
    };

    PeerState& peer(const std::string& uuid, const std::string& name);
    bool admit(PeerState& p, RateBudget& count, RateBudget& size, size_t bytes, Clock::time_point now);
    void drop(PeerState& p, Clock::time_point now);
    void endRun(PeerState& p);

    BudgetLimits limits;
    std::unordered_map<std::string, PeerState> state;
    std::vector<DropReport> reports;
    int64_t droppedTotal = 0;
};

}  // namespace corvo::archiver
