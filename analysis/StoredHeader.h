#pragma once

#include <cstdint>

#include "analysis/HeaderParser.h"
#include "store/EmailHeader.h"

// The store's record of a parsed message: the parse's fields with the text's
// length and the time it was recorded; the proxy and importers record alike.
EmailHeader storedHeader(const HeaderRecord& parsed, std::int32_t textLength, std::int32_t delTime);
