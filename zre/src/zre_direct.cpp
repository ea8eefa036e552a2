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
    std::unique_lock<std::mutex> hold(lock_, std::try_to_lock);
    if (!hold.owns_lock() || !node_)
        return -1;
    return node_->receiveNow();
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
