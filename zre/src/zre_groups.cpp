#include "zre_groups.hpp"

namespace zre {

std::optional<Message> Groups::join(const std::string& group)
{
    if (!own_.insert(group).second)
        return std::nullopt;
    return announce(MessageId::Join, group);
}

std::optional<Message> Groups::leave(const std::string& group)
{
    if (own_.erase(group) == 0)
        return std::nullopt;
    return announce(MessageId::Leave, group);
}

Message Groups::announce(MessageId id, const std::string& group)
{
    ++status_;
    Message m;
    m.id = id;
    m.group = group;
    m.status = status_;
    return m;
}

Groups::Change Groups::apply(Peer& peer, const Message& m)
{
    peer.status = m.status;
    bool joining = m.id == MessageId::Join;
    if (joining && peer.groups.size() >= kMaxGroupsPerPeer && !peer.groups.count(m.group))
        return Change::TooMany;
    bool changed = joining ? peer.groups.insert(m.group).second : peer.groups.erase(m.group) > 0;
    if (!changed)
        return Change::None;
    return joining ? Change::Joined : Change::Left;
}

}  // namespace zre
