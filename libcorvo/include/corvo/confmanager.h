// Key/value configuration files, one per component, found in /etc/corvo,
// $HOME/.config/corvo and $CORVO_CONF_PATH (later directories win).
#pragma once

#include "corvo/export.h"

#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvo {

class CORVO_API ConfManager {
public:
    using Config = std::unordered_map<std::string, std::string>;

    ConfManager();

    // Adds `dir` (created with its parents when missing) to the search list.
    void addConfDir(std::string dir);
    // Path of `fileName` in the last configuration directory, or "".
    std::string getPath(std::string fileName);
    // Creates an empty $HOME/.config/corvo/<name>.conf if it is missing;
    // does nothing when HOME is unset.
    void create(std::string name);
    void load(std::string name);
    Config& get(std::string name);
    std::string get(std::string name, std::string key, std::string defaultValue);
    // Stores the value; false (with a message on standard error) when the
    // configuration is not loaded or the pair would not read back as it is
    // (see storableProblem), and then nothing changes.
    bool set(std::string name, std::string key, std::string value);
    // Replaces the file atomically; on failure the old file stays intact.
    // A configuration holding a pair that would not read back is not
    // written at all: the message names the key.
    void save(std::string name);

    // Why the line "key = value" would not load back as exactly this key and
    // value, or empty when it would. The file format has no escapes, so a
    // value cannot hold '#' or a line feed, nor start or end with white
    // space; a key cannot start with '#', hold '=' or a line feed, nor start
    // or end with white space (an empty key reads back as one).
    static std::string storableProblem(const std::string& key, const std::string& value);
    void saveAll();

    std::unordered_map<std::string, Config> configs;
    std::vector<std::string> confDirs;
    std::set<std::string> dirty;
    std::unordered_map<std::string, std::string> paths;
};

}  // namespace corvo
