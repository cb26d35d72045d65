// The journal (README, "The call journal"): with MORLANE_JOURNAL naming a file when the bridge is
// loaded, a line per operation is appended to it, saying what the program asked of the outside
// library and what came back. Off otherwise, when an operation pays one relaxed load for it.
#pragma once

#include "entry/entries.h"

#include <atomic>
#include <chrono>

namespace morlane::journal {

extern std::atomic<bool> active;

inline bool on() noexcept {
    return active.load(std::memory_order_relaxed);
}

struct Line; // one operation's line, built as it goes

// The calling thread's line, for an operation of `entry` that begins now.
Line* begin(Entry entry) noexcept;

// Ends the line with the kind of failure the operation noted, and appends it to the journal.
void end(Line* line) noexcept;

// The call as the entry point got it, right after it returned, when its buffers still hold what
// came back; `called` is false when it could not be made.
void made(Line& line, const Call& call, bool hosted, bool called, int status,
          std::chrono::steady_clock::time_point began) noexcept;

} // namespace morlane::journal
