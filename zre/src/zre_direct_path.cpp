#include "zre_direct_path.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <utility>

namespace zre {

namespace {

// The frames of `msg`, taken over into `parts` (emptied first).
void takeFrames(zmsg_t* msg, Parts& parts)
{
    parts.clear();
    while (zframe_t* frame = zmsg_pop(msg))
        parts.adopt(frame);
}

}  // namespace

DirectPath::DirectPath(Roster& roster, Mailboxes& mailboxes, NodeLog& log, std::function<int()> receive)
    : roster_(roster), mailboxes_(mailboxes), log_(log), receive_(std::move(receive)),
      wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{}

DirectPath::~DirectPath()
{
    if (wake_ >= 0)
        close(wake_);
}

void DirectPath::whisperNow(const char* uuidText, zmsg_t* msg)
{
    auto uuid = uuidFromString(uuidText);
    Peer* peer = uuid ? roster_.find(*uuid) : nullptr;
    if (!peer) {
        log_.trace("whisper to unknown peer %s dropped", uuidText);
        return;
    }
    takeFrames(msg, outgoing_);
    Message m;
    m.id = MessageId::Whisper;
    roster_.sendOrDrop(*peer, m, &outgoing_, 0);
    outgoing_.clear();
    wakeIfBacklogged();
}

void DirectPath::shoutNow(const char* group, zmsg_t* msg)
{
    Message m;
    m.id = MessageId::Shout;
    m.group = group;
    if (!roster_.table().anyIn(m.group))
        return;  // nobody to send to (the caller destroys the message)
    takeFrames(msg, outgoing_);
    roster_.sendToEach(
        [&](Peer& peer) { return peer.groups.count(m.group) == 0 || mailboxes_.send(peer, m, &outgoing_, 0); });
    outgoing_.clear();
    wakeIfBacklogged();
}

int DirectPath::foundByNow(const char* uuidText)
{
    auto uuid = uuidFromString(uuidText);
    Peer* peer = uuid ? roster_.find(*uuid) : nullptr;
    return peer && peer->ready ? peer->foundBy : -1;
}

void DirectPath::wakeIfBacklogged()
{
    if (mailboxes_.hasBacklog())
        wakeNode();
}

void DirectPath::wakeNode()
{
    if (wake_ < 0)
        return;
    uint64_t one = 1;
    ssize_t written = write(wake_, &one, sizeof one);
    (void)written;  // a full counter already wakes the node
}

void DirectPath::woken()
{
    uint64_t count = 0;
    ssize_t taken = read(wake_, &count, sizeof count);
    (void)taken;
}

}  // namespace zre
