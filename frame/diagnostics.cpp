#include "frame/diagnostics.h"

#include <cstdio>

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
struct Record {
    Diag lines[kRecordedLines];
    int count;
};
thread_local Record record;

} // namespace

void write_line(Diag diag) noexcept {
    if (const char* text = diag_text(diag)) {
        std::printf("%s", text);
        Record& mine = record;
        if (mine.count < kRecordedLines) {
            mine.lines[mine.count++] = diag;
        }
    }
}

void begin_call() noexcept {
    record.count = 0;
}

int recorded_lines(Diag (&lines)[kRecordedLines]) noexcept {
    const Record& mine = record;
    for (int i = 0; i < mine.count; ++i) {
        lines[i] = mine.lines[i];
    }
    return mine.count;
}

} // namespace morlane
