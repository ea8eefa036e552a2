/// @file
/// The peers a node knows, and the one policy by which a name or UUID that a
/// person, a file or a program gives picks one of them.
#pragma once

#include "corvo/export.h"

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvo {

class Peer;
class Property;

/// The table of known peers by UUID, owned by `Network`, which alone adds and
/// removes entries. Everyone else looks peers up here, so that a restarted
/// program's lingering twin and a name that several programs share are
/// decided the same way everywhere:
/// - a UUID names exactly one peer;
/// - a name names the newest peer of that name that is not silent, or the
///   newest when all of them are silent (a restarted program's dead twin may
///   linger until it expires).
class CORVO_API PeerTable {
public:
    /// The entries: peer UUID -> peer.
    using Entries = std::unordered_map<std::string, std::shared_ptr<Peer>>;
    /// Iteration over the entries (unordered).
    using const_iterator = Entries::const_iterator;

    /// The peer with this UUID, or null.
    std::shared_ptr<Peer> byUuid(const std::string& uuid) const;
    /// Every peer with this name, newest first.
    std::vector<std::shared_ptr<Peer>> named(const std::string& name) const;
    /// The peers that `nameOrUuid` may mean, best first: the peer with that
    /// UUID; else the peers of that name that are not silent, newest first;
    /// else (all silent) every peer of that name, newest first.
    std::vector<std::shared_ptr<Peer>> candidates(const std::string& nameOrUuid) const;
    /// The peer a request for `nameOrUuid` goes to: the first of candidates(),
    /// null when there is none.
    std::shared_ptr<Peer> find(const std::string& nameOrUuid) const;
    /// True when `nameOrUuid` means more than one answering peer (two live
    /// programs of one name); find() then picks the newest.
    bool ambiguous(const std::string& nameOrUuid) const;
    /// The copy of property `name` of `component` (a name or UUID): of the
    /// candidates, in order, the first that describes it; null when none
    /// does. The pointer is valid until the table or that peer changes.
    const Property* findProperty(const std::string& component, const std::string& name) const;

    /// Iteration over every known peer, in no particular order.
    const_iterator begin() const { return entries.begin(); }
    /// Past the last peer of that iteration; a change of the table may
    /// invalidate both.
    const_iterator end() const { return entries.end(); }
    /// The number of known peers.
    size_t size() const { return entries.size(); }
    /// True when no peer is known.
    bool empty() const { return entries.empty(); }

    /// Adds `peer` under its UUID, numbered as the newest (enterOrder); an
    /// entry of the same UUID is replaced. Returns the peer.
    std::shared_ptr<Peer> add(std::shared_ptr<Peer> peer);
    /// Forgets the peer with this UUID; returns it, or null when unknown.
    std::shared_ptr<Peer> remove(const std::string& uuid);
    /// Forgets every peer.
    void clear()
    {
        entries.clear();
        bytes = 0;
    }
    /// Sets what `peer` (a peer of this table) keeps to `kept` bytes.
    void account(Peer& peer, size_t kept);
    /// Bytes all known peers keep together (the sum of Peer::keptBytes).
    size_t keptBytes() const { return bytes; }

private:
    Entries entries;
    uint64_t added = 0;
    size_t bytes = 0;
};

}  // namespace corvo
