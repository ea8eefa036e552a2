/// @file
/// Small file-system helpers.
#pragma once

#include "corvo/export.h"

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>

namespace corvo {

/// True when `path` can be opened as a directory.
CORVO_API bool direxist(const char* path);

/// Writes all `size` bytes of `data` to `fd`, again after a short write or
/// EINTR. False on any other failure (errno says why).
CORVO_API bool writeAll(int fd, const void* data, size_t size);

/// Creates `path` and its missing parents (mode 0755). Returns the result of
/// the last creation: 0 on success, -1 with errno set on failure.
CORVO_API int _mkdir(const char* path);

/// Moves `from` to `to` within the directory `directoryFd`, never over an
/// existing `to`: 0 on success, -1 with errno set (EEXIST when `to` exists).
/// Where the file system lacks an atomic no-replace rename, a hard link is
/// made and `from` removed.
CORVO_API int renameNoReplace(int directoryFd, const char* from, const char* to);

/// Reads the whole of a small regular file (keys, identities, rules) without
/// following a symbolic link at its last component and without blocking on a
/// FIFO. `check` sees the file's status before anything is read and may throw
/// to refuse it. Throws FileError ("PATH: why") when the file cannot be
/// opened, is not a regular file or is larger than `maxBytes`.
CORVO_API std::string readSmallFile(const std::string& path, size_t maxBytes,
                                    const std::function<void(const struct stat&)>& check = {});

}  // namespace corvo
