// Formats and records one journal line in the format documented in control/simctl.h, then carries
// out a scripted crash or delay. Internal to the simulated libraries.
#ifndef MORLANE_SIM_JOURNAL_LINE_H
#define MORLANE_SIM_JOURNAL_LINE_H

#include "control/simctl.h"

#include <string>

namespace sim {

struct Text {
    const char* bytes;
};
struct Words { // a buffer the entry point reads
    const unsigned short* words;
    int count;
};
struct Out { // an area the entry point writes, which a replay fills as recorded
    void* area;
    int size;
};

inline void append(std::string& line, int value) {
    line += ' ' + std::to_string(value);
}

inline void append(std::string& line, Text text) {
    static const char digits[] = "0123456789abcdef";
    if (text.bytes == nullptr) {
        line += " null";
        return;
    }
    line += " x";
    for (auto p = reinterpret_cast<const unsigned char*>(text.bytes); *p != 0; ++p) {
        line += digits[*p >> 4];
        line += digits[*p & 15];
    }
}

inline void append(std::string& line, Words words) {
    if (words.count < 0 || words.count > 65536 || (words.words == nullptr && words.count > 0)) {
        line += " [?]";
        return;
    }
    line += " [";
    for (int i = 0; i < words.count; ++i)
        line += (i > 0 ? "," : "") + std::to_string(words.words[i]);
    line += ']';
}

inline void append(std::string& line, Out) {
    line += " *";
}

inline Out area(Out, Out out) {
    return out;
}
template <class Arg> Out area(Out found, Arg) {
    return found;
}

// The first thing every simulated entry point does: journal the call, have a replay look it up,
// then let simctl crash or delay it as scripted. Formatting is skipped entirely while recording
// and replay are off, so that benchmarks measure the calls. Callers hold no lock here, so a delay
// never blocks other calls.
template <class... Args> void enter(const char* entry, Args... args) {
    if (simctl_recording() != 0 || simctl_replaying() != 0) {
        std::string line(entry);
        (append(line, args), ...);
        simctl_record(line.c_str());
        Out out{nullptr, 0};
        ((out = area(out, args)), ...);
        simctl_replay(line.c_str(), out.area, out.size);
    }
    simctl_enter(entry);
}

} // namespace sim

#endif
