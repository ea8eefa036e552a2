// corvo-alarmd: the alarm daemon of a site. It watches the properties,
// statuses and presence of the site's daemons against the rules of its
// rules file, keeps each rule's alarm state, publishes the states, runs the
// rules' actions on peers and notifies (see apps/alarmd/README.md).
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <corvo/daemon.h>

#include "engine.h"
#include "notifier.h"

namespace corvo::alarmd {

class Alarmd : public Daemon {
public:
    Alarmd();

    static constexpr unsigned int STATUS_MINOR = 1;
    static constexpr unsigned int STATUS_MAJOR = 2;
    // Actions waiting for their peer or for a refusal, at most.
    static constexpr size_t kMaxPendingActions = 4096;
    // Bytes in the "alarms" list (then one last item says how many rules
    // were left out) and in one broadcast of "changes" (the rest goes in the
    // next ones), counted as receivers count a list: the JSON and
    // kBytesPerItem an entry. Each stays under the 4 MiB a daemon publishes
    // of one value (kMaxOwnValueBytes), both together well under what
    // receivers keep.
    static constexpr size_t kMaxAlarmsBytes = 3 * 1024 * 1024;
    static constexpr size_t kMaxChangesBytes = 3 * 1024 * 1024;
    static constexpr size_t kBytesPerItem = 64;

    void beforeInit() override;
    void beforeLoop() override;
    void onIdle() override;
    void cleanup() override;

    void onEnter(std::shared_ptr<Peer> peer) override;
    void onExit(std::shared_ptr<Peer> peer) override;
    void onInfo(std::shared_ptr<Peer> peer) override;
    void onProperty(std::shared_ptr<Peer> peer, const Property& property) override;
    void onStatus(std::shared_ptr<Peer> peer, unsigned int status) override;
    void onResponse(std::shared_ptr<Peer> peer, const corvo::proto::Response& response) override;
    void onCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command) override;
    void sendInfo(std::shared_ptr<Peer> peer) override;

private:
    struct ActionJob {
        size_t rule = 0;
        size_t index = 0;      // in the rule's actions
        uint64_t episode = 0;  // of the rule's alarm it belongs to
        std::string peer;
        std::vector<std::string> words;
        int attempts = 0;
        double nextTry = 0;
        bool sent = false;
        double sentAt = 0;
        std::string uuid;  // of the peer it was sent to
    };

    // The engine's clock: the wall clock at the start advanced by the
    // monotonic clock.
    static double now();
    static double wallNow();
    // Follows a step of the wall clock (wallAhead).
    void followWallClock();
    void declareInterface();
    std::string configValue(const std::string& option, const std::string& fallback);
    void loadRules();
    void restoreState();
    // Renames the state file that could not be read (wholly) to
    // PATH.unreadable[.N]; returns the new name or "".
    std::string setStateFileAside();
    void saveState(bool force);
    // Runs `change` for the requester of the command being handled; refuses
    // the command with the reason `change` returns.
    void operatorCommand(const std::function<std::string(const std::string& by)>& change);
    std::string requesterName() const;
    void observe(const Peer& peer, const Property& property);
    void heard(const Peer& peer);
    void checkSilence();
    void handleTransitions();
    void logTransition(const Transition& t);
    void queueActions(size_t rule);
    void runActions();
    void setOutcome(const ActionJob& job, const std::string& outcome);
    // Broadcasts "changes" and the counts (at most every 5 ms); the whole
    // "alarms" list at most once a second.
    void publish(bool force);
    void publishCounts(bool force);
    void refreshList();
    void broadcastList();

    std::string rulesPath;
    std::string statePath;
    std::unique_ptr<Engine> engine;
    // Seconds the wall clock is ahead of now(), as of its last step.
    double wallAhead = 0;
    std::unique_ptr<Notifier> notifier;
    std::unordered_map<std::string, std::set<std::string>> present;  // peer name -> UUIDs
    std::deque<ActionJob> actions;
    std::vector<uint64_t> episodes;       // per rule: alarms raised so far
    std::map<size_t, std::string> shown;  // JSON of every rule that is not normal
    std::set<size_t> unsentChanges;       // changed rules still to be broadcast in "changes"
    bool publishWanted = true;
    bool listDirty = true;
    std::chrono::steady_clock::time_point lastTick, lastPublish, lastSave, lastListBroadcast;
    std::string savedText;
    std::string saveProblem;   // why the last save failed; "" once one succeeded
    std::string stateProblem;  // why the state file was not (wholly) read back
    bool saveRefused = false;  // the unreadable state file could not be set aside
    std::shared_ptr<Peer> commandPeer;
    const corvo::proto::Command* commandBeingRun = nullptr;
};

}  // namespace corvo::alarmd
