// The state file (format in persist.h and apps/alarmd/README.md).
#include "persist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace corvo::alarmd {

namespace {

constexpr const char* kHeader = "# corvo-alarmd state 1: RULE STATE SINCE UNTIL BY NOTE (tab-separated)";

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

bool unescaped(const std::string& text, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        char c = text[i];
        if (c == '\\')
            out += '\\';
        else if (c == 't')
            out += '\t';
        else if (c == 'n')
            out += '\n';
        else if (c == 'r')
            out += '\r';
        else
            return false;
    }
    return true;
}

bool readTime(const std::string& text, double& value)
{
    if (text.empty() || text.size() > 32)
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && *end == '\0' && std::isfinite(value) && value >= 0 && value < 1e11;
}

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        out.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos || out.size() > 6)
            return out;
        start = tab + 1;
    }
}

}  // namespace

std::string defaultStatePath()
{
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.local/share/corvo/alarmd.state";
    // A service (systemd's StateDirectory=) may write only there: the first
    // of the directories it names.
    const char* state = std::getenv("STATE_DIRECTORY");
    if (state && state[0] == '/')
        return std::string(state, std::strcspn(state, ":")) + "/alarmd.state";
    return "/var/lib/corvo/alarmd.state";
}

std::string formatState(const std::vector<SavedState>& saved)
{
    std::ostringstream out;
    out.precision(17);
    out << kHeader << '\n';
    for (const SavedState& s : saved)
        out << s.rule << '\t' << stateName(s.state) << '\t' << s.since << '\t' << s.shelvedUntil << '\t'
            << escaped(s.by) << '\t' << escaped(s.note) << '\n';
    return out.str();
}

std::vector<SavedState> parseState(const std::string& text, size_t& skipped)
{
    std::vector<SavedState> out;
    skipped = 0;
    if (text.size() > kMaxStateFileBytes) {
        skipped = 1;
        return out;
    }
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        auto f = fields(line);
        SavedState s;
        auto state = f.size() == 6 ? stateFromName(f[1]) : std::nullopt;
        bool ok = state && !f[0].empty() && f[0].size() <= kMaxNameBytes && readTime(f[2], s.since) &&
                  readTime(f[3], s.shelvedUntil) && f[4].size() <= kMaxStateFieldBytes &&
                  f[5].size() <= kMaxStateFieldBytes && unescaped(f[4], s.by) && unescaped(f[5], s.note);
        if (!ok) {
            ++skipped;
            continue;
        }
        s.rule = f[0];
        s.state = *state;
        out.push_back(std::move(s));
    }
    return out;
}

std::string writeFileAtomically(const std::string& path, const std::string& content)
{
    std::string temp = path + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return temp + ": " + std::strerror(errno);
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::string why = temp + ": " + std::strerror(errno);
            close(fd);
            unlink(temp.c_str());
            return why;
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        std::string why = temp + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return why;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        std::string why = path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return why;
    }
    return "";
}

std::string readStateFile(const std::string& path, std::string& error, bool& missing)
{
    error.clear();
    missing = false;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        missing = errno == ENOENT;
        if (!missing)
            error = path + ": " + std::strerror(errno);
        return "";
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n < 0)
                error = path + ": " + std::strerror(errno);
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > kMaxStateFileBytes) {
            error = path + ": larger than " + std::to_string(kMaxStateFileBytes) + " bytes";
            break;
        }
    }
    close(fd);
    return error.empty() ? text : "";
}

}  // namespace corvo::alarmd
