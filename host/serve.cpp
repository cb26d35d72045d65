#include "host/serve.h"

#include "entry/invoke.h"
#include "entry/loader.h"
#include "host/protocol.h"
#include "host/thread.h"

#include <cstring>
#include <memory>
#include <new>

namespace morlane::hosted {
namespace {

// What one request carries, read whole before anything is called, so that the channel stays in
// step even when the call cannot be made.
struct Data {
    std::unique_ptr<char[]> texts[kMostTexts];
    std::unique_ptr<Word[]> words;
    bool room = true;
};

// `length` is within wire::kMostTextBytes, so the NUL's byte cannot wrap the size.
bool read_text(Fd channel, std::uint32_t length, std::unique_ptr<char[]>& text, bool& room) {
    text.reset(new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
    if (!text) {
        room = false;
        return skip(channel, length);
    }
    text[length] = '\0';
    return read_all(channel, text.get(), length);
}

// Reads the data of a well-formed call; false when the channel broke.
bool read_data(Fd channel, const wire::Request& request, const Shape& s, Data& data) {
    for (int i = 0; i < s.texts; ++i) {
        if (!read_text(channel, request.text_bytes[i], data.texts[i], data.room)) {
            return false;
        }
    }
    if (s.words == WordFlow::None) {
        return true;
    }
    const std::size_t count = static_cast<std::size_t>(request.count);
    // Cleared: the library may leave words of a read unwritten.
    data.words.reset(new (std::nothrow) Word[count > 0 ? count : 1]());
    const bool incoming = s.words == WordFlow::ToLibrary;
    if (!data.words) {
        data.room = false;
        return !incoming || skip(channel, wire::word_bytes(request.count));
    }
    return !incoming || read_all(channel, data.words.get(), wire::word_bytes(request.count));
}

// Serves one request; false ends the channel.
bool serve_one(Fd channel, ModuleHandle module, const wire::Request& request) {
    if (!wire::well_formed(request)) {
        return false;
    }
    const Entry entry = static_cast<Entry>(request.entry);
    const Shape& s = shape(entry);
    // Looked up afresh on every call, exactly as in process.
    void* address = find_entry(module, s.name);
    wire::Reply reply{};
    if (request.op == wire::kLookup) {
        reply.reach = address != nullptr ? wire::kFound : wire::kMissing;
        return write_all(channel, &reply, sizeof reply);
    }
    Data data;
    if (!read_data(channel, request, s, data)) {
        return false;
    }
    char area[kReplyBytes];
    const void* payload = nullptr;
    if (!data.room) {
        reply.reach = wire::kNoMemory;
    } else if (address == nullptr) {
        reply.reach = wire::kMissing;
    } else {
        Call call;
        std::memcpy(call.args, request.args, sizeof call.args);
        for (int i = 0; i < kMostTexts; ++i) {
            call.texts[i] = data.texts[i].get();
        }
        call.words = data.words.get();
        call.count = request.count;
        if (s.reply) {
            // Cleared, so a library that reports success without writing replies "".
            std::memset(area, 0, sizeof area);
            call.reply = area;
        }
        reply.reach = wire::kCalled;
        reply.status = invoke(address, entry, call);
        if (s.words == WordFlow::FromLibrary) {
            payload = data.words.get();
            reply.payload_bytes = wire::word_bytes(request.count);
        } else if (s.reply) {
            const void* end = std::memchr(area, '\0', sizeof area);
            payload = area;
            reply.payload_bytes =
                end != nullptr
                    ? static_cast<std::uint32_t>(static_cast<const char*>(end) - area) + 1
                    : kReplyBytes;
        }
    }
    Sender sender(channel);
    return sender.add(&reply, sizeof reply) &&
           (reply.payload_bytes == 0 || sender.add(payload, reply.payload_bytes)) && sender.flush();
}

struct Serving {
    Fd channel;
    ModuleHandle module;
};

void serve(void* argument) {
    const Serving serving = *static_cast<Serving*>(argument);
    delete static_cast<Serving*>(argument);
    serve_calls(serving.channel, serving.module);
}

// A thread for the channel, or a refusal on it: a host that cannot make one more thread (its
// address space is full of stacks) fails that call alone.
void take_channel(Fd channel, ModuleHandle module) {
    Serving* serving = new (std::nothrow) Serving{channel, module};
    if (serving != nullptr && start_thread(serve, serving, wire::kServingStackBytes)) {
        return;
    }
    delete serving;
    const std::uint32_t refused = wire::kRefused;
    write_all(channel, &refused, sizeof refused);
    close_fd(channel);
}

bool answer_load(Fd control, ModuleHandle module, const LoadError& error) {
    wire::LoadAnswer answer{wire::kLoaded, 0};
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

void serve_calls(Fd channel, ModuleHandle module) noexcept {
    const std::uint32_t serving = wire::kServing;
    if (write_all(channel, &serving, sizeof serving)) {
        wire::Request request{};
        while (read_all(channel, &request, sizeof request) && serve_one(channel, module, request)) {
        }
    }
    close_fd(channel);
}

int run_host(const char* file_name, Fd control) noexcept {
    LoadError error;
    ModuleHandle module = load_module(file_name, &error);
    if (!answer_load(control, module, error) || module == nullptr) {
        return 1;
    }
    ControlMessageIn message{};
    while (receive_control(control, message)) {
        if (message.kind == wire::kQuit) {
            close_fd(message.channel);
            // Sent only once no call is inside the library: every channel is idle or closed.
            release_module(module);
            return 0;
        }
        if (message.channel == kNoFd) {
            continue; // unknown, or a channel whose descriptor did not arrive
        }
        if (message.kind == wire::kNewChannel) {
            take_channel(message.channel, module);
        } else {
            close_fd(message.channel);
        }
    }
    // The bridge is gone without a word (its JVM died): a call may still be inside the library,
    // so it is not released; ending the process is all that is safe.
    return 0;
}

} // namespace morlane::hosted
