// The library's camera daemon: the properties, status values and commands of
// a simple imaging camera, and saving images as FITS files named from a
// pattern, with header cards taken from properties. A device program derives
// from it and supplies the hardware operations.
#pragma once

#include "corvo/export.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "corvo/daemon.h"
#include "corvo/image.h"

namespace corvo {

class CORVO_API Camera : public Daemon {
public:
    Camera();

    void startExposure();
    void switchPower();
    void readCurrent();
    void readTemp();

    // Writes one image from a buffer of "imgw" x "imgh" pixels of the type
    // in "datatype", named by "filepattern" below the image root
    // ("imageroot"). With an empty pattern nothing is written: a warning "no
    // file pattern: image not saved" is logged, "filename" keeps its value
    // and the result is false; else it is true. An existing file
    // is never replaced: the image takes the next free numbered name.
    // "filename" is set (and broadcast) to the full path before the file is
    // written, and again should the name change on the way. A header card
    // that cannot be written is skipped with a warning; the file takes its
    // name only when complete, and one that cannot be completed is removed.
    // A name outside the root, errors of the image writer and of the
    // property types are thrown.
    bool saveImage(void* data);

    void beforeLoop() override;
    void onIdle() override;
    // A new "filepattern" that would leave the image root is refused;
    // everything else goes to the daemon.
    void onPropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change) override;

    // The file name that `pattern` gives at the broken-down time `now`. The
    // text of a ${component:property} reference is sanitised
    // (sanitizeFileNameText).
    std::string expandFilePattern(const std::string& pattern, const std::tm& now) const;
    // The image root from "imageroot" (ImageRoot::defaultRoot() when empty).
    std::string imageRoot() const;
    // False, with the reason, when `pattern` expanded now would name a file
    // outside the image root. An empty pattern (no saving) is accepted.
    bool checkFilePattern(const std::string& pattern, std::string& reason) const;
    // The header cards that `entries` give from the current property values:
    // STRING, DOUBLE and INT (a 64-bit card) properties; others give none.
    std::vector<FitsHdrItem> buildHeaderCards(const std::vector<FitsHdrMap>& entries) const;
    // A property of this daemon (component == own name) or of a known peer;
    // null when not found.
    const Property* findProperty(const std::string& component, const std::string& property) const;

protected:
    // A device calls these when an exposure really starts and ends (by the
    // clock, not by its request): the start sets "starttime" (broadcast once
    // per exposure; startExposure then leaves it alone), and the next saved
    // image carries the measured length as EXPTIME.
    void exposureStarted();
    void exposureEnded();
    // The measured length of the last exposure in seconds; negative when
    // none was recorded.
    double measuredExposure() const { return exposureSeconds; }

    virtual void doReadTemp() = 0;
    virtual void doReadCurrent() = 0;
    virtual void doSwitchPower() = 0;
    virtual void doExpose() = 0;
    // Abandons an exposure in progress.
    virtual void doAbort() = 0;

private:
    void warn(const std::string& text);

    int64_t exposureStart = 0;          // steady clock, nanoseconds
    bool reportsExposureStart = false;  // the device calls exposureStarted
    double exposureSeconds = -1;
};

}  // namespace corvo
