// Key pairs and the key directory: what a program will load and trust.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "corvo/keys.h"
#include "support/temp_dir.h"

using corvo::Identity;
using corvo::KeyDirectory;
using corvo::KeyError;
using corvotest::TempDir;

namespace {

mode_t modeOf(const std::string& path)
{
    struct stat info {};
    stat(path.c_str(), &info);
    return info.st_mode & 0777;
}

TEST(Keys, CreateWritesAnOwnerOnlySecretThatReadsBack)
{
    TempDir dir;
    KeyDirectory keys(dir / "site/keys");  // made with its parents
    auto pair = keys.create("mount", {}, {"devices"});
    EXPECT_EQ(pair.publicKey.size(), 40u);
    EXPECT_EQ(modeOf(keys.secretPath("mount")), 0600u);
    EXPECT_EQ(modeOf(dir / "site/keys/mount.id"), 0644u);

    auto read = KeyDirectory::readSecret(keys.secretPath("mount"));
    EXPECT_EQ(read.identity, "mount");
    EXPECT_EQ(read.publicKey, pair.publicKey);
    EXPECT_EQ(read.secretKey, pair.secretKey);

    auto identities = keys.identities();
    ASSERT_EQ(identities.size(), 1u);
    EXPECT_EQ(identities[0].names, std::vector<std::string>{"mount"}) << "no names given: its own";
    EXPECT_EQ(identities[0].groups, std::vector<std::string>{"devices"});

    EXPECT_THROW(keys.create("mount", {}, {}), KeyError) << "never overwrites a key";
    EXPECT_EQ(KeyDirectory::readSecret(keys.secretPath("mount")).secretKey, pair.secretKey);
}

TEST(Keys, SecretReadableByOthersOrForeignIsRefused)
{
    TempDir dir;
    KeyDirectory keys(dir.path());
    keys.create("cam", {}, {});
    std::string secret = keys.secretPath("cam");
    for (mode_t mode : {0640, 0604, 0620}) {
        chmod(secret.c_str(), mode);
        EXPECT_THROW(KeyDirectory::readSecret(secret), KeyError) << std::oct << mode;
    }
    chmod(secret.c_str(), 0400);
    EXPECT_NO_THROW(KeyDirectory::readSecret(secret));

    // A symbolic link is not followed, a directory is not a key.
    std::string link = dir / "link.key";
    ASSERT_EQ(symlink(secret.c_str(), link.c_str()), 0);
    EXPECT_THROW(KeyDirectory::readSecret(link), KeyError);
    EXPECT_THROW(KeyDirectory::readSecret(dir.path()), KeyError);
    EXPECT_THROW(KeyDirectory::readSecret(dir / "missing.key"), KeyError);
}

TEST(Keys, SecretWhosePublicKeyDoesNotMatchIsRefused)
{
    TempDir dir;
    KeyDirectory keys(dir.path());
    auto a = keys.create("a", {}, {});
    auto b = keys.create("b", {}, {});
    std::string forged =
        dir.makeFile("forged.key", "identity = a\npublic = " + b.publicKey + "\nsecret = " + a.secretKey + "\n");
    chmod(forged.c_str(), 0600);
    EXPECT_THROW(KeyDirectory::readSecret(forged), KeyError);
    std::string broken = dir.makeFile("broken.key", "identity = a\npublic = short\nsecret = " + a.secretKey + "\n");
    chmod(broken.c_str(), 0600);
    EXPECT_THROW(KeyDirectory::readSecret(broken), KeyError);
}

TEST(Keys, BadIdentityFilesAreSkippedAndSharedKeysDropped)
{
    TempDir dir;
    KeyDirectory keys(dir.path());
    auto good = keys.create("good", {"cam*", "mount"}, {"ops"});
    auto shared = keys.create("first", {}, {});
    dir.makeFile("second.id", "public = " + shared.publicKey + "\n");  // the same key again
    dir.makeFile("garbage.id", "public = not a key\n");
    dir.makeFile("unknown.id", "public = " + good.publicKey.substr(0, 39) + "x\nsecret = y\n");
    dir.makeFile("..id", "public = " + good.publicKey + "\n");
    dir.makeFile("big.id", std::string(KeyDirectory::kMaxFileSize + 1, '#'));
    dir.makeFile("notes.txt", "ignored");

    std::vector<std::string> problems;
    auto identities = keys.identities(&problems);
    ASSERT_EQ(identities.size(), 1u);
    EXPECT_EQ(identities[0].name, "good");
    EXPECT_EQ(identities[0].names, (std::vector<std::string>{"cam*", "mount"}));
    EXPECT_EQ(problems.size(), 6u) << "first, second, garbage, unknown, ..id, big";
}

// The message of the KeyError that listing the identities throws, or "".
std::string refusal(const KeyDirectory& keys)
{
    try {
        keys.identities();
    } catch (const KeyError& e) {
        return e.what();
    }
    return "";
}

TEST(Keys, TheKeyDirectoryIsMadeForItsOwnerOnly)
{
    TempDir dir;
    KeyDirectory keys(dir / "site/keys");
    keys.create("mount", {}, {});
    EXPECT_EQ(modeOf(dir / "site/keys"), 0700u);
    EXPECT_EQ(modeOf(dir / "site"), 0755u);
    // Also when the path names it with a trailing '/' ($CORVO_KEY_DIR=.../keys/).
    KeyDirectory slashed(dir / "other/keys//");
    slashed.create("mount", {}, {});
    EXPECT_EQ(modeOf(dir / "other/keys"), 0700u);
    EXPECT_EQ(modeOf(dir / "other"), 0755u);
}

TEST(Keys, ADirectoryOrIdentityFileOthersCouldChangeIsRefusedByPath)
{
    TempDir dir;
    KeyDirectory keys(dir / "keys");
    keys.create("mount", {}, {});
    const std::string id = dir / "keys/mount.id";
    ASSERT_EQ(refusal(keys), "");

    chmod(keys.path().c_str(), 0777);
    EXPECT_EQ(refusal(keys), keys.path() + ": the key directory is writable by others (chmod go-w it)");
    chmod(keys.path().c_str(), 0770);
    EXPECT_NE(refusal(keys), "");
    chmod(keys.path().c_str(), 0755);

    chmod(id.c_str(), 0666);
    EXPECT_EQ(refusal(keys), id + ": identity file is writable by others (chmod go-w it)");
    chmod(id.c_str(), 0644);
    EXPECT_EQ(refusal(keys), "");

    if (geteuid() != 0)
        GTEST_SKIP() << "files of another user need root to make";
    ASSERT_EQ(chown(id.c_str(), 65534, 65534), 0);  // nobody
    EXPECT_EQ(refusal(keys), id + ": identity file belongs to another user (uid 65534)");
}

TEST(Keys, AnIdentityTheNobodyUserAddsToAWorldWritableDirectoryIsNeverTrusted)
{
    if (geteuid() != 0 || system("command -v setpriv >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and setpriv to act as nobody";
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    KeyDirectory keys(dir / "keys");
    auto own = keys.create("mount", {}, {});
    chmod(keys.path().c_str(), 0777);  // a careless operator
    TempDir other;
    KeyDirectory evil(other / "evil");
    auto pair = evil.create("evil", {"mount"}, {});
    // Written by nobody; the content comes through a descriptor root opened.
    std::string source = other / "evil.txt";
    std::ofstream(source) << "public = " << pair.publicKey << "\nnames = mount\n";
    std::string command =
        "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'cat > " + keys.path() + "/evil.id' < " + source;
    ASSERT_EQ(system(command.c_str()), 0);
    EXPECT_EQ(refusal(keys), keys.path() + ": the key directory is writable by others (chmod go-w it)");
    chmod(keys.path().c_str(), 0700);
    // Even with the directory closed again, the file nobody left is refused.
    EXPECT_EQ(refusal(keys), keys.path() + "/evil.id: identity file belongs to another user (uid 65534)");
}

TEST(Keys, NamesThatCouldEscapeTheDirectoryAreInvalid)
{
    for (const char* name : {"", ".hidden", "../x", "a/b", "a b", "a\nb"})
        EXPECT_FALSE(KeyDirectory::validName(name)) << name;
    EXPECT_TRUE(KeyDirectory::validName("cam-2.north_A"));
    EXPECT_FALSE(KeyDirectory::validName(std::string(65, 'a')));
    TempDir dir;
    EXPECT_THROW(KeyDirectory(dir.path()).create("../escape", {}, {}), KeyError);
    EXPECT_THROW(KeyDirectory(dir.path()).create("ok", {"bad,pattern"}, {}), KeyError);
    EXPECT_EQ(KeyDirectory(dir.path()).secretPath("../x"), "../x") << "a path is taken as given";
    EXPECT_EQ(KeyDirectory("/k").secretPath("cam"), "/k/cam.key");
}

}  // namespace
