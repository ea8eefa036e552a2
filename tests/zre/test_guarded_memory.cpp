// The reuse of libsodium's guarded blocks: a kept block carries nothing of
// its last use, is handed to one user at a time, and the bounds hold; blocks
// the cache may not keep, and blocks it never handed out, go to libsodium.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

#include "zre_guarded_memory.hpp"

using namespace zre;

namespace {

// A stand-in for libsodium that counts what reaches it.
int made = 0;
std::set<void*> releasedToAllocator;

void* fakeAllocate(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    ++made;
    return std::malloc(count * size);
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
    GuardedBlockCache cache{GuardedAllocator{fakeAllocate, fakeRelease}};
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

    // A product that overflows is the allocator's to refuse, and is not kept.
    EXPECT_EQ(cache.allocate(SIZE_MAX / 2 + 1, 2), nullptr);
}

}  // namespace
