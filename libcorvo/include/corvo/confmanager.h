/// @file
/// Key/value configuration files, one per component, found in /etc/corvo,
/// $HOME/.config/corvo and $CORVO_CONF_PATH (later directories win).
#pragma once

#include "corvo/export.h"

#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvo {

/// The configuration files of a program, by component name.
///
/// A component's file is `<name>.conf`; load() reads the one in the last
/// search directory that has it. A file holds `key = value` lines; '#'
/// starts a comment and lines without '=' are reported and skipped. The
/// library reads a daemon's file once, at start (Daemon::beforeInit: each
/// entry sets the property of its name), and never writes it: a value
/// changed while the daemon runs is not kept for the next start. set() and
/// save() are for a program that stores settings of its own.
class CORVO_API ConfManager {
public:
    /// The keys and values of one file.
    using Config = std::unordered_map<std::string, std::string>;

    /// Searches /etc/corvo, then $HOME/.config/corvo (when HOME is set),
    /// then $CORVO_CONF_PATH (when set).
    ConfManager();

    /// Adds `dir` (created with its parents when missing) to the search list,
    /// made absolute against the working directory of now: a relative
    /// $CORVO_CONF_PATH still names the same directory after a daemon has
    /// gone to the background (--daemon, which moves to "/").
    void addConfDir(std::string dir);
    /// Path of `fileName` in the last configuration directory, or "".
    std::string getPath(std::string fileName);
    /// Creates an empty `$HOME/.config/corvo/<name>.conf` if it is missing;
    /// does nothing when HOME is unset. A symbolic link there is never
    /// followed, dangling or not: the file is made only where it is named.
    void create(std::string name);
    /// Reads `<name>.conf` from the last search directory that has it into
    /// configs; when none has it, says so and create()s an empty user file.
    /// A file that is not a regular file or is larger than 1 MiB is not
    /// read (a warning says why), and not recorded for saving.
    void load(std::string name);
    /// Why the file load(name) would read cannot be read ("PATH: reason"),
    /// or empty when there is no such file or it can be read. A daemon does
    /// not start on such a file: running on defaults would put its data
    /// where the file does not say.
    std::string unreadable(const std::string& name) const;
    /// The configuration of `name`, empty (and then created) when not loaded.
    Config& get(std::string name);
    /// The value of `key` in the configuration of `name`, or `defaultValue`.
    std::string get(std::string name, std::string key, std::string defaultValue);
    /// Stores the value; false (with a message on standard error) when the
    /// configuration is not loaded or the pair would not read back as it is
    /// (see storableProblem), and then nothing changes.
    bool set(std::string name, std::string key, std::string value);
    /// Replaces the file atomically; on failure the old file stays intact.
    /// A configuration holding a pair that would not read back is not
    /// written at all: the message names the key.
    void save(std::string name);

    /// Why the line "key = value" would not load back as exactly this key and
    /// value, or empty when it would. The file format has no escapes, so a
    /// value cannot hold '#' or a line feed, nor start or end with white
    /// space; a key cannot start with '#', hold '=' or a line feed, nor start
    /// or end with white space (an empty key reads back as one).
    static std::string storableProblem(const std::string& key, const std::string& value);
    /// save()s every configuration changed by set() since it was saved.
    void saveAll();

    /// The loaded configurations, by component name.
    std::unordered_map<std::string, Config> configs;
    /// The search directories, in order; later ones win.
    std::vector<std::string> confDirs;
    /// The names whose configuration set() changed and save() has not written.
    std::set<std::string> dirty;
    /// The file each configuration was loaded from, by component name.
    std::unordered_map<std::string, std::string> paths;

private:
    /// The file load(name) reads: `<name>.conf` in the last search
    /// directory that has it, or "".
    std::string findFile(const std::string& name) const;
};

}  // namespace corvo
