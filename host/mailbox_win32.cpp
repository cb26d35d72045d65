// Mailboxes on Windows: an unnamed section, and two auto-reset events per mailbox, one for each
// side to sleep on. Only one thread of each side ever sleeps on a mailbox, so a side's event holds
// exactly the wake-ups meant for it: one set while its sleeper is still on the way to the wait is
// kept until that wait, and no wake-up for one side can be taken by the other. No object has a
// name, so no other process can open any of them; the host gets duplicates.
#include "host/mailbox.h"

#include <windows.h>

namespace morlane::hosted {
namespace {

HANDLE event_of(const Mailbox& mailbox, Side side) noexcept {
    return reinterpret_cast<HANDLE>(mailbox.events[static_cast<int>(side)]);
}

void close_events(Mailbox& mailbox) noexcept {
    for (std::intptr_t& event : mailbox.events) {
        if (event != 0) {
            CloseHandle(reinterpret_cast<HANDLE>(event));
        }
        event = 0;
    }
}

} // namespace

bool make_mailbox(std::uint32_t bytes, Mailbox& mailbox) noexcept {
    HANDLE section =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, bytes, nullptr);
    if (section == nullptr) {
        return false;
    }
    for (std::intptr_t& event : mailbox.events) {
        event = reinterpret_cast<std::intptr_t>(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    }
    void* base = mailbox.events[0] != 0 && mailbox.events[1] != 0
                     ? MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, bytes)
                     : nullptr;
    if (base == nullptr) {
        close_events(mailbox);
        CloseHandle(section);
        return false;
    }
    mailbox.header = static_cast<MailboxHeader*>(base);
    mailbox.header->turn.store(turn::kBridge, std::memory_order_relaxed);
    mailbox.bytes = bytes;
    mailbox.handle = reinterpret_cast<std::intptr_t>(section);
    return true;
}

bool map_mailbox(std::intptr_t handle, const std::intptr_t* events, std::uint32_t bytes,
                 Mailbox& mailbox) noexcept {
    HANDLE section = reinterpret_cast<HANDLE>(handle);
    mailbox.events[0] = events[0];
    mailbox.events[1] = events[1];
    // A view as long as the section claims to be fails if the section is shorter.
    void* base = bytes >= kDataOffset && bytes <= kMostMailboxBytes
                     ? MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, bytes)
                     : nullptr;
    CloseHandle(section);
    if (base == nullptr) {
        close_events(mailbox);
        return false;
    }
    mailbox.header = static_cast<MailboxHeader*>(base);
    mailbox.bytes = bytes;
    mailbox.handle = 0;
    return true;
}

void unmap_mailbox(Mailbox& mailbox) noexcept {
    if (mailbox.header != nullptr) {
        UnmapViewOfFile(mailbox.header);
        mailbox.header = nullptr;
    }
    if (mailbox.handle != 0 && mailbox.handle != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(mailbox.handle));
    }
    mailbox.handle = -1;
    close_events(mailbox);
}

void sleep_on(const Mailbox& mailbox, Side sleeper, std::uint32_t seen,
              std::chrono::microseconds timeout) noexcept {
    // The event may still hold a wake-up from an earlier sleep that ended by itself (its timeout,
    // or this look): the caller looks at the word again whatever woke it, so a stale one costs a
    // round of its loop, never a turn.
    if (mailbox.header->turn.load(std::memory_order_acquire) != seen) {
        return;
    }
    const DWORD ms =
        timeout.count() < 0 ? INFINITE : static_cast<DWORD>((timeout.count() + 999) / 1000);
    WaitForSingleObject(event_of(mailbox, sleeper), ms);
}

void wake(const Mailbox& mailbox, Side sleeper) noexcept {
    SetEvent(event_of(mailbox, sleeper));
}

} // namespace morlane::hosted
