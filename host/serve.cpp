#include "host/serve.h"

#include "entry/invoke.h"
#include "entry/loader.h"
#include "host/protocol.h"
#include "host/thread.h"

#include <cstring>
#include <new>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace morlane::hosted {

void serve_request(const Mailbox& box, ModuleHandle module) noexcept {
    // Checked on a copy: the bridge could change the mailbox under the checks, never the copy.
    wire::Request request;
    std::memcpy(&request, &box.header->request, sizeof request);
    wire::Reply reply{};
    const Layout at = wire::well_formed(request) ? layout_of(request) : Layout{};
    if (at.end == 0 || at.end > box.bytes) {
        reply.reach = wire::kMalformed;
        std::memcpy(&box.header->reply, &reply, sizeof reply);
        return;
    }
    const Entry entry = static_cast<Entry>(request.entry);
    const Shape& s = shape(entry);
    // Looked up afresh on every call, exactly as in process.
    void* address = find_entry(module, s.name);
    if (request.op == wire::kLookup || address == nullptr) {
        reply.reach = address == nullptr ? wire::kMissing : wire::kFound;
        std::memcpy(&box.header->reply, &reply, sizeof reply);
        return;
    }
    // The library is called on the data where they lie.
    Call call;
    std::memcpy(call.args, request.args, sizeof call.args);
    for (int i = 0; i < s.texts; ++i) {
        char* text = box.at(at.texts[i]);
        text[request.text_bytes[i]] = '\0'; // its own NUL, whatever the bridge put there
        call.texts[i] = text;
    }
    if (s.words != WordFlow::None) {
        call.words = reinterpret_cast<Word*>(box.at(at.words));
        call.count = request.count;
        if (s.words == WordFlow::FromLibrary) {
            // Cleared: the library may leave words of a read unwritten.
            std::memset(call.words, 0, wire::word_bytes(request.count));
        }
    }
    if (s.reply) {
        call.reply = box.at(at.reply);
        // As in process: a library that reports success without writing replies "".
        call.reply[0] = '\0';
    }
    reply.reach = wire::kCalled;
    reply.status = invoke(address, entry, call);
    if (s.words == WordFlow::FromLibrary) {
        reply.payload_bytes = wire::word_bytes(request.count);
    } else if (s.reply) {
        const void* end = std::memchr(call.reply, '\0', kReplyBytes);
        reply.payload_bytes =
            end != nullptr
                ? static_cast<std::uint32_t>(static_cast<const char*>(end) - call.reply) + 1
                : kReplyBytes;
    }
    std::memcpy(&box.header->reply, &reply, sizeof reply);
}

void serve_calls(Mailbox box, ModuleHandle module) noexcept {
    const auto never = std::chrono::steady_clock::time_point::max();
    for (;;) {
        const std::uint32_t now = await_turn(
            box, Side::Host, [](std::uint32_t t) { return t != turn::kBridge; }, never);
        if (now != turn::kHost) {
            break; // closed by the bridge (or nonsense in the word): this thread's work is done
        }
        serve_request(box, module);
        hand_over(box, turn::kBridge);
    }
    unmap_mailbox(box);
}

namespace {

struct Serving {
    Mailbox box;
    ModuleHandle module;
};

void serve(void* argument) {
    const Serving serving = *static_cast<Serving*>(argument);
    delete static_cast<Serving*>(argument);
    serve_calls(serving.box, serving.module);
}

// A thread for the mailbox, or a refusal: a host that cannot map one more mailbox or make one
// more thread (its address space is full) fails that call alone.
std::uint32_t take_mailbox(const ControlMessageIn& message, ModuleHandle module) {
    Mailbox box;
    if (!map_mailbox(message.channel, message.events, message.bytes, box)) {
        return wire::kRefused;
    }
    Serving* serving = new (std::nothrow) Serving{box, module};
    if (serving != nullptr && start_thread(serve, serving, wire::kServingStackBytes)) {
        return wire::kServing;
    }
    delete serving;
    unmap_mailbox(box);
    return wire::kRefused;
}

bool answer_load(Fd control, ModuleHandle module, const LoadError& error) {
    wire::LoadAnswer answer{wire::kLoaded, 0, 0};
#if defined(_WIN32)
    answer.code_page = GetACP();
#endif
    if (module == nullptr) {
        answer.answer = wire::kNotLoaded;
        const std::size_t length = strnlen(error.text, sizeof error.text);
        answer.reason_bytes = static_cast<std::uint32_t>(
            length < wire::kMostReasonBytes ? length : wire::kMostReasonBytes);
    }
    Sender sender(control);
    return sender.add(&answer, sizeof answer) && sender.add(error.text, answer.reason_bytes) &&
           sender.flush();
}

} // namespace

int run_host(const char* file_name, Fd control) noexcept {
    LoadError error;
    ModuleHandle module = load_module(file_name, &error);
    if (!answer_load(control, module, error) || module == nullptr) {
        return 1;
    }
    ControlMessageIn message{};
    while (receive_control(control, message)) {
        if (message.kind == wire::kQuit) {
            close_handover(message);
            // Sent only once no call is inside the library: every mailbox is idle or closed.
            release_module(module);
            return 0;
        }
        if (message.kind != wire::kNewChannel) {
            close_handover(message);
            continue;
        }
        // Every new mailbox is answered, so that the bridge's thread waiting for it never hangs.
        const std::uint32_t answer =
            message.channel != kNoFd ? take_mailbox(message, module) : wire::kRefused;
        if (!write_all(control, &answer, sizeof answer)) {
            return 0;
        }
    }
    // The bridge is gone without a word (its JVM died): a call may still be inside the library,
    // so it is not released; ending the process is all that is safe.
    return 0;
}

} // namespace morlane::hosted
