#include "corvo/peer.h"

#include <zyre.h>

#include <iostream>

#include "corvo/diagnostics.h"

namespace corvo {

namespace {
std::string copyOrEmpty(const char* text)
{
    return text ? text : "";
}
}  // namespace

Peer::Peer(zyre_event_t* event)
    : Peer(copyOrEmpty(zyre_event_peer_name(event)), copyOrEmpty(zyre_event_peer_uuid(event)),
           copyOrEmpty(zyre_event_peer_addr(event)))
{}

Peer::Peer(std::string name, std::string uuid, std::string address)
    : name(std::move(name)), uuid(std::move(uuid)), address(std::move(address))
{}

bool Peer::verifyCommand(std::vector<std::string> command)
{
    // An empty vector names no command, so no command is found.
    auto it = command.empty() ? commands.end() : commands.find(command[0]);
    if (it == commands.end()) {
        diagnose(Diagnostic::Warning, Diagnostic::Stderr, "command not found");
        return false;
    }
    return it->second.verify(std::move(command));
}

}  // namespace corvo
