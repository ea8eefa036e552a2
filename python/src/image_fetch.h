// One image fetched from a camera for Python: the library's ImageReceiver
// checks the chunks and the final SHA-1, and this class puts the bytes where
// Python asked for them:
//   - FILE: a hidden ".NAME.part" file beside the target, fsynced and renamed
//     to the target only once the checksum matches (in a directory, to a
//     free name: nothing there is replaced); a named image resumes from its
//     part file;
//   - MEMORY: one buffer;
//   - STREAM: each chunk handed to Python as it comes; the credit that lets
//     the camera send more is held back while Python has more than
//     kStreamBacklogBytes unread, so a slow reader costs a bounded backlog.
// In every mode an image larger than `maxBytes` (when not 0) fails before
// a byte of it is kept: the camera's announced size is checked first.
// Lives on the package's loop thread, like the SiteNode that owns it.
#pragma once

#include <czmq.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "corvo/image_service.h"
#include "corvo/peer.h"

namespace corvo::python {

class ImageFetch {
public:
    enum class Mode { FILE, MEMORY, STREAM };
    using Clock = std::chrono::steady_clock;

    // Bytes handed to a stream's reader and not yet read, beyond which
    // credit is held back (two windows).
    static constexpr uint64_t kStreamBacklogBytes = 2 * kImageWindowChunks * kImageChunkBytes;

    struct Request {
        uint64_t transfer = 0;
        std::string camera;  // the camera's name, for file names and messages
        std::string name;    // below the camera's image root, or "latest"
        Mode mode = Mode::MEMORY;
        std::string path;  // FILE: the target file, or a directory for it
        double timeoutSeconds = 30;
        uint64_t maxBytes = 0;    // the largest image taken (0: none; MEMORY needs one)
        std::string compression;  // the chunk encoding asked for (kImageZstd), "" for raw
    };

    // Prepares the transfer (FILE: opens the part file, hashes what it
    // holds). A local problem leaves failed() true with error().
    ImageFetch(Request request, std::shared_ptr<Peer> camera);
    ~ImageFetch();
    ImageFetch(const ImageFetch&) = delete;
    ImageFetch& operator=(const ImageFetch&) = delete;

    // The request to whisper to the camera (ownership passes).
    zmsg_t* request() const { return receiver->request(); }
    // A cancellation to whisper to the camera, or null when it is over.
    zmsg_t* cancel() const;
    // A cancellation, also once the transfer failed here: the camera stops
    // sending what is no longer wanted.
    zmsg_t* stopMessage() const { return receiver->cancel(); }

    // A message of tag 10 or 11 from the camera. Returns the credit to send
    // now (or null); `ignored` when it belongs to another transfer.
    zmsg_t* handle(uint8_t tag, const unsigned char* data, size_t size, bool& ignored);
    // A Response of the camera; true when it refused this transfer.
    bool handleResponse(const corvo::proto::Response& response);
    // The camera left the site.
    void peerLeft();
    // STREAM: Python read `bytes` more; returns the held credit messages to
    // send once the backlog is small again (ownership passes).
    std::vector<zmsg_t*> consumed(uint64_t bytes);
    // True (and failed) when no data came for the timeout while credit was out.
    bool timedOut(Clock::time_point now);

    bool running() const { return !over; }
    bool failed() const { return over && !error().empty(); }
    // Why it failed: empty while running or once done.
    const std::string& error() const { return failure; }
    // "refused", "timeout", "size" (larger than allowed) or "transfer".
    const std::string& errorKind() const { return kind; }

    uint64_t transfer() const { return receiver->transfer(); }
    const std::shared_ptr<Peer>& camera() const { return peer; }
    // The image's name below the camera's root, its size, bytes held.
    const std::string& imageName() const { return receiver->imageName(); }
    uint64_t size() const { return receiver->size(); }
    uint64_t received() const { return receiver->received(); }
    uint64_t resumedFrom() const { return offset; }
    // FILE: the file written; MEMORY: the image.
    const std::string& writtenPath() const { return target; }
    std::string takeBytes() { return std::move(memory); }
    // STREAM: the chunks that came since the last call.
    std::vector<std::string> takeChunks();

private:
    // Opens the part file and locks it for this fetch (flock, exclusive,
    // not waiting). Tried this many times while the file under the path is
    // replaced by another fetch as it is locked.
    static constexpr int kLockAttempts = 3;
    bool lockPart();
    bool openPart();
    bool write(const unsigned char* data, size_t size);
    void complete();
    // Moves the checked part file to its name: the file path given is
    // replaced; in a directory (named as fetchedImageName says) an existing
    // file is kept and the image takes the next free numbered name (target
    // is set). False with errno set.
    bool giveName();
    void fail(const std::string& why, const std::string& what);

    Request asked;
    std::shared_ptr<Peer> peer;
    std::unique_ptr<ImageReceiver> receiver;
    uint64_t offset = 0;
    int fd = -1;
    std::string directory, partPath, target;
    std::string memory;
    std::vector<std::string> chunks;
    uint64_t delivered = 0, read = 0;  // STREAM backlog
    std::vector<zmsg_t*> heldCredit;
    Clock::time_point lastProgress;
    bool over = false;
    std::string failure, kind;
};

}  // namespace corvo::python
