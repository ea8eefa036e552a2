// The way around the actor pipe for WHISPER and SHOUT: the application's
// thread sends straight into the peers' mailboxes, and never waits there.
// The same way back: it may read the node's inbox itself (receive) while
// the node's thread waits, which saves a thread wake-up per message. What it may touch of the
// node is the narrow DirectSends interface, and only under Direct's lock,
// which the node's thread holds whenever it is not waiting. Only while no
// command waits in the pipe, so that everything still leaves in the order
// it was handed over.
#pragma once

#include <czmq.h>

#include <atomic>
#include <mutex>

namespace zre {

// What the node lets the application's thread do, under Direct's lock. A
// send never waits: what does not fit into a peer's mailbox waits in that
// peer's backlog (see Mailboxes).
class DirectSends {
public:
    // Sends `msg`'s frames (taken over) to the peer / the members of the
    // group.
    virtual void whisperNow(const char* uuid, zmsg_t* msg) = 0;
    virtual void shoutNow(const char* group, zmsg_t* msg) = 0;
    // How the peer was found (kFoundBy* bits); -1 when it is no peer.
    virtual int foundByNow(const char* uuid) = 0;
    // Reads one batch of what waits in the inbox, as the node's thread
    // would (the same rules, bounds and order); the events go into the
    // event queue. Messages handled, or -1 when the node does not read now
    // (not running, or paused because the application is behind).
    virtual int receiveNow() = 0;

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
    // The inbox's ZMQ_FD while the node runs, else -1.
    void setInboxFd(int fd) { inboxFd_.store(fd); }
    // Held by the node's thread while it works.
    std::mutex& lock() { return lock_; }
    // A command (other than $TERM) left the pipe.
    void commandTaken() { queued_.fetch_sub(1); }
    // Whether an application thread waits on the inbox's descriptor now,
    // to read it itself when it signals: then the node's thread need not
    // wake for the same message.
    bool readerWaits() const { return waitingReaders_.load() > 0; }

    // ---- the application's threads
    // A command is about to enter the pipe (undone with commandTaken when
    // it could not be sent).
    void commandQueued() { queued_.fetch_add(1); }
    // Sends `msg` (taken over and destroyed when true is returned) to peer
    // `uuid` / the members of `group`. False: not possible now, use the
    // pipe (msg untouched).
    bool whisper(const char* uuid, zmsg_t** msg);
    bool shout(const char* group, zmsg_t** msg);
    // A read of the peer table: kFoundBy* bits, or -1 (no such peer, or
    // the node does not run).
    int foundBy(const char* uuid);
    // Reads one batch of the inbox on the calling thread, after the node's
    // thread if that is at work. Returns the messages handled, or -1 when
    // the node does not read now (paused, or not running): then its events
    // come through the queue.
    int receive();
    int inboxFd() const { return inboxFd_.load(); }
    // The calling thread begins (true) or ends (false) a wait on inboxFd()
    // after which it reads the inbox (receive) if it signalled.
    void readerWaiting(bool waiting) { waitingReaders_.fetch_add(waiting ? 1 : -1); }

private:
    enum class Kind { Whisper, Shout };
    bool send(Kind kind, const char* target, zmsg_t** msg);

    std::mutex lock_;
    std::atomic<int> queued_{0};   // commands sent to the actor, not yet handled ($TERM aside)
    DirectSends* node_ = nullptr;  // under `lock_`
    std::atomic<int> inboxFd_{-1};
    std::atomic<int> waitingReaders_{0};
};

}  // namespace zre
