// Mailboxes on Windows: an unnamed section, and an auto-reset event per mailbox for the sleeper.
// No object has a name, so no other process can open either; the host gets duplicates.
#include "host/mailbox.h"

#include <windows.h>

namespace morlane::hosted {

bool make_mailbox(std::uint32_t bytes, Mailbox& mailbox) noexcept {
    HANDLE section =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, bytes, nullptr);
    if (section == nullptr) {
        return false;
    }
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    void* base =
        event != nullptr ? MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, bytes) : nullptr;
    if (base == nullptr) {
        if (event != nullptr) {
            CloseHandle(event);
        }
        CloseHandle(section);
        return false;
    }
    mailbox.header = static_cast<MailboxHeader*>(base);
    mailbox.header->turn.store(turn::kBridge, std::memory_order_relaxed);
    mailbox.bytes = bytes;
    mailbox.handle = reinterpret_cast<std::intptr_t>(section);
    mailbox.event = reinterpret_cast<std::intptr_t>(event);
    return true;
}

bool map_mailbox(std::intptr_t handle, std::intptr_t event, std::uint32_t bytes,
                 Mailbox& mailbox) noexcept {
    HANDLE section = reinterpret_cast<HANDLE>(handle);
    // A view as long as the section claims to be fails if the section is shorter.
    void* base = bytes >= kDataOffset && bytes <= kMostMailboxBytes
                     ? MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, bytes)
                     : nullptr;
    CloseHandle(section);
    if (base == nullptr) {
        CloseHandle(reinterpret_cast<HANDLE>(event));
        return false;
    }
    mailbox.header = static_cast<MailboxHeader*>(base);
    mailbox.bytes = bytes;
    mailbox.handle = 0;
    mailbox.event = event;
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
    if (mailbox.event != 0) {
        CloseHandle(reinterpret_cast<HANDLE>(mailbox.event));
    }
    mailbox.handle = -1;
    mailbox.event = 0;
}

void sleep_on(const Mailbox& mailbox, Side, std::uint32_t seen,
              std::chrono::microseconds timeout) noexcept {
    // The event may hold a wake-up meant for an earlier sleep: the caller looks at the word again
    // whatever woke it, so a stale one costs a round of the loop, never a lost turn.
    if (mailbox.header->turn.load(std::memory_order_acquire) != seen) {
        return;
    }
    const DWORD ms =
        timeout.count() < 0 ? INFINITE : static_cast<DWORD>((timeout.count() + 999) / 1000);
    WaitForSingleObject(reinterpret_cast<HANDLE>(mailbox.event), ms);
}

void wake(const Mailbox& mailbox, Side) noexcept {
    SetEvent(reinterpret_cast<HANDLE>(mailbox.event));
}

} // namespace morlane::hosted
