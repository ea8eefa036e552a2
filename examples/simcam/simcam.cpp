#include "simcam.h"

#include <cmath>
#include <exception>
#include <iostream>

#include "sky.h"

namespace simcam {

namespace {

constexpr double kCooledTemperature = -20.0;  // sensor set point, powered
constexpr double kAmbientTemperature = 18.0;
constexpr double kSupplyCurrent = 1.2;  // amperes, powered
// A timer longer than this (about 11.5 days) is not an exposure.
constexpr double kMaxExposureSeconds = 1e6;

}  // namespace

SimCam::SimCam() : timer(std::make_unique<uv_timer_t>()), rng(std::random_device{}())
{
    // Fallbacks; the configuration file "camera.conf" gives the real values.
    properties.at("model")->setValue(std::string("corvo-simcam"));
    properties.at("imgw")->setValue(1024L);
    properties.at("imgh")->setValue(1024L);
    properties.at("temperature")->setValue(kAmbientTemperature);
    // Requests outside [0, kMaxExposureSeconds] are refused.
    properties.at("expotime")->valueMax = kMaxExposureSeconds;

    createCommand(
        "abort", [this](std::vector<std::string>) { doAbort(); }, "abort the exposure in progress");
    // A lock never blocks an abort.
    markSafetyCommand("abort");
}

void SimCam::onCommand(std::shared_ptr<corvo::Peer> peer, const corvo::proto::Command& command)
{
    // An exposure that cannot start is refused with the reason, so that the
    // requester learns it did not happen.
    if (command.cmd_name() == "expose") {
        if (!powered)
            return refuseCommand(std::move(peer), command, "the camera is powered off");
        if (exposing)
            return refuseCommand(std::move(peer), command, "an exposure is in progress");
    }
    Camera::onCommand(std::move(peer), command);
}

void SimCam::beforeLoop()
{
    Camera::beforeLoop();
    uv_timer_init(loop, timer.get());
    timer->data = this;
    timerOpen = true;
}

void SimCam::cleanup()
{
    Camera::cleanup();
    if (timerOpen) {
        uv_timer_stop(timer.get());
        uv_close(reinterpret_cast<uv_handle_t*>(timer.get()), nullptr);
        timerOpen = false;
    }
    exposing = false;
}

double SimCam::expotimeSeconds() const
{
    const double seconds = properties.at("expotime")->getValue<double>();
    if (!(seconds > 0))
        return 0;  // negative and NaN
    return std::min(seconds, kMaxExposureSeconds);
}

void SimCam::doExpose()
{
    if (!powered) {
        logger->error("Camera is powered off: exposure refused");
        return;
    }
    if (exposing) {
        logger->warn("Exposure already in progress");
        return;
    }
    if (!timerOpen)
        return;
    const double seconds = expotimeSeconds();
    exposing = true;
    changeStatus(EXPOSE);
    logger->info("Exposure of {} s started", seconds);
    // libuv counts a timer from the time cached at the start of the loop
    // turn; the exposure starts now.
    uv_update_time(loop);
    exposureStarted();
    // The loop counts whole milliseconds of a truncated clock: one more
    // keeps an exposure from ending up to a millisecond early.
    uv_timer_start(timer.get(), exposureTimerFired, static_cast<uint64_t>(std::ceil(seconds * 1000)) + 1, 0);
}

void SimCam::exposureTimerFired(uv_timer_t* timer)
{
    // Nothing may unwind through libuv.
    try {
        static_cast<SimCam*>(timer->data)->readOut();
    } catch (const std::exception& e) {
        std::cerr << "Readout failed: " << e.what() << std::endl;
    }
}

void SimCam::readOut()
{
    exposureEnded();
    exposing = false;
    changeStatus(READOUT);
    try {
        const int width = static_cast<int>(properties.at("imgw")->getValue<long>());
        const int height = static_cast<int>(properties.at("imgh")->getValue<long>());
        const auto type = static_cast<corvo::ImageType>(properties.at("datatype")->getValue<long>());
        std::vector<uint8_t> frame = makeSkyFrame(type, width, height, rng);
        if (saveImage(frame.data()))
            logger->info("Image saved: {}", properties.at("filename")->getValue<std::string>());
    } catch (const std::exception& e) {
        logger->error("Image not saved: {}", e.what());
    }
    changeStatus(IDLE);
}

void SimCam::doAbort()
{
    if (!exposing)
        return;
    uv_timer_stop(timer.get());
    exposing = false;
    logger->info("Exposure aborted");
    changeStatus(IDLE);
}

void SimCam::doSwitchPower()
{
    if (powered)
        doAbort();
    powered = !powered;
    changeStatus(powered ? POWERON : POWEROFF);
}

void SimCam::doReadTemp()
{
    std::normal_distribution<double> jitter(0.0, 0.05);
    const double base = powered ? kCooledTemperature : kAmbientTemperature;
    properties.at("temperature")->setValue(base + jitter(rng));
}

void SimCam::doReadCurrent()
{
    std::normal_distribution<double> jitter(0.0, 0.01);
    properties.at("current")->setValue(powered ? kSupplyCurrent + jitter(rng) : 0.0);
}

}  // namespace simcam
