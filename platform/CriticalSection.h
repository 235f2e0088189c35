#pragma once

#include <mutex>

namespace platform {

// Public store operations call one another on the same thread, so the lock must
// allow the holder to enter again.
using CriticalSection = std::recursive_mutex;
using CriticalSectionGuard = std::lock_guard<std::recursive_mutex>;

}  // namespace platform
