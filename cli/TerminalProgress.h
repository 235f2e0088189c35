#pragma once

#include <ostream>

#include "desktop/BuildProgress.h"

// A text progress bar for the table build. It redraws in place only on a
// terminal; into a file or a pipe it writes nothing, so logs stay readable.
class TerminalProgress : public BuildProgress {
  public:
    TerminalProgress(std::ostream& out, bool isTerminal);
    ~TerminalProgress() override;

    void setRange(int low, int high) override;
    void setPosition(int position) override;

  private:
    std::ostream& m_out;
    const bool m_isTerminal;
    int m_low = 0;
    int m_high = 100;
    int m_shownPercent = -1;
};
