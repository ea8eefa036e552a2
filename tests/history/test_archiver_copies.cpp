// The archiver's image copies (ImageCopies) against a camera faked in the
// test: it announces images and serves their chunks as a hostile or a
// stuck camera would. No node is started and nothing is sent; the times of
// the fetch are given, so no test waits.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include <corvo/image_service.h>
#include <corvo/message.h>

#include "image_copies.h"
#include "support/temp_dir.h"

using namespace corvo;
using archiver::ImageCopies;
using namespace std::chrono_literals;

namespace {

std::string sha1Of(const std::string& bytes)
{
    Sha1 hash;
    hash.update(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return hash.hex();
}

// Bytes of a file, or "missing".
std::string contentOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "missing";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

off_t sizeOf(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class ArchiverCopies : public ::testing::Test {
protected:
    ArchiverCopies()
    {
        ImageCopies::Options options;
        options.directory = dir.path();
        options.maxBytes = 1 << 20;
        copies = std::make_unique<ImageCopies>(
            options,
            [this](const std::shared_ptr<Peer>&, zmsg_t* message) {
                unsigned char* data = nullptr;
                size_t size = getDataFromZMsg(message, &data);
                proto::ImageRequest request;
                if (GetMessageType(message) == MSG_IMAGE_REQUEST && request.ParseFromArray(data, int(size)))
                    transfer = request.transfer();
                zmsg_destroy(&message);
            },
            [this](bool, const std::string& text) { log += text + "\n"; });
    }

    template <class Message>
    void deliver(uint8_t tag, const Message& message, ImageCopies::Clock::time_point now)
    {
        std::string bytes = message.SerializeAsString();
        copies->imageMessage(camera, tag, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), now);
    }

    void announce(const std::string& name, uint64_t size, const std::string& sha1)
    {
        proto::ImageReady ready;
        ready.set_name(name);
        ready.set_size(size);
        ready.set_sha1(sha1);
        ready.set_datatype(20);
        deliver(MSG_IMAGE_READY, ready, start);
    }

    // A chunk of the running transfer, of an image of `total` bytes.
    void chunk(const std::string& name, uint64_t offset, uint64_t total, const std::string& data,
               ImageCopies::Clock::time_point now)
    {
        proto::ImageChunk c;
        c.set_transfer(transfer);
        c.set_offset(offset);
        c.set_size(total);
        c.set_name(name);
        c.set_data(data);
        deliver(MSG_IMAGE_CHUNK, c, now);
    }

    void endTransfer(const std::string& name, const std::string& bytes, const std::string& error = "")
    {
        proto::ImageEnd e;
        e.set_transfer(transfer);
        e.set_name(name);
        if (error.empty()) {
            e.set_size(bytes.size());
            e.set_sha1(sha1Of(bytes));
        } else {
            e.set_error(error);
        }
        deliver(MSG_IMAGE_END, e, start);
    }

    // The whole image, in one chunk, as an honest camera serves it.
    void serve(const std::string& name, const std::string& bytes)
    {
        announce(name, bytes.size(), sha1Of(bytes));
        chunk(name, 0, bytes.size(), bytes, start);
        endTransfer(name, bytes);
    }

    std::string copyPath(const std::string& name) { return dir / ("cam/" + name); }

    corvotest::TempDir dir{"corvo-copies"};
    std::shared_ptr<Peer> camera = std::make_shared<Peer>("cam", "uuid-cam", "tcp://127.0.0.1:1");
    std::unique_ptr<ImageCopies> copies;
    uint64_t transfer = 0;
    std::string log;
    ImageCopies::Clock::time_point start = ImageCopies::Clock::now();
};

// A camera announces 1,000 bytes and then serves 2 MiB (twice
// --image-max-bytes) under that name: not one byte beyond the announcement
// lands on disk, and the copy fails with the reason.
TEST_F(ArchiverCopies, a_camera_serving_more_than_it_announced_writes_no_byte_beyond_and_fails)
{
    const uint64_t total = 2 << 20;
    announce("a.fits", 1000, std::string(40, 'a'));
    ASSERT_NE(transfer, 0u);
    std::string data(kImageChunkBytes, 'x');
    for (uint64_t offset = 0; offset < total; offset += data.size()) {
        chunk("a.fits", offset, total, data, start);
        ASSERT_LE(sizeOf(copyPath(".a.fits.part")), 1000) << "at offset " << offset;
    }
    EXPECT_EQ(copies->failed(), 1u);
    EXPECT_EQ(copies->copied(), 0u);
    EXPECT_EQ(sizeOf(copyPath(".a.fits.part")), -1) << "the part file is left";
    EXPECT_NE(log.find("has 2097152 bytes, not the 1000 announced"), std::string::npos) << log;
}

// A camera that trickles a chunk every 50 s never stalls, but the fetch of
// its image (64 KiB: 60 s allowed) ends once its time is up, and the next
// camera's image is fetched and copied.
TEST_F(ArchiverCopies, a_camera_trickling_its_image_loses_the_fetch_at_its_deadline_and_the_next_is_copied)
{
    const std::string slow(64 * 1024, 's');
    announce("slow.fits", slow.size(), sha1Of(slow));
    uint64_t slowTransfer = transfer;
    chunk("slow.fits", 0, slow.size(), "s", start + 50s);
    copies->tick(start + 59s);
    EXPECT_EQ(copies->failed(), 0u) << "ended before its time: " << log;
    chunk("slow.fits", 1, slow.size(), "s", start + 100s);
    copies->tick(start + 101s);
    EXPECT_EQ(copies->failed(), 1u) << "a fetch that is too slow goes on";
    EXPECT_NE(log.find("too slow: not done within 60 s"), std::string::npos) << log;

    // The slot is free again: another camera's image is copied.
    auto other = std::make_shared<Peer>("other", "uuid-other", "tcp://127.0.0.1:2");
    std::swap(camera, other);
    serve("next.fits", "the next image");
    EXPECT_NE(transfer, slowTransfer);
    EXPECT_EQ(copies->copied(), 1u) << log;
    EXPECT_EQ(contentOf(dir / "other/next.fits"), "the next image");
}

// An archived image named ".b.part" has the name image "b"'s part file would
// take: neither the copy of "b" nor its failure touches it.
TEST_F(ArchiverCopies, an_archived_image_with_a_part_files_name_is_never_truncated_or_removed)
{
    serve(".b.part", "the first image");
    ASSERT_EQ(copies->copied(), 1u) << log;
    ASSERT_EQ(contentOf(copyPath(".b.part")), "the first image");

    announce("b", 6, sha1Of("second"));
    EXPECT_EQ(contentOf(copyPath(".b.part")), "the first image") << "truncated by the next fetch";
    endTransfer("b", "", "disk error");
    EXPECT_EQ(copies->failed(), 1u);
    EXPECT_EQ(contentOf(copyPath(".b.part")), "the first image") << "removed with the failed fetch";

    serve("b", "second");
    EXPECT_EQ(copies->copied(), 2u) << log;
    EXPECT_EQ(contentOf(copyPath("b")), "second");
    EXPECT_EQ(contentOf(copyPath(".b.part")), "the first image");
    EXPECT_EQ(sizeOf(copyPath(".b.1.part")), -1) << "the part file is left";
}

}  // namespace
