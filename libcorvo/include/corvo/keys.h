/// @file
/// Keys of a secured site: each program's CURVE key pair and the directory of
/// trusted identities.
///
/// The key directory holds one identity file per trusted identity, NAME.id,
/// readable by the operator:
///
///     # identity of the mount daemon
///     public = rq:rM>}U?@Lns47E1%kR.o@n%FcmmsL/@{H8]yf7
///     names = mount, mount-*      component names it may announce (patterns)
///     groups = devices            groups the access rules can name as @devices
///
/// and, for identities whose programs run on this host, the secret key file
/// NAME.key, owner-only (mode 0600), which programs load with --key NAME:
///
///     identity = mount
///     public = rq:rM>}U?@Lns47E1%kR.o@n%FcmmsL/@{H8]yf7
///     secret = JTKVSB%%)wK0E.X)V>+}o?pNmC{O&4W4b!Ni{Lh6
///
/// The directory is $CORVO_KEY_DIR, else ~/.config/corvo/keys, unless a
/// program is given --keys DIR. Every file is untrusted input: sizes, counts
/// and names are bounded and a bad file is skipped with a message.
/// Programs reread the directory while they run: an identity file removed
/// is no longer trusted within a second (see key_watch.h).
#pragma once

#include <string>
#include <vector>

#include "corvo/errors.h"  // KeyError
#include "corvo/export.h"

namespace corvo {

/// A program's own CURVE key pair, read from its secret key file.
struct KeyPair {
    std::string identity;   ///< the identity's name (NAME of NAME.key)
    std::string publicKey;  ///< Z85, 40 characters
    std::string secretKey;  ///< Z85, 40 characters
};

/// A trusted identity, read from its identity file NAME.id.
struct Identity {
    std::string name;                 ///< the file's name without ".id"
    std::string publicKey;            ///< Z85, 40 characters
    std::vector<std::string> names;   ///< patterns of the component names it may announce
    std::vector<std::string> groups;  ///< the groups the access rules can name it by
};

/// The key directory: the identity files of the site and the secret key
/// files of this host's programs.
class CORVO_API KeyDirectory {
public:
    /// Identity and key files larger than this (bytes) are not read.
    static constexpr size_t kMaxFileSize = 16 * 1024;
    /// At most this many identity files are read; the rest are skipped.
    static constexpr size_t kMaxIdentities = 10000;

    /// The key directory at `path` (it need not exist yet).
    explicit KeyDirectory(std::string path);
    /// $CORVO_KEY_DIR, else $HOME/.config/corvo/keys.
    static std::string defaultPath();

    /// The directory's path.
    const std::string& path() const { return dir; }

    /// Letters, digits, '.', '_' and '-', 1 to 64 characters, not starting
    /// with '.': safe as a file name and as a word in the access rules.
    static bool validName(const std::string& name);

    /// A new key pair for `identity`: writes NAME.key (0600) and NAME.id
    /// (0644), creating the directory (0700; missing parents 0755) if
    /// needed. `names` empty: the identity may announce its own name only.
    /// Throws KeyError when either file exists or cannot be written.
    KeyPair create(const std::string& identity, std::vector<std::string> names, std::vector<std::string> groups);

    /// Every valid identity file, sorted by name. Bad files are skipped and
    /// described in `problems`; two files with the same key are both dropped.
    std::vector<Identity> identities(std::vector<std::string>* problems = nullptr) const;

    /// The secret key file of `nameOrPath`: a path when it holds a '/',
    /// else NAME.key in this directory.
    std::string secretPath(const std::string& nameOrPath) const;

    /// Reads a secret key file. Throws KeyError when it is missing, not a
    /// regular file, not owned by this user, readable or writable by anyone
    /// else, malformed, or when its secret and public keys do not belong
    /// together.
    static KeyPair readSecret(const std::string& path);

    /// Parses one identity file's text; throws KeyError when malformed.
    static Identity parseIdentity(const std::string& name, const std::string& text);

private:
    std::string dir;
};

}  // namespace corvo
