// simwatch: shows the simulated PLC and the journal of calls that the simulated libraries
// received, live, from outside the program that drives them, and sets a register as a sensor
// would. It reads the state the simulated libraries share through the file named by
// MORLANE_SIMCTL_STATE; without that variable there is nothing to watch. The file outlives the
// programs that wrote it, so every view says whether one of them still runs.
#include "control/simctl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

struct Range {
    int link = 0;
    int area = 0;
    int from = 0;
    int count = 16;
};

struct Options {
    std::vector<Range> ranges;
    int interval_ms = 500;
    int journal_lines = 12;
    bool once = false;
};

void usage(FILE* out) {
    std::fputs(
        "usage: simwatch [--range LINK:AREA:FROM:COUNT]... [--journal N] [--interval MS] [--once]\n"
        "       simwatch set LINK AREA ADDRESS VALUE\n"
        "       simwatch summary JOURNAL...\n"
        "       simwatch delay|status|crash ENTRY [VALUE] [CALLS]   simwatch clear ENTRY\n"
        "\n"
        "Shows the simulated PLC (run/stop per link, register ranges) and the latest calls the\n"
        "simulated libraries received, refreshed every MS milliseconds (default 500) until\n"
        "interrupted; --once shows it once. The default range is 0:0:0:16, registers D0..D15 of\n"
        "link 0. 'set' writes one register of the simulated PLC, as a sensor would: VALUE is\n"
        "0..65535, AREA 0 holds D0..D8191, area 1 L0..L4095, on links 0..7.\n"
        "'summary' reads morlane journals (MORLANE_JOURNAL, FILE.1 before FILE): per entry point\n"
        "the calls, the failures by kind, and the quartiles of the durations of those called.\n"
        "'delay ENTRY MS', 'status ENTRY STATUS' and 'crash ENTRY' script a fault for the\n"
        "entry point (CVDLLRZ_Open ... CVDA_Request) for its next CALLS calls, or from now on\n"
        "when CALLS is 0 or not given (a crash: the next call when not given); a crash ends the\n"
        "process the simulated library runs in. 'clear' ends the entry point's faults.\n"
        "MORLANE_SIMCTL_STATE must name the state file of the program being watched; the view\n"
        "says when no running program uses that file, so that what it shows is left over.\n",
        out);
}

bool parse_int(const char* text, int& value) {
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 0);
    if (end == text || *end != '\0' || parsed < -2147483647L || parsed > 2147483647L) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

bool parse_range(const char* text, Range& range) {
    return std::sscanf(text, "%d:%d:%d:%d", &range.link, &range.area, &range.from, &range.count) ==
               4 &&
           range.count > 0 && range.count <= 256;
}

bool exists(const char* path) {
    struct stat info;
    return stat(path, &info) == 0;
}

// Whether a running program has the simulated libraries loaded with this state: the load counts
// in the state skip processes that are gone.
int live_loads() {
    return simctl_loaded("CVDLL1RZ1.dll") + simctl_loaded("CVDAlib.dll");
}

std::string state_line(const char* path) {
    if (live_loads() > 0) {
        return std::string("state file ") + path + ": in use by a running program\n";
    }
    return std::string("state file ") + path +
           "\nSTALE: no running program has the simulated libraries loaded with this file; what"
           " follows is what the last one left\n";
}

[[maybe_unused]] std::string area_name(int area) {
    return area == 0 ? "D" : area == 1 ? "L" : "area " + std::to_string(area) + " #";
}

#if defined(SIMWATCH_HAVE_PLC)
void show_links(std::string& frame) {
    std::string closed;
    for (int link = 0; link < 8; ++link) {
        int open = 0, unit = 0, protocol = 0, running = 0;
        if (simctl_plc_link(link, &open, &unit, &protocol, &running) != 0) {
            continue;
        }
        if (!open) {
            closed += " " + std::to_string(link);
            continue;
        }
        char program[260] = "";
        simctl_plc_download(link, program, sizeof program);
        char text[400];
        std::snprintf(text, sizeof text, "link %d  %-4s unit %d, protocol %d%s%s\n", link,
                      running ? "RUN" : "STOP", unit, protocol, program[0] ? ", program " : "",
                      program);
        frame += text;
    }
    if (!closed.empty()) {
        frame += "closed links:" + closed + "\n";
    }
}

void show_range(std::string& frame, const Range& range) {
    std::vector<unsigned short> words(static_cast<size_t>(range.count));
    char head[96];
    std::string name = area_name(range.area);
    std::snprintf(head, sizeof head, "link %d %s%d..%s%d:", range.link, name.c_str(), range.from,
                  name.c_str(), range.from + range.count - 1);
    frame += head;
    if (simctl_plc_registers(range.link, range.area, range.from, range.count, words.data()) != 0) {
        frame += " (outside the simulated PLC's registers)\n";
        return;
    }
    for (int i = 0; i < range.count; ++i) {
        char word[16];
        std::snprintf(word, sizeof word, "%s%6u", i % 16 == 0 && i > 0 ? "\n        " : "",
                      words[static_cast<size_t>(i)]);
        frame += word;
    }
    frame += "\n";
}
#endif

// A journal line with its texts shown as text: the journal writes each as "x" and the hex of its
// bytes; printable ones are given back quoted, the rest stay as they are.
std::string readable(const char* line) {
    std::string out;
    const char* token = line;
    while (*token != '\0') {
        const char* end = std::strchr(token, ' ');
        size_t length = end ? static_cast<size_t>(end - token) : std::strlen(token);
        std::string word(token, length);
        bool hex = word.size() > 1 && word[0] == 'x' && word.size() % 2 == 1 &&
                   word.find_first_not_of("0123456789abcdef", 1) == std::string::npos;
        std::string text;
        for (size_t i = 1; hex && i < word.size(); i += 2) {
            int byte = std::stoi(word.substr(i, 2), nullptr, 16);
            hex = byte >= 0x20 && byte != 0x7f && byte != '"';
            text += static_cast<char>(byte);
        }
        out += hex ? "\"" + text + "\"" : word;
        if (!end) {
            break;
        }
        out += ' ';
        token = end + 1;
    }
    return out;
}

void show_journal(std::string& frame, int lines) {
    int count = simctl_journal_count();
    int dropped = simctl_journal_dropped();
    char head[96];
    std::snprintf(head, sizeof head, "journal: %d calls%s", count + dropped,
                  dropped > 0 ? " (the latest not kept: journal full)" : "");
    frame += head;
    frame += lines > 0 && count > 0 ? ", the latest:\n" : "\n";
    int differed = 0; // by a replay
    for (int index = 0; index < count; ++index) {
        char start[3] = "";
        simctl_journal_line(index, start, sizeof start);
        differed += std::strcmp(start, "! ") == 0 ? 1 : 0;
    }
    if (differed > 0) {
        frame += "replay: " + std::to_string(differed) + " calls not as recorded (\"! replay\")\n";
    }
    std::vector<char> line(512);
    for (int index = count - lines < 0 ? 0 : count - lines; index < count; ++index) {
        if (simctl_journal_line(index, line.data(), static_cast<int>(line.size())) >= 0) {
            frame += "  ";
            frame += readable(line.data());
            frame += "\n";
        }
    }
}

std::string frame_of(const Options& options, const char* path) {
    std::string frame = state_line(path);
#if defined(SIMWATCH_HAVE_PLC)
    show_links(frame);
    for (const Range& range : options.ranges) {
        show_range(frame, range);
    }
#else
    frame += "(this simctl has no PLC view: journal only)\n";
#endif
    show_journal(frame, options.journal_lines);
    return frame;
}

int set_register(int argc, char** argv, const char* path) {
    int link, area, address, value;
    if (argc != 6 || !parse_int(argv[2], link) || !parse_int(argv[3], area) ||
        !parse_int(argv[4], address) || !parse_int(argv[5], value)) {
        usage(stderr);
        return 64;
    }
    if (value < 0 || value > 65535) {
        std::fprintf(stderr,
                     "simwatch: %s is not a register value: a register holds one word, "
                     "0..65535; nothing set\n",
                     argv[5]);
        return 64;
    }
#if defined(SIMWATCH_HAVE_PLC)
    if (simctl_plc_set_register(link, area, address, value) != 0) {
        std::fprintf(stderr,
                     "simwatch: the simulated PLC has no register %s%d on link %d (links 0..7; "
                     "area 0: D0..D8191, area 1: L0..L4095); nothing set\n",
                     area_name(area).c_str(), address, link);
        return 1;
    }
    std::printf("link %d %s%d := %d\n", link, area_name(area).c_str(), address, value);
    if (live_loads() == 0) {
        std::fprintf(stderr,
                     "simwatch: warning: no running program uses %s; the next program to load "
                     "the simulated PLC link library starts with all registers 0\n",
                     path);
    }
    return 0;
#else
    std::fputs("simwatch: this simctl cannot set registers\n", stderr);
    return 1;
#endif
}

// delay|status|crash|clear ENTRY [VALUE] [CALLS]
int fault(int argc, char** argv) {
    static const char* const kEntries[] = {
        "CVDLLRZ_Open",     "CVDLLRZ_Close",    "CVDLLRZ_RunMode",
        "CVDLLRZ_StopMode", "CVDLLRZ_DownLoad", "CVDLLRZ_RegWrite",
        "CVDLLRZ_RegRead",  "CVDA_Poke",        "CVDA_Request"};
    const std::string command = argv[1];
    const bool crash = command == "crash", clear = command == "clear";
    const int values = crash || clear ? 0 : 1;
    int value = 0, calls = crash ? 1 : 0;
    const bool known =
        argc >= 3 && std::find_if(std::begin(kEntries), std::end(kEntries), [&](const char* e) {
                         return std::strcmp(e, argv[2]) == 0;
                     }) != std::end(kEntries);
    if (argc >= 3 && !known) {
        std::fprintf(stderr,
                     "simwatch: no entry point %s (CVDLLRZ_Open, CVDLLRZ_Close, "
                     "CVDLLRZ_RunMode, CVDLLRZ_StopMode, CVDLLRZ_DownLoad, CVDLLRZ_RegWrite, "
                     "CVDLLRZ_RegRead, CVDA_Poke, CVDA_Request)\n",
                     argv[2]);
        return 64;
    }
    if (!known || argc < 3 + values || argc > 4 + values - (clear ? 1 : 0) ||
        (values == 1 && !parse_int(argv[3], value)) ||
        (argc == 4 + values && (!parse_int(argv[3 + values], calls) || calls < 0)) ||
        (command == "delay" && value <= 0)) {
        usage(stderr);
        return 64;
    }
    if (clear) {
        simctl_clear_faults(argv[2]);
        std::printf("%s: no faults\n", argv[2]);
        return 0;
    }
    const int kind = crash                ? SIMCTL_FAULT_CRASH
                     : command == "delay" ? SIMCTL_FAULT_DELAY
                                          : SIMCTL_FAULT_STATUS;
    if (simctl_script_fault(argv[2], kind, value, calls) != 0) {
        return 1;
    }
    const std::string what = crash ? "crash" : command + " " + std::to_string(value);
    const std::string when = calls == 1  ? "for the next call"
                             : calls > 1 ? "for the next " + std::to_string(calls) + " calls"
                                         : "from now on";
    std::printf("%s: %s %s\n", argv[2], what.c_str(), when.c_str());
    return 0;
}

// Quartiles by linear interpolation between the two nearest ranks: the median of an even count is
// the mean of the two middle durations.
double quartile(const std::vector<double>& sorted, size_t q) {
    const double rank = static_cast<double>(sorted.size() - 1) * static_cast<double>(q) / 4;
    const size_t below = static_cast<size_t>(rank);
    const size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (sorted[above] - sorted[below]) * (rank - static_cast<double>(below));
}

int summary(int argc, char** argv) {
    struct Calls {
        std::map<std::string, int> kinds; // NONE included
        std::vector<double> micros;       // of the calls that reached the library
    };
    std::map<std::string, Calls> entries;
    if (argc < 3) {
        usage(stderr);
        return 64;
    }
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        for (std::string line; in && std::getline(in, line);) {
            std::istringstream fields(line);
            const std::vector<std::string> t{std::istream_iterator<std::string>(fields), {}};
            if (t.size() >= 8 && std::find(t.begin(), t.end(), "->") != t.end()) {
                ++entries[t[3]].kinds[t[t.size() - 2]];
                if (t.back() != "-") {
                    entries[t[3]].micros.push_back(std::atof(t.back().c_str()) / 1000);
                }
            }
        }
        if (!in.eof()) {
            std::fprintf(stderr, "simwatch: cannot read the journal %s\n", argv[i]);
            return 1;
        }
    }
    std::printf("%-17s %6s %6s %9s %9s %9s %s\n", "entry point", "calls", "failed", "q1 us",
                "median us", "q3 us", "failures by kind");
    for (auto& [entry, calls] : entries) {
        int count = 0, failed = 0;
        std::string kinds, quartiles;
        for (const auto& [kind, n] : calls.kinds) {
            count += n;
            failed += kind != "NONE" ? n : 0;
            kinds += kind != "NONE" ? " " + kind + " " + std::to_string(n) : "";
        }
        std::sort(calls.micros.begin(), calls.micros.end());
        for (size_t q = 1; q <= 3; ++q) {
            char micros[32] = "         -";
            if (!calls.micros.empty()) {
                std::snprintf(micros, sizeof micros, " %9.1f", quartile(calls.micros, q));
            }
            quartiles += micros;
        }
        std::printf("%-17s %6d %6d%s%s\n", entry.c_str(), count, failed, quartiles.c_str(),
                    kinds.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Help is for someone who has no state file yet, nor knows it needs one.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        }
    }
    if (argc > 1 && std::strcmp(argv[1], "summary") == 0) {
        return summary(argc, argv);
    }
    const char* state = std::getenv("MORLANE_SIMCTL_STATE");
    if (state == nullptr || *state == '\0') {
        std::fputs("simwatch: MORLANE_SIMCTL_STATE is not set; set it to the state file of the "
                   "program to watch (the launch scripts choose the same default)\n",
                   stderr);
        return 64;
    }
    // Opening a state creates the file: a missing one would be made afresh and shown as empty.
    if (!exists(state)) {
        std::fprintf(stderr,
                     "simwatch: no state file %s yet: no program has used the simulated libraries "
                     "with MORLANE_SIMCTL_STATE set to it\n",
                     state);
        return 1;
    }
    if (argc > 1 && std::strcmp(argv[1], "set") == 0) {
        return set_register(argc, argv, state);
    }
    for (const char* command : {"delay", "status", "crash", "clear"}) {
        if (argc > 1 && std::strcmp(argv[1], command) == 0) {
            return fault(argc, argv);
        }
    }
    Options options;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        Range range;
        if (std::strcmp(arg, "--once") == 0) {
            options.once = true;
        } else if (std::strcmp(arg, "--range") == 0 && next && parse_range(next, range)) {
            options.ranges.push_back(range);
            ++i;
        } else if (std::strcmp(arg, "--journal") == 0 && next &&
                   parse_int(next, options.journal_lines) && options.journal_lines >= 0) {
            ++i;
        } else if (std::strcmp(arg, "--interval") == 0 && next &&
                   parse_int(next, options.interval_ms) && options.interval_ms > 0) {
            ++i;
        } else {
            usage(stderr);
            return 64;
        }
    }
    if (options.ranges.empty()) {
        options.ranges.push_back(Range{});
    }

    bool terminal = isatty(fileno(stdout)) != 0;
    std::string last;
    for (;;) {
        std::string frame = frame_of(options, state);
        if (options.once) {
            std::fputs(frame.c_str(), stdout);
            return 0;
        }
        // On a terminal the view is redrawn in place; into a pipe or file only changes go.
        if (terminal) {
            std::printf("\x1b[H\x1b[2Jsimwatch  (every %d ms, Ctrl-C ends)\n\n%s",
                        options.interval_ms, frame.c_str());
            std::fflush(stdout);
        } else if (frame != last) {
            std::printf("----\n%s", frame.c_str());
            std::fflush(stdout);
        }
        last = frame;
        std::this_thread::sleep_for(std::chrono::milliseconds(options.interval_ms));
    }
}
