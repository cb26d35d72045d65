// The replay of a morlane journal (simctl.h). Each process that replays reads the recording
// itself; where each entry point stands in it lives in the state, which they may share.
#include "simctl.h"

#include "control/state.h"
#include "corvane/cvdalib.h"
#include "plc/cvdll1rz1.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Recorded {
    std::string line; // the call as simctl journals it, without its output areas' "*"
    int status;
    std::string back; // a RegRead's words, two bytes each; a reply with its NUL
};
using Recording = std::map<std::string, std::vector<Recorded>>; // by entry point

// A text as the journal quotes it: every byte not written as itself is \xHH.
std::string unquote(const std::string& text) {
    std::string bytes;
    for (size_t i = 1; i + 1 < text.size(); i += text[i] == '\\' ? 4 : 1)
        bytes += text[i] == '\\'
                     ? static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16))
                     : text[i];
    return bytes;
}

// A journal line of a call that reached the library (docs/journal.md):
//   <time> <thread> <mode> <entry> <argument>... -> <status> [<back>] <kind> <duration>
bool parse(const std::string& text, std::string& entry, Recorded& call) {
    std::istringstream in(text);
    const std::vector<std::string> t{std::istream_iterator<std::string>(in), {}};
    const size_t arrow = static_cast<size_t>(std::find(t.begin(), t.end(), "->") - t.begin());
    if (arrow < 4 || arrow + 4 > t.size() || arrow + 5 < t.size() || t[arrow + 1] == "-")
        return false;
    entry = call.line = t[3];
    for (size_t i = 4; i < arrow; ++i) {
        std::string hex = " x";
        for (unsigned char byte : unquote(t[i]))
            hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
        call.line += t[i][0] == '"' ? hex : ' ' + t[i];
    }
    call.status = std::atoi(t[arrow + 1].c_str());
    const std::string back = arrow + 5 == t.size() ? t[arrow + 2] : "[]";
    call.back = back[0] == '"' ? unquote(back) + '\0' : "";
    std::istringstream words(back.substr(1));
    for (unsigned word; back[0] == '[' && words >> word; words.ignore(1))
        call.back += {static_cast<char>(word & 0xff), static_cast<char>(word >> 8)};
    return true;
}

// Read as simctl is loaded, before any simulated call, and kept for the life of the process.
const Recording* read(const char* path) {
    if (path == nullptr || *path == '\0')
        return nullptr;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "simctl: MORLANE_REPLAY %s cannot be read: no replay\n", path);
        return nullptr;
    }
    auto* recording = new Recording;
    std::string entry;
    Recorded call;
    for (std::string line; std::getline(in, line);)
        if (parse(line, entry, call))
            (*recording)[entry].push_back(call);
    return recording;
}
const Recording* const recording = read(std::getenv("MORLANE_REPLAY"));

// The answer to the call this thread is in, from simctl_replay to simctl_take_status.
struct Answer {
    bool pending;
    const Recorded* recorded; // nullptr: not the call recorded
    void* area;
    int size;
};
thread_local Answer answer;

} // namespace

bool simstate::replay_answer(const char* entry, int& status) {
    if (recording == nullptr || !answer.pending) // the thread's own storage only while replaying
        return false;
    answer.pending = false;
    status = answer.recorded != nullptr             ? answer.recorded->status
             : std::strncmp(entry, "CVDA_", 5) == 0 ? CVDA_E_REPLAY
                                                    : CVDLLRZ_E_REPLAY;
    if (answer.recorded != nullptr && answer.area != nullptr && answer.size > 0)
        std::memcpy(answer.area, answer.recorded->back.data(),
                    std::min(answer.recorded->back.size(), static_cast<size_t>(answer.size)));
    return true;
}

extern "C" {

int simctl_replaying(void) {
    return recording != nullptr ? 1 : 0;
}

void simctl_replay(const char* line, void* area, int area_size) {
    if (recording == nullptr || line == nullptr)
        return;
    std::string call = line; // no text holds " *": they are in hex
    for (size_t at; (at = call.find(" *")) != std::string::npos;)
        call.erase(at, 2);
    const std::string entry = call.substr(0, call.find(' '));
    const auto calls = recording->find(entry);
    const auto index = std::distance(recording->begin(), calls); // the same in every process
    size_t next = 0;
    if (calls != recording->end() && index < simstate::kEntries) {
        simstate::State& s = simstate::state();
        simstate::Guard guard(s.lock);
        next = static_cast<size_t>(s.replay_next[index]++);
    }
    const Recorded* recorded =
        calls != recording->end() && next < calls->second.size() ? &calls->second[next] : nullptr;
    answer = {true, recorded != nullptr && recorded->line == call ? recorded : nullptr, area,
              area_size};
    if (answer.recorded == nullptr)
        simctl_record(("! replay: call " + std::to_string(next + 1) + " of " + entry +
                       (recorded != nullptr ? " differs from the recording's: " + recorded->line
                                            : " is not in the recording"))
                          .c_str());
}

} // extern "C"
