// The outside entry points, each declared once, in MORLANE_ENTRIES: its name in the code, its
// exported name, and what it takes. The Entry enum, the shapes, the names, the typed calls
// (entry/invoke.h), the host's messages and checks (host/protocol.h), the stand-ins' exports
// (simulated/common/entries.h) and the build's lists of names (cmake/Entries.cmake) all come from
// that list, so none can drift from another. Adding an entry point: its line here, the operation
// that calls it, its native in lathwork.Brenmoor, the stand-in, and the tests' lists of natives,
// which the native_lists test names until each has it.
//
// What the bridge requires of the two libraries, as the shapes say it: every entry point uses
// the platform's library calling convention and returns a signed 32-bit status. The PLC link
// library's return 0 for success; it reads or writes exactly `count` 16-bit words and keeps no
// pointer it is given. The data-access library's return 1 for success and 0 when its application
// has stopped; CVDA_Request writes a NUL-terminated reply into an area it is given no size for.
#pragma once

#include <cstdint>

// X(entry, exported name, 32-bit integers, texts, word buffer, reply area); arguments always come
// in that order: the integers, the NUL-terminated texts, then a word buffer and its count unless
// the buffer is None, then a reply area of kReplyBytes if there is one.
#define MORLANE_ENTRIES(X)                                                                         \
    X(Open, CVDLLRZ_Open, 5, 0, None, false)                                                       \
    X(Close, CVDLLRZ_Close, 1, 0, None, false)                                                     \
    X(RunMode, CVDLLRZ_RunMode, 2, 0, None, false)                                                 \
    X(StopMode, CVDLLRZ_StopMode, 2, 0, None, false)                                               \
    X(DownLoad, CVDLLRZ_DownLoad, 2, 1, None, false)                                               \
    X(RegWrite, CVDLLRZ_RegWrite, 3, 0, ToLibrary, false)                                          \
    X(RegRead, CVDLLRZ_RegRead, 3, 0, FromLibrary, false)                                          \
    X(Poke, CVDA_Poke, 0, 3, None, false)                                                          \
    X(Request, CVDA_Request, 0, 2, None, true)

namespace morlane {

#define MORLANE_ENTRY_ENUM(entry, ...) entry,
enum class Entry : std::uint8_t { MORLANE_ENTRIES(MORLANE_ENTRY_ENUM) };
#undef MORLANE_ENTRY_ENUM

#define MORLANE_ENTRY_ONE(...) +1
constexpr int kEntryCount = 0 MORLANE_ENTRIES(MORLANE_ENTRY_ONE);
#undef MORLANE_ENTRY_ONE

// A register word as the PLC link library holds it.
using Word = std::uint16_t;

// Which way a call's word buffer goes.
enum class WordFlow : std::uint8_t {
    None,
    ToLibrary,   // the library reads `count` words
    FromLibrary, // the library writes at most `count` words
};

struct Shape {
    const char* name; // the exact exported name it is looked up by
    std::uint8_t ints;
    std::uint8_t texts;
    WordFlow words;
    bool reply;
};

#define MORLANE_ENTRY_SHAPE(entry, name, ints, texts, words, reply)                                \
    {#name, ints, texts, WordFlow::words, reply},
constexpr Shape kShapes[kEntryCount] = {MORLANE_ENTRIES(MORLANE_ENTRY_SHAPE)};
#undef MORLANE_ENTRY_SHAPE

constexpr const Shape& shape(Entry entry) noexcept {
    return kShapes[static_cast<int>(entry)];
}

constexpr const char* entry_name(Entry entry) noexcept {
    return shape(entry).name;
}

// The most of each kind any entry point takes: the size of a Call.
constexpr int kMostInts = 5;
constexpr int kMostTexts = 3;

// Size of the reply area CVDA_Request fills; the library is given no size, so this is the limit.
constexpr std::uint32_t kReplyBytes = 4096;

constexpr bool shapes_fit() noexcept {
    for (const Shape& s : kShapes) {
        if (s.ints > kMostInts || s.texts > kMostTexts || (s.reply && s.words != WordFlow::None)) {
            return false;
        }
    }
    return true;
}
static_assert(shapes_fit(), "every shape fits a Call, and none takes both words and a reply");

// One call's arguments in a form every shape fits, as the host and the journal carry them.
// Made only by make_call (entry/invoke.h), which takes exactly the entry point's own arguments.
struct Call {
    std::int32_t args[kMostInts] = {};
    const char* texts[kMostTexts] = {};
    Word* words = nullptr;
    std::int32_t count = 0;
    char* reply = nullptr;
};

} // namespace morlane
