#include "corvo/image_root.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "corvo/misc.h"

namespace corvo {

namespace {

// Names longer than this are refused before any file system call.
constexpr size_t kMaxNameLength = 4096;
constexpr size_t kMaxComponentLength = 255;

bool isSafeFileNameChar(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '+' || c == '-';
}

// The parts of `path` with "." and empty parts dropped and ".." taking the
// previous part away; false when a ".." would go above the start.
bool normalise(const std::string& path, std::vector<std::string>& parts)
{
    for (const auto& part : split(path, '/')) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (parts.empty())
                return false;
            parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    return true;
}

std::string joinAbsolute(const std::vector<std::string>& parts)
{
    std::string out;
    for (const auto& part : parts)
        out += "/" + part;
    return out.empty() ? "/" : out;
}

// The parts of `path` after `prefix` when `path` lies below it.
bool below(const std::vector<std::string>& path, const std::vector<std::string>& prefix, std::vector<std::string>& rest)
{
    if (path.size() <= prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (path[i] != prefix[i])
            return false;
    rest.assign(path.begin() + static_cast<long>(prefix.size()), path.end());
    return true;
}

}  // namespace

std::string sanitizeFileNameText(const std::string& text)
{
    std::string out = text;
    for (auto& c : out)
        if (!isSafeFileNameChar(static_cast<unsigned char>(c)))
            c = '_';
    return out;
}

std::string fetchedImageName(const std::string& asked, const std::string& cameraImageName, const std::string& camera)
{
    const std::string& given = asked == "latest" ? cameraImageName : asked;
    const size_t slash = given.find_last_of('/');
    std::string name = sanitizeFileNameText(slash == std::string::npos ? given : given.substr(slash + 1));
    if (name.empty() || name == "." || name == "..")
        name = sanitizeFileNameText(camera + "-image.fits");
    for (size_t i = 0; i < name.size() && name[i] == '.'; ++i)
        name[i] = '_';
    return name;
}

ImageRoot::ImageRoot(std::string configured)
{
    if (configured.empty())
        configured = defaultRoot();
    if (configured[0] != '/') {
        // A relative root is taken from the working directory at start.
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) != nullptr)
            configured = std::string(cwd) + "/" + configured;
    }
    std::vector<std::string> parts;
    normalise(configured, parts);
    root = joinAbsolute(parts);
}

std::string ImageRoot::defaultRoot()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/corvo-images";
    // A service (systemd's StateDirectory=) may write only there: the first
    // of the directories it names.
    const char* state = std::getenv("STATE_DIRECTORY");
    if (state != nullptr && state[0] == '/') {
        std::string first(state, std::strcspn(state, ":"));
        return first + "/images";
    }
    return "/var/lib/corvo/images";
}

bool ImageRoot::place(const std::string& name, std::string& directory, std::string& file, std::string& reason) const
{
    if (name.empty()) {
        reason = "empty image name";
        return false;
    }
    if (name.size() > kMaxNameLength || name.find('\0') != std::string::npos) {
        reason = "image name too long or not text";
        return false;
    }
    if (name.back() == '/') {
        reason = "image name names a directory";
        return false;
    }
    std::vector<std::string> rest;
    if (name[0] == '/') {
        std::vector<std::string> path, configured, resolved;
        if (!normalise(name, path)) {
            reason = "image name leaves the image root " + root;
            return false;
        }
        normalise(root, configured);
        char real[PATH_MAX];
        if (realpath(root.c_str(), real) != nullptr)
            normalise(real, resolved);
        if (!below(path, configured, rest) && (resolved.empty() || !below(path, resolved, rest))) {
            reason = "image name lies outside the image root " + root;
            return false;
        }
    } else if (!normalise(name, rest)) {
        reason = "image name leaves the image root " + root;
        return false;
    }
    if (rest.empty()) {
        reason = "image name names the image root";
        return false;
    }
    for (const auto& part : rest) {
        if (part.size() > kMaxComponentLength) {
            reason = "image name has a part longer than 255 bytes";
            return false;
        }
    }
    file = rest.back();
    rest.pop_back();
    directory.clear();
    for (const auto& part : rest)
        directory += (directory.empty() ? "" : "/") + part;
    return true;
}

int ImageRoot::openDirectory(const std::string& directory) const
{
    if (!direxist(root.c_str()))
        _mkdir(root.c_str());
    // The root itself is the operator's choice and may be a link.
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (directory.empty())
        return fd;
    for (const auto& part : split(directory, '/')) {
        if (part.empty() || part == "." || part == "..") {
            ::close(fd);
            errno = EINVAL;
            return -1;
        }
        int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT) {
            if (mkdirat(fd, part.c_str(), 0777) != 0 && errno != EEXIST) {
                const int saved = errno;
                ::close(fd);
                errno = saved;
                return -1;
            }
            next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        const int saved = errno;
        ::close(fd);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        fd = next;
    }
    return fd;
}

}  // namespace corvo
