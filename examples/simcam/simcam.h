// A simulated camera: exposures run on a libuv timer of the daemon's loop,
// read out a synthetic sky frame and save it through Camera::saveImage.
#pragma once

#include <uv.h>

#include <memory>
#include <random>

#include "corvo/camera.h"

namespace simcam {

class SimCam : public corvo::Camera {
public:
    enum Status : unsigned int { IDLE = 0, EXPOSE = 1, READOUT = 2, POWERON = 3, POWEROFF = 4 };

    SimCam();

    void beforeLoop() override;
    void cleanup() override;
    // "expose" while powered off or exposing is refused with the reason.
    void onCommand(std::shared_ptr<corvo::Peer> peer, const corvo::proto::Command& command) override;

protected:
    void doReadTemp() override;
    void doReadCurrent() override;
    void doSwitchPower() override;
    void doExpose() override;
    void doAbort() override;

private:
    static void exposureTimerFired(uv_timer_t* timer);
    void readOut();
    double expotimeSeconds() const;

    // Owned here and released by the loop's close callback run; the object
    // outlives the loop.
    std::unique_ptr<uv_timer_t> timer;
    bool timerOpen = false;
    bool exposing = false;
    bool powered = true;
    std::mt19937 rng;
};

}  // namespace simcam
