#include "UiFixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "analysis/HeaderParser.h"
#include "analysis/StoredHeader.h"
#include "desktop/BuildProgress.h"

namespace {

class NoProgress : public BuildProgress {
  public:
    void setRange(int, int) override {}
    void setPosition(int) override {}
};

std::string messageOf(const std::string& from, const std::string& subject,
                      const std::string& body) {
    return "From: " + from +
           "\r\nTo: reader@example.org\r\nSubject: " + subject +
           "\r\nDate: Tue, 7 Mar 2006 08:05:00 +0000\r\n\r\n" + body + "\r\n.\r\n";
}

}  // namespace

int freeLocalPort() {
    // Seeded by the process, so that test programs running side by side try
    // different ports first.
    std::mt19937 random(static_cast<unsigned>(::getpid()));
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = 1025 + static_cast<int>(random() % 3976);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) {
            return port;
        }
    }
    return 0;
}

UiFixture::UiFixture(std::uint16_t nameServerPort)
    : m_desktop(std::make_unique<QtDesktop>()),
      m_objects(std::make_unique<ProcessObjects>(*m_desktop, nameServerPort)),
      m_context(std::make_unique<ViewContext>(ViewContext{*m_objects, *m_desktop, m_prompter})) {}

UiFixture::~UiFixture() {
    m_desktop->shutdown();
}

int UiFixture::addEmail(std::string_view folder, const std::string& subject,
                        const std::string& from, const std::string& body) {
    const std::string text = messageOf(from, subject, body);
    CHeaderParser parser;
    parser.parse(text);
    const int index = store().getNextEmailIndex();
    store().setEmailHeader(index, folder,
                           storedHeader(parser.getHeaderRecord(), static_cast<int>(text.size()), 0),
                           text);
    return index;
}

void UiFixture::fill(std::string_view folder, int count) {
    for (int i = 0; i < count; ++i) {
        addEmail(folder, "mail " + std::to_string(i));
    }
}

void UiFixture::trainFilter(const std::string& spamWords, const std::string& goodWords) {
    for (int i = 0; i < 5; ++i) {
        addEmail("badA", "offer " + std::to_string(i), "Spammer <spam@example.net>", spamWords);
        addEmail("goodA", "note " + std::to_string(i), "Friend <friend@example.org>", goodWords);
    }
    NoProgress progress;
    objects().bayes.buildProbabilities(progress);
    objects().bayes.setEnabled(true, false);
}
