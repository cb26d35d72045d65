// Shared by the link methods: the PLC link library's status rule on top of the frame's pattern.
#pragma once

#include "frame/call.h"

namespace morlane::link {

// 0 is success; every other status, and a call that could not be made, is the operation's own
// failure line.
inline Diag judge_link(const Outcome& outcome, Diag failure) noexcept {
    return judge(outcome, failure,
                 [failure](int status) { return status == 0 ? Diag::None : failure; });
}

// Calls entry point `E` of the PLC link library with `args` and nothing else.
template <Entry E, typename... Ints> void call_link(Diag failure, Ints... args) noexcept {
    perform<E>(link_slot(), [&](const EntryPoint<E>& entry_point) {
        return judge_link(entry_point.call(args...), failure);
    });
}

} // namespace morlane::link
