// The outside entry points an operation can call, and the arguments of one call in a shape that
// every entry point fits. Describing a call as data is what lets the same call run in this
// process or be carried to the host process, which runs it with the very same code.
#pragma once

#include <cstdint>

namespace morlane {

enum class Entry : std::uint8_t {
    Open,
    Close,
    RunMode,
    StopMode,
    DownLoad,
    RegWrite,
    RegRead,
    Poke,
    Request,
};
constexpr int kEntryCount = 9;

// The exact exported name the entry point is looked up by. Inline, so that an operation's own
// name is a constant in its code rather than a call.
inline const char* entry_name(Entry entry) noexcept {
    constexpr const char* kNames[kEntryCount] = {
        "CVDLLRZ_Open",     "CVDLLRZ_Close",    "CVDLLRZ_RunMode",
        "CVDLLRZ_StopMode", "CVDLLRZ_DownLoad", "CVDLLRZ_RegWrite",
        "CVDLLRZ_RegRead",  "CVDA_Poke",        "CVDA_Request"};
    return kNames[static_cast<int>(entry)];
}

// Size of the reply area CVDA_Request fills; the library is given no size, so this is the limit.
constexpr std::uint32_t kReplyBytes = 4096;

// One call's arguments. Integers go first to last in `args`; texts are NUL-terminated; `words`
// holds `count` words (read by RegWrite, written by RegRead); `reply` is a kReplyBytes area.
struct Call {
    Call() noexcept = default;
    // Member by member: as an aggregate, a 32-bit build cleared the members a register call
    // leaves unset with a loop of stores on every call; this way they take a few single stores.
    template <typename... Ints> explicit Call(Ints... ints) noexcept : args{ints...} {}

    std::int32_t args[5] = {};
    const char* texts[3] = {};
    std::uint16_t* words = nullptr;
    std::int32_t count = 0;
    char* reply = nullptr;
};

} // namespace morlane
