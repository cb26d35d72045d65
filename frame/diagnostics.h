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
constexpr int kDiagCount = static_cast<int>(Diag::ExceptionOccurred) + 1;

// The line for `diag`, newline included; nullptr for Diag::None.
const char* diag_text(Diag diag) noexcept;

// Writes the line with one call on stdout so that lines from concurrent calls never mix, flushed
// at once so that it stands where it happened among the process's other output even on a pipe,
// and notes it in the calling thread's record of its current call.
void write_line(Diag diag) noexcept;

// Whether lines reach stdout at all (they always reach the record): a program that takes its
// failures from the record or the facade may turn them off.
void set_lines_written(bool written) noexcept;

// What kind of failure a call met, for a program that acts on it: the lines alone do not say
// whether the library refused, was not there, or its host was lost. Numbered as Java sees them.
enum class Failure : int {
    None = 0,
    Library = 1,      // the library ran and reported failure (or replied nonsense)
    NotLoaded = 2,    // the slot was empty
    EntryMissing = 3, // the library lacks the entry point
    Refused = 4,      // the bridge refused the arguments and called nothing
    HostLost = 5,     // the host died, or wrote what no host of ours writes
    Deadline = 6,     // the call outlived its deadline and its host was ended
    HostBusy = 7,     // the host had no room for another caller; it serves on
};

// Notes the kind of failure of the calling thread's current call (the latest noted stands).
void note_failure(Failure failure) noexcept;
Failure recorded_failure() noexcept;

// Notes what the entry point of the calling thread's current call returned, for a program that
// tells one refusal of the library from another; false from recorded_status when it was not called.
void note_status(int status) noexcept;
bool recorded_status(int& status) noexcept;

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
