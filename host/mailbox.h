// A mailbox: memory that only the bridge and its host share (Linux: a memfd handed over the
// private control socket; Windows: an unnamed section whose handle is duplicated into the host).
// One bridge thread at a time puts a request in it, one host thread answers in place.
//
// Whose turn it is lives in one word. Each side spins briefly with the processor's pause
// instruction, then sleeps on the word (a futex; on Windows an event of that side's own). A side
// that goes to sleep marks the word first; the side that hands over the turn swaps the whole word
// and wakes only when it finds the mark, so the mark and the turn change in one atomic step and a
// wake-up cannot be lost; a sleeper re-checks the word before and after every sleep. A host that
// dies is seen by the bridge's warden, which marks its mailboxes dead and wakes their sleepers.
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
    kMask = 0x7,
};
} // namespace turn

// The start of every mailbox, the same in a 32-bit and a 64-bit process.
struct MailboxHeader {
    std::atomic<std::uint32_t> turn;
    std::uint32_t unused;
    wire::Request request;
    wire::Reply reply;
};
static_assert(sizeof(std::atomic<std::uint32_t>) == 4, "a plain word in shared memory");
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "lock-free across processes");

constexpr std::uint32_t kDataOffset = 64;
static_assert(sizeof(MailboxHeader) <= kDataOffset, "the header fits before the data");
// The mailbox each calling thread keeps: room for every call but the longest texts and blocks; a
// call that needs more gets a mailbox of its own size, used once.
constexpr std::uint32_t kMailboxBytes = 64 * 1024;
constexpr std::uint32_t kMostMailboxBytes =
    kDataOffset + kMostTexts * (wire::kMostTextBytes + 1) + 8 +
    (wire::word_bytes(wire::kMostWords) > kReplyBytes ? wire::word_bytes(wire::kMostWords)
                                                      : kReplyBytes);

// Where a call's data lie, as offsets from the mailbox's start: the texts, each with its NUL,
// then the words or the reply area.
struct Layout {
    std::uint32_t texts[kMostTexts];
    std::uint32_t data; // the words or the reply area
    std::uint32_t end;  // one past the last byte the call uses
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
    at.end = at.data;
    if (call && s.words != WordFlow::None) {
        at.end += wire::word_bytes(request.count);
    } else if (call && s.reply) {
        at.end += kReplyBytes;
    }
    return at;
}

// A mailbox as one process sees it.
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

// The bridge waits for kBridge (and kDead), the host for kHost (and kClosed).
enum class Side : int { Bridge = 0, Host = 1 };

constexpr Side waiter_of(std::uint32_t to) noexcept {
    return to == turn::kHost || to == turn::kClosed ? Side::Host : Side::Bridge;
}

// Sleeps `sleeper` while the turn word still reads `seen`, at most `timeout` (negative: no
// limit). May return early for no reason; the caller looks at the word again.
void sleep_on(const Mailbox& mailbox, Side sleeper, std::uint32_t seen,
              std::chrono::microseconds timeout) noexcept;
void wake(const Mailbox& mailbox, Side sleeper) noexcept;

// Hands the turn over (or marks the mailbox closed or dead) and wakes the other side if it sleeps.
inline void hand_over(const Mailbox& mailbox, std::uint32_t to) noexcept {
    const std::uint32_t before = mailbox.header->turn.exchange(to, std::memory_order_acq_rel);
    MORLANE_RACE_WINDOW();
    if ((before & turn::kSleeper) != 0) {
        wake(mailbox, waiter_of(to));
    }
}

enum class Handed { No, ToAwake, ToSleeper };

// The bridge hands a request over only while the turn is its own: a mailbox its warden marked
// dead stays dead.
inline Handed hand_request_over(const Mailbox& mailbox) noexcept {
    std::atomic<std::uint32_t>& word = mailbox.header->turn;
    std::uint32_t before = word.load(std::memory_order_relaxed);
    do {
        if ((before & turn::kMask) != turn::kBridge) {
            return Handed::No;
        }
    } while (!word.compare_exchange_weak(before, turn::kHost, std::memory_order_acq_rel));
    MORLANE_RACE_WINDOW();
    if ((before & turn::kSleeper) != 0) {
        wake(mailbox, Side::Host);
        return Handed::ToSleeper;
    }
    return Handed::ToAwake;
}

// A reply usually comes within a few microseconds, and a sleep costs a wake-up of tens; after
// the spin an idle side burns nothing.
constexpr std::chrono::microseconds kSpin{20};

// What await_turn gives back when `until` passed first; no turn word without its sleeper bit
// reads it.
constexpr std::uint32_t kTimedOut = ~std::uint32_t{0};

// Waits, as `side`, until `done(word)` holds for the turn word (without its sleeper bit), spinning
// for `spin` first, then sleeping; gives back that word, or kTimedOut when `until` passed first.
template <typename Done>
std::uint32_t await_turn(const Mailbox& mailbox, Side side, Done done,
                         std::chrono::steady_clock::time_point until,
                         std::chrono::microseconds spin = kSpin) noexcept {
    using Clock = std::chrono::steady_clock;
    std::atomic<std::uint32_t>& word = mailbox.header->turn;
    std::uint32_t seen = word.load(std::memory_order_acquire) & ~turn::kSleeper;
    if (done(seen)) {
        return seen;
    }
    const Clock::time_point spin_end = Clock::now() + spin;
    for (int round = 1; spin.count() > 0; ++round) {
#if defined(__i386__) || defined(__x86_64__)
        __builtin_ia32_pause();
#endif
        seen = word.load(std::memory_order_acquire) & ~turn::kSleeper;
        if (done(seen)) {
            return seen;
        }
        if (round % 64 == 0 && Clock::now() >= spin_end) {
            break;
        }
    }
    for (;;) {
        seen = word.load(std::memory_order_acquire);
        if (done(seen & ~turn::kSleeper)) {
            return seen & ~turn::kSleeper;
        }
        MORLANE_RACE_WINDOW();
        if ((seen & turn::kSleeper) == 0 &&
            !word.compare_exchange_weak(seen, seen | turn::kSleeper, std::memory_order_acq_rel)) {
            continue; // the word changed under us: look again
        }
        seen |= turn::kSleeper;
        std::chrono::microseconds timeout{-1};
        if (until != Clock::time_point::max()) {
            const Clock::time_point now = Clock::now();
            if (now >= until) {
                return kTimedOut;
            }
            timeout = std::chrono::duration_cast<std::chrono::microseconds>(until - now) +
                      std::chrono::microseconds(1);
        }
        MORLANE_RACE_WINDOW();
        sleep_on(mailbox, side, seen, timeout);
    }
}

} // namespace morlane::hosted
