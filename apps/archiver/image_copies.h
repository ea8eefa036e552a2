// The archiver's copies of images: each image a camera announces (tag 12)
// is fetched over the site into DIR/CAMERA/NAME, one at a time, with its
// checksum verified twice (the transfer's end and the announcement). The
// bytes go to a new hidden ".FILE.part" beside the target (".FILE.N.part"
// when that name is taken: no existing file is truncated), which is fsynced
// and renamed only once whole; an earlier file of the same name with other
// bytes is kept, the new one taking the next free "STEM-N.EXT" name.
//
// Bounds: at most kMaxWaiting announcements wait (the oldest is dropped
// beyond); an image larger than `maxBytes` is skipped, and so is one that
// would leave less than `minFree` bytes free in DIR's file system; a fetch
// fails at its first byte beyond the announced size, without data for
// kStallSeconds, and when not done within kDeadlineSeconds plus its size at
// kFloorBytesPerSecond (so that no camera holds the one fetch for ever).
// Skips and failures are counted and logged (at most a few records per kind
// and 10 s).
#pragma once

#include <czmq.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include <corvo/image_service.h>
#include <corvo/log_throttle.h>
#include <corvo/peer.h>

namespace corvo::archiver {

class ImageCopies {
public:
    using Clock = std::chrono::steady_clock;
    // Whispers a message to a peer (taking ownership).
    using Send = std::function<void(const std::shared_ptr<Peer>&, zmsg_t*)>;
    // One log record: warning (true) or information.
    using Log = std::function<void(bool warning, const std::string& text)>;

    static constexpr size_t kMaxWaiting = 64;
    static constexpr int kStallSeconds = 60;
    static constexpr uint64_t kDeadlineSeconds = 60;
    static constexpr uint64_t kFloorBytesPerSecond = 1 << 20;

    struct Options {
        std::string directory;
        uint64_t minFree = 0;   // bytes to leave free where the copies lie
        uint64_t maxBytes = 0;  // the largest image copied (0: none)
    };

    ImageCopies(Options options, Send send, Log log);
    ~ImageCopies();
    ImageCopies(const ImageCopies&) = delete;
    ImageCopies& operator=(const ImageCopies&) = delete;

    // A message of tags 10 to 12 from a peer.
    void imageMessage(const std::shared_ptr<Peer>& peer, uint8_t tag, const unsigned char* data, size_t size,
                      Clock::time_point now = Clock::now());
    // A Response from a peer: a refusal of the running fetch ends it.
    void response(const std::shared_ptr<Peer>& peer, const corvo::proto::Response& response);
    void peerLeft(const std::shared_ptr<Peer>& peer);
    // Starts the next fetch, ends a stalled or too slow one.
    void tick(Clock::time_point now = Clock::now());

    uint64_t copied() const { return copiedCount; }
    uint64_t failed() const { return failedCount; }
    uint64_t skipped() const { return skippedCount; }
    size_t waiting() const { return queue.size(); }

private:
    struct Wanted {
        std::shared_ptr<Peer> camera;
        std::string name, sha1;
        uint64_t size = 0;
    };
    struct Running;

    void announced(const std::shared_ptr<Peer>& peer, const unsigned char* data, size_t size, Clock::time_point now);
    void start(const Wanted& wanted, Clock::time_point now);
    // Opens DIR/CAMERA/<directories of name>, making what is missing,
    // following no link; -1 with `reason`.
    int openDirectory(const Wanted& wanted, std::string& file, std::string& reason);
    void finish();
    void end(bool ok, const std::string& text);
    void skip(const std::string& kind, const std::string& text);
    void warn(const std::string& kind, const std::string& text);

    Options options;
    Send send;
    Log log;
    LogThrottle throttle;
    std::deque<Wanted> queue;
    std::unique_ptr<Running> running;
    uint64_t copiedCount = 0, failedCount = 0, skippedCount = 0;
};

}  // namespace corvo::archiver
