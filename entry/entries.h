// The outside entry points, each described once: its exported name and what it takes, in order.
// Everything else about an entry point is derived from its line in kShapes: the typed call
// (entry/invoke.h), the message that carries it to a host and the checks on both sides of it
// (host/protocol.h). Adding an entry point means a line here and the operation that calls it.
//
// What the bridge requires of the two libraries, as the shapes say it: every entry point uses
// the platform's library calling convention and returns a signed 32-bit status. The PLC link
// library's return 0 for success; it reads or writes exactly `count` 16-bit words and keeps no
// pointer it is given. The data-access library's return 1 for success and 0 when its application
// has stopped; CVDA_Request writes a NUL-terminated reply into an area it is given no size for.
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

// A register word as the PLC link library holds it.
using Word = std::uint16_t;

// Which way a call's word buffer goes.
enum class WordFlow : std::uint8_t {
    None,
    ToLibrary,   // the library reads `count` words
    FromLibrary, // the library writes at most `count` words
};

// An entry point's arguments, always in this order: `ints` 32-bit integers, `texts`
// NUL-terminated texts, then a word buffer and its count unless `words` is None, then a reply
// area of kReplyBytes if `reply`.
struct Shape {
    const char* name; // the exact exported name it is looked up by
    std::uint8_t ints;
    std::uint8_t texts;
    WordFlow words;
    bool reply;
};

constexpr Shape kShapes[kEntryCount] = {
    {"CVDLLRZ_Open", 5, 0, WordFlow::None, false},
    {"CVDLLRZ_Close", 1, 0, WordFlow::None, false},
    {"CVDLLRZ_RunMode", 2, 0, WordFlow::None, false},
    {"CVDLLRZ_StopMode", 2, 0, WordFlow::None, false},
    {"CVDLLRZ_DownLoad", 2, 1, WordFlow::None, false},
    {"CVDLLRZ_RegWrite", 3, 0, WordFlow::ToLibrary, false},
    {"CVDLLRZ_RegRead", 3, 0, WordFlow::FromLibrary, false},
    {"CVDA_Poke", 0, 3, WordFlow::None, false},
    {"CVDA_Request", 0, 2, WordFlow::None, true},
};

constexpr const Shape& shape(Entry entry) noexcept {
    return kShapes[static_cast<int>(entry)];
}

// Inline, so that an operation's own name is a constant in its code rather than a call.
constexpr const char* entry_name(Entry entry) noexcept {
    return shape(entry).name;
}

// The most of each kind any entry point takes: the size of a Call.
constexpr int kMostInts = 5;
constexpr int kMostTexts = 3;

// Size of the reply area CVDA_Request fills; the library is given no size, so this is the limit.
constexpr std::uint32_t kReplyBytes = 4096;

namespace detail {
constexpr bool shapes_complete() noexcept {
    for (const Shape& s : kShapes) {
        if (s.name == nullptr || s.ints > kMostInts || s.texts > kMostTexts) {
            return false;
        }
    }
    return true;
}
} // namespace detail
static_assert(detail::shapes_complete(), "every entry point has a shape that fits a Call");

// One call's arguments in a form every shape fits. Integers go first to last in `args`; texts
// are NUL-terminated; `words` holds `count` words; `reply` is a kReplyBytes area.
struct Call {
    Call() noexcept = default;
    // Member by member: as an aggregate, a 32-bit build cleared the members a register call
    // leaves unset with a loop of stores on every call; this way they take a few single stores.
    template <typename... Ints> explicit Call(Ints... ints) noexcept : args{ints...} {}

    std::int32_t args[kMostInts] = {};
    const char* texts[kMostTexts] = {};
    Word* words = nullptr;
    std::int32_t count = 0;
    char* reply = nullptr;
};

} // namespace morlane
