// The ZGOSSIP codec: byte-exact layouts as zyre 2.0 sends them, round
// trips, tuples, and hostile input.
#include <gtest/gtest.h>

#include <random>

#include "zre_gossip_codec.hpp"

using namespace zre;

namespace {

using Bytes = std::vector<uint8_t>;

std::optional<GossipMessage> decode(const Bytes& bytes)
{
    return decodeGossip(bytes.data(), bytes.size());
}

const char* kKey = "rq:zC[ZpX]ep4Ph*gw7qk5GIl-A(+!2m[T{Q6hpU";  // 40 Z85 characters

TEST(ZreGossipCodec, CommandsWithoutFieldsAreFourBytes)
{
    for (GossipId id : {GossipId::Hello, GossipId::Ping, GossipId::Pong, GossipId::Invalid}) {
        GossipMessage m;
        m.id = id;
        auto bytes = encodeGossip(m);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(*bytes, (Bytes{0xAA, 0xA0, uint8_t(id), 1}));
        auto back = decode(*bytes);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->id, id);
    }
}

TEST(ZreGossipCodec, PublishLayoutAndRoundTrip)
{
    GossipMessage m;
    m.id = GossipId::Publish;
    m.key = "AB";
    m.value = "tcp://1.2.3.4:5";
    m.ttlMs = 0x01020304;
    auto bytes = encodeGossip(m);
    ASSERT_TRUE(bytes);
    Bytes expected{0xAA, 0xA0, 2, 1, 2, 'A', 'B', 0, 0, 0, 15};
    expected.insert(expected.end(), m.value.begin(), m.value.end());
    expected.insert(expected.end(), {1, 2, 3, 4});
    EXPECT_EQ(*bytes, expected);
    auto back = decode(*bytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->key, "AB");
    EXPECT_EQ(back->value, m.value);
    EXPECT_EQ(back->ttlMs, 0x01020304u);
}

TEST(ZreGossipCodec, RefusesWhatIsNotOneWholeValidMessage)
{
    EXPECT_FALSE(decode({}));
    EXPECT_FALSE(decode({0xAA, 0xA1, 1, 1}));          // signature
    EXPECT_FALSE(decode({0xAA, 0xA0, 0, 1}));          // id
    EXPECT_FALSE(decode({0xAA, 0xA0, 6, 1}));          // id
    EXPECT_FALSE(decode({0xAA, 0xA0, 1, 2}));          // version
    EXPECT_FALSE(decode({0xAA, 0xA0, 3, 1, 0}));       // bytes after a PING
    EXPECT_FALSE(decode({0xAA, 0xA0, 2, 1}));          // PUBLISH without its fields
    EXPECT_FALSE(decode({0xAA, 0xA0, 2, 1, 5, 'a'}));  // key cut short
    // A value announcing 4 GiB, and one just beyond the bound.
    EXPECT_FALSE(decode({0xAA, 0xA0, 2, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));
    Bytes big{0xAA, 0xA0, 2, 1, 0, 0, 0, 0x04, 0x01};
    big.resize(big.size() + kMaxGossipValue + 1 + 4, 'x');
    EXPECT_FALSE(decode(big));
    // A whole PUBLISH with a byte too many or too few.
    GossipMessage m;
    m.id = GossipId::Publish;
    m.key = "k";
    m.value = "v";
    Bytes whole = *encodeGossip(m);
    Bytes longer = whole;
    longer.push_back(0);
    EXPECT_FALSE(decode(longer));
    whole.pop_back();
    EXPECT_FALSE(decode(whole));
}

TEST(ZreGossipCodec, EncodingRefusesFieldsBeyondTheirBounds)
{
    GossipMessage m;
    m.id = GossipId::Publish;
    m.key = std::string(256, 'k');
    EXPECT_FALSE(encodeGossip(m));
    m.key = "k";
    m.value = std::string(kMaxGossipValue + 1, 'v');
    EXPECT_FALSE(encodeGossip(m));
}

TEST(ZreGossipCodec, TuplesAsZyrePublishesThem)
{
    GossipTuple tuple;
    for (size_t i = 0; i < tuple.uuid.size(); ++i)
        tuple.uuid[i] = uint8_t(0xA0 + i);
    tuple.endpoint = "tcp://10.0.0.7:49152";
    auto open = publishTuple(tuple, 0);
    ASSERT_TRUE(open);
    EXPECT_EQ(open->key, "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");
    EXPECT_EQ(open->value, "tcp://10.0.0.7:49152");
    tuple.publicKey = kKey;
    auto secured = publishTuple(tuple, 60000);
    ASSERT_TRUE(secured);
    EXPECT_EQ(secured->value, std::string("tcp://10.0.0.7:49152|") + kKey);
    auto back = parseTuple(*decode(*encodeGossip(*secured)));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->uuid, tuple.uuid);
    EXPECT_EQ(back->endpoint, tuple.endpoint);
    EXPECT_EQ(back->publicKey, kKey);
}

TEST(ZreGossipCodec, TuplesThatNameNoReachableMailboxAreRefused)
{
    GossipMessage m;
    m.id = GossipId::Publish;
    m.key = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF";
    for (const char* value :
         {"", "tcp://host.example:5670", "tcp://10.0.0.7:0", "udp://10.0.0.7:5670", "tcp://10.0.0.7:5670|short",
          "tcp://10.0.0.7:5670|rq:zC[ZpX]ep4Ph*gw7qk5GIl-A(+!2m[T{Q6h\"U", "tcp://10.0.0.7:5670|"}) {
        m.value = value;
        EXPECT_FALSE(parseTuple(m)) << value;
    }
    m.value = "tcp://10.0.0.7:5670";
    m.key = "not a uuid";
    EXPECT_FALSE(parseTuple(m));
    m.key = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";  // lower case reads too
    EXPECT_TRUE(parseTuple(m));
}

TEST(ZreGossipCodec, RandomBytesNeverDecodeIntoSomethingThatEncodesDifferently)
{
    std::mt19937 random(7);
    for (int i = 0; i < 20000; ++i) {
        Bytes bytes(random() % 40);
        for (auto& b : bytes)
            b = uint8_t(random());
        if (i % 2 == 0 && bytes.size() >= 4) {
            bytes[0] = 0xAA;
            bytes[1] = 0xA0;
            bytes[2] = uint8_t(1 + random() % 5);
            bytes[3] = 1;
        }
        if (auto m = decode(bytes)) {
            EXPECT_EQ(*encodeGossip(*m), bytes);
        }
    }
}

}  // namespace
