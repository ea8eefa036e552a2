// The way around the actor pipe for WHISPER and SHOUT: the application's
// thread sends straight into the peers' mailboxes. What it may touch of the
// node is the narrow DirectSends interface, and only under Direct's lock,
// which the node's thread holds whenever it is not waiting. Only while no
// command waits in the pipe, so that everything still leaves in the order
// it was handed over.
#pragma once

#include <czmq.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "zre_codec.hpp"
#include "zre_parts.hpp"

namespace zre {

// A message that waits for room in the mailboxes of `peers`, on the
// application's thread and outside the node's lock.
struct BlockedSend {
    std::vector<Uuid> peers;
    Message message;
    Parts content;
};

// What the node lets the application's thread do, under Direct's lock.
class DirectSends {
public:
    // Sends `msg`'s frames (taken over) to the peer / the members of the
    // group whose mailboxes have room now; those whose mailbox is full are
    // left in `blocked`, with the message and its content.
    virtual void whisperNow(const char* uuid, zmsg_t* msg, BlockedSend& blocked) = 0;
    virtual void shoutNow(const char* group, zmsg_t* msg, BlockedSend& blocked) = 0;
    // Sends to the blocked peers still there that have room now; when
    // `deadline` has passed, drops those still full. The descriptor to wait
    // on for the next try, or -1 when none is left.
    virtual int sendBlocked(BlockedSend& blocked, int64_t deadline) = 0;
    // The descriptor to wait on for the first blocked peer still there
    // (those gone are forgotten); -1 when none is left.
    virtual int blockedSignal(BlockedSend& blocked) = 0;

protected:
    ~DirectSends() = default;
};

class Direct {
public:
    // ---- the node's thread
    // The node is there (or gone) for direct sends.
    void attach(DirectSends* node)
    {
        std::lock_guard<std::mutex> hold(lock_);
        node_ = node;
    }
    void detach() { attach(nullptr); }
    // Held by the node's thread while it works.
    std::mutex& lock() { return lock_; }
    // A command (other than $TERM) left the pipe.
    void commandTaken() { queued_.fetch_sub(1); }

    // ---- the application's threads
    // A command is about to enter the pipe (undone with commandTaken when
    // it could not be sent).
    void commandQueued() { queued_.fetch_add(1); }
    // Sends `msg` (taken over and destroyed when true is returned) to peer
    // `uuid` / the members of `group`. False: not possible now, use the
    // pipe (msg untouched).
    bool whisper(const char* uuid, zmsg_t** msg);
    bool shout(const char* group, zmsg_t** msg);

private:
    enum class Kind { Whisper, Shout };
    bool send(Kind kind, const char* target, zmsg_t** msg);
    void finish(std::unique_lock<std::mutex>& hold, BlockedSend& blocked);

    std::mutex lock_;
    std::atomic<int> queued_{0};  // commands sent to the actor, not yet handled ($TERM aside)
    DirectSends* node_ = nullptr;  // under `lock_`
};

}  // namespace zre
