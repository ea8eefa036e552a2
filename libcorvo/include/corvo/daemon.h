/// @file
/// Base of every device server: typed properties, commands that peers run,
/// named status values, a configuration file, logging to console and network,
/// and the Info that describes it all to every new peer.
#pragma once

#include "corvo/export.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "corvo/access_guard.h"
#include "corvo/app.h"
#include "corvo/command.h"
#include "corvo/confmanager.h"
#include "corvo/diagnostics.h"
#include "corvo/log_throttle.h"
#include "corvo/logger.h"
#include "corvo/property.h"
#include "corvo/typed_command.h"

namespace corvo {

class CORVO_API Daemon : public App, public PropertyOwner {
public:
    explicit Daemon(std::string name);
    virtual ~Daemon();

    void onEnter(std::shared_ptr<Peer> peer) override;
    void onExit(std::shared_ptr<Peer> peer) override;
    void onCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command) override;
    void onPropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change) override;
    /// Every request from the network passes here first. A command must be
    /// known and its arguments must fit its declaration; a change request
    /// must name a writable property and pass Property::checkRequest. A
    /// request that fails is refused (below) and reaches neither onCommand
    /// nor onPropertyCommand.
    void handleCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command) final;
    void handlePropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change) final;
    /// Refuse a request: log it with the requester's name (at most a few
    /// records per requester and kind in 10 s, then "repeated N times") and
    /// whisper the requester a Response whose `error` is `reason`. For a
    /// property, `property_data` holds its name and unchanged value; for a
    /// command, `command` holds the command as received (arguments cut to a
    /// few KiB).
    void refuseProperty(std::shared_ptr<Peer> peer, const std::string& property, const std::string& reason);
    void refuseCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command, const std::string& reason);

    /// Marks a command as a safety command (abort, stop): a lock never
    /// blocks it. The access rules still decide who may run it.
    void markSafetyCommand(const std::string& command);
    bool isSafetyCommand(const std::string& command) const { return guard.isSafetyCommand(command); }
    /// Who may change what, and the lock (see access.h). On a secured site
    /// the daemon has the read-only property "lock" ("" when free, else
    /// "IDENTITY until YYYY-MM-DDTHH:MM:SSZ") and the commands "lock"
    /// (lease seconds, 0: 15 min) and "unlock", handled here.
    const AccessControl& accessControl() const { return guard.accessControl(); }
    void onInfo(std::shared_ptr<Peer> peer) override;
    void processOptions() override;
    void beforeInit() override;
    void beforeLoop() override;
    void cleanup() override;
    virtual void sendInfo(std::shared_ptr<Peer> peer);
    /// The Info that sendInfo whispers: properties by name, commands, status
    /// names by value, current status.
    corvo::proto::Info composeInfo() const;

    /// Throws CorvoError("Repeated status value") for a value already present.
    void addStatusStr(int value, std::string text);
    /// Makes `value` current and broadcasts it; unknown values are logged.
    void changeStatus(unsigned int value);

    void createProperty(std::string name, corvo::proto::Property_PropertyType type, std::string description,
                        bool writable);
    void createProperty(std::string name, corvo::proto::Property_PropertyType type, std::string egu,
                        std::string description, bool writable);

    void createCommand(std::string name, std::function<void(std::vector<std::string>)> func, std::string description);
    /// The variable part holds `nargs` pairs: an ArgType passed as int, then
    /// the argument's name as const char*.
    void createCommand(std::string name, std::function<void(std::vector<std::string>)> func, std::string description,
                       int nargs, ...);

    /// A command whose handler takes typed values (long, double, bool,
    /// std::string), one name per parameter; see corvo/typed_command.h.
    ///   createCommand("move", [this](long slot, double focus) {...}, "move", {"slot", "focus"});
    template <class F, size_t N>
    void createCommand(std::string name, F handler, std::string description, const char* const (&argNames)[N])
    {
        addCommand(typedCommand(std::move(name), std::move(handler), std::move(description), argNames));
    }
    /// The same for a handler without parameters: createCommand("home", [this] {...}, "go home").
    template <class F, class = std::enable_if_t<std::is_invocable_v<F&>>>
    void createCommand(std::string name, F handler, std::string description)
    {
        addCommand(typedCommand(std::move(name), std::move(handler), std::move(description)));
    }

    /// Moves the process into the background (double fork).
    void doDaemon();

    /// Broadcasts a change of one of this daemon's properties to the
    /// property group (nothing before the network exists).
    void publish(const Property& property) override;
    /// Reports a value outside its limits or choices through onPropertyError.
    void outOfRange(const Property& property) override;

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
    /// Declares `def`, replacing a command of the same name.
    void addCommand(CommandDef def) { commands[def.name] = std::move(def); }

    /// The library's own messages go to this daemon's logger while it runs.
    std::unique_ptr<DiagnosticRedirect> diagnosticRedirect;

    /// Reads NAME.rules from the configuration directories; a rules file on
    /// an open site, or one that cannot be used, ends the program (status 1).
    void loadAccessRules();
    /// The "lock" property and the "lock"/"unlock" commands (secured site).
    void addLockInterface();
    /// Where the access guard's records and lock changes go: the logger and
    /// the "lock" property.
    void writeAccessRecord(bool warning, const std::string& text);
    /// Runs the handler of an accepted request and audits its outcome:
    /// refused when the handler refused it (refuseProperty, refuseCommand)
    /// or threw, else accepted.
    void auditOutcome(const Peer& peer, const std::string& what, const std::function<void()>& handler);
    /// Remembers the first refusal while auditOutcome runs a handler.
    void noteRefusal(const std::string& reason);
    bool watchingRefusals = false;
    std::string watchedRefusal;
    void showLock(const std::string& lock);
    void answerPropertyRefusal(const Peer& peer, const std::string& property, const std::string& reason);
    void answerCommandRefusal(const Peer& peer, const corvo::proto::Command& command, const std::string& reason);

    /// Writes an error record caused by `peer`, rate-limited per peer and kind.
    void logPeerError(const Peer& peer, const char* kind, const std::string& text);
    void writeThrottleSummaries(const std::vector<LogThrottle::Summary>& summaries);

    LogThrottle peerErrors;
    // The console line of each applied change request: at most 20 per
    // requester in 10 s, then counted; the delay only when the request
    // carries a send time.
    void writeRequestLine(const Peer* peer, const corvo::proto::PropertyChange& change);
    LogThrottle requestLines{20};
    /// Rights, the lock and the audit trail.
    AccessGuard guard;
};

}  // namespace corvo
