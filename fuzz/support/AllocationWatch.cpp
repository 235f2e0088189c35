#include "fuzz/support/AllocationWatch.h"

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "fuzz/support/FuzzCheck.h"

namespace {

std::atomic<bool> g_watching{false};
std::atomic<std::int64_t> g_held{0};
std::atomic<std::int64_t> g_peak{0};
std::atomic<std::size_t> g_largest{0};

void raiseTo(std::atomic<std::int64_t>& value, std::int64_t candidate) {
    std::int64_t seen = value.load(std::memory_order_relaxed);
    while (candidate > seen && !value.compare_exchange_weak(seen, candidate)) {
    }
}

void onAllocate(const volatile void*, std::size_t size) {
    if (!g_watching.load(std::memory_order_relaxed)) {
        return;
    }
    raiseTo(g_peak,
            g_held.fetch_add(static_cast<std::int64_t>(size)) + static_cast<std::int64_t>(size));
    std::size_t largest = g_largest.load(std::memory_order_relaxed);
    while (size > largest && !g_largest.compare_exchange_weak(largest, size)) {
    }
}

// A block freed during the watch that was taken before it makes the count
// dip below the start; the peak is still an upper bound of what the watched
// code itself held.
void onFree(const volatile void* block) {
    if (!g_watching.load(std::memory_order_relaxed)) {
        return;
    }
    const void* plain = const_cast<const void*>(block);
    if (plain == nullptr || __sanitizer_get_ownership(plain) == 0) {
        return;
    }
    g_held.fetch_sub(static_cast<std::int64_t>(__sanitizer_get_allocated_size(plain)));
}

}  // namespace

AllocationWatch::AllocationWatch() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        FUZZ_CHECK(__sanitizer_install_malloc_and_free_hooks(onAllocate, onFree) != 0);
    });
    FUZZ_CHECK(!g_watching.load());
    g_held.store(0);
    g_peak.store(0);
    g_largest.store(0);
    g_watching.store(true);
}

AllocationWatch::~AllocationWatch() {
    g_watching.store(false);
}

std::size_t AllocationWatch::peakBytes() const {
    return static_cast<std::size_t>(g_peak.load());
}

std::size_t AllocationWatch::largestBlock() const {
    return g_largest.load();
}
