#include "corvo/daemon.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "corvo/diagnostics.h"
#include "corvo/message.h"
#include "corvo/misc.h"
#include "corvo/peer.h"

namespace corvo {

namespace {

// Diagnostics of the library as records of a daemon's logger (console and
// the site's log group). The sink holds the logger, so it stays valid for as
// long as it can be called.
DiagnosticSink loggerSink(std::shared_ptr<spdlog::logger> log)
{
    return [log](const Diagnostic& diagnostic) {
        // Raised while a record is being sent (e.g. by its serialisation):
        // the logger's network sink is locked by this very thread.
        if (ZyreSink::sending()) {
            writeDiagnostic(diagnostic);
            return;
        }
        spdlog::level::level_enum level = spdlog::level::err;
        switch (diagnostic.level) {
            case Diagnostic::Debug:
                level = spdlog::level::debug;
                break;
            case Diagnostic::Info:
                level = spdlog::level::info;
                break;
            case Diagnostic::Warning:
                level = spdlog::level::warn;
                break;
            case Diagnostic::Error:
                level = spdlog::level::err;
                break;
        }
        log->log(level, "{}", diagnostic.text);
    };
}

// Peer text quoted in a log record or an answer is cut to this many bytes.
constexpr size_t kQuotedTextBytes = 256;
// Arguments echoed in the answer to a refused command, in bytes.
constexpr size_t kEchoedArgsBytes = 4096;

std::string clipped(const std::string& text, size_t bytes = kQuotedTextBytes)
{
    if (text.size() <= bytes)
        return text;
    return text.substr(0, bytes) + "...";
}

// Every peer refuses a record with text that is not UTF-8: a name, unit or
// description of that kind (a Latin-1 "\xb0C" in a source file) would cost
// the daemon its whole Info at every peer, so it is refused where it is made.
void requireUtf8(const std::string& text, const char* what)
{
    if (!isValidUtf8(text))
        throw CorvoError(std::string(what) + " \"" + escapeControl(clipped(text)) + "\" is not valid UTF-8");
}

// Each word followed by one space; cut when long.
std::string receivedText(const std::vector<std::string>& words)
{
    std::string text;
    for (const auto& word : words) {
        text += word + " ";
        if (text.size() > kQuotedTextBytes)
            return clipped(text);
    }
    return text;
}

// "<uuid>/<kind>/<name>": by peer and kind, with the name to report.
std::string throttleKey(const Peer& peer, const char* kind)
{
    return peer.uuid + "/" + kind + "/" + peer.name;
}

// The built-in commands and property of a secured daemon.
const char* const kLockName = "lock";
const char* const kUnlockName = "unlock";

std::string nameInThrottleKey(const std::string& key)
{
    size_t first = key.find('/');
    size_t second = first == std::string::npos ? first : key.find('/', first + 1);
    return second == std::string::npos ? key : key.substr(second + 1);
}

// The throttle key of the errors about one of the daemon's own values (no
// peer: the uuid part is empty).
const char* const kOwnValueKey = "/value/";

std::string tooMany(const char* what, size_t count, size_t bound)
{
    return std::to_string(count) + " " + what + " (at most " + std::to_string(bound) + ")";
}

std::string tooLong(const char* what, size_t size)
{
    return std::string(what) + " of " + std::to_string(size) + " bytes (at most " +
           std::to_string(kMaxPropertyStringBytes) + ")";
}

std::string notUtf8(const char* what)
{
    return std::string(what) + " that is not valid UTF-8";
}

// The bytes a peer counts for the value of `property` (network.cpp
// keptBytesOf): every string, 64 per list item or choice, 8 per number.
size_t ownValueBytes(const Property& property)
{
    size_t bytes = property.strValue.size();
    for (const auto& choice : property.choices)
        bytes += 64 + choice.second.size();
    for (const auto& item : property.strList)
        bytes += 64 + item.size();
    return bytes + (property.intList.size() + property.doubleList.size()) * sizeof(int64_t);
}

// Why the daemon's own value of `property` breaks the bounds every receiver
// holds it to (property.h), or empty: read from the property itself, so that
// nothing is serialised for the check.
std::string ownValueViolation(const Property& property)
{
    switch (property.type) {
        case Property::STRING:
            if (property.strValue.size() > kMaxPropertyStringBytes)
                return tooLong("a string", property.strValue.size());
            if (!isValidUtf8(property.strValue))
                return notUtf8("a string");
            break;
        case Property::INT:
            if (property.choices.size() > kMaxPropertyChoices)
                return tooMany("choices", property.choices.size(), kMaxPropertyChoices);
            for (const auto& choice : property.choices)
                if (choice.second.size() > kMaxPropertyStringBytes)
                    return tooLong("a choice label", choice.second.size());
            for (const auto& choice : property.choices)
                if (!isValidUtf8(choice.second))
                    return notUtf8("a choice label");
            break;
        case Property::STR_LIST:
            if (property.strList.size() > kMaxPropertyListItems)
                return tooMany("list items", property.strList.size(), kMaxPropertyListItems);
            for (const std::string& item : property.strList)
                if (item.size() > kMaxPropertyStringBytes)
                    return tooLong("a list item", item.size());
            for (const std::string& item : property.strList)
                if (!isValidUtf8(item))
                    return notUtf8("a list item");
            break;
        case Property::INT_LIST:
            if (property.intList.size() > kMaxPropertyListItems)
                return tooMany("list items", property.intList.size(), kMaxPropertyListItems);
            break;
        case Property::DOUBLE_LIST:
            if (property.doubleList.size() > kMaxPropertyListItems)
                return tooMany("list items", property.doubleList.size(), kMaxPropertyListItems);
            break;
        default:
            break;
    }
    size_t bytes = ownValueBytes(property);
    if (bytes > kMaxOwnValueBytes)
        return "a value of " + std::to_string(bytes) + " bytes (at most " + std::to_string(kMaxOwnValueBytes) + ")";
    return std::string();
}

// The console summaries of the change-request lines held back.
void writeRequestSummaries(const std::vector<LogThrottle::Summary>& summaries)
{
    for (const LogThrottle::Summary& summary : summaries)
        diagnose(Diagnostic::Info, Diagnostic::Stderr,
                 "onPropertyCommand: last line of " + escapeControl(nameInThrottleKey(summary.key)) + " repeated " +
                     std::to_string(summary.repeated) + " times");
}

// Each running daemon's timer that writes the summaries of its throttled
// records once their window has passed (see beforeLoop). File-local, so that
// the daemon's layout stays as it is.
constexpr uint64_t kSummaryPeriodMs = 1000;
std::mutex summaryTimersMutex;
std::unordered_map<const Daemon*, uv_timer_t*> summaryTimers;

void closeSummaryTimer(const Daemon* daemon)
{
    uv_timer_t* timer = nullptr;
    {
        std::lock_guard<std::mutex> lock(summaryTimersMutex);
        auto it = summaryTimers.find(daemon);
        if (it == summaryTimers.end())
            return;
        timer = it->second;
        summaryTimers.erase(it);
    }
    uv_timer_stop(timer);
    timer->data = nullptr;
    // Freed by the loop once it has finished closing the handle.
    uv_close(reinterpret_cast<uv_handle_t*>(timer),
             [](uv_handle_t* handle) { delete reinterpret_cast<uv_timer_t*>(handle); });
}

}  // namespace

Daemon::Daemon(std::string name)
    : App(std::move(name)), guard([this](bool warning, const std::string& text) { writeAccessRecord(warning, text); },
                                  [this](const std::string& lock) { showLock(lock); })
{
    optionParser.addSwitch("daemon", 'D', "run as daemon");
    addStatusStr(0, "IDLE");
}

Daemon::~Daemon()
{
    // Normally closed by cleanup(); a timer left open ticks for no one.
    std::lock_guard<std::mutex> lock(summaryTimersMutex);
    auto it = summaryTimers.find(this);
    if (it != summaryTimers.end()) {
        it->second->data = nullptr;
        summaryTimers.erase(it);
    }
}

void Daemon::addStatusStr(int value, std::string text)
{
    auto key = static_cast<unsigned int>(value);
    if (statusList.count(key))
        throw CorvoError("Repeated status value");
    requireUtf8(text, "Status name");
    statusList.emplace(key, std::move(text));
}

void Daemon::changeStatus(unsigned int value)
{
    auto it = statusList.find(value);
    if (it == statusList.end()) {
        if (logger.logger)
            logger->error("Status value {} out of range", value);
        return;
    }
    status = value;
    if (network)
        network->sendStatus(status);
    if (logger.logger)
        logger->info("Switch to new status {}", it->second);
}

void Daemon::createProperty(std::string name, corvo::proto::Property_PropertyType type, std::string description,
                            bool writable)
{
    createProperty(std::move(name), type, "", std::move(description), writable);
}

void Daemon::createProperty(std::string name, corvo::proto::Property_PropertyType type, std::string egu,
                            std::string description, bool writable)
{
    requireUtf8(name, "Property name");
    requireUtf8(egu, "Unit");
    requireUtf8(description, "Description");
    auto property = std::make_shared<Property>(name, type, std::move(description), writable, this, std::move(egu));
    properties[name] = std::move(property);
}

void Daemon::createCommand(std::string name, std::function<void(std::vector<std::string>)> func,
                           std::string description)
{
    requireUtf8(name, "Command name");
    requireUtf8(description, "Description");
    CommandDef& def = commands[name];
    def.name = name;
    def.description = std::move(description);
    def.func = std::move(func);
}

void Daemon::addCommand(CommandDef def)
{
    requireUtf8(def.name, "Command name");
    requireUtf8(def.description, "Description");
    for (const CommandDef::Arg_t& arg : def.args)
        requireUtf8(arg.name, "Argument name");
    commands[def.name] = std::move(def);
}

void Daemon::createCommand(std::string name, std::function<void(std::vector<std::string>)> func,
                           std::string description, int nargs, ...)
{
    std::vector<CommandDef::Arg_t> args;
    va_list ap;
    va_start(ap, nargs);
    for (int i = 0; i < nargs; ++i) {
        auto type = static_cast<ArgType>(va_arg(ap, int));
        const char* argName = va_arg(ap, const char*);
        args.push_back({type, argName ? argName : ""});
    }
    va_end(ap);
    for (const CommandDef::Arg_t& arg : args)
        requireUtf8(arg.name, "Argument name");
    createCommand(name, std::move(func), std::move(description));
    auto& declared = commands[name].args;
    declared.insert(declared.end(), args.begin(), args.end());
}

void Daemon::publish(const Property& property)
{
    // A value beyond the receivers' bounds would make every peer drop this
    // daemon: it is never sent, and the error says which property and bound.
    std::string violation = ownValueViolation(property);
    if (!violation.empty()) {
        LogThrottle::Decision decision = peerErrors.admit(kOwnValueKey + property.name);
        std::string shown = escapeControl(clipped(property.name));
        if (decision.repeated)
            diagnose(Diagnostic::Error, Diagnostic::Stderr,
                     "Value of " + shown + " not published: last message repeated " +
                         std::to_string(decision.repeated) + " times");
        if (decision.write)
            diagnose(Diagnostic::Error, Diagnostic::Stderr,
                     "Value of " + shown + " not published: " + violation + "; peers keep the last one sent");
        return;
    }
    if (watchedChange && property.name == watchedChange->name)
        watchedChange->published = true;
    // Before the network exists (while the configuration is applied) a
    // change publishes nothing.
    if (network)
        network->sendProperty(&property);
}

void Daemon::outOfRange(const Property& property)
{
    onPropertyError(property.name);
}

std::shared_ptr<Property> Daemon::getProperty(const std::string& name) const
{
    auto it = properties.find(name);
    return it == properties.end() ? nullptr : it->second;
}

void Daemon::processOptions()
{
    App::processOptions();
    daemonMode = optionParser.vm["daemon"].as<bool>();
}

void Daemon::beforeInit()
{
    // Before going to the background, so that a refusal reaches the terminal.
    loadAccessRules();
    refuseUnreadableConfiguration();
    if (daemonMode)
        doDaemon();
    confManager.load(name);
    for (const auto& [key, value] : confManager.get(name)) {
        auto it = properties.find(key);
        if (it == properties.end())
            continue;
        // A bad value in a file must not stop the program: keep the
        // property's value and say which entry was skipped. The value is
        // tried on a copy first and must be one a peer could request:
        // inside the limits and choices, and within the size bounds.
        try {
            Property probe = *it->second;
            probe.master = nullptr;
            probe.setValueString(value);
            std::string problem = probe.checkValue();
            if (problem.empty())
                problem = ownValueViolation(probe);
            if (!problem.empty())
                throw std::invalid_argument(problem);
            it->second->setValueString(value);
        } catch (const std::exception& e) {
            diagnose(Diagnostic::Warning, Diagnostic::Stderr,
                     "Configuration " + name + ": cannot set " + key + " to \"" + escapeControl(clipped(value)) +
                         "\": " + e.what());
        }
    }
    // After the configuration: no file sets the lock.
    if (guard.secured())
        addLockInterface();
}

void Daemon::beforeLoop()
{
    bool debug = optionParser.vm["debug"].as<bool>();
    logger.init(name, debug ? spdlog::level::debug : spdlog::level::info, network.get());
    errorReporter = [this](const std::string& text) { logger->error("{}", text); };
    diagnosticRedirect = std::make_unique<DiagnosticRedirect>(loggerSink(logger.logger));
    network->setClient(false);
    network->setType(defaultName);
    guard.start(loop);
    // The summaries of records held back are written once their window
    // has passed, whether or not another request comes.
    if (loop) {
        closeSummaryTimer(this);
        auto* timer = new uv_timer_t;
        uv_timer_init(loop, timer);
        timer->data = this;
        uv_timer_start(
            timer,
            [](uv_timer_t* handle) {
                auto* daemon = static_cast<Daemon*>(handle->data);
                if (!daemon)
                    return;
                daemon->writeThrottleSummaries(daemon->peerErrors.expire());
                daemon->guard.writeHeldBack();
                writeRequestSummaries(daemon->requestLines.expire());
            },
            kSummaryPeriodMs, kSummaryPeriodMs);
        // Keeps no loop running on its own.
        uv_unref(reinterpret_cast<uv_handle_t*>(timer));
        std::lock_guard<std::mutex> lock(summaryTimersMutex);
        summaryTimers[this] = timer;
    }
    logger->info("Start looping...");
}

void Daemon::cleanup()
{
    closeSummaryTimer(this);
    writeThrottleSummaries(peerErrors.flush());
    writeRequestSummaries(requestLines.flush());
    guard.stop();
    if (logger.logger)
        logger->info("Stop and clean up");
}

void Daemon::onEnter(std::shared_ptr<Peer> peer)
{
    logger->info("Peer {} has entered", peer->name);
    sendInfo(peer);
}

void Daemon::onExit(std::shared_ptr<Peer> peer)
{
    logger->info("Peer {} has left", peer->name);
}

void Daemon::onRevoked(const std::string& identity)
{
    guard.identityRevoked(identity);
}

void Daemon::onInfo(std::shared_ptr<Peer> /*peer*/) {}

corvo::proto::Info Daemon::composeInfo() const
{
    // The same record as createInfo, built from the daemon's own containers
    // without copying its properties.
    corvo::proto::Info info;
    size_t valueBytes = 0;
    for (const auto& entry : properties) {
        corvo::proto::Property* record = info.add_properties();
        *record = entry.second->serialize();
        // A value that publish() refused travels empty: the whole Info
        // would be refused (and this daemon dropped) with it. So do the
        // values past kMaxOwnInfoValueBytes together.
        bool refused = !ownValueViolation(*entry.second).empty();
        if (!refused) {
            size_t bytes = ownValueBytes(*entry.second);
            refused = valueBytes + bytes > kMaxOwnInfoValueBytes;
            if (refused)
                diagnose(Diagnostic::Error, Diagnostic::Stderr,
                         "Value of " + escapeControl(clipped(entry.first)) +
                             " sent empty in the Info: the values together pass " +
                             std::to_string(kMaxOwnInfoValueBytes) + " bytes");
            else
                valueBytes += bytes;
        }
        if (refused) {
            if (record->has_strval())
                record->mutable_strval()->clear_value();
            if (record->has_intval())
                record->mutable_intval()->clear_choices();
            if (record->has_strlist())
                record->mutable_strlist()->clear_values();
            if (record->has_intlist())
                record->mutable_intlist()->clear_values();
            if (record->has_doublelist())
                record->mutable_doublelist()->clear_values();
        }
    }
    for (const auto& entry : commands)
        addCommandDesc(info, entry.second);
    setStatusDesc(info, statusList, status);
    return info;
}

void Daemon::sendInfo(std::shared_ptr<Peer> peer)
{
    network->sendOne(ProtobufToZMsg(composeInfo()), std::move(peer));
}

void Daemon::handleCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command)
{
    writeThrottleSummaries(peerErrors.expire());
    guard.writeHeldBack();
    auto it = commands.find(command.cmd_name());
    if (it == commands.end())
        return refuseCommand(peer, command, "unknown command '" + clipped(command.cmd_name()) + "'");
    std::vector<std::string> args(command.args().begin(), command.args().end());
    std::string problem = it->second.checkArgs(args);
    if (!problem.empty())
        return refuseCommand(peer, command, problem);
    if (!peer)
        return onCommand(peer, command);
    if (guard.isLockCommand(command.cmd_name())) {
        AccessGuard::Answer answer = guard.lockRequest(*peer, command.cmd_name(), args);
        if (!answer.allowed())
            answerCommandRefusal(*peer, command, answer.reason);
        return;
    }
    std::string what = "run " + receivedText(extractCommandPB(command));
    if (what.back() == ' ')
        what.pop_back();
    AccessGuard::Answer answer = guard.mayRun(*peer, command.cmd_name());
    if (!answer.allowed()) {
        guard.record(*peer, false, what, answer.reason);
        return answerCommandRefusal(*peer, command, answer.reason);
    }
    auditOutcome(*peer, what, [&] { onCommand(peer, command); });
}

void Daemon::handlePropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change)
{
    writeThrottleSummaries(peerErrors.expire());
    guard.writeHeldBack();
    finishOverdueChanges();
    auto it = properties.find(change.name());
    if (it == properties.end())
        return refuseProperty(peer, change.name(), "no property '" + clipped(change.name()) + "'");
    if (!it->second->writable)
        return refuseProperty(peer, change.name(), "property '" + change.name() + "' is read-only");
    std::string problem = it->second->checkRequest(change);
    if (!problem.empty())
        return refuseProperty(peer, change.name(), problem);
    if (!peer)
        return onPropertyCommand(peer, change);
    PendingChange pending = describeChange(peer, *it->second, change);
    AccessGuard::Answer answer = guard.mayWrite(*peer, change.name());
    if (!answer.allowed()) {
        guard.record(*peer, false, pending.requestText(), answer.reason);
        return answerPropertyRefusal(*peer, change.name(), answer.reason);
    }
    // The audit waits for the handler: it records the value applied.
    struct Watch {
        Daemon* daemon;
        PendingChange* outer;
        ~Watch() { daemon->watchedChange = outer; }
    } watch{this, watchedChange};
    watchedChange = &pending;
    std::string refusal = runWatched(*peer, pending.requestText(), [&] { onPropertyCommand(peer, change); });
    watchedChange = watch.outer;
    if (refusal.empty())
        refusal = pending.endRefusal;
    if (pending.ticket != 0 && !pending.ended && refusal.empty())
        return keepPending(std::move(pending));
    finishChange(pending, refusal, pending.published || pending.ended);
}

Daemon::PendingChange Daemon::describeChange(std::shared_ptr<Peer> peer, const Property& property,
                                             const corvo::proto::PropertyChange& change) const
{
    PendingChange pending;
    pending.peer = std::move(peer);
    pending.name = property.name;
    pending.previous = property.toString();
    Property requested = property;
    requested.master = nullptr;
    requested.applyRequest(change);
    pending.requested = requested.toString();
    requested.setPBValue(pending.requestedValue);
    return pending;
}

std::string Daemon::PendingChange::requestText() const
{
    return "set " + name + " = " + clipped(requested) + " (was " + clipped(previous) + ")";
}

uint64_t Daemon::deferChange()
{
    if (!watchedChange)
        return 0;
    if (watchedChange->ticket == 0)
        watchedChange->ticket = nextChangeTicket++;
    return watchedChange->ticket;
}

void Daemon::keepPending(PendingChange pending)
{
    pending.since = std::chrono::steady_clock::now();
    if (pendingChanges.size() >= kMaxPendingChanges)
        finishPending(pendingChanges.begin()->first, "", false);
    uint64_t ticket = pending.ticket;
    pendingChanges.emplace(ticket, std::move(pending));
}

void Daemon::finishPending(uint64_t ticket, const std::string& refusal, bool applied)
{
    // Ended from within its own handler: audited when the handler returns.
    if (watchedChange && ticket != 0 && watchedChange->ticket == ticket) {
        watchedChange->ended = true;
        watchedChange->endRefusal = refusal;
        return;
    }
    auto it = pendingChanges.find(ticket);
    if (it == pendingChanges.end())
        return;
    PendingChange pending = std::move(it->second);
    pendingChanges.erase(it);
    finishChange(pending, refusal, applied);
}

void Daemon::finishOverdueChanges()
{
    auto now = std::chrono::steady_clock::now();
    while (!pendingChanges.empty() && now - pendingChanges.begin()->second.since > kPendingChangeLife)
        finishPending(pendingChanges.begin()->first, "", false);
}

void Daemon::finishChange(const PendingChange& pending, const std::string& refusal, bool applied)
{
    if (!refusal.empty())
        return guard.record(*pending.peer, false, pending.requestText(), refusal);
    auto it = properties.find(pending.name);
    if (it == properties.end())
        return guard.record(*pending.peer, true, pending.requestText(), "the property is gone");
    const Property& property = *it->second;
    corvo::proto::Property now;
    property.setPBValue(now);
    bool asRequested = now.SerializeAsString() == pending.requestedValue.SerializeAsString();
    if (!applied && !asRequested)
        return guard.record(*pending.peer, true, pending.requestText(),
                            "not applied yet (value " + clipped(property.toString()) + ")");
    std::string what = "set " + pending.name + " = " + clipped(property.toString());
    if (asRequested)
        what += " (was " + clipped(pending.previous) + ")";
    else
        what += " (requested " + clipped(pending.requested) + ", was " + clipped(pending.previous) + ")";
    guard.record(*pending.peer, true, what);
    // The requester waits for a broadcast of what it asked for: tell it
    // that the one just sent is the answer (after it, on the same
    // connection, so it already holds the value).
    if (!asRequested && network) {
        corvo::proto::Response response;
        *response.mutable_property_data() = property.serialize();
        network->sendResponse(pending.peer->uuid, response);
    }
}

void Daemon::auditOutcome(const Peer& peer, const std::string& what, const std::function<void()>& handler)
{
    std::string refusal = runWatched(peer, what, handler);
    guard.record(peer, refusal.empty(), what, refusal);
}

std::string Daemon::runWatched(const Peer& peer, const std::string& what, const std::function<void()>& handler)
{
    // A refusal by the handler (an override's own check) is the outcome:
    // the request is audited once, as refused, never first as accepted.
    struct Watch {
        Daemon* daemon;
        bool outer;
        std::string outerReason;
        ~Watch()
        {
            daemon->watchingRefusals = outer;
            daemon->watchedRefusal = std::move(outerReason);
        }
    } watch{this, watchingRefusals, std::move(watchedRefusal)};
    watchingRefusals = true;
    watchedRefusal.clear();
    try {
        handler();
    } catch (const std::exception& e) {
        guard.record(peer, false, what, std::string("the handler failed: ") + e.what());
        throw;
    }
    return watchedRefusal;
}

void Daemon::noteRefusal(const std::string& reason)
{
    if (watchingRefusals && watchedRefusal.empty())
        watchedRefusal = reason.empty() ? "refused" : reason;
}

void Daemon::markSafetyCommand(const std::string& command)
{
    guard.markSafetyCommand(command);
}

void Daemon::refuseProperty(std::shared_ptr<Peer> peer, const std::string& property, const std::string& reason)
{
    noteRefusal(reason);
    if (!peer)
        return;
    logPeerError(*peer, "property",
                 "Refused change of " + clipped(property) + " from " + guard.shownName(*peer) + ": " + clipped(reason));
    answerPropertyRefusal(*peer, property, reason);
}

void Daemon::answerPropertyRefusal(const Peer& peer, const std::string& property, const std::string& reason)
{
    if (!network)
        return;
    corvo::proto::Response response;
    response.set_error(clipped(reason));
    auto it = properties.find(property);
    if (it != properties.end())
        *response.mutable_property_data() = it->second->serialize();
    else
        response.mutable_property_data()->set_name(clipped(property));
    network->sendResponse(peer.uuid, response);
}

void Daemon::refuseCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command, const std::string& reason)
{
    noteRefusal(reason);
    if (!peer)
        return;
    logPeerError(*peer, "command",
                 "Wrong argument. Received: " + receivedText(extractCommandPB(command)) + "(from " +
                     guard.shownName(*peer) + ": " + clipped(reason) + ")");
    answerCommandRefusal(*peer, command, reason);
}

void Daemon::answerCommandRefusal(const Peer& peer, const corvo::proto::Command& command, const std::string& reason)
{
    if (!network)
        return;
    corvo::proto::Response response;
    response.set_error(clipped(reason));
    corvo::proto::Command* echo = response.mutable_command();
    echo->set_cmd_name(clipped(command.cmd_name()));
    *echo->mutable_send_ts() = command.send_ts();
    size_t echoed = 0;
    for (const std::string& arg : command.args()) {
        echoed += arg.size();
        if (echoed > kEchoedArgsBytes)
            break;
        echo->add_args(arg);
    }
    network->sendResponse(peer.uuid, response);
}

// ---------------------------------------------------------------- access

void Daemon::refuseUnreadableConfiguration()
{
    std::string problem = confManager.unreadable(name);
    if (problem.empty())
        return;
    std::cerr << name << ": configuration " << escapeControl(problem) << "; " << name << " does not start" << std::endl;
    std::exit(1);
}

void Daemon::loadAccessRules()
{
    std::string path = AccessGuard::findRulesFile(confManager.confDirs, name);
    std::map<std::string, std::vector<std::string>> groups;
    for (const Identity& identity : trustedIdentities)
        groups[identity.name] = identity.groups;
    try {
        guard.configure(isSecured(), path, std::move(groups));
    } catch (const AccessError& e) {
        std::cerr << name << ": " << e.what() << "; " << name << " does not start" << std::endl;
        std::exit(1);
    }
    if (guard.accessControl().hasRules())
        diagnose(Diagnostic::Info, Diagnostic::Stdout, "Access rules of " + name + " from " + path);
    else if (isSecured())
        diagnose(Diagnostic::Info, Diagnostic::Stdout,
                 "No access rules for " + name + ": every trusted identity has every right");
}

void Daemon::writeAccessRecord(bool warning, const std::string& text)
{
    if (!logger.logger)
        return;
    if (warning)
        logger->warn("{}", text);
    else
        logger->info("{}", text);
}

void Daemon::showLock(const std::string& lock)
{
    if (auto property = getProperty(kLockName))
        property->setValue(lock);
}

void Daemon::addLockInterface()
{
    if (properties.count(kLockName) || commands.count(kLockName) || commands.count(kUnlockName))
        diagnose(Diagnostic::Warning, Diagnostic::Stderr,
                 name + ": on a secured site \"lock\" and \"unlock\" are the daemon's own; the program's are replaced");
    commands.erase(kLockName);
    commands.erase(kUnlockName);
    createProperty(kLockName, Property::STRING, "exclusive control: IDENTITY until TIME, empty when free", false);
    // Handled by handleLockCommand before any function could run.
    createCommand(
        kLockName, [](std::vector<std::string>) {}, "take or renew exclusive control for SECONDS (0: 15 min)", 1,
        ARG_INT, "seconds");
    createCommand(
        kUnlockName, [](std::vector<std::string>) {}, "release exclusive control");
}

void Daemon::logPeerError(const Peer& peer, const char* kind, const std::string& text)
{
    LogThrottle::Decision decision = peerErrors.admit(throttleKey(peer, kind));
    if (!logger.logger)
        return;
    if (decision.repeated)
        logger->error("Last message from {} repeated {} times", escapeControl(peer.name), decision.repeated);
    if (decision.write)
        logger->error("{}", escapeControl(text));
}

void Daemon::writeThrottleSummaries(const std::vector<LogThrottle::Summary>& summaries)
{
    if (!logger.logger)
        return;
    for (const LogThrottle::Summary& summary : summaries) {
        if (summary.key.rfind(kOwnValueKey, 0) == 0)
            logger->error("Value of {} not published: last message repeated {} times",
                          escapeControl(clipped(summary.key.substr(std::string(kOwnValueKey).size()))),
                          summary.repeated);
        else
            logger->error("Last message from {} repeated {} times", escapeControl(nameInThrottleKey(summary.key)),
                          summary.repeated);
    }
}

void Daemon::onCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command)
{
    auto it = commands.find(command.cmd_name());
    if (it == commands.end())
        return refuseCommand(peer, command, "unknown command '" + clipped(command.cmd_name()) + "'");
    // A copy, so that a function that changes the command table does not
    // pull the running definition from under itself.
    CommandDef def = it->second;
    if (static_cast<size_t>(command.args_size()) != def.args.size())
        return refuseCommand(peer, command, def.checkArgs({command.args().begin(), command.args().end()}));
    try {
        def.func(std::vector<std::string>(command.args().begin(), command.args().end()));
    } catch (const CorvoArgError&) {
        refuseCommand(peer, command, "'" + def.name + "' refused its arguments");
    }
}

void Daemon::onPropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change)
{
    auto it = properties.find(change.name());
    if (it == properties.end())
        return;
    std::shared_ptr<Property> property = it->second;
    if (!property->writable)
        return;
    // Checked again for callers that come here directly, not through the
    // network's handlePropertyCommand.
    std::string problem = property->checkRequest(change);
    if (!problem.empty())
        return refuseProperty(peer, change.name(), problem);

    writeRequestLine(peer.get(), change);

    // Only the value: limits and choices are never a requester's to set.
    property->applyRequest(change);
    property->sendProperty();
}

void Daemon::writeRequestLine(const Peer* peer, const corvo::proto::PropertyChange& change)
{
    writeRequestSummaries(requestLines.expire());
    // A request handed over without a peer (the program's own) names none.
    std::string who = peer ? peer->name : std::string("(local)");
    LogThrottle::Decision decision = requestLines.admit((peer ? peer->uuid : who) + "/request/" + who);
    if (decision.repeated)
        diagnose(Diagnostic::Info, Diagnostic::Stderr,
                 "onPropertyCommand: last line of " + escapeControl(who) + " repeated " +
                     std::to_string(decision.repeated) + " times");
    if (!decision.write)
        return;
    std::string delay;
    if (hasSendTime(change.send_ts()))
        delay =
            ", delayus: " + std::to_string(sendDelayMicroseconds(change.send_ts().seconds(), change.send_ts().nanos()));
    diagnose(Diagnostic::Info, Diagnostic::Stderr,
             "onPropertyCommand: " + escapeControl(who) + delay +
                 ", msg: " + escapeControl(clipped(change.ShortDebugString(), 4096)));
}

void Daemon::doDaemon()
{
    // Nothing buffered may be written twice, once by each process.
    std::cout.flush();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        diagnose(Diagnostic::Error, Diagnostic::Stderr, "Fail to fork");
        std::exit(1);
    }
    if (pid > 0)
        std::exit(0);

    if (setsid() == -1)
        diagnose(Diagnostic::Warning, Diagnostic::Stderr,
                 "failed to become a session leader whiledaemonising(errno=" + std::to_string(errno) + ")");
    signal(SIGHUP, SIG_IGN);

    std::cerr.flush();
    std::fflush(nullptr);
    pid = fork();
    if (pid < 0) {
        diagnose(Diagnostic::Error, Diagnostic::Stderr, "Fail to fork");
        std::exit(1);
    }
    if (pid > 0)
        std::exit(0);

    diagnose(Diagnostic::Info, Diagnostic::Stdout, "Fork to background");
    int fd = open("/dev/null", O_RDWR);
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (fd > 2)
        close(fd);
    if (chdir("/") != 0) {
        // the working directory stays; nothing depends on it
    }
}

}  // namespace corvo
