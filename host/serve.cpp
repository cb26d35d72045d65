#include "host/serve.h"

#include "entry/invoke.h"
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
    const Entry entry = static_cast<Entry>(request.entry);
    // Looked up afresh on every call, exactly as in process.
    void* address =
        at.end != 0 && at.end <= box.bytes ? find_entry(module, entry_name(entry)) : nullptr;
    if (at.end == 0 || at.end > box.bytes) {
        reply.reach = wire::kMalformed;
    } else if (request.op == wire::kLookup || address == nullptr) {
        reply.reach = address == nullptr ? wire::kMissing : wire::kFound;
    } else {
        const Shape& s = shape(entry);
        Call call;
        std::memcpy(call.args, request.args, sizeof call.args);
        for (int i = 0; i < s.texts; ++i) {
            char* text = box.at(at.texts[i]);
            text[request.text_bytes[i]] = '\0'; // its own NUL, whatever the bridge put there
            call.texts[i] = text;
        }
        if (s.words != WordFlow::None) {
            call.words = reinterpret_cast<Word*>(box.at(at.data));
            call.count = request.count;
        }
        if (s.reply) {
            call.reply = box.at(at.data);
        }
        reply.reach = wire::kCalled;
        reply.status = invoke(address, entry, call);
        if (s.words == WordFlow::FromLibrary) {
            reply.payload_bytes = wire::word_bytes(request.count);
        } else if (s.reply) {
            const void* nul = std::memchr(call.reply, '\0', kReplyBytes);
            reply.payload_bytes =
                nul != nullptr
                    ? static_cast<std::uint32_t>(static_cast<const char*>(nul) - call.reply) + 1
                    : kReplyBytes;
        }
    }
    std::memcpy(&box.header->reply, &reply, sizeof reply);
}

namespace {

struct Serving {
    Mailbox box;
    ModuleHandle module;
};

// Serves the calls that come in one mailbox until the bridge closes it (or the word holds
// nonsense), then unmaps it.
void serve_calls(void* argument) {
    const Serving serving = *static_cast<Serving*>(argument);
    delete static_cast<Serving*>(argument);
    const auto never = std::chrono::steady_clock::time_point::max();
    while (await_turn(
               serving.box, Side::Host, [](std::uint32_t t) { return t != turn::kBridge; },
               never) == turn::kHost) {
        serve_request(serving.box, serving.module);
        hand_over(serving.box, turn::kBridge);
    }
    Mailbox box = serving.box;
    unmap_mailbox(box);
}

// A thread for the mailbox, or a refusal: a host that cannot map one more mailbox or make one
// more thread (its address space is full) fails that call alone.
std::uint32_t take_mailbox(const Handover& message, ModuleHandle module) noexcept {
    Mailbox box;
    if (!map_mailbox(message.handle, message.events, message.bytes, box)) {
        return wire::kRefused;
    }
    Serving* serving = new (std::nothrow) Serving{box, module};
    if (serving != nullptr && start_thread(serve_calls, serving, wire::kServingStackBytes)) {
        return wire::kServing;
    }
    delete serving;
    unmap_mailbox(box);
    return wire::kRefused;
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
        const std::size_t length = strnlen(error.text, sizeof error.text);
        answer =
            wire::LoadAnswer{wire::kNotLoaded,
                             static_cast<std::uint32_t>(
                                 length < wire::kMostReasonBytes ? length : wire::kMostReasonBytes),
                             answer.code_page};
    }
    if (!write_all(control, &answer, sizeof answer) ||
        !write_all(control, error.text, answer.reason_bytes) || module == nullptr) {
        return 1;
    }
    Handover message{};
    while (receive_control(control, message)) {
        if (message.kind == wire::kQuit) {
            close_handover(message);
            // Sent only once no call is inside the library: every mailbox is idle or closed.
            release_module(module);
            return 0;
        }
        if (message.kind != wire::kNewMailbox) {
            close_handover(message);
            continue;
        }
        // Every new mailbox is answered, so that the bridge's thread waiting for it never hangs.
        const std::uint32_t taken =
            message.handle != -1 ? take_mailbox(message, module) : wire::kRefused;
        if (!write_all(control, &taken, sizeof taken)) {
            return 0;
        }
    }
    // The bridge is gone without a word (its JVM died): a call may still be inside the library,
    // so it is not released; ending the process is all that is safe.
    return 0;
}

} // namespace morlane::hosted
