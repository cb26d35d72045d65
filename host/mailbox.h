// What the bridge and its host share: a private control channel and mailboxes, memory only the
// two of them map. One bridge thread at a time puts a request in a mailbox, one host thread
// answers in place. Whose turn it is lives in one word. Each side spins briefly, then sleeps on
// the word (a futex; on Windows an event of that side's own). A side that goes to sleep marks the
// word first; the side that hands over the turn swaps the whole word and wakes only when it finds
// the mark, so a wake-up cannot be lost; a sleeper re-checks the word around every sleep.
#pragma once

#include "host/protocol.h"

#include <atomic>
#include <chrono>
#include <cstdint>

// The stress test widens the windows between a look at the word and what follows from it.
#if !defined(MORLANE_RACE_WINDOW)
#define MORLANE_RACE_WINDOW() ((void)0)
#endif

namespace morlane::hosted {

namespace turn {
enum : std::uint32_t {
    kBridge = 1,    // the bridge's: idle, or a reply is there
    kHost = 2,      // the host's: a request is there
    kClosed = 3,    // the bridge is done with it; the host's thread ends
    kDead = 4,      // the host is gone (set on the bridge's side only)
    kSleeper = 0x8, // the side waiting for its turn sleeps on the word
};
} // namespace turn

struct MailboxHeader { // the same in a 32-bit and a 64-bit process
    std::atomic<std::uint32_t> turn;
    std::uint32_t sequence; // the request's number, which its reply must carry
    wire::Request request;
    wire::Reply reply;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free && sizeof(MailboxHeader::turn) == 4,
              "a plain word in shared memory");

constexpr std::uint32_t kDataOffset = 128;
static_assert(sizeof(MailboxHeader) <= kDataOffset, "the header fits before the data");
// Each calling thread keeps one: room for every call but the longest texts and blocks, which get
// a mailbox of their own size, used once.
constexpr std::uint32_t kMailboxBytes = 64 * 1024;
constexpr std::uint32_t kMostMailboxBytes =
    kDataOffset + kMostTexts * (wire::kMostTextBytes + 1) + 8 +
    (wire::word_bytes(wire::kMostWords) > kReplyBytes ? wire::word_bytes(wire::kMostWords)
                                                      : kReplyBytes);

// Where a call's data lie, as offsets from the mailbox's start.
struct Layout {
    std::uint32_t texts[kMostTexts]; // each with its NUL
    std::uint32_t data;              // the words or the reply area
    std::uint32_t end;               // one past the last byte the call uses
};

// For a well-formed request: every size is within its limit, so nothing here can wrap.
inline Layout layout_of(const wire::Request& request) noexcept {
    Layout at{};
    const bool call = request.op == wire::kCall;
    const Shape& s = shape(static_cast<Entry>(request.entry));
    std::uint32_t next = kDataOffset;
    for (int i = 0; i < kMostTexts; ++i) {
        at.texts[i] = next;
        next += call && i < s.texts ? request.text_bytes[i] + 1 : 0;
    }
    at.data = (next + 7) & ~std::uint32_t{7};
    at.end = at.data + (!call                       ? 0
                        : s.words != WordFlow::None ? wire::word_bytes(request.count)
                        : s.reply                   ? kReplyBytes
                                                    : 0);
    return at;
}

struct Mailbox {
    MailboxHeader* header = nullptr;
    std::uint32_t bytes = 0;
    std::intptr_t handle = -1;    // POSIX: the memfd, until handed over; Windows: the section
    std::intptr_t events[2] = {}; // Windows: each Side's event to sleep on

    char* at(std::uint32_t offset) const noexcept {
        return reinterpret_cast<char*>(header) + offset;
    }
};

// Bridge: a new mailbox of `bytes`, mapped, its turn the bridge's.
bool make_mailbox(std::uint32_t bytes, Mailbox& mailbox) noexcept;
// Host: maps the mailbox whose handle (and on Windows both events) arrived, after checking it is
// `bytes` long; takes the handles over either way.
bool map_mailbox(std::intptr_t handle, const std::intptr_t* events, std::uint32_t bytes,
                 Mailbox& mailbox) noexcept;
void unmap_mailbox(Mailbox& mailbox) noexcept;

enum class Side : int { Bridge = 0, Host = 1 };

// Sleeps `sleeper` while the turn word still reads `seen`, at most `timeout` (negative: no
// limit). May return early for no reason; the caller looks at the word again.
void sleep_on(const Mailbox& mailbox, Side sleeper, std::uint32_t seen,
              std::chrono::microseconds timeout) noexcept;
void wake(const Mailbox& mailbox, Side sleeper) noexcept;

enum class Handed { No, ToAwake, ToSleeper };

// Hands the turn over (or marks the mailbox closed or dead) and wakes the other side if it
// sleeps; with `from`, only while the word is exactly that turn, its sleeper mark aside.
inline Handed hand_over(const Mailbox& mailbox, std::uint32_t to, std::uint32_t from = 0) noexcept {
    std::atomic<std::uint32_t>& word = mailbox.header->turn;
    std::uint32_t before = word.load(std::memory_order_relaxed);
    do {
        if (from != 0 && (before & ~turn::kSleeper) != from) {
            return Handed::No;
        }
    } while (!word.compare_exchange_weak(before, to, std::memory_order_acq_rel));
    MORLANE_RACE_WINDOW();
    if ((before & turn::kSleeper) == 0) {
        return Handed::ToAwake;
    }
    wake(mailbox, to == turn::kHost || to == turn::kClosed ? Side::Host : Side::Bridge);
    return Handed::ToSleeper;
}

// Only while the turn is the bridge's: a mailbox its warden marked dead stays dead.
inline Handed hand_request_over(const Mailbox& mailbox) noexcept {
    return hand_over(mailbox, turn::kHost, turn::kBridge);
}

// A reply usually comes within a few microseconds, and a sleep costs a wake-up of tens; after
// the spin an idle side burns nothing.
constexpr std::chrono::microseconds kSpin{20};
// What await_turn gives back when `until` passed first; no turn word without its mark reads it.
constexpr std::uint32_t kTimedOut = ~std::uint32_t{0};

// Waits, as `side`, until `done(word)` holds for the turn word (without its sleeper mark),
// spinning for `spin` first, then sleeping; gives back that word, or kTimedOut.
template <typename Done>
std::uint32_t await_turn(const Mailbox& mailbox, Side side, Done done,
                         std::chrono::steady_clock::time_point until,
                         std::chrono::microseconds spin = kSpin) noexcept {
    using Clock = std::chrono::steady_clock;
    std::atomic<std::uint32_t>& word = mailbox.header->turn;
    const Clock::time_point spin_end = Clock::now() + spin;
    for (;;) {
        std::uint32_t seen = word.load(std::memory_order_acquire);
        if (done(seen & ~turn::kSleeper)) {
            return seen & ~turn::kSleeper;
        }
        const Clock::time_point now = Clock::now();
        if (now < spin_end) {
#if defined(__i386__) || defined(__x86_64__)
            __builtin_ia32_pause();
#endif
            continue;
        }
        if (now >= until) {
            return kTimedOut;
        }
        MORLANE_RACE_WINDOW();
        if ((seen & turn::kSleeper) == 0 &&
            !word.compare_exchange_weak(seen, seen | turn::kSleeper, std::memory_order_acq_rel)) {
            continue; // the word changed under us: look again
        }
        const auto timeout =
            until == Clock::time_point::max()
                ? std::chrono::microseconds{-1}
                : std::chrono::duration_cast<std::chrono::microseconds>(until - now) +
                      std::chrono::microseconds(1);
        MORLANE_RACE_WINDOW();
        sleep_on(mailbox, side, seen | turn::kSleeper, timeout);
    }
}

// The control channel: whole buffers or a failure, which means the other side is gone or `until`
// passed. `peer` names the other side's process: its end ends every wait on the channel, whatever
// else holds the channel's far end (a child of the host's library). On Windows the bridge's pipe
// is overlapped and `peer` the host's process handle (not owned); on Linux `peer` is a process
// descriptor, closed with the channel. The host's side has none: its waits end with the channel.
using Until = std::chrono::steady_clock::time_point;
#if defined(_WIN32)
struct Channel {
    void* pipe = nullptr;
    void* peer = nullptr;
};
#else
struct Channel {
    int fd = -1;
    int peer = -1;
};
// One message carrying `descriptor` with it (SCM_RIGHTS).
bool send_with_descriptor(const Channel& channel, const void* data, std::size_t size,
                          int descriptor) noexcept;
#endif
// Moves exactly `size` bytes, or fails.
bool move_all(const Channel& channel, bool writing, char* data, std::size_t size,
              Until until = Until::max()) noexcept;
inline bool write_all(const Channel& channel, const void* data, std::size_t size,
                      Until until = Until::max()) noexcept {
    return move_all(channel, true, static_cast<char*>(const_cast<void*>(data)), size, until);
}
inline bool read_all(const Channel& channel, void* data, std::size_t size,
                     Until until = Until::max()) noexcept {
    return move_all(channel, false, static_cast<char*>(data), size, until);
}
void close_channel(Channel& channel) noexcept;

// Bridge: sends `mailbox` to the host as a message of `kind` (wire::kNewMailbox, kExtension)
// numbered `sequence`, whose wire::ControlAnswer then follows on the channel: Yes; Broken when the
// channel broke or `until` passed; Nothing when Windows could not copy its handles into the host
// and nothing was sent. The mailbox's handle is this process's no longer.
enum class Sent { Yes, Broken, Nothing };
Sent send_mailbox(const Channel& control, Mailbox& mailbox, std::uint32_t kind,
                  std::uint32_t sequence, Until until) noexcept;
// Host: the next message's kind and number, kind 0 at end of file or on any error. The mailbox of
// a kNewMailbox or kExtension is mapped into `box`, whose header stays null when it cannot be;
// whatever else came is closed.
std::uint32_t receive_control(const Channel& control, Mailbox& box,
                              std::uint32_t& sequence) noexcept;

} // namespace morlane::hosted
