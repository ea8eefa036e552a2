// Base of every device server: typed properties, commands that peers run,
// named status values, a configuration file, logging to console and network,
// and the Info that describes it all to every new peer.
#pragma once

#include "corvo/export.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "corvo/app.h"
#include "corvo/command.h"
#include "corvo/confmanager.h"
#include "corvo/diagnostics.h"
#include "corvo/log_throttle.h"
#include "corvo/logger.h"
#include "corvo/property.h"

namespace corvo {

class CORVO_API Daemon : public App {
public:
    explicit Daemon(std::string name);
    virtual ~Daemon();

    void onEnter(std::shared_ptr<Peer> peer) override;
    void onExit(std::shared_ptr<Peer> peer) override;
    void onCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command) override;
    void onPropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change) override;
    // Every request from the network passes here first. A command must be
    // known and its arguments must fit its declaration; a change request
    // must name a writable property and pass Property::checkRequest. A
    // request that fails is refused (below) and reaches neither onCommand
    // nor onPropertyCommand.
    void handleCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command) final;
    void handlePropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change) final;
    // Refuse a request: log it with the requester's name (at most a few
    // records per requester and kind in 10 s, then "repeated N times") and
    // whisper the requester a Response whose `error` is `reason`. For a
    // property, `property_data` holds its name and unchanged value; for a
    // command, `command` holds the command as received (arguments cut to a
    // few KiB).
    void refuseProperty(std::shared_ptr<Peer> peer, const std::string& property, const std::string& reason);
    void refuseCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command, const std::string& reason);
    void onInfo(std::shared_ptr<Peer> peer) override;
    void processOptions() override;
    void beforeInit() override;
    void beforeLoop() override;
    void cleanup() override;
    virtual void sendInfo(std::shared_ptr<Peer> peer);
    // The Info that sendInfo whispers: properties by name, commands, status
    // names by value, current status.
    corvo::proto::Info composeInfo() const;

    // Throws CorvoError("Repeated status value") for a value already present.
    void addStatusStr(int value, std::string text);
    // Makes `value` current and broadcasts it; unknown values are logged.
    void changeStatus(unsigned int value);

    void createProperty(std::string name, corvo::proto::Property_PropertyType type, std::string description,
                        bool writable);
    void createProperty(std::string name, corvo::proto::Property_PropertyType type, std::string egu,
                        std::string description, bool writable);

    void createCommand(std::string name, std::function<void(std::vector<std::string>)> func, std::string description);
    // The variable part holds `nargs` pairs: an ArgType passed as int, then
    // the argument's name as const char*.
    void createCommand(std::string name, std::function<void(std::vector<std::string>)> func, std::string description,
                       int nargs, ...);

    // Moves the process into the background (double fork).
    void doDaemon();

    unsigned int getStatus() const { return status; }
    std::shared_ptr<Property> getProperty(const std::string& name) const;

protected:
    std::map<std::string, std::shared_ptr<Property>> properties;
    Logger logger;
    std::unordered_map<std::string, CommandDef> commands;
    ConfManager confManager;
    bool daemonMode = false;
    std::map<unsigned int, std::string> statusList;
    unsigned int status = 0;

private:
    // The library's own messages go to this daemon's logger while it runs.
    std::unique_ptr<DiagnosticRedirect> diagnosticRedirect;

    // Writes an error record caused by `peer`, rate-limited per peer and kind.
    void logPeerError(const Peer& peer, const char* kind, const std::string& text);
    void writeThrottleSummaries(const std::vector<LogThrottle::Summary>& summaries);

    LogThrottle peerErrors;
};

}  // namespace corvo
