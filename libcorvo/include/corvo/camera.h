/// @file
/// The library's camera daemon.
#pragma once

#include "corvo/export.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "corvo/daemon.h"
#include "corvo/image.h"
#include "corvo/proto/image.pb.h"

namespace corvo {

class ImageService;

/// The library's camera daemon: the properties, status values and commands
/// of a simple imaging camera, and saving images as FITS files named from a
/// pattern, with header cards taken from properties. A device program
/// derives from it and supplies the hardware operations (the do* functions).
class CORVO_API Camera : public Daemon {
public:
    /// A daemon of type "camera" with the camera's properties ("model",
    /// "imgw", "imgh", "datatype", "expotime", "starttime", "filepattern",
    /// "filename", "current", "temperature", "imageroot"), the status values
    /// EXPOSE, READOUT, POWERON and POWEROFF, and the commands "expose",
    /// "switch", "readtemp" and "readcurrent".
    Camera();
    ~Camera() override;

    /// The "expose" command: doExpose(); then, for a device that does not
    /// report the true start (exposureStarted), sets "starttime" to now.
    void startExposure();
    /// The "switch" command: doSwitchPower().
    void switchPower();
    /// The "readcurrent" command: doReadCurrent().
    void readCurrent();
    /// The "readtemp" command: doReadTemp().
    void readTemp();

    /// Writes one image from a buffer of "imgw" x "imgh" pixels of the type
    /// in "datatype", named by "filepattern" below the image root
    /// ("imageroot"). With an empty pattern nothing is written: a warning "no
    /// file pattern: image not saved" is logged, "filename" keeps its value
    /// and the result is false; else it is true. An existing file
    /// is never replaced: the image takes the next free numbered name.
    /// "filename" is set (and broadcast) to the full path once the file is
    /// complete under its final name; an image that is not saved leaves it
    /// at the last one that was (a header card naming this camera's
    /// "filename" gets the new image's name). A header card that cannot be
    /// written is skipped with a warning; the file takes its name only when
    /// complete, and one that cannot be completed is removed.
    /// A name outside the root, errors of the image writer and of the
    /// property types are thrown. Once the file is complete, it is read back
    /// and announced to the site (an ImageReady, tag 12: name below the root,
    /// size, shape, "datatype", SHA-1, exposure start and length); a file that
    /// cannot be read back is not announced (one warning).
    bool saveImage(void* data);
    /// The announcement of the last saved image (empty before the first).
    const corvo::proto::ImageReady& lastAnnouncement() const { return announced; }

    /// Starts the daemon, and keeps the peers' property values up to date:
    /// header cards and file names read them.
    void beforeLoop() override;
    /// Advances the checksums of resumed image transfers a step, and ends
    /// those whose receiver stopped granting credit.
    void onIdle() override;
    /// Image requests and credit from peers go to the image service
    /// (corvo/image_service.h), which streams files below the image root to
    /// peers with the fetch right and audits every fetch (corvo/access.h).
    void onImageMessage(std::shared_ptr<Peer> peer, uint8_t tag, const unsigned char* data, size_t size) override;
    /// The peer's image transfers end; then the daemon's handling.
    void onExit(std::shared_ptr<Peer> peer) override;
    /// A new "filepattern" that would leave the image root is refused;
    /// everything else goes to the daemon.
    void onPropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change) override;

    /// The file name that `pattern` gives at the broken-down time `now`. The
    /// text of a ${component:property} reference is sanitised
    /// (sanitizeFileNameText), and "_" when empty or only dots
    /// (corvo::expandFilePattern).
    std::string expandFilePattern(const std::string& pattern, const std::tm& now) const;
    /// The image root from "imageroot" (ImageRoot::defaultRoot() when empty).
    std::string imageRoot() const;
    /// False, with the reason, when `pattern` expanded now would name a file
    /// outside the image root. An empty pattern (no saving) is accepted.
    bool checkFilePattern(const std::string& pattern, std::string& reason) const;
    /// The header cards that `entries` give from the current property values:
    /// STRING, DOUBLE and INT (a 64-bit card) properties; others give none.
    std::vector<FitsHdrItem> buildHeaderCards(const std::vector<FitsHdrMap>& entries) const;
    /// A property of this daemon (component == own name) or of a known peer;
    /// null when not found.
    const Property* findProperty(const std::string& component, const std::string& property) const;

protected:
    /// A device calls this when an exposure really starts (by the clock, not
    /// by its request): sets "starttime" (broadcast once per exposure:
    /// startExposure then leaves it alone), and starts the measurement of the
    /// exposure's length.
    void exposureStarted();
    /// A device calls this when an exposure really ends: the next saved image
    /// carries the measured length as EXPTIME.
    void exposureEnded();
    /// The measured length of the last exposure in seconds; negative when
    /// none was recorded.
    double measuredExposure() const { return exposureSeconds; }

    /// Reads the sensor temperature into "temperature".
    virtual void doReadTemp() = 0;
    /// Reads the current into "current".
    virtual void doReadCurrent() = 0;
    /// Turns the camera's power on or off (status POWERON, POWEROFF).
    virtual void doSwitchPower() = 0;
    /// Starts an exposure of "expotime" seconds; when it is read out, the
    /// device calls saveImage() with the pixels.
    virtual void doExpose() = 0;
    /// Abandons an exposure in progress.
    virtual void doAbort() = 0;

private:
    void warn(const std::string& text);
    // Digests the saved file `name` (below the root; its directory is open
    // as `directoryFd`) and shouts its ImageReady.
    void announceImage(int directoryFd, const std::string& name, int type, int width, int height);
    // The image service, checking fetches with the access rules and
    // auditing each one.
    void startImageService();

    std::unique_ptr<ImageService> images;
    int64_t exposureStart = 0;          // steady clock, nanoseconds
    bool reportsExposureStart = false;  // the device calls exposureStarted
    double exposureSeconds = -1;
    corvo::proto::ImageReady announced;
};

}  // namespace corvo
