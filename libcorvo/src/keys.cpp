// Key pairs and identity files of secured sites (see keys.h for the formats).
#include "corvo/keys.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

#include "corvo/misc.h"

namespace corvo {

namespace {

constexpr size_t kZ85KeySize = 40;
constexpr size_t kMaxNameSize = 64;

// "key = value" lines; '#' starts a comment line.
std::map<std::string, std::string> parseLines(const std::string& text, const std::string& what)
{
    std::map<std::string, std::string> values;
    size_t start = 0;
    int number = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = trimmed(text.substr(start, end - start));
        ++number;
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            throw KeyError(what + ":" + std::to_string(number) + ": expected key = value");
        std::string key = trimmed(line.substr(0, equals));
        if (values.count(key))
            throw KeyError(what + ":" + std::to_string(number) + ": '" + key + "' given twice");
        values[key] = trimmed(line.substr(equals + 1));
    }
    return values;
}

std::string joinList(const std::vector<std::string>& items)
{
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

bool validKey(const std::string& z85)
{
    uint8_t raw[32];
    return z85.size() == kZ85KeySize && zmq_z85_decode(raw, z85.c_str()) != nullptr;
}

// Patterns of names: printable, no separators of the list or the line.
bool validPattern(const std::string& pattern)
{
    if (pattern.empty() || pattern.size() > 255)
        return false;
    return std::all_of(pattern.begin(), pattern.end(),
                       [](char c) { return c > ' ' && c < 127 && c != ',' && c != '#' && c != '='; });
}

struct FileCloser {
    int fd;
    ~FileCloser()
    {
        if (fd >= 0)
            close(fd);
    }
};

// A key directory or identity file that another user could change: it
// would let them add an identity the site trusts. Never skipped: the program
// refuses to start.
struct UnsafeKeyFile : KeyError {
    using KeyError::KeyError;
};

// Refuses what a user other than this program's (or root) owns or could
// write: group- or world-writable, or owned by someone else.
void checkSafe(const std::string& path, const struct stat& info, const char* what)
{
    if (info.st_uid != geteuid() && info.st_uid != 0)
        throw UnsafeKeyFile(path + ": " + what + " belongs to another user (uid " + std::to_string(info.st_uid) + ")");
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        throw UnsafeKeyFile(path + ": " + what + " is writable by others (chmod go-w it)");
}

// A key or identity file, read as every small file of the library is.
std::string readKeyFile(const std::string& path, const std::function<void(const struct stat&)>& check = {})
{
    try {
        return readSmallFile(path, KeyDirectory::kMaxFileSize, check);
    } catch (const FileError& e) {
        throw KeyError(e.what());
    }
}

void writeNew(const std::string& path, const std::string& text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        throw KeyError(path + ": " + std::strerror(errno));
    FileCloser closer{fd};
    if (fchmod(fd, mode) != 0 || write(fd, text.data(), text.size()) != ssize_t(text.size())) {
        std::string why = std::strerror(errno);
        unlink(path.c_str());
        throw KeyError(path + ": " + why);
    }
}

void makeDirectories(std::string path)
{
    // "keys/" names the directory "keys": it too is the owner's alone.
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        // The key directory itself is the owner's alone; parents are ordinary.
        mode_t mode = slash == std::string::npos ? 0700 : 0755;
        if (!part.empty() && mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
            throw KeyError(part + ": " + std::strerror(errno));
        if (slash == std::string::npos)
            return;
    }
}

}  // namespace

KeyDirectory::KeyDirectory(std::string path) : dir(std::move(path)) {}

std::string KeyDirectory::defaultPath()
{
    if (const char* env = std::getenv("CORVO_KEY_DIR"); env && *env)
        return env;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config/corvo/keys";
}

bool KeyDirectory::validName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameSize || name[0] == '.')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

KeyPair KeyDirectory::create(const std::string& identity, std::vector<std::string> names,
                             std::vector<std::string> groups)
{
    if (!validName(identity))
        throw KeyError("'" + identity + "' is not a valid identity name (letters, digits, '.', '_', '-')");
    if (names.empty())
        names.push_back(identity);
    for (const auto& pattern : names)
        if (!validPattern(pattern))
            throw KeyError("'" + pattern + "' is not a valid name pattern");
    for (const auto& group : groups)
        if (!validName(group))
            throw KeyError("'" + group + "' is not a valid group name");
    char publicKey[kZ85KeySize + 1] = {};
    char secretKey[kZ85KeySize + 1] = {};
    if (zmq_curve_keypair(publicKey, secretKey) != 0)
        throw KeyError(std::string("cannot make a key pair: ") + zmq_strerror(errno));
    KeyPair pair{identity, publicKey, secretKey};

    makeDirectories(dir);
    std::string secretFile = dir + "/" + identity + ".key";
    std::string identityFile = dir + "/" + identity + ".id";
    struct stat info {};
    if (lstat(identityFile.c_str(), &info) == 0)
        throw KeyError(identityFile + ": exists");
    writeNew(secretFile,
             "# secret key of " + identity + ": keep it owner-only\nidentity = " + identity +
                 "\npublic = " + pair.publicKey + "\nsecret = " + pair.secretKey + "\n",
             0600);
    try {
        writeNew(identityFile,
                 "# identity " + identity + "\npublic = " + pair.publicKey + "\nnames = " + joinList(names) +
                     "\ngroups = " + joinList(groups) + "\n",
                 0644);
    } catch (...) {
        unlink(secretFile.c_str());
        throw;
    }
    return pair;
}

Identity KeyDirectory::parseIdentity(const std::string& name, const std::string& text)
{
    auto values = parseLines(text, name + ".id");
    Identity identity;
    identity.name = name;
    for (const auto& [key, value] : values) {
        if (key == "public")
            identity.publicKey = value;
        else if (key == "names")
            identity.names = splitList(value);
        else if (key == "groups")
            identity.groups = splitList(value);
        else
            throw KeyError(name + ".id: unknown key '" + key + "'");
    }
    if (!validKey(identity.publicKey))
        throw KeyError(name + ".id: 'public' is not a 40-character Z85 key");
    for (const auto& pattern : identity.names)
        if (!validPattern(pattern))
            throw KeyError(name + ".id: '" + pattern + "' is not a valid name pattern");
    for (const auto& group : identity.groups)
        if (!validName(group))
            throw KeyError(name + ".id: '" + group + "' is not a valid group name");
    return identity;
}

std::vector<Identity> KeyDirectory::identities(std::vector<std::string>* problems) const
{
    auto report = [&](const std::string& text) {
        if (problems)
            problems->push_back(text);
    };
    std::vector<Identity> found;
    std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(dir.c_str()), &closedir);
    if (!handle) {
        report(dir + ": " + std::strerror(errno));
        return found;
    }
    struct stat info {};
    if (fstat(dirfd(handle.get()), &info) == 0)
        checkSafe(dir, info, "the key directory");
    while (dirent* entry = readdir(handle.get())) {
        std::string file = entry->d_name;
        if (file.size() <= 3 || file.compare(file.size() - 3, 3, ".id") != 0)
            continue;
        std::string name = file.substr(0, file.size() - 3);
        if (!validName(name)) {
            report(file + ": not a valid identity name");
            continue;
        }
        if (found.size() >= kMaxIdentities) {
            report(dir + ": more than " + std::to_string(kMaxIdentities) + " identities; the rest are ignored");
            break;
        }
        try {
            std::string path = dir + "/" + file;
            found.push_back(parseIdentity(name, readKeyFile(path, [&](const struct stat& fileInfo) {
                                              checkSafe(path, fileInfo, "identity file");
                                          })));
        } catch (const UnsafeKeyFile&) {
            throw;
        } catch (const KeyError& e) {
            report(e.what());
        }
    }
    std::sort(found.begin(), found.end(), [](const Identity& a, const Identity& b) { return a.name < b.name; });
    // A key listed twice cannot tell which identity it proves.
    std::map<std::string, int> uses;
    for (const auto& identity : found)
        ++uses[identity.publicKey];
    std::vector<Identity> unique;
    for (auto& identity : found) {
        if (uses[identity.publicKey] > 1)
            report(identity.name + ".id: its key is also another identity's; both are ignored");
        else
            unique.push_back(std::move(identity));
    }
    return unique;
}

std::string KeyDirectory::secretPath(const std::string& nameOrPath) const
{
    if (nameOrPath.find('/') != std::string::npos)
        return nameOrPath;
    return dir + "/" + nameOrPath + ".key";
}

KeyPair KeyDirectory::readSecret(const std::string& path)
{
    std::string text = readKeyFile(path, [&](const struct stat& info) {
        if (info.st_uid != geteuid())
            throw KeyError(path + ": the secret key belongs to another user");
        if (info.st_mode & 077)
            throw KeyError(path + ": the secret key is accessible to others (chmod 600 it)");
    });
    auto values = parseLines(text, path);
    KeyPair pair{values["identity"], values["public"], values["secret"]};
    if (!validName(pair.identity))
        throw KeyError(path + ": 'identity' is missing or not a valid name");
    if (!validKey(pair.publicKey) || !validKey(pair.secretKey))
        throw KeyError(path + ": 'public' and 'secret' must be 40-character Z85 keys");
    char derived[kZ85KeySize + 1] = {};
    if (zmq_curve_public(derived, pair.secretKey.c_str()) != 0 || pair.publicKey != derived)
        throw KeyError(path + ": the public key does not belong to the secret key");
    return pair;
}

}  // namespace corvo
