// The messages between the bridge and its host process. Both sides are built from this header,
// one as a 64-bit and one as a 32-bit program, so every field has a fixed width and the layout is
// checked below. One request and one reply per call, each a fixed header followed by the exact
// number of bytes its lengths announce. What a call carries follows from its entry point's shape
// (entry/entries.h); every length and count is checked against the limits below, by the bridge
// before it sends and by the host before it reads, before any arithmetic is done on it.
#pragma once

#include "entry/entries.h"

#include <cstdint>

namespace morlane::hosted::wire {

// ---- Limits ------------------------------------------------------------------------------------
// What one call may carry. A 32-bit host has 2 to 4 GiB of address space for hundreds of callers
// at once, each with a serving thread's stack (kServingStackBytes) besides its data: a call at
// every limit holds about 11 MiB in the host.
constexpr std::uint32_t kMostTextBytes = 1u << 20; // each text, without its NUL
constexpr std::int32_t kMostWords = 1 << 22;       // 8 MiB of words, read or written
constexpr std::uint32_t kMostReasonBytes = 1024;   // a load failure's text
// The stack each serving thread gets: what a thread of the outside libraries' own platform gets
// by default, so a library finds the room it was written for; 800 callers at once then reserve
// 800 MiB of the host's address space.
constexpr std::uint32_t kServingStackBytes = 1u << 20;

// ---- Control channel ---------------------------------------------------------------------------
// Bridge to host: one ControlMessage each. A NewChannel hands the host a fresh mailbox of `bytes`
// (host/mailbox.h), on which it serves calls from one bridge thread at a time; the host answers
// each with one word on the control channel: kServing, or kRefused when it cannot map the mailbox
// or make a thread for it (it then goes on serving the others).
enum : std::uint32_t { kNewChannel = 1, kQuit = 2 };
struct ControlMessage {
    std::uint32_t kind;
    std::uint32_t handle;    // Windows: the section's handle, already duplicated into the host
    std::uint32_t events[2]; // Windows: the mailbox's events by Side (bridge, host), likewise
    std::uint32_t bytes;     // the mailbox's size
};
enum : std::uint32_t { kServing = 1, kRefused = 2 };

// Host to bridge, once after start: whether the library loaded, and if not, why, in the
// platform's words: `reason_bytes` bytes of text follow (no NUL). On Windows also the host's ANSI
// code page, the one its library's texts come in: the JVM's launcher may have another.
enum : std::uint32_t { kLoaded = 1, kNotLoaded = 2 };
struct LoadAnswer {
    std::uint32_t answer;
    std::uint32_t reason_bytes;
    std::uint32_t code_page; // Windows: GetACP(); 0 elsewhere
};

// ---- Calls, in a mailbox ----------------------------------------------------------------------
// Bridge to host.
enum : std::uint32_t { kCall = 1, kLookup = 2 };
struct Request {
    std::uint32_t op;
    std::uint32_t entry;                  // morlane::Entry
    std::int32_t args[kMostInts];         // the shape's integers; the rest 0
    std::int32_t count;                   // words that follow (to the library) or are wanted back
    std::uint32_t text_bytes[kMostTexts]; // the shape's texts follow without their NULs, in order
};
// The texts follow in the mailbox, then the words or the reply area (host/mailbox.h: Layout).

// Host to bridge.
enum : std::uint32_t {
    kCalled = 1,    // the entry point ran; `status` is its result
    kMissing = 2,   // the library lacks the entry point (also the answer to a kLookup that fails)
    kFound = 3,     // answer to a kLookup that succeeds
    kMalformed = 5, // the request is not one the bridge sends; nothing was called
};
struct Reply {
    std::uint32_t reach;
    std::int32_t status;
    std::uint32_t payload_bytes; // words from the library: all `count` of them; a reply area:
                                 // the reply up to and including its NUL, or the whole area
};

static_assert(sizeof(ControlMessage) == 20, "control message layout");
static_assert(sizeof(LoadAnswer) == 12, "load answer layout");
static_assert(sizeof(Request) == 44, "request layout");
static_assert(sizeof(Reply) == 12, "reply layout");

// ---- What a call carries, from its shape ------------------------------------------------------

// The bytes of `count` words, for a count within the limit.
constexpr std::uint32_t word_bytes(std::int32_t count) noexcept {
    return static_cast<std::uint32_t>(count) * static_cast<std::uint32_t>(sizeof(Word));
}

// Whether a request's header is one the host may read on: an op and entry it knows, and for a
// call exactly what the entry's shape takes, each within its limit. Anything else means the
// channel cannot be trusted to be in step, and the host closes it.
inline bool well_formed(const Request& request) noexcept {
    if (request.entry >= static_cast<std::uint32_t>(kEntryCount)) {
        return false;
    }
    if (request.op == kLookup) {
        return true;
    }
    if (request.op != kCall) {
        return false;
    }
    const Shape& s = shape(static_cast<Entry>(request.entry));
    for (int i = 0; i < kMostTexts; ++i) {
        if (i < s.texts ? request.text_bytes[i] > kMostTextBytes : request.text_bytes[i] != 0) {
            return false;
        }
    }
    return s.words == WordFlow::None ? request.count == 0
                                     : request.count >= 0 && request.count <= kMostWords;
}

// The payload a reply to `request` may carry; a reply area's is at most this.
inline std::uint32_t most_payload(const Request& request) noexcept {
    if (request.op != kCall) {
        return 0;
    }
    const Shape& s = shape(static_cast<Entry>(request.entry));
    if (s.words == WordFlow::FromLibrary) {
        return word_bytes(request.count);
    }
    return s.reply ? kReplyBytes : 0;
}

} // namespace morlane::hosted::wire
