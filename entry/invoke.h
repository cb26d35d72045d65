// An entry point's function type, from its shape, with the platform's library calling convention;
// the call of it, from a Call; and a Call from exactly the arguments that type takes, so that an
// operation passing one argument too many, of another kind, or of a wider type (a Java long
// where the library takes 32 bits) does not compile.
#pragma once

#include "entry/entries.h"
#include "entry/winapi.h"

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace morlane {

namespace detail {

template <std::size_t, typename T> using Each = T;

// An argument of type A for a parameter of type P loses nothing and means the same: the same
// type, an integer of the same width and signedness (jint is `long` on Windows, std::int32_t
// `int`), or a pointer that only gains const.
template <typename P, typename A>
constexpr bool
    kExactly = std::is_same_v<P, A> ||
               (std::is_integral_v<P> && std::is_integral_v<A> && !std::is_same_v<A, bool> &&
                sizeof(P) == sizeof(A) && std::is_signed_v<P> == std::is_signed_v<A>) ||
               (std::is_pointer_v<A> && std::is_same_v<P, const std::remove_pointer_t<A>*>);

template <typename... P> struct Params {
    using Fn = int(WINAPI*)(P...);

    template <typename... A> static constexpr bool taken_exactly_by() noexcept {
        if constexpr (sizeof...(A) != sizeof...(P)) {
            return false;
        } else {
            return (kExactly<P, A> && ...);
        }
    }
};

template <WordFlow Flow> struct WordParams {
    template <typename... Head> using With = Params<Head...>;
};
template <> struct WordParams<WordFlow::ToLibrary> {
    template <typename... Head> using With = Params<Head..., const Word*, std::int32_t>;
};
template <> struct WordParams<WordFlow::FromLibrary> {
    template <typename... Head> using With = Params<Head..., Word*, std::int32_t>;
};

template <Entry E, typename Ints = std::make_index_sequence<shape(E).ints>,
          typename Texts = std::make_index_sequence<shape(E).texts>>
struct Signature;
template <Entry E, std::size_t... I, std::size_t... T>
struct Signature<E, std::index_sequence<I...>, std::index_sequence<T...>> {
    static constexpr Shape s = shape(E);
    using Takes =
        std::conditional_t<s.reply,
                           Params<Each<I, std::int32_t>..., Each<T, const char*>..., char*>,
                           typename WordParams<s.words>::template With<Each<I, std::int32_t>...,
                                                                       Each<T, const char*>...>>;
    using Fn = typename Takes::Fn;

    static int call(void* address, const Call& c) noexcept {
        const Fn f = reinterpret_cast<Fn>(address);
        if constexpr (s.reply) {
            return f(c.args[I]..., c.texts[T]..., c.reply);
        } else if constexpr (s.words != WordFlow::None) {
            return f(c.args[I]..., c.texts[T]..., c.words, c.count);
        } else {
            return f(c.args[I]..., c.texts[T]...);
        }
    }

    template <typename Args> static Call pack(const Args& a) noexcept {
        Call c;
        ((c.args[I] = std::get<I>(a)), ...);
        ((c.texts[T] = std::get<s.ints + T>(a)), ...);
        if constexpr (s.reply) {
            c.reply = std::get<s.ints + s.texts>(a);
        } else if constexpr (s.words != WordFlow::None) {
            c.words = const_cast<Word*>(static_cast<const Word*>(std::get<s.ints + s.texts>(a)));
            c.count = std::get<s.ints + s.texts + 1>(a);
        }
        return c;
    }
};

using Invoker = int (*)(void*, const Call&) noexcept;
#define MORLANE_ENTRY_INVOKER(entry, ...) &Signature<Entry::entry>::call,
constexpr Invoker kInvokers[kEntryCount] = {MORLANE_ENTRIES(MORLANE_ENTRY_INVOKER)};
#undef MORLANE_ENTRY_INVOKER

} // namespace detail

// The entry point's function pointer type, and its function type (to declare one with).
template <Entry E> using EntryFn = typename detail::Signature<E>::Fn;
template <Entry E> using EntryType = std::remove_pointer_t<EntryFn<E>>;

// The Call for `E` from the arguments its function takes, each of the type it takes.
template <Entry E, typename... Args> Call make_call(Args... args) noexcept {
    static_assert(detail::Signature<E>::Takes::template taken_exactly_by<Args...>(),
                  "an entry point is called with exactly the arguments its shape gives, each of "
                  "the width it takes");
    return detail::Signature<E>::pack(std::tuple<Args...>(args...));
}

// Calls the entry point at `address` as `E`'s type and returns its status.
template <Entry E> int invoke(void* address, const Call& c) noexcept {
    return detail::Signature<E>::call(address, c);
}

// The same for an entry known only at run time (the host); `entry` must be a valid Entry.
inline int invoke(void* address, Entry entry, const Call& c) noexcept {
    return detail::kInvokers[static_cast<int>(entry)](address, c);
}

} // namespace morlane
