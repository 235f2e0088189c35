#pragma once

#include <functional>
#include <string>

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
