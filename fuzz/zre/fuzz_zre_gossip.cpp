// libFuzzer target: the ZGOSSIP decoder and the tuple parser. Whatever
// decodes must encode to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zre_gossip_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto message = zre::decodeGossip(data, size);
    if (!message)
        return 0;
    auto bytes = zre::encodeGossip(*message);
    if (!bytes || bytes->size() != size || std::memcmp(bytes->data(), data, size) != 0)
        abort();
    if (auto tuple = zre::parseTuple(*message)) {
        auto again = zre::publishTuple(*tuple, message->ttlMs);
        if (!again || !zre::parseTuple(*again))
            abort();
    }
    return 0;
}
