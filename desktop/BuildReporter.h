#pragma once

#include <string>

#include "desktop/BuildProgress.h"

// What the filter builder shows while it works: the pass ("Pass 2 of 4"), the
// stage ("Testing Emails") and the progress of the stage. Called from the build
// thread; an implementation hands the texts on and never waits for the GUI.
class BuildReporter : public BuildProgress {
  public:
    virtual void setPassText(const std::string& text) = 0;
    virtual void setStageText(const std::string& text) = 0;
};
