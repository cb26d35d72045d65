#include "simctl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// The atomics let the simulated entry points skip the mutex on their hot path: when recording is
// off nothing is formatted, and when nothing is scripted no status lookup is made.
std::atomic<bool> recording{true};
std::atomic<int> scripted{0}; // statuses plus replies queued

std::mutex mutex;
std::vector<std::string> journal;
int dropped = 0;
std::map<std::string, std::deque<int>, std::less<>> statuses;
std::deque<std::string> replies; // stored with their NUL when terminated

std::atomic<int> armed{0}; // delays plus crashes set, so that simctl_enter is free otherwise
std::map<std::string, int, std::less<>> delays;
std::map<std::string, int, std::less<>> crashes;

[[noreturn]] void crash() {
    std::fflush(stdout);
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), 0xC0000005u);
#else
    // The default action, not whatever handler the process installed: the point is to die the way
    // a faulting library takes its process down.
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
#endif
    std::abort();
}

} // namespace

extern "C" {

void simctl_record(const char* line) {
    if (!recording.load(std::memory_order_relaxed) || line == nullptr)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    if (journal.size() < SIMCTL_JOURNAL_LIMIT)
        journal.emplace_back(line);
    else
        ++dropped;
}

int simctl_recording(void) {
    return recording.load(std::memory_order_relaxed) ? 1 : 0;
}

void simctl_set_recording(int on) {
    recording.store(on != 0);
}

int simctl_journal_count(void) {
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(journal.size());
}

int simctl_journal_dropped(void) {
    std::lock_guard<std::mutex> lock(mutex);
    return dropped;
}

int simctl_journal_line(int index, char* buf, int cap) {
    std::lock_guard<std::mutex> lock(mutex);
    if (index < 0 || static_cast<size_t>(index) >= journal.size())
        return -1;
    const std::string& line = journal[static_cast<size_t>(index)];
    if (buf != nullptr && cap > 0) {
        size_t n = std::min(line.size(), static_cast<size_t>(cap) - 1);
        std::memcpy(buf, line.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int>(line.size());
}

void simctl_script_status(const char* entry, int status) {
    if (entry == nullptr)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    statuses[entry].push_back(status);
    ++scripted;
}

int simctl_take_status(const char* entry, int own_status) {
    if (scripted.load() == 0 || entry == nullptr)
        return own_status;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = statuses.find(entry);
    if (it == statuses.end() || it->second.empty())
        return own_status;
    int status = it->second.front();
    it->second.pop_front();
    --scripted;
    return status;
}

void simctl_script_reply(const char* bytes, int len, int terminate) {
    int limit = terminate ? SIMCTL_REPLY_SIZE - 1 : SIMCTL_REPLY_SIZE;
    if (len < 0 || len > limit || (bytes == nullptr && len > 0)) {
        std::fprintf(stderr, "simctl_script_reply: length %d out of range 0..%d, ignored\n", len,
                     limit);
        return;
    }
    std::string reply(bytes == nullptr ? "" : bytes, static_cast<size_t>(len));
    if (terminate)
        reply.push_back('\0');
    std::lock_guard<std::mutex> lock(mutex);
    replies.push_back(std::move(reply));
    ++scripted;
}

int simctl_take_reply(char* area) {
    if (scripted.load() == 0 || area == nullptr)
        return 0;
    std::lock_guard<std::mutex> lock(mutex);
    if (replies.empty())
        return 0;
    std::memcpy(area, replies.front().data(), replies.front().size());
    replies.pop_front();
    --scripted;
    return 1;
}

void simctl_set_delay(const char* entry, int milliseconds) {
    if (entry == nullptr)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = delays.find(entry);
    if (milliseconds <= 0) {
        if (it != delays.end()) {
            delays.erase(it);
            --armed;
        }
    } else if (it != delays.end()) {
        it->second = milliseconds;
    } else {
        delays.emplace(entry, milliseconds);
        ++armed;
    }
}

void simctl_script_crash(const char* entry) {
    if (entry == nullptr)
        return;
    std::lock_guard<std::mutex> lock(mutex);
    if (crashes.emplace(entry, 1).second)
        ++armed;
}

void simctl_enter(const char* entry) {
    if (armed.load() == 0 || entry == nullptr)
        return;
    int delay = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = crashes.find(entry);
        if (it != crashes.end()) {
            crashes.erase(it);
            --armed;
            crash();
        }
        auto found = delays.find(entry);
        if (found != delays.end())
            delay = found->second;
    }
    if (delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
}

void simctl_reset(void) {
    std::lock_guard<std::mutex> lock(mutex);
    delays.clear();
    crashes.clear();
    armed = 0;
    journal.clear();
    dropped = 0;
    statuses.clear();
    replies.clear();
    scripted = 0;
    recording = true;
}

} // extern "C"
