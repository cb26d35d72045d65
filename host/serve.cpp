#include "host/serve.h"

#include "frame/invoke.h"
#include "frame/loader.h"
#include "host/protocol.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

namespace morlane::hosted {
namespace {

// What one request carries, read whole before anything is called, so that the channel stays in
// step even when the call cannot be made.
struct Data {
    std::unique_ptr<char[]> texts[3];
    std::unique_ptr<std::uint16_t[]> words;
    bool room = true;
};

bool read_text(Fd channel, std::uint32_t length, std::unique_ptr<char[]>& text, bool& room) {
    text.reset(new (std::nothrow) char[static_cast<std::size_t>(length) + 1]);
    if (!text) {
        room = false;
        return skip(channel, length);
    }
    text[length] = '\0';
    return read_all(channel, text.get(), length);
}

// Reads the request's data; false when the request is malformed or the channel broke.
bool read_data(Fd channel, const wire::Request& request, Entry entry, Data& data) {
    const int texts = wire::text_count(entry);
    for (int i = 0; i < 3; ++i) {
        if (i >= texts ? request.text_bytes[i] != 0
                       : !read_text(channel, request.text_bytes[i], data.texts[i], data.room)) {
            return false;
        }
    }
    if (!wire::has_words(entry)) {
        return true;
    }
    if (request.count < 0) {
        return false;
    }
    const std::size_t count = static_cast<std::size_t>(request.count);
    const std::size_t bytes = count * sizeof(std::uint16_t);
    // Cleared: the library may leave words of a read unwritten.
    data.words.reset(new (std::nothrow) std::uint16_t[count > 0 ? count : 1]());
    if (!data.words) {
        data.room = false;
        return entry == Entry::RegWrite ? skip(channel, bytes) : true;
    }
    return entry == Entry::RegWrite ? read_all(channel, data.words.get(), bytes) : true;
}

// Serves one request; false ends the channel.
bool serve_one(Fd channel, ModuleHandle module, const wire::Request& request) {
    if (request.entry >= static_cast<std::uint32_t>(kEntryCount)) {
        return false;
    }
    const Entry entry = static_cast<Entry>(request.entry);
    // Looked up afresh on every call, exactly as in process.
    void* address = find_entry(module, entry_name(entry));
    wire::Reply reply{};
    if (request.op == wire::kLookup) {
        reply.reach = address != nullptr ? wire::kFound : wire::kMissing;
        return write_all(channel, &reply, sizeof reply);
    }
    if (request.op != wire::kCall) {
        return false;
    }
    Data data;
    if (!read_data(channel, request, entry, data)) {
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
        for (int i = 0; i < 3; ++i) {
            call.texts[i] = data.texts[i].get();
        }
        call.words = data.words.get();
        call.count = request.count;
        if (entry == Entry::Request) {
            // Cleared, so a library that reports success without writing replies "".
            std::memset(area, 0, sizeof area);
            call.reply = area;
        }
        reply.reach = wire::kCalled;
        reply.status = invoke(address, entry, call);
        if (entry == Entry::RegRead) {
            payload = data.words.get();
            reply.payload_bytes = static_cast<std::uint32_t>(
                sizeof(std::uint16_t) * static_cast<std::size_t>(request.count));
        } else if (entry == Entry::Request && reply.status == 1) {
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

void serve(Fd channel, ModuleHandle module) {
    wire::Request request{};
    while (read_all(channel, &request, sizeof request) && serve_one(channel, module, request)) {
    }
    close_fd(channel);
}

} // namespace

int run_host(const char* file_name, Fd control) noexcept {
    ModuleHandle module = load_module(file_name);
    const std::uint32_t answer = module != nullptr ? wire::kLoaded : wire::kNotLoaded;
    if (!write_all(control, &answer, sizeof answer) || module == nullptr) {
        return 1;
    }
    ControlMessageIn message{};
    while (receive_control(control, message)) {
        if (message.kind == wire::kQuit) {
            // Sent only once no call is inside the library: every channel is idle or closed.
            release_module(module);
            return 0;
        }
        if (message.kind == wire::kNewChannel && message.channel != kNoFd) {
            std::thread(serve, message.channel, module).detach();
        }
    }
    // The bridge is gone without a word (its JVM died): a call may still be inside the library,
    // so it is not released; ending the process is all that is safe.
    return 0;
}

} // namespace morlane::hosted
