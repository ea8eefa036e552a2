// Key pairs and the key directory: what a program will load and trust.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
