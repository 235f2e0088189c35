#include "rating/CandidateList.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

float CandidateList::distance(float p) {
    return std::fabs(p - 0.5f);
}

void CandidateList::addWindow(const std::array<float, 4>& probabilities) {
    for (const float p : probabilities) {
        m_entries[m_size++] = p;
    }
    if (m_size > m_peak) {
        m_peak = m_size;
    }
    if (m_windows > kWindowsBetweenPrunings) {
        prune();
        m_windows = 0;
    }
    ++m_windows;
}

void CandidateList::finish() {
    if (m_windows > 1) {
        prune();
    }
}

// A stable sort by ascending distance followed by keeping the last 15 keeps
// the 15 greatest entries by (distance, position in the list), in that order.
// Distances are non-negative floats, whose bit patterns order as the values
// do, so (distance, position) packs into one integer key per entry. Neutral
// entries (distance 0) are the least of all and are all alike, so only their
// number matters: they are kept only where fewer than 15 others are there.
void CandidateList::prune() {
    std::array<std::uint64_t, kCapacity> keys;
    std::size_t telling = 0;
    for (std::size_t i = 0; i < m_size; ++i) {
        const float d = distance(m_entries[i]);
        if (d != 0.0f) {
            keys[telling++] = std::uint64_t{std::bit_cast<std::uint32_t>(d)} << 32 | i;
        }
    }
    std::uint64_t* first = keys.data();
    std::uint64_t* const last = keys.data() + telling;
    if (telling > kKept) {
        first = last - kKept;
        std::nth_element(keys.data(), first, last);
    }
    std::sort(first, last);

    const std::size_t neutral =
        std::min(kKept - static_cast<std::size_t>(last - first), m_size - telling);
    std::array<float, kKept> kept;
    std::size_t n = 0;
    for (; n < neutral; ++n) {
        kept[n] = 0.5f;
    }
    for (const std::uint64_t* key = first; key != last; ++key) {
        kept[n++] = m_entries[static_cast<std::size_t>(*key & 0xFFFFFFFFu)];
    }
    std::copy_n(kept.begin(), n, m_entries.begin());
    m_size = n;
}

double CandidateList::rating() const {
    if (m_size == 0) {
        return 0.5;
    }
    double p = 1.0;
    double q = 1.0;
    for (std::size_t i = 0; i < m_size; ++i) {
        const float entry = m_entries[i];
        if (entry != 0.5f) {
            p *= entry;
            q *= 1.0 - entry;
        }
    }
    const double sum = p + q;
    return sum == 0.0 ? 0.5 : p / sum;
}
