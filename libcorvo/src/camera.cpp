#include "corvo/camera.h"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "corvo/diagnostics.h"
#include "corvo/file_pattern.h"
#include "corvo/image_root.h"
#include "corvo/image_service.h"
#include "corvo/message.h"
#include "corvo/misc.h"
#include "corvo/peer.h"

namespace corvo {

namespace {

// Image axes are C ints in the writer; wider values would be truncated.
int axisLength(long value)
{
    if (value < 0 || value > INT_MAX)
        throw CorvoError("Error occured during creating FITS file.");
    return static_cast<int>(value);
}

int64_t steadyNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t systemNanos()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Closes a directory descriptor on every path out of saveImage.
struct DirectoryGuard {
    int fd;
    ~DirectoryGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

}  // namespace

Camera::~Camera() = default;

Camera::Camera() : Daemon("camera")
{
    createProperty("model", Property::STRING, "camera model", false);
    createProperty("imgw", Property::INT, "px", "image width", false);
    createProperty("imgh", Property::INT, "px", "image height", false);
    createProperty("datatype", Property::INT, "pixel data type", false);
    auto datatype = properties.at("datatype");
    datatype->addChoice(IMAGE_INT8, "INT8");
    datatype->addChoice(IMAGE_UINT8, "UINT8");
    datatype->addChoice(IMAGE_INT16, "INT16");
    datatype->addChoice(IMAGE_UINT16, "UINT16");
    datatype->addChoice(IMAGE_INT32, "INT32");
    datatype->addChoice(IMAGE_UINT32, "UINT32");
    datatype->addChoice(IMAGE_FLOAT, "FLOAT");
    datatype->addChoice(IMAGE_DOUBLE, "DOUBLE");
    datatype->setValue(static_cast<long>(IMAGE_UINT16));
    createProperty("expotime", Property::DOUBLE, "s", "exposure time", true);
    // No exposure is shorter than nothing; a device sets its own maximum.
    properties.at("expotime")->valueMin = 0.0;
    createProperty("starttime", Property::STRING, "exposure start time", false);
    createProperty("filepattern", Property::STRING, "image filename pattern", true);
    createProperty("filename", Property::STRING, "last image filename", false);
    createProperty("current", Property::DOUBLE, "A", "a test current value", true);
    createProperty("temperature", Property::DOUBLE, "DC", "a test temp value", true);
    // Set by the configuration file only: peers may read but not move it.
    createProperty("imageroot", Property::STRING, "directory that holds every image", false);

    addStatusStr(1, "EXPOSE");
    addStatusStr(2, "READOUT");
    addStatusStr(3, "POWERON");
    addStatusStr(4, "POWEROFF");

    createCommand(
        "expose", [this](std::vector<std::string>) { startExposure(); }, "take exposure");
    createCommand(
        "switch", [this](std::vector<std::string>) { switchPower(); }, "turn on/off the power");
    createCommand(
        "readtemp", [this](std::vector<std::string>) { readTemp(); }, "read the temperature");
    createCommand(
        "readcurrent", [this](std::vector<std::string>) { readCurrent(); }, "test function to change the current");
}

void Camera::startExposure()
{
    doExpose();
    // A device that reports the true start (exposureStarted) sets
    // "starttime" itself, once; for the others the request is the start.
    if (!reportsExposureStart)
        properties.at("starttime")->setValue(getFitsTime());
}

void Camera::switchPower()
{
    doSwitchPower();
}

void Camera::readCurrent()
{
    doReadCurrent();
}

void Camera::readTemp()
{
    doReadTemp();
}

void Camera::beforeLoop()
{
    Daemon::beforeLoop();
    // Peers' property copies must follow their owners: header cards and
    // file names read them.
    network->setRecvValue(true);
    // Peers see where images go, not an empty setting that means the default.
    if (properties.at("imageroot")->getValue<std::string>().empty())
        properties.at("imageroot")->setValue(imageRoot());
}

void Camera::onIdle()
{
    if (!images)
        return;
    images->work();
    images->expire();
}

void Camera::onImageMessage(std::shared_ptr<Peer> peer, uint8_t tag, const unsigned char* data, size_t size)
{
    if (tag == MSG_IMAGE_READY)
        return;  // another camera's announcement
    if (!images)
        startImageService();
    images->handle(peer->uuid, peer->name, tag, data, size);
}

void Camera::startImageService()
{
    images = std::make_unique<ImageService>([this] { return imageRoot(); },
                                            [this] { return properties.at("filename")->getValue<std::string>(); },
                                            [this](const std::string& uuid, zmsg_t* msg) {
                                                auto to = network->peers().byUuid(uuid);
                                                to ? network->sendOne(msg, to) : zmsg_destroy(&msg);
                                            },
                                            [this](const std::string& text) { warn(text); });
    images->setAdmission([this](const std::string& uuid, const std::string& image) {
        auto peer = network->peers().byUuid(uuid);
        return peer ? accessGuard().mayFetch(*peer, image).reason : std::string("the peer left");
    });
    images->setAudit([this](const ImageService::FetchRecord& record) {
        auto peer = network->peers().byUuid(record.peerUuid);
        // A receiver that has just left is still named in its record.
        Peer gone(record.peerName, record.peerUuid, "");
        const Peer& who = peer ? *peer : gone;
        const std::string what = "fetch " + record.name;
        if (!record.accepted)
            return accessGuard().record(who, false, what, record.outcome);
        accessGuard().record(who, true, what,
                             "sent " + std::to_string(record.sent) + " of " + std::to_string(record.size) +
                                 " bytes from byte " + std::to_string(record.offset) + ": " + record.outcome,
                             !record.complete);
    });
}

void Camera::onExit(std::shared_ptr<Peer> peer)
{
    if (images)
        images->peerLeft(peer->uuid);
    Daemon::onExit(peer);
}

void Camera::onPropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change)
{
    if (change.name() == "filepattern" && change.has_strval()) {
        std::string reason;
        if (!checkFilePattern(change.strval().value(), reason)) {
            // Logged once with the requester's name and answered at once.
            refuseProperty(std::move(peer), "filepattern", reason);
            return;
        }
    }
    Daemon::onPropertyCommand(std::move(peer), change);
}

void Camera::warn(const std::string& text)
{
    if (logger.logger)
        logger->warn("{}", text);
    else
        diagnose(Diagnostic::Warning, Diagnostic::Stderr, text);
}

void Camera::exposureStarted()
{
    reportsExposureStart = true;
    exposureStart = steadyNanos();
    exposureSeconds = -1;
    properties.at("starttime")->setValue(formatFitsTime(systemNanos()));
}

void Camera::exposureEnded()
{
    exposureSeconds = static_cast<double>(steadyNanos() - exposureStart) / 1e9;
}

std::string Camera::imageRoot() const
{
    return ImageRoot(properties.at("imageroot")->getValue<std::string>()).path();
}

bool Camera::checkFilePattern(const std::string& pattern, std::string& reason) const
{
    if (pattern.empty())
        return true;
    const time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::string directory, file;
    return ImageRoot(imageRoot()).place(expandFilePattern(pattern, local), directory, file, reason);
}

const Property* Camera::findProperty(const std::string& component, const std::string& property) const
{
    if (component == name) {
        auto it = properties.find(property);
        return it == properties.end() ? nullptr : it->second.get();
    }
    if (!network)
        return nullptr;
    return network->peers().findProperty(component, property);
}

std::string Camera::expandFilePattern(const std::string& pattern, const std::tm& now) const
{
    return corvo::expandFilePattern(
        pattern, now, [this](const std::string& component, const std::string& property, std::string& text) {
            const Property* found = findProperty(component, property);
            if (!found)
                return false;
            // An INT whose value is not one of its choices has no text.
            try {
                text = found->toString();
                return true;
            } catch (const std::out_of_range&) {
                return false;
            }
        });
}

std::vector<FitsHdrItem> Camera::buildHeaderCards(const std::vector<FitsHdrMap>& entries) const
{
    return headerCards(entries, [this](const std::string& component, const std::string& property) {
        return findProperty(component, property);
    });
}

bool Camera::saveImage(void* data)
{
    const std::string pattern = properties.at("filepattern")->getValue<std::string>();
    if (pattern.empty()) {
        warn("no file pattern: image not saved");
        return false;
    }

    const time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string expanded = expandFilePattern(pattern, local);

    const ImageRoot root(imageRoot());
    std::string directory, file, reason;
    if (!root.place(expanded, directory, file, reason))
        throw CorvoError("Image name refused: " + reason);
    DirectoryGuard dir{root.openDirectory(directory)};
    if (dir.fd < 0)
        throw CorvoError("Error occured during creating FITS file.");
    const std::string directoryPath = root.path() + "/" + (directory.empty() ? "" : directory + "/");
    file = Image::nextFreeName(dir.fd, file);

    // "filename" still names the last complete image; a card that asks for
    // it gets the name of this one.
    Property ownName = *properties.at("filename");
    ownName.master = nullptr;
    ownName.strValue = directoryPath + file;
    const auto cards = headerCards(parseFitsHdrFile(confManager.getPath("fitshdr.txt")),
                                   [&](const std::string& component, const std::string& property) {
                                       if (component == name && property == "filename")
                                           return static_cast<const Property*>(&ownName);
                                       return findProperty(component, property);
                                   });

    const int width = axisLength(properties.at("imgw")->getValue<long>());
    const int height = axisLength(properties.at("imgh")->getValue<long>());
    const long datatype = properties.at("datatype")->getValue<long>();
    if (datatype < INT_MIN || datatype > INT_MAX)
        throw CorvoError("Error occured during creating FITS file.");
    const auto type = static_cast<ImageType>(datatype);
    Image image(dir.fd, directoryPath, file, type, width, height, false);
    for (const auto& card : cards) {
        // A card cfitsio cannot write (a NaN, a bad keyword) never costs the
        // image.
        try {
            image.writeHeader(card);
        } catch (const CorvoError& e) {
            warn("Header card " + card.key + " skipped: " + e.what());
        }
    }
    if (exposureSeconds >= 0)
        image.writeHeader("EXPTIME", exposureSeconds, "exposure time [s], measured");
    try {
        image.writeData(data, true);
        image.close();
    } catch (...) {
        image.discard();
        throw;
    }
    // Broadcast once the file is complete under its final name: a peer
    // that waits for "filename" can open the file at once.
    properties.at("filename")->setValue(image.filename);
    const std::string saved = image.filename.substr(image.filename.find_last_of('/') + 1);
    announceImage(dir.fd, directory.empty() ? saved : directory + "/" + saved, type, width, height);
    return true;
}

void Camera::announceImage(int directoryFd, const std::string& name, int type, int width, int height)
{
    corvo::proto::ImageReady ready;
    ready.set_name(name);
    uint64_t size = 0;
    std::string sha1;
    const std::string file = name.substr(name.find_last_of('/') + 1);
    if (!digestFile(directoryFd, file, size, sha1)) {
        warn("image " + name + " could not be read back: not announced");
        return;
    }
    ready.set_size(size);
    ready.set_sha1(sha1);
    ready.set_width(static_cast<uint32_t>(width));
    ready.set_height(static_cast<uint32_t>(height));
    ready.set_datatype(type);
    ready.set_exposure_start(properties.at("starttime")->getValue<std::string>().substr(0, kImageTimeBytes));
    ready.set_exposure_length(exposureSeconds >= 0 ? exposureSeconds : properties.at("expotime")->getValue<double>());
    ready.set_saved(formatFitsTime(systemNanos()));
    announced = ready;
    if (network)
        network->sendAll(ProtobufToZMsg(ready));
}

}  // namespace corvo
