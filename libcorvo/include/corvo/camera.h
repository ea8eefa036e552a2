// The library's camera daemon: the properties, status values and commands of
// a simple imaging camera, and saving images as FITS files named from a
// pattern, with header cards taken from properties. A device program derives
// from it and supplies the hardware operations.
#pragma once

#include "corvo/export.h"

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
    // in "datatype", named by "filepattern"; does nothing when the pattern is
    // empty. "filename" is set (and broadcast) before the file is written.
    // Errors of the image writer and of the property types are thrown.
    void saveImage(void* data);

    void beforeLoop() override;
    void onIdle() override;

    // The file name that `pattern` gives at the broken-down time `now`.
    std::string expandFilePattern(const std::string& pattern, const std::tm& now) const;
    // The header cards that `entries` give from the current property values:
    // STRING, DOUBLE and INT (a 64-bit card) properties; others give none.
    std::vector<FitsHdrItem> buildHeaderCards(const std::vector<FitsHdrMap>& entries) const;
    // A property of this daemon (component == own name) or of a known peer;
    // null when not found.
    const Property* findProperty(const std::string& component, const std::string& property) const;

protected:
    virtual void doReadTemp() = 0;
    virtual void doReadCurrent() = 0;
    virtual void doSwitchPower() = 0;
    virtual void doExpose() = 0;
    // Abandons an exposure in progress.
    virtual void doAbort() = 0;
};

}  // namespace corvo
