#include "host/client.h"

#include "host/mailbox.h"
#include "host/process.h"
#include "host/protocol.h"
#include "host/thread.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace morlane::hosted {

using Clock = std::chrono::steady_clock;

// Every host gets a number no other host of this process gets, so that a thread can tell whether
// the host its mailbox belongs to is the one it is calling, without keeping the host alive.
std::atomic<std::uint64_t> hosts_started{0};

class Host {
  public:
    const std::uint64_t serial = ++hosts_started;
    Process process;
    bool timed_out = false; // set by the warden, under its mutex, when a call outlived its deadline
    // The code page of its library's texts, from its load answer.
    std::uint32_t code_page = 0;
    std::intptr_t watch = -1;  // the warden's own handle on the host's life
    bool dead_seen = false;    // the warden's: the host's death has been dealt with
    Host* next_live = nullptr; // the warden's list of running hosts
    Host* previous_live = nullptr;
    Host* next_running = nullptr; // running_hosts, under running_mutex

    ~Host() {
        std::lock_guard<std::mutex> lock(boxes_mutex_);
        while (boxes_ != nullptr) {
            Mailbox* box = boxes_;
            boxes_ = box->next;
            destroy(box);
        }
    }

    // A new mailbox of `bytes` that the host serves on a thread of its own; nullptr when none can
    // be had, `failure` then saying whether the host is gone or only this call cannot be made.
    Mailbox* open(std::uint32_t bytes, Reach& failure) noexcept {
        Mailbox* box = new (std::nothrow) Mailbox();
        if (box == nullptr || !make_mailbox(bytes, *box)) {
            delete box;
            failure = Reach::Failed;
            return nullptr;
        }
        if (!enlist(*box)) {
            unmap_mailbox(*box);
            delete box;
            failure = Reach::Lost;
            return nullptr;
        }
        std::uint32_t answer = 0;
        bool handed;
        {
            std::lock_guard<std::mutex> lock(control_mutex_);
            handed = hand_over_mailbox(process, *box, answer);
        }
        if (handed && answer == wire::kServing) {
            return box;
        }
        discard(box);
        // Refused: the host could not map it or make a thread for it, and serves on.
        failure = handed ? Reach::Failed : Reach::Lost;
        return nullptr;
    }

    // Closes a mailbox: the host's thread serving it ends.
    void close(Mailbox* box) noexcept {
        hand_over(*box, turn::kClosed);
        discard(box);
    }

    // Forgets a mailbox whose host may be gone or whose call was abandoned.
    void discard(Mailbox* box) noexcept {
        std::lock_guard<std::mutex> lock(boxes_mutex_);
        unlink(box);
        destroy(box);
    }

    // Closes the mailboxes of threads that have ended, where that is seen by their handles.
    void close_orphans() noexcept {
        std::lock_guard<std::mutex> lock(boxes_mutex_);
        for (Mailbox* box = boxes_; box != nullptr;) {
            Mailbox* next = box->next;
            if (box->owner != -1 && signalled(box->owner)) {
                hand_over(*box, turn::kClosed);
                unlink(box);
                destroy(box);
            }
            box = next;
        }
    }

    // The host is gone: every mailbox says so, and whoever sleeps on one wakes.
    void mark_dead() noexcept {
        std::lock_guard<std::mutex> lock(boxes_mutex_);
        dead_ = true;
        for (Mailbox* box = boxes_; box != nullptr; box = box->next) {
            hand_over(*box, turn::kDead);
        }
    }

    // Before the host is told to quit: no call is inside it, and every serving thread ends.
    void close_all() noexcept {
        std::lock_guard<std::mutex> lock(boxes_mutex_);
        for (Mailbox* box = boxes_; box != nullptr; box = box->next) {
            hand_over(*box, turn::kClosed);
        }
    }

  private:
    // Under boxes_mutex_.
    void unlink(Mailbox* box) noexcept {
        (box->previous != nullptr ? box->previous->next : boxes_) = box->next;
        if (box->next != nullptr) {
            box->next->previous = box->previous;
        }
    }

    static void destroy(Mailbox* box) noexcept {
        unmap_mailbox(*box);
        if (box->owner != -1) {
            close_watch(box->owner);
        }
        delete box;
    }

    bool enlist(Mailbox& box) noexcept {
        std::lock_guard<std::mutex> lock(boxes_mutex_);
        if (dead_) {
            return false;
        }
        box.next = boxes_;
        if (boxes_ != nullptr) {
            boxes_->previous = &box;
        }
        boxes_ = &box;
        return true;
    }

    std::mutex boxes_mutex_;
    Mailbox* boxes_ = nullptr; // every mailbox of this host
    bool dead_ = false;
    std::mutex control_mutex_;
};

namespace {

// ---- The warden --------------------------------------------------------------------------------
// One thread for the whole bridge, made the first time it is needed, does what no caller may
// wait for: it sees a host die, at once and at no cost to any call, and wakes every caller
// sleeping on its mailboxes; it gives each released host its grace period, kills it after that
// and reaps it. It is never attached to the JVM, so it holds up neither a shutdown hook nor the
// JVM's exit.

struct Ending {
    Process process;
    Clock::time_point kill_at;
    bool killed = false;
    Ending* next = nullptr;
};

class Warden {
  public:
    // Running hosts are watched for their death, and killed if they outlive this process (see
    // below). False when no warden thread can be made: the host then cannot be used safely.
    bool track(Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ensure_running()) {
            return false;
        }
        host.watch = watch_of(host.process);
        if (host.watch == -1) {
            return false; // a host whose death nobody would see could leave a caller asleep
        }
        host.next_live = live_;
        if (live_ != nullptr) {
            live_->previous_live = &host;
        }
        live_ = &host;
        wakeup(wake_);
        return true;
    }

    void untrack(Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        (host.previous_live != nullptr ? host.previous_live->next_live : live_) = host.next_live;
        if (host.next_live != nullptr) {
            host.next_live->previous_live = host.previous_live;
        }
        // The warden may be waiting on it right now; it is closed once the warden has let go.
        if (host.watch != -1) {
            Unwatched* done = new (std::nothrow) Unwatched{host.watch, unwatched_};
            if (done != nullptr) {
                unwatched_ = done;
            }
            host.watch = -1;
        }
        wakeup(wake_);
    }

    // Ends `host` because a call outlived its deadline: as if it had crashed.
    void expire(Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        host.timed_out = true;
        kill_host(host.process);
    }

    // Ends `host` because what it wrote into a mailbox cannot be right: as if it had crashed.
    void abandon(Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        kill_host(host.process);
    }

    // Whether the warden ended `host` for a call past its deadline.
    bool timed_out(const Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        return host.timed_out;
    }

    // At this process's exit: a host ends at the end of file on its channel, but not one that is
    // stopped, and a released one in its grace period would be left without its warden.
    void kill_all() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Host* host = live_; host != nullptr; host = host->next_live) {
            kill_host(host->process);
        }
        for (Ending* ending = endings_; ending != nullptr; ending = ending->next) {
            kill_host(ending->process);
        }
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
                wakeup(wake_);
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
    struct Unwatched {
        std::intptr_t watch;
        Unwatched* next;
    };

    // Under mutex_.
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
        // While hosts are ending, they are looked at this often.
        constexpr auto kPoll = std::chrono::milliseconds(5);
        constexpr int kMostWatched = 60;
        std::intptr_t watched[kMostWatched];
        for (;;) {
            int count = 0;
            auto timeout = std::chrono::milliseconds(-1);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                while (unwatched_ != nullptr) {
                    Unwatched* done = unwatched_;
                    unwatched_ = done->next;
                    close_watch(done->watch);
                    delete done;
                }
                for (Host* host = live_; host != nullptr; host = host->next_live) {
                    if (!host->dead_seen && host->watch != -1 && signalled(host->watch)) {
                        host->dead_seen = true;
                        host->mark_dead();
                    }
                    if (!host->dead_seen && host->watch != -1) {
                        if (count < kMostWatched) {
                            watched[count++] = host->watch;
                        } else {
                            timeout = kPoll; // more than one wait can take: look again soon
                        }
                    }
                }
                const Clock::time_point now = Clock::now();
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
                    timeout = kPoll;
                    link = &ending->next;
                }
            }
            wait_any(wake_, watched, count, timeout);
        }
    }

    std::mutex mutex_;
    std::intptr_t wake_ = -1;
    Ending* endings_ = nullptr;
    Host* live_ = nullptr;
    Unwatched* unwatched_ = nullptr;
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

// ---- Each thread its own mailbox ---------------------------------------------------------------
// In process every call of a Java thread runs on that thread, and a library may tie state to it
// (windows, message queues, a conversation with another application, thread-local storage). So
// a thread keeps one mailbox per host it calls, served by one host thread, for as long as it
// lives or the host runs; its end is seen by this thread-local's destructor, which closes the
// mailbox and so ends that host thread. A call too large for a mailbox of kMailboxBytes goes
// through one of its own size, served once on a host thread of its own.

// The hosts that serve calls, for a thread that ends to find the one its mailbox belongs to.
std::mutex running_mutex;
Host* running_hosts = nullptr;

// A thread that ends gives up the mailbox it owned in the host numbered `serial`, if that host
// still runs; a host released since has closed it already.
void give_up(std::uint64_t serial, Mailbox* box) noexcept {
    std::lock_guard<std::mutex> lock(running_mutex);
    for (Host* host = running_hosts; host != nullptr; host = host->next_running) {
        if (host->serial == serial) {
            host->close(box);
            return;
        }
    }
}

class OwnMailboxes {
  public:
#if !defined(_WIN32)
    // On Windows a thread's thread-local destructors run inside the loader's notification of its
    // end, where the bridge must take none of its locks: there the end is seen by the thread's
    // handle instead, when another thread of this process first calls the host.
    ~OwnMailboxes() {
        for (Own& own : owns_) {
            if (own.box != nullptr) {
                give_up(own.serial, own.box);
            }
        }
    }
#endif

    Mailbox* find(const Host& host) const noexcept {
        for (const Own& own : owns_) {
            if (own.serial == host.serial) {
                return own.box;
            }
        }
        return nullptr;
    }

    // Two slots, each with a host and one more a host still ending: a fifth host gives up the
    // oldest mailbox (its host most likely released long ago).
    void keep(const Host& host, Mailbox* box) noexcept {
        Own& oldest = owns_[0];
        if (oldest.box != nullptr) {
            give_up(oldest.serial, oldest.box);
        }
        for (std::size_t i = 1; i < kOwns; ++i) {
            owns_[i - 1] = owns_[i];
        }
        owns_[kOwns - 1] = Own{host.serial, box};
    }

    void forget(const Host& host) noexcept {
        for (Own& own : owns_) {
            if (own.serial == host.serial) {
                own = Own{};
            }
        }
    }

  private:
    struct Own {
        std::uint64_t serial = 0;
        Mailbox* box = nullptr;
    };
    static constexpr std::size_t kOwns = 4;
    Own owns_[kOwns];
};

thread_local OwnMailboxes own_mailboxes;

// The mailbox a call of `bytes` goes through: the thread's own, or one used once.
Mailbox* take(Host& host, std::uint32_t bytes, Reach& failure) noexcept {
    if (bytes > kMailboxBytes) {
        return host.open(bytes, failure);
    }
    if (Mailbox* own = own_mailboxes.find(host)) {
        return own;
    }
    host.close_orphans();
    Mailbox* box = host.open(kMailboxBytes, failure);
    if (box != nullptr) {
        box->owner = this_thread_watch();
        own_mailboxes.keep(host, box);
    }
    return box;
}

// After a call that ended cleanly: the thread keeps its own; one used once is closed.
void give_back(Host& host, Mailbox* box) noexcept {
    if (box->bytes != kMailboxBytes) {
        host.close(box);
    }
}

// After a call that did not: the mailbox may hold anything now.
void lose(Host& host, Mailbox* box) noexcept {
    if (box->bytes == kMailboxBytes) {
        own_mailboxes.forget(host);
    }
    host.discard(box);
}

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

// Puts the call into the mailbox: the header, the texts with their NULs, the words going to the
// library unless the caller wrote them there itself.
void post(const Mailbox& box, const wire::Request& request, const Layout& at,
          const Call& call) noexcept {
    std::memcpy(&box.header->request, &request, sizeof request);
    // Every text of the shape, empty ones too: an empty text is its NUL, and whatever an earlier
    // call left there must not stand in for it.
    const int texts =
        request.op == wire::kCall ? shape(static_cast<Entry>(request.entry)).texts : 0;
    for (int i = 0; i < texts; ++i) {
        std::memcpy(box.at(at.texts[i]), call.texts[i], request.text_bytes[i] + 1);
    }
    if (request.op == wire::kCall &&
        shape(static_cast<Entry>(request.entry)).words == WordFlow::ToLibrary &&
        reinterpret_cast<char*>(call.words) != box.at(at.words)) {
        std::memcpy(box.at(at.words), call.words, wire::word_bytes(request.count));
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
        std::memcpy(call.reply, box.at(at.reply), reply.payload_bytes);
        const void* nul = std::memchr(call.reply, '\0', reply.payload_bytes);
        return nul != nullptr ? nul == call.reply + reply.payload_bytes - 1
                              : reply.payload_bytes == kReplyBytes;
    }
    if (reply.payload_bytes != most) {
        return false;
    }
    // Words need no check: every 16-bit value is one a library may return.
    if (most > 0 && reinterpret_cast<char*>(call.words) != box.at(at.words)) {
        std::memcpy(call.words, box.at(at.words), most);
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

// How often a bridge thread asleep on its turn wakes to look at the word again and to see that its
// host lives. A library in the host can clear the word or hand the turn back without a wake-up;
// this bounds what that costs: a caller whose reply is there waits at most this long for it, and
// one whose turn word holds nonsense fails within it. A tenth of a second is far shorter than any
// hang a person notices and far longer than a PLC call, so it costs a sleeping caller ten wake-ups
// a second and a caller whose reply comes normally nothing.
constexpr std::chrono::milliseconds kRecheck{100};

// Whether the host process has ended, without waiting; on the rare path of a long sleep only.
bool host_ended(const Host& host) noexcept {
#if defined(_WIN32)
    return signalled(host.process.id); // the process handle
#else
    return signalled(host.process.control); // its far end closes as the host exits
#endif
}

// Waits for the host to hand the turn back: kBridge, kDead (the warden's mark, or a host seen
// ended here), kTimedOut when `until` passed, or any other word, which the protocol cannot produce
// while the request is the host's: the library wrote it. A request that had to wake its host is
// slept on at once: the host needs a wake-up's time before it can answer, and a caller spinning
// meanwhile only delays its own wake-up; one handed to a host thread still awake is spun for first.
std::uint32_t await_reply(const Host& host, const Mailbox& box, Handed handed,
                          Clock::time_point until) noexcept {
    std::chrono::microseconds spin =
        handed == Handed::ToSleeper ? std::chrono::microseconds{0} : kSpin;
    for (;;) {
        const Clock::time_point now = Clock::now();
        const Clock::time_point recheck_at = until - now > kRecheck ? now + kRecheck : until;
        const std::uint32_t back = await_turn(
            box, Side::Bridge, [](std::uint32_t t) { return t != turn::kHost; }, recheck_at, spin);
        if (back != kTimedOut || recheck_at == until) {
            return back;
        }
        if (host_ended(host)) {
            return turn::kDead;
        }
        spin = std::chrono::microseconds{0};
    }
}

Reach ask(Host& host, std::uint32_t op, Entry entry, Call& call, int& status,
          std::chrono::milliseconds deadline, Mailbox*& reserved) noexcept {
    wire::Request request{};
    if (!encode(op, entry, call, request)) {
        return Reach::Failed;
    }
    const Clock::time_point until = until_after(deadline);
    const Layout at = layout_of(request);
    Reach failure = Reach::Lost;
    Mailbox* box =
        reserved != nullptr && at.end <= reserved->bytes ? reserved : take(host, at.end, failure);
    if (box == nullptr) {
        return failure;
    }
    // Whatever happens below, a mailbox that is lost is the reserver's no longer.
    const auto lose_box = [&] {
        if (box == reserved) {
            reserved = nullptr;
        }
        lose(host, box);
    };
    post(*box, request, at, call);
    const Handed handed = hand_request_over(*box);
    if (handed == Handed::No) {
        lose_box(); // its host died since it was taken
        return Reach::Lost;
    }
    const std::uint32_t back = await_reply(host, *box, handed, until);
    if (back == kTimedOut) {
        // Past the deadline: the host is ended as if it had crashed, and every call inside it
        // fails; this one is not waited for any longer.
        warden().expire(host);
        lose_box();
        return Reach::Expired;
    }
    wire::Reply reply{};
    if (back != turn::kBridge || !collect(*box, request, at, call, reply)) {
        if (back == turn::kDead && deadline.count() > 0 && warden().timed_out(host)) {
            lose_box();
            return Reach::Expired;
        }
        if (back != turn::kDead) {
            // A live host that wrote what no host of ours writes: its library cannot be trusted
            // with another call, and a caller may be asleep on one of its other mailboxes.
            warden().abandon(host);
        }
        lose_box();
        return Reach::Lost;
    }
    if (box != reserved) {
        give_back(host, box);
    }
    if (deadline.count() > 0 && warden().timed_out(host)) {
        return Reach::Expired; // its host was ended for another call: every call of it ends alike
    }
    status = reply.status;
    return reply.reach == wire::kMissing ? Reach::Missing : Reach::Called;
}

void set_text(LoadError& error, const char* prefix, const char* text, std::size_t length) {
    std::snprintf(error.text, sizeof error.text, "%s%.*s", prefix, static_cast<int>(length), text);
}

} // namespace

Host* start_host(const char* file_name, LoadError& why) noexcept {
    Host* host = new (std::nothrow) Host();
    if (host == nullptr) {
        set_text(why, "no memory to start morlane-host32", "", 0);
        return nullptr;
    }
    if (!spawn_host_process(file_name, host->process, why)) {
        delete host;
        return nullptr;
    }
    wire::LoadAnswer answer{};
    char reason[wire::kMostReasonBytes];
    if (!warden().track(*host)) {
        set_text(why, "no thread to watch morlane-host32", "", 0);
    } else if (!read_all(host->process.control, &answer, sizeof answer)) {
        set_text(why, "morlane-host32 ended before it answered", "", 0);
    } else if (answer.answer != wire::kLoaded) {
        if (answer.reason_bytes <= wire::kMostReasonBytes &&
            read_all(host->process.control, reason, answer.reason_bytes)) {
            set_text(why, "morlane-host32 could not load it: ", reason, answer.reason_bytes);
        } else {
            set_text(why, "morlane-host32 could not load it", "", 0);
        }
    } else {
        host->code_page = answer.code_page;
        std::lock_guard<std::mutex> lock(running_mutex);
        host->next_running = running_hosts;
        running_hosts = host;
        return host;
    }
    stop_host(host);
    return nullptr;
}

Reach call(Host& host, Entry entry, Call& call, int& status,
           std::chrono::milliseconds deadline) noexcept {
    Mailbox* none = nullptr;
    return ask(host, wire::kCall, entry, call, status, deadline, none);
}

Reach lookup(Host& host, Entry entry, std::chrono::milliseconds deadline) noexcept {
    Call nothing;
    int status = 0;
    Mailbox* none = nullptr;
    return ask(host, wire::kLookup, entry, nothing, status, deadline, none);
}

std::uint32_t text_code_page(const Host& host) noexcept {
    return host.code_page;
}

void stop_host(Host* host) noexcept {
    {
        std::lock_guard<std::mutex> lock(running_mutex);
        for (Host** link = &running_hosts; *link != nullptr; link = &(*link)->next_running) {
            if (*link == host) {
                *link = host->next_running;
                break;
            }
        }
    }
    warden().untrack(*host);
    host->close_all();
    const wire::ControlMessage quit{wire::kQuit, 0, {0, 0}, 0};
    if (write_all(host->process.control, &quit, sizeof quit)) {
        await_exit(host->process, kReleaseWait);
    }
    close_fd(host->process.control);
    host->process.control = kNoFd;
    warden().end(host->process);
    delete host;
}

} // namespace morlane::hosted
