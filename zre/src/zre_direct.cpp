#include "zre_direct.hpp"

#include "zre_clock.hpp"
#include "zre_mailboxes.hpp"

namespace zre {

bool Direct::whisper(const char* uuid, zmsg_t** msg)
{
    return send(Kind::Whisper, uuid, msg);
}

bool Direct::shout(const char* group, zmsg_t** msg)
{
    return send(Kind::Shout, group, msg);
}

bool Direct::send(Kind kind, const char* target, zmsg_t** msg)
{
    if (queued_.load() != 0)
        return false;
    std::unique_lock<std::mutex> hold(lock_);
    if (!node_ || queued_.load() != 0)
        return false;
    BlockedSend blocked;
    if (kind == Kind::Whisper)
        node_->whisperNow(target, *msg, blocked);
    else
        node_->shoutNow(target, *msg, blocked);
    zmsg_destroy(msg);
    finish(hold, blocked);
    return true;
}

// What did not fit at once is sent as the mailboxes make room, waiting
// without the lock, so that the node goes on reading and sending meanwhile.
void Direct::finish(std::unique_lock<std::mutex>& hold, BlockedSend& blocked)
{
    int64_t deadline = now() + Mailboxes::kFullMailboxWaitMs;
    int signal = node_->blockedSignal(blocked);
    while (signal >= 0) {
        hold.unlock();
        Mailboxes::waitForSignal(signal, deadline - now());
        hold.lock();
        if (!node_)
            return;  // the node ended meanwhile
        signal = node_->sendBlocked(blocked, deadline);
    }
}

}  // namespace zre
