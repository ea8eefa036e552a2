#include "zre_codec.hpp"

#include <arpa/inet.h>

#include <cstring>

namespace zre {

namespace {

constexpr uint8_t kSignature0 = 0xAA;
constexpr uint8_t kSignature1 = 0xA1;
constexpr size_t kHeaderSize = 6;  // signature, id, version, sequence

// Bounds-checked reader over one frame. Every read fails once the frame is
// exhausted, and a failed reader stays failed.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool ok() const { return ok_; }
    size_t remaining() const { return ok_ ? size_ - pos_ : 0; }

    uint8_t number1()
    {
        uint8_t v = 0;
        if (take(1))
            v = data_[pos_ - 1];
        return v;
    }
    uint16_t number2()
    {
        uint16_t v = 0;
        if (take(2))
            v = uint16_t(data_[pos_ - 2] << 8 | data_[pos_ - 1]);
        return v;
    }
    uint32_t number4()
    {
        uint32_t v = 0;
        if (take(4)) {
            const uint8_t* p = data_ + pos_ - 4;
            v = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        }
        return v;
    }
    std::string string() { return bytes(number1()); }
    std::string longstr() { return bytes(number4()); }

    // The minimum encoded sizes bound the counts before anything is reserved.
    std::vector<std::string> strings()
    {
        std::vector<std::string> out;
        uint32_t count = number4();
        if (!ok_ || count > remaining() / 4)
            return fail(out);
        out.reserve(count);
        for (uint32_t i = 0; i < count && ok_; ++i)
            out.push_back(longstr());
        return out;
    }
    Headers hash()
    {
        Headers out;
        uint32_t count = number4();
        if (!ok_ || count > remaining() / 5)
            return fail(out);
        out.reserve(count);
        for (uint32_t i = 0; i < count && ok_; ++i) {
            std::string key = string();
            std::string value = longstr();
            out.emplace_back(std::move(key), std::move(value));
        }
        return out;
    }

private:
    template <typename T>
    T fail(T& value)
    {
        ok_ = false;
        value.clear();
        return std::move(value);
    }
    bool take(size_t n)
    {
        if (!ok_ || n > size_ - pos_) {
            ok_ = false;
            return false;
        }
        pos_ += n;
        return true;
    }
    std::string bytes(size_t n)
    {
        if (!take(n))
            return {};
        return std::string(reinterpret_cast<const char*>(data_ + pos_ - n), n);
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Writes into a given buffer, emptied first, so that a sender can reuse one.
class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : out_(out) { out_.clear(); }
    void number1(uint8_t v) { out_.push_back(v); }
    void number2(uint16_t v)
    {
        out_.push_back(uint8_t(v >> 8));
        out_.push_back(uint8_t(v));
    }
    void number4(uint32_t v)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            out_.push_back(uint8_t(v >> shift));
    }
    void string(const std::string& s)
    {
        if (s.size() > kMaxStringSize) {
            ok_ = false;
            return;
        }
        number1(uint8_t(s.size()));
        out_.insert(out_.end(), s.begin(), s.end());
    }
    void longstr(const std::string& s)
    {
        if (s.size() > UINT32_MAX) {
            ok_ = false;
            return;
        }
        number4(uint32_t(s.size()));
        out_.insert(out_.end(), s.begin(), s.end());
    }
    bool ok() const { return ok_; }

private:
    std::vector<uint8_t>& out_;
    bool ok_ = true;
};

bool isKnownId(uint8_t id)
{
    return id >= uint8_t(MessageId::Hello) && id <= uint8_t(MessageId::Goodbye);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

BeaconBytes encodeBeacon(const Beacon& beacon)
{
    BeaconBytes out{};
    out[0] = 'Z';
    out[1] = 'R';
    out[2] = 'E';
    out[3] = kBeaconVersion;
    std::memcpy(out.data() + 4, beacon.uuid.data(), beacon.uuid.size());
    out[20] = uint8_t(beacon.port >> 8);
    out[21] = uint8_t(beacon.port);
    return out;
}

std::optional<Beacon> parseBeacon(const uint8_t* data, size_t size)
{
    if (data == nullptr || size != kBeaconSize)
        return std::nullopt;
    if (data[0] != 'Z' || data[1] != 'R' || data[2] != 'E' || data[3] != kBeaconVersion)
        return std::nullopt;
    Beacon beacon;
    std::memcpy(beacon.uuid.data(), data + 4, beacon.uuid.size());
    beacon.port = uint16_t(data[20] << 8 | data[21]);
    return beacon;
}

const char* messageIdName(MessageId id)
{
    switch (id) {
        case MessageId::Hello:
            return "HELLO";
        case MessageId::Whisper:
            return "WHISPER";
        case MessageId::Shout:
            return "SHOUT";
        case MessageId::Join:
            return "JOIN";
        case MessageId::Leave:
            return "LEAVE";
        case MessageId::Ping:
            return "PING";
        case MessageId::PingOk:
            return "PING-OK";
        case MessageId::Elect:
            return "ELECT";
        case MessageId::Leader:
            return "LEADER";
        case MessageId::Goodbye:
            return "GOODBYE";
    }
    return "?";
}

const char* decodeErrorName(DecodeError error)
{
    switch (error) {
        case DecodeError::None:
            return "ok";
        case DecodeError::Truncated:
            return "truncated";
        case DecodeError::BadSignature:
            return "bad signature";
        case DecodeError::BadVersion:
            return "bad version";
        case DecodeError::UnknownId:
            return "unknown id";
    }
    return "?";
}

DecodeError decodeMessage(const uint8_t* data, size_t size, Message& out)
{
    out = Message{};
    if (data == nullptr || size < kHeaderSize)
        return DecodeError::Truncated;
    if (data[0] != kSignature0 || data[1] != kSignature1)
        return DecodeError::BadSignature;
    if (!isKnownId(data[2]))
        return DecodeError::UnknownId;
    if (data[3] != kProtocolVersion)
        return DecodeError::BadVersion;

    Reader in(data + 4, size - 4);
    out.id = MessageId(data[2]);
    out.sequence = in.number2();
    switch (out.id) {
        case MessageId::Hello:
            out.endpoint = in.string();
            out.groups = in.strings();
            out.status = in.number1();
            out.name = in.string();
            out.headers = in.hash();
            break;
        case MessageId::Shout:
            out.group = in.string();
            break;
        case MessageId::Join:
        case MessageId::Leave:
            out.group = in.string();
            out.status = in.number1();
            break;
        case MessageId::Whisper:
        case MessageId::Ping:
        case MessageId::PingOk:
        case MessageId::Goodbye:
            break;
        case MessageId::Elect:
        case MessageId::Leader:
            // Leader election is not taken part in; the fields are not needed.
            break;
    }
    if (!in.ok()) {
        out = Message{};
        return DecodeError::Truncated;
    }
    return DecodeError::None;
}

std::optional<std::vector<uint8_t>> encodeMessage(const Message& message)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(64);  // every message but a large HELLO
    if (!encodeMessageInto(message, bytes))
        return std::nullopt;
    return bytes;
}

bool encodeMessageInto(const Message& message, std::vector<uint8_t>& bytes)
{
    Writer out(bytes);
    out.number1(kSignature0);
    out.number1(kSignature1);
    out.number1(uint8_t(message.id));
    out.number1(kProtocolVersion);
    out.number2(message.sequence);
    switch (message.id) {
        case MessageId::Hello:
            out.string(message.endpoint);
            out.number4(uint32_t(message.groups.size()));
            for (const auto& group : message.groups)
                out.longstr(group);
            out.number1(message.status);
            out.string(message.name);
            out.number4(uint32_t(message.headers.size()));
            for (const auto& [key, value] : message.headers) {
                out.string(key);
                out.longstr(value);
            }
            break;
        case MessageId::Shout:
            out.string(message.group);
            break;
        case MessageId::Join:
        case MessageId::Leave:
            out.string(message.group);
            out.number1(message.status);
            break;
        case MessageId::Elect:
        case MessageId::Leader:
            // Never sent by this node; encoded with empty fields for completeness.
            out.string(message.group);
            out.string(std::string());
            break;
        case MessageId::Whisper:
        case MessageId::Ping:
        case MessageId::PingOk:
        case MessageId::Goodbye:
            break;
    }
    return out.ok();
}

std::array<uint8_t, kIdentitySize> identityOf(const Uuid& uuid)
{
    std::array<uint8_t, kIdentitySize> out{};
    out[0] = kIdentityPrefix;
    std::memcpy(out.data() + 1, uuid.data(), uuid.size());
    return out;
}

std::optional<Uuid> uuidFromIdentity(const uint8_t* data, size_t size)
{
    if (data == nullptr || size != kIdentitySize)
        return std::nullopt;
    Uuid uuid;
    std::memcpy(uuid.data(), data + 1, uuid.size());
    return uuid;
}

std::string uuidToString(const Uuid& uuid)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(32);
    for (uint8_t b : uuid) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

std::optional<Uuid> uuidFromString(const std::string& text)
{
    if (text.size() != 32)
        return std::nullopt;
    Uuid uuid;
    for (size_t i = 0; i < uuid.size(); ++i) {
        int hi = hexValue(text[2 * i]);
        int lo = hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        uuid[i] = uint8_t(hi << 4 | lo);
    }
    return uuid;
}

bool isValidEndpoint(const std::string& endpoint)
{
    static const std::string prefix = "tcp://";
    if (endpoint.compare(0, prefix.size(), prefix) != 0)
        return false;
    std::string rest = endpoint.substr(prefix.size());
    size_t colon = rest.rfind(':');
    if (colon == std::string::npos)
        return false;
    std::string host = rest.substr(0, colon);
    std::string port = rest.substr(colon + 1);
    in_addr addr;
    if (host.empty() || inet_pton(AF_INET, host.c_str(), &addr) != 1)
        return false;
    if (port.empty() || port.size() > 5)
        return false;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + unsigned(c - '0');
    }
    return value >= 1 && value <= 65535;
}

}  // namespace zre
