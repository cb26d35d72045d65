#include "stdout_capture.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#define CAPTURE_DUP _dup
#define CAPTURE_DUP2 _dup2
#define CAPTURE_CLOSE _close
#define CAPTURE_READ _read
#define CAPTURE_FILENO _fileno
#else
#include <unistd.h>
#define CAPTURE_DUP dup
#define CAPTURE_DUP2 dup2
#define CAPTURE_CLOSE close
#define CAPTURE_READ read
#define CAPTURE_FILENO fileno
#endif

namespace capture {
namespace {

bool make_pipe(int fds[2]) {
#if defined(_WIN32)
    // Binary, so that the C runtime does not turn "\n" into "\r\n" on the way in.
    return _pipe(fds, 1 << 16, _O_BINARY) == 0;
#else
    return pipe(fds) == 0;
#endif
}

[[noreturn]] void give_up(const char* what) {
    std::fprintf(stderr, "stdout capture: %s failed\n", what);
    std::abort();
}

} // namespace

StdoutCapture::StdoutCapture() {
    int fds[2];
    if (!make_pipe(fds)) {
        give_up("pipe");
    }
    std::fflush(stdout);
    const int out = CAPTURE_FILENO(stdout);
    saved_ = CAPTURE_DUP(out);
    if (saved_ < 0 || CAPTURE_DUP2(fds[1], out) < 0) {
        give_up("dup");
    }
    CAPTURE_CLOSE(fds[1]);
    read_end_ = fds[0];
    active_ = true;
}

StdoutCapture::~StdoutCapture() {
    if (active_) {
        finish();
    }
}

std::string StdoutCapture::finish() {
    std::string captured;
    if (!active_) {
        return captured;
    }
    active_ = false;
    std::fflush(stdout);
    // Putting the saved descriptor back closes the pipe's last write end, so the read sees EOF.
    CAPTURE_DUP2(saved_, CAPTURE_FILENO(stdout));
    CAPTURE_CLOSE(saved_);
    char chunk[4096];
    for (;;) {
        const int n = static_cast<int>(CAPTURE_READ(read_end_, chunk, sizeof chunk));
        if (n <= 0) {
            break;
        }
        captured.append(chunk, static_cast<std::size_t>(n));
    }
    CAPTURE_CLOSE(read_end_);
    return captured;
}

} // namespace capture
