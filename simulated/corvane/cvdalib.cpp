#include "corvane/cvdalib.h"

#include "common/entries.h"
#include "common/journal_line.h"
#include "common/load_count.h"
#include "common/self_report.h"
#include "host/mailbox.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

template <class Value> using TextMap = std::map<std::string, Value, std::less<>>;

std::mutex mutex;
bool stopped = false;
TextMap<TextMap<std::string>> table; // topic -> item -> value

const sim::LoadCount load_count("CVDAlib.dll");

bool isStateItem(const char* topic, const char* item) {
    return std::strcmp(topic, "sim") == 0 && std::strcmp(item, "state") == 0;
}

// A library that misbehaves as foreign code in a host process can, on a request for item
// "fault:<how>" of topic "sim" served by morlane's host:
// - "reply": a reply of its own that a real one can never be (2 bytes with no NUL), or "turn": a
//   cleared turn word; each then holds the call for 2 s, so the bridge, not the host, is the one
//   to see it;
// - "early": a reply a real one could be ("ok"), the real one ("late") following 300 ms later;
// each handed back without a wake-up, which the bridge's re-check of a sleeping call finds;
// - "fork": a child that lives on for 3 s holding all the host holds; the request is answered.
// It finds the mailbox in front of the first text. Anywhere else (in process) the mailbox is not
// there to be found and the item is unknown.
[[maybe_unused]] bool misbehave(const char* topic, const char* item, char* reply) {
    namespace hosted = morlane::hosted;
    if (topic == nullptr || item == nullptr || reply == nullptr || std::strcmp(topic, "sim") != 0 ||
        std::strncmp(item, "fault:", 6) != 0)
        return false;
    const std::string how = item + 6;
    auto* box =
        reinterpret_cast<hosted::MailboxHeader*>(const_cast<char*>(topic) - hosted::kDataOffset);
    const std::uint32_t turn = box->turn.load(std::memory_order_acquire) & ~hosted::turn::kSleeper;
    if (turn != hosted::turn::kHost || box->request.op != hosted::wire::kCall ||
        box->request.entry != static_cast<std::uint32_t>(morlane::Entry::Request))
        return false; // not a mailbox of morlane's host
#if !defined(_WIN32)
    if (how == "fork") {
        if (fork() == 0) {
            std::this_thread::sleep_for(std::chrono::seconds(3));
            _exit(0);
        }
        std::strcpy(reply, "forked");
        return true;
    }
#endif
    const bool early = how == "early";
    if (how == "reply" || early) {
        std::strcpy(reply, "ok");
        const hosted::wire::Reply fake{box->reply.sequence, hosted::wire::kCalled, 1,
                                       early ? 3u : 2u};
        std::memcpy(&box->reply, &fake, sizeof fake);
    } else if (how != "turn") {
        return false;
    }
    box->turn.store(how == "turn" ? 0u : hosted::turn::kBridge, std::memory_order_release);
    if (early) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::strcpy(reply, "late");
        return true;
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return true;
}

} // namespace

extern "C" {

#ifndef SIM_WITHOUT_CVDA_Poke
int WINAPI CVDA_Poke(const char* topic, const char* item, const char* value) {
    sim::enter("CVDA_Poke", sim::Text{topic}, sim::Text{item}, sim::Text{value});
    int status = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        bool valid = topic != nullptr && item != nullptr && value != nullptr;
        if (valid && isStateItem(topic, item)) {
            if (std::strcmp(value, "running") == 0)
                stopped = false;
            else if (stopped)
                return CVDA_STOPPED;
            else if (std::strcmp(value, "stopped") == 0)
                stopped = true;
            else
                return CVDA_E_ARGUMENT;
            return CVDA_OK;
        }
        if (stopped)
            return CVDA_STOPPED;
        if (!valid)
            return CVDA_E_ARGUMENT;
        size_t length = std::strlen(value);
        if (length > CVDA_VALUE_MAX)
            return CVDA_E_TOO_LONG;
        table[topic][item].assign(value, length);
        return CVDA_OK;
    }();
    return simctl_take_status("CVDA_Poke", status);
}
#endif

#ifndef SIM_WITHOUT_CVDA_Request
int WINAPI CVDA_Request(const char* topic, const char* item, char* reply) {
    sim::enter("CVDA_Request", sim::Text{topic}, sim::Text{item}, sim::Out{reply, CVDA_REPLY_SIZE});
    int status = [&] {
        if (sim::self_report(topic, item, reply))
            return CVDA_OK;
        if (simctl_take_reply(reply) || misbehave(topic, item, reply))
            return CVDA_OK;
        std::lock_guard<std::mutex> lock(mutex);
        if (stopped)
            return CVDA_STOPPED;
        if (topic == nullptr || item == nullptr || reply == nullptr)
            return CVDA_E_ARGUMENT;
        if (isStateItem(topic, item)) {
            std::strcpy(reply, "running");
            return CVDA_OK;
        }
        // Which thread the library is called on, for the tests of a caller's thread identity
        // ("thread:" and any padding: a call as large as a test needs).
        if (std::strcmp(topic, "sim") == 0 &&
            (std::strcmp(item, "thread") == 0 || std::strncmp(item, "thread:", 7) == 0)) {
            std::snprintf(reply, CVDA_VALUE_MAX, "%zx",
                          std::hash<std::thread::id>{}(std::this_thread::get_id()));
            return CVDA_OK;
        }
        auto items = table.find(topic);
        if (items == table.end())
            return CVDA_E_UNKNOWN;
        auto found = items->second.find(item);
        if (found == items->second.end())
            return CVDA_E_UNKNOWN;
        std::memcpy(reply, found->second.c_str(), found->second.size() + 1);
        return CVDA_OK;
    }();
    return simctl_take_status("CVDA_Request", status);
}
#endif

} // extern "C"
