#include "corvo/camera.h"

#include <climits>
#include <cstdio>
#include <ctime>

#include "corvo/misc.h"
#include "corvo/peer.h"

namespace corvo {

namespace {

// Two digits with a leading zero.
std::string twoDigits(int value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "%02d", value);
    return text;
}

// The clock field that "%<code>" names; false for codes that yield nothing.
bool clockField(char code, const std::tm& now, std::string& out)
{
    switch (code) {
        case '%':
            out += '%';
            return true;
        case 'H':
            out += twoDigits(now.tm_hour);
            return true;
        case 'M':
            out += twoDigits(now.tm_min);
            return true;
        case 'S':
            out += twoDigits(now.tm_sec);
            return true;
        case 'd':
            out += twoDigits(now.tm_mday);
            return true;
        case 'm':
            out += twoDigits(now.tm_mon + 1);
            return true;
        case 'y':
            out += std::to_string(now.tm_year + 1900);
            return true;
        default:
            return false;
    }
}

// Image axes are C ints in the writer; wider values would be truncated.
int axisLength(long value)
{
    if (value < 0 || value > INT_MAX)
        throw CorvoError("Error occured during creating FITS file.");
    return static_cast<int>(value);
}

}  // namespace

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
    createProperty("starttime", Property::STRING, "exposure start time", false);
    createProperty("filepattern", Property::STRING, "image filename pattern", true);
    createProperty("filename", Property::STRING, "last image filename", false);
    createProperty("current", Property::DOUBLE, "A", "a test current value", true);
    createProperty("temperature", Property::DOUBLE, "DC", "a test temp value", true);

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
    properties.at("starttime")->setValue(getFitsTime());
    doExpose();
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
}

void Camera::onIdle() {}

const Property* Camera::findProperty(const std::string& component, const std::string& property) const
{
    if (component == name) {
        auto it = properties.find(property);
        return it == properties.end() ? nullptr : it->second.get();
    }
    if (!network)
        return nullptr;
    // Of several peers with the same name, the first that has the property
    // answers.
    for (const auto& entry : network->peers) {
        const auto& peer = entry.second;
        if (!peer || peer->name != component)
            continue;
        auto it = peer->properties.find(property);
        if (it != peer->properties.end())
            return &it->second;
    }
    return nullptr;
}

std::string Camera::expandFilePattern(const std::string& pattern, const std::tm& now) const
{
    std::string out;
    size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        if (c == '%') {
            // A % at the very end yields nothing.
            if (i + 1 < pattern.size())
                clockField(pattern[i + 1], now, out);
            i += 2;
        } else if (c == '$') {
            if (i + 1 >= pattern.size() || pattern[i + 1] != '{') {
                i += 2;
                continue;
            }
            const size_t colon = pattern.find(':', i + 2);
            if (colon == std::string::npos)
                break;
            const size_t close = pattern.find('}', colon + 1);
            if (close == std::string::npos)
                break;
            const std::string component = pattern.substr(i + 2, colon - (i + 2));
            const std::string property = pattern.substr(colon + 1, close - (colon + 1));
            if (const Property* found = findProperty(component, property)) {
                // An INT whose value is not one of its choices has no text.
                try {
                    out += found->toString();
                } catch (const std::out_of_range&) {}
            }
            i = close + 1;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

std::vector<FitsHdrItem> Camera::buildHeaderCards(const std::vector<FitsHdrMap>& entries) const
{
    std::vector<FitsHdrItem> cards;
    for (const auto& entry : entries) {
        const Property* property = findProperty(entry.component, entry.property);
        if (!property)
            continue;
        FitsHdrItem card;
        card.key = entry.key;
        card.comment = entry.comment;
        if (property->type == Property::STRING) {
            card.type = TSTRING;
            card.strValue = property->getValue<std::string>();
        } else if (property->type == Property::DOUBLE) {
            card.type = TDOUBLE;
            card.doubleValue = property->getValue<double>();
        } else if (property->type == Property::INT) {
            // The whole 64-bit value: a 32-bit card would keep only its low
            // half.
            card.type = TLONGLONG;
            card.longValue = property->getValue<long>();
        } else {
            continue;
        }
        cards.push_back(std::move(card));
    }
    return cards;
}

void Camera::saveImage(void* data)
{
    const std::string pattern = properties.at("filepattern")->getValue<std::string>();
    if (pattern.empty())
        return;

    const time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string fileName = expandFilePattern(pattern, local);
    properties.at("filename")->setValue(fileName);

    const auto cards = buildHeaderCards(parseFitsHdrFile(confManager.getPath("fitshdr.txt")));

    const int width = axisLength(properties.at("imgw")->getValue<long>());
    const int height = axisLength(properties.at("imgh")->getValue<long>());
    const long datatype = properties.at("datatype")->getValue<long>();
    if (datatype < INT_MIN || datatype > INT_MAX)
        throw CorvoError("Error occured during creating FITS file.");
    const auto type = static_cast<ImageType>(datatype);
    Image image(fileName, type, width, height);
    image.writeHeaders(cards);
    image.writeData(data, true);
    image.close();
}

}  // namespace corvo
