// Every text the bridge ever writes. A failure is reported by exactly one of these lines on the
// process's native standard output; the status value behind it never reaches Java.
#pragma once

namespace morlane {

enum class Diag {
    None, // nothing to report
    DllNotFound,
    FunctionNotFound,
    OpenError,
    CloseError,
    RunError,
    StopError,
    DownloadError,
    RegWriteError,
    RegReadError,
    CorvaneStopped,
    WriteError,
    ReadError,
    ExceptionOccurred,
};

// The line for `diag`, newline included; nullptr for Diag::None.
const char* diag_text(Diag diag) noexcept;

// Writes the line with one call on stdout so that lines from concurrent calls never mix, and
// notes it in the calling thread's record of its current call. Nothing is flushed: callers that
// need ordering against Java output arrange it themselves.
void write_line(Diag diag) noexcept;

// As write_line, for any outcome: a success costs its caller one comparison.
inline void report(Diag diag) noexcept {
    if (diag != Diag::None) {
        write_line(diag);
    }
}

// Starts the calling thread's record afresh: every exported operation calls this first, so the
// record holds exactly the lines of the thread's latest call.
void begin_call() noexcept;

// The lines the calling thread's latest call wrote, in order; returns how many (at most
// kRecordedLines; no call writes more than two).
constexpr int kRecordedLines = 4;
int recorded_lines(Diag (&lines)[kRecordedLines]) noexcept;

} // namespace morlane
