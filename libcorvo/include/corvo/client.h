// Base of operator tools: announces itself as a client, receives every
// property broadcast of its site, and can do one piece of work and exit.
#pragma once

#include "corvo/export.h"

#include <string>

#include "corvo/app.h"

namespace corvo {

class CORVO_API Client : public App {
public:
    // oneShot: connect, run oneShotWork() once, and end the process with
    // status 0 without entering the event loop.
    explicit Client(std::string name, bool oneShot = false);

    void beforeLoop() override;
    virtual void oneShotWork() {}

protected:
    bool oneShot = false;
};

}  // namespace corvo
