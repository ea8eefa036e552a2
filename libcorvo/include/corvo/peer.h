/// @file
/// What a node knows of one remote program.
#pragma once

#include "corvo/export.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "corvo/command.h"
#include "corvo/property.h"

/// An event of the zyre library, opaque here: only Peer's constructor reads
/// one, and it does not keep or free it.
typedef struct _zyre_event_t zyre_event_t;

namespace corvo {

/// One remote program as the node knows it: its identity, its beacon
/// headers, its status and the description its Info gave.
class CORVO_API Peer {
public:
    /// Identity from a zyre ENTER event; headers are read by the node.
    explicit Peer(zyre_event_t* event);
    /// A peer with this component name, UUID and mailbox address.
    Peer(std::string name, std::string uuid, std::string address);

    /// True when the peer offers the command and the values fit it. An unknown
    /// command writes "command not found" to standard error.
    bool verifyCommand(std::vector<std::string> command);

    std::string name;     ///< the component name it announced
    std::string uuid;     ///< its node's UUID, unique on the network
    std::string type;     ///< its "type" beacon header (empty when absent)
    std::string address;  ///< its mailbox endpoint
    bool client = false;  ///< its "client" beacon header says it is a client
    /// On a secured site: the identity whose key the peer proved (empty on an
    /// open site, where nothing proves who a peer is).
    std::string identity;
    unsigned int status = 0;  ///< its last status value
    /// Order of arrival among the peers a node has seen: a later ENTER has a
    /// larger number. 0 for a peer not made by a node.
    uint64_t enterOrder = 0;
    /// True once the node reported the peer silent (an EVASIVE event) and
    /// nothing was heard from it since: a reason to think it dead.
    bool silent = false;
    std::map<std::string, CommandDef> commands;       ///< its commands by name, from its Info
    std::map<std::string, Property> properties;       ///< copies of its properties by name
    std::map<unsigned int, std::string> statusNames;  ///< its status names by value
    /// Bytes its tables above hold, as the node counts them (texts, values,
    /// list items and a fixed cost per entry); bounded by kMaxPeerBytes.
    size_t keptBytes = 0;
};

}  // namespace corvo
