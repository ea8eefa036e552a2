#include "corvo/image_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <vector>

#include "corvo/image.h"
#include "corvo/image_root.h"
#include "corvo/log_throttle.h"
#include "corvo/message.h"
#include "corvo/misc.h"
#include "corvo/text.h"

namespace corvo {

const char* const kImageRefusalCommand = "image";
const char* const kImageZstd = "zstd";

Sha1::Sha1() : digest(zdigest_new()) {}

Sha1::~Sha1()
{
    zdigest_destroy(&digest);
}

void Sha1::update(const unsigned char* data, size_t size)
{
    if (size > 0)
        zdigest_update(digest, data, size);
}

std::string Sha1::hex()
{
    std::string text = zdigest_string(digest);
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

namespace {

// The most of a camera's own error text kept in a failure.
constexpr size_t kPeerErrorBytes = 1024;

template <class Record>
bool parse(Record& record, const unsigned char* data, size_t size)
{
    return size <= static_cast<size_t>(INT32_MAX) && record.ParseFromArray(data, static_cast<int>(size));
}

// Reads `size` bytes at `offset` whole; false on an error or a short file.
bool readAt(int fd, unsigned char* buffer, size_t size, uint64_t offset)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The descriptor of the directory `directory` below `rootFd`, following no
// link; -1 when a part is missing or not a directory.
int openBelow(int rootFd, const std::string& directory)
{
    int fd = dup(rootFd);
    if (fd < 0 || directory.empty())
        return fd;
    for (const auto& part : split(directory, '/')) {
        int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        if (next < 0)
            return -1;
        fd = next;
    }
    return fd;
}

std::string fileKindProblem(const struct stat& st)
{
    if (S_ISLNK(st.st_mode))
        return "is a symbolic link";
    if (S_ISDIR(st.st_mode))
        return "is a directory";
    if (S_ISFIFO(st.st_mode))
        return "is a FIFO";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return "is a device";
    if (S_ISSOCK(st.st_mode))
        return "is a socket";
    return S_ISREG(st.st_mode) ? std::string() : "is not a regular file";
}

// `raw` as one zstd frame in `packed`; false when that is not smaller.
bool compressChunk(const std::string& raw, std::string& packed)
{
    // One context per thread: a chunk is compressed on the daemon's loop.
    thread_local std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
    if (!context)
        return false;
    packed.resize(ZSTD_compressBound(raw.size()));
    size_t n = ZSTD_compressCCtx(context.get(), &packed[0], packed.size(), raw.data(), raw.size(), 1);
    if (ZSTD_isError(n) || n >= raw.size())
        return false;
    packed.resize(n);
    return true;
}

// The `rawSize` bytes of one zstd frame; false when the frame is corrupt or
// holds another number of bytes.
bool decompressChunk(const std::string& packed, size_t rawSize, std::string& raw)
{
    raw.resize(rawSize);
    size_t n = ZSTD_decompress(&raw[0], raw.size(), packed.data(), packed.size());
    return !ZSTD_isError(n) && n == rawSize;
}

// Records of peers' faults: a few per peer and 10 s, then counted.
LogThrottle& faultThrottle()
{
    static LogThrottle throttle(5);
    return throttle;
}

}  // namespace

bool parseImageReady(const unsigned char* data, size_t size, corvo::proto::ImageReady& ready, std::string& problem)
{
    if (!parse(ready, data, size)) {
        problem = "an image announcement that does not parse";
        return false;
    }
    const std::string& name = ready.name();
    const auto parts = split(name, '/');
    static const std::set<int> datatypes{IMAGE_UINT8, IMAGE_INT8,   IMAGE_INT16, IMAGE_UINT16,
                                         IMAGE_INT32, IMAGE_UINT32, IMAGE_FLOAT, IMAGE_DOUBLE};
    if (name.empty())
        problem = "an image announcement without a name";
    else if (name.size() > kImageNameBytes)
        problem = "an image name of " + std::to_string(name.size()) + " bytes (at most " +
                  std::to_string(kImageNameBytes) + ")";
    else if (name[0] == '/' || std::find(parts.begin(), parts.end(), "..") != parts.end())
        problem = "an image name outside the image root";
    else if (ready.sha1().size() != 40 || ready.sha1().find_first_not_of("0123456789abcdef") != std::string::npos)
        problem = "an image announcement whose checksum is not a hex SHA-1";
    else if (!datatypes.count(ready.datatype()))
        problem = "an image announcement of pixel type " + std::to_string(ready.datatype());
    else if (ready.exposure_start().size() > kImageTimeBytes || ready.saved().size() > kImageTimeBytes)
        problem = "an image announcement with a time text over " + std::to_string(kImageTimeBytes) + " bytes";
    else
        return true;
    return false;
}

bool digestFile(int directoryFd, const std::string& name, uint64_t& size, std::string& sha1)
{
    int fd = openat(directoryFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    Sha1 hash;
    std::vector<unsigned char> buffer(1024 * 1024);
    uint64_t total = 0;
    while (ok) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ok = false;
        if (n <= 0)
            break;
        hash.update(buffer.data(), static_cast<size_t>(n));
        total += static_cast<uint64_t>(n);
    }
    ::close(fd);
    if (!ok)
        return false;
    size = total;
    sha1 = hash.hex();
    return true;
}

struct ImageService::Transfer {
    std::string peerUuid, peerName;
    uint64_t number = 0;
    std::string name;  // below the root
    int fd = -1;
    uint64_t size = 0;
    uint64_t offset = 0;  // asked for: the receiver held the bytes before it
    uint64_t next = 0;
    uint64_t hashed = 0;  // bytes from 0 in the checksum; at most next
    uint32_t window = kImageWindowChunks;
    uint32_t credit = 0;
    bool compress = false;  // the receiver takes zstd chunks
    bool warnedCredit = false;
    Sha1 hash;
    Clock::time_point lastCredit = Clock::now();

    ~Transfer()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

ImageService::ImageService(std::function<std::string()> root, std::function<std::string()> latest, Send sendTo,
                           Warn warnWith)
    : rootOf(std::move(root)), latestOf(std::move(latest)), send(std::move(sendTo)), warn(std::move(warnWith))
{}

ImageService::~ImageService() = default;

void ImageService::handle(const std::string& peerUuid, const std::string& peerName, uint8_t tag,
                          const unsigned char* data, size_t size)
{
    auto fault = [&](const std::string& text) {
        auto decision = faultThrottle().admit(peerUuid);
        if (decision.write)
            warn("Image transfer: " + escapeControl(peerName) + ": " + text +
                 (decision.repeated ? " (and " + std::to_string(decision.repeated) + " more)" : ""));
    };
    if (tag == MSG_IMAGE_REQUEST) {
        corvo::proto::ImageRequest req;
        if (!parse(req, data, size))
            return fault("dropped an image request that does not parse");
        request(peerUuid, peerName, req);
    } else if (tag == MSG_IMAGE_CREDIT) {
        corvo::proto::ImageCredit grant;
        if (!parse(grant, data, size))
            return fault("dropped a credit that does not parse");
        credit(peerUuid, peerName, grant);
    } else {
        fault("dropped an image message of tag " + std::to_string(tag) + " sent to a camera");
    }
}

size_t ImageService::activeFor(const std::string& peerUuid) const
{
    return static_cast<size_t>(
        std::count_if(active.begin(), active.end(), [&](const auto& entry) { return entry.first.first == peerUuid; }));
}

size_t ImageService::queuedFor(const std::string& peerUuid) const
{
    return static_cast<size_t>(
        std::count_if(queue.begin(), queue.end(), [&](const Pending& p) { return p.peerUuid == peerUuid; }));
}

void ImageService::refuse(const std::string& peerUuid, const std::string& peerName,
                          const corvo::proto::ImageRequest& req, const std::string& reason)
{
    if (auditor) {
        FetchRecord record;
        record.peerUuid = peerUuid;
        record.peerName = peerName;
        record.name = req.name().substr(0, 256);
        record.offset = req.offset();
        record.outcome = reason;
        auditor(record);
    } else {
        auto decision = faultThrottle().admit(peerUuid);
        if (decision.write)
            warn("Image request " + escapeControl(req.name().substr(0, 256)) + " refused: " + reason);
    }
    corvo::proto::Response response;
    response.mutable_command()->set_cmd_name(kImageRefusalCommand);
    response.mutable_command()->add_args(std::to_string(req.transfer()));
    response.mutable_command()->add_args(req.name().substr(0, 4096));
    response.set_error(reason);
    send(peerUuid, ProtobufToZMsg(response));
}

void ImageService::request(const std::string& peerUuid, const std::string& peerName,
                           const corvo::proto::ImageRequest& req)
{
    if (req.transfer() == 0)
        return refuse(peerUuid, peerName, req, "transfer number 0");
    Key key{peerUuid, req.transfer()};
    bool queued = std::any_of(queue.begin(), queue.end(), [&](const Pending& p) {
        return p.peerUuid == peerUuid && p.request.transfer() == req.transfer();
    });
    if (active.count(key) || queued)
        return refuse(peerUuid, peerName, req, "transfer number " + std::to_string(req.transfer()) + " already in use");
    Pending pending{peerUuid, peerName, req};
    if (activeFor(peerUuid) < kImageTransfersPerPeer && active.size() < kImageTransfersTotal)
        return start(pending);
    if (queue.size() >= kImageQueuedRequests || queuedFor(peerUuid) >= kImageQueuedPerPeer)
        return refuse(peerUuid, peerName, req, "too many image requests waiting");
    queue.push_back(std::move(pending));
}

int ImageService::openImage(const std::string& peerUuid, const std::string& asked, std::string& relative,
                            std::string& reason) const
{
    std::string name = asked;
    if (asked == "latest") {
        name = latestOf();
        if (name.empty()) {
            reason = "no image saved yet";
            return -1;
        }
    } else if (!asked.empty() && asked[0] == '/') {
        reason = "image name must be relative to the image root";
        return -1;
    }
    const ImageRoot root(rootOf());
    std::string directory, file;
    if (!root.place(name, directory, file, reason))
        return -1;
    relative = directory.empty() ? file : directory + "/" + file;
    // Before anything is opened: a peer without the right learns nothing of
    // what the root holds.
    if (admission) {
        reason = admission(peerUuid, relative);
        if (!reason.empty())
            return -1;
    }
    int rootFd = open(root.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int dirFd = rootFd < 0 ? -1 : openBelow(rootFd, directory);
    if (rootFd >= 0)
        ::close(rootFd);
    if (dirFd < 0) {
        reason = "no such image: " + relative;
        return -1;
    }
    // The kind is checked before opening: opening a FIFO or a device may act.
    struct stat before {};
    if (fstatat(dirFd, file.c_str(), &before, AT_SYMLINK_NOFOLLOW) != 0) {
        ::close(dirFd);
        reason = "no such image: " + relative;
        return -1;
    }
    reason = fileKindProblem(before);
    if (!reason.empty()) {
        ::close(dirFd);
        reason = relative + " " + reason;
        return -1;
    }
    int fd = openat(dirFd, file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ::close(dirFd);
    struct stat after {};
    if (fd < 0 || fstat(fd, &after) != 0 || !S_ISREG(after.st_mode) || after.st_ino != before.st_ino ||
        after.st_dev != before.st_dev) {
        if (fd >= 0)
            ::close(fd);
        reason = relative + " changed while being opened";
        return -1;
    }
    return fd;
}

void ImageService::start(const Pending& pending)
{
    const auto& req = pending.request;
    auto transfer = std::make_unique<Transfer>();
    std::string reason;
    transfer->fd = openImage(pending.peerUuid, req.name(), transfer->name, reason);
    if (transfer->fd < 0)
        return refuse(pending.peerUuid, pending.peerName, req, reason);
    struct stat st {};
    fstat(transfer->fd, &st);
    transfer->size = static_cast<uint64_t>(st.st_size);
    if (req.offset() > transfer->size)
        return refuse(pending.peerUuid, pending.peerName, req,
                      "offset " + std::to_string(req.offset()) + " lies beyond the image's " +
                          std::to_string(transfer->size) + " bytes");
    transfer->peerUuid = pending.peerUuid;
    transfer->peerName = pending.peerName;
    transfer->number = req.transfer();
    transfer->window = std::clamp<uint32_t>(req.window(), 1, kImageWindowChunks);
    transfer->compress = req.compression() == kImageZstd;
    transfer->credit = transfer->window;
    // The checksum covers the whole image, the part the receiver holds
    // too: work() hashes that part a step per loop turn while chunks go out.
    transfer->offset = req.offset();
    transfer->next = req.offset();
    Key key{pending.peerUuid, req.transfer()};
    Transfer& started = *transfer;
    active[key] = std::move(transfer);
    pump(started);
}

void ImageService::pump(Transfer& transfer)
{
    const Key key{transfer.peerUuid, transfer.number};
    std::string buffer, packed;
    while (transfer.credit > 0 && transfer.next < transfer.size) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kImageChunkBytes, transfer.size - transfer.next));
        buffer.resize(n);
        auto* bytes = reinterpret_cast<unsigned char*>(&buffer[0]);
        if (!readAt(transfer.fd, bytes, n, transfer.next))
            return endWithError(transfer, transfer.name + " became shorter while being sent");
        if (transfer.hashed == transfer.next) {
            transfer.hash.update(bytes, n);
            transfer.hashed += n;
        }
        corvo::proto::ImageChunk chunk;
        chunk.set_transfer(transfer.number);
        chunk.set_offset(transfer.next);
        chunk.set_size(transfer.size);
        chunk.set_name(transfer.name);
        if (transfer.compress && compressChunk(buffer, packed)) {
            chunk.set_encoding(kImageZstd);
            chunk.set_raw_size(static_cast<uint32_t>(n));
            chunk.set_data(std::move(packed));
        } else {
            chunk.set_data(std::move(buffer));
        }
        send(transfer.peerUuid, ProtobufToZMsg(chunk));
        buffer.clear();
        packed.clear();
        transfer.next += n;
        --transfer.credit;
    }
    if (transfer.next < transfer.size || transfer.hashed < transfer.size)
        return;  // the end waits for the checksum (work())
    corvo::proto::ImageEnd end;
    end.set_transfer(transfer.number);
    end.set_size(transfer.size);
    end.set_sha1(transfer.hash.hex());
    end.set_name(transfer.name);
    send(transfer.peerUuid, ProtobufToZMsg(end));
    audit(transfer, "complete", true);
    finish(key);
}

void ImageService::audit(const Transfer& transfer, const std::string& outcome, bool complete) const
{
    if (!auditor)
        return;
    FetchRecord record;
    record.peerUuid = transfer.peerUuid;
    record.peerName = transfer.peerName;
    record.name = transfer.name;
    record.accepted = true;
    record.complete = complete;
    record.offset = transfer.offset;
    record.sent = transfer.next - transfer.offset;
    record.size = transfer.size;
    record.outcome = outcome;
    auditor(record);
}

void ImageService::endWithError(Transfer& transfer, const std::string& error)
{
    warn("Image transfer of " + transfer.name + " to " + escapeControl(transfer.peerName) + " ended: " + error);
    corvo::proto::ImageEnd end;
    end.set_transfer(transfer.number);
    end.set_size(transfer.next);
    end.set_error(error);
    end.set_name(transfer.name);
    send(transfer.peerUuid, ProtobufToZMsg(end));
    audit(transfer, error, false);
    finish({transfer.peerUuid, transfer.number});
}

void ImageService::finish(const Key& key)
{
    active.erase(key);
    startQueued();
}

void ImageService::startQueued()
{
    for (auto it = queue.begin(); it != queue.end() && active.size() < kImageTransfersTotal;) {
        if (activeFor(it->peerUuid) >= kImageTransfersPerPeer) {
            ++it;
            continue;
        }
        Pending pending = std::move(*it);
        queue.erase(it);
        start(pending);  // may finish at once and start others: begin again
        it = queue.begin();
    }
}

void ImageService::credit(const std::string& peerUuid, const std::string& peerName,
                          const corvo::proto::ImageCredit& grant)
{
    Key key{peerUuid, grant.transfer()};
    auto found = active.find(key);
    if (found == active.end()) {
        auto waiting = std::find_if(queue.begin(), queue.end(), [&](const Pending& p) {
            return p.peerUuid == peerUuid && p.request.transfer() == grant.transfer();
        });
        if (waiting != queue.end() && grant.cancel()) {
            queue.erase(waiting);
            return;
        }
        auto decision = faultThrottle().admit(peerUuid);
        if (decision.write && !grant.cancel())
            warn("Image transfer: " + escapeControl(peerName) + ": dropped credit for unknown transfer " +
                 std::to_string(grant.transfer()));
        return;
    }
    Transfer& transfer = *found->second;
    if (grant.cancel()) {
        audit(transfer, "cancelled by the receiver", false);
        return finish(key);
    }
    uint64_t wanted = uint64_t(transfer.credit) + grant.credit();
    if (wanted > transfer.window) {
        if (!transfer.warnedCredit)
            warn("Image transfer: " + escapeControl(peerName) + " granted more credit than its window of " +
                 std::to_string(transfer.window) + " chunks; held to the window");
        transfer.warnedCredit = true;
        wanted = transfer.window;
    }
    transfer.credit = static_cast<uint32_t>(wanted);
    transfer.lastCredit = Clock::now();
    pump(transfer);
}

void ImageService::peerLeft(const std::string& peerUuid)
{
    for (auto it = active.begin(); it != active.end();) {
        if (it->first.first != peerUuid) {
            ++it;
            continue;
        }
        audit(*it->second, "the receiver left", false);
        it = active.erase(it);
    }
    queue.erase(std::remove_if(queue.begin(), queue.end(), [&](const Pending& p) { return p.peerUuid == peerUuid; }),
                queue.end());
    startQueued();
}

void ImageService::work()
{
    std::vector<Key> behind;
    for (const auto& entry : active)
        if (entry.second->hashed < entry.second->next)
            behind.push_back(entry.first);
    uint64_t budget = kImageHashStepBytes;
    std::vector<unsigned char> buffer;
    for (const Key& key : behind) {
        if (budget == 0)
            return;
        auto found = active.find(key);
        if (found == active.end())
            continue;
        Transfer& transfer = *found->second;
        buffer.resize(kImageChunkBytes);
        while (budget > 0 && transfer.hashed < transfer.next) {
            size_t n = static_cast<size_t>(
                std::min<uint64_t>({uint64_t(kImageChunkBytes), transfer.next - transfer.hashed, budget}));
            if (!readAt(transfer.fd, buffer.data(), n, transfer.hashed)) {
                endWithError(transfer, transfer.name + " became shorter while being sent");
                break;
            }
            transfer.hash.update(buffer.data(), n);
            transfer.hashed += n;
            budget -= n;
        }
        // Caught up: later chunks are hashed as they go; a whole image ends.
        found = active.find(key);
        if (found != active.end() && found->second->hashed == found->second->next)
            pump(*found->second);
    }
}

void ImageService::expire(Clock::time_point now)
{
    std::vector<Transfer*> stalled;
    for (auto& entry : active)
        if (entry.second->credit == 0 && now - entry.second->lastCredit > std::chrono::seconds(kImageStallSeconds))
            stalled.push_back(entry.second.get());
    for (Transfer* transfer : stalled)
        endWithError(*transfer, "no credit for " + std::to_string(kImageStallSeconds) + " s");
}

// ---- receiver ----

ImageReceiver::ImageReceiver(uint64_t transferNumber, std::string imageName, uint64_t offset, Write writer)
    : number(transferNumber), asked(std::move(imageName)), next(offset), write(std::move(writer))
{}

zmsg_t* ImageReceiver::request() const
{
    corvo::proto::ImageRequest req;
    req.set_transfer(number);
    req.set_name(asked);
    req.set_offset(next);
    req.set_window(kImageWindowChunks);
    req.set_compression(compression);
    return ProtobufToZMsg(req);
}

zmsg_t* ImageReceiver::cancel() const
{
    corvo::proto::ImageCredit grant;
    grant.set_transfer(number);
    grant.set_cancel(true);
    return ProtobufToZMsg(grant);
}

zmsg_t* ImageReceiver::fail(const std::string& reason)
{
    if (current == State::Running) {
        current = State::Failed;
        failure = reason;
    }
    return nullptr;
}

zmsg_t* ImageReceiver::handle(uint8_t tag, const unsigned char* data, size_t size, bool& ignored)
{
    ignored = false;
    if (tag == MSG_IMAGE_CHUNK) {
        corvo::proto::ImageChunk chunk;
        if (!parse(chunk, data, size)) {
            ignored = true;
            return nullptr;
        }
        if (chunk.transfer() != number || current != State::Running) {
            ignored = true;
            return nullptr;
        }
        if (outstanding == 0)
            return fail("the camera sent a chunk without credit");
        if (chunk.data().size() > kImageChunkBytes || chunk.data().empty())
            return fail("a chunk of " + std::to_string(chunk.data().size()) + " bytes");
        onWire += chunk.data().size();
        std::string decoded;
        if (!chunk.encoding().empty()) {
            if (chunk.encoding() != compression || compression != kImageZstd)
                return fail("a chunk encoded as " + escapeControl(chunk.encoding().substr(0, 32)) +
                            ", which was not asked for");
            if (chunk.raw_size() == 0 || chunk.raw_size() > kImageChunkBytes)
                return fail("a compressed chunk of " + std::to_string(chunk.raw_size()) + " bytes");
            if (!decompressChunk(chunk.data(), chunk.raw_size(), decoded))
                return fail("a corrupt compressed chunk at offset " + std::to_string(chunk.offset()));
            ++packed;
            chunk.set_data(std::move(decoded));
        }
        if (!sized) {
            sized = true;
            total = chunk.size();
            name = chunk.name();
            if (next > total)
                return fail("the image has " + std::to_string(total) + " bytes, fewer than held already");
        } else if (chunk.size() != total) {
            return fail("the image's size changed from " + std::to_string(total) + " to " +
                        std::to_string(chunk.size()));
        }
        if (chunk.offset() != next)
            return fail("a chunk at offset " + std::to_string(chunk.offset()) + ", expected " + std::to_string(next));
        if (chunk.data().size() > total - next)
            return fail("a chunk beyond the image's " + std::to_string(total) + " bytes");
        const auto* bytes = reinterpret_cast<const unsigned char*>(chunk.data().data());
        if (!write(bytes, chunk.data().size()))
            return fail("the image could not be written here");
        hash.update(bytes, chunk.data().size());
        next += chunk.data().size();
        --outstanding;
        ++owed;
        if (owed < kImageWindowChunks / 2 || next >= total)
            return nullptr;
        corvo::proto::ImageCredit grant;
        grant.set_transfer(number);
        grant.set_credit(owed);
        outstanding += owed;
        owed = 0;
        return ProtobufToZMsg(grant);
    }
    if (tag == MSG_IMAGE_END) {
        corvo::proto::ImageEnd end;
        if (!parse(end, data, size) || end.transfer() != number || current != State::Running) {
            ignored = true;
            return nullptr;
        }
        if (name.empty())
            name = end.name();
        if (!end.error().empty())
            return fail("the camera ended the transfer: " + escapeControl(end.error().substr(0, kPeerErrorBytes)));
        if (end.size() != next || (sized && end.size() != total))
            return fail("the camera ended at byte " + std::to_string(end.size()) + " of " + std::to_string(next) +
                        " received");
        if (end.sha1() != hash.hex())
            return fail("checksum mismatch: the camera's SHA-1 " + escapeControl(end.sha1().substr(0, 64)) +
                        " differs from the received bytes' " + hash.hex());
        total = next;
        current = State::Done;
        return nullptr;
    }
    ignored = true;
    return nullptr;
}

bool ImageReceiver::handleResponse(const corvo::proto::Response& response)
{
    const auto& command = response.command();
    if (command.cmd_name() != kImageRefusalCommand || command.args_size() < 1 ||
        command.args(0) != std::to_string(number) || current != State::Running)
        return false;
    fail(response.error().empty() ? "refused" : response.error());
    return true;
}

}  // namespace corvo
