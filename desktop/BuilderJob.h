#pragma once

class BuildReporter;

// A filter build as the builder's dialog runs it: the dialog starts run() on a
// thread of its own, asks the user before cancelling, and closes when run()
// returns. Implemented by the filter builder; the Desktop only drives it.
class BuilderJob {
  public:
    virtual ~BuilderJob() = default;

    // The dialog has opened: the build is about to start.
    virtual void opened() = 0;
    // The whole build, on the calling thread; returns when it has ended,
    // however it ended.
    virtual void run(BuildReporter& reporter) = 0;
    // The user answered "No" to "Do you want to build the filter now?": the
    // build stops at its next checkpoint.
    virtual void cancel() = 0;
    // Whether run() is still under way (the dialog may only close when not).
    virtual bool running() const = 0;
};
