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
#include "frame/java_text.h"
#include "frame/journal.h"
#include "frame/slots.h"
#include "host/client.h"

namespace morlane {

// How an operation's call ended: the status when the entry point ran.
struct Outcome {
    hosted::Reach reach;
    int status;

    bool called() const noexcept { return reach == hosted::Reach::Called; }
};

// The kind of failure of a call that did not reach its entry point; one refused by the bridge,
// when its entry point is there (Called).
inline Failure failure_of(hosted::Reach reach) noexcept {
    switch (reach) {
    case hosted::Reach::Missing:
        return Failure::EntryMissing;
    case hosted::Reach::Lost:
        return Failure::HostLost;
    case hosted::Reach::Expired:
        return Failure::Deadline;
    case hosted::Reach::Busy:
        return Failure::HostBusy;
    default:
        return Failure::Refused;
    }
}

// The entry point `E` of the library an operation holds.
template <Entry E> class EntryPoint {
  public:
    explicit EntryPoint(const SlotUse& use) noexcept
        : use_(use), host_(use.library()->host),
          address_(use.library()->module != nullptr
                       ? find_entry(use.library()->module, entry_name(E))
                       : nullptr),
          texts_page_(crossing_page(text_code_page())) {}
    EntryPoint(const EntryPoint&) = delete;
    EntryPoint& operator=(const EntryPoint&) = delete;

    // False when the library in this process lacks the entry point. A host's library is asked
    // with the call itself, so a hosted entry point counts as found until then.
    bool found() const noexcept { return address_ != nullptr || host_ != nullptr; }

    // The code page the library's texts are in: 0 (this process's ANSI code page) in process,
    // its host's hosted.
    unsigned text_code_page() const noexcept {
        return host_ != nullptr ? hosted::text_code_page(*host_) : 0;
    }

    // The code page the operation's texts cross in (frame/java_text.h), one for all of them.
    unsigned texts_page() const noexcept { return texts_page_; }

    // Calls the entry point with exactly the arguments its function takes.
    template <typename... Args> Outcome call(Args... args) const noexcept {
        Call call = make_call<E>(args...);
        if (!journal::on()) {
            return perform_call(call);
        }
        const auto began = std::chrono::steady_clock::now();
        const Outcome outcome = perform_call(call);
        // A call its deadline abandoned ran as long as the deadline let it: that time is shown.
        const bool timed = outcome.called() || outcome.reach == hosted::Reach::Expired;
        journal::made(call, host_ != nullptr, outcome.called(), outcome.status,
                      timed ? began : std::chrono::steady_clock::time_point{},
                      texts_page_);
        return outcome;
    }

    // The line for an operation that refuses its input without calling: `refusal`, unless the
    // library lacks the entry point, which is reported first as it would be in this process.
    Diag refuse(Diag refusal) const noexcept {
        const hosted::Reach reach = host_ == nullptr
                                        ? hosted::Reach::Called
                                        : hosted::lookup(*host_, E, use_.slot().deadline());
        forget_if_lost(reach);
        note_failure(failure_of(reach));
        return reach == hosted::Reach::Missing ? Diag::FunctionNotFound : refusal;
    }

  private:
    Outcome perform_call(Call& call) const noexcept {
        if (address_ != nullptr) {
            return {hosted::Reach::Called, invoke<E>(address_, call)};
        }
        Outcome outcome{hosted::Reach::Lost, 0};
        outcome.reach = hosted::call(*host_, E, call, outcome.status, use_.slot().deadline());
        forget_if_lost(outcome.reach);
        return outcome;
    }

    void forget_if_lost(hosted::Reach reach) const noexcept {
        if (reach == hosted::Reach::Lost || reach == hosted::Reach::Expired) {
            use_.slot().drop(use_.library());
        }
    }

    const SlotUse& use_;
    hosted::Host* host_;
    void* address_;
    const unsigned texts_page_;
};

// The line for an outcome under a status rule: `failure` when the call could not be made,
// "Function not found" when the host's library lacks the entry point.
template <typename StatusRule>
Diag judge(const Outcome& outcome, Diag failure, StatusRule&& rule) noexcept {
    if (outcome.called()) {
        note_status(outcome.status);
        const Diag diag = rule(outcome.status);
        if (diag != Diag::None) {
            note_failure(Failure::Library);
        }
        return diag;
    }
    note_failure(failure_of(outcome.reach));
    return outcome.reach == hosted::Reach::Missing ? Diag::FunctionNotFound : failure;
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
