// libFuzzer target: the path from a received message to a daemon's
// callbacks. The input is cut into WHISPER and SHOUT events from one peer
// (after its ENTER and JOIN), each with several frames, and handed to the
// network of a daemon that has properties of every type, limits, choices and
// commands with typed arguments. Nothing may crash, and no property of the
// daemon may end up outside its limits or choices.
#include <czmq.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "corvo/daemon.h"
#include "corvo/misc.h"
#include "corvo/network.h"
#include "corvo/peer.h"

namespace {

class FuzzedDaemon : public corvo::Daemon {
public:
    FuzzedDaemon() : Daemon("fuzzed")
    {
        createProperty("gain", corvo::Property::INT, "gain", true);
        createProperty("exposure", corvo::Property::DOUBLE, "s", "exposure", true);
        createProperty("label", corvo::Property::STRING, "label", true);
        createProperty("names", corvo::Property::STR_LIST, "names", true);
        createProperty("steps", corvo::Property::INT_LIST, "steps", true);
        createProperty("temps", corvo::Property::DOUBLE_LIST, "temps", true);
        createProperty("serial", corvo::Property::STRING, "read-only", false);
        properties["gain"]->valueMin = 0L;
        properties["gain"]->valueMax = 16L;
        properties["gain"]->addChoice(1, "low");
        properties["gain"]->addChoice(4, "high");
        properties["gain"]->setValue(1L);
        properties["exposure"]->valueMin = 0.0;
        properties["exposure"]->valueMax = 3600.0;
        createCommand(
            "move", [](std::vector<std::string>) {}, "", 2, corvo::ARG_INT, "slot", corvo::ARG_DOUBLE, "focus");
        createCommand(
            "flag", [](std::vector<std::string>) {}, "", 1, corvo::ARG_BOOL, "on");
        createCommand(
            "reject", [](std::vector<std::string>) { throw corvo::CorvoArgError(); }, "", 0);
    }

    void prepare()
    {
        network = std::make_shared<corvo::Network>(this, false);
        network->siteGroup = "site";
        network->propGroup = "site-prop";
        network->logGroup = "site-log";
        logger.init(name, spdlog::level::off, network.get());
    }

    void checkInvariants() const
    {
        const corvo::Property& gain = *properties.at("gain");
        if (gain.intValue != 1 && gain.intValue != 4)
            std::abort();
        double exposure = properties.at("exposure")->doubleValue;
        if (!std::isfinite(exposure) || exposure < 0 || exposure > 3600)
            std::abort();
        if (gain.choices.size() != 2 || boost::get<long>(gain.valueMax) != 16)
            std::abort();
        if (properties.at("serial")->strValue != "")
            std::abort();
        for (double t : properties.at("temps")->doubleList)
            if (!std::isfinite(t))
                std::abort();
    }

    corvo::Network& net() { return *network; }
};

FuzzedDaemon* fuzzed = nullptr;

// Reads a little-endian length of two bytes, or what is left.
size_t takeLength(const uint8_t*& data, size_t& size)
{
    if (size < 2) {
        size_t n = size;
        data += size;
        size = 0;
        return n;
    }
    size_t n = data[0] | (data[1] << 8);
    data += 2;
    size -= 2;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::cout.setstate(std::ios::failbit);
    std::cerr.setstate(std::ios::failbit);
    std::clog.setstate(std::ios::failbit);
    fuzzed = new FuzzedDaemon;  // lives for the whole run
    fuzzed->prepare();
    return 0;
}

// Input: a sequence of messages. Each starts with one control byte (bit 0:
// SHOUT or WHISPER, bits 1-2: the group, bits 3-5: the frame count minus
// one), followed by its frames, each a two-byte length and its bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const kGroups[] = {"site", "site-prop", "site-log", "elsewhere"};
    corvo::Network& net = fuzzed->net();

    corvo::NetworkEvent enter;
    enter.type = "ENTER";
    enter.peerUuid = "0123456789ABCDEF0123456789ABCDEF";
    enter.peerName = "fuzzer";
    enter.headers["client"] = "1";
    net.handleEvent(enter);
    corvo::NetworkEvent join;
    join.type = "JOIN";
    join.peerUuid = enter.peerUuid;
    join.group = "site";
    net.handleEvent(join);

    while (size > 0) {
        uint8_t control = data[0];
        ++data;
        --size;
        zmsg_t* msg = zmsg_new();
        int frames = ((control >> 3) & 7) + 1;
        for (int i = 0; i < frames && size > 0; ++i) {
            size_t length = std::min(takeLength(data, size), size);
            zmsg_addmem(msg, data, length);
            data += length;
            size -= length;
        }
        corvo::NetworkEvent event;
        event.type = (control & 1) ? "SHOUT" : "WHISPER";
        event.peerUuid = enter.peerUuid;
        if (control & 1)
            event.group = kGroups[(control >> 1) & 3];
        event.msg = msg;
        try {
            net.handleEvent(event);
        } catch (const std::exception&) {
            // Exceptions are reported by the loop; they must not be crashes.
        }
        zmsg_destroy(&msg);
        fuzzed->checkInvariants();
    }

    corvo::NetworkEvent exit;
    exit.type = "EXIT";
    exit.peerUuid = enter.peerUuid;
    net.handleEvent(exit);
    return 0;
}
