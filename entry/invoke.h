// Calls an entry point as the type its shape gives, with the platform's library calling
// convention. Inline, so that an operation in this process compiles to a direct call of its own
// type (its entry is a constant there), while the host dispatches on the entry it was sent
// through a table built from every shape, which no entry point can be missing from.
#pragma once

#include "entry/entries.h"
#include "entry/winapi.h"

#include <cstddef>
#include <utility>

#if defined(__GNUC__)
#define MORLANE_INLINE inline __attribute__((always_inline))
#define MORLANE_NOINLINE __attribute__((noinline))
#else
#define MORLANE_INLINE inline
#define MORLANE_NOINLINE
#endif

namespace morlane {

namespace detail {

template <std::size_t, typename T> using Each = T;

template <WordFlow Flow> struct WordArgs {
    template <typename F, typename... Head> static int call(F f, const Call&, Head... head) {
        return f(head...);
    }
};
template <> struct WordArgs<WordFlow::ToLibrary> {
    template <typename F, typename... Head> static int call(F f, const Call& c, Head... head) {
        return f(head..., static_cast<const Word*>(c.words), c.count);
    }
};
template <> struct WordArgs<WordFlow::FromLibrary> {
    template <typename F, typename... Head> static int call(F f, const Call& c, Head... head) {
        return f(head..., c.words, c.count);
    }
};

// The function type of an entry point, argument by argument from its shape.
template <Entry E, typename Ints, typename Texts> struct Signature;
template <Entry E, std::size_t... I, std::size_t... T>
struct Signature<E, std::index_sequence<I...>, std::index_sequence<T...>> {
    static constexpr Shape s = shape(E);
    template <bool Reply, WordFlow Flow> struct Pick;
    template <bool Reply> struct Pick<Reply, WordFlow::None> {
        using type = std::conditional_t<
            Reply, int(WINAPI*)(Each<I, std::int32_t>..., Each<T, const char*>..., char*),
            int(WINAPI*)(Each<I, std::int32_t>..., Each<T, const char*>...)>;
    };
    template <bool Reply> struct Pick<Reply, WordFlow::ToLibrary> {
        static_assert(!Reply, "no entry point takes both words and a reply area");
        using type = int(WINAPI*)(Each<I, std::int32_t>..., Each<T, const char*>..., const Word*,
                                  std::int32_t);
    };
    template <bool Reply> struct Pick<Reply, WordFlow::FromLibrary> {
        static_assert(!Reply, "no entry point takes both words and a reply area");
        using type = int(WINAPI*)(Each<I, std::int32_t>..., Each<T, const char*>..., Word*,
                                  std::int32_t);
    };
    using Fn = typename Pick<s.reply, s.words>::type;

    MORLANE_INLINE static int call(void* address, const Call& c) noexcept {
        const Fn f = reinterpret_cast<Fn>(address);
        if constexpr (s.reply) {
            return f(c.args[I]..., c.texts[T]..., c.reply);
        } else {
            return WordArgs<s.words>::call(f, c, c.args[I]..., c.texts[T]...);
        }
    }
};

template <Entry E>
using SignatureOf =
    Signature<E, std::make_index_sequence<shape(E).ints>, std::make_index_sequence<shape(E).texts>>;

using Invoker = int (*)(void*, const Call&) noexcept;

template <std::size_t... E> constexpr auto make_invokers(std::index_sequence<E...>) noexcept {
    struct Table {
        Invoker at[sizeof...(E)];
    };
    return Table{{&SignatureOf<static_cast<Entry>(E)>::call...}};
}

inline constexpr auto kInvokers = make_invokers(std::make_index_sequence<kEntryCount>{});

} // namespace detail

// The entry point's function type, as its shape gives it.
template <Entry E> using EntryFn = typename detail::SignatureOf<E>::Fn;

// Calls the entry point at `address` as `E`'s type and returns its status.
template <Entry E> MORLANE_INLINE int invoke(void* address, const Call& c) noexcept {
    return detail::SignatureOf<E>::call(address, c);
}

// The same for an entry known only at run time (the host); `entry` must be a valid Entry.
inline int invoke(void* address, Entry entry, const Call& c) noexcept {
    return detail::kInvokers.at[static_cast<int>(entry)](address, c);
}

} // namespace morlane
