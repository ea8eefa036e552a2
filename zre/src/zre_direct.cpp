#include "zre_direct.hpp"

namespace zre {

bool Direct::whisper(const char* uuid, zmsg_t** msg)
{
    return send(Kind::Whisper, uuid, msg);
}

bool Direct::shout(const char* group, zmsg_t** msg)
{
    return send(Kind::Shout, group, msg);
}

int Direct::foundBy(const char* uuid)
{
    std::lock_guard<std::mutex> hold(lock_);
    return node_ ? node_->foundByNow(uuid) : -1;
}

int Direct::receive()
{
    // Waits for the node's thread if it is at work: its turns are short,
    // and if it was reading the inbox, its events are there right after,
    // sooner than through another wait on the event socket.
    std::lock_guard<std::mutex> hold(lock_);
    return node_ ? node_->receiveNow() : -1;
}

bool Direct::send(Kind kind, const char* target, zmsg_t** msg)
{
    if (queued_.load() != 0)
        return false;
    std::lock_guard<std::mutex> hold(lock_);
    if (!node_ || queued_.load() != 0)
        return false;
    if (kind == Kind::Whisper)
        node_->whisperNow(target, *msg);
    else
        node_->shoutNow(target, *msg);
    zmsg_destroy(msg);
    return true;
}

}  // namespace zre
