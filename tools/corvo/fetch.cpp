// corvo fetch: copies an image from a camera over the site. The bytes go to
// a hidden ".part" file beside the target, which takes the target's name
// only once the camera's checksum matches; a broken fetch of a named image
// resumes from its .part file. A fetch holds a lock on its .part file until
// the file has its name, so that a second fetch into it is refused. The
// copy is named after the image asked for and replaces no file unless -o
// names it. With --follow it fetches each image the camera announces
// (ImageReady), one after the other.
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <random>
#include <vector>

#include "corvo/image.h"
#include "corvo/image_root.h"
#include "corvo/image_service.h"
#include "corvo/message.h"
#include "corvo/network.h"
#include "corvo/text.h"
#include "tool.h"
#include <corvo/files.h>

namespace corvo::tool {

namespace {

// The transfer failed: checksum mismatch, broken stream, write error.
constexpr int EXIT_TRANSFER = 7;

std::string baseName(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool isDirectory(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Announced images waiting while another is fetched (--follow); the oldest
// are dropped beyond it.
constexpr size_t kFollowQueue = 64;

class FetchTask : public Task {
public:
    // The image `imageName` (empty: not given); with --follow (read once
    // the options are), then each one `cameraName` announces.
    FetchTask(std::string cameraName, std::string imageName)
        : camera(std::move(cameraName)), given(std::move(imageName))
    {}
    ~FetchTask() override { closePart(); }

    void onIdle(CorvoTool& tool) override
    {
        if (!optionsRead) {
            optionsRead = true;
            follow = tool.options().follow;
            // Following, a name given is fetched first; without one, only new images.
            if (!given.empty() || !follow)
                pending.push_back({given.empty() ? "latest" : given, std::string()});
            const std::string& output = tool.options().output;
            if (follow && !output.empty() && !isDirectory(output)) {
                std::cerr << "corvo: fetch: --follow writes into a directory; " << output << " is none" << std::endl;
                return tool.finish(EXIT_USAGE);
            }
        }
        auto now = Clock::now();
        if (!receiver) {
            if (!pending.empty())
                startNext(tool, now);
            return;
        }
        showProgress(false);
        if (now - lastProgress > std::chrono::duration<double>(tool.options().timeout)) {
            cancel(tool);
            fail(tool, EXIT_TIMEOUT,
                 "no data from " + camera + " for " + std::to_string(tool.options().timeout) +
                     " s; run again to resume");
        }
    }

    void onImageMessage(CorvoTool& tool, Peer& peer, uint8_t tag, const unsigned char* data, size_t size) override
    {
        if (tag == MSG_IMAGE_READY)
            return announced(peer, data, size);
        if (!receiver)
            return;
        if (peer.uuid != cameraUuid) {
            if (!warnedStranger)
                std::cerr << "corvo: ignored image messages from " << escapeControl(peer.name) << std::endl;
            warnedStranger = true;
            return;
        }
        bool ignored = false;
        zmsg_t* credit = receiver->handle(tag, data, size, ignored);
        if (ignored)
            return;
        lastProgress = Clock::now();
        if (credit) {
            auto to = tool.knownPeer(cameraUuid);
            to ? tool.net().sendOne(credit, to) : zmsg_destroy(&credit);
        }
        if (receiver->state() == ImageReceiver::State::Failed) {
            cancel(tool);
            // Bytes that fail the checksum are worth nothing for a resume.
            if (receiver->error().rfind("checksum", 0) == 0)
                ::unlink(partPath.c_str());
            return fail(tool, EXIT_TRANSFER, receiver->error());
        }
        if (receiver->state() == ImageReceiver::State::Done)
            complete(tool);
    }

    void onResponse(CorvoTool& tool, Peer& peer, const corvo::proto::Response& response) override
    {
        if (!receiver || peer.uuid != cameraUuid || !receiver->handleResponse(response))
            return;
        // A camera of another version may word its refusal of the offset
        // otherwise: following, any refusal of a resume starts it over.
        const bool offsetRefused = receiver->error().find("beyond the image") != std::string::npos;
        if (resumedFrom > 0 && (follow || offsetRefused))
            return fetchAgainFromTheStart();
        fail(tool, EXIT_REFUSED, camera + " refused: " + escapeControl(receiver->error()));
    }

    void onExit(CorvoTool& tool, Peer& peer) override
    {
        if (receiver && peer.uuid == cameraUuid)
            fail(tool, EXIT_TIMEOUT, camera + " left the site; run again to resume");
    }

    void onInterrupt(CorvoTool& tool) override
    {
        cancel(tool);
        showProgress(true);
    }
    bool lingers() const override { return true; }
    // Following ends by SIGINT: a success unless an image failed.
    int interruptedStatus() const override { return !follow ? EXIT_TIMEOUT : failures ? EXIT_TRANSFER : EXIT_OK; }

private:
    struct Wanted {
        std::string name;
        std::string cameraUuid;  // the announcing camera; empty: look it up
    };

    // An announcement from the camera followed: its image is queued.
    void announced(Peer& peer, const unsigned char* data, size_t size)
    {
        if (!follow || (peer.name != camera && peer.uuid != camera))
            return;
        corvo::proto::ImageReady ready;
        std::string problem;
        if (!parseImageReady(data, size, ready, problem)) {
            std::cerr << "corvo: fetch: " << escapeControl(peer.name) << " sent " << problem << std::endl;
            return;
        }
        if (pending.size() >= kFollowQueue) {
            std::cerr << "corvo: fetch: images announced faster than fetched; skipped "
                      << escapeControl(pending.front().name) << std::endl;
            pending.pop_front();
        }
        pending.push_back({ready.name(), peer.uuid});
    }

    void startNext(CorvoTool& tool, Clock::time_point now)
    {
        Wanted next = pending.front();
        auto peer = next.cameraUuid.empty() ? tool.describedPeer(camera) : tool.knownPeer(next.cameraUuid);
        if (!peer) {
            if (next.cameraUuid.empty() && now <= tool.deadline())
                return;
            pending.pop_front();
            return fail(tool, EXIT_NOT_FOUND, next.cameraUuid.empty() ? "no peer " + camera : camera + " left");
        }
        pending.pop_front();
        cameraUuid = peer->uuid;
        asked = next.name;
        if (!begin(tool))
            return;
        tool.net().sendOne(receiver->request(), peer);
        lastProgress = now;
    }

    // The name of the .part file of `stem`: ".STEM.part", a stem too long
    // for one file name cut and followed by its SHA-1.
    static std::string partName(const std::string& stem)
    {
        constexpr size_t kPartExtra = sizeof("..part") - 1;
        if (stem.size() + kPartExtra <= NAME_MAX)
            return "." + stem + ".part";
        Sha1 digest;
        digest.update(reinterpret_cast<const unsigned char*>(stem.data()), stem.size());
        const std::string hex = digest.hex();
        return "." + stem.substr(0, NAME_MAX - kPartExtra - hex.size() - 1) + "." + hex + ".part";
    }

    // Opens the .part file and locks it (flock) until it has its name or
    // the fetch ends: a second fetch into the same .part file is refused,
    // rather than writing into this one's bytes. A file system without
    // flock leaves it unlocked, as before.
    bool openPart(CorvoTool& tool)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            fd = ::open(partPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0) {
                fail(tool, EXIT_TRANSFER, "cannot write " + partPath + ": " + std::strerror(errno));
                return false;
            }
            if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
                if (errno != EWOULDBLOCK)
                    return true;
                closePart();
                fail(tool, EXIT_TRANSFER, "another fetch is writing " + partPath);
                return false;
            }
            // The fetch that held the lock may have renamed or removed the
            // file since it was opened here: the lock must be on the file
            // that has the name.
            struct stat opened {};
            struct stat named {};
            if (fstat(fd, &opened) == 0 && lstat(partPath.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
                opened.st_ino == named.st_ino)
                return true;
            closePart();
        }
        fail(tool, EXIT_TRANSFER, "another fetch is writing " + partPath);
        return false;
    }

    // Chooses the target and the .part file, and opens it; resumes from
    // what the .part file of a named image holds. The .part file is named
    // from the whole name asked for (after the name -o gives, if any), so
    // that no two images ever share one.
    bool begin(CorvoTool& tool)
    {
        const std::string& output = tool.options().output;
        const bool latest = asked == "latest";
        target.clear();
        if (!follow && !output.empty() && !isDirectory(output)) {
            target = output;
            directory = output.find('/') == std::string::npos ? "." : output.substr(0, output.find_last_of('/'));
        } else {
            directory = output.empty() ? "." : output;
        }
        std::string stem = sanitizeFileNameText(latest ? camera + "-latest" : asked);
        if (!target.empty())
            stem = baseName(target) + "." + stem;
        partPath = directory + "/" + partName(stem);
        if (!openPart(tool))
            return false;
        uint64_t offset = 0;
        struct stat st {};
        // "latest" may name another image by now: never resumed.
        if (!latest && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            offset = static_cast<uint64_t>(st.st_size);
        if (offset == 0 && ftruncate(fd, 0) != 0) {
            fail(tool, EXIT_TRANSFER, "cannot write " + partPath);
            return false;
        }
        std::random_device random;
        uint64_t number = (uint64_t(random()) << 32 | random()) | 1;
        receiver = std::make_unique<ImageReceiver>(
            number, asked, offset, [this](const unsigned char* d, size_t n) { return corvo::writeAll(fd, d, n); });
        receiver->setCompression(tool.options().compression);
        std::vector<unsigned char> buffer(kImageChunkBytes);
        for (uint64_t at = 0; at < offset;) {
            ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(at));
            if (n <= 0) {
                fail(tool, EXIT_TRANSFER, "cannot read " + partPath);
                return false;
            }
            receiver->addPrefix(buffer.data(), static_cast<size_t>(n));
            at += static_cast<uint64_t>(n);
        }
        lseek(fd, static_cast<off_t>(offset), SEEK_SET);
        resumedFrom = offset;
        if (offset > 0)
            std::cerr << "corvo: fetch: resuming " << partPath << " from byte " << offset << std::endl;
        return true;
    }

    // Gives the checked .part file its name. The file -o names is replaced;
    // in a directory an existing file is kept and the image takes the next
    // free numbered name (fetchedImageName says which).
    bool giveName()
    {
        if (!target.empty())
            return std::rename(partPath.c_str(), target.c_str()) == 0;
        int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0)
            return false;
        const std::string name =
            Image::renameToFreeName(dirFd, baseName(partPath), fetchedImageName(asked, receiver->imageName(), camera));
        ::close(dirFd);
        if (!name.empty())
            target = directory + "/" + name;
        return !name.empty();
    }

    void complete(CorvoTool& tool)
    {
        showProgress(true);
        if (fsync(fd) != 0) {
            closePart();
            return fail(tool, EXIT_TRANSFER, "cannot write " + partPath);
        }
        // The lock is given up only once the file has its name.
        const bool named = giveName();
        closePart();
        if (!named)
            return fail(tool, EXIT_TRANSFER,
                        "cannot rename " + partPath + " to " +
                            (target.empty() ? "a free name in " + directory : target));
        std::cout << target << std::endl;
        endOne(tool, EXIT_OK);
    }

    // A .part file the camera will not resume from (longer than this
    // image) would fail every later fetch of its image: it is dropped and
    // the image fetched once more, from the start (once: a fetch from byte
    // 0 is not resumed).
    void fetchAgainFromTheStart()
    {
        std::cerr << "corvo: fetch: " << escapeControl(asked) << ": " << camera << " refused to resume from byte "
                  << resumedFrom << " (" << escapeControl(receiver->error()) << "); fetching it from the start"
                  << std::endl;
        ::unlink(partPath.c_str());
        pending.push_front({asked, cameraUuid});
        closePart();
        receiver.reset();
        asked.clear();
    }

    void cancel(CorvoTool& tool)
    {
        if (!receiver || receiver->state() == ImageReceiver::State::Done)
            return;
        auto to = tool.knownPeer(cameraUuid);
        zmsg_t* msg = receiver->cancel();
        to ? tool.net().sendOne(msg, to) : zmsg_destroy(&msg);
    }

    void fail(CorvoTool& tool, int status, const std::string& message)
    {
        showProgress(true);
        std::cerr << "corvo: fetch: " << (follow && !asked.empty() ? escapeControl(asked) + ": " : "") << message
                  << std::endl;
        ++failures;
        endOne(tool, status);
    }

    // One image is done with: the run ends, or when following, waits for
    // the next.
    void endOne(CorvoTool& tool, int status)
    {
        if (!follow)
            return tool.finish(status);
        closePart();
        receiver.reset();
        asked.clear();
    }

    void closePart()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    // A progress line on a terminal, at most five times a second.
    void showProgress(bool last)
    {
        if (!receiver || !isatty(STDERR_FILENO) || receiver->size() == 0)
            return;
        auto now = Clock::now();
        if (!last && now - lastShown < std::chrono::milliseconds(200))
            return;
        lastShown = now;
        double mib = 1024.0 * 1024.0;
        int percent = static_cast<int>(100.0 * double(receiver->received()) / double(receiver->size()));
        std::fprintf(stderr, "\r%s %3d%% %.1f/%.1f MiB%s", escapeControl(receiver->imageName()).c_str(), percent,
                     double(receiver->received()) / mib, double(receiver->size()) / mib, last ? "\n" : "");
        std::fflush(stderr);
    }

    std::string camera, given, asked, cameraUuid;
    bool follow = false;
    std::string target, directory, partPath;
    int fd = -1;
    uint64_t resumedFrom = 0;
    std::unique_ptr<ImageReceiver> receiver;
    std::deque<Wanted> pending;
    Clock::time_point lastProgress, lastShown;
    bool warnedStranger = false;
    bool optionsRead = false;
    int failures = 0;
};

}  // namespace

std::unique_ptr<Task> makeFetchTask(const std::vector<std::string>& args, int& status)
{
    if (args.empty() || args.size() > 2) {
        status = EXIT_USAGE;
        std::cerr << "corvo: usage: corvo fetch CAMERA [NAME|latest] [-o FILE|DIR] [--follow]" << std::endl;
        return nullptr;
    }
    return std::make_unique<FetchTask>(args[0], args.size() == 2 ? args[1] : std::string());
}

}  // namespace corvo::tool
