// libFuzzer target: the receiving side of the host process (host/serve.cpp, host/control_posix.cpp)
// driven over real sockets, as the bridge drives it, with a fake loader whose entry points touch
// every byte they are entitled to, so that AddressSanitizer sees any wrong size.
//
// An input is a header, then records read front to back; a missing byte reads as 0.
//   byte 0     bit 0: the library fails to load (the host answers kNotLoaded and ends);
//              bit 1: the bridge is gone before the host answers (nothing else is sent)
//   bytes 1-2  little-endian mask: bit e set, entry point e is missing from the library
//   byte 3     the load failure's reason: 2*b bytes of text; 255: all 512 bytes, no NUL
// Each record is a tag byte (taken modulo 6) and its fields:
//   0 control message: u32 kind, u32 handle, u8 descriptor, u8 cut. Descriptor modulo 5: none,
//     a new call channel, a pipe's read end, a socket whose peer is closed, two new call
//     channels in one SCM_RIGHTS. The message less its last cut % 9 bytes is sent (all of them:
//     nothing at all).
//   1 raw control bytes: u8 n, then n bytes.
//   2 raw call bytes: u8 slot, u16 n, then n bytes, written to that call channel.
//   3 call request: u8 slot, the 44 bytes of a wire::Request, u8 fill, u8 cut: the request, then
//     the data its lengths announce (texts and words to the library, every byte `fill`) when all
//     of them are within the limits, less its last `cut` bytes.
//   4 end of a call channel: u8 slot; the bridge stops writing on it, the host sees end of file.
//   5 end of the control channel: the bridge stops writing on it.
// A slot is taken modulo the call channels still open for writing; with none the record does
// nothing. After the control channel ended, records send nothing on it. At most 256 records.
//
// The harness waits after each control record until the host has read it, so the host sees each
// record alone and its control loop is deterministic: whole messages, a shorter rest ends it. From
// that it knows what must hold, and checks it:
//   - the load answer is kLoaded with no reason, or kNotLoaded with exactly the reason's text;
//   - the host leaves its control loop exactly when a whole kQuit, a short piece or the end of the
//     control channel reaches it, and releases the library exactly once if and only if by kQuit;
//   - a channel handed over with kNewChannel is answered with kServing (or kRefused), any other
//     never gets a byte; replies come whole, with a known reach, no payload unless kCalled, and
//     for a call the payload its entry point produced (RegRead's words, CVDA_Request's reply up
//     to and including its NUL, or the whole area), never an entry point that is missing;
//   - after each input every descriptor is closed and every serving thread has ended.
#include "entry/entries.h"
#include "entry/invoke.h"
#include "entry/loader.h"
#include "host/protocol.h"
#include "host/serve.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/sockios.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using morlane::Entry;
using morlane::kEntryCount;
using morlane::kReplyBytes;
using morlane::Word;
namespace wire = morlane::hosted::wire;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_host: %s\n", what);
    std::abort();
}

void expect(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

// ---- The fake library -------------------------------------------------------------------------
// A status names the entry point that returned it (high byte: entry + 1) and, in its low 24 bits,
// what the reply reader needs to check the payload.

std::int32_t status_of(Entry entry, std::uint32_t value) {
    return static_cast<std::int32_t>(((static_cast<std::uint32_t>(entry) + 1) << 24) |
                                     (value & 0xFFFFFFu));
}

Word word_at(std::uint32_t index, std::uint32_t count) {
    return static_cast<Word>(index * 40503u + count);
}

char reply_byte_at(std::uint32_t index) {
    return static_cast<char>('a' + index % 26);
}

std::uint32_t sum_ints(std::initializer_list<std::int32_t> ints) {
    std::uint32_t sum = 0;
    for (std::int32_t v : ints) {
        sum = sum * 31 + static_cast<std::uint32_t>(v);
    }
    return sum;
}

int open_fn(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d, std::int32_t e) {
    return status_of(Entry::Open, sum_ints({a, b, c, d, e}));
}
int close_fn(std::int32_t a) {
    return status_of(Entry::Close, sum_ints({a}));
}
int run_mode_fn(std::int32_t a, std::int32_t b) {
    return status_of(Entry::RunMode, sum_ints({a, b}));
}
int stop_mode_fn(std::int32_t a, std::int32_t b) {
    return status_of(Entry::StopMode, sum_ints({a, b}));
}
int down_load_fn(std::int32_t a, std::int32_t b, const char* file) {
    return status_of(Entry::DownLoad, sum_ints({a, b}) + static_cast<std::uint32_t>(strlen(file)));
}
int reg_write_fn(std::int32_t a, std::int32_t b, std::int32_t c, const Word* words,
                 std::int32_t count) {
    std::uint32_t sum = sum_ints({a, b, c});
    for (std::int32_t i = 0; i < count; ++i) {
        sum += words[i];
    }
    return status_of(Entry::RegWrite, sum);
}
int reg_read_fn(std::int32_t, std::int32_t, std::int32_t, Word* words, std::int32_t count) {
    const auto n = static_cast<std::uint32_t>(count);
    for (std::uint32_t i = 0; i < n; ++i) {
        words[i] = word_at(i, n);
    }
    return status_of(Entry::RegRead, n);
}
int poke_fn(const char* topic, const char* item, const char* value) {
    return status_of(Entry::Poke,
                     static_cast<std::uint32_t>(strlen(topic) + strlen(item) + strlen(value)));
}
// Replies with as many bytes as the topic is long, modulo 4097; 4096 fills the whole area with
// no NUL, which the host must send whole.
int request_fn(const char* topic, const char* item, char* reply) {
    const auto length = static_cast<std::uint32_t>(strlen(topic) % (kReplyBytes + 1));
    (void)strlen(item);
    for (std::uint32_t i = 0; i < length; ++i) {
        reply[i] = reply_byte_at(i);
    }
    if (length < kReplyBytes) {
        reply[length] = '\0';
    }
    return status_of(Entry::Request, length);
}

// Typed by the shapes: a stub of the wrong type does not compile.
const morlane::EntryFn<Entry::Open> kOpen = open_fn;
const morlane::EntryFn<Entry::Close> kClose = close_fn;
const morlane::EntryFn<Entry::RunMode> kRunMode = run_mode_fn;
const morlane::EntryFn<Entry::StopMode> kStopMode = stop_mode_fn;
const morlane::EntryFn<Entry::DownLoad> kDownLoad = down_load_fn;
const morlane::EntryFn<Entry::RegWrite> kRegWrite = reg_write_fn;
const morlane::EntryFn<Entry::RegRead> kRegRead = reg_read_fn;
const morlane::EntryFn<Entry::Poke> kPoke = poke_fn;
const morlane::EntryFn<Entry::Request> kRequest = request_fn;

void* const kStubs[kEntryCount] = {
    reinterpret_cast<void*>(kOpen),     reinterpret_cast<void*>(kClose),
    reinterpret_cast<void*>(kRunMode),  reinterpret_cast<void*>(kStopMode),
    reinterpret_cast<void*>(kDownLoad), reinterpret_cast<void*>(kRegWrite),
    reinterpret_cast<void*>(kRegRead),  reinterpret_cast<void*>(kPoke),
    reinterpret_cast<void*>(kRequest)};

int g_module_tag;
morlane::ModuleHandle const kModule = &g_module_tag;

// Set before the host starts and read by it, never written while it runs.
struct LibraryScript {
    bool fails = false;
    bool bridge_gone = false;
    std::uint32_t missing = 0;
    std::uint8_t reason = 0;
};
LibraryScript g_library;
std::atomic<int> g_loads{0};
std::atomic<int> g_releases{0};

void fill_reason(morlane::LoadError& error, std::uint8_t reason) {
    const std::size_t size = sizeof error.text;
    if (reason == 255) {
        std::memset(error.text, 'r', size);
        return;
    }
    const std::size_t length = 2u * reason < size ? 2u * reason : size - 1;
    for (std::size_t i = 0; i < length; ++i) {
        error.text[i] = static_cast<char>('A' + i % 26);
    }
    error.text[length] = '\0';
}

} // namespace

namespace morlane {

ModuleHandle load_module(const char*, LoadError* error) noexcept {
    g_loads.fetch_add(1);
    if (!g_library.fails) {
        return kModule;
    }
    if (error != nullptr) {
        fill_reason(*error, g_library.reason);
    }
    return nullptr;
}

void* find_entry(ModuleHandle module, const char* entry) noexcept {
    expect(module == kModule, "find_entry: not the module load_module gave");
    for (int e = 0; e < kEntryCount; ++e) {
        if (std::strcmp(entry, kShapes[e].name) == 0) {
            return (g_library.missing >> e & 1u) != 0 ? nullptr : kStubs[e];
        }
    }
    fail("find_entry: a name no entry point has");
}

void release_module(ModuleHandle module) noexcept {
    expect(module == kModule, "release_module: not the module load_module gave");
    g_releases.fetch_add(1);
}

} // namespace morlane

namespace {

// ---- Reading the input ------------------------------------------------------------------------

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool more() const { return pos_ < size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | byte() << 8); }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        }
        return v;
    }
    // Up to `n` bytes as they stand in the input (fewer at its end).
    const std::uint8_t* bytes(std::size_t n, std::size_t& got) {
        got = n < size_ - pos_ ? n : size_ - pos_;
        const std::uint8_t* p = data_ + pos_;
        pos_ += got;
        return p;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// ---- Replies on one call channel ----------------------------------------------------------------

class ReplyReader {
  public:
    void feed(const std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            if (payload_left_ > 0) {
                const std::size_t take = n < payload_left_ ? n : payload_left_;
                check_payload(p, take);
                p += take;
                n -= take;
                payload_left_ -= static_cast<std::uint32_t>(take);
                continue;
            }
            expect(!refused_, "bytes after kRefused");
            const std::size_t want = (seen_hello_ ? sizeof(wire::Reply) : 4) - have_;
            const std::size_t take = n < want ? n : want;
            std::memcpy(head_ + have_, p, take);
            have_ += take;
            p += take;
            n -= take;
            if (have_ == (seen_hello_ ? sizeof(wire::Reply) : 4)) {
                have_ = 0;
                seen_hello_ ? start_reply() : take_hello();
            }
        }
    }

    // End of file from the host: never inside a reply.
    void end(bool handed_over) const {
        expect(have_ == 0 && payload_left_ == 0, "channel ended inside a reply");
        expect(seen_hello_ == handed_over, handed_over ? "a channel handed over got no answer"
                                                       : "a channel not handed over was answered");
    }

  private:
    void take_hello() {
        std::uint32_t hello;
        std::memcpy(&hello, head_, sizeof hello);
        expect(hello == wire::kServing || hello == wire::kRefused,
               "first word neither served nor refused");
        seen_hello_ = true;
        refused_ = hello == wire::kRefused;
    }

    void start_reply() {
        wire::Reply reply;
        std::memcpy(&reply, head_, sizeof reply);
        expect(reply.reach >= wire::kCalled && reply.reach <= wire::kNoMemory, "unknown reach");
        if (reply.reach != wire::kCalled) {
            expect(reply.status == 0 && reply.payload_bytes == 0, "payload without a call");
            return;
        }
        const auto status = static_cast<std::uint32_t>(reply.status);
        const std::uint32_t tag = status >> 24;
        expect(tag >= 1 && tag <= static_cast<std::uint32_t>(kEntryCount),
               "status no entry point returned");
        entry_ = static_cast<Entry>(tag - 1);
        expect((g_library.missing >> (tag - 1) & 1u) == 0, "a missing entry point was called");
        value_ = status & 0xFFFFFFu;
        offset_ = 0;
        std::uint32_t expected = 0;
        if (entry_ == Entry::RegRead) {
            expected = value_ * static_cast<std::uint32_t>(sizeof(Word));
        } else if (entry_ == Entry::Request) {
            expected = value_ < kReplyBytes ? value_ + 1 : kReplyBytes;
        }
        expect(reply.payload_bytes == expected, "payload size not what the entry point produced");
        payload_left_ = reply.payload_bytes;
    }

    void check_payload(const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i, ++offset_) {
            std::uint8_t want;
            if (entry_ == Entry::RegRead) {
                const Word w = word_at(offset_ / 2, value_);
                want = static_cast<std::uint8_t>(offset_ % 2 == 0 ? w & 0xFF : w >> 8);
            } else {
                want = offset_ < value_ ? static_cast<std::uint8_t>(reply_byte_at(offset_)) : 0;
            }
            expect(p[i] == want, "payload differs from what the entry point wrote");
        }
    }

    std::uint8_t head_[sizeof(wire::Reply)] = {};
    std::size_t have_ = 0;
    bool seen_hello_ = false;
    bool refused_ = false;
    std::uint32_t payload_left_ = 0;
    Entry entry_ = Entry::Open;
    std::uint32_t value_ = 0;
    std::uint32_t offset_ = 0;
};

// ---- One session ----------------------------------------------------------------------------

struct Slot {
    int fd;
    bool handed_over; // the host took it as a call channel
    bool orphan;      // its far end never reached the host: nobody reads it
    bool writing = true;
    bool ended = false; // end of file from the host
    ReplyReader reader;
};

int count_open_fds() {
    DIR* dir = opendir("/proc/self/fd");
    expect(dir != nullptr, "cannot list /proc/self/fd");
    int n = 0;
    while (readdir(dir) != nullptr) {
        ++n;
    }
    closedir(dir);
    return n; // with ".", ".." and the listing's own descriptor: compared, never used as such
}

int count_threads() {
    struct stat s;
    expect(stat("/proc/self/task", &s) == 0, "cannot stat /proc/self/task");
    return static_cast<int>(s.st_nlink);
}

class Session {
  public:
    explicit Session(const LibraryScript& library) {
        int ends[2];
        expect(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
        control_ = ends[0];
        host_control_ = ends[1];
        host_running_ = !library.fails && !library.bridge_gone;
        exit_code_ = library.fails || library.bridge_gone ? 1 : 0;
        if (library.bridge_gone) {
            close(control_);
            control_ = -1;
            control_open_ = false;
        }
        host_ = std::thread([this] {
            code_ = morlane::hosted::run_host("fuzz-library", host_control_);
            host_done_.store(true);
        });
        if (!library.bridge_gone) {
            check_load_answer(library);
        }
    }

    ~Session() { finish(); }

    void control_message(Input& in) {
        wire::ControlMessage message{};
        message.kind = in.u32();
        message.handle = in.u32();
        const int descriptor = in.byte() % 5;
        const std::size_t size = sizeof message - in.byte() % (sizeof message + 1);
        if (!control_open_ || size == 0) {
            return;
        }
        int fds[2] = {-1, -1};
        int nfds = 0;
        std::size_t first_slot = slots_.size();
        switch (descriptor) {
        case 1:
        case 4:
            for (int i = 0; i < (descriptor == 1 ? 1 : 2); ++i) {
                int ends[2];
                expect(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
                fds[nfds++] = ends[1];
                slots_.push_back(Slot{ends[0], false, false, true, false, {}});
            }
            break;
        case 2: {
            int ends[2];
            expect(pipe2(ends, O_CLOEXEC) == 0, "pipe");
            close(ends[1]);
            fds[nfds++] = ends[0];
            break;
        }
        case 3: {
            int ends[2];
            expect(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair");
            close(ends[0]);
            fds[nfds++] = ends[1];
            break;
        }
        default:
            break;
        }
        iovec data{&message, size};
        alignas(cmsghdr) char space[CMSG_SPACE(sizeof fds)] = {};
        msghdr header{};
        header.msg_iov = &data;
        header.msg_iovlen = 1;
        if (nfds > 0) {
            header.msg_control = space;
            header.msg_controllen = CMSG_SPACE(nfds * sizeof(int));
            cmsghdr* rights = CMSG_FIRSTHDR(&header);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(nfds * sizeof(int));
            std::memcpy(CMSG_DATA(rights), fds, nfds * sizeof(int));
        }
        const bool sent =
            sendmsg(control_, &header, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size);
        for (int i = 0; i < nfds; ++i) {
            close(fds[i]);
        }
        // What the host must do with it, read alone: a whole message is acted on, a short one
        // ends the loop. Only one channel at a time can be handed over.
        const bool reaches = sent && host_running_;
        const bool whole = size == sizeof message;
        const bool takes =
            reaches && whole && message.kind == wire::kNewChannel && nfds == 1 && descriptor == 1;
        for (std::size_t i = first_slot; i < slots_.size(); ++i) {
            slots_[i].handed_over = takes;
            slots_[i].orphan = !reaches;
        }
        if (reaches) {
            account(message.kind, whole);
            settle();
        }
    }

    void control_bytes(Input& in) {
        std::size_t n;
        const std::uint8_t* p = in.bytes(in.byte(), n);
        if (!control_open_ || n == 0) {
            return;
        }
        if (send(control_, p, n, MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(n) ||
            !host_running_) {
            return;
        }
        // The host reads them a message at a time, one after the other.
        for (std::size_t at = 0; host_running_ && at < n; at += sizeof(wire::ControlMessage)) {
            std::uint32_t kind = 0;
            const bool whole = n - at >= sizeof(wire::ControlMessage);
            if (whole) {
                std::memcpy(&kind, p + at, sizeof kind);
            }
            account(kind, whole);
        }
        settle();
    }

    void end_control() {
        if (control_open_) {
            shutdown(control_, SHUT_WR);
            control_open_ = false;
            host_running_ = false;
            await_host();
        }
    }

    Slot* slot(Input& in) {
        const std::uint8_t pick = in.byte();
        std::vector<std::size_t> open;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].writing) {
                open.push_back(i);
            }
        }
        return open.empty() ? nullptr : &slots_[open[pick % open.size()]];
    }

    void call_bytes(Input& in) {
        Slot* s = slot(in);
        std::size_t n;
        const std::uint8_t* p = in.bytes(in.u16(), n);
        if (s != nullptr) {
            write(*s, p, n);
        }
    }

    void call_request(Input& in) {
        Slot* s = slot(in);
        wire::Request request;
        std::size_t got;
        const std::uint8_t* p = in.bytes(sizeof request, got);
        std::memset(&request, 0, sizeof request);
        if (got > 0) {
            std::memcpy(&request, p, got);
        }
        const std::uint8_t fill = in.byte();
        const std::uint8_t cut = in.byte();
        if (s == nullptr) {
            return;
        }
        std::uint64_t data = 0;
        if (request.op == wire::kCall && request.entry < static_cast<std::uint32_t>(kEntryCount)) {
            const morlane::Shape& shape = morlane::shape(static_cast<Entry>(request.entry));
            bool within = true;
            for (int i = 0; i < shape.texts; ++i) {
                within = within && request.text_bytes[i] <= wire::kMostTextBytes;
                data += request.text_bytes[i];
            }
            if (shape.words == morlane::WordFlow::ToLibrary) {
                within = within && request.count >= 0 && request.count <= wire::kMostWords;
                data += within ? wire::word_bytes(request.count) : 0;
            }
            data = within ? data : 0;
        }
        std::uint64_t total = sizeof request + data;
        total -= cut < total ? cut : total;
        const std::size_t head = total < sizeof request ? total : sizeof request;
        write(*s, &request, head);
        std::uint8_t chunk[65536];
        std::memset(chunk, fill, sizeof chunk);
        for (std::uint64_t left = total - head; left > 0 && s->writing && !s->ended;) {
            const std::size_t n = left < sizeof chunk ? left : sizeof chunk;
            write(*s, chunk, n);
            left -= n;
        }
    }

    void end_call(Input& in) {
        Slot* s = slot(in);
        if (s != nullptr) {
            shutdown(s->fd, SHUT_WR);
            s->writing = false;
        }
    }

  private:
    void check_load_answer(const LibraryScript& library) {
        wire::LoadAnswer answer{};
        expect(read_whole(&answer, sizeof answer), "no load answer");
        if (!library.fails) {
            expect(answer.answer == wire::kLoaded && answer.reason_bytes == 0, "wrong load answer");
            return;
        }
        morlane::LoadError error;
        fill_reason(error, library.reason);
        const std::size_t length = strnlen(error.text, sizeof error.text);
        expect(answer.answer == wire::kNotLoaded && answer.reason_bytes == length,
               "wrong load failure answer");
        char reason[sizeof error.text];
        expect(read_whole(reason, length), "load failure reason cut short");
        expect(std::memcmp(reason, error.text, length) == 0, "wrong load failure reason");
    }

    bool read_whole(void* data, std::size_t size) {
        auto* p = static_cast<char*>(data);
        while (size > 0) {
            const ssize_t n = recv(control_, p, size, 0);
            if (n < 0 && errno == EINTR) {
                continue; // libFuzzer's timeout alarm
            }
            if (n <= 0) {
                return false;
            }
            p += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    // A piece of the control stream the host reads: a whole message of `kind`, or a short rest.
    void account(std::uint32_t kind, bool whole) {
        if (!whole || kind == wire::kQuit) {
            host_running_ = false;
            quit_ = whole;
        }
    }

    // Until the host has read everything sent on the control channel, or has left its loop. It
    // must have left exactly when the pieces it read say so.
    void settle() {
        if (!host_running_) {
            await_host();
            return;
        }
        for (;;) {
            int queued = 0;
            expect(ioctl(control_, SIOCOUTQ, &queued) == 0, "SIOCOUTQ");
            if (queued == 0) {
                break;
            }
            expect(!host_done_.load(), "the host left its control loop too early");
            pump(0);
        }
        // Read, and acted on: a loop that ended on it is done within moments.
        expect(!host_done_.load(), "the host left its control loop too early");
    }

    void await_host() {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!host_done_.load()) {
            expect(std::chrono::steady_clock::now() < limit, "the host did not leave its loop");
            pump(0);
        }
    }

    // Reads whatever the host has written on any call channel; waits up to `wait_ms` for some.
    void pump(int wait_ms, Slot* writer = nullptr) {
        std::vector<pollfd> polled;
        std::vector<Slot*> of;
        for (Slot& s : slots_) {
            if (!s.ended) {
                short events = POLLIN;
                if (&s == writer) {
                    events |= POLLOUT;
                }
                polled.push_back(pollfd{s.fd, events, 0});
                of.push_back(&s);
            }
        }
        if (polled.empty()) {
            sched_yield();
            return;
        }
        if (poll(polled.data(), polled.size(), wait_ms) <= 0) {
            sched_yield();
            return;
        }
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if ((polled[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            static std::uint8_t buffer[1 << 16];
            const ssize_t n = recv(of[i]->fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                of[i]->reader.feed(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                of[i]->ended = true;
                of[i]->reader.end(of[i]->handed_over);
            }
        }
    }

    // Writes to a call channel while draining every channel, so that a host blocked on a long
    // reply never blocks this side. A channel nobody reads takes what fits and no more.
    void write(Slot& s, const void* data, std::size_t size) {
        const auto* p = static_cast<const char*>(data);
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (size > 0 && s.writing && !s.ended) {
            const ssize_t n = send(s.fd, p, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                p += n;
                size -= static_cast<std::size_t>(n);
                limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                continue;
            }
            expect(std::chrono::steady_clock::now() < limit,
                   "a call channel the host holds is neither read nor closed");
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return; // the host closed it
            }
            if (s.orphan) {
                return;
            }
            pump(1000, &s);
        }
    }

    void finish() {
        end_control();
        host_.join();
        // Descriptors still in flight on the control channel go with it.
        if (control_ >= 0) {
            close(control_);
        }
        close(host_control_);
        for (Slot& s : slots_) {
            if (s.writing) {
                shutdown(s.fd, SHUT_WR);
                s.writing = false;
            }
        }
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            bool open = false;
            for (const Slot& s : slots_) {
                open = open || !s.ended;
            }
            if (!open) {
                break;
            }
            expect(std::chrono::steady_clock::now() < limit, "a call channel was never closed");
            pump(100);
        }
        for (Slot& s : slots_) {
            close(s.fd);
        }
        expect(code_ == exit_code_, "wrong exit code from run_host");
        expect(g_releases.load() == (quit_ ? 1 : 0),
               quit_ ? "kQuit did not release the library once" : "released without kQuit");
    }

    int control_ = -1;
    int host_control_ = -1;
    std::thread host_;
    std::atomic<bool> host_done_{false};
    int code_ = -1;
    bool host_running_;        // what the host must be doing, from what it was sent
    bool control_open_ = true; // this side may still write on the control channel
    bool quit_ = false;
    int exit_code_;
    std::vector<Slot> slots_;
};

// Serving threads are detached: after their channel closes they end within moments.
void await_threads(int before) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (count_threads() != before) {
        expect(std::chrono::steady_clock::now() < limit, "a serving thread did not end");
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fds_before = count_open_fds();
    const int threads_before = count_threads();
    Input in(data, size);
    LibraryScript library;
    const std::uint8_t flags = in.byte();
    library.fails = (flags & 1u) != 0;
    library.bridge_gone = (flags & 2u) != 0;
    library.missing = in.u16() & ((1u << kEntryCount) - 1);
    library.reason = in.byte();
    g_library = library;
    g_loads = 0;
    g_releases = 0;
    {
        Session session(library);
        int records = 0;
        while (in.more() && records++ < 256) {
            switch (in.byte() % 6) {
            case 0:
                session.control_message(in);
                break;
            case 1:
                session.control_bytes(in);
                break;
            case 2:
                session.call_bytes(in);
                break;
            case 3:
                session.call_request(in);
                break;
            case 4:
                session.end_call(in);
                break;
            default:
                session.end_control();
                break;
            }
        }
    }
    expect(g_loads.load() == 1, "the host did not load the library exactly once");
    await_threads(threads_before);
    expect(count_open_fds() == fds_before, "a descriptor was left open");
    return 0;
}
