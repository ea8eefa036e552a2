#include "image_copies.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include <corvo/files.h>
#include <corvo/image_root.h>
#include <corvo/message.h>
#include <corvo/text.h>

namespace corvo::archiver {

namespace {

std::vector<std::string> components(const std::string& name)
{
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= name.size()) {
        size_t slash = name.find('/', at);
        if (slash == std::string::npos)
            slash = name.size();
        if (slash > at)
            parts.push_back(name.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
}

// The directory `part` in `parent`, made when missing, opened without
// following a link; -1 otherwise.
int openOrMake(int parent, const std::string& part)
{
    if (part == "." || part == "..")
        return -1;
    if (mkdirat(parent, part.c_str(), 0755) != 0 && errno != EEXIST)
        return -1;
    return openat(parent, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// A new file beside the image `file`, hidden, ".FILE.part" or, when a file
// has that name (an image may, or a part a killed run left), ".FILE.N.part":
// opened exclusively, so that no existing file is ever truncated, and the
// part removed on failure is always this run's own. -1 with errno.
int openPart(int directory, const std::string& file, std::string& part)
{
    for (int n = 0; n <= 100; ++n) {
        part = "." + file + (n ? "." + std::to_string(n) : "") + ".part";
        int fd = openat(directory, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// The time a fetch of `size` bytes may take at most.
uint64_t allowedSeconds(uint64_t size)
{
    return ImageCopies::kDeadlineSeconds + size / ImageCopies::kFloorBytesPerSecond;
}

std::string hexDigestOf(int directory, const std::string& file)
{
    uint64_t size = 0;
    std::string sha1;
    return digestFile(directory, file, size, sha1) ? sha1 : std::string();
}

}  // namespace

struct ImageCopies::Running {
    Wanted wanted;
    std::unique_ptr<ImageReceiver> receiver;
    Sha1 hash;  // of the bytes written, against the announcement's
    int directory = -1;
    int fd = -1;
    uint64_t written = 0;
    std::string file, part;
    Clock::time_point lastProgress, deadline;

    ~Running()
    {
        if (fd >= 0)
            ::close(fd);
        if (directory >= 0)
            ::close(directory);
    }
};

ImageCopies::ImageCopies(Options options, Send send, Log log)
    : options(std::move(options)), send(std::move(send)), log(std::move(log))
{}

ImageCopies::~ImageCopies()
{
    // The camera ends the abandoned transfer itself once it stalls.
    if (running && !running->part.empty())
        unlinkat(running->directory, running->part.c_str(), 0);
}

void ImageCopies::imageMessage(const std::shared_ptr<Peer>& peer, uint8_t tag, const unsigned char* data, size_t size,
                               Clock::time_point now)
{
    if (tag == MSG_IMAGE_READY)
        return announced(peer, data, size, now);
    if (!running || running->wanted.camera->uuid != peer->uuid)
        return;  // chunks nobody here asked for
    bool ignored = false;
    zmsg_t* credit = running->receiver->handle(tag, data, size, ignored);
    if (ignored)
        return;
    running->lastProgress = now;
    if (credit)
        send(peer, credit);
    // Checked first: the write of a chunk past the announcement is refused
    // (the receiver's reason would only say so).
    if (running->receiver->size() != 0 && running->receiver->size() != running->wanted.size)
        return end(false, "the camera's file has " + std::to_string(running->receiver->size()) + " bytes, not the " +
                              std::to_string(running->wanted.size) + " announced (its newer announcement brings it)");
    if (running->receiver->state() == ImageReceiver::State::Failed)
        return end(false, running->receiver->error());
    if (running->receiver->state() == ImageReceiver::State::Done)
        finish();
}

void ImageCopies::announced(const std::shared_ptr<Peer>& peer, const unsigned char* data, size_t size,
                            Clock::time_point now)
{
    corvo::proto::ImageReady ready;
    std::string problem;
    if (!parseImageReady(data, size, ready, problem))
        return warn("announcement", "Ignored an image announcement of " + escapeControl(peer->name) + ": " + problem);
    if (queue.size() >= kMaxWaiting) {
        skip("queue", "Image " + escapeControl(queue.front().name) + " of " +
                          escapeControl(queue.front().camera->name) + " not copied: " + std::to_string(kMaxWaiting) +
                          " announced images were waiting");
        queue.pop_front();
    }
    queue.push_back(Wanted{peer, ready.name(), ready.sha1(), ready.size()});
    tick(now);
}

void ImageCopies::response(const std::shared_ptr<Peer>& peer, const corvo::proto::Response& response)
{
    if (running && running->wanted.camera->uuid == peer->uuid && running->receiver->handleResponse(response))
        end(false, "refused: " + running->receiver->error());
}

void ImageCopies::peerLeft(const std::shared_ptr<Peer>& peer)
{
    for (auto it = queue.begin(); it != queue.end();)
        it = it->camera->uuid == peer->uuid ? queue.erase(it) : std::next(it);
    if (running && running->wanted.camera->uuid == peer->uuid)
        end(false, "the camera left the site");
}

void ImageCopies::tick(Clock::time_point now)
{
    if (running && now - running->lastProgress > std::chrono::seconds(kStallSeconds))
        end(false, "no data for " + std::to_string(kStallSeconds) + " s");
    else if (running && now > running->deadline)
        end(false, "too slow: not done within " + std::to_string(allowedSeconds(running->wanted.size)) + " s");
    while (!running && !queue.empty()) {
        Wanted next = queue.front();
        queue.pop_front();
        start(next, now);
    }
}

void ImageCopies::start(const Wanted& wanted, Clock::time_point now)
{
    std::string where = escapeControl(wanted.name) + " of " + escapeControl(wanted.camera->name);
    if (options.maxBytes > 0 && wanted.size > options.maxBytes)
        return skip("size", "Image " + where + " not copied: its " + std::to_string(wanted.size) +
                                " bytes are more than the " + std::to_string(options.maxBytes) + " allowed");
    struct statvfs fs {};
    if (statvfs(options.directory.c_str(), &fs) != 0)
        return skip("space", "Image " + where + " not copied: cannot read the free space of " + options.directory +
                                 ": " + std::strerror(errno));
    uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    if (free < wanted.size || free - wanted.size < options.minFree)
        return skip("space", "Image " + where + " not copied: " + std::to_string(free) + " bytes free in " +
                                 options.directory + ", " + std::to_string(wanted.size) +
                                 " needed and the floor (--min-free) kept");
    auto run = std::make_unique<Running>();
    run->wanted = wanted;
    std::string reason;
    run->directory = openDirectory(wanted, run->file, reason);
    if (run->directory < 0)
        return skip("directory", "Image " + where + " not copied: " + reason);
    run->fd = openPart(run->directory, run->file, run->part);
    if (run->fd < 0)
        return skip("directory",
                    "Image " + where + " not copied: cannot write " + run->part + ": " + std::strerror(errno));
    std::random_device random;
    uint64_t number = (uint64_t(random()) << 32 | random()) | 1;
    Running* self = run.get();
    run->receiver =
        std::make_unique<ImageReceiver>(number, wanted.name, 0, [self](const unsigned char* bytes, size_t count) {
            // Never more than announced: the size and space checks hold.
            if (count > self->wanted.size - self->written)
                return false;
            self->written += count;
            self->hash.update(bytes, count);
            return corvo::writeAll(self->fd, bytes, count);
        });
    run->lastProgress = now;
    run->deadline = now + std::chrono::seconds(allowedSeconds(wanted.size));
    running = std::move(run);
    send(wanted.camera, running->receiver->request());
}

int ImageCopies::openDirectory(const Wanted& wanted, std::string& file, std::string& reason)
{
    std::vector<std::string> parts = components(wanted.name);
    if (parts.empty()) {
        reason = "no file name";
        return -1;
    }
    file = sanitizeFileNameText(parts.back());
    parts.pop_back();
    // The camera's name makes one folder: a peer's name adds no directory.
    std::string camera = sanitizeFileNameText(wanted.camera->name);
    parts.insert(parts.begin(), camera.empty() || camera == "." || camera == ".." ? "camera" : camera);
    int directory = open(options.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const std::string& part : parts) {
        if (directory < 0)
            break;
        int inner = openOrMake(directory, part);
        ::close(directory);
        directory = inner;
    }
    if (directory < 0 || file.empty() || file == "." || file == "..") {
        reason = "cannot make the folder for it below " + options.directory + " (" + std::strerror(errno) + ")";
        if (directory >= 0)
            ::close(directory);
        return -1;
    }
    return directory;
}

void ImageCopies::finish()
{
    Running& run = *running;
    if (run.hash.hex() != run.wanted.sha1)
        return end(false, "the camera's file changed since it was announced (its newer announcement brings it)");
    if (fsync(run.fd) != 0 || ::close(run.fd) != 0) {
        run.fd = -1;
        return end(false, std::string("cannot write the copy: ") + std::strerror(errno));
    }
    run.fd = -1;
    // An earlier file of this name with other bytes is kept.
    std::string target = run.file;
    size_t dot = run.file.rfind('.');
    std::string stem = dot == std::string::npos || dot == 0 ? run.file : run.file.substr(0, dot);
    std::string extension = stem.size() == run.file.size() ? "" : run.file.substr(dot);
    for (int n = 1;; ++n) {
        struct stat st {};
        if (fstatat(run.directory, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            break;
        if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == run.wanted.size &&
            hexDigestOf(run.directory, target) == run.wanted.sha1) {
            unlinkat(run.directory, run.part.c_str(), 0);
            run.part.clear();
            return end(true, "Image " + escapeControl(run.wanted.name) + " of " +
                                 escapeControl(run.wanted.camera->name) + " is archived already as " + target);
        }
        if (n > 1000)
            return end(false, "no free name for the copy beside " + run.file);
        target = stem + "-" + std::to_string(n) + extension;
    }
    if (renameat(run.directory, run.part.c_str(), run.directory, target.c_str()) != 0)
        return end(false, "cannot rename the copy to " + target + ": " + std::strerror(errno));
    run.part.clear();
    fsync(run.directory);
    end(true, "Copied image " + escapeControl(run.wanted.name) + " of " + escapeControl(run.wanted.camera->name) +
                  " (" + std::to_string(run.wanted.size) + " bytes, SHA-1 verified) to " +
                  sanitizeFileNameText(run.wanted.camera->name) + "/" + target);
}

void ImageCopies::end(bool ok, const std::string& text)
{
    std::unique_ptr<Running> run = std::move(running);
    if (!ok) {
        ++failedCount;
        if (!run->part.empty())
            unlinkat(run->directory, run->part.c_str(), 0);
        if (run->receiver->state() != ImageReceiver::State::Done)
            send(run->wanted.camera, run->receiver->cancel());
        warn("failed", "Image " + escapeControl(run->wanted.name) + " of " + escapeControl(run->wanted.camera->name) +
                           " not copied: " + text);
    } else {
        ++copiedCount;
        log(false, text);
    }
    run.reset();
    tick();
}

void ImageCopies::skip(const std::string& kind, const std::string& text)
{
    ++skippedCount;
    warn(kind, text);
}

void ImageCopies::warn(const std::string& kind, const std::string& text)
{
    auto decision = throttle.admit(kind);
    if (!decision.write)
        return;
    log(true, decision.repeated ? text + " (and " + std::to_string(decision.repeated) + " more before)" : text);
}

}  // namespace corvo::archiver
