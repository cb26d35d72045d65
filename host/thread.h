// Detached threads with a stack size of our choosing, and a failure to make one reported rather
// than thrown: neither the host nor a JVM may end because one more thread could not be made.
#pragma once

#include <cstddef>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace morlane::hosted {

using ThreadBody = void (*)(void*);

namespace detail {
struct ThreadStart {
    ThreadBody body;
    void* argument;
};
} // namespace detail

// Runs `body(argument)` on a new detached thread with `stack_bytes` of stack (0: the platform's
// default). False when no thread could be made; `body` then never runs.
inline bool start_thread(ThreadBody body, void* argument, std::size_t stack_bytes) noexcept {
#if defined(_WIN32)
    struct Trampoline {
        static DWORD WINAPI run(LPVOID start) {
            body_of(start);
            return 0;
        }
        static void body_of(LPVOID start) {
            const detail::ThreadStart s = *static_cast<detail::ThreadStart*>(start);
            delete static_cast<detail::ThreadStart*>(start);
            s.body(s.argument);
        }
    };
    auto* start = new (std::nothrow) detail::ThreadStart{body, argument};
    if (start == nullptr) {
        return false;
    }
    // A reservation: the stack is committed only as the thread uses it.
    HANDLE thread = CreateThread(nullptr, stack_bytes, Trampoline::run, start,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    CloseHandle(thread);
    return true;
#else
    struct Trampoline {
        static void* run(void* start) {
            const detail::ThreadStart s = *static_cast<detail::ThreadStart*>(start);
            delete static_cast<detail::ThreadStart*>(start);
            s.body(s.argument);
            return nullptr;
        }
    };
    auto* start = new (std::nothrow) detail::ThreadStart{body, argument};
    if (start == nullptr) {
        return false;
    }
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        delete start;
        return false;
    }
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stack_bytes != 0) {
        pthread_attr_setstacksize(&attributes, stack_bytes);
    }
    pthread_t thread;
    const int failed = pthread_create(&thread, &attributes, Trampoline::run, start);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        delete start;
        return false;
    }
    return true;
#endif
}

} // namespace morlane::hosted
