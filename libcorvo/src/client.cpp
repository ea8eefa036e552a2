#include "corvo/client.h"

#include <unistd.h>

#include <cstdlib>

namespace corvo {

namespace {
constexpr useconds_t kDiscoveryWaitUs = 50000;
}  // namespace

Client::Client(std::string name, bool oneShot) : App(std::move(name)), oneShot(oneShot) {}

void Client::beforeLoop()
{
    network->setClient(true);
    network->setRecvValue(true);
    network->setType("client");
    if (!oneShot)
        return;

    network->start();
    usleep(kDiscoveryWaitUs);
    drainNetwork();
    oneShotWork();
    drainNetwork();
    stop();
    // Leave the network before the process ends, so that peers drop this
    // client at once instead of waiting for it to expire.
    network.reset();
    std::exit(0);
}

}  // namespace corvo
