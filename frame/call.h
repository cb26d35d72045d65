// The one pattern every operation follows: test the slot, look the entry point up by name in the
// loaded library (afresh on every call, by design: an address is never kept), and only then let
// the operation borrow from the JVM, call, and map the status to its diagnostic line.
#pragma once

#include "frame/diagnostics.h"
#include "frame/slots.h"

namespace morlane {

// The entry point `entry` of the library in `slot` as a `Fn`, or nullptr after writing
// "DLL not found" (empty slot) or "Function not found" (no such export).
template <typename Fn> Fn resolve(const LibrarySlot& slot, const char* entry) noexcept {
    ModuleHandle module = slot.handle();
    if (module == nullptr) {
        report(Diag::DllNotFound);
        return nullptr;
    }
    void* address = find_entry(module, entry);
    if (address == nullptr) {
        report(Diag::FunctionNotFound);
        return nullptr;
    }
    return reinterpret_cast<Fn>(address);
}

// Resolves `entry` and, if found, runs `operation(fn)`: it borrows what it needs, makes the call
// and returns the line its outcome calls for (Diag::None on success), which is written here.
// Returns false when the entry point could not be resolved.
template <typename Fn, typename Operation>
bool resolve_and_call(const LibrarySlot& slot, const char* entry, Operation&& operation) noexcept {
    Fn fn = resolve<Fn>(slot, entry);
    if (fn == nullptr) {
        return false;
    }
    report(operation(fn));
    return true;
}

} // namespace morlane
