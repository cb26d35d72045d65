// The one pattern every operation follows: hold the slot's library, look the entry point up by
// name (afresh on every call, by design: an address is never kept), and only then let the
// operation borrow from the JVM, call, and map the outcome to its diagnostic line.
//
// This is also the one place where "call the entry point" becomes "ask the host" for a library
// that lives in a host process; the operations themselves do not know which it is.
#pragma once

#include "entry/entries.h"
#include "entry/invoke.h"
#include "entry/loader.h"
#include "frame/diagnostics.h"
#include "frame/journal.h"
#include "frame/slots.h"
#include "host/client.h"

namespace morlane {

// How an operation's call ended: the status when the entry point ran.
struct Outcome {
    hosted::Reach reach;
    int status;
};

// The entry point `E` of the library an operation holds.
template <Entry E> class EntryPoint {
  public:
    explicit EntryPoint(const SlotUse& use) noexcept : use_(use), address_(find(*use.library())) {}
    EntryPoint(const EntryPoint&) = delete;
    EntryPoint& operator=(const EntryPoint&) = delete;

    // The code page the library's texts are in: 0 (this process's ANSI code page) in process,
    // its host's hosted.
    unsigned text_code_page() const noexcept {
        const hosted::Host* host = use_.library()->host;
        return host != nullptr ? hosted::text_code_page(*host) : 0;
    }

    // False when the library in this process lacks the entry point. A host's library is asked
    // with the call itself, so a hosted entry point counts as found until then.
    bool found() const noexcept { return address_ != nullptr || use_.library()->host != nullptr; }

    // Inline in every operation, where the entry is a constant: the call in this process then
    // compiles to a direct call of the entry point's type.
    MORLANE_INLINE Outcome call(Call& call) const noexcept {
        if (journal::on()) {
            return call_journaled(call);
        }
        if (address_ != nullptr) {
            return {hosted::Reach::Called, invoke<E>(address_, call)};
        }
        return call_host(call);
    }

    // The line for an operation that refuses its input without calling: `refusal`, unless the
    // library lacks the entry point, which is reported first as it would be in this process.
    Diag refuse(Diag refusal) const noexcept {
        if (address_ != nullptr) {
            note_failure(Failure::Refused);
            return refusal;
        }
        const hosted::Reach reach =
            hosted::lookup(*use_.library()->host, E, use_.slot().deadline());
        forget_if_lost(reach);
        if (reach == hosted::Reach::Missing) {
            note_failure(Failure::EntryMissing);
            return Diag::FunctionNotFound;
        }
        note_failure(reach == hosted::Reach::Lost      ? Failure::HostLost
                     : reach == hosted::Reach::Expired ? Failure::Deadline
                                                       : Failure::Refused);
        return refusal;
    }

  private:
    MORLANE_NOINLINE Outcome call_journaled(Call& call) const noexcept {
        const auto began = std::chrono::steady_clock::now();
        const Outcome outcome = address_ != nullptr
                                    ? Outcome{hosted::Reach::Called, invoke<E>(address_, call)}
                                    : call_host(call);
        journal::made(call, address_ == nullptr, outcome.reach == hosted::Reach::Called,
                      outcome.status, began);
        return outcome;
    }

    MORLANE_NOINLINE Outcome call_host(Call& call) const noexcept {
        Outcome outcome{hosted::Reach::Lost, 0};
        outcome.reach =
            hosted::call(*use_.library()->host, E, call, outcome.status, use_.slot().deadline());
        forget_if_lost(outcome.reach);
        return outcome;
    }

    static void* find(Library& library) noexcept {
        if (library.module == nullptr) {
            return nullptr;
        }
#if defined(MORLANE_KEEP_ENTRY)
        std::atomic<void*>& kept = library.kept[static_cast<int>(E)];
        void* address = kept.load(std::memory_order_relaxed);
        if (address == nullptr) {
            address = find_entry(library.module, entry_name(E));
            kept.store(address, std::memory_order_relaxed);
        }
        return address;
#else
        return find_entry(library.module, entry_name(E));
#endif
    }

    void forget_if_lost(hosted::Reach reach) const noexcept {
        if (reach == hosted::Reach::Lost || reach == hosted::Reach::Expired) {
            use_.slot().drop(use_.library());
        }
    }

    const SlotUse& use_;
    void* address_;
};

// The line for an outcome under a status rule: `failure` when the call could not be made,
// "Function not found" when the host's library lacks the entry point.
template <typename StatusRule>
Diag judge(const Outcome& outcome, Diag failure, StatusRule&& rule) noexcept {
    switch (outcome.reach) {
    case hosted::Reach::Called: {
        const Diag diag = rule(outcome.status);
        if (diag != Diag::None) {
            note_failure(Failure::Library);
        }
        return diag;
    }
    case hosted::Reach::Missing:
        note_failure(Failure::EntryMissing);
        return Diag::FunctionNotFound;
    case hosted::Reach::Failed:
        note_failure(Failure::Refused);
        break;
    case hosted::Reach::Lost:
        note_failure(Failure::HostLost);
        break;
    case hosted::Reach::Expired:
        note_failure(Failure::Deadline);
        break;
    }
    return failure;
}

// Runs one operation of entry point `E` on `slot`: reports "DLL not found" for an empty slot and
// "Function not found" for a missing entry point; otherwise `operation(entry_point)` borrows what
// it needs, calls, and returns the line its outcome calls for (Diag::None on success), written
// here. Every operation is journaled here (frame/journal.h), and nowhere else.
template <Entry E, typename Operation>
void perform(LibrarySlot& slot, Operation&& operation) noexcept {
    begin_call();
    const journal::Scope journaled(E);
    SlotUse use(slot);
    if (use.library() == nullptr) {
        note_failure(Failure::NotLoaded);
        report(Diag::DllNotFound);
        return;
    }
    const EntryPoint<E> entry_point(use);
    if (!entry_point.found()) {
        note_failure(Failure::EntryMissing);
        report(Diag::FunctionNotFound);
        return;
    }
    report(operation(entry_point));
}

} // namespace morlane
