#include "image_fetch.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "corvo/image.h"
#include "corvo/image_root.h"
#include "corvo/text.h"
#include <corvo/files.h>

namespace corvo::python {

namespace {

std::string baseName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dirName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool isDirectory(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A buffer grows by appending; this much is reserved up front at most, so a
// camera that announces a huge size costs nothing until the bytes come.
constexpr uint64_t kMaxReserve = 64ull << 20;

}  // namespace

ImageFetch::ImageFetch(Request request, std::shared_ptr<Peer> camera)
    : asked(std::move(request)), peer(std::move(camera)), lastProgress(Clock::now())
{
    if (asked.mode == Mode::FILE && !openPart())
        over = true;
    receiver = std::make_unique<ImageReceiver>(asked.transfer, asked.name, offset,
                                               [this](const unsigned char* d, size_t n) { return write(d, n); });
    if (!asked.compression.empty())
        receiver->setCompression(asked.compression);
    if (fd >= 0 && offset > 0) {
        std::vector<unsigned char> buffer(kImageChunkBytes);
        for (uint64_t at = 0; at < offset;) {
            ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(at));
            if (n <= 0) {
                fail("transfer", "cannot read " + partPath);
                return;
            }
            receiver->addPrefix(buffer.data(), static_cast<size_t>(n));
            at += static_cast<uint64_t>(n);
        }
    }
    if (fd >= 0)
        lseek(fd, static_cast<off_t>(offset), SEEK_SET);
}

ImageFetch::~ImageFetch()
{
    if (fd >= 0)
        ::close(fd);
    for (zmsg_t* msg : heldCredit)
        zmsg_destroy(&msg);
}

bool ImageFetch::lockPart()
{
    struct stat st {};
    // The part file is locked (flock) for the fetch's whole life, so that a
    // second fetch of the same file, in this process or another (the corvo
    // tool does the same), is refused instead of mixing its bytes in. A
    // holder may unlink or rename the file before closing it: the lock taken
    // must be on the file the path names still, else the open is tried again.
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        fd = ::open(partPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            failure = "cannot write " + partPath + ": " + std::strerror(fd < 0 ? errno : EINVAL);
            kind = "transfer";
            break;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            failure = errno == EWOULDBLOCK ? "another fetch is writing " + partPath
                                           : "cannot lock " + partPath + ": " + std::strerror(errno);
            kind = "transfer";
            break;
        }
        struct stat named {};
        if (stat(partPath.c_str(), &named) == 0 && named.st_dev == st.st_dev && named.st_ino == st.st_ino) {
            failure.clear();
            kind.clear();
            return true;
        }
        ::close(fd);
        fd = -1;
        failure = "another fetch is writing " + partPath;
        kind = "transfer";
    }
    // Nothing of this fetch is in the file: it is neither truncated nor
    // removed (fail() does so only while fd is open).
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    return false;
}

bool ImageFetch::openPart()
{
    const bool latest = asked.name == "latest";
    std::string stem;
    if (isDirectory(asked.path)) {
        directory = asked.path;
        stem = sanitizeFileNameText(latest ? asked.camera + "-latest" : baseName(asked.name));
    } else {
        target = asked.path;
        directory = dirName(asked.path);
        stem = baseName(asked.path);
    }
    if (stem.empty() || stem == "." || stem == "..") {
        failure = "no file name to write to in " + asked.path;
        kind = "transfer";
        return false;
    }
    partPath = directory + "/." + stem + ".part";
    if (!lockPart())
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        failure = "cannot write " + partPath + ": " + std::strerror(errno);
        kind = "transfer";
        return false;
    }
    // "latest" may name another image by now: never resumed.
    if (!latest)
        offset = static_cast<uint64_t>(st.st_size);
    if (offset == 0 && ftruncate(fd, 0) != 0) {
        failure = "cannot write " + partPath + ": " + std::strerror(errno);
        kind = "transfer";
        return false;
    }
    return true;
}

bool ImageFetch::write(const unsigned char* data, size_t size)
{
    if (asked.maxBytes > 0 && receiver->size() > asked.maxBytes) {
        kind = "size";
        return false;
    }
    switch (asked.mode) {
        case Mode::FILE:
            return corvo::writeAll(fd, data, size);
        case Mode::MEMORY:
            if (memory.empty())
                memory.reserve(static_cast<size_t>(std::min(receiver->size(), kMaxReserve)));
            memory.append(reinterpret_cast<const char*>(data), size);
            return true;
        case Mode::STREAM:
            chunks.emplace_back(reinterpret_cast<const char*>(data), size);
            delivered += size;
            return true;
    }
    return false;
}

zmsg_t* ImageFetch::handle(uint8_t tag, const unsigned char* data, size_t size, bool& ignored)
{
    ignored = true;
    if (over)
        return nullptr;
    zmsg_t* credit = receiver->handle(tag, data, size, ignored);
    if (ignored)
        return nullptr;
    lastProgress = Clock::now();
    if (receiver->state() == ImageReceiver::State::Failed) {
        zmsg_destroy(&credit);
        if (kind == "size")
            fail("size", "the image has " + std::to_string(receiver->size()) + " bytes, more than the " +
                             std::to_string(asked.maxBytes) + " allowed");
        else
            fail("transfer", receiver->error());
        // Bytes that fail the checksum, or more than the image holds, are
        // worth nothing for a resume.
        bool useless =
            receiver->error().rfind("checksum", 0) == 0 || (receiver->size() > 0 && offset > receiver->size());
        if (!partPath.empty() && useless)
            ::unlink(partPath.c_str());
        return nullptr;
    }
    if (receiver->state() == ImageReceiver::State::Done) {
        zmsg_destroy(&credit);
        complete();
        return nullptr;
    }
    if (credit && asked.mode == Mode::STREAM && delivered - read > kStreamBacklogBytes) {
        heldCredit.push_back(credit);
        return nullptr;
    }
    return credit;
}

bool ImageFetch::giveName()
{
    if (!target.empty())
        return std::rename(partPath.c_str(), target.c_str()) == 0;
    int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    // The camera's name for "latest" is trusted no further than this: one
    // visible component of a file name.
    const std::string name = Image::renameToFreeName(dirFd, baseName(partPath),
                                                     fetchedImageName(asked.name, receiver->imageName(), asked.camera));
    const int error = errno;
    ::close(dirFd);
    if (!name.empty())
        target = directory + "/" + name;
    errno = error;
    return !name.empty();
}

void ImageFetch::complete()
{
    over = true;
    if (asked.mode != Mode::FILE)
        return;
    // The file is named while still open, so its lock keeps another fetch
    // off the part file until it has its name.
    int file = fd;
    fd = -1;
    if (fsync(file) != 0) {
        const int error = errno;
        ::close(file);
        over = false;
        return fail("transfer", "cannot write " + partPath + ": " + std::strerror(error));
    }
    const bool named = giveName();
    const int error = errno;
    if (::close(file) != 0 && named) {
        over = false;
        return fail("transfer", "cannot write " + target + ": " + std::strerror(errno));
    }
    if (!named) {
        over = false;
        fail("transfer", "cannot rename " + partPath + " to " +
                             (target.empty() ? "a free name in " + directory : target) + ": " + std::strerror(error));
    }
}

zmsg_t* ImageFetch::cancel() const
{
    return over ? nullptr : receiver->cancel();
}

bool ImageFetch::handleResponse(const corvo::proto::Response& response)
{
    if (over || !receiver->handleResponse(response))
        return false;
    // A part file longer than the camera's image is worth nothing for a
    // resume: the camera refuses its offset.
    if (!partPath.empty() && offset > 0 && receiver->error().find("beyond the image") != std::string::npos)
        ::unlink(partPath.c_str());
    fail("refused", receiver->error());
    return true;
}

void ImageFetch::peerLeft()
{
    fail("transfer", asked.camera + " left the site before the image was whole");
}

std::vector<zmsg_t*> ImageFetch::consumed(uint64_t bytes)
{
    read = std::min(delivered, read + bytes);
    std::vector<zmsg_t*> release;
    if (heldCredit.empty() || delivered - read > kStreamBacklogBytes)
        return release;
    release.swap(heldCredit);
    lastProgress = Clock::now();
    if (over) {
        for (zmsg_t* msg : release)
            zmsg_destroy(&msg);
        release.clear();
    }
    return release;
}

bool ImageFetch::timedOut(Clock::time_point now)
{
    if (over || !heldCredit.empty())
        return false;
    if (now - lastProgress < std::chrono::duration<double>(asked.timeoutSeconds))
        return false;
    char text[64];
    std::snprintf(text, sizeof text, "%g", asked.timeoutSeconds);
    fail("timeout", "no data from " + asked.camera + " for " + text + " s");
    return true;
}

std::vector<std::string> ImageFetch::takeChunks()
{
    std::vector<std::string> out;
    out.swap(chunks);
    return out;
}

void ImageFetch::fail(const std::string& why, const std::string& what)
{
    if (over)
        return;
    over = true;
    kind = why;
    failure = what.empty() ? "failed" : what;
    // A part file that holds nothing is no use for a resume: not left behind.
    if (receiver && fd >= 0 && receiver->received() == 0)
        ::unlink(partPath.c_str());
}

}  // namespace corvo::python
