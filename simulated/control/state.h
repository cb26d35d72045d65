// The layout of simctl's state. With MORLANE_SIMCTL_STATE set it is the content of that file,
// mapped shared by every process that names the same file, whether it runs as i386 or as x86-64:
// hence fixed-width members only, no pointers, no 64-bit members (their alignment differs between
// the two), and the offsets pinned below. Internal to simctl and the simulated libraries.
#ifndef MORLANE_SIMCTL_STATE_H
#define MORLANE_SIMCTL_STATE_H

#include "control/simctl.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sched.h>
#include <unistd.h>
#endif

namespace simstate {

static_assert(sizeof(std::atomic<std::int32_t>) == 4 && alignof(std::atomic<std::int32_t>) == 4,
              "an atomic word must be laid out like a plain one");
static_assert(std::atomic<std::int32_t>::is_always_lock_free,
              "a lock word shared between processes must not need a lock of its own");

// Bumped whenever the layout changes; a file of another layout is not used.
constexpr std::uint32_t kMagic = 0x534d4354u; // "SMCT"
constexpr std::uint32_t kVersion = 5;

constexpr int kNameSize = 32;                    // entry and file names, NUL included
constexpr int kEntries = 32;                     // distinct entry names that can be scripted
constexpr int kStatusQueue = 256;                // statuses queued per entry
constexpr int kReplyQueue = 64;                  // replies queued
constexpr int kLoads = 32;                       // process and library file pairs counted
constexpr std::uint32_t kArenaSize = 16u << 20;  // bytes of journal lines
constexpr std::uint32_t kReplayCalls = 1u << 20; // recorded calls a replay can tell apart

// A lock word holds 0 when free, else the id of the process holding it, so that a lock left held
// by a process that died can be taken over.
using LockWord = std::atomic<std::int32_t>;

struct Entry {
    char name[kNameSize]; // empty while the slot is free
    std::int32_t delay;   // milliseconds, 0 for none
    std::int32_t crash;   // calls still to crash; -1 every call, 0 none
    std::int32_t head;    // first queued status
    std::int32_t count;   // queued statuses
    std::int32_t statuses[kStatusQueue];
    std::int32_t delay_calls; // calls the delay still holds for; -1 every call
    std::int32_t fixed;       // non-zero: once the queue is empty, every call returns `status`
    std::int32_t status;
};

struct Reply {
    std::int32_t size; // bytes, the NUL included when terminated
    char bytes[SIMCTL_REPLY_SIZE];
};

// The loads of one library file by one process.
struct Load {
    char name[kNameSize]; // empty while the slot is free
    std::int32_t process;
    std::int32_t count;
};

// One link of the simulated PLC link library and the PLC behind it (plc/cvdll1rz1.h).
constexpr int kPlcLinks = 8;
constexpr int kDataRegisters = 8192;
constexpr int kLinkRegisters = 4096;
constexpr int kDownloadSize = 260; // the name of the last download, NUL included

struct PlcLink {
    LockWord lock; // guards the rest; one per link, so links do not contend
    std::int32_t open;
    std::int32_t running;
    std::int32_t unit;
    std::int32_t protocol;
    std::int32_t timeout;
    std::int32_t retries;
    char download[kDownloadSize];
    std::uint16_t data[kDataRegisters]; // area 0
    std::uint16_t link[kLinkRegisters]; // area 1
};

struct Line {
    std::uint32_t offset; // into the arena
    std::uint32_t length;
};

struct State {
    std::uint32_t magic; // written last when the file is set up
    std::uint32_t version;
    std::uint32_t size; // sizeof(State)
    LockWord lock;      // guards everything below that is not atomic itself
    std::atomic<std::int32_t> recording;
    std::atomic<std::int32_t> scripted; // statuses plus replies queued
    std::atomic<std::int32_t> armed;    // delays plus crashes set
    std::int32_t dropped;
    std::int32_t lines; // journal lines held
    std::uint32_t arena_used;
    std::int32_t reply_head;
    std::int32_t reply_count;
    Entry entries[kEntries];
    Reply replies[kReplyQueue];
    Load loads[kLoads];
    PlcLink plc[kPlcLinks]; // zeroed when the first load of the PLC link library appears
    Line line[SIMCTL_JOURNAL_LIMIT];
    char arena[kArenaSize];
    std::int32_t replay_next[kEntries];        // the calls each replayed entry point received
    std::int32_t replay_generation;            // counts the resets that rewound the replay
    std::uint32_t replayed[kReplayCalls / 32]; // one bit per recorded call, set once answered
};

// Pinned so that an i386 and an x86-64 build agree on every member.
static_assert(sizeof(Entry) == 1084, "Entry layout");
static_assert(sizeof(Reply) == 4100, "Reply layout");
static_assert(sizeof(Load) == 40, "Load layout");
static_assert(sizeof(PlcLink) == 24864 && offsetof(PlcLink, data) == 288, "PlcLink layout");
static_assert(offsetof(State, lock) == 12, "State layout");
static_assert(offsetof(State, entries) == 48, "State layout");
static_assert(offsetof(State, replies) == 48 + 1084 * kEntries, "State layout");
static_assert(offsetof(State, loads) == offsetof(State, replies) + 4100 * kReplyQueue,
              "State layout");
static_assert(offsetof(State, plc) == offsetof(State, loads) + 40 * kLoads, "State layout");
static_assert(offsetof(State, line) == offsetof(State, plc) + 24864 * kPlcLinks, "State layout");
static_assert(offsetof(State, arena) == offsetof(State, line) + 8 * SIMCTL_JOURNAL_LIMIT,
              "State layout");
static_assert(offsetof(State, replay_next) == offsetof(State, arena) + kArenaSize, "State layout");
static_assert(offsetof(State, replayed) == offsetof(State, replay_next) + 4 * kEntries + 4,
              "State layout");
static_assert(sizeof(State) == offsetof(State, replayed) + kReplayCalls / 8, "State layout");
static_assert(alignof(State) == 4, "State alignment");

// The state of this process: the shared file's when MORLANE_SIMCTL_STATE names one that could be
// mapped, else private memory.
State& state();

// While replaying, the answer to the calling thread's current call: its recorded status, its area
// filled as recorded. False when there is none.
bool replay_answer(const char* entry, int& status);

// The file name whose first load resets the PLCs.
constexpr const char* kPlcFile = "CVDLL1RZ1.dll";

} // namespace simstate

// This process's id, as the locks record their holder. Kept by libsimctl, which is never
// unloaded: getpid() is a system call, and every simulated call takes a lock.
extern "C" SIMCTL_API std::int32_t simctl_process_id(void);

namespace simstate {

inline std::int32_t process_id() {
    return simctl_process_id();
}

inline bool process_gone(std::int32_t id) {
#if defined(_WIN32)
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    if (process == nullptr)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    bool gone = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return gone;
#else
    if (kill(static_cast<pid_t>(id), 0) != 0) {
        return errno == ESRCH;
    }
    // A process that has exited but is not yet reaped (a crashed host its bridge has not waited
    // for) still answers kill: its state in /proc says it is gone.
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(id));
    std::FILE* stat = std::fopen(path, "r");
    if (stat == nullptr) {
        return false;
    }
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    const char* end = read ? std::strrchr(line, ')') : nullptr;
    return end != nullptr && (end[1] == ' ' && (end[2] == 'Z' || end[2] == 'X'));
#endif
}

// A spinlock that yields: a process-shared mutex cannot be shared between an i386 and an x86-64
// process, a lock-free atomic word can. Critical sections are short copies, never a sleep.
inline void lock(LockWord& word) {
    const std::int32_t self = process_id();
    for (unsigned tries = 1;; ++tries) {
        std::int32_t holder = 0;
        if (word.compare_exchange_weak(holder, self, std::memory_order_acquire,
                                       std::memory_order_relaxed))
            return;
        // A process that crashed while holding the lock would otherwise stop every other one.
        if (tries % 4096 == 0 && holder != 0 && holder != self && process_gone(holder))
            word.compare_exchange_strong(holder, 0, std::memory_order_relaxed);
#if defined(_WIN32)
        Sleep(0);
#else
        sched_yield();
#endif
    }
}

inline void unlock(LockWord& word) {
    word.store(0, std::memory_order_release);
}

class Guard {
  public:
    explicit Guard(LockWord& word) : word_(word) { lock(word_); }
    ~Guard() { unlock(word_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

  private:
    LockWord& word_;
};

} // namespace simstate

// The simulated PLCs, for the PLC link library: kPlcLinks links in a row.
extern "C" SIMCTL_API simstate::PlcLink* simctl_plc_state(void);

#endif
