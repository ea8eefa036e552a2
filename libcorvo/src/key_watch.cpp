// Rereading the key directory while a program runs (see key_watch.h).
#include "corvo/key_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "corvo/diagnostics.h"

namespace corvo {

namespace {

constexpr uint32_t kInotifyMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY |
                                  IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
// A stamp no directory has: the directory could not be read.
constexpr uint64_t kUnreadable = 1;

struct Fnv {
    uint64_t hash = 14695981039346656037ull;
    void add(const void* data, size_t size)
    {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i)
            hash = (hash ^ bytes[i]) * 1099511628211ull;
    }
    template <typename T>
    void add(const T& value)
    {
        add(&value, sizeof value);
    }
};

void addStat(Fnv& fnv, const struct stat& info)
{
    fnv.add(info.st_ino);
    fnv.add(info.st_size);
    fnv.add(info.st_mtim.tv_sec);
    fnv.add(info.st_mtim.tv_nsec);
    fnv.add(info.st_ctim.tv_sec);
    fnv.add(info.st_ctim.tv_nsec);
    fnv.add(info.st_mode);
    fnv.add(info.st_uid);
}

// What the identities read from the directory depend on: the directory's
// own mode and owner, and each identity file's name and stat(). Equal
// stamps: nothing to read again.
uint64_t directoryStamp(const std::string& dir)
{
    std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(dir.c_str()), &closedir);
    struct stat info {};
    if (!handle || fstat(dirfd(handle.get()), &info) != 0)
        return kUnreadable;
    Fnv fnv;
    addStat(fnv, info);
    std::vector<std::pair<std::string, struct stat>> files;
    while (dirent* entry = readdir(handle.get())) {
        std::string name = entry->d_name;
        if (name.size() <= 3 || name.compare(name.size() - 3, 3, ".id") != 0)
            continue;
        if (files.size() > KeyDirectory::kMaxIdentities)
            break;  // the directory reads no more either
        struct stat fileInfo {};
        if (fstatat(dirfd(handle.get()), entry->d_name, &fileInfo, 0) != 0)
            fileInfo = {};
        files.emplace_back(std::move(name), fileInfo);
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [name, fileInfo] : files) {
        fnv.add(name.data(), name.size() + 1);
        addStat(fnv, fileInfo);
    }
    return fnv.hash == kUnreadable ? kUnreadable + 1 : fnv.hash;
}

bool sameTrust(const Identity& a, const Identity& b)
{
    return a.name == b.name && a.publicKey == b.publicKey && a.names == b.names;
}

// The identities of `from` that `in` lacks or holds otherwise.
std::vector<Identity> missingFrom(const std::vector<Identity>& from, const std::vector<Identity>& in)
{
    std::vector<Identity> missing;
    for (const Identity& identity : from)
        if (std::none_of(in.begin(), in.end(), [&](const Identity& other) { return sameTrust(identity, other); }))
            missing.push_back(identity);
    return missing;
}

}  // namespace

TrustChanges trustChanges(const std::vector<Identity>& before, const std::vector<Identity>& after)
{
    return TrustChanges{missingFrom(before, after), missingFrom(after, before)};
}

KeyWatch::KeyWatch(std::string directory, std::vector<Identity> current, Callback onChange, bool useInotify)
    : dir(std::move(directory)), trusted(std::move(current)), onChange(std::move(onChange)), inotifyWanted(useInotify)
{}

KeyWatch::~KeyWatch()
{
    stop();
}

void KeyWatch::start()
{
    if (thread.joinable())
        return;
    wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        diagnose(Diagnostic::Error, Diagnostic::Stderr,
                 "key directory " + dir + ": cannot watch it (" + std::strerror(errno) +
                     "); keys removed from it stay trusted until the program restarts");
        return;
    }
    openInotify();  // before the thread: usesInotify() is true on return when it works
    thread = std::thread([this] { run(); });
}

void KeyWatch::stop()
{
    if (thread.joinable()) {
        uint64_t one = 1;
        if (write(wakeFd, &one, sizeof one) < 0) {}  // a full counter wakes it as well
        thread.join();
    }
    closeInotify();
    if (wakeFd >= 0)
        close(wakeFd);
    wakeFd = -1;
}

void KeyWatch::run()
{
    look();
    while (waitForChange())
        look();
}

void KeyWatch::openInotify()
{
    if (!inotifyWanted)
        return;
    if (inotifyFd < 0)
        inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd >= 0 && watchId < 0)
        watchId = inotify_add_watch(inotifyFd, dir.c_str(), kInotifyMask | IN_ONLYDIR);
    watching = watchId >= 0;
}

void KeyWatch::closeInotify()
{
    if (inotifyFd >= 0)
        close(inotifyFd);
    inotifyFd = -1;
    watchId = -1;
    watching = false;
}

// Waits for a change inotify reports (then kSettleMs more) or for the
// period to pass; false when stop() was called.
bool KeyWatch::waitForChange()
{
    openInotify();
    auto drainInotify = [this] {
        alignas(inotify_event) char buffer[4096];
        ssize_t got;
        while ((got = read(inotifyFd, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->wd == watchId && (event->mask & IN_IGNORED)) {
                    watchId = -1;  // the directory went away: watched again when it is back
                    watching = false;
                }
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
    };
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {watchId >= 0 ? inotifyFd : -1, POLLIN, 0}};
    int rc = poll(fds, 2, kCheckPeriodMs);
    if (rc > 0 && (fds[0].revents & POLLIN))
        return false;
    if (rc > 0 && (fds[1].revents & POLLIN)) {
        drainInotify();
        pollfd wake = {wakeFd, POLLIN, 0};
        if (poll(&wake, 1, kSettleMs) > 0)
            return false;
        drainInotify();
    }
    return true;
}

void KeyWatch::look()
{
    uint64_t stamp = directoryStamp(dir);
    if (stamped && stamp == lastStamp)
        return;
    lastStamp = stamp;
    stamped = true;
    auto reportOnce = [&](const std::string& problem) {
        if (problem == lastProblem)
            return;
        lastProblem = problem;
        diagnose(Diagnostic::Error, Diagnostic::Stderr,
                 "key directory: " + problem + "; the identities trusted so far stay trusted");
    };
    if (stamp == kUnreadable) {
        reportOnce(dir + ": cannot read it");
        return;
    }
    std::vector<Identity> now;
    std::vector<std::string> problems;
    try {
        now = KeyDirectory(dir).identities(&problems);
    } catch (const KeyError& e) {
        reportOnce(e.what());
        return;
    }
    lastProblem.clear();
    for (const auto& problem : problems)
        diagnose(Diagnostic::Warning, Diagnostic::Stderr, "key directory: " + problem);
    if (trustChanges(trusted, now).empty())
        return;
    trusted = std::move(now);
    onChange(trusted);
}

}  // namespace corvo
