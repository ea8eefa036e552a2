// The node's side of the direct sends: all that the application's thread
// touches of the node, the peers' table and their mailboxes, under
// Direct's lock.
#pragma once

#include "zre_direct.hpp"
#include "zre_log.hpp"
#include "zre_mailboxes.hpp"
#include "zre_roster.hpp"

namespace zre {

class DirectPath final : public DirectSends {
public:
    DirectPath(Roster& roster, Mailboxes& mailboxes, NodeLog& log)
        : roster_(roster), mailboxes_(mailboxes), log_(log)
    {}

    void whisperNow(const char* uuid, zmsg_t* msg, BlockedSend& blocked) override;
    void shoutNow(const char* group, zmsg_t* msg, BlockedSend& blocked) override;
    int sendBlocked(BlockedSend& blocked, int64_t deadline) override;
    int blockedSignal(BlockedSend& blocked) override;

private:
    // A direct send; a peer whose mailbox is full is noted in `blocked`.
    // False: the peer is to be dropped.
    bool sendNow(Peer& peer, const Message& message, BlockedSend& blocked);
    // The message stays with the blocked peers, beyond this call and the lock.
    void keepForBlocked(const Message& message, BlockedSend& blocked);

    Roster& roster_;
    Mailboxes& mailboxes_;
    NodeLog& log_;
    Parts outgoing_;  // content of a direct send; reused, so allocated once
};

}  // namespace zre
