// The replay of a morlane journal (simctl.h). Each process that replays reads the recording
// itself; which recorded calls have been replayed lives in the state, which they may share.
#include "simctl.h"

#include "control/state.h"
#include "corvane/cvdalib.h"
#include "plc/cvdll1rz1.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Longer than any line a call within the host's limits makes (4 Mi words of up to six bytes);
// a longer one is skipped rather than held.
constexpr size_t kMostLineBytes = 32u << 20;

struct Recorded {
    std::string line; // the call as simctl journals it, without its output areas' "*"
    int status;
    std::string back; // a RegRead's words, two bytes each; a reply with its NUL
};

struct Recording {
    std::vector<Recorded> calls;                                // in the file's order
    std::map<std::string, std::vector<std::uint32_t>> by_entry; // positions in calls
    std::unordered_map<std::string, std::vector<std::uint32_t>> by_call;
};

// A text as the journal quotes it: every byte not written as itself is \xHH.
std::string unquote(const std::string& text) {
    std::string bytes;
    for (size_t i = 1; i + 1 < text.size(); i += text[i] == '\\' ? 4 : 1)
        bytes += text[i] == '\\'
                     ? static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16))
                     : text[i];
    return bytes;
}

// A journal line of a call that reached the library (docs/journal.md):
//   <time> <thread> <mode> <entry> <argument>... -> <status> [<back>] <kind> <duration>
bool parse(const std::string& text, std::string& entry, Recorded& call) {
    std::istringstream in(text);
    const std::vector<std::string> t{std::istream_iterator<std::string>(in), {}};
    const size_t arrow = static_cast<size_t>(std::find(t.begin(), t.end(), "->") - t.begin());
    if (arrow < 4 || arrow + 4 > t.size() || arrow + 5 < t.size() || t[arrow + 1] == "-")
        return false;
    entry = call.line = t[3];
    for (size_t i = 4; i < arrow; ++i) {
        std::string hex = " x";
        for (unsigned char byte : unquote(t[i]))
            hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
        call.line += t[i][0] == '"' ? hex : ' ' + t[i];
    }
    call.status = std::atoi(t[arrow + 1].c_str());
    const std::string back = arrow + 5 == t.size() ? t[arrow + 2] : "[]";
    call.back = back[0] == '"' ? unquote(back) + '\0' : "";
    std::istringstream words(back.substr(1));
    for (unsigned word; back[0] == '[' && words >> word; words.ignore(1))
        call.back += {static_cast<char>(word & 0xff), static_cast<char>(word >> 8)};
    return true;
}

// Only a regular file: a FIFO or a device named by mistake would block the program's first
// simulated call, or never end. Opened without blocking, so that a FIFO is seen for what it is.
std::FILE* open_regular(const char* path) {
#if defined(_WIN32)
    std::FILE* file = std::fopen(path, "rb");
    if (file != nullptr &&
        GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
        std::fclose(file);
        std::fprintf(stderr, "simctl: MORLANE_REPLAY %s is not a regular file: no replay\n", path);
        return nullptr;
    }
#else
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        std::fprintf(stderr, "simctl: MORLANE_REPLAY %s is not a regular file: no replay\n", path);
        return nullptr;
    }
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && file == nullptr)
        ::close(fd);
#endif
    if (file == nullptr)
        std::fprintf(stderr, "simctl: MORLANE_REPLAY %s cannot be read: no replay\n", path);
    return file;
}

// The next line, without its newline; one longer than kMostLineBytes is read to its end and
// comes back empty, with `skipped` set. False at the end of the file.
bool read_line(std::FILE* in, std::string& line, bool& skipped) {
    line.clear();
    skipped = false;
    char chunk[1 << 16];
    while (std::fgets(chunk, sizeof chunk, in) != nullptr) {
        size_t length = std::strlen(chunk);
        const bool ends = length > 0 && chunk[length - 1] == '\n';
        length -= ends ? 1 : 0;
        skipped = skipped || line.size() + length > kMostLineBytes;
        if (!skipped)
            line.append(chunk, length);
        if (ends)
            break;
    }
    if (skipped)
        line.clear();
    return !std::feof(in) || !line.empty() || skipped;
}

// Read as simctl is loaded, before any simulated call, and kept for the life of the process.
const Recording* read(const char* path) {
    if (path == nullptr || *path == '\0')
        return nullptr;
    std::FILE* in = open_regular(path);
    if (in == nullptr)
        return nullptr;
    auto* recording = new Recording;
    std::string entry, line;
    Recorded call;
    int skipped = 0;
    for (bool too_long; read_line(in, line, too_long);) {
        skipped += too_long ? 1 : 0;
        if (!too_long && parse(line, entry, call)) {
            if (recording->calls.size() == simstate::kReplayCalls) {
                std::fprintf(stderr, "simctl: MORLANE_REPLAY %s: only its first %u calls replay\n",
                             path, simstate::kReplayCalls);
                break;
            }
            const auto at = static_cast<std::uint32_t>(recording->calls.size());
            recording->by_entry[entry].push_back(at);
            recording->by_call[call.line].push_back(at);
            recording->calls.push_back(call);
        }
    }
    if (skipped > 0)
        std::fprintf(stderr, "simctl: MORLANE_REPLAY %s: %d lines over %u MiB skipped\n", path,
                     skipped, static_cast<unsigned>(kMostLineBytes >> 20));
    std::fclose(in);
    return recording;
}
// Replaced by simctl_start_replay; a recording replaced is kept, as calls may still read it.
std::atomic<const Recording*> recording{read(std::getenv("MORLANE_REPLAY"))};

// Where the search for an unreplayed call may begin, per list of positions: every call before it
// is replayed. Kept by each process under the state's lock, and forgotten when a reset rewinds.
struct Hints {
    std::int32_t generation = 0;
    std::map<const std::vector<std::uint32_t>*, size_t> from;
};
Hints hints;

bool replayed(const simstate::State& s, std::uint32_t at) {
    return (s.replayed[at / 32] >> (at % 32) & 1u) != 0;
}

// The earliest call in `positions` not replayed yet, or nullptr. Under the state's lock.
const std::uint32_t* first_open(const simstate::State& s,
                                const std::vector<std::uint32_t>& positions) {
    if (hints.generation != s.replay_generation)
        hints = Hints{s.replay_generation, {}};
    size_t& from = hints.from[&positions];
    while (from < positions.size() && replayed(s, positions[from]))
        ++from;
    return from < positions.size() ? &positions[from] : nullptr;
}

// The answer to the call this thread is in, from simctl_replay to simctl_take_status.
struct Answer {
    bool pending;
    const Recorded* recorded; // nullptr: not a call recorded
    void* area;
    int size;
};
thread_local Answer answer;

} // namespace

bool simstate::replay_answer(const char* entry, int& status) {
    if (recording.load() == nullptr ||
        !answer.pending) // the thread's own storage only while replaying
        return false;
    answer.pending = false;
    status = answer.recorded != nullptr             ? answer.recorded->status
             : std::strncmp(entry, "CVDA_", 5) == 0 ? CVDA_E_REPLAY
                                                    : CVDLLRZ_E_REPLAY;
    if (answer.recorded != nullptr && answer.area != nullptr && answer.size > 0)
        std::memcpy(answer.area, answer.recorded->back.data(),
                    std::min(answer.recorded->back.size(), static_cast<size_t>(answer.size)));
    return true;
}

extern "C" {

int simctl_replaying(void) {
    return recording.load() != nullptr ? 1 : 0;
}

int simctl_start_replay(const char* path) {
    const Recording* replay = read(path);
    simstate::State& s = simstate::state();
    simstate::Guard guard(s.lock);
    std::memset(s.replay_next, 0, sizeof s.replay_next);
    std::memset(s.replayed, 0, sizeof s.replayed);
    ++s.replay_generation;
    recording.store(replay);
    return replay != nullptr || path == nullptr || *path == '\0' ? 0 : -1;
}

// Threads of the recording may have called in any interleaving, so a call is answered by the
// earliest recorded call of its entry point with the same arguments that no call took yet; the
// calls of one thread thus keep their order.
void simctl_replay(const char* line, void* area, int area_size) {
    const Recording* recording = ::recording.load();
    if (recording == nullptr || line == nullptr)
        return;
    std::string call = line; // no text holds " *": they are in hex
    for (size_t at; (at = call.find(" *")) != std::string::npos;)
        call.erase(at, 2);
    const std::string entry = call.substr(0, call.find(' '));
    const auto calls = recording->by_entry.find(entry);
    const auto index = std::distance(recording->by_entry.begin(), calls); // the same everywhere
    const Recorded* taken = nullptr;
    const Recorded* expected = nullptr; // the entry point's earliest call left, for the report
    size_t number = 0;
    if (calls != recording->by_entry.end() && index < simstate::kEntries) {
        simstate::State& s = simstate::state();
        simstate::Guard guard(s.lock);
        number = static_cast<size_t>(s.replay_next[index]++);
        const auto same = recording->by_call.find(call);
        const std::uint32_t* at =
            same != recording->by_call.end() ? first_open(s, same->second) : nullptr;
        if (at != nullptr) {
            s.replayed[*at / 32] |= 1u << (*at % 32);
            taken = &recording->calls[*at];
        } else if (const std::uint32_t* left = first_open(s, calls->second)) {
            expected = &recording->calls[*left];
        }
    }
    answer = {true, taken, area, area_size};
    if (taken != nullptr)
        return;
    const std::string report =
        "! replay: call " + std::to_string(number + 1) + " of " + entry +
        (expected != nullptr ? " differs from the recording's: " + expected->line
                             : " is not in the recording");
    simctl_record(report.c_str());
    // The program sees only its usual failure line; this says why.
    std::fprintf(stderr, "simctl: %s\n", report.c_str() + 2);
}

} // extern "C"
