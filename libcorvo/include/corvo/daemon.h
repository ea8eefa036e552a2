/// @file
/// Base of every device server: typed properties, commands that peers run,
/// named status values, a configuration file, logging to console and network,
/// and the Info that describes it all to every new peer.
#pragma once

#include "corvo/export.h"

#include <chrono>
#include <cstdint>
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

/// A device server: derive from it, declare properties, commands and status
/// names in the constructor, then run the App loop. Everything runs on the
/// loop's thread: handlers, the network callbacks and the lock's timer.
class CORVO_API Daemon : public App, public PropertyOwner {
public:
    /// A daemon announcing itself as `name` (also the name of its
    /// configuration and rules files), with the --daemon (-D) switch and the
    /// status 0 named "IDLE".
    explicit Daemon(std::string name);
    /// Destroys the daemon. A property still shared through getProperty must
    /// not be changed afterwards: the owner it publishes through is gone.
    virtual ~Daemon();

    /// Logs the arrival and whispers the newcomer this daemon's Info.
    void onEnter(std::shared_ptr<Peer> peer) override;
    /// Logs the departure.
    void onExit(std::shared_ptr<Peer> peer) override;
    /// An identity no longer trusted loses the lock it holds: it could
    /// neither renew nor release it (AccessGuard::identityRevoked).
    void onRevoked(const std::string& identity) override;
    /// Runs an accepted command's function with its arguments; an unknown
    /// command, a wrong argument count or a function throwing CorvoArgError
    /// is refused (refuseCommand).
    void onCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command) override;
    /// Applies an accepted change request to a writable property of this
    /// daemon and broadcasts the new value; a request that fails
    /// Property::checkRequest is refused, one for an unknown or read-only
    /// property is ignored.
    void onPropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change) override;
    /// Every request from the network passes here first. A command must be
    /// known and its arguments must fit its declaration; a change request
    /// must name a writable property and pass Property::checkRequest. A
    /// request that fails is refused (below) and reaches neither onCommand
    /// nor onPropertyCommand.
    void handleCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command) final;
    /// The same for a change request: checked, access-checked and audited,
    /// then passed to onPropertyCommand or refused.
    void handlePropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change) final;
    /// Refuse a request: log it with the requester's name (at most a few
    /// records per requester and kind in 10 s, then "repeated N times") and
    /// whisper the requester a Response whose `error` is `reason`. For a
    /// property, `property_data` holds its name and unchanged value; for a
    /// command, `command` holds the command as received (arguments cut to a
    /// few KiB).
    void refuseProperty(std::shared_ptr<Peer> peer, const std::string& property, const std::string& reason);
    /// Refuses a command request `command` of `peer` for `reason`, as above.
    void refuseCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command, const std::string& reason);

    /// Marks a command as a safety command (abort, stop): a lock never
    /// blocks it. The access rules still decide who may run it.
    void markSafetyCommand(const std::string& command);
    /// True when markSafetyCommand named `command`.
    bool isSafetyCommand(const std::string& command) const { return guard.isSafetyCommand(command); }
    /// Who may change what, and the lock (see access.h). On a secured site
    /// the daemon has the read-only property "lock" ("" when free, else
    /// "IDENTITY until YYYY-MM-DDTHH:MM:SSZ") and the commands "lock"
    /// (lease seconds, 0: 15 min) and "unlock", handled here.
    const AccessControl& accessControl() const { return guard.accessControl(); }
    /// Does nothing: a daemon has no use for its peers' descriptions.
    void onInfo(std::shared_ptr<Peer> peer) override;
    /// Reads the App's options, then the --daemon switch.
    void processOptions() override;
    /// Loads the access rules (ending the program on a bad rules file), goes
    /// to the background when asked, then applies the configuration file to
    /// the properties: an entry naming no property is ignored; a value that
    /// does not parse, lies outside the property's limits or choices, or
    /// breaks the size bounds of property.h is skipped with a warning ("cannot
    /// set KEY to VALUE: reason") and the property keeps its value. Adds the
    /// lock interface on a secured site.
    void beforeInit() override;
    /// Starts logging (to console and the log group; debug with --debug),
    /// announces the node as a daemon and starts the lock's timer.
    void beforeLoop() override;
    /// Writes the pending log summaries (peer errors, held-back audit records,
    /// change-request lines) and stops the lock's and the summaries' timers.
    /// While the loop runs, a summary is written within about a second of
    /// the end of its window (beforeLoop starts that timer).
    void cleanup() override;
    /// Whispers composeInfo() to `peer`; a subclass may add to it.
    virtual void sendInfo(std::shared_ptr<Peer> peer);
    /// The Info that sendInfo whispers: properties by name, commands, status
    /// names by value, current status. A property whose value publish()
    /// refuses is described with an empty value (and no choices).
    corvo::proto::Info composeInfo() const;

    /// Throws CorvoError("Repeated status value") for a value already present.
    /// Every peer refuses a record with text that is not UTF-8, so this and
    /// the functions below throw CorvoError for a name, unit, description or
    /// argument name that is not valid UTF-8.
    void addStatusStr(int value, std::string text);
    /// Makes `value` current and broadcasts it; unknown values are logged.
    void changeStatus(unsigned int value);

    /// Declares a property of this daemon without unit, replacing one of the
    /// same name. INT and DOUBLE start with their type's full range as limits.
    void createProperty(std::string name, corvo::proto::Property_PropertyType type, std::string description,
                        bool writable);
    /// The same with the unit `egu` (e.g. "s").
    void createProperty(std::string name, corvo::proto::Property_PropertyType type, std::string egu,
                        std::string description, bool writable);

    /// Declares a command without arguments, or updates the function and
    /// description of one already declared (its arguments are kept). `func`
    /// gets the arguments as texts and runs on the loop's thread; it may
    /// throw CorvoArgError to refuse them.
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

    /// How many change requests whose handler deferred their audit
    /// (deferChange) may wait at once.
    static constexpr size_t kMaxPendingChanges = 1024;
    /// How long a deferred change request waits for its outcome at most.
    static constexpr std::chrono::seconds kPendingChangeLife{600};

    /// Moves the process into the background (double fork).
    void doDaemon();

    /// Broadcasts a change of one of this daemon's properties to the
    /// property group (nothing before the network exists). A value beyond the
    /// bounds of property.h is never sent (peers would drop this daemon): an
    /// error names the property and the bound (at most 5 in 10 s per
    /// property, then counted), and peers keep the last value sent.
    void publish(const Property& property) override;
    /// Reports a value outside its limits or choices through onPropertyError.
    void outOfRange(const Property& property) override;

    /// The current status value (0, "IDLE", at start).
    unsigned int getStatus() const { return status; }
    /// This daemon's property `name`, or null when there is none; shared
    /// with the daemon, which keeps publishing its changes.
    std::shared_ptr<Property> getProperty(const std::string& name) const;

protected:
    /// For a change handler that applies the value later (on another
    /// thread, after a queue): the audit of the request waits until
    /// finishDeferredChange gets the returned ticket. 0 outside a change
    /// request from a peer. At most kMaxPendingChanges wait, each at most
    /// kPendingChangeLife; beyond that the oldest is audited as it stands.
    uint64_t deferChange();
    /// Ends a deferred change: `refusal` empty when the value was applied
    /// (the audit then records the applied value and, when it differs from
    /// the requested one, the requester is sent a Response carrying it),
    /// else the reason the change was refused or failed (audited only; the
    /// requester is answered by refuseProperty). An unknown ticket is ignored.
    void finishDeferredChange(uint64_t ticket, const std::string& refusal) { finishPending(ticket, refusal, true); }

    /// This daemon's properties by name (createProperty).
    std::map<std::string, std::shared_ptr<Property>> properties;
    /// The daemon's log, to console and log group; usable from beforeLoop on.
    Logger logger;
    /// This daemon's commands by name (createCommand).
    std::unordered_map<std::string, CommandDef> commands;
    /// The daemon's configuration (its name's entries), loaded by beforeInit.
    ConfManager confManager;
    /// True when --daemon asked to run in the background.
    bool daemonMode = false;
    /// Status names by value (addStatusStr); 0 is "IDLE".
    std::map<unsigned int, std::string> statusList;
    /// The current status value (changeStatus).
    unsigned int status = 0;
    /// Rights and the audit trail, for requests a derived daemon checks
    /// itself (a camera's image fetches).
    AccessGuard& accessGuard() { return guard; }

private:
    /// Declares `def`, replacing a command of the same name.
    void addCommand(CommandDef def);

    /// The library's own messages go to this daemon's logger while it runs.
    std::unique_ptr<DiagnosticRedirect> diagnosticRedirect;

    /// Reads NAME.rules from the configuration directories; a rules file on
    /// an open site, or one that cannot be used, ends the program (status 1).
    void loadAccessRules();
    /// Ends the program (status 1) when NAME.conf exists but cannot be read.
    void refuseUnreadableConfiguration();
    /// The "lock" property and the "lock"/"unlock" commands (secured site).
    void addLockInterface();
    /// Where the access guard's records and lock changes go: the logger and
    /// the "lock" property.
    void writeAccessRecord(bool warning, const std::string& text);
    /// Runs the handler of an accepted request and audits its outcome:
    /// refused when the handler refused it (refuseProperty, refuseCommand)
    /// or threw, else accepted.
    void auditOutcome(const Peer& peer, const std::string& what, const std::function<void()>& handler);
    /// Runs a handler as auditOutcome does and returns its refusal ("" when
    /// it accepted); a handler that throws is audited here and rethrown.
    std::string runWatched(const Peer& peer, const std::string& what, const std::function<void()>& handler);

    /// A change request between its arrival and its audit.
    struct PendingChange {
        std::shared_ptr<Peer> peer;
        std::string name;
        std::string requested;                  // as text
        std::string previous;                   // the value before, as text
        corvo::proto::Property requestedValue;  // only the value fields
        bool published = false;                 // the handler broadcast the property
        uint64_t ticket = 0;                    // deferred by the handler (deferChange)
        bool ended = false;                     // finished while its handler still ran
        std::string endRefusal;
        std::chrono::steady_clock::time_point since;
        std::string requestText() const;  // "set NAME = REQUESTED (was PREVIOUS)"
    };
    PendingChange describeChange(std::shared_ptr<Peer> peer, const Property& property,
                                 const corvo::proto::PropertyChange& change) const;
    /// Audits the outcome: a refusal with the requested value; an applied
    /// change with the value the property holds, confirmed to the requester
    /// when it is not the requested one; an accepted change whose value is
    /// still another one (`applied` false: no broadcast) as not applied yet.
    void finishChange(const PendingChange& pending, const std::string& refusal, bool applied);
    void keepPending(PendingChange pending);
    void finishPending(uint64_t ticket, const std::string& refusal, bool applied);
    void finishOverdueChanges();
    PendingChange* watchedChange = nullptr;
    std::map<uint64_t, PendingChange> pendingChanges;
    uint64_t nextChangeTicket = 1;

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
