// Groups: the ones this node is in, with the status counter its HELLO and
// JOIN/LEAVE carry, and the changes peers announce of theirs.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "zre_codec.hpp"
#include "zre_peer.hpp"

namespace zre {

class Groups {
public:
    // Groups one peer may belong to; a peer that joins more is dropped.
    static constexpr size_t kMaxGroupsPerPeer = 1024;

    // The message announcing the change to every peer; none when nothing
    // changed.
    std::optional<Message> join(const std::string& group);
    std::optional<Message> leave(const std::string& group);

    bool isMember(const std::string& group) const { return own_.count(group) != 0; }
    const std::set<std::string>& own() const { return own_; }
    uint8_t status() const { return status_; }

    // What a peer's JOIN or LEAVE did to its groups.
    enum class Change { None, Joined, Left, TooMany };
    // A status other than the previous plus one means membership messages
    // were missed; the announced change is applied and the counter follows
    // the peer's, since the peer's later messages carry its real state.
    static Change apply(Peer& peer, const Message& m);

private:
    Message announce(MessageId id, const std::string& group);

    std::set<std::string> own_;
    uint8_t status_ = 0;
};

}  // namespace zre
