#include "rating/MessageRater.h"

#include "analysis/HeaderParser.h"
#include "rating/BayesFilter.h"
#include "rating/DnsResolver.h"
#include "rating/FilterList.h"
#include "rating/ReceivedPathCheck.h"

namespace {
constexpr double kNotRated = 0.5;
}

std::string_view verdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::White:
            return "white";
        case Verdict::Black:
            return "black";
        case Verdict::Dnsbl:
            return "dnsbl";
        case Verdict::Spam:
            return "spam";
        case Verdict::Ham:
            break;
    }
    return "ham";
}

bool isSpam(Verdict verdict) {
    return verdict == Verdict::Black || verdict == Verdict::Dnsbl || verdict == Verdict::Spam;
}

MessageRater::MessageRater(FilterList& whiteList, FilterList& blackList, DnsResolver& resolver,
                           BayesFilter& bayes)
    : m_whiteList(whiteList), m_blackList(blackList), m_resolver(resolver), m_bayes(bayes) {}

std::optional<Verdict> MessageRater::listVerdict(const CHeaderParser& parsed) {
    const HeaderRecord header = parsed.getHeaderRecord();
    if (m_whiteList.matches(header.from, header.to, header.subject)) {
        return Verdict::White;
    }
    if (m_blackList.matches(header.from, header.to, header.subject)) {
        return Verdict::Black;
    }
    if (checkReceivedPath(parsed.receivedIPs(), m_resolver)) {
        return Verdict::Dnsbl;
    }
    return std::nullopt;
}

MessageRating MessageRater::rate(std::string_view text, bool forTest) {
    CHeaderParser parser;
    parser.parse(text);
    if (const std::optional<Verdict> decided = listVerdict(parser)) {
        return {*decided, kNotRated};
    }
    const BayesRating bayes = forTest ? m_bayes.rateTextForTest(text) : m_bayes.rateText(text);
    return {bayes.spam ? Verdict::Spam : Verdict::Ham, bayes.rating};
}
