#pragma once

#include <cstdint>
#include <string>

#include "desktop/HeaderRow.h"
#include "store/EmailHeader.h"

// A stored record as the header list shows it.
std::string displayDate(const EmailHeader& header);
HeaderRow makeHeaderRow(std::int32_t index, const EmailHeader& header);
