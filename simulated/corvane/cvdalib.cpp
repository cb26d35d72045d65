#include "corvane/cvdalib.h"

#include "common/journal_line.h"
#include "common/load_count.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

template <class Value> using TextMap = std::map<std::string, Value, std::less<>>;

std::mutex mutex;
bool stopped = false;
TextMap<TextMap<std::string>> table; // topic -> item -> value

const sim::LoadCount load_count("CVDAlib.dll");

bool isStateItem(const char* topic, const char* item) {
    return std::strcmp(topic, "sim") == 0 && std::strcmp(item, "state") == 0;
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
    sim::enter("CVDA_Request", sim::Text{topic}, sim::Text{item}, sim::Out{});
    int status = [&] {
        if (simctl_take_reply(reply))
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
