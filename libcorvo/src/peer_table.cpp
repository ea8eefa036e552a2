#include "corvo/peer_table.h"

#include <algorithm>

#include "corvo/peer.h"

namespace corvo {

std::shared_ptr<Peer> PeerTable::byUuid(const std::string& uuid) const
{
    auto it = entries.find(uuid);
    return it == entries.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<Peer>> PeerTable::named(const std::string& name) const
{
    std::vector<std::shared_ptr<Peer>> found;
    for (const auto& entry : entries)
        if (entry.second->name == name)
            found.push_back(entry.second);
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a->enterOrder > b->enterOrder; });
    return found;
}

std::vector<std::shared_ptr<Peer>> PeerTable::candidates(const std::string& nameOrUuid) const
{
    if (auto peer = byUuid(nameOrUuid))
        return {peer};
    std::vector<std::shared_ptr<Peer>> all = named(nameOrUuid), answering;
    for (const auto& peer : all)
        if (!peer->silent)
            answering.push_back(peer);
    return answering.empty() ? all : answering;
}

std::shared_ptr<Peer> PeerTable::find(const std::string& nameOrUuid) const
{
    std::vector<std::shared_ptr<Peer>> found = candidates(nameOrUuid);
    return found.empty() ? nullptr : found.front();
}

bool PeerTable::ambiguous(const std::string& nameOrUuid) const
{
    std::vector<std::shared_ptr<Peer>> found = candidates(nameOrUuid);
    return found.size() > 1 && !found[1]->silent;
}

const Property* PeerTable::findProperty(const std::string& component, const std::string& name) const
{
    for (const auto& peer : candidates(component)) {
        auto it = peer->properties.find(name);
        if (it != peer->properties.end())
            return &it->second;
    }
    return nullptr;
}

std::shared_ptr<Peer> PeerTable::add(std::shared_ptr<Peer> peer)
{
    peer->enterOrder = ++added;
    remove(peer->uuid);  // a replaced entry's bytes are no longer kept
    bytes += peer->keptBytes;
    entries[peer->uuid] = peer;
    return peer;
}

std::shared_ptr<Peer> PeerTable::remove(const std::string& uuid)
{
    auto it = entries.find(uuid);
    if (it == entries.end())
        return nullptr;
    std::shared_ptr<Peer> peer = std::move(it->second);
    entries.erase(it);
    bytes -= std::min(bytes, peer->keptBytes);
    return peer;
}

void PeerTable::account(Peer& peer, size_t kept)
{
    bytes = bytes - std::min(bytes, peer.keptBytes) + kept;
    peer.keptBytes = kept;
}

}  // namespace corvo
