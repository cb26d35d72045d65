#include "frame/diagnostics.h"

#include <atomic>
#include <cstdint>
#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace morlane {

const char* diag_text(Diag diag) noexcept {
    switch (diag) {
    case Diag::None:
        return nullptr;
    case Diag::DllNotFound:
        return "in DLL: DLL not found.\n";
    case Diag::FunctionNotFound:
        return "in DLL: Function not found.\n";
    case Diag::OpenError:
        return "in DLL: Open Error\n";
    case Diag::CloseError:
        return "in DLL: Close Error\n";
    case Diag::RunError:
        return "in DLL: Run Error\n";
    case Diag::StopError:
        return "in DLL: Stop Error\n";
    case Diag::DownloadError:
        return "in DLL: Download Error\n";
    case Diag::RegWriteError:
        return "in DLL: RegWrite Error\n";
    case Diag::RegReadError:
        return "in DLL: RegRead Error\n";
    case Diag::CorvaneStopped:
        return "in DLL: Corvane stopped\n";
    case Diag::WriteError:
        return "in DLL: Write error\n";
    case Diag::ReadError:
        return "in DLL: Read error\n";
    case Diag::ExceptionOccurred:
        return "in DLL: Exception Occurred.\n";
    }
    return nullptr;
}

namespace {

// Kept per native thread. A virtual thread runs a native method pinned to its carrier, and the
// record is read by the next native call the same Java code makes; between the two there is no
// blocking operation that could move the virtual thread to another carrier.
//
// The record is one word: the count in the low four bits, then four bits a line. A word needs no
// allocation and nothing done when a thread ends, so on Windows it lives in a plain TLS slot:
// MinGW's thread_local is emulated, at the price of a lock taken on every call.
using Packed = std::uint32_t;
constexpr int kBits = 4;
static_assert(static_cast<int>(Diag::ExceptionOccurred) < (1 << kBits), "a line fits its bits");
static_assert((kRecordedLines + 1) * kBits <= 32, "the record fits its word");

#if defined(_WIN32)
// Allocated when the bridge is loaded. Should the process have no slot left, the record stays
// empty: the lines still reach stdout.
struct TlsSlot {
    const DWORD index = TlsAlloc();
    ~TlsSlot() {
        if (index != TLS_OUT_OF_INDEXES) {
            TlsFree(index);
        }
    }
};
const TlsSlot tls_slot;

Packed load() noexcept {
    if (tls_slot.index == TLS_OUT_OF_INDEXES) {
        return 0;
    }
    return static_cast<Packed>(reinterpret_cast<std::uintptr_t>(TlsGetValue(tls_slot.index)));
}

void store(Packed record) noexcept {
    if (tls_slot.index != TLS_OUT_OF_INDEXES) {
        TlsSetValue(tls_slot.index, reinterpret_cast<void*>(static_cast<std::uintptr_t>(record)));
    }
}
#else
thread_local Packed packed;

Packed load() noexcept {
    return packed;
}

void store(Packed record) noexcept {
    packed = record;
}
#endif

constexpr Packed kMask = (1u << kBits) - 1;

// The kind of failure sits above the lines.
constexpr int kFailureShift = kBits * (kRecordedLines + 1);
static_assert(kFailureShift + kBits <= 32, "the kind fits the word too");

std::atomic<bool> lines_written{true};

} // namespace

void set_lines_written(bool written) noexcept {
    lines_written.store(written, std::memory_order_relaxed);
}

void note_failure(Failure failure) noexcept {
    const Packed record = load() & ~(kMask << kFailureShift);
    store(record | static_cast<Packed>(failure) << kFailureShift);
}

Failure recorded_failure() noexcept {
    return static_cast<Failure>((load() >> kFailureShift) & kMask);
}

void write_line(Diag diag) noexcept {
    if (const char* text = diag_text(diag)) {
        if (lines_written.load(std::memory_order_relaxed)) {
            std::fputs(text, stdout);
            std::fflush(stdout);
        }
        const Packed record = load();
        const Packed count = record & kMask;
        if (count < kRecordedLines) {
            store((record | static_cast<Packed>(diag) << (kBits * (count + 1))) + 1);
        }
    }
}

void begin_call() noexcept {
    store(0);
}

int recorded_lines(Diag (&lines)[kRecordedLines]) noexcept {
    const Packed record = load();
    const int count = static_cast<int>(record & kMask);
    for (int i = 0; i < count; ++i) {
        lines[i] = static_cast<Diag>((record >> (kBits * (i + 1))) & kMask);
    }
    return count;
}

} // namespace morlane
