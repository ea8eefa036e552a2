// libFuzzer target: the mailbox frame decoder. Whatever decodes must encode
// again and decode to the same message.
#include <cstdint>
#include <cstdlib>

#include "zre_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zre::Message message;
    if (zre::decodeMessage(data, size, message) != zre::DecodeError::None)
        return 0;
    auto encoded = zre::encodeMessage(message);
    if (!encoded)
        return 0;  // ELECT/LEADER carry fields that are not kept
    zre::Message again;
    if (zre::decodeMessage(encoded->data(), encoded->size(), again) != zre::DecodeError::None)
        abort();
    if (again.id != message.id || again.sequence != message.sequence || again.group != message.group ||
        again.groups != message.groups || again.headers != message.headers || again.name != message.name ||
        again.endpoint != message.endpoint || again.status != message.status)
        abort();
    return 0;
}
