// corvo keys: makes key pairs and lists the trusted identities of a secured
// site's key directory. Works on files only; no network node is started.
#include <dirent.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "corvo/keys.h"
#include "corvo/text.h"
#include "text.h"
#include "tool.h"

namespace corvo::tool {

namespace {

std::string joined(const std::vector<std::string>& items, const char* separator)
{
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : separator) + item;
    return text;
}

std::string jsonList(const std::vector<std::string>& items)
{
    std::string text = "[";
    for (const auto& item : items)
        text += (text.size() > 1 ? "," : "") + jsonString(item);
    return text + "]";
}

int listIdentities(const KeyDirectory& directory, bool json)
{
    // A directory that cannot be read is no empty list of trusted identities.
    std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(directory.path().c_str()), &closedir);
    if (!handle) {
        std::cerr << "corvo: " << escapeControl(directory.path()) << ": " << std::strerror(errno) << std::endl;
        return EXIT_NOT_FOUND;
    }
    handle.reset();
    std::vector<std::string> problems;
    std::vector<Identity> identities;
    try {
        // A directory or identity file that others may write is refused
        // whole, as the daemons refuse it.
        identities = directory.identities(&problems);
    } catch (const KeyError& e) {
        std::cerr << "corvo: " << escapeControl(e.what()) << std::endl;
        return EXIT_REFUSED;
    }
    for (const auto& problem : problems)
        std::cerr << "corvo: " << escapeControl(problem) << std::endl;
    for (const auto& identity : identities) {
        if (json)
            std::cout << "{\"identity\":" << jsonString(identity.name)
                      << ",\"public\":" << jsonString(identity.publicKey) << ",\"names\":" << jsonList(identity.names)
                      << ",\"groups\":" << jsonList(identity.groups) << "}\n";
        else
            std::cout << identity.name << "  " << identity.publicKey << "  names: " << joined(identity.names, ",")
                      << (identity.groups.empty() ? "" : "  groups: " + joined(identity.groups, ",")) << "\n";
    }
    std::cout.flush();
    return EXIT_OK;
}

}  // namespace

int runKeys(const std::vector<std::string>& words, const KeysOptions& options)
{
    KeyDirectory directory(options.directory.empty() ? KeyDirectory::defaultPath() : options.directory);
    if (words.size() == 2 && words[1] == "list")
        return listIdentities(directory, options.json);
    if (words.size() == 3 && words[1] == "new") {
        try {
            KeyPair pair = directory.create(words[2], splitList(options.names), splitList(options.groups));
            std::cout << "identity " << pair.identity << ": public key " << pair.publicKey << "\n"
                      << "  " << directory.path() << "/" << pair.identity << ".id (copy it to every host of the site)\n"
                      << "  " << directory.secretPath(pair.identity) << " (secret, owner-only)" << std::endl;
            return EXIT_OK;
        } catch (const KeyError& e) {
            std::cerr << "corvo: " << e.what() << std::endl;
            return EXIT_REFUSED;
        }
    }
    std::cerr << "corvo: usage: corvo keys new NAME [--names LIST] [--groups LIST] | corvo keys list" << std::endl;
    return EXIT_USAGE;
}

}  // namespace corvo::tool
