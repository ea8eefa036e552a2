// libFuzzer target: the decoders of image transfer messages (tags 8 to 11)
// and of a camera's announcement of a saved image (tag 12).
// The input is cut into messages, each for the camera's image service
// (requests, credit) or for a receiver (chunks, ends), from one of two
// peers. Nothing may crash, the service's transfers and queue stay within
// their bounds, and a receiver never holds more than the image's size.
#include <czmq.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "corvo/image_service.h"
#include "corvo/message.h"

namespace {

std::string makeRoot()
{
    char pattern[] = "/tmp/corvo-fuzzimg-XXXXXX";
    std::string root = mkdtemp(pattern);
    std::ofstream(root + "/a.fits", std::ios::binary) << std::string(3 * corvo::kImageChunkBytes + 9, 'x');
    std::ofstream(root + "/b.fits", std::ios::binary) << "tiny";
    return root;
}

const std::string& root()
{
    static const std::string path = makeRoot();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t sentBytes = 0;
    corvo::ImageService service([] { return root(); }, [] { return root() + "/a.fits"; },
                                [&](const std::string&, zmsg_t* msg) {
                                    sentBytes += zmsg_content_size(msg);
                                    zmsg_destroy(&msg);
                                },
                                [](const std::string&) {});
    corvo::ImageReceiver receiver(5, "a.fits", 0, [](const unsigned char*, size_t) { return true; });
    receiver.setCompression(corvo::kImageZstd);  // compressed chunks are decoded too
    size_t at = 0;
    while (at + 3 <= size) {
        const uint8_t control = data[at];
        const size_t length = std::min<size_t>(size - at - 3, (size_t(data[at + 1]) << 8) | data[at + 2]);
        const unsigned char* payload = data + at + 3;
        at += 3 + length;
        const uint8_t tag = uint8_t(8 + (control & 3));
        const std::string peer = (control & 4) ? "p2" : "p1";
        if ((control & 0x30) == 0x30) {
            corvo::proto::ImageReady ready;
            std::string problem;
            // An accepted announcement names something a fetch may ask for.
            if (corvo::parseImageReady(payload, length, ready, problem) &&
                (ready.name().empty() || ready.name()[0] == '/' || ready.sha1().size() != 40))
                std::abort();
        } else if (control & 8) {
            bool ignored = false;
            zmsg_t* credit = receiver.handle(tag, payload, length, ignored);
            zmsg_destroy(&credit);
        } else {
            service.handle(peer, peer, tag, payload, length);
        }
        if (control == 0xff)
            service.peerLeft(peer);
        service.work();  // a loop turn: resumed transfers' checksums advance
        if (service.activeTransfers() > corvo::kImageTransfersTotal ||
            service.queuedRequests() > corvo::kImageQueuedRequests)
            std::abort();
        if (receiver.size() != 0 && receiver.received() > receiver.size())
            std::abort();
    }
    (void)sentBytes;
    return 0;
}
