#include "corvo/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "corvo/errors.h"

namespace corvo {

bool writeAll(int fd, const void* data, size_t size)
{
    auto bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool direxist(const char* path)
{
    if (!path) {
        return false;
    }
    DIR* dir = opendir(path);
    if (!dir) {
        return false;
    }
    closedir(dir);
    return true;
}

int _mkdir(const char* path)
{
    char buffer[1024];
    if (!path) {
        errno = EINVAL;
        return -1;
    }
    size_t length = std::strlen(path);
    // A cut path would create a directory nobody asked for.
    if (length >= sizeof(buffer)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(buffer, path, length + 1);
    if (length > 0 && buffer[length - 1] == '/') {
        buffer[length - 1] = '\0';
    }
    // Parents first; they usually exist already, so their results are ignored.
    for (char* p = buffer + (buffer[0] ? 1 : 0); *p; ++p) {
        if (*p == '/') {
            *p = '\0';
            mkdir(buffer, 0755);
            *p = '/';
        }
    }
    return mkdir(buffer, 0755);
}

int renameNoReplace(int directoryFd, const char* from, const char* to)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(directoryFd, from, directoryFd, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
#endif
    // File systems without the flag: a hard link is never made over an
    // existing name.
    if (linkat(directoryFd, from, directoryFd, to, 0) != 0)
        return -1;
    unlinkat(directoryFd, from, 0);
    return 0;
}

std::string readSmallFile(const std::string& path, size_t maxBytes,
                          const std::function<void(const struct stat&)>& check)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw FileError(path + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        throw FileError(path + ": not a regular file");
    if (size_t(info.st_size) > maxBytes)
        throw FileError(path + ": larger than " + std::to_string(maxBytes) + " bytes");
    if (check)
        check(info);
    std::string text(size_t(info.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    text.resize(got);
    return text;
}

}  // namespace corvo
