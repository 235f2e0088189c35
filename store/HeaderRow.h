#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "store/EmailHeader.h"

// One row of the header list, in its column order.
struct HeaderRow {
    std::string from;
    std::string subject;
    std::string dateTime;  // "9 Mar 2006, 8:05"
    std::string to;
    std::string index;
    std::string delTime;
};

// Receives the rows of a folder in ascending index order.
using HeaderRowSink = std::function<void(const HeaderRow&)>;

std::string displayDate(const EmailHeader& header);
HeaderRow makeHeaderRow(std::int32_t index, const EmailHeader& header);
