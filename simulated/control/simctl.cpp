#include "simctl.h"

#include "control/state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#endif

namespace simstate {

namespace {

constexpr std::uint32_t kSize = sizeof(State);

// Runs on memory that is all zeros; everything else starts at zero.
void initialise(State& s) {
    s.version = kVersion;
    s.size = kSize;
    s.recording.store(1);
    std::atomic_thread_fence(std::memory_order_release);
    s.magic = kMagic;
}

bool usable(const State& s) {
    return s.magic == kMagic && s.version == kVersion && s.size == kSize;
}

State* private_state() {
#if defined(_WIN32)
    void* memory = VirtualAlloc(nullptr, kSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    void* memory = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        memory = nullptr;
#endif
    if (memory == nullptr) {
        std::fprintf(stderr, "simctl: cannot allocate %u bytes of state\n", kSize);
        std::abort();
    }
    State* s = new (memory) State;
    initialise(*s);
    return s;
}

void complain(const char* path, const char* why) {
    std::fprintf(stderr, "simctl: MORLANE_SIMCTL_STATE %s: %s; the state stays private\n", path,
                 why);
}

// Maps the file, sizing and setting it up first when it is new. The file lock makes that happen
// once even when two processes start at the same moment; the magic word, written last, tells a
// set-up file from a fresh or foreign one.
State* shared_state(const char* path) {
#if defined(_WIN32)
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        complain(path, "cannot open");
        return nullptr;
    }
    // The lock covers a byte far beyond the end, so it never stands in the way of the mapping.
    OVERLAPPED at = {};
    at.OffsetHigh = 1;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
        CloseHandle(file);
        complain(path, "cannot lock");
        return nullptr;
    }
    State* s = nullptr;
    const char* why = nullptr;
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    bool fresh = size.QuadPart == 0;
    if (size.QuadPart < kSize) {
        LARGE_INTEGER end = {};
        end.QuadPart = kSize;
        if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file))
            why = "cannot size";
    }
    if (why == nullptr) {
        HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, kSize, nullptr);
        if (mapping != nullptr) {
            s = static_cast<State*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kSize));
            CloseHandle(mapping);
        }
        if (s == nullptr)
            why = "cannot map";
    }
#else
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        complain(path, "cannot open");
        return nullptr;
    }
    if (flock(fd, LOCK_EX) != 0) {
        close(fd);
        complain(path, "cannot lock");
        return nullptr;
    }
    State* s = nullptr;
    const char* why = nullptr;
    struct stat info = {};
    fstat(fd, &info);
    bool fresh = info.st_size == 0;
    if (info.st_size < static_cast<off_t>(kSize) && ftruncate(fd, kSize) != 0)
        why = "cannot size";
    if (why == nullptr) {
        void* memory = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (memory == MAP_FAILED)
            why = "cannot map";
        else
            s = static_cast<State*>(memory);
    }
#endif
    if (s != nullptr && !usable(*s)) {
        // Only a file that was empty is ours to set up; anything else belongs to someone else.
        if (fresh || (s->magic == 0 && s->version == 0 && s->size == 0)) {
            initialise(*new (s) State);
        } else {
            why = "holds something else";
#if defined(_WIN32)
            UnmapViewOfFile(s);
#else
            munmap(s, kSize);
#endif
            s = nullptr;
        }
    }
#if defined(_WIN32)
    UnlockFileEx(file, 0, 1, 0, &at);
    CloseHandle(file);
#else
    flock(fd, LOCK_UN);
    close(fd);
#endif
    if (why != nullptr)
        complain(path, why);
    return s;
}

State* open_state() {
#if defined(_WIN32)
    // Stay loaded for the life of the process, like the state (the Linux build links with
    // -z nodelete): unloaded and loaded again with the stand-ins, simctl would map a new state
    // each time and the old one would never be given back.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&open_state), &self);
#endif
    const char* path = std::getenv("MORLANE_SIMCTL_STATE");
    State* s = path != nullptr && *path != '\0' ? shared_state(path) : nullptr;
    return s != nullptr ? s : private_state();
}

} // namespace

// The mapping is kept for the life of the process: a thread of a process that is exiting may
// still make a call after simctl's static objects are gone.
State& state() {
    static State* const s = open_state();
    return *s;
}

} // namespace simstate

using namespace simstate;

namespace {

bool copy_name(char (&to)[kNameSize], const char* name) {
    size_t length = std::strlen(name);
    if (length == 0 || length >= kNameSize)
        return false;
    std::memcpy(to, name, length + 1);
    return true;
}

// The entry named `name`, or null; with `add`, a free slot is taken for a name not seen yet.
// Called with the lock held.
Entry* find_entry(State& s, const char* name, bool add) {
    Entry* free = nullptr;
    for (Entry& entry : s.entries) {
        if (entry.name[0] == '\0') {
            if (free == nullptr)
                free = &entry;
        } else if (std::strncmp(entry.name, name, kNameSize) == 0) {
            return &entry;
        }
    }
    if (!add)
        return nullptr;
    if (free == nullptr || !copy_name(free->name, name)) {
        std::fprintf(stderr, "simctl: cannot keep a script for entry \"%s\", ignored\n", name);
        return nullptr;
    }
    return free;
}

// Loads of `file` by processes that still run; the slots of processes that died are freed, so a
// library that went down with its process no longer counts. Called with the lock held.
int live_loads(State& s, const char* file) {
    int total = 0;
    for (Load& load : s.loads) {
        if (load.name[0] == '\0')
            continue;
        if (load.process != process_id() && process_gone(load.process)) {
            std::memset(&load, 0, sizeof load);
            continue;
        }
        if (std::strncmp(load.name, file, kNameSize) == 0)
            total += load.count;
    }
    return total;
}

// The registers first..first+count-1 of area, or null when they do not all exist.
std::uint16_t* plc_registers(PlcLink& plc, int area, int first, int count) {
    std::uint16_t* regs = area == 0 ? plc.data : area == 1 ? plc.link : nullptr;
    long long size = area == 0 ? kDataRegisters : kLinkRegisters;
    if (regs == nullptr || first < 0 || count < 0 || first + static_cast<long long>(count) > size)
        return nullptr;
    return regs + first;
}

[[noreturn]] void crash() {
    std::fflush(stdout);
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), 0xC0000005u);
#else
    // The default action, not whatever handler the process installed: the point is to die the way
    // a faulting library takes its process down.
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
#endif
    std::abort();
}

} // namespace

extern "C" {

void simctl_record(const char* line) {
    State& s = state();
    if (s.recording.load(std::memory_order_relaxed) == 0 || line == nullptr)
        return;
    size_t length = std::strlen(line);
    Guard guard(s.lock);
    if (s.lines < SIMCTL_JOURNAL_LIMIT && length <= kArenaSize - s.arena_used) {
        std::memcpy(s.arena + s.arena_used, line, length);
        s.line[s.lines] = Line{s.arena_used, static_cast<std::uint32_t>(length)};
        s.arena_used += static_cast<std::uint32_t>(length);
        ++s.lines;
    } else {
        ++s.dropped;
    }
}

int simctl_recording(void) {
    return state().recording.load(std::memory_order_relaxed) != 0 ? 1 : 0;
}

void simctl_set_recording(int on) {
    state().recording.store(on != 0 ? 1 : 0);
}

int simctl_journal_count(void) {
    State& s = state();
    Guard guard(s.lock);
    return s.lines;
}

int simctl_journal_dropped(void) {
    State& s = state();
    Guard guard(s.lock);
    return s.dropped;
}

int simctl_journal_line(int index, char* buf, int cap) {
    State& s = state();
    Guard guard(s.lock);
    if (index < 0 || index >= s.lines)
        return -1;
    const Line& line = s.line[index];
    if (buf != nullptr && cap > 0) {
        size_t n = std::min<size_t>(line.length, static_cast<size_t>(cap) - 1);
        std::memcpy(buf, s.arena + line.offset, n);
        buf[n] = '\0';
    }
    return static_cast<int>(line.length);
}

void simctl_script_status(const char* entry, int status) {
    if (entry == nullptr)
        return;
    State& s = state();
    Guard guard(s.lock);
    Entry* e = find_entry(s, entry, true);
    if (e == nullptr)
        return;
    if (e->count == kStatusQueue) {
        std::fprintf(stderr, "simctl: more than %d statuses queued for %s, ignored\n", kStatusQueue,
                     entry);
        return;
    }
    e->statuses[(e->head + e->count) % kStatusQueue] = status;
    ++e->count;
    ++s.scripted;
}

int simctl_take_status(const char* entry, int own_status) {
    if (replay_answer(entry, own_status))
        return own_status;
    State& s = state();
    if (s.scripted.load() == 0 || entry == nullptr)
        return own_status;
    Guard guard(s.lock);
    Entry* e = find_entry(s, entry, false);
    if (e == nullptr || (e->count == 0 && e->fixed == 0))
        return own_status;
    if (e->count == 0)
        return e->status;
    int status = e->statuses[e->head];
    e->head = (e->head + 1) % kStatusQueue;
    --e->count;
    --s.scripted;
    return status;
}

void simctl_script_reply(const char* bytes, int len, int terminate) {
    int limit = terminate ? SIMCTL_REPLY_SIZE - 1 : SIMCTL_REPLY_SIZE;
    if (len < 0 || len > limit || (bytes == nullptr && len > 0)) {
        std::fprintf(stderr, "simctl_script_reply: length %d out of range 0..%d, ignored\n", len,
                     limit);
        return;
    }
    State& s = state();
    Guard guard(s.lock);
    if (s.reply_count == kReplyQueue) {
        std::fprintf(stderr, "simctl_script_reply: more than %d replies queued, ignored\n",
                     kReplyQueue);
        return;
    }
    Reply& reply = s.replies[(s.reply_head + s.reply_count) % kReplyQueue];
    if (len > 0)
        std::memcpy(reply.bytes, bytes, static_cast<size_t>(len));
    if (terminate)
        reply.bytes[len] = '\0';
    reply.size = len + (terminate ? 1 : 0);
    ++s.reply_count;
    ++s.scripted;
}

int simctl_take_reply(char* area) {
    State& s = state();
    if (s.scripted.load() == 0 || area == nullptr)
        return 0;
    Guard guard(s.lock);
    if (s.reply_count == 0)
        return 0;
    const Reply& reply = s.replies[s.reply_head];
    std::memcpy(area, reply.bytes, static_cast<size_t>(reply.size));
    s.reply_head = (s.reply_head + 1) % kReplyQueue;
    --s.reply_count;
    --s.scripted;
    return 1;
}

void simctl_set_delay(const char* entry, int milliseconds) {
    if (entry == nullptr)
        return;
    State& s = state();
    Guard guard(s.lock);
    Entry* e = find_entry(s, entry, milliseconds > 0);
    if (e == nullptr)
        return;
    int before = e->delay;
    e->delay = std::max(milliseconds, 0);
    e->delay_calls = -1;
    s.armed += (e->delay > 0 ? 1 : 0) - (before > 0 ? 1 : 0);
}

int simctl_script_fault(const char* entry, int kind, int value, int calls) {
    const bool known =
        kind == SIMCTL_FAULT_STATUS || kind == SIMCTL_FAULT_DELAY || kind == SIMCTL_FAULT_CRASH;
    if (entry == nullptr || !known || calls < 0 || (kind == SIMCTL_FAULT_DELAY && value <= 0)) {
        std::fprintf(stderr, "simctl: fault %d (%d, %d calls) for %s cannot be scripted\n", kind,
                     value, calls, entry != nullptr ? entry : "no entry point");
        return -1;
    }
    State& s = state();
    Guard guard(s.lock);
    Entry* e = find_entry(s, entry, true);
    if (e == nullptr)
        return -1;
    if (kind == SIMCTL_FAULT_STATUS && calls == 0) {
        s.scripted += e->fixed == 0 ? 1 : 0;
        e->fixed = 1;
        e->status = value;
    } else if (kind == SIMCTL_FAULT_STATUS) {
        if (e->count + calls > kStatusQueue) {
            std::fprintf(stderr, "simctl: more than %d statuses queued for %s, ignored\n",
                         kStatusQueue, entry);
            return -1;
        }
        for (int i = 0; i < calls; ++i)
            e->statuses[(e->head + e->count++) % kStatusQueue] = value;
        s.scripted += calls;
    } else if (kind == SIMCTL_FAULT_DELAY) {
        s.armed += e->delay > 0 ? 0 : 1;
        e->delay = value;
        e->delay_calls = calls > 0 ? calls : -1;
    } else {
        s.armed += e->crash != 0 ? 0 : 1;
        e->crash = calls > 0 ? calls : -1;
    }
    return 0;
}

void simctl_clear_faults(const char* entry) {
    if (entry == nullptr)
        return;
    State& s = state();
    Guard guard(s.lock);
    Entry* e = find_entry(s, entry, false);
    if (e == nullptr)
        return;
    s.scripted -= e->count + (e->fixed != 0 ? 1 : 0);
    s.armed -= (e->delay > 0 ? 1 : 0) + (e->crash != 0 ? 1 : 0);
    e->count = e->fixed = e->delay = e->crash = 0;
}

void simctl_script_crash(const char* entry) {
    if (entry == nullptr)
        return;
    State& s = state();
    Guard guard(s.lock);
    Entry* e = find_entry(s, entry, true);
    if (e != nullptr && e->crash == 0) {
        e->crash = 1;
        ++s.armed;
    }
}

void simctl_enter(const char* entry) {
    State& s = state();
    if (s.armed.load() == 0 || entry == nullptr)
        return;
    int delay = 0;
    bool fall = false;
    {
        Guard guard(s.lock);
        Entry* e = find_entry(s, entry, false);
        if (e == nullptr)
            return;
        if (e->crash != 0) {
            if (e->crash > 0 && --e->crash == 0)
                --s.armed;
            fall = true;
            // This process's loads end with it now, not once the system has seen it gone: a
            // fresh load right after the crash must find the PLCs as a first load does.
            const std::int32_t self = process_id();
            for (Load& load : s.loads) {
                if (load.process == self)
                    std::memset(&load, 0, sizeof load);
            }
        }
        delay = e->delay;
        if (delay > 0 && e->delay_calls > 0 && --e->delay_calls == 0) {
            e->delay = 0;
            --s.armed;
        }
    }
    // Only now that the lock is free: the other processes sharing the state go on without us.
    if (fall)
        crash();
    if (delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
}

int simctl_count_load(const char* file, int delta) {
    if (file == nullptr)
        return 0;
    State& s = state();
    Guard guard(s.lock);
    const std::int32_t self = process_id();
    Load* mine = nullptr;
    Load* free = nullptr;
    for (Load& load : s.loads) {
        if (load.name[0] == '\0') {
            if (free == nullptr)
                free = &load;
        } else if (load.process == self && std::strncmp(load.name, file, kNameSize) == 0) {
            mine = &load;
        }
    }
    // The PLCs belong to the PLC link library: a first load finds them as a fresh load of the
    // library would, closed with all registers 0.
    if (delta > 0 && std::strcmp(file, kPlcFile) == 0 && live_loads(s, file) == 0) {
        for (PlcLink& link : s.plc) {
            Guard link_guard(link.lock);
            std::memset(reinterpret_cast<char*>(&link) + sizeof link.lock, 0,
                        sizeof link - sizeof link.lock);
        }
    }
    if (mine == nullptr && delta > 0) {
        if (free == nullptr || !copy_name(free->name, file)) {
            std::fprintf(stderr, "simctl: cannot count loads of \"%s\", ignored\n", file);
            return live_loads(s, file);
        }
        mine = free;
        mine->process = self;
        mine->count = 0;
    }
    if (mine != nullptr) {
        mine->count = std::max(mine->count + delta, 0);
        if (mine->count == 0)
            std::memset(mine, 0, sizeof *mine);
    }
    return live_loads(s, file);
}

int simctl_loaded(const char* file) {
    if (file == nullptr)
        return 0;
    State& s = state();
    Guard guard(s.lock);
    return live_loads(s, file);
}

#if !defined(_WIN32)
namespace {
std::atomic<std::int32_t> kept_process_id{0};
void forget_process_id() {
    kept_process_id.store(0, std::memory_order_relaxed); // a forked child has an id of its own
}
} // namespace
#endif

std::int32_t simctl_process_id(void) {
#if defined(_WIN32)
    return static_cast<std::int32_t>(GetCurrentProcessId()); // read from memory, no system call
#else
    std::int32_t id = kept_process_id.load(std::memory_order_relaxed);
    if (id == 0) {
        static const int registered = pthread_atfork(nullptr, nullptr, forget_process_id);
        (void)registered;
        id = static_cast<std::int32_t>(getpid());
        kept_process_id.store(id, std::memory_order_relaxed);
    }
    return id;
#endif
}

PlcLink* simctl_plc_state(void) {
    return state().plc;
}

int simctl_plc_link(int link, int* open, int* unit, int* protocol, int* running) {
    if (link < 0 || link >= kPlcLinks)
        return 1;
    PlcLink& plc = state().plc[link];
    Guard guard(plc.lock);
    if (open != nullptr)
        *open = plc.open;
    if (unit != nullptr)
        *unit = plc.unit;
    if (protocol != nullptr)
        *protocol = plc.protocol;
    if (running != nullptr)
        *running = plc.running;
    return 0;
}

int simctl_plc_download(int link, char* buf, int cap) {
    if (link < 0 || link >= kPlcLinks)
        return -1;
    PlcLink& plc = state().plc[link];
    Guard guard(plc.lock);
    size_t length = strnlen(plc.download, sizeof plc.download - 1);
    if (buf != nullptr && cap > 0) {
        size_t n = std::min(length, static_cast<size_t>(cap) - 1);
        std::memcpy(buf, plc.download, n);
        buf[n] = '\0';
    }
    return static_cast<int>(length);
}

int simctl_plc_registers(int link, int area, int first, int count, unsigned short* out) {
    if (link < 0 || link >= kPlcLinks || (out == nullptr && count > 0))
        return 1;
    PlcLink& plc = state().plc[link];
    Guard guard(plc.lock);
    const std::uint16_t* regs = plc_registers(plc, area, first, count);
    if (regs == nullptr)
        return 1;
    if (count > 0)
        std::memcpy(out, regs, sizeof *regs * static_cast<size_t>(count));
    return 0;
}

int simctl_plc_set_register(int link, int area, int address, int value) {
    if (link < 0 || link >= kPlcLinks || value < 0 || value > 0xFFFF)
        return 1;
    PlcLink& plc = state().plc[link];
    Guard guard(plc.lock);
    std::uint16_t* reg = plc_registers(plc, area, address, 1);
    if (reg == nullptr)
        return 1;
    *reg = static_cast<std::uint16_t>(value);
    return 0;
}

void simctl_reset(void) {
    State& s = state();
    Guard guard(s.lock);
    s.lines = 0;
    s.arena_used = 0;
    s.dropped = 0;
    std::memset(s.entries, 0, sizeof s.entries);
    s.reply_head = 0;
    s.reply_count = 0;
    s.scripted = 0;
    s.armed = 0;
    std::memset(s.replay_next, 0, sizeof s.replay_next);
    std::memset(s.replayed, 0, sizeof s.replayed);
    ++s.replay_generation;
    s.recording = 1;
}

} // extern "C"
