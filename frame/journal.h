// The journal (docs/journal.md): with MORLANE_JOURNAL naming a file when the bridge is
// loaded, or once a program started it (morlane.CallRecord.startJournal), a line per operation is
// appended to it, saying what the program asked of the outside library and what came back. Off
// otherwise, when an operation pays for it one load of a flag and a test at its start, its call
// and its end.
#pragma once

#include "entry/entries.h"

#include <atomic>
#include <chrono>

namespace morlane::journal {

// Set as the bridge is loaded, or later by start_journal; never cleared.
extern std::atomic<bool> active;

inline bool on() noexcept {
    return active.load(std::memory_order_relaxed);
}

// Starts the journal into `path` unless one is written already.
enum class Started : int { Now = 0, Already = 1, Failed = 2 };
Started start_journal(const char* path) noexcept;

// The calling thread's line, for an operation of `entry` that begins now.
void begin(Entry entry) noexcept;

// The call as the entry point got it, right after it returned, when its buffers still hold what
// came back; `called` is false when it could not be made, `began` is zero when it was not timed;
// `texts_page` the ANSI code page its texts crossed in, 0 for the JVM's own bytes.
void made(const Call& call, bool hosted, bool called, int status,
          std::chrono::steady_clock::time_point began, unsigned texts_page) noexcept;

// Ends the line with the kind of failure the operation noted, and appends it to the journal.
void end() noexcept;

// An operation's line while the journal is on, from its start to its end, when it is appended.
struct Scope {
    explicit Scope(Entry entry) noexcept : on_(on()) {
        if (on_) {
            begin(entry);
        }
    }
    ~Scope() {
        if (on_) {
            end();
        }
    }
    const bool on_; // a journal started during the operation begins with the next one
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

} // namespace morlane::journal
