#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "rating/MessageRater.h"

namespace proxy {

// The longest line classificationLine() makes, CRLF included.
inline constexpr std::size_t kMaxClassificationLine = 64;

// What decided a retrieved message: a list's verdict, else the classifier's
// rating when it rated at all.
struct Classification {
    std::optional<Verdict> listVerdict;  // White, Black or Dnsbl
    std::optional<double> bayesRating;
    bool spam = false;
};

// "X-Glimmerfen: spam; source=bayes; rating=0.996512\r\n": mail clients
// filter on a header more reliably than on a word in the Subject. Nothing
// rated the message (the classifier off, no list decided): "source=none".
std::string classificationLine(const Classification& classification);

}  // namespace proxy
