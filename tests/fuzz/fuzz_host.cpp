// libFuzzer target: the receiving side of the host process (host/serve.cpp, host/control_posix.cpp,
// host/mailbox_posix.cpp), with a fake loader whose entry points touch every byte they are
// entitled to and check that they got exactly what the bridge laid in. Two ways in, mixed freely:
//   - a request lying in a mailbox in plain memory the harness owns, allocated with exactly its
//     size and handed to serve_request, so that AddressSanitizer sees any access past its end;
//   - run_host over a real socketpair, handed real memfds as the bridge hands them, with requests
//     posted in the mailboxes it serves through the turn protocol.
//
// An input is a header, then records read front to back; a missing byte reads as 0.
//   byte 0     bit 0: the library fails to load (the host answers kNotLoaded and ends);
//              bit 1: the bridge is gone before the host answers (nothing else is sent)
//   bytes 1-2  little-endian mask: bit e set, entry point e is missing from the library
//   byte 3     the load failure's reason: 2*b bytes of text; 255: all 512 bytes, no NUL
// Each record is a tag byte (taken modulo 6) and its fields:
//   0 a request in a mailbox of the harness: u8 size mode, u32 size, the 44 bytes of a
//     wire::Request, u8 fill. Size mode modulo 3: kMailboxBytes; what the request's data need
//     (kMailboxBytes if more than any mailbox holds) plus the size's low byte as a signed delta;
//     kDataOffset + size % (kMostMailboxBytes - kDataOffset + 1). Never below kDataOffset, never
//     above kMostMailboxBytes.
//   1 control message: u32 kind, u32 size, u32 claim, u8 descriptor, u8 cut. The descriptor
//     modulo 6: none, a mailbox made by make_mailbox, a memfd with no seals, a pipe's read end, two
//     mailboxes in one SCM_RIGHTS, a memfd sealed against growing only. Each memfd is `size` long
//     (0: kMailboxBytes; else 1 + (size - 1) % (kMostMailboxBytes + 64)); the message claims
//     that length plus claim, modulo 2^32. It is sent less its last cut % 17 bytes (all of them:
//     nothing at all).
//   2 raw control bytes: u8 n, then n bytes.
//   3 a request in a served mailbox: u8 slot, the 44 bytes of a wire::Request, u8 fill; posted
//     with hand_request_over and awaited as the bridge does, with the slot's bit 7 set without
//     spinning first, so that the bridge's side sleeps on the word and the host must wake it.
//   4 end of a served mailbox: u8 slot, u8 how; the turn word becomes kClosed, kDead or 0 (how
//     modulo 3): whatever the word, the host's serving thread must end.
//   5 end of the control channel: the bridge stops writing on it.
// A slot (less its bit 7) is taken modulo the mailboxes being served; with none the record does
// nothing. After the control channel ended, records send nothing on it. At most 256 records. The
// data a request announces are laid in where the bridge lays them, as far as they fit: text i's
// bytes from a pattern that depends on fill and i, never NUL, followed by a byte that is not NUL
// either (the host writes its own); RegWrite's words from a pattern that depends on fill. Every
// other byte of the mailbox holds a pattern of its own.
//
// What must hold, from the input alone:
//   - a request not as the bridge sends it (unknown op or entry, a length or count over its limit,
//     a text or count the entry does not take) or whose data do not fit its mailbox is answered
//     kMalformed; otherwise kMissing, kFound or kCalled as the library has the entry; nothing but
//     kCalled calls the library, or writes anything but the reply header;
//   - a call reaches the entry point the request names once, with its integers, texts and words
//     exactly as laid in, the RegRead words the library left unwritten cleared; its reply has the
//     entry point's status and payload (RegRead's words, Request's reply up to and including its
//     NUL, or the whole area, or "" when it wrote none), and the mailbox holds nothing else that
//     changed;
//   - the load answer is kLoaded with no reason, or kNotLoaded with exactly the reason's text;
//   - every whole kNewChannel the host reads is answered with one word, kServing exactly when one
//     memfd sealed against shrinking came with it whose size is the one claimed and within limits;
//     nothing else is ever written on the control channel;
//   - the host leaves its control loop exactly when a whole kQuit, a short piece or the end of the
//     control channel reaches it, and releases the library once if and only if by kQuit;
//   - a served mailbox answers a request posted in it, and its thread ends when the word says so;
//   - after each input every descriptor is closed and every serving thread has ended.
#include "entry/entries.h"
#include "entry/invoke.h"
#include "entry/loader.h"
#include "host/mailbox.h"
#include "host/protocol.h"
#include "host/serve.h"

#include "fuzz_input.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/sockios.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace {

using morlane::Entry;
using morlane::kEntryCount;
using morlane::kMostTexts;
using morlane::kReplyBytes;
using morlane::Word;
using morlane::WordFlow;
using morlane::hosted::kDataOffset;
using morlane::hosted::kMailboxBytes;
using morlane::hosted::kMostMailboxBytes;
using morlane::hosted::Mailbox;
namespace hosted = morlane::hosted;
namespace turn = morlane::hosted::turn;
namespace wire = morlane::hosted::wire;
using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_host: %s\n", what);
    std::abort();
}

void expect(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

void expect_equal(std::uint64_t got, std::uint64_t want, const char* what) {
    if (got != want) {
        std::fprintf(stderr, "fuzz_host: %s: %llu, not %llu\n", what,
                     static_cast<unsigned long long>(got), static_cast<unsigned long long>(want));
        std::abort();
    }
}

// ---- Patterns -----------------------------------------------------------------------------------
// What the bridge lays in and the library writes, each byte a function of where it lies, so that
// data read or written one place off never match. Built once; laid in and compared with memcpy and
// memcmp, which AddressSanitizer checks over their whole range.

constexpr std::uint32_t kPhases = 251;
constexpr char kNotNul = '\xFF'; // where a text's NUL goes: the host must write its own

struct Patterns {
    std::vector<char> text;   // printable, never NUL
    std::vector<Word> words;  // as many as the most a call carries, from any phase
    std::vector<char> reply;  // what Request's entry point writes
    std::vector<char> canary; // every other byte of a mailbox
    std::vector<Word> zeros;

    Patterns()
        : text(wire::kMostTextBytes + kPhases), words(wire::kMostWords + kPhases),
          reply(kReplyBytes), canary(kMostMailboxBytes), zeros(wire::kMostWords) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            text[i] = static_cast<char>(0x21 + i % 0x5E);
        }
        for (std::size_t i = 0; i < words.size(); ++i) {
            words[i] = static_cast<Word>(i * 40503u + 0x1234u);
        }
        for (std::size_t i = 0; i < reply.size(); ++i) {
            reply[i] = static_cast<char>('a' + i % 26);
        }
        for (std::size_t i = 0; i < canary.size(); ++i) {
            canary[i] = static_cast<char>((i * 2654435761u) >> 24);
        }
    }
};

const Patterns& patterns() {
    static const Patterns built;
    return built;
}

const char* text_pattern(std::uint8_t fill, int index) {
    return patterns().text.data() + (fill + 83u * static_cast<unsigned>(index)) % kPhases;
}
const Word* written_words(std::uint8_t fill) {
    return patterns().words.data() + fill % kPhases;
}
const Word* read_words(std::int32_t count) {
    return patterns().words.data() + (static_cast<std::uint32_t>(count) * 7u + 97u) % kPhases;
}
// RegRead's entry point leaves the last eighth of the words unwritten.
std::uint32_t read_written(std::int32_t count) {
    return static_cast<std::uint32_t>(count - count / 8);
}
// Request's entry point replies with as many bytes as its topic is long, modulo 4097: 4096 fills
// the whole area with no NUL.
std::uint32_t reply_length(std::uint32_t topic_bytes) {
    return topic_bytes % (kReplyBytes + 1);
}

// ---- The fake library ---------------------------------------------------------------------------

// The call the request in hand announces, set before the host serves it.
struct ExpectedCall {
    Entry entry = Entry::Open;
    std::int32_t args[morlane::kMostInts] = {};
    std::uint32_t text_bytes[kMostTexts] = {};
    std::int32_t count = 0;
    std::uint8_t fill = 0;
    std::atomic<int> calls{0};
};
ExpectedCall g_call;

std::uint32_t sum_ints(const std::int32_t* ints, int n) {
    std::uint32_t sum = 0;
    for (int i = 0; i < n; ++i) {
        sum = sum * 31 + static_cast<std::uint32_t>(ints[i]);
    }
    return sum;
}

std::int32_t status_of(Entry entry, const std::int32_t* args) {
    const std::uint32_t ints = morlane::shape(entry).ints;
    return static_cast<std::int32_t>(((static_cast<std::uint32_t>(entry) + 1) << 24) |
                                     (sum_ints(args, static_cast<int>(ints)) & 0xFFFFFFu));
}

int called(Entry entry, std::initializer_list<std::int32_t> args) {
    expect(g_call.calls.fetch_add(1) == 0, "the library was called twice for one request");
    expect(entry == g_call.entry, "the host called an entry point the request does not name");
    int i = 0;
    for (std::int32_t a : args) {
        expect(a == g_call.args[i++], "an integer differs from the request's");
    }
    return status_of(entry, g_call.args);
}

// strlen reads up to the NUL: past the mailbox if the host wrote none inside it.
void check_text(int index, const char* text) {
    const std::uint32_t length = g_call.text_bytes[index];
    expect_equal(std::strlen(text), length, "a text's length differs from the request's");
    expect(std::memcmp(text, text_pattern(g_call.fill, index), length) == 0,
           "a text differs from what the bridge laid in");
}

void check_count(std::int32_t count) {
    expect_equal(static_cast<std::uint32_t>(count), static_cast<std::uint32_t>(g_call.count),
                 "a word count differs from the request's");
}

int open_fn(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d, std::int32_t e) {
    return called(Entry::Open, {a, b, c, d, e});
}
int close_fn(std::int32_t a) {
    return called(Entry::Close, {a});
}
int run_mode_fn(std::int32_t a, std::int32_t b) {
    return called(Entry::RunMode, {a, b});
}
int stop_mode_fn(std::int32_t a, std::int32_t b) {
    return called(Entry::StopMode, {a, b});
}
int down_load_fn(std::int32_t a, std::int32_t b, const char* file) {
    check_text(0, file);
    return called(Entry::DownLoad, {a, b});
}
int reg_write_fn(std::int32_t a, std::int32_t b, std::int32_t c, const Word* words,
                 std::int32_t count) {
    check_count(count);
    expect(std::memcmp(words, written_words(g_call.fill), wire::word_bytes(count)) == 0,
           "RegWrite's words differ from what the bridge laid in");
    return called(Entry::RegWrite, {a, b, c});
}
int reg_read_fn(std::int32_t a, std::int32_t b, std::int32_t c, Word* words, std::int32_t count) {
    check_count(count);
    const std::uint32_t written = read_written(count);
    std::memcpy(words, read_words(count), written * sizeof(Word));
    // Read, not written: the bridge must get zeros there, not what lay in the mailbox.
    expect(std::memcmp(words + written, patterns().zeros.data(),
                       (static_cast<std::uint32_t>(count) - written) * sizeof(Word)) == 0,
           "RegRead's words were not cleared before the call");
    return called(Entry::RegRead, {a, b, c});
}
int poke_fn(const char* topic, const char* item, const char* value) {
    check_text(0, topic);
    check_text(1, item);
    check_text(2, value);
    return called(Entry::Poke, {});
}
// Writes the whole area it is given no size for, then its NUL within it unless 4096; for an
// empty item, nothing at all, and the bridge must get "".
int request_fn(const char* topic, const char* item, char* reply) {
    check_text(0, topic);
    check_text(1, item);
    if (g_call.text_bytes[1] == 0) {
        return called(Entry::Request, {});
    }
    std::memcpy(reply, patterns().reply.data(), kReplyBytes);
    const std::uint32_t length = reply_length(g_call.text_bytes[0]);
    if (length < kReplyBytes) {
        reply[length] = '\0';
    }
    return called(Entry::Request, {});
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

// ---- Reading the input --------------------------------------------------------------------------

// A request header, as far as the input holds one.
wire::Request request_from(Input& in) {
    wire::Request r{};
    std::size_t got;
    const std::uint8_t* p = in.bytes(sizeof r, got);
    if (got > 0) {
        std::memcpy(&r, p, got);
    }
    return r;
}

// ---- A request in a mailbox ---------------------------------------------------------------------

// Where a request's data lie and whether the bridge could have sent it, worked out from the
// protocol's rules in 64 bits, whatever its fields hold.
struct Plan {
    bool call = false;  // a call of a known entry: its data lie at these offsets
    bool sound = false; // every field as the bridge sends it
    std::uint64_t texts[kMostTexts] = {};
    std::uint64_t words = 0; // the words, or the reply area
    std::uint64_t end = kDataOffset;
};

Plan plan_of(const wire::Request& r) {
    Plan plan;
    if (r.entry >= static_cast<std::uint32_t>(kEntryCount) ||
        (r.op != wire::kCall && r.op != wire::kLookup)) {
        return plan;
    }
    plan.sound = true;
    if (r.op == wire::kLookup) {
        return plan;
    }
    plan.call = true;
    const morlane::Shape& s = morlane::shape(static_cast<Entry>(r.entry));
    std::uint64_t next = kDataOffset;
    for (int i = 0; i < kMostTexts; ++i) {
        plan.texts[i] = next;
        if (i < s.texts) {
            plan.sound = plan.sound && r.text_bytes[i] <= wire::kMostTextBytes;
            next += std::uint64_t{r.text_bytes[i]} + 1;
        } else {
            plan.sound = plan.sound && r.text_bytes[i] == 0;
        }
    }
    next = (next + 7) / 8 * 8;
    plan.words = next;
    if (s.words != WordFlow::None) {
        plan.sound = plan.sound && r.count >= 0 && r.count <= wire::kMostWords;
        next += r.count > 0 ? std::uint64_t{wire::word_bytes(r.count)} : 0;
    } else {
        plan.sound = plan.sound && r.count == 0;
        next += s.reply ? kReplyBytes : 0;
    }
    plan.end = next;
    return plan;
}

// Copies up to `n` bytes to `offset` of a mailbox of `size`, as far as they fit.
void lay(char* base, std::uint32_t size, std::uint64_t offset, const void* data, std::uint64_t n) {
    if (offset < size) {
        std::memcpy(base + offset, data, n < size - offset ? n : size - offset);
    }
}

const char* region_of(std::uint64_t offset, const Plan& plan, const morlane::Shape* s) {
    if (offset < sizeof(hosted::MailboxHeader) - sizeof(wire::Reply)) {
        return "the request header";
    }
    if (offset < kDataOffset) {
        return "the reply header";
    }
    if (!plan.call || offset >= plan.end) {
        return "beyond the request's data";
    }
    if (offset >= plan.words) {
        return s->reply ? "the reply area" : "the words";
    }
    return "the texts";
}

// Lays `request` and what it announces into `box` over a fresh canary, lets `serve` answer it,
// then checks the reply and every byte of the mailbox against what the host may have written.
template <typename Serve>
void exercise(const Mailbox& box, const wire::Request& request, std::uint8_t fill, Serve serve) {
    char* const base = box.at(0);
    const std::uint32_t size = box.bytes;
    // From the request on: the turn word belongs to the turn protocol.
    const auto from =
        static_cast<std::size_t>(reinterpret_cast<char*>(&box.header->request) - base);
    std::memcpy(base + from, patterns().canary.data() + from, size - from);
    std::memcpy(&box.header->request, &request, sizeof request);
    const Plan plan = plan_of(request);
    const morlane::Shape* s =
        plan.call ? &morlane::shape(static_cast<Entry>(request.entry)) : nullptr;
    if (plan.call) {
        for (int i = 0; i < s->texts; ++i) {
            const std::uint64_t length = request.text_bytes[i];
            lay(base, size, plan.texts[i], text_pattern(fill, i),
                length < wire::kMostTextBytes ? length : wire::kMostTextBytes);
            lay(base, size, plan.texts[i] + length, &kNotNul, 1);
        }
        if (s->words == WordFlow::ToLibrary && request.count > 0) {
            const std::int32_t count =
                request.count < wire::kMostWords ? request.count : wire::kMostWords;
            lay(base, size, plan.words, written_words(fill), wire::word_bytes(count));
        }
    }
    std::vector<char> want(base, base + size);

    wire::Reply expected{};
    if (!plan.sound || plan.end > size) {
        expected.reach = wire::kMalformed;
    } else if ((g_library.missing >> request.entry & 1u) != 0) {
        expected.reach = wire::kMissing;
    } else {
        expected.reach = plan.call ? wire::kCalled : wire::kFound;
    }
    if (plan.call) {
        g_call.entry = static_cast<Entry>(request.entry);
        std::memcpy(g_call.args, request.args, sizeof g_call.args);
        std::memcpy(g_call.text_bytes, request.text_bytes, sizeof g_call.text_bytes);
        g_call.count = request.count;
        g_call.fill = fill;
    }
    g_call.calls = 0;

    serve();

    wire::Reply reply;
    std::memcpy(&reply, &box.header->reply, sizeof reply);
    expect_equal(reply.reach, expected.reach, "the reply's reach");
    expect_equal(static_cast<std::uint32_t>(g_call.calls.load()),
                 expected.reach == wire::kCalled ? 1 : 0, "calls of the library for one request");
    if (expected.reach == wire::kCalled) {
        expected.status = status_of(g_call.entry, request.args);
        for (int i = 0; i < s->texts; ++i) {
            want[plan.texts[i] + request.text_bytes[i]] = '\0';
        }
        if (s->words == WordFlow::FromLibrary) {
            const std::uint32_t written = read_written(request.count);
            std::memcpy(&want[plan.words], read_words(request.count), written * sizeof(Word));
            std::memset(&want[plan.words + written * sizeof(Word)], 0,
                        (static_cast<std::uint32_t>(request.count) - written) * sizeof(Word));
            expected.payload_bytes = wire::word_bytes(request.count);
        } else if (s->reply && request.text_bytes[1] == 0) {
            want[plan.words] = '\0';
            expected.payload_bytes = 1;
        } else if (s->reply) {
            const std::uint32_t length = reply_length(request.text_bytes[0]);
            std::memcpy(&want[plan.words], patterns().reply.data(), kReplyBytes);
            if (length < kReplyBytes) {
                want[plan.words + length] = '\0';
            }
            expected.payload_bytes = length < kReplyBytes ? length + 1 : kReplyBytes;
        }
    }
    expect_equal(static_cast<std::uint32_t>(reply.status),
                 static_cast<std::uint32_t>(expected.status), "the reply's status");
    expect_equal(reply.payload_bytes, expected.payload_bytes, "the reply's payload size");
    std::memcpy(&want[static_cast<std::size_t>(reinterpret_cast<char*>(&box.header->reply) - base)],
                &expected, sizeof expected);
    if (std::memcmp(base + from, want.data() + from, size - from) != 0) {
        std::size_t at = from;
        while (base[at] == want[at]) {
            ++at;
        }
        std::fprintf(stderr,
                     "fuzz_host: mailbox byte %zu of %u (%s) is 0x%02x, not 0x%02x; the request "
                     "reaches %u\n",
                     at, size, region_of(at, plan, s), static_cast<unsigned char>(base[at]),
                     static_cast<unsigned char>(want[at]), expected.reach);
        std::abort();
    }
}

// Room for the largest data a request might announce; the rest is a canary.
std::uint32_t mailbox_size(std::uint8_t mode, std::uint32_t size, const wire::Request& request) {
    switch (mode % 3) {
    case 0:
        return kMailboxBytes;
    case 1: {
        const std::uint64_t need = plan_of(request).end;
        const std::int64_t bytes =
            static_cast<std::int64_t>(need <= kMostMailboxBytes ? need : kMailboxBytes) +
            static_cast<std::int8_t>(size & 0xFF);
        return static_cast<std::uint32_t>(bytes < kDataOffset         ? kDataOffset
                                          : bytes > kMostMailboxBytes ? kMostMailboxBytes
                                                                      : bytes);
    }
    default:
        return kDataOffset + size % (kMostMailboxBytes - kDataOffset + 1);
    }
}

void direct_request(Input& in) {
    const std::uint8_t mode = in.byte();
    const std::uint32_t size_field = in.u32();
    const wire::Request request = request_from(in);
    const std::uint8_t fill = in.byte();
    const std::uint32_t size = mailbox_size(mode, size_field, request);
    // Exactly its size, from the heap: AddressSanitizer sees a byte past its end.
    std::unique_ptr<char[]> memory(new char[size]());
    Mailbox box;
    box.header = reinterpret_cast<hosted::MailboxHeader*>(memory.get());
    box.bytes = size;
    exercise(box, request, fill, [&] { hosted::serve_request(box, kModule); });
}

// ---- The control channel and served mailboxes ---------------------------------------------------

enum Descriptor { kNone, kMailbox, kUnsealed, kPipe, kTwoMailboxes, kGrowSealed, kDescriptors };

// Served mailboxes open at once: each may hold up to kMostMailboxBytes and a thread.
constexpr std::size_t kMostServed = 4;

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

std::uint32_t real_size(std::uint32_t size) {
    return size == 0 ? kMailboxBytes : 1 + (size - 1) % (kMostMailboxBytes + 64);
}

int make_memfd(std::uint32_t bytes, int seals) {
    const int fd = memfd_create("fuzz-mailbox", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    expect(fd >= 0 && ftruncate(fd, bytes) == 0, "memfd");
    expect(seals == 0 || fcntl(fd, F_ADD_SEALS, seals) == 0, "memfd seals");
    return fd;
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
            code_ = hosted::run_host("fuzz-library", host_control_);
            host_done_.store(true);
        });
        if (!library.bridge_gone) {
            check_load_answer(library);
        }
    }

    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { finish(); }

    void control_message(Input& in) {
        wire::ControlMessage message{};
        message.kind = in.u32();
        const std::uint32_t real = real_size(in.u32());
        message.bytes = real + in.u32();
        const int descriptor = in.byte() % kDescriptors;
        const std::size_t length = sizeof message - in.byte() % (sizeof message + 1);
        if (!control_open_ || length == 0) {
            return;
        }
        Mailbox boxes[2];
        int fds[2] = {-1, -1};
        int nfds = 0;
        switch (descriptor) {
        case kMailbox:
        case kTwoMailboxes:
            for (int i = 0; i < (descriptor == kMailbox ? 1 : 2); ++i) {
                expect(hosted::make_mailbox(real, boxes[i]), "make_mailbox");
                fds[nfds++] = static_cast<int>(boxes[i].handle);
                boxes[i].handle = -1; // closed below, once sent, as the bridge does
            }
            break;
        case kUnsealed:
            fds[nfds++] = make_memfd(real, 0);
            break;
        case kGrowSealed:
            fds[nfds++] = make_memfd(real, F_SEAL_GROW | F_SEAL_SEAL);
            break;
        case kPipe: {
            int ends[2];
            expect(pipe2(ends, O_CLOEXEC) == 0, "pipe");
            close(ends[1]);
            fds[nfds++] = ends[0];
            break;
        }
        default:
            break;
        }
        iovec data{&message, length};
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
            sendmsg(control_, &header, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(length);
        for (int i = 0; i < nfds; ++i) {
            close(fds[i]);
        }
        // What the host must do with it, read alone: a whole message is acted on, a short one
        // ends the loop; only a whole kNewChannel is answered.
        const bool reaches = sent && host_running_;
        const bool whole = length == sizeof message;
        const bool answered = reaches && whole && message.kind == wire::kNewChannel;
        const bool sound = descriptor == kMailbox && message.bytes == real && real >= kDataOffset &&
                           real <= kMostMailboxBytes;
        if (reaches) {
            account(message.kind, whole);
        }
        if (answered) {
            const std::uint32_t answer = read_answer();
            expect(answer == wire::kServing || answer == wire::kRefused,
                   "a new mailbox was answered with neither kServing nor kRefused");
            expect(answer == (sound ? wire::kServing : wire::kRefused),
                   sound ? "a sound mailbox was refused" : "a mailbox not sound was served");
        }
        if (reaches) {
            settle();
        }
        for (int i = 0; i < 2; ++i) {
            if (i == 0 && answered && sound) {
                take(boxes[0]);
            } else {
                hosted::unmap_mailbox(boxes[i]);
            }
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
        // The host reads them a message at a time, one after the other, and answers each whole
        // kNewChannel: with no descriptor, a refusal.
        int answers = 0;
        for (std::size_t at = 0; host_running_ && at < n; at += sizeof(wire::ControlMessage)) {
            std::uint32_t kind = 0;
            const bool whole = n - at >= sizeof(wire::ControlMessage);
            if (whole) {
                std::memcpy(&kind, p + at, sizeof kind);
                answers += kind == wire::kNewChannel ? 1 : 0;
            }
            account(kind, whole);
        }
        for (; answers > 0; --answers) {
            expect(read_answer() == wire::kRefused, "a new mailbox with no descriptor was served");
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

    void served_request(Input& in) {
        const std::uint8_t pick = in.byte();
        const wire::Request request = request_from(in);
        const std::uint8_t fill = in.byte();
        if (!served_.empty()) {
            const Mailbox& box = served_[(pick & 0x7Fu) % served_.size()];
            const auto spin = (pick & 0x80u) != 0 ? std::chrono::microseconds(0) : hosted::kSpin;
            exercise(box, request, fill, [&] { post(box, spin); });
        }
    }

    void close_served(Input& in) {
        const std::uint8_t pick = in.byte();
        static const std::uint32_t kEnds[] = {turn::kClosed, turn::kDead, 0};
        const std::uint32_t word = kEnds[in.byte() % 3];
        if (!served_.empty()) {
            close_at(pick % served_.size(), word);
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

    // The one word that answers a new mailbox; the host must not leave its loop instead.
    std::uint32_t read_answer() {
        std::uint32_t answer = 0;
        auto* p = reinterpret_cast<char*>(&answer);
        std::size_t left = sizeof answer;
        const auto limit = Clock::now() + std::chrono::seconds(10);
        while (left > 0) {
            const bool done = host_done_.load();
            const ssize_t n = recv(control_, p, left, MSG_DONTWAIT);
            if (n > 0) {
                p += n;
                left -= static_cast<std::size_t>(n);
                continue;
            }
            expect(n < 0 && (errno == EAGAIN || errno == EINTR), "recv on the control channel");
            expect(!done, "the host left its control loop without answering a new mailbox");
            expect(Clock::now() < limit, "a new mailbox was not answered within 10 s");
            pollfd polled{control_, POLLIN, 0};
            poll(&polled, 1, 100);
        }
        return answer;
    }

    // Nothing but the answers to new mailboxes ever comes on the control channel.
    void expect_quiet() {
        char byte;
        const ssize_t n = recv(control_, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        expect(n < 0 && errno == EAGAIN, "the host wrote on the control channel unasked");
    }

    // A piece of the control stream the host reads: a whole message of `kind`, or a short rest.
    void account(std::uint32_t kind, bool whole) {
        if (!whole || kind == wire::kQuit) {
            host_running_ = false;
            quit_ = whole;
        }
    }

    // Until the host has read everything sent on the control channel, or has left its loop. It
    // must have left exactly when the pieces it read say so, and released the library only then.
    void settle() {
        if (!host_running_) {
            await_host();
            expect_equal(static_cast<std::uint32_t>(g_releases.load()), quit_ ? 1 : 0,
                         "releases of the library as the host leaves its loop");
            expect_quiet();
            return;
        }
        for (;;) {
            int queued = 0;
            expect(ioctl(control_, SIOCOUTQ, &queued) == 0, "SIOCOUTQ");
            if (queued == 0) {
                break;
            }
            expect(!host_done_.load(), "the host left its control loop too early");
            sched_yield();
        }
        // Read, and acted on: a loop that ended on it is done within moments.
        expect(!host_done_.load(), "the host left its control loop too early");
        expect(g_releases.load() == 0, "the library was released before kQuit");
        expect_quiet();
    }

    void await_host() {
        const auto limit = Clock::now() + std::chrono::seconds(10);
        while (!host_done_.load()) {
            expect(Clock::now() < limit, "the host did not leave its loop");
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }

    // As the bridge does: the request is the host's until it hands the turn back.
    static void post(const Mailbox& box, std::chrono::microseconds spin) {
        expect(hosted::hand_request_over(box) != hosted::Handed::No,
               "a served mailbox's turn was not the bridge's");
        const std::uint32_t back = hosted::await_turn(
            box, hosted::Side::Bridge, [](std::uint32_t t) { return t != turn::kHost; },
            Clock::now() + std::chrono::seconds(10), spin);
        expect(back != hosted::kTimedOut, "a served mailbox was not answered within 10 s");
        expect_equal(back, turn::kBridge, "the turn a served mailbox was handed back with");
    }

    // A mailbox the host serves: a first request shows its thread answers in it.
    void take(const Mailbox& box) {
        served_.push_back(box);
        wire::Request lookup{};
        lookup.op = wire::kLookup;
        lookup.entry = probes_++ % kEntryCount;
        exercise(box, lookup, 0, [&] { post(box, hosted::kSpin); });
        if (served_.size() > kMostServed) {
            close_at(0, turn::kClosed);
        }
    }

    void close_at(std::size_t index, std::uint32_t word) {
        hosted::hand_over(served_[index], word);
        hosted::unmap_mailbox(served_[index]);
        served_.erase(served_.begin() + static_cast<std::ptrdiff_t>(index));
    }

    void finish() {
        end_control();
        host_.join();
        if (control_ >= 0) {
            expect_quiet();
            // Descriptors still in flight on the control channel go with it.
            close(control_);
        }
        close(host_control_);
        while (!served_.empty()) {
            close_at(served_.size() - 1, turn::kClosed);
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
    std::vector<Mailbox> served_;
    std::uint32_t probes_ = 0;
};

// Serving threads are detached: once their mailbox is closed they end within moments.
void await_threads(int before) {
    const auto limit = Clock::now() + std::chrono::seconds(10);
    while (count_threads() != before) {
        expect(Clock::now() < limit, "a serving thread did not end");
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

enum Record { kDirect, kControl, kControlBytes, kServedRequest, kEndServed, kEndControl };

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    patterns();
    const int fds_before = count_open_fds();
    const int threads_before = count_threads();
    Input in(data, size);
    LibraryScript library;
    const std::uint8_t flags = in.byte();
    library.fails = (flags & 1u) != 0;
    library.bridge_gone = (flags & 2u) != 0;
    const std::uint32_t mask_low = in.byte();
    library.missing =
        (mask_low | static_cast<std::uint32_t>(in.byte()) << 8) & ((1u << kEntryCount) - 1);
    library.reason = in.byte();
    g_library = library;
    g_loads = 0;
    g_releases = 0;
    bool hosted_session = false;
    {
        // Started by the first record that needs it: requests alone go straight to the host's
        // serving code.
        std::optional<Session> session;
        int records = 0;
        while (in.more() && records++ < 256) {
            const int record = in.byte() % 6;
            if (record == kDirect) {
                direct_request(in);
                continue;
            }
            if (!session) {
                session.emplace(library);
            }
            switch (record) {
            case kControl:
                session->control_message(in);
                break;
            case kControlBytes:
                session->control_bytes(in);
                break;
            case kServedRequest:
                session->served_request(in);
                break;
            case kEndServed:
                session->close_served(in);
                break;
            default:
                session->end_control();
                break;
            }
        }
        hosted_session = session.has_value();
    }
    expect_equal(static_cast<std::uint32_t>(g_loads.load()), hosted_session ? 1 : 0,
                 "loads of the library");
    await_threads(threads_before);
    expect(count_open_fds() == fds_before, "a descriptor was left open");
    return 0;
}
