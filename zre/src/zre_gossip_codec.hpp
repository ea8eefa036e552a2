// The ZGOSSIP v1 wire format (gossip discovery, as zyre 2.0 speaks it):
// pure functions over buffers, like the beacon and message codec.
//
// One ZeroMQ frame per message: signature 0xAA 0xA0, id (1 HELLO,
// 2 PUBLISH, 3 PING, 4 PONG, 5 INVALID), version 1; a PUBLISH adds key
// (1-byte length + text), value (4-byte length in network order + text)
// and ttl (4 bytes, network order, milliseconds; zyre sends 0).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zre_codec.hpp"

namespace zre {

enum class GossipId : uint8_t { Hello = 1, Publish = 2, Ping = 3, Pong = 4, Invalid = 5 };

// A value longer than this is refused (an endpoint and a key take about
// a hundred bytes): the 4-byte length could otherwise announce 4 GiB.
constexpr size_t kMaxGossipValue = 1024;
// A key is at most 255 bytes by its encoding.
constexpr size_t kMaxGossipKey = 255;
// The gossip sockets take no frame larger than this (ZMQ_MAXMSGSIZE):
// libzmq closes a connection whose frame announces more, before reading
// it. Above the largest message (signature, id, version, key, value and
// ttl: 1,292 bytes), with room for CURVE's overhead.
constexpr int64_t kMaxGossipFrame = 4096;
static_assert(size_t(kMaxGossipFrame) > 4 + 1 + kMaxGossipKey + 4 + kMaxGossipValue + 4 + 64, "a message must fit");

struct GossipMessage {
    GossipId id = GossipId::Hello;
    // PUBLISH only.
    std::string key;
    std::string value;
    uint32_t ttlMs = 0;
};

// Empty when a key or value is beyond its bound.
std::optional<std::vector<uint8_t>> encodeGossip(const GossipMessage& message);
// Empty for anything but one whole, valid message (wrong signature, id or
// version, a truncated field, a value beyond kMaxGossipValue, or bytes
// after the end).
std::optional<GossipMessage> decodeGossip(const uint8_t* data, size_t size);

// What a node publishes: its UUID as the key, its mailbox endpoint as the
// value, followed by "|" and its public key (Z85, 40 characters) when it
// is secured.
struct GossipTuple {
    Uuid uuid{};
    std::string endpoint;
    std::string publicKey;  // Z85 text, empty on an open node
};

std::optional<GossipMessage> publishTuple(const GossipTuple& tuple, uint32_t ttlMs);
// Empty when the key is not a UUID, the endpoint not a valid tcp endpoint,
// or the key not 40 Z85 characters.
std::optional<GossipTuple> parseTuple(const GossipMessage& publish);

}  // namespace zre
