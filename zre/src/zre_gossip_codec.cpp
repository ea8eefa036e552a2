#include "zre_gossip_codec.hpp"

#include <cstring>

namespace zre {

namespace {

constexpr uint8_t kSignature0 = 0xAA;
constexpr uint8_t kSignature1 = 0xA0;
constexpr uint8_t kVersion = 1;
constexpr size_t kZ85KeySize = 40;

void putU32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(v >> shift));
}

uint32_t getU32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

bool isZ85(char c)
{
    static const char kAlphabet[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-:+=^!/*?&<>()[]{}@%$#";
    return c != '\0' && std::strchr(kAlphabet, c) != nullptr;
}

}  // namespace

std::optional<std::vector<uint8_t>> encodeGossip(const GossipMessage& message)
{
    std::vector<uint8_t> out{kSignature0, kSignature1, uint8_t(message.id), kVersion};
    if (message.id != GossipId::Publish)
        return out;
    if (message.key.size() > kMaxGossipKey || message.value.size() > kMaxGossipValue)
        return std::nullopt;
    out.push_back(uint8_t(message.key.size()));
    out.insert(out.end(), message.key.begin(), message.key.end());
    putU32(out, uint32_t(message.value.size()));
    out.insert(out.end(), message.value.begin(), message.value.end());
    putU32(out, message.ttlMs);
    return out;
}

std::optional<GossipMessage> decodeGossip(const uint8_t* data, size_t size)
{
    if (size < 4 || data[0] != kSignature0 || data[1] != kSignature1 || data[3] != kVersion)
        return std::nullopt;
    if (data[2] < uint8_t(GossipId::Hello) || data[2] > uint8_t(GossipId::Invalid))
        return std::nullopt;
    GossipMessage message;
    message.id = GossipId(data[2]);
    if (message.id != GossipId::Publish)
        return size == 4 ? std::optional<GossipMessage>(message) : std::nullopt;
    size_t at = 4;
    if (size - at < 1)
        return std::nullopt;
    size_t keySize = data[at++];
    if (size - at < keySize + 4)
        return std::nullopt;
    message.key.assign(reinterpret_cast<const char*>(data + at), keySize);
    at += keySize;
    uint32_t valueSize = getU32(data + at);
    at += 4;
    if (valueSize > kMaxGossipValue || size - at < size_t(valueSize) + 4)
        return std::nullopt;
    message.value.assign(reinterpret_cast<const char*>(data + at), valueSize);
    at += valueSize;
    message.ttlMs = getU32(data + at);
    at += 4;
    if (at != size)
        return std::nullopt;
    return message;
}

std::optional<GossipMessage> publishTuple(const GossipTuple& tuple, uint32_t ttlMs)
{
    GossipMessage message;
    message.id = GossipId::Publish;
    message.key = uuidToString(tuple.uuid);
    message.value = tuple.endpoint;
    if (!tuple.publicKey.empty())
        message.value += "|" + tuple.publicKey;
    message.ttlMs = ttlMs;
    if (message.value.size() > kMaxGossipValue)
        return std::nullopt;
    return message;
}

std::optional<GossipTuple> parseTuple(const GossipMessage& publish)
{
    if (publish.id != GossipId::Publish || publish.key.size() != 32)
        return std::nullopt;
    auto uuid = uuidFromString(publish.key);
    if (!uuid)
        return std::nullopt;
    GossipTuple tuple;
    tuple.uuid = *uuid;
    size_t bar = publish.value.find('|');
    tuple.endpoint = publish.value.substr(0, bar);
    if (bar != std::string::npos) {
        tuple.publicKey = publish.value.substr(bar + 1);
        if (tuple.publicKey.size() != kZ85KeySize)
            return std::nullopt;
        for (char c : tuple.publicKey)
            if (!isZ85(c))
                return std::nullopt;
    }
    if (!isValidEndpoint(tuple.endpoint))
        return std::nullopt;
    return tuple;
}

}  // namespace zre
