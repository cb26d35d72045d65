#include "host/client.h"

#include "host/process.h"
#include "host/protocol.h"
#include "host/thread.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace morlane::hosted {

using Clock = std::chrono::steady_clock;

class Host {
  public:
    Process process;
    bool timed_out = false; // set by the warden, under its mutex, when a call outlived its deadline
    Host* next_live = nullptr; // the warden's list of running hosts
    Host* previous_live = nullptr;

    // A channel for one call: an idle one, or a new one the host starts serving. kNoFd when none
    // can be had; `failure` then says whether the host is gone or only this call cannot be made.
    Fd take(Reach& failure) noexcept {
        {
            std::lock_guard<std::mutex> lock(idle_mutex_);
            if (idle_count_ > 0) {
                return idle_[--idle_count_];
            }
        }
        Fd channel;
        {
            std::lock_guard<std::mutex> lock(control_mutex_);
            channel = open_channel(process);
        }
        // The host answers on every new channel whether a thread of its own serves it.
        std::uint32_t answer = 0;
        if (channel != kNoFd && read_all(channel, &answer, sizeof answer) &&
            answer == wire::kServing) {
            return channel;
        }
        close_fd(channel);
        failure = answer == wire::kRefused || host_running(process) ? Reach::Failed : Reach::Lost;
        return kNoFd;
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

// ---- The warden --------------------------------------------------------------------------------
// One thread for the whole bridge, made the first time it is needed, does what no caller may
// wait for: it gives each released host its grace period, kills it after that and reaps it, and
// kills the host of a call that outlived its deadline. It is never attached to the JVM, so it
// holds up neither a shutdown hook nor the JVM's exit.

// A call under a deadline, on its caller's stack while the call runs.
struct Watch {
    Host* host = nullptr;
    Clock::time_point expiry;
    Watch* next = nullptr;
    Watch* previous = nullptr;
};

struct Ending {
    Process process;
    Clock::time_point kill_at;
    bool killed = false;
    Ending* next = nullptr;
};

class Warden {
  public:
    // False when no warden thread can be made; the call cannot then be bounded.
    bool watch(Watch& watch) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ensure_running()) {
            return false;
        }
        watch.next = watches_;
        if (watches_ != nullptr) {
            watches_->previous = &watch;
        }
        watches_ = &watch;
        wake_.notify_one();
        return true;
    }

    void unwatch(Watch& watch) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        (watch.previous != nullptr ? watch.previous->next : watches_) = watch.next;
        if (watch.next != nullptr) {
            watch.next->previous = watch.previous;
        }
    }

    // Running hosts are known to the warden, so that none outlives this process (see below).
    void track(Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        host.next_live = live_;
        if (live_ != nullptr) {
            live_->previous_live = &host;
        }
        live_ = &host;
    }

    void untrack(Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        (host.previous_live != nullptr ? host.previous_live->next_live : live_) = host.next_live;
        if (host.next_live != nullptr) {
            host.next_live->previous_live = host.previous_live;
        }
    }

    // At this process's exit: a host ends at the end of file on its channels, but not one that
    // is stopped, and a released one in its grace period would be left without its warden.
    void kill_all() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Host* host = live_; host != nullptr; host = host->next_live) {
            kill_host(host->process);
        }
        for (Ending* ending = endings_; ending != nullptr; ending = ending->next) {
            kill_host(ending->process);
        }
    }

    // Whether the warden ended `host` for a call past its deadline.
    bool timed_out(const Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        return host.timed_out;
    }

    // Takes over a released host whose control channel is closed.
    void end(const Process& process) noexcept {
        Ending* ending = new (std::nothrow) Ending();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (ending != nullptr && ensure_running()) {
                ending->process = process;
                ending->kill_at = Clock::now() + (kReleaseGrace - kReleaseWait);
                ending->next = endings_;
                endings_ = ending;
                wake_.notify_one();
                return;
            }
        }
        delete ending;
        // No warden: no grace either. A killed process is gone within moments; should it not be,
        // it is left to the operating system rather than waited for.
        Process left = process;
        kill_host(left);
        for (int tries = 0; tries < 100 && !reap_host(left); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

  private:
    // Under mutex_.
    bool ensure_running() noexcept {
        if (!running_) {
            running_ = start_thread(run, this, 64 * 1024);
        }
        return running_;
    }

    static void run(void* self) { static_cast<Warden*>(self)->loop(); }

    void loop() {
        // While hosts are ending, they are looked at this often.
        constexpr auto kPoll = std::chrono::milliseconds(5);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (Ending** link = &endings_; *link != nullptr;) {
                Ending* ending = *link;
                if (reap_host(ending->process)) {
                    *link = ending->next;
                    delete ending;
                    continue;
                }
                if (!ending->killed && now >= ending->kill_at) {
                    kill_host(ending->process);
                    ending->killed = true;
                }
                next = now + kPoll;
                link = &ending->next;
            }
            for (Watch* watch = watches_; watch != nullptr; watch = watch->next) {
                if (watch->host->timed_out) {
                    continue;
                }
                if (now >= watch->expiry) {
                    // As if the host had crashed: every call inside it ends, and the slot empties.
                    kill_host(watch->host->process);
                    watch->host->timed_out = true;
                } else if (watch->expiry < next) {
                    next = watch->expiry;
                }
            }
            if (next == Clock::time_point::max()) {
                wake_.wait(lock);
            } else {
                wake_.wait_until(lock, next);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    Watch* watches_ = nullptr;
    Ending* endings_ = nullptr;
    Host* live_ = nullptr;
    bool running_ = false;
};

// Never destroyed: its thread may still run while the process exits.
Warden& warden() noexcept {
    alignas(Warden) static unsigned char storage[sizeof(Warden)];
    static Warden* const the_warden = new (storage) Warden();
    return *the_warden;
}

#if !defined(_WIN32)
// Runs as the JVM exits normally (its exit runs the destructors of loaded libraries). On Windows
// the job object ends every host with this process, and at that point other threads are gone,
// possibly holding the warden's lock.
struct KillHostsAtExit {
    ~KillHostsAtExit() { warden().kill_all(); }
} kill_hosts_at_exit;
#endif

// ---- Calls -------------------------------------------------------------------------------------

// The request for `call` as `entry`'s shape has it; false when the call is over a limit and must
// not be sent.
bool encode(std::uint32_t op, Entry entry, const Call& call, wire::Request& request) noexcept {
    request.op = op;
    request.entry = static_cast<std::uint32_t>(entry);
    if (op != wire::kCall) {
        return true;
    }
    const Shape& s = shape(entry);
    for (int i = 0; i < s.ints; ++i) {
        request.args[i] = call.args[i];
    }
    for (int i = 0; i < s.texts; ++i) {
        const std::size_t length = std::strlen(call.texts[i]);
        if (length > wire::kMostTextBytes) {
            return false;
        }
        request.text_bytes[i] = static_cast<std::uint32_t>(length);
    }
    if (s.words != WordFlow::None) {
        if (call.count < 0 || call.count > wire::kMostWords) {
            return false;
        }
        request.count = call.count;
    }
    return true;
}

// One request and its reply on `channel`; false when the channel broke (the host is gone) or the
// reply is not one this request can have.
bool exchange(Fd channel, const wire::Request& request, Call& call, wire::Reply& reply) noexcept {
    Sender sender(channel);
    if (!sender.add(&request, sizeof request)) {
        return false;
    }
    for (int i = 0; i < kMostTexts && request.text_bytes[i] > 0; ++i) {
        if (!sender.add(call.texts[i], request.text_bytes[i])) {
            return false;
        }
    }
    const bool words_out = request.op == wire::kCall &&
                           shape(static_cast<Entry>(request.entry)).words == WordFlow::ToLibrary;
    if (words_out && !sender.add(call.words, wire::word_bytes(request.count))) {
        return false;
    }
    if (!sender.flush() || !read_all(channel, &reply, sizeof reply)) {
        return false;
    }
    // Only what this call asked for is accepted back, never more than its buffer holds.
    const std::uint32_t most = reply.reach == wire::kCalled ? wire::most_payload(request) : 0;
    if (reply.payload_bytes > most) {
        return false;
    }
    if (shape(static_cast<Entry>(request.entry)).reply) {
        return reply.payload_bytes == 0 || read_all(channel, call.reply, reply.payload_bytes);
    }
    return reply.payload_bytes == most && (most == 0 || read_all(channel, call.words, most));
}

Reach exchange_on(Host& host, const wire::Request& request, Call& call, int& status) noexcept {
    Reach failure = Reach::Lost;
    const Fd channel = host.take(failure);
    if (channel == kNoFd) {
        return failure;
    }
    wire::Reply reply{};
    if (!exchange(channel, request, call, reply)) {
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

Reach ask(Host& host, std::uint32_t op, Entry entry, Call& call, int& status,
          std::chrono::milliseconds deadline) noexcept {
    wire::Request request{};
    if (!encode(op, entry, call, request)) {
        return Reach::Failed;
    }
    if (deadline.count() <= 0) {
        return exchange_on(host, request, call, status);
    }
    Watch watch;
    watch.host = &host;
    watch.expiry = Clock::now() + deadline;
    if (!warden().watch(watch)) {
        return Reach::Failed;
    }
    const Reach reach = exchange_on(host, request, call, status);
    warden().unwatch(watch);
    // A host ended for its deadline may still have answered in the meantime; the call counts as
    // lost all the same, so that every call of that host ends alike.
    return warden().timed_out(host) ? Reach::Lost : reach;
}

void set_text(LoadError& error, const char* prefix, const char* text, std::size_t length) {
    std::snprintf(error.text, sizeof error.text, "%s%.*s", prefix, static_cast<int>(length), text);
}

} // namespace

Host* start_host(const char* file_name, const LoadError& in_process, LoadError& why) noexcept {
    Host* host = new (std::nothrow) Host();
    if (host == nullptr) {
        set_text(why, "no memory to start morlane-host32", "", 0);
        return nullptr;
    }
    if (!spawn_host_process(file_name, in_process, host->process, why)) {
        delete host;
        return nullptr;
    }
    wire::LoadAnswer answer{};
    char reason[wire::kMostReasonBytes];
    if (!read_all(host->process.control, &answer, sizeof answer)) {
        set_text(why, "morlane-host32 ended before it answered", "", 0);
    } else if (answer.answer != wire::kLoaded) {
        if (answer.reason_bytes <= wire::kMostReasonBytes &&
            read_all(host->process.control, reason, answer.reason_bytes)) {
            set_text(why, "morlane-host32 could not load it: ", reason, answer.reason_bytes);
        } else {
            set_text(why, "morlane-host32 could not load it", "", 0);
        }
    } else {
        warden().track(*host);
        return host;
    }
    warden().track(*host);
    stop_host(host);
    return nullptr;
}

Reach call(Host& host, Entry entry, Call& call, int& status,
           std::chrono::milliseconds deadline) noexcept {
    return ask(host, wire::kCall, entry, call, status, deadline);
}

Reach lookup(Host& host, Entry entry, std::chrono::milliseconds deadline) noexcept {
    Call nothing;
    int status = 0;
    return ask(host, wire::kLookup, entry, nothing, status, deadline);
}

void stop_host(Host* host) noexcept {
    warden().untrack(*host);
    host->close_all();
    const wire::ControlMessage quit{wire::kQuit, 0};
    if (write_all(host->process.control, &quit, sizeof quit)) {
        await_exit(host->process, kReleaseWait);
    }
    close_fd(host->process.control);
    host->process.control = kNoFd;
    warden().end(host->process);
    delete host;
}

} // namespace morlane::hosted
