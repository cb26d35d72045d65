// Captures what is written to the process's native standard output (file descriptor 1) while it
// lives: the bridge writes its diagnostic lines there with printf and never flushes, so the
// stream is flushed on both ends of the capture.
#pragma once

#include <string>

namespace capture {

class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Restores standard output and returns everything written since construction. Meant for
    // short output: it is held in a pipe until then.
    std::string finish();

  private:
    int saved_ = -1;
    int read_end_ = -1;
    bool active_ = false;
};

} // namespace capture
