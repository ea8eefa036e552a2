// Rereading the key directory while a program runs: what counts as a change
// of trust, and a watch that sees identities removed, added and changed
// (with inotify and with its periodic look alone), ignores what changes no
// trust, and keeps the old identities while the directory is unsafe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "corvo/key_watch.h"
#include "corvo/keys.h"
#include "support/temp_dir.h"

using corvo::Identity;
using corvo::KeyDirectory;
using corvo::KeyWatch;
using corvo::trustChanges;
using corvotest::TempDir;

namespace {

Identity identity(const std::string& name, const std::string& key, std::vector<std::string> names = {},
                  std::vector<std::string> groups = {})
{
    return Identity{name, key, names.empty() ? std::vector<std::string>{name} : names, groups};
}

std::vector<std::string> namesOf(const std::vector<Identity>& list)
{
    std::vector<std::string> names;
    for (const auto& i : list)
        names.push_back(i.name);
    return names;
}

TEST(TrustChanges, RemovedAddedAndChangedIdentities)
{
    const std::string k1(40, 'a'), k2(40, 'b'), k3(40, 'c');
    std::vector<Identity> before = {identity("alice", k1), identity("bob", k2), identity("carol", k3, {"c-*"})};
    std::vector<Identity> after = {identity("alice", k1), identity("carol", k3, {"c-*", "d"}), identity("dave", k2)};
    auto changes = trustChanges(before, after);
    EXPECT_EQ(namesOf(changes.removed), (std::vector<std::string>{"bob", "carol"}));
    EXPECT_EQ(namesOf(changes.added), (std::vector<std::string>{"carol", "dave"}));
    EXPECT_EQ(changes.added[0].names, (std::vector<std::string>{"c-*", "d"}));
}

TEST(TrustChanges, GroupsAndOrderChangeNothingTheNodeTrusts)
{
    const std::string k1(40, 'a'), k2(40, 'b');
    std::vector<Identity> before = {identity("alice", k1, {}, {"ops"}), identity("bob", k2)};
    std::vector<Identity> after = {identity("bob", k2), identity("alice", k1, {}, {"admins"})};
    EXPECT_TRUE(trustChanges(before, after).empty());
    EXPECT_FALSE(trustChanges(before, {}).empty());
    EXPECT_EQ(trustChanges(before, {}).removed.size(), 2u);
}

// A key directory with a watch on it that records every list it is handed.
class KeyWatchTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
        for (const char* name : {"alice", "bob", "carol"})
            keys.create(name, {}, {});
        watch = std::make_unique<KeyWatch>(
            dir.path(), keys.identities(),
            [this](const std::vector<Identity>& now) {
                std::lock_guard<std::mutex> lock(mutex);
                lists.push_back(namesOf(now));
                changed.notify_all();
            },
            GetParam());
        watch->start();
    }
    void TearDown() override { watch.reset(); }

    // The next list the watch hands over, waiting at most 10 s (the
    // periodic look comes every second; a loaded machine is slow).
    std::optional<std::vector<std::string>> next()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return lists.size() > taken; }))
            return std::nullopt;
        return lists[taken++];
    }
    size_t calls()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return lists.size();
    }
    std::string idFile(const std::string& name) { return dir / (name + ".id"); }

    TempDir dir;
    KeyDirectory keys{dir.path()};
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<std::string>> lists;
    size_t taken = 0;
    std::unique_ptr<KeyWatch> watch;
};

TEST_P(KeyWatchTest, SeesAnIdentityRemovedAndAddedAgain)
{
    EXPECT_EQ(watch->usesInotify(), GetParam());
    std::string saved = dir / "bob.saved";
    ASSERT_EQ(rename(idFile("bob").c_str(), saved.c_str()), 0);
    auto list = next();
    ASSERT_TRUE(list) << "the removal was not seen";
    EXPECT_EQ(*list, (std::vector<std::string>{"alice", "carol"}));
    ASSERT_EQ(rename(saved.c_str(), idFile("bob").c_str()), 0);
    list = next();
    ASSERT_TRUE(list) << "the identity added again was not seen";
    EXPECT_EQ(*list, (std::vector<std::string>{"alice", "bob", "carol"}));
}

TEST_P(KeyWatchTest, SeesAnIdentityWhoseKeyWasReplaced)
{
    unlink(idFile("carol").c_str());
    KeyDirectory other((dir / "other"));
    auto replacement = other.create("carol", {}, {});
    std::ofstream(idFile("carol")) << "public = " << replacement.publicKey << "\nnames = carol\n";
    ASSERT_EQ(chmod(idFile("carol").c_str(), 0644), 0);
    auto list = next();
    // A look may fall between the removal and the new file: it hands over
    // the list without carol first, and the new key comes with the next one.
    if (list && *list == std::vector<std::string>{"alice", "bob"})
        list = next();
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (std::vector<std::string>{"alice", "bob", "carol"}));
    auto now = keys.identities();
    EXPECT_EQ(now[2].publicKey, replacement.publicKey);
}

TEST_P(KeyWatchTest, WhatChangesNoTrustIsNotHandedOver)
{
    // Another file, a secret key file, an identity file rewritten with a
    // comment more.
    std::string text;
    {
        std::ifstream in(idFile("alice"));
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::ofstream(idFile("alice")) << text << "# rewritten\n";
    std::ofstream(dir / "notes.txt") << "not a key\n";
    std::ofstream(dir / "dave.key") << "identity = dave\n";
    std::this_thread::sleep_for(std::chrono::milliseconds(KeyWatch::kCheckPeriodMs * 2 + 500));
    EXPECT_EQ(calls(), 0u);
}

TEST_P(KeyWatchTest, AnUnsafeDirectoryKeepsTheIdentitiesTrustedUntilItIsSafeAgain)
{
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    unlink(idFile("alice").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(KeyWatch::kCheckPeriodMs * 2 + 500));
    EXPECT_EQ(calls(), 0u) << "a directory anyone may write decided the trust";
    ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
    auto list = next();
    ASSERT_TRUE(list);
    EXPECT_EQ(*list, (std::vector<std::string>{"bob", "carol"}));
}

TEST_P(KeyWatchTest, NothingIsHandedOverAfterStop)
{
    watch->stop();
    unlink(idFile("alice").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(KeyWatch::kCheckPeriodMs + 500));
    EXPECT_EQ(calls(), 0u);
}

INSTANTIATE_TEST_SUITE_P(InotifyAndPeriodicLook, KeyWatchTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "inotify" : "periodic"; });

TEST(KeyWatch, AChangeMadeBeforeStartIsSeenAtStart)
{
    TempDir dir;
    KeyDirectory keys(dir.path());
    ASSERT_EQ(chmod(dir.path().c_str(), 0700), 0);
    keys.create("alice", {}, {});
    keys.create("bob", {}, {});
    auto atStart = keys.identities();
    unlink((dir / "bob.id").c_str());
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> got;
    KeyWatch watch(dir.path(), atStart, [&](const std::vector<Identity>& now) {
        std::lock_guard<std::mutex> lock(mutex);
        got = namesOf(now);
        changed.notify_all();
    });
    watch.start();
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return !got.empty(); }));
    EXPECT_EQ(got, (std::vector<std::string>{"alice"}));
}

}  // namespace
