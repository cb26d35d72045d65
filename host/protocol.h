// The messages between the bridge (64-bit) and its host (32-bit): fixed widths only. The host
// checks every length against the limits below before any arithmetic is done on it.
#pragma once

#include "entry/entries.h"

#include <cstdint>

namespace morlane::hosted::wire {

// A 32-bit host has 2 to 4 GiB of address space for hundreds of callers at once, each with a
// serving thread's stack besides its data: a call at every limit holds about 11 MiB in the host.
constexpr std::uint32_t kMostTextBytes = 1u << 20; // each text, without its NUL
constexpr std::int32_t kMostWords = 1 << 22;       // 8 MiB of words, read or written
constexpr std::uint32_t kMostReasonBytes = 1024;   // a load failure's text
// What a thread of the libraries' own platform gets by default, so a library finds the room it
// was written for; 800 callers at once then reserve 800 MiB of the host's address space.
constexpr std::uint32_t kServingStackBytes = 1u << 20;

// The control channel, bridge to host, each message answered with its own `sequence` and
// kServing or kRefused: an answer for any other message means something else wrote on the channel.
// A kNewMailbox gets a thread of its own in the host; a kExtension holds the data of one call too
// large for its thread's mailbox, which names it by its `sequence` in a kExtended request.
// On Windows `handle` and `events` (by Side) are handles already in the host: their values fit 32
// bits on any Windows.
enum : std::uint32_t { kNewMailbox = 1, kQuit = 2, kExtension = 3 };
struct ControlMessage {
    std::uint32_t kind;
    std::uint32_t sequence;
    std::uint32_t bytes;
#if defined(_WIN32)
    std::uint32_t handle;
    std::uint32_t events[2];
#endif
};
enum : std::uint32_t { kServing = 1, kRefused = 2 };
struct ControlAnswer {
    std::uint32_t sequence;
    std::uint32_t answer;
};

// Host to bridge, once after start; `reason_bytes` of the platform's text (no NUL) follow a
// kNotLoaded. `code_page`: on Windows GetACP(), which the JVM's launcher may not share; else 0.
enum : std::uint32_t { kLoaded = 1, kNotLoaded = 2 };
struct LoadAnswer {
    std::uint32_t answer;
    std::uint32_t reason_bytes;
    std::uint32_t code_page;
};

// In a mailbox, bridge to host: the header, then the shape's texts each with its NUL, then the
// caller's words (either way) or the leading text of its reply area (host/mailbox.h: Layout).
enum : std::uint32_t { kCall = 1, kLookup = 2, kExtended = 3 };
struct Request {
    std::uint32_t op;
    std::uint32_t entry;          // morlane::Entry
    std::int32_t args[kMostInts]; // the shape's integers; the rest 0
    // Words: how many, either way. A reply area: the bytes of it that follow, its text up to and
    // including its first NUL, or the whole area when it holds none.
    std::int32_t count;
    std::uint32_t text_bytes[kMostTexts]; // the shape's texts, without their NULs
};

// Host to bridge. kMissing also answers a kLookup that fails; kMalformed, a request the bridge
// never sends: nothing was called.
enum : std::uint32_t { kCalled = 1, kMissing = 2, kFound = 3, kMalformed = 4 };
struct Reply {
    std::uint32_t sequence; // the request's, as the bridge numbered it in the mailbox's header
    std::uint32_t reach;
    std::int32_t status;
    std::uint32_t payload_bytes; // words from the library: all `count` of them; a reply area:
                                 // the reply up to and including its NUL, or the whole area
};

static_assert(sizeof(LoadAnswer) == 12 && sizeof(ControlAnswer) == 8, "control layouts");
static_assert(sizeof(Request) == 44 && sizeof(Reply) == 16, "mailbox layouts");

constexpr std::uint32_t word_bytes(std::int32_t count) noexcept {
    return static_cast<std::uint32_t>(count) * static_cast<std::uint32_t>(sizeof(Word));
}

// An op and entry the host knows, and for a call exactly what the entry's shape takes, each
// within its limit.
inline bool well_formed(const Request& request) noexcept {
    if (request.entry >= static_cast<std::uint32_t>(kEntryCount)) {
        return false;
    }
    if (request.op != kCall) {
        return request.op == kLookup;
    }
    const Shape& s = shape(static_cast<Entry>(request.entry));
    for (int i = 0; i < kMostTexts; ++i) {
        if (i < s.texts ? request.text_bytes[i] > kMostTextBytes : request.text_bytes[i] != 0) {
            return false;
        }
    }
    if (s.reply) {
        return request.count >= 1 && static_cast<std::uint32_t>(request.count) <= kReplyBytes;
    }
    return s.words == WordFlow::None ? request.count == 0
                                     : request.count >= 0 && request.count <= kMostWords;
}

} // namespace morlane::hosted::wire
