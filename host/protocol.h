// The messages between the bridge and its host process. Both sides are built from this header,
// one as a 64-bit and one as a 32-bit program, so every field has a fixed width and the layout is
// checked below. One request and one reply per call, each a fixed header followed by the exact
// number of bytes its lengths announce; the host checks every length before it uses it.
#pragma once

#include "frame/entry.h"

#include <cstdint>

namespace morlane::hosted::wire {

// The texts an entry point takes, in argument order; they travel in that order.
inline int text_count(Entry entry) noexcept {
    switch (entry) {
    case Entry::DownLoad:
        return 1;
    case Entry::Request:
        return 2;
    case Entry::Poke:
        return 3;
    default:
        return 0;
    }
}

inline bool has_words(Entry entry) noexcept {
    return entry == Entry::RegWrite || entry == Entry::RegRead;
}

// Control channel, bridge to host: one ControlMessage each. A NewChannel hands the host the far
// end of a fresh call channel, on which it serves calls from one bridge thread at a time.
enum : std::uint32_t { kNewChannel = 1, kQuit = 2 };
struct ControlMessage {
    std::uint32_t kind;
    std::uint32_t handle; // Windows: the channel's handle value, already duplicated into the host
};

// Control channel, host to bridge, once after start: whether the library loaded.
enum : std::uint32_t { kLoaded = 1, kNotLoaded = 2 };

// Call channel, bridge to host.
enum : std::uint32_t { kCall = 1, kLookup = 2 };
struct Request {
    std::uint32_t op;
    std::uint32_t entry; // morlane::Entry
    std::int32_t args[5];
    std::int32_t count;          // words that follow (RegWrite) or are wanted back (RegRead)
    std::uint32_t text_bytes[3]; // each text follows without its NUL, in order
};
// Then: the texts the entry point takes, then for RegWrite `count` 16-bit words.

// Call channel, host to bridge.
enum : std::uint32_t {
    kCalled = 1,   // the entry point ran; `status` is its result
    kMissing = 2,  // the library lacks the entry point (also the answer to a kLookup that fails)
    kFound = 3,    // answer to a kLookup that succeeds
    kNoMemory = 4, // the host could not hold the call's data; nothing was called
};
struct Reply {
    std::uint32_t reach;
    std::int32_t status;
    std::uint32_t payload_bytes; // RegRead: count words; Request with status 1: the reply text
                                 // up to and including its NUL, or the whole area without one
};

static_assert(sizeof(ControlMessage) == 8, "control message layout");
static_assert(sizeof(Request) == 44, "request layout");
static_assert(sizeof(Reply) == 12, "reply layout");

} // namespace morlane::hosted::wire
