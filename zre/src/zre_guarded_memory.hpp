// Reuse of libsodium's guarded blocks, which libzmq's CURVE handshakes make
// and release by the dozen.
//
// libzmq keeps every handshake's keys and plaintexts in libsodium's guarded
// blocks (sodium_allocarray, sodium_free). Making one costs an mmap, three
// mprotects and an mlock; releasing it an munlock, an mprotect and an
// munmap. Each changes the process's mappings, which also flushes the TLB of
// every CPU the process runs on. A secured site of 110 programs makes about
// 12,000 handshakes as it forms, and these calls were a third of the CPU of
// libzmq's I/O threads.
//
// A program that links this file (libcorvo does) defines the two functions,
// so libzmq's calls reach them before libsodium's. Small blocks are still
// made by libsodium, with their guard pages and locked in memory; a released
// one is wiped and kept for the next request of the same size. Larger
// blocks, and everything beyond the bounds below, go to libsodium as before.
// What is lost: libsodium checks its canary (a write just before a block)
// when a block is released to it, which a kept block is not. A block its
// user made read-only or inaccessible (sodium_mprotect_*) is made writable
// again before it is wiped, as libsodium does before it releases one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace zre {

// libsodium's functions (or a test's): sodium_allocarray, sodium_free and
// sodium_mprotect_readwrite.
struct GuardedAllocator {
    void* (*allocate)(size_t count, size_t size) = nullptr;
    void (*release)(void* block) = nullptr;
    int (*makeWritable)(void* block) = nullptr;
};

class GuardedBlockCache {
public:
    // Blocks of at most this many bytes are kept: each takes one locked page
    // (libsodium adds a 16-byte canary) and three pages of address space.
    static constexpr size_t kMaxBlockBytes = 1024;
    // At most this many released blocks of one size are kept, and blocks of
    // at most this many sizes: at most 128 blocks, 512 KiB locked in all.
    // A handshake uses about seven sizes, each block for one step.
    static constexpr size_t kMaxKeptPerSize = 8;
    static constexpr size_t kMaxSizes = 16;

    struct Stats {
        uint64_t requests = 0;  // blocks asked for
        uint64_t reused = 0;    // of them, served by a kept block
        size_t kept = 0;        // released blocks kept now
    };

    explicit GuardedBlockCache(GuardedAllocator allocator);
    // Releases the kept blocks (the process's cache is never destroyed).
    ~GuardedBlockCache();
    GuardedBlockCache(const GuardedBlockCache&) = delete;
    GuardedBlockCache& operator=(const GuardedBlockCache&) = delete;

    // As sodium_allocarray: count * size bytes, or null (errno ENOMEM).
    void* allocate(size_t count, size_t size);
    // As sodium_free: null is ignored; a block this cache did not hand out
    // goes to the allocator's release.
    void release(void* block);
    Stats stats() const;

private:
    GuardedAllocator allocator_;
    mutable std::mutex lock_;
    // Blocks handed out that may be kept on release, with their sizes.
    std::unordered_map<void*, size_t> handedOut_;
    // Wiped blocks by size.
    std::map<size_t, std::vector<void*>> kept_;
    Stats stats_;
};

// The cache behind this process's sodium_allocarray and sodium_free.
GuardedBlockCache::Stats guardedMemoryStats();

}  // namespace zre
