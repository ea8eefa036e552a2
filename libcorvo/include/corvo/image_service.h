/// @file
/// Images sent over the site: the camera's side (ImageService), which
/// streams files below its image root against credit, and the receiver's
/// side (ImageReceiver), which checks every chunk and the final checksum.
///
/// Bounds (the camera's memory for transfers stays below
/// kImageTransfersTotal x kImageWindowChunks x kImageChunkBytes plus the
/// queued requests):
/// - kImageChunkBytes: bytes of one chunk (64 KiB);
/// - kImageWindowChunks: chunks in flight per transfer without credit (8);
/// - kImageTransfersPerPeer / kImageTransfersTotal: transfers sent at once
///   for one peer (2) and for all (8);
/// - kImageQueuedRequests: requests waiting for a free transfer (32; one
///   peer at most kImageQueuedPerPeer = 8), more are refused;
/// - kImageStallSeconds: a transfer without credit for this long (60 s) is
///   ended and its slot freed.
///
/// Compression: a receiver may ask for zstd chunks (ImageReceiver::
/// setCompression); the camera compresses each chunk at zstd's fastest level
/// and sends it raw when that does not make it smaller. A compressed chunk
/// still stands for at most kImageChunkBytes raw bytes, and its frame is
/// decoded into a buffer of exactly its stated raw size, so a lying frame
/// costs no more memory than a raw chunk.
#pragma once

#include "corvo/export.h"

#include <czmq.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "corvo/proto/command.pb.h"
#include "corvo/proto/image.pb.h"

namespace corvo {

/// Largest payload of one image chunk, in bytes.
constexpr size_t kImageChunkBytes = 64 * 1024;
/// Most chunks in flight per transfer: a receiver's credit beyond it is clamped.
constexpr uint32_t kImageWindowChunks = 8;
/// Transfers one peer may have running at once.
constexpr size_t kImageTransfersPerPeer = 2;
/// Transfers a camera runs at once, for all peers.
constexpr size_t kImageTransfersTotal = 8;
/// Requests waiting for a free transfer, for all peers; further ones are refused.
constexpr size_t kImageQueuedRequests = 32;
/// Requests one peer may have waiting.
constexpr size_t kImageQueuedPerPeer = 8;
/// A transfer granted no credit for this long ends with an error.
constexpr int kImageStallSeconds = 60;
/// Bytes of resumed images' held parts that one ImageService::work() call
/// reads into their checksums (1 MiB, a few milliseconds of the loop).
constexpr uint64_t kImageHashStepBytes = 1024 * 1024;

/// The chunk encoding a receiver may ask for besides raw bytes.
CORVO_API extern const char* const kImageZstd;

/// Longest image name (below the root) an ImageReady may carry.
constexpr size_t kImageNameBytes = 4096;
/// Longest time text (exposure start, saving time) an ImageReady may carry.
constexpr size_t kImageTimeBytes = 64;

/// The command name in the Response by which a camera refuses an image
/// request; its arguments are the transfer number and the name asked for.
CORVO_API extern const char* const kImageRefusalCommand;

/// The hex SHA-1 of data fed in pieces.
class CORVO_API Sha1 {
public:
    Sha1();
    ~Sha1();
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;
    /// Adds `size` bytes.
    void update(const unsigned char* data, size_t size);
    /// The digest of everything added, in lower-case hex.
    std::string hex();

private:
    zdigest_t* digest;
};

/// Reads a camera's announcement of a saved image (tag 12). False, with the
/// reason in `problem`, when it does not parse, has no name, a name longer
/// than kImageNameBytes, an absolute name or one with a ".." component, a
/// "sha1" that is not 40 lower-case hex digits, an unknown "datatype" or a
/// time text longer than kImageTimeBytes.
CORVO_API bool parseImageReady(const unsigned char* data, size_t size, corvo::proto::ImageReady& ready,
                               std::string& problem);

/// The size and lower-case hex SHA-1 of the regular file `name` in the
/// open directory `directoryFd`, opened without following links. False when
/// it is not a regular file or cannot be read whole.
CORVO_API bool digestFile(int directoryFd, const std::string& name, uint64_t& size, std::string& sha1);

/// The camera's side: answers image requests from peers by streaming files
/// below the image root. It owns no network: `send` whispers a framed
/// message to a peer (and takes ownership of it), `warn` writes one log
/// record. Everything runs on the daemon's loop thread.
class CORVO_API ImageService {
public:
    /// Whispers a framed message to a peer, taking ownership of it.
    using Send = std::function<void(const std::string& peerUuid, zmsg_t* message)>;
    /// Writes one log record.
    using Warn = std::function<void(const std::string& text)>;
    /// The clock that times stalled transfers.
    using Clock = std::chrono::steady_clock;
    /// Decides whether a peer may fetch the image `name` (below the root,
    /// "latest" already resolved): empty to allow, else the reason.
    using Admit = std::function<std::string(const std::string& peerUuid, const std::string& name)>;
    /// One fetch, for the audit trail: a refused request (`accepted` false,
    /// `outcome` the reason, `name` as asked) or a transfer that ended
    /// (`sent` bytes from byte `offset` of `size`; `outcome` "complete",
    /// "cancelled by the receiver", "the receiver left" or the error).
    struct FetchRecord {
        std::string peerUuid;   ///< the receiver
        std::string peerName;   ///< its name when it asked
        std::string name;       ///< below the root (as asked when refused)
        bool accepted = false;  ///< false: the request was refused
        bool complete = false;  ///< every byte sent and the checksum with it
        uint64_t offset = 0;    ///< the byte the receiver asked to start from
        uint64_t sent = 0;      ///< bytes sent from `offset` on
        uint64_t size = 0;      ///< the image's size (0 when refused)
        std::string outcome;    ///< "complete", how it ended, or the refusal's reason
    };
    /// Takes one FetchRecord.
    using Audit = std::function<void(const FetchRecord& record)>;

    /// `root` gives the current image root, `latest` the path of the newest
    /// image (possibly absolute, inside the root; empty when none).
    ImageService(std::function<std::string()> root, std::function<std::string()> latest, Send send, Warn warn);
    ~ImageService();
    ImageService(const ImageService&) = delete;
    ImageService& operator=(const ImageService&) = delete;

    /// Checks each request with `admit` before its file is opened (none:
    /// every request below the root is served).
    void setAdmission(Admit admit) { admission = std::move(admit); }
    /// Gives each refused request and each ended transfer to `audit`; the
    /// service then writes no log record of its own for refusals.
    void setAudit(Audit audit) { auditor = std::move(audit); }

    /// One message of tag 8 (request) or 9 (credit) from a peer; other tags,
    /// and payloads that do not parse, are dropped with a warning.
    void handle(const std::string& peerUuid, const std::string& peerName, uint8_t tag, const unsigned char* data,
                size_t size);
    /// The peer has left: its transfers and queued requests end.
    void peerLeft(const std::string& peerUuid);
    /// Runs once per loop turn: a resumed transfer's checksum must also
    /// cover the bytes the receiver already holds; they are read and hashed
    /// here, kImageHashStepBytes per call for all transfers, while chunks
    /// go out. A transfer whose bytes are all sent sends its ImageEnd once
    /// its checksum has caught up.
    void work();
    /// Ends transfers stalled for kImageStallSeconds (at `now`).
    void expire(Clock::time_point now = Clock::now());

    /// Transfers being sent.
    size_t activeTransfers() const { return active.size(); }
    /// Requests waiting for a free transfer.
    size_t queuedRequests() const { return queue.size(); }

private:
    struct Transfer;
    struct Pending {
        std::string peerUuid, peerName;
        corvo::proto::ImageRequest request;
    };
    using Key = std::pair<std::string, uint64_t>;  // peer, transfer number

    void request(const std::string& peerUuid, const std::string& peerName, const corvo::proto::ImageRequest& req);
    void credit(const std::string& peerUuid, const std::string& peerName, const corvo::proto::ImageCredit& credit);
    // Opens the file and starts sending, or refuses.
    void start(const Pending& pending);
    // Sends chunks while the transfer has credit; the end after the last.
    void pump(Transfer& transfer);
    void finish(const Key& key);
    void startQueued();
    size_t activeFor(const std::string& peerUuid) const;
    size_t queuedFor(const std::string& peerUuid) const;
    void refuse(const std::string& peerUuid, const std::string& peerName, const corvo::proto::ImageRequest& req,
                const std::string& reason);
    void endWithError(Transfer& transfer, const std::string& error);
    // Gives the ended transfer to the audit.
    void audit(const Transfer& transfer, const std::string& outcome, bool complete) const;
    // The opened file named by `name` if `peerUuid` may fetch it, or -1
    // with `reason`.
    int openImage(const std::string& peerUuid, const std::string& name, std::string& relative,
                  std::string& reason) const;

    std::function<std::string()> rootOf;
    std::function<std::string()> latestOf;
    Send send;
    Warn warn;
    Admit admission;
    Audit auditor;
    std::map<Key, std::unique_ptr<Transfer>> active;
    std::deque<Pending> queue;
};

/// The receiver's side of one transfer: makes the request and the credit
/// messages, checks every chunk against what was asked and granted, and the
/// final checksum against the bytes received (and those already held when
/// resuming). Bytes go to `write`; a false return fails the transfer.
class CORVO_API ImageReceiver {
public:
    /// Takes the next bytes of the image; false fails the transfer.
    using Write = std::function<bool(const unsigned char* data, size_t size)>;
    /// Where the transfer stands: running, done with the checksum verified, or failed.
    enum class State { Running, Done, Failed };

    /// A transfer numbered `transfer` of the image `name` ("latest" allowed)
    /// from byte `offset`; the bytes before it must be fed to addPrefix().
    ImageReceiver(uint64_t transfer, std::string name, uint64_t offset, Write write);

    /// Bytes of the image already held (resume), in order, before any chunk.
    void addPrefix(const unsigned char* data, size_t size) { hash.update(data, size); }
    /// Asks for chunks in `encoding` (kImageZstd; empty: raw only) in the
    /// request; raw chunks are taken all the same (a camera that does not
    /// compress). Call before request().
    void setCompression(std::string encoding) { compression = std::move(encoding); }
    /// The request to whisper to the camera (tag 8).
    zmsg_t* request() const;
    /// A cancellation to whisper to the camera (tag 9).
    zmsg_t* cancel() const;

    /// One message of tag 10 or 11 from the camera. Returns a credit message
    /// to whisper back (or null). A message of another transfer is ignored
    /// (returns null, `ignored` true); anything that breaks the transfer's
    /// rules fails it with the reason in error().
    zmsg_t* handle(uint8_t tag, const unsigned char* data, size_t size, bool& ignored);
    /// A Response from the camera: true when it refuses this transfer, which
    /// then fails with its reason.
    bool handleResponse(const corvo::proto::Response& response);

    /// Where the transfer stands.
    State state() const { return current; }
    /// Why the transfer failed (empty while it has not).
    const std::string& error() const { return failure; }
    /// The transfer's number, as in its request.
    uint64_t transfer() const { return number; }
    /// Bytes held so far (offset included), and the image's size (0 before
    /// the first chunk).
    uint64_t received() const { return next; }
    /// The image's size (0 before the first chunk).
    uint64_t size() const { return total; }
    /// The image's name below the camera's root, from its first chunk.
    const std::string& imageName() const { return name; }
    /// Bytes of chunk payload received as sent (compressed where it was).
    uint64_t wireBytes() const { return onWire; }
    /// Chunks that came compressed.
    uint64_t compressedChunks() const { return packed; }

private:
    zmsg_t* fail(const std::string& reason);

    uint64_t number;
    std::string asked;
    std::string name;
    uint64_t next;
    uint64_t total = 0;
    bool sized = false;
    uint32_t outstanding = kImageWindowChunks;  // chunks the camera may still send
    uint32_t owed = 0;                          // credit not yet returned
    Write write;
    Sha1 hash;
    State current = State::Running;
    std::string failure;
    std::string compression;
    uint64_t onWire = 0;
    uint64_t packed = 0;
};

}  // namespace corvo
