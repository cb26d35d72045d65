#include "host/client.h"

#include "host/process.h"
#include "host/thread.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <vector>

namespace morlane::hosted {

using Clock = std::chrono::steady_clock;

std::atomic<std::uint64_t> hosts_started{0};

class Host {
  public:
    // Tells a thread whether its mailbox is the calling host's, without keeping that host alive.
    const std::uint64_t serial = ++hosts_started;
    Process process;
    std::uint32_t code_page = 0;
    std::intptr_t watch = -1;           // the warden's own handle on its life, or none
    bool dead = false;                  // under `mutex`: its death was seen; no new mailbox
    std::atomic<bool> timed_out{false}; // it was ended because a call outlived its deadline
    std::timed_mutex control;           // one mailbox handover at a time, waited for in time
    std::uint32_t sent = 0;             // under `control`: the control messages numbered so far
};

namespace {

// A released host is waited for this long, so that in the usual case its library is released
// when stop_host returns, as in process; it is killed once kReleaseGrace has passed.
constexpr std::chrono::milliseconds kReleaseWait{250};
constexpr std::chrono::milliseconds kReleaseGrace{2000};

// One lock over every host's mailboxes and the warden's table; never held across a call.
std::mutex mutex;

struct Box {
    Host* host = nullptr;
    std::uint64_t serial = 0; // its host's
    Mailbox mailbox;
#if defined(_WIN32)
    std::intptr_t owner = -1; // the owning thread's handle, to see it end
#endif
    std::uint32_t sent = 0; // the requests numbered so far, by the one thread that uses it
};
// Every mailbox of every running host, under `mutex`. Never destroyed: Java threads may still call
// while the process exits and runs the destructors of statics.
std::vector<Box*>& boxes = *new std::vector<Box*>();

// Under `mutex`: closes (its serving thread ends) and forgets every mailbox `which` picks.
template <typename Which> void close_boxes(Which which) noexcept {
    const auto kept =
        std::partition(boxes.begin(), boxes.end(), [&](Box* b) { return !which(*b); });
    for (auto at = kept; at != boxes.end(); ++at) {
        hand_over((*at)->mailbox, turn::kClosed);
        unmap_mailbox((*at)->mailbox);
#if defined(_WIN32)
        if ((*at)->owner != -1) {
            close_watch((*at)->owner);
        }
#endif
        delete *at;
    }
    boxes.erase(kept, boxes.end());
}

void forget(const Box* box) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    close_boxes([box](const Box& b) { return &b == box; });
}

// Ends a host whose channel or mailbox can no longer be trusted, as if it had crashed: safe until
// it is reaped, which only its stop does. Every call with a deadline of a host ended for one
// deadline ends alike.
Reach end_host(Host& host, Clock::time_point until) noexcept {
    kill_host(host.process);
    host.timed_out = host.timed_out || Clock::now() >= until;
    return host.timed_out && until != Clock::time_point::max() ? Reach::Expired : Reach::Lost;
}

// Hands `mailbox` to the host as a message of `kind`, numbered `sequence`, waiting for the host's
// answer until `until` or until the host ends. Called once the host took it; Busy when it could
// not map it or make a thread for it, and serves on; else the host was ended.
Reach hand(Host& host, Mailbox& mailbox, std::uint32_t kind, Clock::time_point until,
           std::uint32_t& sequence) noexcept {
    std::unique_lock<std::timed_mutex> lock(host.control, std::defer_lock);
    const bool locked =
        until == Clock::time_point::max() ? (lock.lock(), true) : lock.try_lock_until(until);
    if (!locked) {
        return end_host(host, until);
    }
    sequence = ++host.sent;
    const Sent sent = send_mailbox(host.process.control, mailbox, kind, sequence, until);
    wire::ControlAnswer back{};
    if (sent == Sent::Nothing) {
        return Reach::Busy;
    }
    if (sent == Sent::Broken || !read_all(host.process.control, &back, sizeof back, until) ||
        back.sequence != sequence ||
        (back.answer != wire::kServing && back.answer != wire::kRefused)) {
        return end_host(host, until);
    }
    return back.answer == wire::kServing ? Reach::Called : Reach::Busy;
}

// The calling thread's new mailbox, which the host serves on a thread of its own; else nullptr
// and why.
Box* open(Host& host, Clock::time_point until, Reach& failure) noexcept {
    failure = Reach::Failed;
    Box* box = new (std::nothrow) Box{};
    if (box == nullptr || !make_mailbox(kMailboxBytes, box->mailbox)) {
        delete box;
        return nullptr;
    }
    box->host = &host;
    box->serial = host.serial;
#if defined(_WIN32)
    box->owner = this_thread_watch();
#endif
    {
        // Listed before it is handed over, so that the host's death is seen in it too.
        std::lock_guard<std::mutex> lock(mutex);
        boxes.push_back(box);
        failure = host.dead ? Reach::Lost : Reach::Failed;
    }
    std::uint32_t sequence = 0;
    failure = failure == Reach::Lost ? failure
                                     : hand(host, box->mailbox, wire::kNewMailbox, until, sequence);
    if (failure == Reach::Called) {
        return box;
    }
    forget(box);
    return nullptr;
}

// One thread for the whole bridge sees a host die at once and at no cost to any call, and wakes
// every caller sleeping on its mailboxes; it gives each released host its grace, kills it after
// that and reaps it. Never attached to the JVM, it holds up neither a shutdown hook nor its exit.
class Warden {
  public:
    // A host whose death nobody would see could leave a caller asleep: false, not started.
    bool track(Host& host) noexcept {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running()) {
            return false;
        }
        Slot* slot = new (std::nothrow) Slot{&host, watch_of(host.process), Process{}, {}, first_};
        if (slot == nullptr) {
            return false;
        }
        host.watch = slot->watch; // none: its end is looked for instead
        first_ = slot;
        wakeup(wake_);
        return true;
    }

    // A released host, its control channel closed; the loop closes its watch, as it may wait on it.
    void end(Host& host) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex);
            Slot* slot = first_;
            while (slot != nullptr && slot->host != &host) {
                slot = slot->next;
            }
            if (slot != nullptr) {
                slot->host = nullptr;
                slot->ending = host.process;
                slot->kill_at = Clock::now() + (kReleaseGrace - kReleaseWait);
                wakeup(wake_);
                return;
            }
        }
        // Never tracked, so no grace. A killed process is gone within moments, or left to the
        // system.
        kill_host(host.process);
        for (int tries = 0; tries < 100 && !reap_host(host.process); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // At exit: a released host in its grace would be left without its warden.
    void kill_all() noexcept {
        std::lock_guard<std::mutex> lock(mutex);
        for (const Slot* slot = first_; slot != nullptr; slot = slot->next) {
            if (slot->host != nullptr) {
                kill_host(slot->host->process);
            }
            if (slot->ending.id != 0) {
                kill_host(slot->ending);
            }
        }
    }

  private:
    struct Slot {
        Host* host;          // a running host; nullptr with a watch: its watch to be closed
        std::intptr_t watch; // the host's, or -1
        Process ending;      // a released host in its grace period, or being killed
        Clock::time_point kill_at;
        Slot* next;
    };

    bool running() noexcept {
        if (wake_ == -1) {
            wake_ = make_wakeup();
        }
        running_ = running_ || (wake_ != -1 && start_thread(run, this, 64 * 1024));
        return running_;
    }

    static void run(void* self) { static_cast<Warden*>(self)->loop(); }

    void loop() {
        for (;;) {
            std::intptr_t waits[kMostWatches];
            int count = 0;
            auto timeout = std::chrono::milliseconds(-1);
            {
                std::lock_guard<std::mutex> lock(mutex);
#if defined(_WIN32)
                // A thread's end is seen by its handle there: while hosts run, its mailboxes and
                // host threads go within a second.
                close_boxes([](const Box& b) { return b.owner != -1 && signalled(b.owner); });
                if (first_ != nullptr) {
                    timeout = std::chrono::milliseconds(1000);
                }
#endif
                const Clock::time_point now = Clock::now();
                for (Slot** at = &first_; *at != nullptr;) {
                    Slot* slot = *at;
                    look_at(*slot, now, waits, count, timeout);
                    const bool done = slot->host == nullptr && slot->ending.id == 0;
                    *at = done ? slot->next : slot;
                    at = done ? at : &slot->next;
                    if (done) {
                        delete slot;
                    }
                }
            }
            wait_any(wake_, waits, count, timeout);
        }
    }

    // Under `mutex`: marks a host seen ended, lists its watch to wait on, and kills a released
    // host whose grace has passed.
    static void look_at(Slot& slot, Clock::time_point now, std::intptr_t (&waits)[kMostWatches],
                        int& count, std::chrono::milliseconds& timeout) noexcept {
        const auto look_again_in = [&timeout](std::chrono::milliseconds after) {
            timeout = timeout.count() < 0 ? after : std::min(timeout, after);
        };
        if (slot.host == nullptr && slot.watch != -1) {
            close_watch(slot.watch);
            slot.watch = -1;
        }
        Host* host = slot.host;
        if (host != nullptr && !host->dead && (signalled(slot.watch) || exited(host->process))) {
            host->dead = true;
            for (Box* box : boxes) {
                if (box->host == host) {
                    hand_over(box->mailbox, turn::kDead);
                }
            }
        } else if (host != nullptr && !host->dead && slot.watch != -1 && count < kMostWatches) {
            waits[count++] = slot.watch;
        } else if (host != nullptr && !host->dead) {
            // A host without a watch, or past what one wait takes, is looked at often.
            look_again_in(std::chrono::milliseconds(20));
        }
        if (slot.ending.id != 0 && !reap_host(slot.ending)) {
            if (now >= slot.kill_at) {
                kill_host(slot.ending);
                slot.kill_at = Clock::time_point::max();
            }
            look_again_in(std::chrono::milliseconds(5)); // while hosts are ending
        }
    }

    std::intptr_t wake_ = -1;
    bool running_ = false;
    // Every host started and not yet reaped, however many: a slow release must not fail a start.
    Slot* first_ = nullptr;
};
// Its thread may still run while the process exits: nothing of it is ever destroyed.
static_assert(std::is_trivially_destructible_v<Warden>, "the warden outlives static destruction");
Warden warden;

#if !defined(_WIN32)
// Runs as the JVM exits normally. On Windows the job object ends the hosts, and other threads are
// gone by then, possibly holding the lock.
struct KillHostsAtExit {
    ~KillHostsAtExit() { warden.kill_all(); }
} kill_hosts_at_exit;
#endif

// In process every call of a Java thread runs on that thread, and a library may tie state to it
// (windows, message queues, thread-local storage): so a thread keeps one mailbox per host it
// calls, served by one host thread, for as long as it lives or the host runs.
struct Own {
    std::uint64_t serial = 0;
    Box* box = nullptr;
};

void give_up(const Own& own) noexcept {
    std::lock_guard<std::mutex> lock(mutex);
    close_boxes([&](const Box& b) { return &b == own.box && b.serial == own.serial; });
}

// Two slots, each with a host and one more still ending. A fifth host takes the place of one whose
// host has ended, or else of the oldest.
struct OwnMailboxes {
    Own owns[4];
#if !defined(_WIN32)
    // On Windows these run inside the loader's lock, where the bridge may take none of its own:
    // there the warden sees a thread's end by its handle.
    ~OwnMailboxes() {
        for (const Own& own : owns) {
            give_up(own);
        }
    }
#endif
};
thread_local OwnMailboxes own_mailboxes;

Box* take(Host& host, Clock::time_point until, Reach& failure) noexcept {
    Own* owns = own_mailboxes.owns;
    for (int i = 0; i < 4; ++i) {
        if (owns[i].serial == host.serial) {
            return owns[i].box;
        }
    }
    Box* box = open(host, until, failure);
    if (box != nullptr) {
        Own* gone = owns;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (Own* own = owns; own != owns + 4; ++own) {
                if (std::none_of(boxes.begin(), boxes.end(), [own](const Box* b) {
                        return b == own->box && b->serial == own->serial;
                    })) {
                    gone = own;
                    break;
                }
            }
        }
        give_up(*gone);
        std::copy(gone + 1, owns + 4, gone);
        owns[3] = Own{host.serial, box};
    }
    return box;
}

// When a wait that may last `deadline` (zero: no limit) ends. A deadline too far off to be told
// apart from none is none, not an overflow.
Clock::time_point deadline_from(std::chrono::milliseconds deadline) noexcept {
    const Clock::time_point now = Clock::now();
    return deadline.count() > 0 && deadline < std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  Clock::time_point::max() - now)
               ? now + deadline
               : Clock::time_point::max();
}

// After a call that did not end cleanly: the mailbox may hold anything now.
void lose(const Host& host, const Box* box) noexcept {
    for (Own& own : own_mailboxes.owns) {
        own = own.serial == host.serial ? Own{} : own;
    }
    forget(box);
}

// False when the call is over a limit and must not be sent.
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
        request.count = call.count;
    }
    return s.words == WordFlow::None || (call.count >= 0 && call.count <= wire::kMostWords);
}

// Every text goes in with its NUL, an empty one too: what an earlier call left must not stand in.
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

// The library may have written anything anywhere in the mailbox: the reply is copied out, each
// field read once, and must be exactly one that `request` can have before any of it is used.
bool collect(const Mailbox& box, const wire::Request& request, std::uint32_t sequence,
             const Layout& at, Call& call, wire::Reply& reply) noexcept {
    std::memcpy(&reply, &box.header->reply, sizeof reply);
    if (reply.sequence != sequence) {
        return false; // an earlier reply, left or handed back again by the library
    }
    const bool call_op = request.op == wire::kCall;
    if (reply.reach == wire::kMissing || (!call_op && reply.reach == wire::kFound)) {
        return reply.payload_bytes == 0;
    }
    if (!call_op || reply.reach != wire::kCalled) {
        return false; // kMalformed too: the bridge sends only what the host must accept
    }
    const Shape& s = shape(static_cast<Entry>(request.entry));
    if (s.reply) {
        if (reply.payload_bytes == 0 || reply.payload_bytes > kReplyBytes) {
            return false;
        }
        std::memcpy(call.reply, box.at(at.data), reply.payload_bytes);
        const void* nul = std::memchr(call.reply, '\0', reply.payload_bytes);
        return nul != nullptr ? nul == call.reply + reply.payload_bytes - 1
                              : reply.payload_bytes == kReplyBytes;
    }
    // Words need no check: every 16-bit value is one a library may return.
    const std::uint32_t most =
        s.words == WordFlow::FromLibrary ? wire::word_bytes(request.count) : 0;
    if (reply.payload_bytes != most) {
        return false;
    }
    if (most > 0) {
        std::memcpy(call.words, box.at(at.data), most);
    }
    return true;
}

// A library in the host can clear the turn word or hand the turn back without a wake-up: a caller
// looks again this often. Far shorter than a hang a person notices, far longer than a PLC call.
constexpr std::chrono::milliseconds kRecheck{100};

// kBridge, kDead (the warden's mark, or a host seen ended here), kTimedOut, or any other word,
// which the library wrote. A request that had to wake its host is slept on at once: the host needs
// a wake-up's time to answer, and a caller spinning meanwhile only delays its own wake-up.
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
        if (signalled(host.watch) || exited(host.process)) {
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
    const bool limited = deadline.count() > 0;
    const Clock::time_point until = deadline_from(deadline);
    const Layout at = layout_of(request);
    Reach failure = Reach::Lost;
    Box* box = take(host, until, failure);
    if (box == nullptr) {
        return failure;
    }
    // A call larger than the thread's mailbox brings its data in a mailbox of their own, an
    // extension, served on the same host thread as the thread's other calls.
    Mailbox extension;
    if (at.end > box->mailbox.bytes) {
        std::uint32_t named = 0;
        failure = make_mailbox(at.end, extension)
                      ? hand(host, extension, wire::kExtension, until, named)
                      : Reach::Failed;
        if (failure != Reach::Called) {
            unmap_mailbox(extension);
            return failure;
        }
        wire::Request extended{};
        extended.op = wire::kExtended;
        extended.args[0] = static_cast<std::int32_t>(named);
        std::memcpy(&box->mailbox.header->request, &extended, sizeof extended);
    }
    const Mailbox& data = extension.header != nullptr ? extension : box->mailbox;
    post(data, request, at, call);
    const std::uint32_t sequence = ++box->sent;
    data.header->sequence = sequence;
    const Handed handed = hand_request_over(box->mailbox);
    if (handed == Handed::No) {
        unmap_mailbox(extension);
        lose(host, box); // its host died since it was taken, or the library wrote the word
        return end_host(host, Clock::time_point::max());
    }
    const std::uint32_t back = await_reply(host, box->mailbox, handed, until);
    wire::Reply reply{};
    const bool sound = back == turn::kBridge && collect(data, request, sequence, at, call, reply);
    unmap_mailbox(extension);
    // Past the deadline, or after what no host of ours writes (a dead mark included: only this
    // side can tell its own from the library's), the host is ended as if it had crashed; every
    // call of a host ended for one deadline ends alike.
    if (!sound) {
        host.timed_out = host.timed_out || back == kTimedOut;
        kill_host(host.process);
        lose(host, box);
    }
    if (back == kTimedOut || (limited && host.timed_out)) {
        return Reach::Expired;
    }
    if (!sound) {
        return Reach::Lost;
    }
    status = reply.status;
    return reply.reach == wire::kMissing ? Reach::Missing : Reach::Called;
}

} // namespace

Host* start_host(const char* file_name, std::chrono::milliseconds deadline,
                 LoadError& why) noexcept {
    Host* host = new (std::nothrow) Host();
    if (host == nullptr) {
        fail(why, "no memory to start morlane-host32");
        return nullptr;
    }
    if (!spawn_host_process(file_name, host->process, why)) {
        delete host;
        return nullptr;
    }
    wire::LoadAnswer answer{};
    char reason[wire::kMostReasonBytes];
    const Channel& control = host->process.control;
    const Clock::time_point until = deadline_from(deadline);
    if (!warden.track(*host)) {
        fail(why, "no thread to watch morlane-host32");
    } else if (!read_all(control, &answer, sizeof answer, until)) {
        Clock::now() >= until ? fail(why, "morlane-host32 did not answer within %lld ms",
                                     static_cast<long long>(deadline.count()))
                              : fail(why, "morlane-host32 ended before it answered");
    } else if (answer.answer == wire::kLoaded) {
        host->code_page = answer.code_page;
        return host;
    } else if (answer.reason_bytes <= wire::kMostReasonBytes &&
               read_all(control, reason, answer.reason_bytes, until)) {
        fail(why, "morlane-host32 could not load it: %.*s", static_cast<int>(answer.reason_bytes),
             reason);
    } else {
        fail(why, "morlane-host32 could not load it");
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
    {
        // No call is inside it: every serving thread ends.
        std::lock_guard<std::mutex> lock(mutex);
        close_boxes([host](const Box& b) { return b.host == host; });
    }
    wire::ControlMessage quit{};
    quit.kind = wire::kQuit;
    if (write_all(host->process.control, &quit, sizeof quit, Clock::now() + kReleaseWait)) {
        wait_any(-1, &host->watch, host->watch != -1 ? 1 : 0, kReleaseWait);
    }
    close_channel(host->process.control);
    warden.end(*host);
    delete host;
}

} // namespace morlane::hosted
