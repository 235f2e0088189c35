#pragma once

#include <cstdint>
#include <span>

// A name server's reply to a block-list query, read two ways.
struct DnsblReply {
    // The datagram is a well-formed reply with response code 0 or 3, whatever
    // address it carries: the name server did its part, even where the list
    // refused to say anything. This, not the result, tells a working name
    // server from a broken one.
    bool answered = false;
    // As interpretDnsblAnswer.
    int result = -1;
};

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
// The answer's own id and question are not looked at here: answersQuery
// decides first whether the datagram belongs to the query at all.
// Reads nothing outside `answer`, whatever it holds.
DnsblReply readDnsblReply(std::span<const std::uint8_t> answer);

// True when `reply` carries the id of `query` and exactly its one question
// (name compared without regard to letter case, as name servers may change it;
// type and class exactly). `query` is a datagram of one question and nothing
// after it, as the resolver builds. The connected socket already keeps out
// other senders; this keeps out whatever reaches the querier's port from the
// name server's address without answering this query: a late reply to an
// earlier query, or a datagram forged with that address. Reads nothing outside
// either span.
bool answersQuery(std::span<const std::uint8_t> reply, std::span<const std::uint8_t> query);

inline int interpretDnsblAnswer(std::span<const std::uint8_t> answer) {
    return readDnsblReply(answer).result;
}
