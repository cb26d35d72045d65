// Calls an entry point as its type, with the platform's library calling convention. Inline, so
// that an operation in this process compiles to a direct call of its own type (its entry is a
// constant there), while the host dispatches on the entry it was sent.
#pragma once

#include "frame/entry.h"

#include "corvane/corvane_api.h"
#include "link/link_api.h"

#if defined(__GNUC__)
#define MORLANE_INLINE inline __attribute__((always_inline))
#define MORLANE_NOINLINE __attribute__((noinline))
#else
#define MORLANE_INLINE inline
#define MORLANE_NOINLINE
#endif

namespace morlane {

namespace detail {
template <typename Fn> Fn as(void* address) noexcept {
    return reinterpret_cast<Fn>(address);
}
} // namespace detail

// Calls the entry point at `address` as `entry`'s type and returns its status.
MORLANE_INLINE int invoke(void* address, Entry entry, const Call& c) noexcept {
    using detail::as;
    const std::int32_t* a = c.args;
    switch (entry) {
    case Entry::Open:
        return as<link::OpenFn>(address)(a[0], a[1], a[2], a[3], a[4]);
    case Entry::Close:
        return as<link::CloseFn>(address)(a[0]);
    case Entry::RunMode:
        return as<link::RunModeFn>(address)(a[0], a[1]);
    case Entry::StopMode:
        return as<link::StopModeFn>(address)(a[0], a[1]);
    case Entry::DownLoad:
        return as<link::DownLoadFn>(address)(a[0], a[1], c.texts[0]);
    case Entry::RegWrite:
        return as<link::RegWriteFn>(address)(a[0], a[1], a[2], c.words, c.count);
    case Entry::RegRead:
        return as<link::RegReadFn>(address)(a[0], a[1], a[2], c.words, c.count);
    case Entry::Poke:
        return as<corvane::PokeFn>(address)(c.texts[0], c.texts[1], c.texts[2]);
    case Entry::Request:
        return as<corvane::RequestFn>(address)(c.texts[0], c.texts[1], c.reply);
    }
    return -1;
}

} // namespace morlane
