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

// Runs `body(argument)` on a new detached thread with `stack_bytes` of stack (0: the platform's
// default). False when no thread could be made; `body` then never runs.
inline bool start_thread(void (*body)(void*), void* argument, std::size_t stack_bytes) noexcept {
    struct Start {
        void (*body)(void*);
        void* argument;
        static void run(void* start) {
            const Start s = *static_cast<Start*>(start);
            delete static_cast<Start*>(start);
            s.body(s.argument);
        }
    };
    auto* start = new (std::nothrow) Start{body, argument};
    if (start == nullptr) {
        return false;
    }
#if defined(_WIN32)
    struct Trampoline {
        static DWORD WINAPI run(LPVOID start) {
            Start::run(start);
            return 0;
        }
    };
    // A reservation: the stack is committed only as the thread uses it.
    HANDLE thread = CreateThread(nullptr, stack_bytes, Trampoline::run, start,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    const bool made = thread != nullptr;
    if (made) {
        CloseHandle(thread);
    }
#else
    struct Trampoline {
        static void* run(void* start) {
            Start::run(start);
            return nullptr;
        }
    };
    pthread_attr_t attributes;
    bool made = pthread_attr_init(&attributes) == 0;
    if (made) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        if (stack_bytes != 0) {
            pthread_attr_setstacksize(&attributes, stack_bytes);
        }
        pthread_t thread;
        made = pthread_create(&thread, &attributes, Trampoline::run, start) == 0;
        pthread_attr_destroy(&attributes);
    }
#endif
    if (!made) {
        delete start;
    }
    return made;
}

} // namespace morlane::hosted
