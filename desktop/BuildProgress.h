#pragma once

// Where a table build reports how far it has come: the desktop's progress bar,
// a bar on the terminal, a recorder in tests. The build calls it from its own
// thread, partly while holding the filter lock, so an implementation hands the
// figures on and never waits for a thread that may be classifying.
class BuildProgress {
  public:
    virtual ~BuildProgress() = default;
    virtual void setRange(int low, int high) = 0;
    virtual void setPosition(int position) = 0;
};
