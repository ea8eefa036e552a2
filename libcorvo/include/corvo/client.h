/// @file
/// Base of operator tools.
#pragma once

#include "corvo/export.h"

#include <string>

#include "corvo/app.h"

namespace corvo {

/// An operator tool: announces itself as a client (type "client"),
/// receives every property broadcast of its site, and can do one piece of
/// work and exit.
class CORVO_API Client : public App {
public:
    /// oneShot: connect, run oneShotWork() once, and end the process with
    /// status 0 without entering the event loop.
    explicit Client(std::string name, bool oneShot = false);

    /// Marks the node as a client that receives property values; for a
    /// one-shot client, starts the node, waits 50 ms for the peers to be
    /// discovered, handles what arrived, runs oneShotWork(), handles the
    /// answers, stops and exits with status 0.
    void beforeLoop() override;
    /// The work of a one-shot client, with the peers found so far; answers
    /// to what it sends arrive through the callbacks afterwards.
    virtual void oneShotWork() {}

protected:
    /// Whether the client does one piece of work and exits.
    bool oneShot = false;
};

}  // namespace corvo
