#include "daemon_host.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <iostream>
#include <mutex>
#include <stdexcept>

#include "corvo/diagnostics.h"
#include "corvo/logger.h"
#include "corvo/misc.h"
#include "corvo/peer.h"

namespace corvo::python {

namespace {

// corvo.RefusedError raised by a command handler, carried to onCommand,
// which answers the requester with its reason.
class HandlerRefusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An exception that leaves a Python handler: corvo.ArgumentError becomes the
// library's argument error, corvo.RefusedError a refusal, everything else an
// error with Python's text.
[[noreturn]] void rethrowFromPython(py::error_already_set& error)
{
    py::module_ errors = py::module_::import("corvo._errors");
    if (error.matches(errors.attr("ArgumentError")))
        throw CorvoArgError();
    if (error.matches(errors.attr("RefusedError")))
        throw HandlerRefusal(py::str(error.value().attr("reason")).cast<std::string>());
    throw std::runtime_error(describePythonError(error));
}

// Where the library's diagnostics go in a process of Python daemons. The
// library gives each daemon a redirect to its logger when it starts and ends
// it only with the object, so a daemon shut down would go on taking every
// diagnostic of the process into a logger whose network node is freed. The
// router's own redirect, made again after each start, stays above all of
// them: diagnostics go to the daemon started last that still runs, else to
// the console as in a process without a daemon.
class DiagnosticRouter {
public:
    static DiagnosticRouter& instance()
    {
        // Never destroyed: diagnostics may come while statics are torn down.
        static DiagnosticRouter* router = new DiagnosticRouter;
        return *router;
    }

    // Loop thread only, right after the library made the daemon's redirect.
    void add(std::shared_ptr<spdlog::logger> log)
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            running.push_back(std::move(log));
        }
        redirect = std::make_unique<DiagnosticRedirect>([this](const Diagnostic& d) { route(d); });
    }

    // Returns once no diagnostic is being written to `log` any more: its
    // network node may then be freed.
    void remove(const spdlog::logger* log)
    {
        std::lock_guard<std::mutex> guard(lock);
        running.erase(
            std::remove_if(running.begin(), running.end(),
                           [log](const std::shared_ptr<spdlog::logger>& known) { return known.get() == log; }),
            running.end());
    }

private:
    void route(const Diagnostic& diagnostic)
    {
        // Raised while this thread sends a record: that logger's network
        // sink is locked by this very thread.
        if (ZyreSink::sending())
            return writeDiagnostic(diagnostic);
        std::lock_guard<std::mutex> guard(lock);
        if (running.empty())
            return writeDiagnostic(diagnostic);
        running.back()->log(spdlogLevel(diagnostic.level), "{}", diagnostic.text);
    }

    static spdlog::level::level_enum spdlogLevel(Diagnostic::Level level)
    {
        switch (level) {
            case Diagnostic::Debug:
                return spdlog::level::debug;
            case Diagnostic::Info:
                return spdlog::level::info;
            case Diagnostic::Warning:
                return spdlog::level::warn;
            case Diagnostic::Error:
                break;
        }
        return spdlog::level::err;
    }

    std::mutex lock;
    std::vector<std::shared_ptr<spdlog::logger>> running;  // in the order they started
    std::unique_ptr<DiagnosticRedirect> redirect;
};

}  // namespace

DaemonHost::DaemonHost(std::string name) : Daemon(std::move(name)) {}

DaemonHost::~DaemonHost()
{
    // In a child of fork() the node is the parent's: left alone.
    if (started && !LoopThread::instance().forkedChild())
        shutdown();
}

void DaemonHost::declareProperty(const std::string& name, Property::Type type, const std::string& unit,
                                 const std::string& description, bool writable, py::object limits, py::dict choices,
                                 py::object initial)
{
    if (properties.count(name))
        throw std::invalid_argument("property " + name + " declared twice");
    createProperty(name, type, unit, description, writable);
    Property& property = *properties[name];
    if (!limits.is_none()) {
        auto bounds = limits.cast<std::pair<py::object, py::object>>();
        if (type == Property::INT) {
            property.valueMin = bounds.first.cast<long>();
            property.valueMax = bounds.second.cast<long>();
        } else if (type == Property::DOUBLE) {
            property.valueMin = bounds.first.cast<double>();
            property.valueMax = bounds.second.cast<double>();
        } else {
            throw std::invalid_argument("limits need an int or float property");
        }
    }
    for (auto item : choices)
        property.addChoice(item.first.cast<int>(), item.second.cast<std::string>());
    if (!initial.is_none())
        TypedValue(type, initial).assignTo(property, false);
}

void DaemonHost::declareCommand(const std::string& name, const std::string& description,
                                const std::vector<std::pair<std::string, int>>& args, py::object handler)
{
    if (commands.count(name))
        throw std::invalid_argument("command " + name + " declared twice");
    PyRefPtr function = holdPython(std::move(handler));
    createCommand(
        name,
        [this, function](std::vector<std::string> words) {
            py::gil_scoped_acquire gil;
            try {
                py::list values;
                for (const std::string& word : words)
                    values.append(peerText(word));
                function->get()(values, requester);
            } catch (py::error_already_set& error) {
                rethrowFromPython(error);
            }
        },
        description);
    CommandDef& def = commands[name];
    for (const auto& [argName, type] : args)
        def.args.push_back({static_cast<ArgType>(type), argName});
}

void DaemonHost::declareStatus(int value, const std::string& text)
{
    addStatusStr(value, text);
}

void DaemonHost::setChangeHandler(py::object handler)
{
    changeHandler = holdPython(std::move(handler));
}

bool DaemonHost::parseCommandLine(const std::vector<std::string>& argv)
{
    std::vector<const char*> args;
    for (const std::string& arg : argv)
        args.push_back(arg.c_str());
    optionParser.parseArgs(static_cast<int>(args.size()), args.data());
    processOptions();
    bool background = daemonMode;
    daemonMode = false;  // the package forks before its threads start
    return background;
}

void DaemonHost::start()
{
    timers = std::make_unique<uv_loop_t>();
    if (uv_loop_init(timers.get()) != 0) {
        timers.reset();
        throw std::runtime_error("Cannot make the timer loop; " + name + " stops");
    }
    loop = timers.get();
    beforeInit();
    initSocket();
    beforeLoop();
    DiagnosticRouter::instance().add(logger.logger);
    network->start();
    if (!network->isStarted()) {
        DiagnosticRouter::instance().remove(logger.logger.get());
        closeTimers();
        throw std::runtime_error("Cannot start the network node; " + name + " stops");
    }
    started = true;
    LoopThread::instance().addNode(this);
}

void DaemonHost::shutdown()
{
    if (!started)
        return;
    started = false;
    LoopThread::instance().removeNode(this);
    // From a handler of an event (a command calling shutdown()), the library
    // is still inside the network's code: torn down once drain() returns.
    if (draining) {
        teardownDeferred = true;
        return;
    }
    tearDown();
}

void DaemonHost::tearDown()
{
    stop();  // cleanup(): "Stop and clean up"
    keepLoggerOffTheNetwork();
    network.reset();
    closeTimers();
}

void DaemonHost::keepLoggerOffTheNetwork()
{
    if (!logger.logger)
        return;
    DiagnosticRouter::instance().remove(logger.logger.get());
    // A late record of this daemon (a coroutine that outlived the shutdown)
    // goes to the console alone, under the daemon's name.
    spdlog::level::level_enum level = logger.logger->level();
    logger.init(name, level, nullptr);
    logger.logger->sinks().pop_back();  // the network sink, after the console's
}

void DaemonHost::setValue(const std::string& property, const TypedValue& value)
{
    auto it = properties.find(property);
    if (it == properties.end())
        throw std::invalid_argument("no property " + property);
    // A value beyond what peers accept would never be published: refused
    // here (WrongValueError), and the property keeps its value.
    if (it->second->type == Property::STRING || it->second->type == Property::STR_LIST ||
        it->second->type == Property::INT_LIST || it->second->type == Property::DOUBLE_LIST) {
        Property probe = *it->second;
        probe.master = nullptr;
        value.assignTo(probe, false);
        std::string violation = boundsViolation(probe.serialize());
        if (!violation.empty())
            throw std::invalid_argument("property " + property + ": " + violation);
    }
    value.assignTo(*it->second, true);
}

py::object DaemonHost::value(const std::string& property) const
{
    auto it = properties.find(property);
    if (it == properties.end())
        throw py::key_error(property);
    return propertyValue(*it->second);
}

Property::Type DaemonHost::propertyType(const std::string& property) const
{
    auto it = properties.find(property);
    if (it == properties.end())
        throw py::key_error(property);
    return it->second->type;
}

void DaemonHost::log(int level, const std::string& text)
{
    auto spdLevel = static_cast<spdlog::level::level_enum>(level);
    if (logger.logger)
        logger->log(spdLevel, "{}", text);
    else
        std::cerr << text << std::endl;
}

std::vector<FitsHdrItem> DaemonHost::templateCards(const std::string& templatePath)
{
    std::string path = templatePath;
    if (!path.empty() && path[0] != '/') {
        std::string found = confManager.getPath(path);
        if (!found.empty())
            path = found;
    }
    // This daemon's own properties, else a peer's as every lookup picks it.
    return headerCards(parseFitsHdrFile(path),
                       [this](const std::string& component, const std::string& property) -> const Property* {
                           if (component == name)
                               return getProperty(property).get();
                           return network ? network->peers().findProperty(component, property) : nullptr;
                       });
}

void DaemonHost::idle()
{
    // What App's loop does at each turn: identities the key watch stopped
    // trusting reach Daemon::onRevoked (their locks end) on this thread.
    if (started && network)
        network->reportRevocations();
    if (started && timers)
        uv_run(timers.get(), UV_RUN_NOWAIT);
}

void DaemonHost::closeTimers()
{
    if (!timers)
        return;
    // Handles closed by cleanup() finish their close here. The first pass
    // may only clear the stop flag App::stop() set (uv_run then returns at
    // once), so it runs until nothing is left to close, a few passes at most.
    for (int pass = 0; pass < kTimerClosePasses && uv_run(timers.get(), UV_RUN_NOWAIT) != 0; ++pass) {}
    loop = nullptr;
    if (uv_loop_close(timers.get()) != 0)
        timers.release();  // a handle is still open: leak the loop rather than free it under the handle
    timers.reset();
}

void* DaemonHost::socket()
{
    return started && network ? network->eventSocket() : nullptr;
}

void DaemonHost::drain()
{
    // As in every daemon: a failing handler is logged and the next event
    // goes on.
    // handleOneEvent() reports what a handler throws, never rethrows it.
    draining = true;
    for (int handled = 0; started && handled < kMaxEventsPerTurn && network->poll(0); ++handled)
        handleOneEvent();
    draining = false;
    if (teardownDeferred) {
        teardownDeferred = false;
        tearDown();
    }
}

std::shared_ptr<Peer> DaemonHost::peerByUuid(const std::string& peerUuid) const
{
    if (!network)
        return nullptr;
    return network->peers().byUuid(peerUuid);
}

void DaemonHost::refusePropertyTo(const std::string& peerUuid, const std::string& property, const std::string& reason,
                                  uint64_t ticket)
{
    finishDeferredChange(ticket, reason);
    if (auto peer = peerByUuid(peerUuid))
        return refuseProperty(peer, property, reason);
    log(spdlog::level::warn, "Refused change of " + property + " from a peer that has left: " + reason);
}

void DaemonHost::refuseCommandTo(const std::string& peerUuid, const std::vector<std::string>& words,
                                 const std::string& reason)
{
    if (words.empty())
        return;
    if (auto peer = peerByUuid(peerUuid))
        return refuseCommand(peer, genCommandPB(words), reason);
    log(spdlog::level::warn, "Refused " + words[0] + " from a peer that has left: " + reason);
}

void DaemonHost::changeApplied(uint64_t ticket)
{
    finishDeferredChange(ticket, "");
}

void DaemonHost::changeFailed(uint64_t ticket, const std::string& reason)
{
    finishDeferredChange(ticket, reason);
}

void DaemonHost::onCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command)
{
    // One requester at a time: a handler finishes on the loop thread before
    // the next event is read.
    requester = peer ? peer->uuid : std::string();
    try {
        Daemon::onCommand(peer, command);
    } catch (const HandlerRefusal& refusal) {
        requester.clear();
        return refuseCommand(peer, command, refusal.what());
    } catch (...) {
        requester.clear();
        throw;
    }
    requester.clear();
}

void DaemonHost::onPropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change)
{
    auto it = properties.find(change.name());
    if (it == properties.end() || !it->second->writable)
        return;
    if (!changeHandler) {
        Daemon::onPropertyCommand(peer, change);
        return;
    }
    // The requested value, read by the property's own type from a detached
    // copy; only the handler decides what becomes of it.
    Property requested = *it->second;
    requested.master = nullptr;
    corvo::proto::PropertyChange request = change;
    requested.updateFromPB(request);
    // Python applies or refuses the value in calls posted to this thread
    // (after this handler returns): the audit waits for them.
    uint64_t ticket = deferChange();
    py::gil_scoped_acquire gil;
    try {
        changeHandler->get()(peerText(change.name()), propertyValue(requested), peer->uuid, peerText(peer->name),
                             ticket);
    } catch (py::error_already_set& error) {
        throw std::runtime_error(describePythonError(error));
    }
}

}  // namespace corvo::python
