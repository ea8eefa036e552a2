// The image service and receiver wired to each other in process: a whole
// transfer, the credit window, the bounds on requests, the camera's
// refusals, and the receiver's checks of what a camera sends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <random>

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

    // Runs the receiver against the service until neither has more to say.
    void exchange(ImageReceiver& receiver, const std::string& peer = "p1")
    {
        while (!sent.empty()) {
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
