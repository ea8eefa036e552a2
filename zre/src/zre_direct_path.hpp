// The node's side of the direct sends: all that the application's thread
// touches of the node, the peers' table and their mailboxes, under
// Direct's lock. It never waits: what finds a mailbox full waits in that
// peer's backlog, and the node's thread is woken to send it on.
#pragma once

#include <functional>

#include "zre_direct.hpp"
#include "zre_log.hpp"
#include "zre_mailboxes.hpp"
#include "zre_roster.hpp"

namespace zre {

class DirectPath final : public DirectSends {
public:
    // `receive` reads the inbox as the node's loop does (see receiveNow).
    DirectPath(Roster& roster, Mailboxes& mailboxes, NodeLog& log, std::function<int()> receive);
    ~DirectPath();
    DirectPath(const DirectPath&) = delete;
    DirectPath& operator=(const DirectPath&) = delete;

    void whisperNow(const char* uuid, zmsg_t* msg) override;
    void shoutNow(const char* group, zmsg_t* msg) override;
    int foundByNow(const char* uuid) override;
    int receiveNow() override { return receive_(); }

    // The node's thread polls this descriptor: readable after a direct
    // send left something in a backlog. `woken` takes the signal back.
    int wakeFd() const { return wake_; }
    void woken();
    // Wakes the node's thread: the application's thread left it work (a
    // batch not read to the end, a pause, a peer's state to look at).
    void wakeNode();

private:
    void wakeIfBacklogged();

    Roster& roster_;
    Mailboxes& mailboxes_;
    NodeLog& log_;
    std::function<int()> receive_;
    Parts outgoing_;  // content of a direct send; reused, so allocated once
    int wake_ = -1;   // an eventfd
};

}  // namespace zre
