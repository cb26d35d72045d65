#include "host/client.h"

#include "host/mailbox.h"
#include "host/process.h"
#include "host/thread.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace morlane::hosted {

using Clock = std::chrono::steady_clock;

class Host {
  public:
    // Unique in this process, so that a thread can tell whether the host its mailbox belongs to
    // is the one it is calling, without keeping the host alive.
    const std::uint64_t serial = ++started;
    Process process;
    std::uint32_t code_page = 0;        // of its library's texts, from its load answer
    std::intptr_t watch = -1;           // the warden's own handle on its life
    bool dead = false;                  // under `mutex`: its death was seen; no new mailbox
    std::atomic<bool> timed_out{false}; // it was ended because a call outlived its deadline
    std::mutex control;                 // one mailbox handover at a time

    static inline std::atomic<std::uint64_t> started{0};
};

namespace {

// One lock over every host's mailboxes and the warden's lists; never held across a call.
std::mutex mutex;

struct Box {
    Host* host;
    Mailbox mailbox;
    std::intptr_t owner; // Windows: the owning thread's handle, to see it end; else -1
};
std::vector<Box*> boxes; // every mailbox of every running host, under `mutex`

// Under `mutex`.
std::vector<Box*>::iterator destroy(std::vector<Box*>::iterator at) noexcept {
    Box* box = *at;
    unmap_mailbox(box->mailbox);
    if (box->owner != -1) {
        close_watch(box->owner);
    }
    delete box;
    return boxes.erase(at);
}

// Under `mutex`: every mailbox of `host` gets `word` (kDead, or kClosed, which also forgets it),
// and whoever sleeps on one wakes.
void mark_all(const Host& host, std::uint32_t word) noexcept {
    for (auto at = boxes.begin(); at != boxes.end();) {
        if ((*at)->host != &host) {
            ++at;
            continue;
        }
        hand_over((*at)->mailbox, word);
        at = word == turn::kClosed ? destroy(at) : at + 1;
    }
}

// Forgets a mailbox whose host may be gone or whose call was abandoned; `closing`: the host's
// thread serving it ends first.
void discard(Box* box, bool closing) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    const auto at = std::find(boxes.begin(), boxes.end(), box);
    if (at != boxes.end()) {
        if (closing) {
            hand_over(box->mailbox, turn::kClosed);
        }
        destroy(at);
    }
}

// A new mailbox of `bytes` that the host serves on a thread of its own; nullptr when none can be
// had, `failure` then saying whether the host is gone or only this call cannot be made.
Box* open(Host& host, std::uint32_t bytes, std::intptr_t owner, Reach& failure) noexcept {
    failure = Reach::Failed;
    Box* box = new (std::nothrow) Box{&host, Mailbox{}, owner};
    if (box == nullptr || !make_mailbox(bytes, box->mailbox)) {
        if (owner != -1) {
            close_watch(owner);
        }
        delete box;
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        boxes.push_back(box);
        if (host.dead) {
            failure = Reach::Lost;
            destroy(boxes.end() - 1);
            return nullptr;
        }
    }
    std::uint32_t answer = wire::kRefused;
    bool handed;
    {
        std::lock_guard<std::mutex> lock(host.control);
        handed = hand_over_mailbox(host.process, box->mailbox, answer);
    }
    if (handed && answer == wire::kServing) {
        return box;
    }
    discard(box, false);
    // Refused: the host could not map it or make a thread for it, and serves on.
    failure = handed ? Reach::Failed : Reach::Lost;
    return nullptr;
}

// ---- The warden --------------------------------------------------------------------------------
// One thread for the whole bridge, made the first time it is needed, does what no caller may
// wait for: it sees a host die, at once and at no cost to any call, and wakes every caller
// sleeping on its mailboxes; it gives each released host its grace period, kills it after that
// and reaps it. It is never attached to the JVM, so it holds up neither a shutdown hook nor the
// JVM's exit.
class Warden {
  public:
    // False when the host cannot be watched: a host whose death nobody would see could leave a
    // caller asleep.
    bool track(Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex);
        for (Watched& free : watched_) {
            if (free.watch == -1) {
                host.watch = ensure_running() ? watch_of(host.process) : -1;
                if (host.watch != -1) {
                    free = Watched{&host, host.watch};
                    wakeup(wake_);
                }
                return host.watch != -1;
            }
        }
        return false;
    }

    void untrack(Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex);
        for (Watched& watched : watched_) {
            if (watched.host == &host) {
                watched.host = nullptr; // the warden may wait on its watch now: it closes it
            }
        }
        wakeup(wake_);
    }

    // At this process's exit: a host ends at the end of file on its channel, but not one that is
    // stopped, and a released one in its grace period would be left without its warden.
    void kill_all() noexcept {
        std::lock_guard<std::mutex> lock(mutex);
        for (const Watched& watched : watched_) {
            if (watched.host != nullptr) {
                kill_host(watched.host->process);
            }
        }
        for (const Ending& ending : endings_) {
            if (ending.process.id != 0) {
                kill_host(ending.process);
            }
        }
    }

    // Takes over a released host whose control channel is closed.
    void end(const Process& process) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (Ending& free : endings_) {
                if (free.process.id == 0 && ensure_running()) {
                    free = Ending{process, Clock::now() + (kReleaseGrace - kReleaseWait), false};
                    wakeup(wake_);
                    return;
                }
            }
        }
        // No warden: no grace either. A killed process is gone within moments; should it not be,
        // it is left to the operating system rather than waited for.
        Process left = process;
        kill_host(left);
        for (int tries = 0; tries < 100 && !reap_host(left); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

  private:
    struct Watched {
        Host* host = nullptr; // nullptr with a watch: untracked, its watch to be closed
        std::intptr_t watch = -1;
    };
    struct Ending {
        Process process;
        Clock::time_point kill_at;
        bool killed = false;
    };
    // Hosts at once: one per slot, and released ones still ending.
    static constexpr int kMostHosts = 16;

    // Under `mutex`.
    bool ensure_running() noexcept {
        if (!running_) {
            if (wake_ == -1) {
                wake_ = make_wakeup();
            }
            running_ = wake_ != -1 && start_thread(run, this, 64 * 1024);
        }
        return running_;
    }

    static void run(void* self) { static_cast<Warden*>(self)->loop(); }

    void loop() {
        for (;;) {
            std::intptr_t waits[kMostHosts];
            int count = 0;
            auto timeout = std::chrono::milliseconds(-1);
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (Watched& watched : watched_) {
                    if (watched.host == nullptr && watched.watch != -1) {
                        close_watch(watched.watch);
                        watched.watch = -1;
                    }
                    if (watched.host == nullptr || watched.host->dead) {
                        continue;
                    }
                    if (signalled(watched.watch)) {
                        watched.host->dead = true;
                        mark_all(*watched.host, turn::kDead);
                    } else {
                        waits[count++] = watched.watch;
                    }
                }
                const Clock::time_point now = Clock::now();
                for (Ending& ending : endings_) {
                    if (ending.process.id == 0 || reap_host(ending.process)) {
                        continue;
                    }
                    if (!ending.killed && now >= ending.kill_at) {
                        kill_host(ending.process);
                        ending.killed = true;
                    }
                    timeout = std::chrono::milliseconds(5); // while hosts are ending
                }
            }
            wait_any(wake_, waits, count, timeout);
        }
    }

    std::intptr_t wake_ = -1;
    bool running_ = false;
    Watched watched_[kMostHosts];
    Ending endings_[kMostHosts];
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
// possibly holding the lock.
struct KillHostsAtExit {
    ~KillHostsAtExit() { warden().kill_all(); }
} kill_hosts_at_exit;
#endif

// ---- Each thread its own mailbox ---------------------------------------------------------------
// In process every call of a Java thread runs on that thread, and a library may tie state to it
// (windows, message queues, thread-local storage). So a thread keeps one mailbox per host it
// calls, served by one host thread, for as long as it lives or the host runs. A call too large
// for a mailbox of kMailboxBytes goes through one of its own size, served once.
struct Own {
    std::uint64_t serial = 0;
    Box* box = nullptr;
};

// Closes a thread's mailbox if its host still runs; a host released since has closed it.
void give_up(const Own& own) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    const auto at = std::find(boxes.begin(), boxes.end(), own.box);
    if (at != boxes.end() && (*at)->host->serial == own.serial) {
        hand_over((*at)->mailbox, turn::kClosed);
        destroy(at);
    }
}

// Two slots, each with a host and one more still ending: a fifth host gives up the oldest
// mailbox (its host most likely released long ago).
struct OwnMailboxes {
    Own owns[4];
#if !defined(_WIN32)
    // On Windows a thread's thread-local destructors run inside the loader's notification of its
    // end, where the bridge must take none of its locks: there the end is seen by the thread's
    // handle instead, when a thread of this process next opens a mailbox.
    ~OwnMailboxes() {
        for (const Own& own : owns) {
            give_up(own);
        }
    }
#endif
};
thread_local OwnMailboxes own_mailboxes;

// The mailbox a call of `bytes` goes through: the thread's own, or one used once.
Box* take(Host& host, std::uint32_t bytes, Reach& failure) noexcept {
    if (bytes > kMailboxBytes) {
        return open(host, bytes, -1, failure);
    }
    Own* owns = own_mailboxes.owns;
    for (int i = 0; i < 4; ++i) {
        if (owns[i].serial == host.serial) {
            return owns[i].box;
        }
    }
    {
        // Mailboxes of threads that have ended, where that is seen by their handles.
        std::lock_guard<std::mutex> lock(mutex);
        for (auto at = boxes.begin(); at != boxes.end();) {
            const bool orphan = (*at)->owner != -1 && signalled((*at)->owner);
            if (orphan) {
                hand_over((*at)->mailbox, turn::kClosed);
            }
            at = orphan ? destroy(at) : at + 1;
        }
    }
    Box* box = open(host, kMailboxBytes, this_thread_watch(), failure);
    if (box != nullptr) {
        give_up(owns[0]);
        std::copy(owns + 1, owns + 4, owns);
        owns[3] = Own{host.serial, box};
    }
    return box;
}

// After a call that did not end cleanly: the mailbox may hold anything now.
void lose(const Host& host, Box* box) noexcept {
    for (Own& own : own_mailboxes.owns) {
        if (own.serial == host.serial) {
            own = Own{};
        }
    }
    discard(box, false);
}

// ---- Calls -------------------------------------------------------------------------------------

// The request for `call`; false when the call is over a limit and must not be sent.
bool encode(std::uint32_t op, Entry entry, const Call& call, wire::Request& request) noexcept {
    request.op = op;
    request.entry = static_cast<std::uint32_t>(entry);
    if (op != wire::kCall) {
        return true;
    }
    const Shape& s = shape(entry);
    std::copy(call.args, call.args + s.ints, request.args);
    for (int i = 0; i < s.texts; ++i) {
        const std::size_t length = std::strlen(call.texts[i]);
        if (length > wire::kMostTextBytes) {
            return false;
        }
        request.text_bytes[i] = static_cast<std::uint32_t>(length);
    }
    if (s.reply) {
        const void* nul = std::memchr(call.reply, '\0', kReplyBytes);
        request.count = static_cast<std::int32_t>(
            nul != nullptr ? static_cast<const char*>(nul) - call.reply + 1 : kReplyBytes);
    } else if (s.words != WordFlow::None) {
        if (call.count < 0 || call.count > wire::kMostWords) {
            return false;
        }
        request.count = call.count;
    }
    return true;
}

// Puts the call into the mailbox as the caller's buffers hold it: every text of the shape with
// its NUL (an empty one too: what an earlier call left there must not stand in for it), then the
// words or the reply area's leading text.
void post(const Mailbox& box, const wire::Request& request, const Layout& at,
          const Call& call) noexcept {
    std::memcpy(&box.header->request, &request, sizeof request);
    if (request.op != wire::kCall) {
        return;
    }
    const Shape& s = shape(static_cast<Entry>(request.entry));
    for (int i = 0; i < s.texts; ++i) {
        std::memcpy(box.at(at.texts[i]), call.texts[i], request.text_bytes[i] + 1);
    }
    if (s.reply) {
        std::memcpy(box.at(at.data), call.reply, static_cast<std::size_t>(request.count));
    } else if (s.words != WordFlow::None && request.count > 0) {
        std::memcpy(box.at(at.data), call.words, wire::word_bytes(request.count));
    }
}

// Takes the reply out of the mailbox into the bridge's own memory, each field read once and
// checked there: the library runs in the host and may have written anything anywhere in it, so a
// reply must be exactly one that `request` can have before any of it is used. False when it is
// not; nothing the library did not write into its reply area then reaches the caller.
bool collect(const Mailbox& box, const wire::Request& request, const Layout& at, Call& call,
             wire::Reply& reply) noexcept {
    std::memcpy(&reply, &box.header->reply, sizeof reply);
    const bool call_op = request.op == wire::kCall;
    if (reply.reach == wire::kMissing || (!call_op && reply.reach == wire::kFound)) {
        return reply.payload_bytes == 0;
    }
    if (!call_op || reply.reach != wire::kCalled) {
        return false; // kMalformed too: the bridge sends only what the host must accept
    }
    const std::uint32_t most = wire::most_payload(request);
    if (shape(static_cast<Entry>(request.entry)).reply) {
        // The reply up to and including its first NUL, or the whole area when the library wrote
        // none (the operation then refuses it).
        if (reply.payload_bytes == 0 || reply.payload_bytes > most) {
            return false;
        }
        std::memcpy(call.reply, box.at(at.data), reply.payload_bytes);
        const void* nul = std::memchr(call.reply, '\0', reply.payload_bytes);
        return nul != nullptr ? nul == call.reply + reply.payload_bytes - 1
                              : reply.payload_bytes == kReplyBytes;
    }
    // Words need no check: every 16-bit value is one a library may return.
    if (reply.payload_bytes != most) {
        return false;
    }
    if (most > 0) {
        std::memcpy(call.words, box.at(at.data), most);
    }
    return true;
}

// When a call that may last `deadline` (zero: no limit) must end; one too far off to be told
// apart from no limit means none, rather than a sum that overflows the clock.
Clock::time_point until_after(std::chrono::milliseconds deadline) noexcept {
    if (deadline.count() <= 0) {
        return Clock::time_point::max();
    }
    const Clock::time_point now = Clock::now();
    const auto room =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    return deadline < room ? now + deadline : Clock::time_point::max();
}

// How often a bridge thread asleep on its turn wakes to look at the word again and to see that
// its host lives. A library in the host can clear the word or hand the turn back without a
// wake-up; this bounds what that costs. A tenth of a second is far shorter than any hang a person
// notices and far longer than a PLC call.
constexpr std::chrono::milliseconds kRecheck{100};

// Waits for the host to hand the turn back: kBridge, kDead (the warden's mark, or a host seen
// ended here), kTimedOut when `until` passed, or any other word, which the library wrote. A
// request that had to wake its host is slept on at once: the host needs a wake-up's time before
// it can answer, and a caller spinning meanwhile only delays its own wake-up.
std::uint32_t await_reply(const Host& host, const Mailbox& box, Handed handed,
                          Clock::time_point until) noexcept {
    auto spin = handed == Handed::ToSleeper ? std::chrono::microseconds{0} : kSpin;
    for (;;) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point recheck_at = until - now > kRecheck ? now + kRecheck : until;
        const std::uint32_t back = await_turn(
            box, Side::Bridge, [](std::uint32_t t) { return t != turn::kHost; }, recheck_at, spin);
        if (back != kTimedOut || recheck_at == until) {
            return back;
        }
        if (signalled(host.watch)) {
            return turn::kDead;
        }
        spin = std::chrono::microseconds{0};
    }
}

Reach ask(Host& host, std::uint32_t op, Entry entry, Call& call, int& status,
          std::chrono::milliseconds deadline) noexcept {
    wire::Request request{};
    if (!encode(op, entry, call, request)) {
        return Reach::Failed;
    }
    const Clock::time_point until = until_after(deadline);
    const Layout at = layout_of(request);
    Reach failure = Reach::Lost;
    Box* box = take(host, at.end, failure);
    if (box == nullptr) {
        return failure;
    }
    post(box->mailbox, request, at, call);
    const Handed handed = hand_request_over(box->mailbox);
    if (handed == Handed::No) {
        lose(host, box); // its host died since it was taken
        return Reach::Lost;
    }
    const std::uint32_t back = await_reply(host, box->mailbox, handed, until);
    wire::Reply reply{};
    if (back == turn::kBridge && collect(box->mailbox, request, at, call, reply)) {
        if (box->mailbox.bytes != kMailboxBytes) {
            discard(box, true);
        }
        if (deadline.count() > 0 && host.timed_out) {
            return Reach::Expired; // its host was ended for another call: every call of it ends
                                   // alike
        }
        status = reply.status;
        return reply.reach == wire::kMissing ? Reach::Missing : Reach::Called;
    }
    // Past the deadline the host is ended as if it had crashed, and so is a live host that wrote
    // what no host of ours writes: its library cannot be trusted with another call, and a caller
    // may be asleep on one of its other mailboxes.
    if (back == kTimedOut) {
        host.timed_out = true;
    }
    if (back != turn::kDead) {
        kill_host(host.process);
    }
    lose(host, box);
    const bool expired = back == kTimedOut || (deadline.count() > 0 && host.timed_out);
    return expired ? Reach::Expired : Reach::Lost;
}

} // namespace

Host* start_host(const char* file_name, LoadError& why) noexcept {
    Host* host = new (std::nothrow) Host();
    if (host == nullptr) {
        std::snprintf(why.text, sizeof why.text, "no memory to start morlane-host32");
        return nullptr;
    }
    if (!spawn_host_process(file_name, host->process, why)) {
        delete host;
        return nullptr;
    }
    wire::LoadAnswer answer{};
    char reason[wire::kMostReasonBytes];
    const Channel& control = host->process.control;
    if (!warden().track(*host)) {
        std::snprintf(why.text, sizeof why.text, "no thread to watch morlane-host32");
    } else if (!read_all(control, &answer, sizeof answer)) {
        std::snprintf(why.text, sizeof why.text, "morlane-host32 ended before it answered");
    } else if (answer.answer == wire::kLoaded) {
        host->code_page = answer.code_page;
        return host;
    } else if (answer.reason_bytes <= wire::kMostReasonBytes &&
               read_all(control, reason, answer.reason_bytes)) {
        std::snprintf(why.text, sizeof why.text, "morlane-host32 could not load it: %.*s",
                      static_cast<int>(answer.reason_bytes), reason);
    } else {
        std::snprintf(why.text, sizeof why.text, "morlane-host32 could not load it");
    }
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

std::uint32_t text_code_page(const Host& host) noexcept {
    return host.code_page;
}

void stop_host(Host* host) noexcept {
    warden().untrack(*host);
    {
        // No call is inside it: every serving thread ends.
        std::lock_guard<std::mutex> lock(mutex);
        mark_all(*host, turn::kClosed);
    }
    const wire::ControlMessage quit{wire::kQuit, 0, {0, 0}, 0};
    if (write_all(host->process.control, &quit, sizeof quit)) {
        await_exit(host->process, kReleaseWait);
    }
    close_channel(host->process.control);
    warden().end(host->process);
    delete host;
}

} // namespace morlane::hosted
