// libFuzzer target: the beacon parser and the identity and endpoint checks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zre_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (auto beacon = zre::parseBeacon(data, size)) {
        auto bytes = zre::encodeBeacon(*beacon);
        if (size != bytes.size() || std::memcmp(bytes.data(), data, size) != 0)
            abort();
    }
    if (auto uuid = zre::uuidFromIdentity(data, size)) {
        if (zre::identityOf(*uuid).size() != size)
            abort();
    }
    std::string text(reinterpret_cast<const char*>(data), size);
    zre::isValidEndpoint(text);
    if (auto uuid = zre::uuidFromString(text)) {
        if (zre::uuidFromString(zre::uuidToString(*uuid)) != uuid)
            abort();
    }
    return 0;
}
