#pragma once

#include <cstdint>
#include <span>

// Reduces a name server's reply to a block-list query to the number the rating
// works with:
//   0   not listed: "no such name", or a reply without answer records;
//   > 0 listed: the last byte of an answer address in 127.0.0.0/24 (2 for
//       127.0.0.2), the return code the lists use;
//   -1  no usable answer: another response code, a datagram that is not a reply,
//       one that is cut short or malformed, or an answer address outside
//       127.0.0.0/24. The lists answer 127.255.255.x to say they refused the
//       query (for example when it came through a public resolver), which must
//       not read as a listing.
// The answer's own id and question are not compared with the query: each query
// runs on a fresh socket, so only a reply to it can arrive there.
// Reads nothing outside `answer`, whatever it holds.
int interpretDnsblAnswer(std::span<const std::uint8_t> answer);
