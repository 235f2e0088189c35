#pragma once

#include <cstddef>

// The heap a stretch of code takes, seen through the sanitizer allocator's
// hooks: while a watch lives it records the most bytes held at once above
// where it started and the largest single block asked for, so a target can
// hold a loader to the room its file could justify. One watch at a time.
class AllocationWatch {
  public:
    AllocationWatch();
    ~AllocationWatch();
    AllocationWatch(const AllocationWatch&) = delete;
    AllocationWatch& operator=(const AllocationWatch&) = delete;

    std::size_t peakBytes() const;
    std::size_t largestBlock() const;
};
