#include "frame/diagnostics.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

namespace morlane {

const char* diag_text(Diag diag) noexcept {
    static constexpr const char* kTexts[] = {
        nullptr,
        "in DLL: DLL not found.\n",
        "in DLL: Function not found.\n",
        "in DLL: Open Error\n",
        "in DLL: Close Error\n",
        "in DLL: Run Error\n",
        "in DLL: Stop Error\n",
        "in DLL: Download Error\n",
        "in DLL: RegWrite Error\n",
        "in DLL: RegRead Error\n",
        "in DLL: Corvane stopped\n",
        "in DLL: Write error\n",
        "in DLL: Read error\n",
        "in DLL: Exception Occurred.\n",
    };
    static_assert(sizeof kTexts / sizeof kTexts[0] == kDiagCount, "a text for every line");
    return kTexts[static_cast<int>(diag)];
}

namespace {

// Kept per native thread. A virtual thread runs a native method pinned to its carrier, and the
// record is read by the next native call the same Java code makes; between the two there is no
// blocking operation that could move the virtual thread to another carrier.
//
// The record is one word: the count in the low four bits, then four bits a line, then the kind
// of failure. A word needs nothing done when a thread ends.
using Packed = std::uint32_t;
constexpr int kBits = 4;
static_assert(kDiagCount <= (1 << kBits), "a line fits its bits");
static_assert((kRecordedLines + 1) * kBits <= 32, "the record fits its word");
thread_local Packed packed;
thread_local int status_returned;
thread_local bool status_noted;

constexpr Packed kMask = (1u << kBits) - 1;

constexpr int kFailureShift = kBits * (kRecordedLines + 1);
static_assert(kFailureShift + kBits <= 32, "the kind fits the word too");

std::atomic<bool> lines_written{true};

} // namespace

void set_lines_written(bool written) noexcept {
    lines_written.store(written, std::memory_order_relaxed);
}

void note_failure(Failure failure) noexcept {
    packed = (packed & ~(kMask << kFailureShift)) | static_cast<Packed>(failure) << kFailureShift;
}

Failure recorded_failure() noexcept {
    return static_cast<Failure>((packed >> kFailureShift) & kMask);
}

void note_status(int status) noexcept {
    status_returned = status;
    status_noted = true;
}

bool recorded_status(int& status) noexcept {
    status = status_returned;
    return status_noted;
}

void write_line(Diag diag) noexcept {
    if (const char* text = diag_text(diag)) {
        if (lines_written.load(std::memory_order_relaxed)) {
            std::fputs(text, stdout);
            std::fflush(stdout);
        }
        const Packed count = packed & kMask;
        if (count < kRecordedLines) {
            packed = (packed | static_cast<Packed>(diag) << (kBits * (count + 1))) + 1;
        }
    }
}

void begin_call() noexcept {
    packed = 0;
    status_noted = false;
}

int recorded_lines(Diag (&lines)[kRecordedLines]) noexcept {
    const Packed record = packed;
    const int count = static_cast<int>(record & kMask);
    for (int i = 0; i < count; ++i) {
        lines[i] = static_cast<Diag>((record >> (kBits * (i + 1))) & kMask);
    }
    return count;
}

} // namespace morlane
