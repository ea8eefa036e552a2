// The reuse of libsodium's guarded blocks: a kept block carries nothing of
// its last use, is handed to one user at a time, and the bounds hold; blocks
// the cache may not keep, and blocks it never handed out, go to libsodium.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

#include "zre_guarded_memory.hpp"

using namespace zre;

namespace {

// A stand-in for libsodium that counts what reaches it. Its blocks start
// on a page of their own, so that a test can protect them as libsodium's
// users may (sodium_mprotect_readonly).
int made = 0;
std::set<void*> releasedToAllocator;
const size_t kPage = size_t(sysconf(_SC_PAGESIZE));

void* fakeAllocate(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    ++made;
    size_t pages = (count * size + kPage - 1) / kPage;
    return std::aligned_alloc(kPage, std::max<size_t>(pages, 1) * kPage);
}

int fakeMakeWritable(void* block)
{
    return mprotect(block, kPage, PROT_READ | PROT_WRITE);
}

void fakeRelease(void* block)
{
    releasedToAllocator.insert(block);
    std::free(block);
}

class GuardedBlocks : public ::testing::Test {
protected:
    void SetUp() override
    {
        made = 0;
        releasedToAllocator.clear();
    }
    GuardedBlockCache cache{GuardedAllocator{fakeAllocate, fakeRelease, fakeMakeWritable}};
};

TEST_F(GuardedBlocks, AKeptBlockIsWipedAndHandedToOneUserAtATime)
{
    auto* first = static_cast<unsigned char*>(cache.allocate(1, 96));
    ASSERT_NE(first, nullptr);
    std::fill(first, first + 96, 0xA5);  // a secret
    cache.release(first);
    EXPECT_TRUE(releasedToAllocator.empty());

    // The same number of bytes, asked for differently, gets the kept block.
    auto* again = static_cast<unsigned char*>(cache.allocate(2, 48));
    ASSERT_EQ(again, first);
    EXPECT_EQ(std::count(again, again + 96, 0), 96) << "the last user's bytes are still there";
    void* other = cache.allocate(1, 96);
    EXPECT_NE(other, again) << "one block handed out twice";
    EXPECT_EQ(made, 2);
    EXPECT_EQ(cache.stats().reused, 1u);
    EXPECT_EQ(cache.stats().requests, 3u);
    cache.release(again);
    cache.release(other);
    EXPECT_EQ(cache.stats().kept, 2u);

    // A block its user left read-only is wiped all the same (it was a
    // crash), and one that cannot be made writable is not kept.
    auto* readOnly = static_cast<unsigned char*>(cache.allocate(1, 96));
    std::fill(readOnly, readOnly + 96, 0x5A);
    ASSERT_EQ(mprotect(readOnly, kPage, PROT_READ), 0);
    cache.release(readOnly);
    EXPECT_TRUE(releasedToAllocator.empty());
    auto* wiped = static_cast<unsigned char*>(cache.allocate(1, 96));
    EXPECT_EQ(std::count(wiped, wiped + 96, 0), 96);
    GuardedBlockCache stubborn{GuardedAllocator{fakeAllocate, fakeRelease, [](void*) { return -1; }}};
    void* block = stubborn.allocate(1, 96);
    stubborn.release(block);
    EXPECT_TRUE(releasedToAllocator.count(block));
    EXPECT_EQ(stubborn.stats().kept, 0u);
    cache.release(wiped);
}

TEST_F(GuardedBlocks, WhatMayNotBeKeptGoesToTheAllocator)
{
    // Beyond the bound per size.
    std::vector<void*> blocks;
    for (size_t i = 0; i < GuardedBlockCache::kMaxKeptPerSize + 2; ++i)
        blocks.push_back(cache.allocate(1, 64));
    for (void* block : blocks)
        cache.release(block);
    EXPECT_EQ(cache.stats().kept, GuardedBlockCache::kMaxKeptPerSize);
    EXPECT_EQ(releasedToAllocator.size(), 2u);

    // Beyond the number of sizes (64 bytes is one of them already).
    blocks.clear();
    for (size_t size = 1; size <= GuardedBlockCache::kMaxSizes + 1; ++size)
        blocks.push_back(cache.allocate(1, size));
    for (void* block : blocks)
        cache.release(block);
    EXPECT_EQ(releasedToAllocator.size(), 4u);

    // A large block, and a block the cache never handed out.
    void* large = cache.allocate(1, GuardedBlockCache::kMaxBlockBytes + 1);
    cache.release(large);
    EXPECT_TRUE(releasedToAllocator.count(large));
    void* foreign = std::malloc(32);
    cache.release(foreign);
    EXPECT_TRUE(releasedToAllocator.count(foreign));
    cache.release(nullptr);

    // A product that overflows is the allocator's to refuse, and is not kept;
    // so is an empty block (it was a division by zero).
    EXPECT_EQ(cache.allocate(SIZE_MAX / 2 + 1, 2), nullptr);
    void* empty = cache.allocate(1, 0);
    cache.release(empty);
    EXPECT_TRUE(releasedToAllocator.count(empty));
}

}  // namespace
