// Mailboxes on Windows: an unnamed section and an auto-reset event per side, duplicated into the
// host. Only one thread of a side ever sleeps on a mailbox, so its event holds exactly the
// wake-ups meant for it, one set before its sleeper reaches the wait too.
#include "host/mailbox.h"

#include <windows.h>

namespace morlane::hosted {

#if defined(MORLANE_SLEEP_GAP_HOOK)
// The stress test's: called between a sleeper's look at the word and its wait, the one gap where a
// hand-over could slip past a sleeper, so that it can hold the sleeper there until one comes.
void in_sleep_gap(const std::atomic<std::uint32_t>& word, std::uint32_t seen) noexcept;
#endif

namespace {

void close_handles(std::intptr_t* handles, int count) noexcept {
    for (int i = 0; i < count; ++i) {
        if (handles[i] != 0 && handles[i] != -1) {
            CloseHandle(reinterpret_cast<HANDLE>(handles[i]));
        }
        handles[i] = 0;
    }
}

} // namespace

bool make_mailbox(std::uint32_t bytes, Mailbox& mailbox) noexcept {
    mailbox.handle = reinterpret_cast<std::intptr_t>(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, bytes, nullptr));
    for (std::intptr_t& event : mailbox.events) {
        event = reinterpret_cast<std::intptr_t>(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }
    void* base = mailbox.handle != 0 && mailbox.events[0] != 0 && mailbox.events[1] != 0
                     ? MapViewOfFile(reinterpret_cast<HANDLE>(mailbox.handle), FILE_MAP_ALL_ACCESS,
                                     0, 0, bytes)
                     : nullptr;
    if (base == nullptr) {
        unmap_mailbox(mailbox);
        return false;
    }
    mailbox.header = static_cast<MailboxHeader*>(base);
    mailbox.header->turn.store(turn::kBridge, std::memory_order_relaxed);
    mailbox.bytes = bytes;
    return true;
}

bool map_mailbox(std::intptr_t handle, const std::intptr_t* events, std::uint32_t bytes,
                 Mailbox& mailbox) noexcept {
    mailbox.events[0] = events[0];
    mailbox.events[1] = events[1];
    // A view as long as the section claims to be fails if the section is shorter.
    void* base =
        bytes >= kDataOffset && bytes <= kMostMailboxBytes
            ? MapViewOfFile(reinterpret_cast<HANDLE>(handle), FILE_MAP_ALL_ACCESS, 0, 0, bytes)
            : nullptr;
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    if (base == nullptr) {
        unmap_mailbox(mailbox);
        return false;
    }
    mailbox.header = static_cast<MailboxHeader*>(base);
    mailbox.bytes = bytes;
    return true;
}

void unmap_mailbox(Mailbox& mailbox) noexcept {
    if (mailbox.header != nullptr) {
        UnmapViewOfFile(mailbox.header);
    }
    close_handles(&mailbox.handle, 1);
    close_handles(mailbox.events, 2);
    mailbox = Mailbox{};
}

void sleep_on(const Mailbox& mailbox, Side sleeper, std::uint32_t seen,
              std::chrono::microseconds timeout) noexcept {
    // The event may still hold a wake-up from an earlier sleep that ended by itself: the caller
    // looks at the word again whatever woke it, so a stale one costs a round, never a turn.
    if (mailbox.header->turn.load(std::memory_order_acquire) == seen) {
#if defined(MORLANE_SLEEP_GAP_HOOK)
        in_sleep_gap(mailbox.header->turn, seen);
#endif
        WaitForSingleObject(
            reinterpret_cast<HANDLE>(mailbox.events[static_cast<int>(sleeper)]),
            timeout.count() < 0 ? INFINITE : static_cast<DWORD>((timeout.count() + 999) / 1000));
    }
}

void wake(const Mailbox& mailbox, Side sleeper) noexcept {
    SetEvent(reinterpret_cast<HANDLE>(mailbox.events[static_cast<int>(sleeper)]));
}

namespace {

// One read or write of at most `size` bytes: the bytes moved, 0 once the other side is gone or
// `until` passed.
DWORD transfer(const Channel& c, bool writing, char* data, std::size_t size, Until until) noexcept {
    const DWORD most = static_cast<DWORD>(size < (1u << 30) ? size : (1u << 30));
    DWORD moved = 0;
    if (c.peer == nullptr) {
        // Fails (ERROR_BROKEN_PIPE, ERROR_NO_DATA) once the other side has closed its end.
        const BOOL done = writing ? WriteFile(c.pipe, data, most, &moved, nullptr)
                                  : ReadFile(c.pipe, data, most, &moved, nullptr);
        return done ? moved : 0;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        return 0;
    }
    BOOL done = writing ? WriteFile(c.pipe, data, most, nullptr, &overlapped)
                        : ReadFile(c.pipe, data, most, nullptr, &overlapped);
    if (done || GetLastError() == ERROR_IO_PENDING) {
        // Whatever else holds the host's end, the host's death ends the wait; the operation is
        // then cancelled, and waited for, before `overlapped` goes.
        const HANDLE either[2] = {overlapped.hEvent, c.peer};
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        const DWORD timeout = until == Until::max()         ? INFINITE
                              : left.count() <= 0           ? 0
                              : left.count() < INFINITE - 1 ? static_cast<DWORD>(left.count())
                                                            : INFINITE - 1;
        if (!done && WaitForMultipleObjects(2, either, FALSE, timeout) != WAIT_OBJECT_0) {
            CancelIoEx(c.pipe, &overlapped);
        }
        done = GetOverlappedResult(c.pipe, &overlapped, &moved, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    return done ? moved : 0;
}

} // namespace

bool move_all(const Channel& channel, bool writing, char* data, std::size_t size,
              Until until) noexcept {
    for (DWORD moved = 1; size > 0 && moved != 0; data += moved, size -= moved) {
        moved = transfer(channel, writing, data, size, until);
    }
    return size == 0;
}

void close_channel(Channel& channel) noexcept {
    if (channel.pipe != nullptr) {
        CloseHandle(channel.pipe);
    }
    channel.pipe = nullptr;
}

Sent send_mailbox(const Channel& control, Mailbox& mailbox, std::uint32_t kind,
                  std::uint32_t sequence, Until until) noexcept {
    // Copies of the section and both events move into the host; the section's handle is ours no
    // longer (the view stays), the events' we keep, to wake and sleep on.
    const HANDLE self = GetCurrentProcess();
    HANDLE theirs[3] = {};
    const std::intptr_t ours[3] = {mailbox.handle, mailbox.events[0], mailbox.events[1]};
    bool moved = true;
    for (int i = 0; i < 3; ++i) {
        // Once one failed, the rest is not tried: whatever was copied is the host's to close
        // when it ends, since nothing reaches it that would name them.
        moved = moved && DuplicateHandle(self, reinterpret_cast<HANDLE>(ours[i]), control.peer,
                                         &theirs[i], 0, FALSE,
                                         DUPLICATE_SAME_ACCESS |
                                             (i == 0 ? DUPLICATE_CLOSE_SOURCE : 0)) != FALSE;
    }
    mailbox.handle = -1;
    if (!moved) {
        return Sent::Nothing; // only this call fails
    }
    const auto value = [](HANDLE handle) {
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
    };
    const wire::ControlMessage message{
        kind, sequence, mailbox.bytes, value(theirs[0]), {value(theirs[1]), value(theirs[2])}};
    return write_all(control, &message, sizeof message, until) ? Sent::Yes : Sent::Broken;
}

std::uint32_t receive_control(const Channel& control, Mailbox& box,
                              std::uint32_t& sequence) noexcept {
    wire::ControlMessage message{};
    if (!read_all(control, &message, sizeof message)) {
        return 0;
    }
    sequence = message.sequence;
    const std::intptr_t events[2] = {static_cast<std::intptr_t>(message.events[0]),
                                     static_cast<std::intptr_t>(message.events[1])};
    if ((message.kind == wire::kNewMailbox || message.kind == wire::kExtension) &&
        message.handle != 0 && events[0] != 0 && events[1] != 0) {
        map_mailbox(static_cast<std::intptr_t>(message.handle), events, message.bytes, box);
    }
    return message.kind;
}

} // namespace morlane::hosted
