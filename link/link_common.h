// Shared by the link methods: the PLC link library's status rule on top of the frame's pattern.
#pragma once

#include "frame/call.h"

namespace morlane::link {

// 0 is success; every other status is a failure reported by the operation's own line.
inline Diag on_failure(int status, Diag failure) noexcept {
    return status == 0 ? Diag::None : failure;
}

// Resolves `entry` in the link slot and runs `operation` as resolve_and_call does.
template <typename Fn, typename Operation>
bool call_link(const char* entry, Operation&& operation) noexcept {
    return resolve_and_call<Fn>(link_slot(), entry, static_cast<Operation&&>(operation));
}

} // namespace morlane::link
