#include "host/client.h"

#include "host/process.h"
#include "host/protocol.h"

#include <cstring>
#include <mutex>
#include <new>

namespace morlane::hosted {

class Host {
  public:
    Process process;

    // A channel for one call: an idle one, or a new one the host starts serving.
    Fd take() noexcept {
        {
            std::lock_guard<std::mutex> lock(idle_mutex_);
            if (idle_count_ > 0) {
                return idle_[--idle_count_];
            }
        }
        std::lock_guard<std::mutex> lock(control_mutex_);
        return open_channel(process);
    }

    // Back to the pool once its call has ended cleanly; beyond the pool's size it is closed, and
    // the host's thread serving it ends.
    void give_back(Fd channel) noexcept {
        {
            std::lock_guard<std::mutex> lock(idle_mutex_);
            if (idle_count_ < kIdleChannels) {
                idle_[idle_count_++] = channel;
                return;
            }
        }
        close_fd(channel);
    }

    void close_all() noexcept {
        std::lock_guard<std::mutex> lock(idle_mutex_);
        while (idle_count_ > 0) {
            close_fd(idle_[--idle_count_]);
        }
    }

  private:
    static constexpr int kIdleChannels = 64;
    std::mutex idle_mutex_;
    Fd idle_[kIdleChannels] = {};
    int idle_count_ = 0;
    std::mutex control_mutex_;
};

namespace {

// One request and its reply on `channel`; false when the channel broke (the host is gone).
bool exchange(Fd channel, std::uint32_t op, Entry entry, Call& call, wire::Reply& reply) noexcept {
    wire::Request request{};
    request.op = op;
    request.entry = static_cast<std::uint32_t>(entry);
    std::memcpy(request.args, call.args, sizeof request.args);
    request.count = call.count;
    const int texts = op == wire::kCall ? wire::text_count(entry) : 0;
    for (int i = 0; i < texts; ++i) {
        const std::size_t length = std::strlen(call.texts[i]);
        if (length > UINT32_MAX) {
            return false;
        }
        request.text_bytes[i] = static_cast<std::uint32_t>(length);
    }
    Sender sender(channel);
    if (!sender.add(&request, sizeof request)) {
        return false;
    }
    for (int i = 0; i < texts; ++i) {
        if (!sender.add(call.texts[i], request.text_bytes[i])) {
            return false;
        }
    }
    const std::size_t word_bytes = sizeof(std::uint16_t) * static_cast<std::size_t>(call.count);
    if (op == wire::kCall && entry == Entry::RegWrite && !sender.add(call.words, word_bytes)) {
        return false;
    }
    if (!sender.flush()) {
        return false;
    }
    if (!read_all(channel, &reply, sizeof reply)) {
        return false;
    }
    // Only what this call asked for is accepted back, never more than its buffer holds.
    std::size_t expected = 0;
    void* into = nullptr;
    if (reply.reach == wire::kCalled && entry == Entry::RegRead) {
        expected = word_bytes;
        into = call.words;
    } else if (reply.reach == wire::kCalled && entry == Entry::Request && reply.status == 1) {
        expected = reply.payload_bytes <= kReplyBytes ? reply.payload_bytes : kReplyBytes + 1;
        into = call.reply;
    }
    if (reply.payload_bytes != expected) {
        return false;
    }
    return expected == 0 || read_all(channel, into, expected);
}

Reach ask(Host& host, std::uint32_t op, Entry entry, Call& call, int& status) noexcept {
    const Fd channel = host.take();
    if (channel == kNoFd) {
        return Reach::Lost;
    }
    wire::Reply reply{};
    if (!exchange(channel, op, entry, call, reply)) {
        close_fd(channel);
        return Reach::Lost;
    }
    host.give_back(channel);
    status = reply.status;
    switch (reply.reach) {
    case wire::kCalled:
    case wire::kFound:
        return Reach::Called;
    case wire::kMissing:
        return Reach::Missing;
    default:
        return Reach::Failed;
    }
}

} // namespace

Host* start_host(const char* file_name) noexcept {
    Host* host = new (std::nothrow) Host();
    if (host == nullptr) {
        return nullptr;
    }
    std::uint32_t loaded = 0;
    if (!spawn_host_process(file_name, host->process)) {
        delete host;
        return nullptr;
    }
    if (!read_all(host->process.control, &loaded, sizeof loaded) || loaded != wire::kLoaded) {
        stop_host(host);
        return nullptr;
    }
    return host;
}

Reach call(Host& host, Entry entry, Call& call, int& status) noexcept {
    return ask(host, wire::kCall, entry, call, status);
}

Reach lookup(Host& host, Entry entry) noexcept {
    Call nothing;
    int status = 0;
    return ask(host, wire::kLookup, entry, nothing, status);
}

void stop_host(Host* host) noexcept {
    host->close_all();
    const wire::ControlMessage quit{wire::kQuit, 0};
    write_all(host->process.control, &quit, sizeof quit);
    end_host_process(host->process);
    delete host;
}

} // namespace morlane::hosted
