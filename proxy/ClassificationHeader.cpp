#include "proxy/ClassificationHeader.h"

#include <algorithm>
#include <cstdio>

namespace proxy {

std::string classificationLine(const Classification& classification) {
    std::string line = "X-Glimmerfen: ";
    line += classification.spam ? "spam" : "ham";
    if (classification.listVerdict) {
        line += "; source=";
        line += verdictName(*classification.listVerdict);
    } else if (classification.bayesRating) {
        // Kept to the line's room whatever the classifier said.
        double value = *classification.bayesRating;
        value = value >= 0.0 ? std::min(value, 1.0) : 0.0;
        char rating[32];
        std::snprintf(rating, sizeof rating, "%.6f", value);
        line += "; source=bayes; rating=";
        line += rating;
    } else {
        line += "; source=none";
    }
    line += "\r\n";
    return line;
}

}  // namespace proxy
