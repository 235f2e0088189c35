#pragma once

#include <optional>
#include <string_view>

class BayesFilter;
class CHeaderParser;
class DnsResolver;
class FilterList;

// How a message was judged, in the order the checks are asked.
enum class Verdict { White, Black, Dnsbl, Spam, Ham };

struct MessageRating {
    Verdict verdict;
    double rating;  // the classifier's rating; 0.5 when it did not rate
};

std::string_view verdictName(Verdict verdict);  // "white", "black", "dnsbl", "spam", "ham"
bool isSpam(Verdict verdict);

// Rates one message text as the proxy does: the white list, the black list (both
// on From, To and Subject), the block lists over the Received path, and only when
// none of them decides, the Bayesian classifier. Nothing is stored.
class MessageRater {
  public:
    MessageRater(FilterList& whiteList, FilterList& blackList, DnsResolver& resolver,
                 BayesFilter& bayes);

    // With forTest the classifier rates even while the user has it switched off.
    MessageRating rate(std::string_view text, bool forTest);

    // The steps before the classifier, on a parse already made: White, Black or
    // Dnsbl when one of them decides, nothing when the classifier must.
    std::optional<Verdict> listVerdict(const CHeaderParser& parsed);

  private:
    FilterList& m_whiteList;
    FilterList& m_blackList;
    DnsResolver& m_resolver;
    BayesFilter& m_bayes;
};
