#include "desktop/ConsoleDesktop.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "desktop/BuildReporter.h"
#include "desktop/BuilderJob.h"
#include "platform/Event.h"

namespace {

// Prints each new pass and stage on a line of its own; on a terminal, also a
// bar for the stage's progress, redrawn in place.
class ConsoleReporter : public BuildReporter {
  public:
    ConsoleReporter(std::ostream& out, std::mutex& mutex, bool interactive)
        : m_out(out), m_mutex(mutex), m_interactive(interactive) {}

    ~ConsoleReporter() override { endBar(); }

    void setPassText(const std::string& text) override { line(m_pass = text, true); }
    void setStageText(const std::string& text) override { line(text, false); }
    void setRange(int low, int high) override {
        m_low = low;
        m_high = high;
    }
    void setPosition(int position) override {
        if (!m_interactive) {
            return;
        }
        const long span = std::max(1L, static_cast<long>(m_high) - m_low);
        const int percent = static_cast<int>(
            std::clamp((static_cast<long>(position) - m_low) * 100 / span, 0L, 100L));
        if (percent == m_percent) {
            return;
        }
        m_percent = percent;
        std::lock_guard lock(m_mutex);
        const int filled = percent / 4;
        m_out << "\r  [" << std::string(static_cast<std::size_t>(filled), '#')
              << std::string(static_cast<std::size_t>(25 - filled), ' ') << "] " << percent
              << "%   " << std::flush;
        m_barShown = true;
    }

  private:
    void line(const std::string& text, bool isPass) {
        endBar();
        std::lock_guard lock(m_mutex);
        m_out << (isPass ? "" : "  ") << text << '\n' << std::flush;
    }
    void endBar() {
        if (m_barShown) {
            std::lock_guard lock(m_mutex);
            m_out << '\n';
            m_barShown = false;
            m_percent = -1;
        }
    }

    std::ostream& m_out;
    std::mutex& m_mutex;
    const bool m_interactive;
    std::string m_pass;
    int m_low = 0;
    int m_high = 100;
    int m_percent = -1;
    bool m_barShown = false;
};

}  // namespace

ConsoleDesktop::ConsoleDesktop(std::ostream& out, bool interactive)
    : m_out(out), m_interactive(interactive) {}

void ConsoleDesktop::showTimedBox(const std::string& message) {
    std::lock_guard lock(m_mutex);
    m_out << "glimmerfen: " << message << '\n';
    m_out.flush();
}

void ConsoleDesktop::runBuilderDialog(BuilderJob& job) {
    job.opened();
    ConsoleReporter reporter(m_out, m_mutex, m_interactive);
    std::thread build([&] { job.run(reporter); });
    bool cancelled = false;
    while (job.running()) {
        if (!cancelled && m_cancelFlag != nullptr && m_cancelFlag->load()) {
            job.cancel();
            cancelled = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    build.join();
}

void ConsoleDesktop::postRefreshViews(int, platform::Event& done) {
    done.set();
}

int ConsoleDesktop::askForPort(int currentPort, const std::string& account) {
    showTimedBox(accountPrefix(account) +
                 "There is a Server Port conflict.  The current port number " +
                 std::to_string(currentPort) + " must be changed.");
    return currentPort;
}
