#include "corvo/confmanager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "corvo/diagnostics.h"
#include "corvo/misc.h"

namespace corvo {

namespace {

bool fileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A configuration file larger than this is not read: a file of settings
// is a few kilobytes, and anything else (a device, a mistake) must not fill
// the memory.
constexpr size_t kMaxConfigFileBytes = 1 << 20;

// Why the configuration file open as `fd` (opened from `path`) cannot be
// read, or empty. The check is made on the opened file, so a FIFO cannot
// wedge the read.
std::string openedFileProblem(int fd, int openErrno)
{
    struct stat st;
    if (fd < 0)
        return std::string("it cannot be opened (") + std::strerror(openErrno) + ")";
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return "it is not a regular file";
    if (size_t(st.st_size) > kMaxConfigFileBytes)
        return "it is larger than " + std::to_string(kMaxConfigFileBytes) + " bytes";
    return {};
}

int openConfigFile(const std::string& path)
{
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

// The text of the configuration file at `path`, or nothing (with a warning)
// when it is not a regular file or is larger than kMaxConfigFileBytes.
std::optional<std::string> readConfigFile(const std::string& path)
{
    int fd = openConfigFile(path);
    std::string why = openedFileProblem(fd, errno);
    std::string text;
    if (why.empty()) {
        char chunk[65536];
        ssize_t n;
        while (text.size() <= kMaxConfigFileBytes && (n = ::read(fd, chunk, sizeof chunk)) > 0)
            text.append(chunk, size_t(n));
        if (text.size() > kMaxConfigFileBytes)
            why = "it is larger than " + std::to_string(kMaxConfigFileBytes) + " bytes";
    }
    if (fd >= 0)
        ::close(fd);
    if (!why.empty()) {
        diagnose(Diagnostic::Warning, Diagnostic::Stdout, "Not loading " + path + ": " + why);
        return std::nullopt;
    }
    return text;
}

// The file a write to `path` must replace: the target of a symbolic link,
// so that the link itself survives the rename.
std::string resolveTarget(const std::string& path)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) {
        return resolved;
    }
    return path;
}

std::string configText(const ConfManager::Config* config)
{
    std::string text;
    if (config) {
        for (const auto& entry : *config) {
            text += entry.first;
            text += " = ";
            text += entry.second;
            text += '\n';
        }
    }
    return text;
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes `text` to a temporary file beside `target` and renames it over
// `target`, so a failed write never leaves a truncated configuration behind.
bool replaceFile(const std::string& target, const std::string& text)
{
    if (target.empty()) {
        return false;
    }
    std::string tmpPath = target + ".XXXXXX";
    int fd = mkstemp(&tmpPath[0]);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    mode_t mode = 0644;
    if (stat(target.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode &= ~mask;
    }
    bool ok = fchmod(fd, mode) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && std::rename(tmpPath.c_str(), target.c_str()) == 0) {
        return true;
    }
    ::unlink(tmpPath.c_str());
    return false;
}

}  // namespace

ConfManager::ConfManager()
{
    addConfDir("/etc/corvo");
    if (const char* home = std::getenv("HOME")) {
        addConfDir(std::string(home) + "/.config/corvo");
    }
    if (const char* extra = std::getenv("CORVO_CONF_PATH")) {
        addConfDir(extra);
    }
}

void ConfManager::addConfDir(std::string dir)
{
    // Absolute from here on: the directory is searched after a daemon's move
    // to "/" (--daemon) too.
    std::error_code unknown;  // no working directory: the path stays as given
    std::string absolute = std::filesystem::absolute(dir, unknown).string();
    if (!absolute.empty())
        dir = absolute;
    if (!direxist(dir.c_str())) {
        _mkdir(dir.c_str());
    }
    if (direxist(dir.c_str())) {
        confDirs.push_back(dir);
    }
}

std::string ConfManager::getPath(std::string fileName)
{
    if (confDirs.empty()) {
        return std::string();
    }
    std::string path = confDirs.back() + "/" + fileName;
    diagnose(Diagnostic::Debug, Diagnostic::Stderr, "search conf " + path);
    struct stat st;
    int result = stat(path.c_str(), &st);
    diagnose(Diagnostic::Debug, Diagnostic::Stderr, "exist: " + std::to_string(result));
    return result == 0 ? path : std::string();
}

void ConfManager::create(std::string name)
{
    // Without a home directory there is no user configuration to create.
    const char* home = std::getenv("HOME");
    if (!home) {
        return;
    }
    std::string path = std::string(home) + "/.config/corvo/" + name + ".conf";
    // O_EXCL: a file there is left as it is, and a link (even a dangling
    // one) is not followed to make a file wherever it points.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
    }
}

std::string ConfManager::findFile(const std::string& name) const
{
    for (auto dir = confDirs.rbegin(); dir != confDirs.rend(); ++dir) {
        std::string candidate = *dir + "/" + name + ".conf";
        if (fileExists(candidate))
            return candidate;
    }
    return {};
}

std::string ConfManager::unreadable(const std::string& name) const
{
    std::string path = findFile(name);
    if (path.empty())
        return {};
    int fd = openConfigFile(path);
    std::string why = openedFileProblem(fd, errno);
    if (fd >= 0)
        ::close(fd);
    return why.empty() ? why : path + ": " + why;
}

void ConfManager::load(std::string name)
{
    std::string path = findFile(name);
    if (path.empty()) {
        diagnose(Diagnostic::Info, Diagnostic::Stdout, "Creating new config file for " + name + ".conf");
        create(name);
        return;
    }

    // A file not read is not recorded either: saving would replace it.
    std::optional<std::string> text = readConfigFile(path);
    if (!text)
        return;
    paths[name] = path;
    std::istringstream file(*text);
    std::string line;
    int lineNumber = 0;
    while (std::getline(file, line)) {
        ++lineNumber;
        trim(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            diagnose(Diagnostic::Warning, Diagnostic::Stdout,
                     "Error loading " + path + ":" + std::to_string(lineNumber));
            continue;
        }
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        size_t comment = value.find('#');
        if (comment != std::string::npos) {
            value.erase(comment);
        }
        trim(key);
        trim(value);
        configs[name][key] = value;
    }
}

ConfManager::Config& ConfManager::get(std::string name)
{
    return configs[name];
}

std::string ConfManager::get(std::string name, std::string key, std::string defaultValue)
{
    auto config = configs.find(name);
    if (config == configs.end()) {
        return defaultValue;
    }
    auto value = config->second.find(key);
    if (value == config->second.end()) {
        return defaultValue;
    }
    return value->second;
}

namespace {

bool hasOuterSpace(const std::string& text)
{
    return !text.empty() && (std::isspace(static_cast<unsigned char>(text.front())) ||
                             std::isspace(static_cast<unsigned char>(text.back())));
}

}  // namespace

std::string ConfManager::storableProblem(const std::string& key, const std::string& value)
{
    if (!key.empty() && key.front() == '#')
        return "the key starts with '#'";
    if (key.find_first_of("=\n") != std::string::npos)
        return "the key holds '=' or a line break";
    if (hasOuterSpace(key))
        return "the key starts or ends with white space";
    if (value.find_first_of("#\n") != std::string::npos)
        return "the value holds '#' or a line break";
    if (hasOuterSpace(value))
        return "the value starts or ends with white space";
    return std::string();
}

bool ConfManager::set(std::string name, std::string key, std::string value)
{
    auto config = configs.find(name);
    if (config == configs.end()) {
        diagnose(Diagnostic::Warning, Diagnostic::Stdout, "Config section " + name + " is not loaded when setting");
        return false;
    }
    std::string problem = storableProblem(key, value);
    if (!problem.empty()) {
        diagnose(Diagnostic::Error, Diagnostic::Stderr,
                 "Config " + name + ": cannot store " + escapeControl(key) + ": " + problem);
        return false;
    }
    config->second[key] = value;
    dirty.insert(name);
    return true;
}

void ConfManager::save(std::string name)
{
    auto recorded = paths.find(name);
    std::string path = recorded == paths.end() ? std::string() : recorded->second;
    auto config = configs.find(name);
    if (config != configs.end()) {
        for (const auto& [key, value] : config->second) {
            std::string problem = storableProblem(key, value);
            if (!problem.empty()) {
                diagnose(Diagnostic::Error, Diagnostic::Stderr,
                         "Config " + name + " not saved: cannot store " + escapeControl(key) + ": " + problem);
                dirty.erase(name);
                return;
            }
        }
    }
    std::string text = configText(config == configs.end() ? nullptr : &config->second);
    if (!replaceFile(path.empty() ? path : resolveTarget(path), text)) {
        diagnose(Diagnostic::Error, Diagnostic::Stdout, "Can't write to file " + path);
    }
    dirty.erase(name);
}

void ConfManager::saveAll()
{
    while (!dirty.empty()) {
        save(*dirty.begin());
    }
}

}  // namespace corvo
