// Reuse of libsodium's guarded blocks (see the header for why).
#include "zre_guarded_memory.hpp"

#include <dlfcn.h>
#include <string.h>

#include <cerrno>

namespace zre {

GuardedBlockCache::GuardedBlockCache(GuardedAllocator allocator) : allocator_(allocator) {}

GuardedBlockCache::~GuardedBlockCache()
{
    if (!allocator_.release)
        return;
    for (auto& [bytes, blocks] : kept_)
        for (void* block : blocks)
            allocator_.release(block);
}

void* GuardedBlockCache::allocate(size_t count, size_t size)
{
    // Past the kept size, an empty block, or a product that overflows: the
    // allocator's own handling, untracked.
    const bool keepable = count != 0 && size != 0 && size <= kMaxBlockBytes && count <= kMaxBlockBytes / size;
    const size_t bytes = keepable ? count * size : 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++stats_.requests;
        auto kept = keepable ? kept_.find(bytes) : kept_.end();
        if (kept != kept_.end() && !kept->second.empty()) {
            void* block = kept->second.back();
            kept->second.pop_back();
            --stats_.kept;
            ++stats_.reused;
            handedOut_.emplace(block, bytes);
            return block;
        }
    }
    if (!allocator_.allocate) {
        errno = ENOMEM;
        return nullptr;
    }
    void* block = allocator_.allocate(count, size);
    if (block && keepable) {
        std::lock_guard<std::mutex> guard(lock_);
        handedOut_.emplace(block, bytes);
    }
    return block;
}

void GuardedBlockCache::release(void* block)
{
    if (!block)
        return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto out = handedOut_.find(block);
        if (out != handedOut_.end()) {
            const size_t bytes = out->second;
            handedOut_.erase(out);
            auto kept = kept_.find(bytes);
            if (kept == kept_.end() && kept_.size() < kMaxSizes)
                kept = kept_.emplace(bytes, std::vector<void*>()).first;
            const bool room = kept != kept_.end() && kept->second.size() < kMaxKeptPerSize;
            // Its user may have made it read-only or inaccessible; one that
            // cannot be made writable goes to the allocator, which can.
            if (room && allocator_.makeWritable && allocator_.makeWritable(block) == 0) {
                // What the block held (keys, plaintexts) must not outlive its use.
                explicit_bzero(block, bytes);
                kept->second.push_back(block);
                ++stats_.kept;
                return;
            }
        }
    }
    // A block of libsodium's that cannot be released leaks rather than crash.
    if (allocator_.release)
        allocator_.release(block);
}

GuardedBlockCache::Stats GuardedBlockCache::stats() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return stats_;
}

namespace {

// libsodium's functions: the next definitions after this program's own.
GuardedAllocator libsodiumAllocator()
{
    GuardedAllocator allocator;
    allocator.allocate = reinterpret_cast<void* (*)(size_t, size_t)>(dlsym(RTLD_NEXT, "sodium_allocarray"));
    allocator.release = reinterpret_cast<void (*)(void*)>(dlsym(RTLD_NEXT, "sodium_free"));
    allocator.makeWritable = reinterpret_cast<int (*)(void*)>(dlsym(RTLD_NEXT, "sodium_mprotect_readwrite"));
    return allocator;
}

GuardedBlockCache& processCache()
{
    // Never destroyed: libzmq's threads may release blocks during exit.
    static GuardedBlockCache* cache = new GuardedBlockCache(libsodiumAllocator());
    return *cache;
}

}  // namespace

GuardedBlockCache::Stats guardedMemoryStats()
{
    return processCache().stats();
}

}  // namespace zre

// libsodium's names, so that libzmq's calls come here first.
extern "C" {

__attribute__((visibility("default"))) void* sodium_allocarray(size_t count, size_t size)
{
    return zre::processCache().allocate(count, size);
}

__attribute__((visibility("default"))) void sodium_free(void* block)
{
    zre::processCache().release(block);
}

}  // extern "C"
