#include "rating/TokenCountTable.h"

void TokenCountTable::add(const TokenId& token) {
    const auto insertion = m_entries.findOrInsert(token.key, token.check, Counted{0, token.order});
    if (insertion.value->count < kMaxCount) {
        ++insertion.value->count;
    }
}

std::optional<TokenCountTable::Entry> TokenCountTable::find(std::uint32_t key,
                                                            std::uint8_t check) const {
    const Counted* counted = m_entries.find(key, check);
    if (counted == nullptr) {
        return std::nullopt;
    }
    return Entry{key, counted->count, counted->order, check};
}

std::uint16_t TokenCountTable::count(std::uint32_t key, std::uint8_t check) const {
    const Counted* counted = m_entries.find(key, check);
    return counted == nullptr ? 0 : counted->count;
}
