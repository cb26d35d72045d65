// The journal (README, "The call journal"): with MORLANE_JOURNAL naming a file when the bridge is
// loaded, a line per operation is appended to it, saying what the program asked of the outside
// library and what came back. Off otherwise, when an operation pays for it one load of a flag and
// a test at its start, its call and its end.
#pragma once

#include "entry/entries.h"

#include <chrono>

namespace morlane::journal {

// Set once, as the bridge is loaded, before any operation can run.
extern const bool active;

inline bool on() noexcept {
    return active;
}

// The calling thread's line, for an operation of `entry` that begins now.
void begin(Entry entry) noexcept;

// The call as the entry point got it, right after it returned, when its buffers still hold what
// came back; `called` is false when it could not be made.
void made(const Call& call, bool hosted, bool called, int status,
          std::chrono::steady_clock::time_point began) noexcept;

// Ends the line with the kind of failure the operation noted, and appends it to the journal.
void end() noexcept;

// An operation's line while the journal is on, from its start to its end, when it is appended.
struct Scope {
    explicit Scope(Entry entry) noexcept {
        if (on()) {
            begin(entry);
        }
    }
    ~Scope() {
        if (on()) {
            end();
        }
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

} // namespace morlane::journal
