#include "host/serve.h"

#include "entry/invoke.h"
#include "host/thread.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace morlane::hosted {

void serve_request(const Mailbox& box, ModuleHandle module) noexcept {
    // Checked on a copy: the bridge could change the mailbox under the checks, never the copy.
    wire::Request request;
    std::memcpy(&request, &box.header->request, sizeof request);
    wire::Reply reply{box.header->sequence, wire::kMalformed, 0, 0};
    const Layout at = wire::well_formed(request) ? layout_of(request) : Layout{};
    const Entry entry = static_cast<Entry>(request.entry);
    void* address = nullptr;
    if (at.end != 0 && at.end <= box.bytes) {
        // Looked up afresh on every call, exactly as in process.
        address = find_entry(module, entry_name(entry));
        reply.reach = address == nullptr            ? wire::kMissing
                      : request.op == wire::kLookup ? wire::kFound
                                                    : wire::kCalled;
    }
    if (reply.reach == wire::kCalled) {
        const Shape& s = shape(entry);
        Call call;
        std::memcpy(call.args, request.args, sizeof call.args);
        for (int i = 0; i < s.texts; ++i) {
            call.texts[i] = box.at(at.texts[i]);
            box.at(at.texts[i])[request.text_bytes[i]] = '\0'; // its own NUL, whatever came
        }
        if (s.words != WordFlow::None) {
            call.words = reinterpret_cast<Word*>(box.at(at.data));
            call.count = request.count;
        }
        call.reply = s.reply ? box.at(at.data) : nullptr;
        reply.status = invoke(address, entry, call);
        const void* nul = s.reply ? std::memchr(call.reply, '\0', kReplyBytes) : nullptr;
        reply.payload_bytes =
            s.words == WordFlow::FromLibrary ? wire::word_bytes(request.count)
            : !s.reply                       ? 0
            : nul == nullptr
                ? kReplyBytes
                : static_cast<std::uint32_t>(static_cast<const char*>(nul) - call.reply) + 1;
    }
    std::memcpy(&box.header->reply, &reply, sizeof reply);
}

namespace {

// The extensions handed over and not yet taken by the thread whose call they carry.
struct Extension {
    std::uint32_t sequence;
    Mailbox box;
    Extension* next;
};
std::mutex extensions_lock;
Extension* extensions = nullptr;

// An extension the bridge named, taken from the list; an empty mailbox for any other name.
Mailbox take_extension(std::uint32_t sequence) noexcept {
    std::lock_guard<std::mutex> lock(extensions_lock);
    for (Extension** at = &extensions; *at != nullptr; at = &(*at)->next) {
        if ((*at)->sequence == sequence) {
            Extension* found = *at;
            *at = found->next;
            const Mailbox box = found->box;
            delete found;
            return box;
        }
    }
    return Mailbox{};
}

struct Serving {
    Mailbox box;
    ModuleHandle module;
};

// Serves the calls that come in one mailbox until the bridge closes it (or the word holds
// nonsense), then unmaps it. A call too large for the mailbox is served in its extension, on this
// same thread, as a library with thread affinity needs.
void serve_calls(void* argument) {
    Serving* serving = static_cast<Serving*>(argument);
    while (await_turn(
               serving->box, Side::Host, [](std::uint32_t t) { return t != turn::kBridge; },
               std::chrono::steady_clock::time_point::max()) == turn::kHost) {
        // One the bridge did not hand over is answered as malformed, in the mailbox.
        const wire::Request& request = serving->box.header->request;
        Mailbox extension = request.op == wire::kExtended
                                ? take_extension(static_cast<std::uint32_t>(request.args[0]))
                                : Mailbox{};
        serve_request(extension.header != nullptr ? extension : serving->box, serving->module);
        unmap_mailbox(extension);
        // Only while the turn is still ours: a close (or whatever the library wrote) stands.
        if (hand_over(serving->box, turn::kBridge, turn::kHost) == Handed::No) {
            break;
        }
    }
    unmap_mailbox(serving->box);
    delete serving;
}

} // namespace

int run_host(const char* file_name, const Channel& control) noexcept {
    LoadError error;
    ModuleHandle module = load_module(file_name, &error);
    wire::LoadAnswer answer{wire::kLoaded, 0, 0};
#if defined(_WIN32)
    answer.code_page = GetACP();
#endif
    if (module == nullptr) {
        answer.answer = wire::kNotLoaded;
        answer.reason_bytes = static_cast<std::uint32_t>(
            std::min<std::size_t>(strnlen(error.text, sizeof error.text), wire::kMostReasonBytes));
    }
    if (!write_all(control, &answer, sizeof answer) ||
        !write_all(control, error.text, answer.reason_bytes) || module == nullptr) {
        return 1;
    }
    for (;;) {
        Mailbox box;
        std::uint32_t sequence = 0;
        const std::uint32_t kind = receive_control(control, box, sequence);
        if (kind == wire::kQuit) {
            // Sent only once no call is inside the library: every mailbox is idle or closed.
            release_module(module);
            return 0;
        }
        if (kind == 0) {
            // The bridge is gone without a word (its JVM died): a call may still be inside the
            // library, so it is not released; ending the process is all that is safe.
            return 0;
        }
        if (kind != wire::kNewMailbox && kind != wire::kExtension) {
            continue;
        }
        // Every mailbox is answered, so that the bridge's thread waiting for it never hangs; one
        // this host cannot map or make a thread for (its address space is full) is refused.
        bool served = false;
        if (box.header != nullptr && kind == wire::kExtension) {
            Extension* extension = new (std::nothrow) Extension{sequence, box, nullptr};
            served = extension != nullptr;
            if (served) {
                std::lock_guard<std::mutex> lock(extensions_lock);
                extension->next = extensions;
                extensions = extension;
            }
        } else if (box.header != nullptr) {
            Serving* serving = new (std::nothrow) Serving{box, module};
            served =
                serving != nullptr && start_thread(serve_calls, serving, wire::kServingStackBytes);
            if (!served) {
                delete serving;
            }
        }
        if (!served) {
            unmap_mailbox(box);
        }
        const wire::ControlAnswer taken{sequence, served ? wire::kServing : wire::kRefused};
        if (!write_all(control, &taken, sizeof taken)) {
            return 0;
        }
    }
}

} // namespace morlane::hosted

#if defined(MORLANE_HOST_MAIN) && defined(_WIN32)
// morlane-host32.exe "<library's full path>" <control pipe's name>
namespace {
// A crash inside the library ends this process at once: no dialog keeps it alive with a call
// waiting.
LONG WINAPI end_at_once(EXCEPTION_POINTERS*) {
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
} // namespace

extern "C" int wmain(int argc, wchar_t** argv) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(end_at_once);
    if (argc != 3) {
        return 2;
    }
    // Identification only: whoever serves the pipe cannot act as this process.
    HANDLE pipe = CreateFileW(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    // The path as the loader takes a full path: UTF-8.
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, nullptr, 0, nullptr, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || bytes <= 1) {
        return 2;
    }
    std::string path(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, &path[0], bytes, nullptr, nullptr);
    const int code = morlane::hosted::run_host(path.c_str(), morlane::hosted::Channel{pipe});
    // Threads may still be inside the library: leave without running any of its detach code.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    return code;
}
#elif defined(MORLANE_HOST_MAIN)
// Started with its control channel on fd 3, set up by the bridge.
int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    // A bridge that went away must end a write with an error, not the host with a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Nothing the library starts may hold the channel: the bridge would not see this end.
    fcntl(3, F_SETFD, FD_CLOEXEC);
    const int code = morlane::hosted::run_host(argv[1], morlane::hosted::Channel{3});
    // Threads may still be inside the library: leave without running anything of it.
    _exit(code);
}
#endif
