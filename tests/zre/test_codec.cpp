// Beacon and message frame encoding: byte-exact layouts, round trips and
// hostile input.
#include <gtest/gtest.h>

#include <random>

#include "zre_codec.hpp"

using namespace zre;

namespace {

using Bytes = std::vector<uint8_t>;

Uuid sampleUuid()
{
    Uuid u;
    for (size_t i = 0; i < u.size(); ++i)
        u[i] = uint8_t(0xA0 + i);
    return u;
}

Bytes encoded(const Message& m)
{
    auto bytes = encodeMessage(m);
    EXPECT_TRUE(bytes);
    return bytes ? *bytes : Bytes{};
}

DecodeError decode(const Bytes& bytes, Message& out)
{
    return decodeMessage(bytes.data(), bytes.size(), out);
}

TEST(ZreBeacon, EncodesTwentyTwoBytes)
{
    BeaconBytes b = encodeBeacon(Beacon{sampleUuid(), 0xC123});
    Bytes expected = {'Z', 'R', 'E', 0x01};
    for (uint8_t x : sampleUuid())
        expected.push_back(x);
    expected.push_back(0xC1);
    expected.push_back(0x23);
    EXPECT_EQ(Bytes(b.begin(), b.end()), expected);
}

TEST(ZreBeacon, ParsesWhatItEncodesIncludingLeavingBeacon)
{
    for (uint16_t port : {uint16_t(0), uint16_t(1), uint16_t(49152), uint16_t(65535)}) {
        BeaconBytes b = encodeBeacon(Beacon{sampleUuid(), port});
        auto parsed = parseBeacon(b.data(), b.size());
        ASSERT_TRUE(parsed);
        EXPECT_EQ(parsed->uuid, sampleUuid());
        EXPECT_EQ(parsed->port, port);
    }
}

TEST(ZreBeacon, RejectsWrongSizePrefixOrVersion)
{
    BeaconBytes good = encodeBeacon(Beacon{sampleUuid(), 5000});
    Bytes longer(good.begin(), good.end());
    longer.push_back(0);
    EXPECT_FALSE(parseBeacon(longer.data(), longer.size()));
    EXPECT_FALSE(parseBeacon(good.data(), good.size() - 1));
    EXPECT_FALSE(parseBeacon(good.data(), 0));
    EXPECT_FALSE(parseBeacon(nullptr, 22));
    for (size_t i = 0; i < 4; ++i) {
        BeaconBytes bad = good;
        bad[i] ^= 0x40;
        EXPECT_FALSE(parseBeacon(bad.data(), bad.size())) << "byte " << i;
    }
}

TEST(ZreMessage, HelloIsByteExact)
{
    Message m;
    m.id = MessageId::Hello;
    m.sequence = 1;
    m.endpoint = "tcp://1.2.3.4:5";
    m.groups = {"ab"};
    m.status = 7;
    m.name = "n";
    m.headers = {{"k", "vv"}};
    Bytes expected = {0xAA, 0xA1, 1, 2, 0, 1, 15};
    for (char c : std::string("tcp://1.2.3.4:5"))
        expected.push_back(uint8_t(c));
    Bytes rest = {0, 0, 0, 1, 0, 0, 0, 2, 'a', 'b', 7, 1, 'n', 0, 0, 0, 1, 1, 'k', 0, 0, 0, 2, 'v', 'v'};
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(encoded(m), expected);
}

TEST(ZreMessage, ShortMessagesAreByteExact)
{
    Message m;
    m.id = MessageId::Join;
    m.sequence = 0x1234;
    m.group = "g";
    m.status = 0xFF;
    EXPECT_EQ(encoded(m), (Bytes{0xAA, 0xA1, 4, 2, 0x12, 0x34, 1, 'g', 0xFF}));
    m.id = MessageId::Leave;
    EXPECT_EQ(encoded(m), (Bytes{0xAA, 0xA1, 5, 2, 0x12, 0x34, 1, 'g', 0xFF}));
    m.id = MessageId::Shout;
    EXPECT_EQ(encoded(m), (Bytes{0xAA, 0xA1, 3, 2, 0x12, 0x34, 1, 'g'}));
    m.id = MessageId::Whisper;
    EXPECT_EQ(encoded(m), (Bytes{0xAA, 0xA1, 2, 2, 0x12, 0x34}));
    m.id = MessageId::Ping;
    EXPECT_EQ(encoded(m), (Bytes{0xAA, 0xA1, 6, 2, 0x12, 0x34}));
    m.id = MessageId::PingOk;
    EXPECT_EQ(encoded(m), (Bytes{0xAA, 0xA1, 7, 2, 0x12, 0x34}));
}

// A sender reuses one buffer: what it held before (a long HELLO, a refused
// message) leaves no trace in the next message.
TEST(ZreMessage, EncodingIntoAReusedBufferGivesTheSameBytes)
{
    Message hello;
    hello.id = MessageId::Hello;
    hello.endpoint = "tcp://10.77.0.1:49152";
    hello.name = std::string(200, 'n');
    hello.headers = {{"type", std::string(500, 't')}};
    Message shout;
    shout.id = MessageId::Shout;
    shout.sequence = 7;
    shout.group = "g";
    Message overlong = shout;
    overlong.group = std::string(256, 'x');

    Bytes buffer;
    ASSERT_TRUE(encodeMessageInto(hello, buffer));
    EXPECT_EQ(buffer, encoded(hello));
    ASSERT_TRUE(encodeMessageInto(shout, buffer));
    EXPECT_EQ(buffer, (Bytes{0xAA, 0xA1, 3, 2, 0, 7, 1, 'g'}));
    EXPECT_FALSE(encodeMessageInto(overlong, buffer));
    ASSERT_TRUE(encodeMessageInto(shout, buffer));
    EXPECT_EQ(buffer, encoded(shout));
}

TEST(ZreMessage, RoundTripsEveryField)
{
    Message m;
    m.id = MessageId::Hello;
    m.sequence = 65535;
    m.endpoint = "tcp://10.77.0.1:49152";
    m.groups = {"site", "site-prop", std::string(300, 'x'), ""};
    m.status = 200;
    m.name = std::string(255, 'n');
    m.headers = {{"client", "1"}, {"type", "camera"}, {"", std::string("\0bin", 4)}};
    Message out;
    ASSERT_EQ(decode(encoded(m), out), DecodeError::None);
    EXPECT_EQ(out.id, m.id);
    EXPECT_EQ(out.sequence, m.sequence);
    EXPECT_EQ(out.endpoint, m.endpoint);
    EXPECT_EQ(out.groups, m.groups);
    EXPECT_EQ(out.status, m.status);
    EXPECT_EQ(out.name, m.name);
    EXPECT_EQ(out.headers, m.headers);

    for (MessageId id : {MessageId::Join, MessageId::Leave, MessageId::Shout}) {
        Message g;
        g.id = id;
        g.sequence = 9;
        g.group = "grp";
        g.status = id == MessageId::Shout ? 0 : 3;
        ASSERT_EQ(decode(encoded(g), out), DecodeError::None);
        EXPECT_EQ(out.id, id);
        EXPECT_EQ(out.group, "grp");
        EXPECT_EQ(out.status, g.status);
        EXPECT_EQ(out.sequence, 9);
    }
}

TEST(ZreMessage, RefusesToEncodeOverlongStrings)
{
    Message m;
    m.id = MessageId::Shout;
    m.group = std::string(256, 'g');
    EXPECT_FALSE(encodeMessage(m));
    m.id = MessageId::Hello;
    m.group.clear();
    m.headers = {{std::string(256, 'k'), "v"}};
    EXPECT_FALSE(encodeMessage(m));
}

TEST(ZreMessage, RejectsBadHeader)
{
    Message out;
    EXPECT_EQ(decode(Bytes{}, out), DecodeError::Truncated);
    EXPECT_EQ(decode(Bytes{0xAA, 0xA1, 6, 2, 0}, out), DecodeError::Truncated);
    EXPECT_EQ(decode(Bytes{0xAA, 0xA2, 6, 2, 0, 1}, out), DecodeError::BadSignature);
    EXPECT_EQ(decode(Bytes{0xAA, 0xA1, 6, 1, 0, 1}, out), DecodeError::BadVersion);
    EXPECT_EQ(decode(Bytes{0xAA, 0xA1, 0, 2, 0, 1}, out), DecodeError::UnknownId);
    EXPECT_EQ(decode(Bytes{0xAA, 0xA1, 11, 2, 0, 1}, out), DecodeError::UnknownId);
    EXPECT_EQ(decode(Bytes{0xAA, 0xA1, 6, 2, 0, 1}, out), DecodeError::None);
}

TEST(ZreMessage, NewerMessagesDecodeAndTrailingBytesAreIgnored)
{
    Message out;
    EXPECT_EQ(decode(Bytes{0xAA, 0xA1, 8, 2, 0, 2, 1, 'g', 0}, out), DecodeError::None);
    EXPECT_EQ(out.id, MessageId::Elect);
    EXPECT_EQ(decode(Bytes{0xAA, 0xA1, 10, 2, 0, 3}, out), DecodeError::None);
    EXPECT_EQ(out.id, MessageId::Goodbye);
    EXPECT_EQ(decode(Bytes{0xAA, 0xA1, 7, 2, 0, 3, 9, 9, 9}, out), DecodeError::None);
    EXPECT_EQ(out.id, MessageId::PingOk);
}

TEST(ZreMessage, RejectsLengthsPastTheEnd)
{
    Message out;
    // String length beyond the frame.
    EXPECT_EQ(decode(Bytes{0xAA, 0xA1, 4, 2, 0, 2, 5, 'g', 1}, out), DecodeError::Truncated);
    // JOIN without its status byte.
    EXPECT_EQ(decode(Bytes{0xAA, 0xA1, 4, 2, 0, 2, 1, 'g'}, out), DecodeError::Truncated);
    // HELLO whose group count promises four billion entries.
    Bytes hello = {0xAA, 0xA1, 1, 2, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(decode(hello, out), DecodeError::Truncated);
    EXPECT_TRUE(out.groups.empty());
    // HELLO whose header count is too large for the bytes that follow.
    Bytes hello2 = {0xAA, 0xA1, 1, 2, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0};
    EXPECT_EQ(decode(hello2, out), DecodeError::Truncated);
    // A longstr length of 2^32-1.
    Bytes hello3 = {0xAA, 0xA1, 1, 2, 0, 1, 0, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 'a'};
    EXPECT_EQ(decode(hello3, out), DecodeError::Truncated);
}

TEST(ZreMessage, EveryTruncationOfAValidHelloIsRejected)
{
    Message m;
    m.id = MessageId::Hello;
    m.sequence = 1;
    m.endpoint = "tcp://10.0.0.1:1234";
    m.groups = {"a", "bc"};
    m.name = "node";
    m.headers = {{"client", "0"}, {"type", "x"}};
    Bytes full = encoded(m);
    Message out;
    for (size_t n = 0; n < full.size(); ++n) {
        Bytes cut(full.begin(), full.begin() + long(n));
        EXPECT_NE(decode(cut, out), DecodeError::None) << "length " << n;
    }
    EXPECT_EQ(decode(full, out), DecodeError::None);
}

TEST(ZreMessage, RandomBytesNeverCrash)
{
    std::mt19937 rng(42);
    Message out;
    for (int i = 0; i < 20000; ++i) {
        Bytes b(rng() % 64);
        for (auto& x : b)
            x = uint8_t(rng());
        if (b.size() >= 4 && i % 2 == 0) {  // a plausible header, so the fields get parsed
            b[0] = 0xAA;
            b[1] = 0xA1;
            b[2] = uint8_t(1 + rng() % 10);
            b[3] = 2;
        }
        decode(b, out);
    }
}

TEST(ZreIdentity, IsPrefixPlusUuidAndOtherSizesAreRejected)
{
    auto id = identityOf(sampleUuid());
    EXPECT_EQ(id[0], 0x01);
    EXPECT_EQ(uuidFromIdentity(id.data(), id.size()), sampleUuid());
    EXPECT_FALSE(uuidFromIdentity(id.data(), 16));
    EXPECT_FALSE(uuidFromIdentity(id.data(), 5));
    EXPECT_FALSE(uuidFromIdentity(nullptr, 17));
}

TEST(ZreUuid, TextIsUpperCaseHexAndParsesBothCases)
{
    std::string text = uuidToString(sampleUuid());
    EXPECT_EQ(text, "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");
    EXPECT_EQ(uuidFromString(text), sampleUuid());
    EXPECT_EQ(uuidFromString("a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"), sampleUuid());
    EXPECT_FALSE(uuidFromString("A0A1"));
    EXPECT_FALSE(uuidFromString("G0A1A2A3A4A5A6A7A8A9AAABACADAEAF"));
}

TEST(ZreEndpoint, AcceptsOnlyNumericTcpEndpoints)
{
    EXPECT_TRUE(isValidEndpoint("tcp://10.77.0.1:49152"));
    EXPECT_TRUE(isValidEndpoint("tcp://127.0.0.1:1"));
    EXPECT_FALSE(isValidEndpoint("tcp://127.0.0.1:0"));
    EXPECT_FALSE(isValidEndpoint("tcp://127.0.0.1:65536"));
    EXPECT_FALSE(isValidEndpoint("tcp://example.org:5000"));
    EXPECT_FALSE(isValidEndpoint("ipc:///tmp/x"));
    EXPECT_FALSE(isValidEndpoint("tcp://1.2.3.4:"));
    EXPECT_FALSE(isValidEndpoint("tcp://1.2.3.4:12a"));
    EXPECT_FALSE(isValidEndpoint(""));
}

}  // namespace
