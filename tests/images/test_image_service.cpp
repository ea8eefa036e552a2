// The image service and receiver wired to each other in process: a whole
// transfer, the credit window, the bounds on requests, the camera's
// refusals, and the receiver's checks of what a camera sends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <set>

#include "corvo/image.h"
#include "corvo/image_service.h"
#include "corvo/message.h"

namespace corvo {
namespace {

struct Sent {
    std::string peer;
    uint8_t tag;
    std::string payload;
};

class ImageServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/corvo-imgt-XXXXXX";
        root = mkdtemp(pattern);
        service = std::make_unique<ImageService>(
            [this] { return root; }, [this] { return latest; },
            [this](const std::string& peer, zmsg_t* msg) {
                unsigned char* data = nullptr;
                size_t size = getDataFromZMsg(msg, &data);
                sent.push_back({peer, uint8_t(GetMessageType(msg)), std::string(reinterpret_cast<char*>(data), size)});
                zmsg_destroy(&msg);
            },
            [this](const std::string& text) { warnings.push_back(text); });
    }
    void TearDown() override { std::system(("rm -rf " + root).c_str()); }

    std::string writeFile(const std::string& name, size_t size)
    {
        std::string bytes(size, '\0');
        std::mt19937 random(7);
        for (auto& c : bytes)
            c = char(random());
        std::ofstream(root + "/" + name, std::ios::binary) << bytes;
        return bytes;
    }

    void deliver(const std::string& peer, zmsg_t* msg)
    {
        unsigned char* data = nullptr;
        size_t size = getDataFromZMsg(msg, &data);
        service->handle(peer, "peer", uint8_t(GetMessageType(msg)), data, size);
        zmsg_destroy(&msg);
    }

    // Runs the receiver against the service until neither has more to say;
    // loop turns (work()) run whenever the service has nothing to send.
    // Returns the turns that were needed.
    int exchange(ImageReceiver& receiver, const std::string& peer = "p1")
    {
        int turns = 0;
        while (!sent.empty() || (service->activeTransfers() > 0 && turns < 10000)) {
            if (sent.empty()) {
                ++turns;
                service->work();
                continue;
            }
            Sent next = sent.front();
            sent.erase(sent.begin());
            if (next.tag == MSG_RESPONSE) {
                corvo::proto::Response response;
                response.ParseFromString(next.payload);
                receiver.handleResponse(response);
                continue;
            }
            bool ignored = false;
            zmsg_t* credit = receiver.handle(next.tag, reinterpret_cast<const unsigned char*>(next.payload.data()),
                                             next.payload.size(), ignored);
            if (credit)
                deliver(peer, credit);
        }
        return turns;
    }

    std::string refusalOf(const std::string& name)
    {
        ImageReceiver receiver(1, name, 0, [](const unsigned char*, size_t) { return true; });
        deliver("p1", receiver.request());
        exchange(receiver);
        EXPECT_EQ(receiver.state(), ImageReceiver::State::Failed) << name;
        return receiver.error();
    }

    size_t count(uint8_t tag) const
    {
        size_t n = 0;
        for (const auto& s : sent)
            n += s.tag == tag;
        return n;
    }

    std::string root, latest;
    std::unique_ptr<ImageService> service;
    std::vector<Sent> sent;
    std::vector<std::string> warnings;
};

TEST_F(ImageServiceTest, WholeTransferGivesTheSameBytes)
{
    std::string bytes = writeFile("a.fits", 20 * kImageChunkBytes + 123);
    latest = root + "/a.fits";
    std::string got;
    ImageReceiver receiver(42, "latest", 0, [&](const unsigned char* d, size_t n) {
        got.append(reinterpret_cast<const char*>(d), n);
        return true;
    });
    deliver("p1", receiver.request());
    EXPECT_EQ(count(MSG_IMAGE_CHUNK), kImageWindowChunks);  // no more than the window before credit
    exchange(receiver);
    ASSERT_EQ(receiver.state(), ImageReceiver::State::Done) << receiver.error();
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(receiver.imageName(), "a.fits");
    EXPECT_EQ(service->activeTransfers(), 0u);
}

// Two receivers fetching at once over a first-in first-out link: the
// camera serves each against its own credit, so when one has its whole
// image the other has nearly all of its own, not a share the first left.
TEST_F(ImageServiceTest, TwoReceiversFetchingAtOnceShareTheSending)
{
    const std::string bytes = writeFile("shared.fits", 64 * kImageChunkBytes);
    auto counting = [](uint64_t& total) {
        return [&total](const unsigned char*, size_t n) {
            total += n;
            return true;
        };
    };
    uint64_t gotA = 0, gotB = 0;
    ImageReceiver a(1, "shared.fits", 0, counting(gotA));
    ImageReceiver b(2, "shared.fits", 0, counting(gotB));
    deliver("p1", a.request());
    deliver("p2", b.request());
    uint64_t otherAtFirstEnd = 0;
    while (!sent.empty()) {
        Sent next = sent.front();
        sent.erase(sent.begin());
        ImageReceiver& to = next.peer == "p1" ? a : b;
        bool ignored = false;
        zmsg_t* credit = to.handle(next.tag, reinterpret_cast<const unsigned char*>(next.payload.data()),
                                   next.payload.size(), ignored);
        if (credit)
            deliver(next.peer, credit);
        const bool aDone = a.state() == ImageReceiver::State::Done, bDone = b.state() == ImageReceiver::State::Done;
        if (otherAtFirstEnd == 0 && (aDone || bDone))
            otherAtFirstEnd = aDone ? gotB : gotA;
    }
    ASSERT_EQ(a.state(), ImageReceiver::State::Done) << a.error();
    ASSERT_EQ(b.state(), ImageReceiver::State::Done) << b.error();
    EXPECT_EQ(gotA, bytes.size());
    EXPECT_EQ(gotB, bytes.size());
    EXPECT_GE(otherAtFirstEnd, bytes.size() - kImageWindowChunks * kImageChunkBytes)
        << "the second receiver trails by more than one window";
}

// The bytes a resuming receiver holds are hashed a step per loop turn while
// chunks go out at once: no turn reads more than kImageHashStepBytes of them.
TEST_F(ImageServiceTest, ResumeHashingIsSpreadOverLoopTurns)
{
    const size_t held = 5 * kImageHashStepBytes;
    const std::string bytes = writeFile("big.fits", held + kImageHashStepBytes);
    std::string got;
    ImageReceiver receiver(8, "big.fits", held, [&](const unsigned char* d, size_t n) {
        got.append(reinterpret_cast<const char*>(d), n);
        return true;
    });
    receiver.addPrefix(reinterpret_cast<const unsigned char*>(bytes.data()), held);
    deliver("p1", receiver.request());
    EXPECT_EQ(count(MSG_IMAGE_CHUNK), kImageWindowChunks) << "the first window leaves before any hashing";
    const int turns = exchange(receiver);
    ASSERT_EQ(receiver.state(), ImageReceiver::State::Done) << receiver.error();
    EXPECT_EQ(got, bytes.substr(held));
    // Every byte of the file, from 0, read once more at one step per turn.
    EXPECT_EQ(turns, int(bytes.size() / kImageHashStepBytes));
}

TEST_F(ImageServiceTest, ResumeFromAnOffsetCoversTheWholeChecksum)
{
    std::string bytes = writeFile("b.fits", 3 * kImageChunkBytes + 5);
    const size_t held = kImageChunkBytes + 17;
    std::string got = bytes.substr(0, held);
    ImageReceiver receiver(7, "b.fits", held, [&](const unsigned char* d, size_t n) {
        got.append(reinterpret_cast<const char*>(d), n);
        return true;
    });
    receiver.addPrefix(reinterpret_cast<const unsigned char*>(bytes.data()), held);
    deliver("p1", receiver.request());
    exchange(receiver);
    ASSERT_EQ(receiver.state(), ImageReceiver::State::Done) << receiver.error();
    EXPECT_EQ(got, bytes);
}

TEST_F(ImageServiceTest, WrongHeldBytesFailTheChecksum)
{
    std::string bytes = writeFile("c.fits", 2 * kImageChunkBytes);
    std::string wrong = bytes.substr(0, 100);
    wrong[3] ^= 1;
    ImageReceiver receiver(7, "c.fits", 100, [](const unsigned char*, size_t) { return true; });
    receiver.addPrefix(reinterpret_cast<const unsigned char*>(wrong.data()), wrong.size());
    deliver("p1", receiver.request());
    exchange(receiver);
    EXPECT_EQ(receiver.state(), ImageReceiver::State::Failed);
    EXPECT_NE(receiver.error().find("checksum mismatch"), std::string::npos);
}

TEST_F(ImageServiceTest, RefusesWhatIsNotARegularFileBelowTheRoot)
{
    writeFile("ok.fits", 10);
    ASSERT_EQ(symlink((root + "/ok.fits").c_str(), (root + "/link.fits").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/pipe.fits").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((root + "/dir").c_str(), 0700), 0);
    ASSERT_EQ(symlink("/etc", (root + "/etc").c_str()), 0);
    EXPECT_NE(refusalOf("../x.fits").find("leaves the image root"), std::string::npos);
    EXPECT_NE(refusalOf("/etc/passwd").find("relative"), std::string::npos);
    EXPECT_NE(refusalOf("link.fits").find("symbolic link"), std::string::npos);
    EXPECT_NE(refusalOf("pipe.fits").find("FIFO"), std::string::npos);
    EXPECT_NE(refusalOf("dir").find("directory"), std::string::npos);
    EXPECT_NE(refusalOf("etc/passwd").find("no such image"), std::string::npos);
    EXPECT_NE(refusalOf("latest").find("no image saved yet"), std::string::npos);
    EXPECT_EQ(service->activeTransfers(), 0u);
}

TEST_F(ImageServiceTest, AStalledReceiverHoldsOneWindowUntilItExpires)
{
    writeFile("s.fits", 40 * kImageChunkBytes);
    ImageReceiver receiver(9, "s.fits", 0, [](const unsigned char*, size_t) { return true; });
    deliver("p1", receiver.request());
    EXPECT_EQ(count(MSG_IMAGE_CHUNK), kImageWindowChunks);
    service->expire();  // not yet stalled long enough
    EXPECT_EQ(service->activeTransfers(), 1u);
    service->expire(ImageService::Clock::now() + std::chrono::seconds(kImageStallSeconds + 1));
    EXPECT_EQ(service->activeTransfers(), 0u);
    EXPECT_EQ(count(MSG_IMAGE_CHUNK), kImageWindowChunks);
    EXPECT_EQ(count(MSG_IMAGE_END), 1u);
}

TEST_F(ImageServiceTest, ManyRequestsAreBoundedAndQueued)
{
    writeFile("m.fits", 20 * kImageChunkBytes);
    for (uint64_t i = 1; i <= 10000; ++i) {
        corvo::proto::ImageRequest req;
        req.set_transfer(i);
        req.set_name("m.fits");
        req.set_window(1);
        deliver("p1", ProtobufToZMsg(req));
    }
    EXPECT_EQ(service->activeTransfers(), kImageTransfersPerPeer);
    EXPECT_EQ(service->queuedRequests(), kImageQueuedPerPeer);
    EXPECT_EQ(count(MSG_RESPONSE), 10000 - kImageTransfersPerPeer - kImageQueuedPerPeer);
    EXPECT_LE(warnings.size(), 10u);  // refusals are logged at a bounded rate
    // A lie about credit is held to the window.
    corvo::proto::ImageCredit grant;
    grant.set_transfer(1);
    grant.set_credit(1000000);
    sent.clear();
    deliver("p1", ProtobufToZMsg(grant));
    EXPECT_EQ(count(MSG_IMAGE_CHUNK), 1u);
    service->peerLeft("p1");
    EXPECT_EQ(service->activeTransfers(), 0u);
    EXPECT_EQ(service->queuedRequests(), 0u);
}

// The receiver's checks of a lying camera.
class ReceiverTest : public ::testing::Test {
protected:
    zmsg_t* feed(const google::protobuf::MessageLite& record, uint8_t tag, bool& ignored)
    {
        std::string payload = record.SerializeAsString();
        return receiver.handle(tag, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), ignored);
    }
    corvo::proto::ImageChunk chunk(uint64_t offset, size_t bytes, uint64_t size = 1000)
    {
        corvo::proto::ImageChunk c;
        c.set_transfer(5);
        c.set_offset(offset);
        c.set_size(size);
        c.set_name("x.fits");
        c.set_data(std::string(bytes, 'a'));
        return c;
    }
    ImageReceiver receiver{5, "x.fits", 0, [](const unsigned char*, size_t) { return true; }};
    bool ignored = false;
};

TEST_F(ReceiverTest, IgnoresChunksOfOtherTransfers)
{
    auto c = chunk(0, 10);
    c.set_transfer(6);
    feed(c, MSG_IMAGE_CHUNK, ignored);
    EXPECT_TRUE(ignored);
    EXPECT_EQ(receiver.state(), ImageReceiver::State::Running);
}

TEST_F(ReceiverTest, FailsOnAWrongOffset)
{
    feed(chunk(0, 10), MSG_IMAGE_CHUNK, ignored);
    feed(chunk(20, 10), MSG_IMAGE_CHUNK, ignored);
    EXPECT_EQ(receiver.state(), ImageReceiver::State::Failed);
}

TEST_F(ReceiverTest, FailsWhenTheSizeChangesOrIsExceeded)
{
    feed(chunk(0, 10), MSG_IMAGE_CHUNK, ignored);
    feed(chunk(10, 10, 2000), MSG_IMAGE_CHUNK, ignored);
    EXPECT_NE(receiver.error().find("size changed"), std::string::npos);
    ImageReceiver other{5, "x.fits", 0, [](const unsigned char*, size_t) { return true; }};
    std::string payload = chunk(0, 20, 10).SerializeAsString();
    other.handle(MSG_IMAGE_CHUNK, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), ignored);
    EXPECT_EQ(other.state(), ImageReceiver::State::Failed);
}

// Compressed chunks: only when asked for, in the encoding asked for, for at
// most one chunk of raw bytes, and a frame that decodes to exactly what it
// claims. A corrupt one fails the transfer; nothing of it is written.
TEST_F(ImageServiceTest, ReceiverRefusesCorruptOrUnaskedCompressedChunks)
{
    // A real frame, as the camera compresses 1000 raw bytes.
    const std::string raw(1000, 'r');
    std::ofstream(root + "/r.fits", std::ios::binary) << raw;
    ImageReceiver asking(9, "r.fits", 0, [](const unsigned char*, size_t) { return true; });
    asking.setCompression(kImageZstd);
    deliver("p1", asking.request());
    ASSERT_FALSE(sent.empty());
    corvo::proto::ImageChunk sample;
    ASSERT_TRUE(sample.ParseFromString(sent.front().payload));
    ASSERT_EQ(sample.encoding(), kImageZstd);
    ASSERT_EQ(sample.raw_size(), 1000u);
    const std::string frame = sample.data();
    std::string corrupt = frame;
    corrupt[corrupt.size() / 2] ^= 0x55;
    corrupt[corrupt.size() - 1] ^= 0x55;
    struct Case {
        const char* what;
        std::string asked, encoding, data;
        uint32_t rawSize;
        const char* error;  // null: accepted
    };
    const std::vector<Case> cases = {
        {"a good frame", kImageZstd, kImageZstd, frame, 1000, nullptr},
        {"not asked for", "", kImageZstd, frame, 1000, "not asked for"},
        {"an unknown encoding", kImageZstd, "lz9", frame, 1000, "not asked for"},
        {"a corrupt frame", kImageZstd, kImageZstd, corrupt, 1000, "corrupt compressed chunk at offset 0"},
        {"garbage", kImageZstd, kImageZstd, "not zstd at all", 1000, "corrupt compressed chunk"},
        {"more bytes than claimed", kImageZstd, kImageZstd, frame, 999, "corrupt compressed chunk"},
        {"fewer bytes than claimed", kImageZstd, kImageZstd, frame, 1001, "corrupt compressed chunk"},
        {"over one chunk", kImageZstd, kImageZstd, frame, uint32_t(kImageChunkBytes + 1), "compressed chunk of"},
        {"no size", kImageZstd, kImageZstd, frame, 0, "compressed chunk of 0 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string written;
        ImageReceiver receiver(5, "x.fits", 0, [&](const unsigned char* d, size_t n) {
            written.append(reinterpret_cast<const char*>(d), n);
            return true;
        });
        receiver.setCompression(c.asked);
        corvo::proto::ImageChunk chunk;
        chunk.set_transfer(5);
        chunk.set_size(2000);
        chunk.set_name("x.fits");
        chunk.set_encoding(c.encoding);
        chunk.set_raw_size(c.rawSize);
        chunk.set_data(c.data);
        const std::string payload = chunk.SerializeAsString();
        bool ignored = false;
        zmsg_t* credit = receiver.handle(MSG_IMAGE_CHUNK, reinterpret_cast<const unsigned char*>(payload.data()),
                                         payload.size(), ignored);
        zmsg_destroy(&credit);
        if (!c.error) {
            EXPECT_EQ(receiver.state(), ImageReceiver::State::Running) << receiver.error();
            EXPECT_EQ(written, raw);
            EXPECT_EQ(receiver.received(), 1000u);
            continue;
        }
        EXPECT_EQ(receiver.state(), ImageReceiver::State::Failed);
        EXPECT_NE(receiver.error().find(c.error), std::string::npos) << receiver.error();
        EXPECT_EQ(written, "");
    }
}

TEST_F(ReceiverTest, FailsOnAWrongChecksumOrAShortEnd)
{
    feed(chunk(0, 10, 10), MSG_IMAGE_CHUNK, ignored);
    corvo::proto::ImageEnd end;
    end.set_transfer(5);
    end.set_size(10);
    end.set_sha1("0000000000000000000000000000000000000000");
    feed(end, MSG_IMAGE_END, ignored);
    EXPECT_NE(receiver.error().find("checksum mismatch"), std::string::npos);

    ImageReceiver shortEnd{5, "x.fits", 0, [](const unsigned char*, size_t) { return true; }};
    end.set_size(0);
    std::string payload = end.SerializeAsString();
    shortEnd.handle(MSG_IMAGE_END, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(), ignored);
    EXPECT_EQ(shortEnd.state(), ImageReceiver::State::Failed);  // empty image, wrong digest
}

// The camera's own reason for ending a transfer reaches the operator's
// terminal: its control characters are escaped and its length is bounded.
TEST_F(ReceiverTest, TheCamerasErrorTextIsEscapedAndBounded)
{
    corvo::proto::ImageEnd end;
    end.set_transfer(5);
    end.set_error("boom \x1b]0;title\x07\x1b[31mred\n" + std::string(100000, 'x'));
    feed(end, MSG_IMAGE_END, ignored);
    ASSERT_EQ(receiver.state(), ImageReceiver::State::Failed);
    const std::string& error = receiver.error();
    EXPECT_NE(error.find("boom \\x1b]0;title\\x07\\x1b[31mred\\n"), std::string::npos) << error;
    EXPECT_EQ(std::count_if(error.begin(), error.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }), 0);
    EXPECT_LT(error.size(), 1200u);
}

// A 16-bit frame as a sensor gives it: a smooth sky with a little noise,
// which compresses, unlike the uniform random bytes of writeFile.
std::string sensorFrame(size_t pixels)
{
    std::string bytes(2 * pixels, '\0');
    std::mt19937 random(11);
    std::normal_distribution<double> noise(0.0, 3.0);
    for (size_t i = 0; i < pixels; ++i) {
        auto value = static_cast<uint16_t>(1000 + (i % 700) / 10 + noise(random));
        bytes[2 * i] = char(value >> 8);
        bytes[2 * i + 1] = char(value & 0xff);
    }
    return bytes;
}

// Compression is the receiver's choice: asked for, compressible chunks come
// as zstd and the bytes written are the file's; chunks that would not shrink
// come raw; a receiver that did not ask never gets one.
TEST_F(ImageServiceTest, CompressedTransferGivesTheSameBytes)
{
    const std::string frame = sensorFrame(5 * kImageChunkBytes / 2 + 123);
    std::ofstream(root + "/frame.fits", std::ios::binary) << frame;
    const std::string noise = writeFile("noise.fits", 3 * kImageChunkBytes + 7);
    struct Case {
        const char* name;
        const std::string* bytes;
        std::string encoding;
    };
    uint64_t number = 1;
    for (const Case& c : {Case{"frame.fits", &frame, kImageZstd}, Case{"noise.fits", &noise, kImageZstd},
                          Case{"frame.fits", &frame, ""}}) {
        SCOPED_TRACE(std::string(c.name) + " asking for '" + c.encoding + "'");
        std::string got;
        ImageReceiver receiver(number++, c.name, 0, [&](const unsigned char* d, size_t n) {
            got.append(reinterpret_cast<const char*>(d), n);
            return true;
        });
        receiver.setCompression(c.encoding);
        deliver("p1", receiver.request());
        std::set<std::string> encodings;
        for (const Sent& m : sent)
            if (m.tag == MSG_IMAGE_CHUNK) {
                corvo::proto::ImageChunk chunk;
                chunk.ParseFromString(m.payload);
                encodings.insert(chunk.encoding());
            }
        exchange(receiver);
        ASSERT_EQ(receiver.state(), ImageReceiver::State::Done) << receiver.error();
        EXPECT_EQ(got, *c.bytes);
        if (c.bytes == &frame && !c.encoding.empty()) {
            EXPECT_EQ(encodings, std::set<std::string>{kImageZstd});
            EXPECT_GT(receiver.compressedChunks(), 0u);
            EXPECT_LT(receiver.wireBytes(), frame.size() * 3 / 4);
        } else {
            EXPECT_EQ(encodings, std::set<std::string>{""});
            EXPECT_EQ(receiver.compressedChunks(), 0u);
            EXPECT_EQ(receiver.wireBytes(), c.bytes->size());
        }
    }
}

// The admission check runs before any file is opened, and every fetch
// leaves one audit record: refused with its reason, or ended with what was
// sent and how it ended.
TEST_F(ImageServiceTest, AdmissionComesFirstAndEveryFetchIsAudited)
{
    const std::string bytes = writeFile("pub.fits", 3 * kImageChunkBytes + 11);
    writeFile("secret.fits", 10);
    ASSERT_EQ(mkfifo((root + "/secret.fifo").c_str(), 0600), 0);
    std::vector<std::pair<std::string, std::string>> asked;
    service->setAdmission([&](const std::string& peer, const std::string& name) {
        asked.emplace_back(peer, name);
        return name.rfind("pub", 0) == 0 ? std::string() : "p1 may not fetch " + name;
    });
    std::vector<ImageService::FetchRecord> records;
    service->setAudit([&](const ImageService::FetchRecord& record) { records.push_back(record); });

    EXPECT_EQ(refusalOf("secret.fifo"), "p1 may not fetch secret.fifo") << "refused before its kind is looked at";
    EXPECT_EQ(refusalOf("missing.fits"), "p1 may not fetch missing.fits") << "no hint of what exists";
    latest = root + "/secret.fits";
    EXPECT_EQ(refusalOf("latest"), "p1 may not fetch secret.fits") << "latest is checked as what it names";
    ASSERT_EQ(records.size(), 3u);
    EXPECT_FALSE(records[0].accepted);
    EXPECT_EQ(records[0].peerName, "peer");
    EXPECT_EQ(records[2].name, "latest");
    EXPECT_EQ(records[2].outcome, "p1 may not fetch secret.fits");
    EXPECT_TRUE(warnings.empty()) << "the audit record is the only one";
    records.clear();

    std::string got;
    ImageReceiver whole(2, "pub.fits", 0, [&](const unsigned char* d, size_t n) {
        got.append(reinterpret_cast<const char*>(d), n);
        return true;
    });
    deliver("p1", whole.request());
    exchange(whole);
    ASSERT_EQ(whole.state(), ImageReceiver::State::Done) << whole.error();
    EXPECT_EQ(got, bytes);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].accepted && records[0].complete);
    EXPECT_EQ(records[0].name, "pub.fits");
    EXPECT_EQ(records[0].sent, bytes.size());
    EXPECT_EQ(records[0].size, bytes.size());
    EXPECT_EQ(records[0].outcome, "complete");
    EXPECT_EQ(asked.back(), std::make_pair(std::string("p1"), std::string("pub.fits")));
    records.clear();

    // Resumed from an offset, then cancelled after the first window.
    writeFile("pub_big.fits", 20 * kImageChunkBytes);
    ImageReceiver cancelled(3, "pub_big.fits", 1000, [](const unsigned char*, size_t) { return true; });
    deliver("p1", cancelled.request());
    sent.clear();
    deliver("p1", cancelled.cancel());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(records[0].complete);
    EXPECT_EQ(records[0].offset, 1000u);
    EXPECT_EQ(records[0].sent, kImageWindowChunks * kImageChunkBytes);
    EXPECT_EQ(records[0].size, 20 * kImageChunkBytes);
    EXPECT_EQ(records[0].outcome, "cancelled by the receiver");
    records.clear();

    ImageReceiver left(4, "pub_big.fits", 0, [](const unsigned char*, size_t) { return true; });
    deliver("p2", left.request());
    service->peerLeft("p2");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].peerUuid, "p2");
    EXPECT_EQ(records[0].sent, kImageWindowChunks * kImageChunkBytes);
    EXPECT_EQ(records[0].outcome, "the receiver left");
}

// The announcement of a saved image as receivers read it: each field a
// peer could lie about is checked before anyone fetches by it.
TEST(ImageReadyTest, AcceptsAnAnnouncementAndRefusesEachBadField)
{
    auto good = [] {
        corvo::proto::ImageReady ready;
        ready.set_name("261208/img_1.fits");
        ready.set_size(5760);
        ready.set_width(3);
        ready.set_height(2);
        ready.set_datatype(IMAGE_UINT16);
        ready.set_sha1(std::string(40, 'a'));
        ready.set_exposure_start("2026-12-08T23:00:00.125");
        ready.set_exposure_length(2.5);
        return ready;
    };
    auto check = [](const corvo::proto::ImageReady& ready, std::string& problem) {
        const std::string wire = ready.SerializeAsString();
        corvo::proto::ImageReady out;
        return parseImageReady(reinterpret_cast<const unsigned char*>(wire.data()), wire.size(), out, problem);
    };
    std::string problem;
    EXPECT_TRUE(check(good(), problem)) << problem;

    std::vector<std::pair<std::function<void(corvo::proto::ImageReady&)>, std::string>> lies = {
        {[](auto& r) { r.set_name(""); }, "without a name"},
        {[](auto& r) { r.set_name(std::string(kImageNameBytes + 1, 'x')); }, "bytes (at most"},
        {[](auto& r) { r.set_name("/etc/passwd"); }, "outside the image root"},
        {[](auto& r) { r.set_name("a/../../b.fits"); }, "outside the image root"},
        {[](auto& r) { r.set_sha1(std::string(39, 'a')); }, "not a hex SHA-1"},
        {[](auto& r) { r.set_sha1(std::string(40, 'A')); }, "not a hex SHA-1"},
        {[](auto& r) { r.set_datatype(17); }, "pixel type 17"},
        {[](auto& r) { r.set_saved(std::string(kImageTimeBytes + 1, '1')); }, "time text"},
    };
    for (const auto& lie : lies) {
        corvo::proto::ImageReady ready = good();
        lie.first(ready);
        problem.clear();
        EXPECT_FALSE(check(ready, problem)) << lie.second;
        EXPECT_NE(problem.find(lie.second), std::string::npos) << problem;
    }
    const unsigned char garbage[] = {0xff, 0xff, 0xff};
    corvo::proto::ImageReady out;
    EXPECT_FALSE(parseImageReady(garbage, sizeof garbage, out, problem));
    EXPECT_NE(problem.find("does not parse"), std::string::npos);
}

TEST_F(ImageServiceTest, DigestOfAFileFollowsNoLinkAndOpensNoFifo)
{
    const std::string bytes = writeFile("d.fits", 3 * 1024 * 1024 + 5);
    Sha1 expected;
    expected.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    int dirFd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirFd, 0);
    uint64_t size = 0;
    std::string sha1;
    EXPECT_TRUE(digestFile(dirFd, "d.fits", size, sha1));
    EXPECT_EQ(size, bytes.size());
    EXPECT_EQ(sha1, expected.hex());
    ASSERT_EQ(symlink((root + "/d.fits").c_str(), (root + "/l.fits").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/p.fits").c_str(), 0600), 0);
    EXPECT_FALSE(digestFile(dirFd, "l.fits", size, sha1));
    EXPECT_FALSE(digestFile(dirFd, "p.fits", size, sha1));  // would block if opened for reading
    EXPECT_FALSE(digestFile(dirFd, "missing.fits", size, sha1));
    close(dirFd);
}

}  // namespace
}  // namespace corvo
