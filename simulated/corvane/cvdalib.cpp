#include "corvane/cvdalib.h"

#include "common/entries.h"
#include "common/journal_line.h"
#include "common/load_count.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

template <class Value> using TextMap = std::map<std::string, Value, std::less<>>;

std::mutex mutex;
bool stopped = false;
TextMap<TextMap<std::string>> table; // topic -> item -> value

const sim::LoadCount load_count("CVDAlib.dll");

bool isStateItem(const char* topic, const char* item) {
    return std::strcmp(topic, "sim") == 0 && std::strcmp(item, "state") == 0;
}

// A library that misbehaves as foreign code in a host process can: a request for item
// "fault:reply" or "fault:turn" of topic "sim", served by morlane's host, writes over the host's
// mailbox the texts lie in (its header lies 64 bytes before the first text): a reply of its own
// that a real one can never be (2 bytes with no NUL) handed back without a wake-up, or a cleared
// turn word. It then holds the call for 2 s, so the bridge, not the host, is the one to see it.
// Anywhere else (in process) the mailbox is not there to be found and the item is unknown.
[[maybe_unused]] bool misbehave(const char* topic, const char* item, char* reply) {
    if (topic == nullptr || item == nullptr || reply == nullptr || std::strcmp(topic, "sim") != 0)
        return false;
    const bool fake_reply = std::strcmp(item, "fault:reply") == 0;
    if (!fake_reply && std::strcmp(item, "fault:turn") != 0)
        return false;
    auto* header = reinterpret_cast<std::uint32_t*>(const_cast<char*>(topic) - 64);
    constexpr std::uint32_t kHostsTurn = 2, kBridgesTurn = 1, kCall = 1, kRequestEntry = 8;
    if ((header[0] & 0x7) != kHostsTurn || header[2] != kCall || header[3] != kRequestEntry)
        return false; // not a mailbox of morlane's host
    if (fake_reply) {
        reply[0] = 'o';
        reply[1] = 'k';
        const std::uint32_t called = 1, success = 1, two_bytes = 2;
        std::memcpy(&header[13], &called, 4); // the reply header, after the request's 44 bytes
        std::memcpy(&header[14], &success, 4);
        std::memcpy(&header[15], &two_bytes, 4);
    }
    __atomic_store_n(&header[0], fake_reply ? kBridgesTurn : 0u, __ATOMIC_RELEASE);
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
        // Which thread the library is called on, for the tests of a caller's thread identity.
        if (std::strcmp(topic, "sim") == 0 && std::strcmp(item, "thread") == 0) {
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
