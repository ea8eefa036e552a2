// What a node knows of one remote program.
#pragma once

#include "corvo/export.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "corvo/command.h"
#include "corvo/property.h"

typedef struct _zyre_event_t zyre_event_t;

namespace corvo {

class CORVO_API Peer {
public:
    // Identity from a zyre ENTER event; headers are read by the node.
    explicit Peer(zyre_event_t* event);
    Peer(std::string name, std::string uuid, std::string address);

    // True when the peer offers the command and the values fit it. An unknown
    // command writes "command not found" to standard error.
    bool verifyCommand(std::vector<std::string> command);

    std::string name;
    std::string uuid;
    std::string type;
    std::string address;
    bool client = false;
    // On a secured site: the identity whose key the peer proved (empty on an
    // open site, where nothing proves who a peer is).
    std::string identity;
    unsigned int status = 0;
    // Order of arrival among the peers a node has seen: a later ENTER has a
    // larger number. 0 for a peer not made by a node.
    uint64_t enterOrder = 0;
    // True once the node reported the peer silent (an EVASIVE event) and
    // nothing was heard from it since: a reason to think it dead.
    bool silent = false;
    std::map<std::string, CommandDef> commands;
    std::map<std::string, Property> properties;
    std::map<unsigned int, std::string> statusNames;
};

}  // namespace corvo
