#pragma once

// Keeps the process from taking more address space than it holds now plus a
// margin, so an allocation sized by a file's claims fails loudly (bad_alloc)
// instead of quietly succeeding on a machine with memory to spare.

#include <sys/resource.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define GLIMMERFEN_UNDER_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GLIMMERFEN_UNDER_SANITIZER 1
#endif

// Sanitizers reserve vast shadow regions up front, so under them there is no
// cap (an allocation of many gigabytes aborts there anyway).
class AddressSpaceCap {
  public:
    explicit AddressSpaceCap(std::uint64_t marginBytes) {
#ifndef GLIMMERFEN_UNDER_SANITIZER
        std::ifstream status("/proc/self/status");
        std::string line;
        std::uint64_t vmSizeKb = 0;
        while (std::getline(status, line)) {
            if (line.rfind("VmSize:", 0) == 0) {
                std::istringstream(line.substr(7)) >> vmSizeKb;
            }
        }
        if (vmSizeKb > 0 && ::getrlimit(RLIMIT_AS, &m_previous) == 0) {
            rlimit cap = m_previous;
            cap.rlim_cur = static_cast<rlim_t>(vmSizeKb * 1024 + marginBytes);
            m_active = ::setrlimit(RLIMIT_AS, &cap) == 0;
        }
#else
        (void)marginBytes;
#endif
    }
    ~AddressSpaceCap() {
        if (m_active) {
            ::setrlimit(RLIMIT_AS, &m_previous);
        }
    }
    AddressSpaceCap(const AddressSpaceCap&) = delete;
    AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;

  private:
    rlimit m_previous{};
    bool m_active = false;
};
