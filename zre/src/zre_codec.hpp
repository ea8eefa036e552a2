// Encoding and decoding of the ZRE v2 wire formats: the UDP discovery beacon
// and the first ZeroMQ frame of every mailbox message. Pure functions over
// byte buffers, so they can be tested and fuzzed without sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zre {

using Uuid = std::array<uint8_t, 16>;

constexpr size_t kBeaconSize = 22;
constexpr uint8_t kBeaconVersion = 0x01;
constexpr uint8_t kProtocolVersion = 2;
constexpr size_t kMaxStringSize = 255;
constexpr size_t kIdentitySize = 17;
constexpr uint8_t kIdentityPrefix = 0x01;

struct Beacon {
    Uuid uuid{};
    uint16_t port = 0;  // 0: the sender is leaving
};

using BeaconBytes = std::array<uint8_t, kBeaconSize>;

BeaconBytes encodeBeacon(const Beacon& beacon);
// Empty unless `data` is exactly one well-formed beacon.
std::optional<Beacon> parseBeacon(const uint8_t* data, size_t size);

enum class MessageId : uint8_t {
    Hello = 1,
    Whisper = 2,
    Shout = 3,
    Join = 4,
    Leave = 5,
    Ping = 6,
    PingOk = 7,
    Elect = 8,
    Leader = 9,
    Goodbye = 10,
};

const char* messageIdName(MessageId id);

using Headers = std::vector<std::pair<std::string, std::string>>;

// One decoded first frame. Only the fields of `id` are meaningful.
struct Message {
    MessageId id = MessageId::Ping;
    uint16_t sequence = 0;
    std::string endpoint;             // HELLO
    std::vector<std::string> groups;  // HELLO
    uint8_t status = 0;               // HELLO, JOIN, LEAVE
    std::string name;                 // HELLO
    Headers headers;                  // HELLO
    std::string group;                // SHOUT, JOIN, LEAVE
};

enum class DecodeError {
    None,
    Truncated,     // a field runs past the end of the frame
    BadSignature,  // not 0xAA 0xA1
    BadVersion,    // protocol version other than 2
    UnknownId,     // message id outside 1..10
};

const char* decodeErrorName(DecodeError error);

// Decodes one first frame into `out`. Never reads past `size` and never
// reserves more elements than the frame could hold. Bytes after the last
// field are ignored.
DecodeError decodeMessage(const uint8_t* data, size_t size, Message& out);

// Encodes `message`; empty when a string field is longer than 255 bytes.
std::optional<std::vector<uint8_t>> encodeMessage(const Message& message);
// The same into `out` (replacing what it held), so that a sender can reuse
// one buffer; false (and `out` unspecified) when a string is too long.
bool encodeMessageInto(const Message& message, std::vector<uint8_t>& out);

// The 17-byte mailbox identity of a node: 0x01 then its UUID.
std::array<uint8_t, kIdentitySize> identityOf(const Uuid& uuid);
// The sender's UUID from a ROUTER identity frame; empty for any other size.
std::optional<Uuid> uuidFromIdentity(const uint8_t* data, size_t size);

// 32 upper-case hex characters.
std::string uuidToString(const Uuid& uuid);
std::optional<Uuid> uuidFromString(const std::string& text);

// Accepts only "tcp://a.b.c.d:port" with a numeric IPv4 address and a port
// in 1..65535, the form nodes announce their inbox in.
bool isValidEndpoint(const std::string& endpoint);

}  // namespace zre
