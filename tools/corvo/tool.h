// The operator's command-line tool: lists the programs of a site, reads and
// writes their properties, runs their commands and follows their state and
// logs. One subcommand per run; the event loop runs until the subcommand has
// finished (or, for watch and log, until SIGINT).
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "corvo/client.h"
#include "corvo/peer.h"

namespace corvo::tool {

// Exit statuses scripts can rely on (1 is the option parser's: a bad option
// or --help).
enum ExitStatus {
    EXIT_OK = 0,
    EXIT_PARSE = 1,
    EXIT_USAGE = 2,
    EXIT_NOT_FOUND = 3,
    EXIT_TIMEOUT = 4,
    EXIT_REFUSED = 5,
};

using Clock = std::chrono::steady_clock;

class CorvoTool;

struct KeysOptions {
    std::string directory;  // --keys, else the default key directory
    std::string names;      // --names: comma-separated name patterns
    std::string groups;     // --groups: comma-separated group names
    bool json = false;
};

// One subcommand's work, driven by the tool's event loop.
class Task {
public:
    virtual ~Task() = default;
    // Join the site's log group before the node starts.
    virtual bool wantsLog() const { return false; }
    // Runs until the task finishes; the network has been drained before.
    virtual void onIdle(CorvoTool& /*tool*/) {}
    virtual void onProperty(CorvoTool& /*tool*/, Peer& /*peer*/, const Property& /*property*/) {}
    virtual void onStatus(CorvoTool& /*tool*/, Peer& /*peer*/, unsigned int /*status*/) {}
    virtual void onLog(CorvoTool& /*tool*/, Peer& /*peer*/, const corvo::proto::Log& /*log*/) {}
    virtual void onEnter(CorvoTool& /*tool*/, Peer& /*peer*/) {}
    virtual void onExit(CorvoTool& /*tool*/, Peer& /*peer*/) {}
    virtual void onResponse(CorvoTool& /*tool*/, Peer& /*peer*/, const corvo::proto::Response& /*response*/) {}
    virtual void onImageMessage(CorvoTool& /*tool*/, Peer& /*peer*/, uint8_t /*tag*/, const unsigned char* /*data*/,
                                size_t /*size*/)
    {}
    // SIGINT before the task finished: the exit status to end with.
    virtual int interruptedStatus() const { return EXIT_TIMEOUT; }
    // SIGINT before the task finished: last words to peers.
    virtual void onInterrupt(CorvoTool& /*tool*/) {}
    // After onInterrupt: give what it sent time to leave.
    virtual bool lingers() const { return false; }
};

// Settings of one run, from the command line.
struct ToolOptions {
    double timeout = 5.0;       // seconds to wait for a peer or a confirmation
    bool timeoutGiven = false;  // watch and log run unbounded unless given
    bool json = false;
    long count = 0;            // watch/log: stop after this many records (0: never)
    std::string waitProperty;  // cmd: wait for this property's next broadcast
    long leaseSeconds = 0;     // lock --for (0: the daemon's default; --hold: 60)
    bool hold = false;         // lock --hold
    std::string output;        // fetch -o: file or directory
    bool follow = false;       // fetch --follow: each announced image
    std::string compression;   // fetch --compress: chunk encoding asked for ("": raw)
};

class CorvoTool : public Client {
public:
    CorvoTool();

    // Splits the command line into options and subcommand words, runs the
    // subcommand and returns the process exit status.
    int main(int argc, char** argv);

    // Ends the run with `status` at the end of this loop turn.
    void finish(int status);
    bool finished() const { return done; }

    // A known member of the site called `nameOrUuid` whose description (Info)
    // has arrived, else null.
    std::shared_ptr<Peer> describedPeer(const std::string& nameOrUuid) const;
    // Like describedPeer, without requiring the description.
    std::shared_ptr<Peer> knownPeer(const std::string& nameOrUuid) const;
    // The members that `nameOrUuid` may mean: the one with that UUID, else
    // those with that name, newest first. Members the node reported silent
    // are left out while another one answers.
    std::vector<std::shared_ptr<Peer>> candidates(const std::string& nameOrUuid) const;
    // The members of the site seen so far (entered and not left).
    std::vector<std::shared_ptr<Peer>> sitePeers() const;
    bool hasInfo(const Peer& peer) const { return described.count(peer.uuid) != 0; }

    Network& net() { return *network; }
    const ToolOptions& options() const { return opts; }
    Clock::time_point started() const { return startTime; }
    Clock::time_point lastChange() const { return lastPeerChange; }
    Clock::time_point deadline() const;

    void processOptions() override;
    void beforeLoop() override;
    void onIdle() override;
    void cleanup() override;

    void onEnter(std::shared_ptr<Peer> peer) override;
    void onExit(std::shared_ptr<Peer> peer) override;
    void onInfo(std::shared_ptr<Peer> peer) override;
    void onProperty(std::shared_ptr<Peer> peer, const Property& property) override;
    void onStatus(std::shared_ptr<Peer> peer, unsigned int status) override;
    void onLog(std::shared_ptr<Peer> peer, const corvo::proto::Log& log) override;
    void onResponse(std::shared_ptr<Peer> peer, const corvo::proto::Response& response) override;
    void onImageMessage(std::shared_ptr<Peer> peer, uint8_t tag, const unsigned char* data, size_t size) override;

private:
    // The options of corvo keys, read without starting the program.
    KeysOptions keysOptions(int argc, char** argv);

    std::unique_ptr<Task> task;
    std::string subcommand;
    ToolOptions opts;
    int exitStatus = EXIT_OK;
    bool done = false;
    bool loopStarted = false;
    Clock::time_point startTime;
    Clock::time_point lastPeerChange;
    std::set<std::string> members;    // UUIDs that joined the site group
    std::set<std::string> described;  // UUIDs whose Info arrived
};

// Builds the task for the subcommand words (words[0] is the subcommand).
// On a usage error prints one line to standard error and returns null with
// `status` set.
std::unique_ptr<Task> makeTask(const std::vector<std::string>& words, int& status);

// corvo fetch CAMERA [NAME|latest] [--follow] (fetch.cpp); null with
// `status` on a usage error.
std::unique_ptr<Task> makeFetchTask(const std::vector<std::string>& args, int& status);

// Seconds of a duration "90", "90s", "30m" or "2h" (1 s to 24 h), else -1.
long parseDuration(const std::string& text);

// Writes the subcommands and exit statuses to `out`.
void printUsage(std::FILE* out);

// corvo keys new NAME / corvo keys list; returns the exit status.
int runKeys(const std::vector<std::string>& words, const KeysOptions& options);

// Prints the header cards of a FITS file; returns the exit status.
int dumpFitsHeader(const std::string& path);

}  // namespace corvo::tool
