// corvo-rendezvous: relays gossip discovery between subnets (see
// apps/rendezvous/README.md).
#include <signal.h>
#include <sys/signalfd.h>

#include <iostream>

#include "rendezvous.h"

int main(int argc, char** argv)
{
    corvo::rendezvous::Settings settings = corvo::rendezvous::parseCommandLine(argc, argv);
    // SIGINT (the service unit's stop signal) and SIGTERM end the loop
    // cleanly; blocked before any thread starts, so every thread keeps them
    // blocked and only the loop reads them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
        return 1;
    int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (signalFd < 0) {
        std::cerr << "corvo-rendezvous: no signal descriptor" << std::endl;
        return 1;
    }
    corvo::rendezvous::Relay relay(settings);
    if (!relay.open())
        return 1;
    relay.run(signalFd);
    return 0;
}
