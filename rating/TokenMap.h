#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

// The hash map under the token tables: keyed by a token's 32-bit key, with the
// few entries that share a key told apart by their check. Open addressing with
// linear probing keeps every entry of one key on the probe path from the key's
// home slot, so a lookup that meets an empty slot has seen them all, and a miss,
// the classifier's common case, usually costs one cache line.
template <class Value>
class TokenMap {
  public:
    struct Slot {
        std::uint32_t key = 0;
        Value value{};
        std::uint8_t check = 0;
        bool used = false;
    };

    struct Insertion {
        Value* value;
        bool created;
        // Another entry with the same key and a different check was there already.
        bool keyTaken;
    };

    const Value* find(std::uint32_t key, std::uint8_t check) const {
        if (m_slots.empty()) {
            return nullptr;
        }
        for (std::size_t i = home(key);; i = (i + 1) & m_mask) {
            const Slot& slot = m_slots[i];
            if (!slot.used) {
                return nullptr;
            }
            if (slot.key == key && slot.check == check) {
                return &slot.value;
            }
        }
    }

    Value* find(std::uint32_t key, std::uint8_t check) {
        return const_cast<Value*>(static_cast<const TokenMap&>(*this).find(key, check));
    }

    // The entry for (key, check), created with `initial` when there is none.
    Insertion findOrInsert(std::uint32_t key, std::uint8_t check, const Value& initial) {
        growForOneMore();
        bool keyTaken = false;
        for (std::size_t i = home(key);; i = (i + 1) & m_mask) {
            Slot& slot = m_slots[i];
            if (!slot.used) {
                slot = Slot{key, initial, check, true};
                ++m_size;
                return {&slot.value, true, keyTaken};
            }
            if (slot.key == key) {
                if (slot.check == check) {
                    return {&slot.value, false, false};
                }
                keyTaken = true;
            }
        }
    }

    std::size_t size() const { return m_size; }

    void clear() {
        m_slots.clear();
        m_slots.shrink_to_fit();
        m_mask = 0;
        m_size = 0;
    }

    // Room for `count` entries without growing on the way.
    void reserve(std::size_t count) {
        if (capacityFor(count) > m_slots.size()) {
            rehash(capacityFor(count));
        }
    }

    // f(key, check, value) for every entry, in slot order.
    template <class F>
    void forEach(F&& f) const {
        for (const Slot& slot : m_slots) {
            if (slot.used) {
                f(slot.key, slot.check, slot.value);
            }
        }
    }

  private:
    static constexpr std::size_t kMinCapacity = 64;

    // At most half full: probe paths stay short and a miss ends quickly.
    static std::size_t capacityFor(std::size_t count) {
        return std::bit_ceil(count * 2 < kMinCapacity ? kMinCapacity : count * 2);
    }

    // The keys are already remainders of a hash; multiplying spreads their
    // high bits into the slot number too.
    std::size_t home(std::uint32_t key) const {
        return static_cast<std::size_t>((std::uint64_t{key} * 0x9E3779B97F4A7C15ull) >> 32) &
               m_mask;
    }

    void growForOneMore() {
        if ((m_size + 1) * 2 > m_slots.size()) {
            rehash(capacityFor(m_size + 1));
        }
    }

    void place(const Slot& entry) {
        std::size_t i = home(entry.key);
        while (m_slots[i].used) {
            i = (i + 1) & m_mask;
        }
        m_slots[i] = entry;
    }

    void rehash(std::size_t capacity) {
        std::vector<Slot> old(capacity);
        old.swap(m_slots);
        m_mask = capacity - 1;
        for (const Slot& slot : old) {
            if (slot.used) {
                place(slot);
            }
        }
    }

    std::vector<Slot> m_slots;
    std::size_t m_mask = 0;
    std::size_t m_size = 0;
};
