#pragma once

#include <string>
#include <vector>

// Dotted IPv4 candidates from the "from" clauses of Received values (the text
// before the first " by "), in header order and left to right within a value.
// An address only counts once something other than a digit or a point follows
// it; a fourth group followed by a point is taken with that point. Groups are
// not range-checked and repeats are kept, so the block-list check sees every
// hop as written.
std::vector<std::string> scanReceivedAddresses(const std::vector<std::string>& received);
