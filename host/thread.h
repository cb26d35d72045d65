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
#if defined(_WIN32)
        static DWORD WINAPI native(LPVOID start) {
            run(start);
            return 0;
        }
#else
        static void* native(void* start) {
            run(start);
            return nullptr;
        }
#endif
    };
    auto* start = new (std::nothrow) Start{body, argument};
    bool made = start != nullptr;
#if defined(_WIN32)
    // A reservation: the stack is committed only as the thread uses it.
    HANDLE thread = made ? CreateThread(nullptr, stack_bytes, Start::native, start,
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                         : nullptr;
    made = thread != nullptr;
    if (made) {
        CloseHandle(thread);
    }
#else
    pthread_attr_t attributes;
    made = made && pthread_attr_init(&attributes) == 0;
    if (made) {
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        if (stack_bytes != 0) {
            pthread_attr_setstacksize(&attributes, stack_bytes);
        }
        pthread_t thread;
        made = pthread_create(&thread, &attributes, Start::native, start) == 0;
        pthread_attr_destroy(&attributes);
    }
#endif
    if (!made) {
        delete start;
    }
    return made;
}

} // namespace morlane::hosted
