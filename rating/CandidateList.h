#pragma once

#include <array>
#include <cstddef>
#include <span>

// The phrase-token probabilities one classification weighs: every window's
// four are appended, and every 21 windows the list is cut back to the 15 that
// lie farthest from 0.5, so it stays small whatever the length of the text.
//
// Ties are settled as a stable sort by distance would settle them: among
// equally distant entries (0.01 and 0.99 are, in single precision) the ones
// appended later survive. The kept entries come out in that sort's order,
// nearest to 0.5 first and equals by position in the list, not in list order:
// rating() multiplies them in that order, which can move its last bits. The window texts the
// entries came from play no part in the rating and are not kept.
class CandidateList {
  public:
    static constexpr std::size_t kKept = 15;
    // A pruning follows the window that finds the counter above this.
    static constexpr int kWindowsBetweenPrunings = 20;
    static constexpr std::size_t kCapacity = kKept + 4 * (kWindowsBetweenPrunings + 1);  // 99

    // Appends one window's four probabilities, pruning when it is time.
    void addWindow(const std::array<float, 4>& probabilities);
    // The text has ended: prunes once more unless the list is known to hold at
    // most 15 entries already.
    void finish();

    // P / (P + Q) in double precision over the entries, in list order, leaving
    // out those of exactly 0.5; 0.5 for an empty list or when P + Q is 0.
    double rating() const;

    bool empty() const { return m_size == 0; }
    std::span<const float> entries() const { return {m_entries.data(), m_size}; }
    // The most entries the list has held at once.
    std::size_t peakSize() const { return m_peak; }

    // Distance from 0.5, computed in single precision.
    static float distance(float p);

  private:
    void prune();

    std::array<float, kCapacity> m_entries{};
    std::size_t m_size = 0;
    std::size_t m_peak = 0;
    int m_windows = 0;
};
