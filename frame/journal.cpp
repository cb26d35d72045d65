// Each line is one write, made by the calling thread itself to a file opened for appending: lines
// of concurrent calls never mix, and none waits in a buffer, so a crash loses at most the calls in
// flight.
#include "frame/journal.h"

#include "frame/diagnostics.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace morlane::journal {
namespace {

#if defined(_WIN32)
// Appending data only, so that each write lands whole at the end, whoever else writes the file.
// No FILE_SHARE_DELETE: nobody deletes or renames it under the bridge. Only a file on a disk: a
// pipe or a device could hold a write up.
int open_file(const char* name) noexcept {
    const HANDLE file = CreateFileA(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return -1;
    }
    return file == INVALID_HANDLE_VALUE
               ? -1
               : _open_osfhandle(reinterpret_cast<std::intptr_t>(file), _O_BINARY);
}

void cut_to(int fd, std::uint64_t bytes) noexcept {
    _chsize_s(fd, static_cast<long long>(bytes));
}

// There a file open here cannot be deleted or replaced.
bool moved_away(int, const char*) noexcept {
    return false;
}
#else
// A regular file only, opened without waiting (a FIFO with no reader would block the open, and
// with it the JVM loading the bridge), and not through a symbolic link, which rotation would
// replace by a file.
int open_file(const char* name) noexcept {
    const int fd =
        open(name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0600);
    struct stat status {};
    if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
                    fcntl(fd, F_SETFL, O_APPEND) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

void cut_to(int fd, std::uint64_t bytes) noexcept {
    [[maybe_unused]] const int done = ftruncate(fd, static_cast<off_t>(bytes));
}

// Whether the journal's name no longer names the file open: deleted, or replaced (by a tool that
// rotates logs, say).
bool moved_away(int fd, const char* name) noexcept {
    struct stat named {
    }, open{};
    return fstat(fd, &open) == 0 &&
           (stat(name, &named) != 0 || named.st_ino != open.st_ino || named.st_dev != open.st_dev);
}
#endif

// Read once, as the bridge is loaded. Every line takes the mutex for its one write: the system
// appends one write at a time anyway, and a rotation must not close the file under a write.
std::mutex mutex;
char name[4096] = {};
const char* const from_environment = std::getenv("MORLANE_JOURNAL");
const char* const mib = std::getenv("MORLANE_JOURNAL_MIB");
const std::uint64_t limit =
    static_cast<std::uint64_t>(mib != nullptr && std::atoi(mib) > 0 ? std::atoi(mib) : 64) << 20;
int file = -1;
std::uint64_t size = 0;
bool started = false;                           // a journal was asked for and opened once
std::chrono::steady_clock::time_point looked{}; // when the name was last checked against the file
bool complained = false;                        // a failure was reported on stderr

// Under mutex.
bool open_journal(const char* path) noexcept {
    if (started || path == nullptr || path[0] == '\0' || std::strlen(path) >= sizeof name - 2) {
        return false;
    }
    file = open_file(path);
    if (file < 0) {
        return false;
    }
    std::strcpy(name, path);
    size = static_cast<std::uint64_t>(lseek(file, 0, SEEK_END));
    started = true;
    return true;
}

// Under mutex: once, so that a journal that stopped working does not fill stderr.
void complain(const char* what) noexcept {
    if (!complained) {
        std::fprintf(stderr, "morlane: the journal %s %s: lines are lost until it can be\n", name,
                     what);
        complained = true;
    }
}

// Under mutex: the file begins anew under its name, the old one kept as <file>.1 (or, when it
// cannot be renamed, cut to nothing, so that the bound holds).
void rotate() noexcept {
    char older[sizeof name + 2];
    std::snprintf(older, sizeof older, "%s.1", name);
    close(file);
    std::remove(older); // Windows renames onto no existing file
    const bool renamed = std::rename(name, older) == 0;
    file = open_file(name);
    size = 0;
    if (!renamed) {
        complain("cannot be renamed to its .1");
        if (file >= 0) {
            cut_to(file, 0);
        }
    }
}

// A line is appended whole or not at all: a write cut short (a full disk) is taken back.
void put(const char* text, std::size_t length) noexcept {
    const std::lock_guard<std::mutex> lock(mutex);
    const auto now = std::chrono::steady_clock::now();
    if (file >= 0 && now - looked >= std::chrono::seconds(1)) {
        looked = now;
        if (moved_away(file, name)) {
            close(file);
            file = -1;
        }
    }
    if (file < 0) {
        file = open_file(name); // deleted, replaced, or not reopened after a rotation
        size = file >= 0 ? static_cast<std::uint64_t>(lseek(file, 0, SEEK_END)) : 0;
    }
    if (file >= 0 && size > 0 && size + length > limit) {
        rotate();
    }
    if (file < 0) {
        complain("cannot be opened");
        return;
    }
    const auto wrote = write(file, text, static_cast<unsigned>(length));
    if (wrote >= 0 && static_cast<std::size_t>(wrote) == length) {
        size += length;
        return;
    }
    if (wrote > 0) {
        cut_to(file, size); // the file's own end: one process writes it
    }
    complain("is full or failing");
}

bool start() noexcept {
    const std::lock_guard<std::mutex> lock(mutex);
    if (!open_journal(from_environment) && from_environment != nullptr &&
        from_environment[0] != '\0') {
        std::fprintf(stderr, "morlane: MORLANE_JOURNAL %s cannot be opened: no journal\n",
                     from_environment);
    }
    return started;
}

constexpr const char* kKinds[] = {"NONE",    "LIBRARY_FAILED", "NOT_LOADED",      "ENTRY_MISSING",
                                  "REFUSED", "HOST_LOST",      "DEADLINE_PASSED", "HOST_BUSY"};

// Per thread, with nothing to do when the thread ends: its text lives from begin to end.
struct Line {
    Entry entry;
    std::chrono::system_clock::time_point began;
    long long took_ns; // -1: not called
    char* text;        // on the heap: a line is as long as its call's words and texts
    std::size_t size;
    std::size_t capacity;
    bool lost;  // no memory for it
    bool begun; // between begin and end: a journal started mid-operation has no line for it

    void add(const char* more, std::size_t length) noexcept {
        if (!lost && size + length > capacity) {
            capacity = 2 * (size + length) + 256;
            char* grown = static_cast<char*>(std::realloc(text, capacity));
            lost = grown == nullptr;
            text = lost ? text : grown;
        }
        if (!lost) {
            std::memcpy(text + size, more, length);
            size += length;
        }
    }

    // A piece shorter than 160 bytes: a number, an escaped byte, the head of the line.
    void addf(const char* format, ...) noexcept {
        char piece[160];
        std::va_list arguments;
        va_start(arguments, format);
        const int length = std::vsnprintf(piece, sizeof piece, format, arguments);
        va_end(arguments);
        add(piece, length > 0 ? std::min(static_cast<std::size_t>(length), sizeof piece - 1) : 0);
    }

    void add_text(const char* bytes, std::size_t length) noexcept {
        add(" \"", 2);
        for (std::size_t i = 0; i < length; ++i) {
            const auto byte = static_cast<unsigned char>(bytes[i]);
            const bool plain = byte > 0x20 && byte < 0x7f && byte != '"' && byte != '\\';
            plain ? add(bytes + i, 1) : addf("\\x%02x", byte);
        }
        add("\"", 1);
    }

    void add_words(const Word* words, std::int32_t count) noexcept {
        add(" [", 2);
        for (std::int32_t i = 0; i < count; ++i) {
            addf(i > 0 ? ",%u" : "%u", words[i]);
        }
        add("]", 1);
    }

    void head(const char* mode) noexcept {
        using namespace std::chrono;
        const auto us = duration_cast<microseconds>(began.time_since_epoch()).count();
        const auto seconds = static_cast<std::time_t>(us / 1000000);
        std::tm utc{};
#if defined(_WIN32)
        utc = *std::gmtime(&seconds); // a buffer per thread there
        const unsigned long thread = GetCurrentThreadId();
#else
        gmtime_r(&seconds, &utc);
        const auto thread = static_cast<unsigned long>(syscall(SYS_gettid));
#endif
        addf("%04d-%02d-%02dT%02d:%02d:%02d.%06dZ 0x%lx %s %s", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(us % 1000000),
             thread, mode, entry_name(entry));
    }
};

thread_local Line current;

} // namespace

std::atomic<bool> active{start()};

Started start_journal(const char* path) noexcept {
    const std::lock_guard<std::mutex> lock(mutex);
    if (started) {
        return Started::Already;
    }
    if (!open_journal(path)) {
        return Started::Failed;
    }
    active.store(true, std::memory_order_relaxed);
    return Started::Now;
}

void begin(Entry entry) noexcept {
    current = Line{entry, std::chrono::system_clock::now(), -1, nullptr, 0, 0, false, true};
}

void end() noexcept {
    Line& line = current;
    if (line.size == 0) {
        line.head("-");
        line.add(" -> -", 5);
    }
    line.addf(" %s", kKinds[static_cast<int>(recorded_failure())]);
    line.took_ns < 0 ? line.add(" -\n", 3) : line.addf(" %lldns\n", line.took_ns);
    put(line.lost ? "# a line lost: no memory for it\n" : line.text, line.lost ? 32 : line.size);
    std::free(line.text);
    line = Line{};
}

void made(const Call& call, bool hosted, bool called, int status,
          std::chrono::steady_clock::time_point began, unsigned texts_page) noexcept {
    Line& line = current;
    if (!line.begun) {
        return;
    }
    line.took_ns = began != std::chrono::steady_clock::time_point{}
                       ? std::chrono::nanoseconds(std::chrono::steady_clock::now() - began).count()
                       : -1;
    const Shape& s = shape(line.entry);
    char mode[32];
    std::snprintf(mode, sizeof mode, texts_page != 0 ? "%s/cp%u" : "%s",
                  hosted ? "hosted" : "in-process", texts_page);
    line.head(mode);
    for (int i = 0; i < s.ints; ++i) {
        line.addf(" %d", call.args[i]);
    }
    for (int i = 0; i < s.texts; ++i) {
        line.add_text(call.texts[i], std::strlen(call.texts[i]));
    }
    if (s.words == WordFlow::ToLibrary) {
        line.add_words(call.words, call.count);
    }
    if (s.words != WordFlow::None) {
        line.addf(" %d", call.count);
    }
    line.addf(called ? " -> %d" : " -> -", status);
    if (called && s.words == WordFlow::FromLibrary) {
        line.add_words(call.words, call.count);
    }
    if (called && s.reply) { // a reply with no NUL in its area is the whole area
        line.add_text(call.reply,
                      static_cast<std::size_t>(
                          std::find(call.reply, call.reply + kReplyBytes, '\0') - call.reply));
    }
}

} // namespace morlane::journal
