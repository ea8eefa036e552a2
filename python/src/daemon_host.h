// The device-server side of the Python package: a library daemon whose
// properties, commands and status names a Python class declares, and whose
// command handlers and change requests are answered by Python code.
#pragma once

#include <pybind11/pybind11.h>

#include <uv.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "corvo/daemon.h"
#include "corvo/image.h"
#include "loop_thread.h"
#include "py_util.h"

namespace corvo::python {

class DaemonHost : public Daemon, public LoopNode {
public:
    // Events handled per loop turn at most, so posted calls keep their turn
    // under a flood of requests.
    static constexpr int kMaxEventsPerTurn = 4096;
    // Passes of the timer loop at shutdown to finish closing its handles.
    static constexpr int kTimerClosePasses = 8;

    explicit DaemonHost(std::string name);
    ~DaemonHost() override;

    // Declarations: before start(), from one thread.
    void declareProperty(const std::string& name, Property::Type type, const std::string& unit,
                         const std::string& description, bool writable, py::object limits, py::dict choices,
                         py::object initial);
    // `handler(args, requester_uuid)` receives the arguments as a list of
    // str; raising corvo.ArgumentError makes the daemon log "Wrong argument"
    // as a C++ daemon does, corvo.RefusedError answers the requester with a
    // refusal carrying its reason.
    void declareCommand(const std::string& name, const std::string& description,
                        const std::vector<std::pair<std::string, int>>& args, py::object handler);
    void declareStatus(int value, const std::string& text);
    // Called for every accepted change request as handler(name, value,
    // peer_uuid, peer_name, ticket), on the loop thread with the GIL; the
    // request ends with refuse_property, change_applied or change_failed
    // given the ticket, which the audit waits for.
    void setChangeHandler(py::object handler);

    // Reads the command line (may end the process: --help, bad options).
    // True when --daemon was given.
    bool parseCommandLine(const std::vector<std::string>& argv);
    void daemonize() { doDaemon(); }
    const std::string& componentName() const { return name; }
    const std::string& siteName() const { return site; }

    // Loop thread only.
    void start();
    void shutdown();
    void setValue(const std::string& property, const TypedValue& value);
    py::object value(const std::string& property) const;  // with the GIL
    void log(int level, const std::string& text);
    void setStatus(unsigned int value) { changeStatus(value); }
    Property::Type propertyType(const std::string& property) const;
    bool running() const { return started; }
    // The header cards a header template file gives from the current values
    // of this daemon's properties and of the peers it knows (STRING, DOUBLE
    // and INT properties). A relative path is looked up in the
    // configuration directories.
    std::vector<FitsHdrItem> templateCards(const std::string& templatePath);

    void* socket() override;
    void drain() override;
    // Runs the daemon's due libuv timers (the lock's expiry).
    void idle() override;

    // Answers the peer with this UUID with a refusal (logged by the library).
    // A peer that has left meanwhile is only logged. `ticket` (the change
    // handler's) ends that request's audit as refused.
    void refusePropertyTo(const std::string& peerUuid, const std::string& property, const std::string& reason,
                          uint64_t ticket = 0);
    void refuseCommandTo(const std::string& peerUuid, const std::vector<std::string>& words, const std::string& reason);
    // The change request of this ticket was applied as the value just
    // broadcast: audited with that value, and when it is not the requested
    // one the requester is sent a Response carrying it (after the broadcast,
    // on the same connection, so the requester already holds it).
    void changeApplied(uint64_t ticket);
    // The change request of this ticket failed in its handler: audited as
    // refused for `reason` (the requester is not answered).
    void changeFailed(uint64_t ticket, const std::string& reason);

    void onCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command) override;
    void onPropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change) override;

private:
    void closeTimers();
    // Leaves the site and frees the network node and the timer loop.
    void tearDown();
    // Before the network node is freed: no record is sent through it any more.
    void keepLoggerOffTheNetwork();
    std::shared_ptr<Peer> peerByUuid(const std::string& peerUuid) const;

    PyRefPtr changeHandler;
    // The libuv loop of the daemon's timers, run once per loop-thread turn
    // (the package's loop thread waits on the network, not on libuv).
    std::unique_ptr<uv_loop_t> timers;
    // The peer whose command is being handled (empty between commands).
    std::string requester;
    bool started = false;
    // Inside drain(), where a handler's shutdown() only marks the teardown
    // as due: drain() does it once the library's code has returned.
    bool draining = false;
    bool teardownDeferred = false;
};

}  // namespace corvo::python
