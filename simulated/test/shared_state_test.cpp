// Two processes naming one MORLANE_SIMCTL_STATE file share simctl's state: what the parent scripts
// reaches the simulated PLC link library loaded in a child, the child's journal, load count and PLC
// state reach the parent, and a child that crashes stops counting as a load.
//
//   simctl_shared_test <child program> <child's simulated library directory> [<own directory>]
// The child program is this program, of either bitness (with the simulated libraries of that
// bitness; the parent loads its own from the third directory, by default the same); it is run as
//   <child program> child <directory> <phase>
#include "control/simctl.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failures;
    }
}

std::vector<std::string> journal() {
    std::vector<std::string> lines;
    for (int i = 0; i < simctl_journal_count(); ++i) {
        std::string line(static_cast<size_t>(simctl_journal_line(i, nullptr, 0)) + 1, '\0');
        simctl_journal_line(i, &line[0], static_cast<int>(line.size()));
        line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& line : lines)
        all += line + "\n";
    return all;
}

// Runs the child phase and returns its wait status.
int run_child(const char* program, const char* dir, const char* phase) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        execl(program, program, "child", dir, phase, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

using Open = int (*)(int, int, int, int, int);
using Link = int (*)(int);
using Mode = int (*)(int, int);
using Load = int (*)(int, int, const char*);
using Write = int (*)(int, int, int, const unsigned short*, int);
using Read = int (*)(int, int, int, unsigned short*, int);

template <class F> F entry(void* library, const char* name) {
    return reinterpret_cast<F>(dlsym(library, name));
}

// Reports through the journal, the one channel both processes share.
int child(const char* dir, const std::string& phase) {
    void* library = dlopen((std::string(dir) + "/CVDLL1RZ1.dll").c_str(), RTLD_NOW);
    if (library == nullptr)
        return 2;
    auto open = entry<Open>(library, "CVDLLRZ_Open");
    auto close = entry<Link>(library, "CVDLLRZ_Close");
    auto run = entry<Mode>(library, "CVDLLRZ_RunMode");
    auto download = entry<Load>(library, "CVDLLRZ_DownLoad");
    auto write = entry<Write>(library, "CVDLLRZ_RegWrite");
    auto read = entry<Read>(library, "CVDLLRZ_RegRead");
    unsigned short word = 7;
    if (phase == "first") {
        auto start = std::chrono::steady_clock::now();
        int opened = open(2, 5, 110, 0, 0);
        auto took = std::chrono::steady_clock::now() - start;
        read(2, 0, 10, &word, 1);
        const unsigned short words[] = {1, 2, 3};
        write(2, 0, 10, words, 3);
        int closed = close(2);
        open(2, 5, 110, 0, 0);
        std::string seen = "child: loaded " + std::to_string(simctl_loaded("CVDLL1RZ1.dll")) +
                           " open " + std::to_string(opened) + " slept " +
                           std::to_string(took >= std::chrono::milliseconds(200)) + " read " +
                           std::to_string(word) + " close " + std::to_string(closed);
        simctl_record(seen.c_str());
        run(2, 5); // scripted to crash
        return 3;
    }
    open(3, 0, 101, 0, 0);
    read(3, 1, 7, &word, 1);
    download(3, 0, "prog.mot");
    run(3, 0);
    std::string seen = "child: loaded " + std::to_string(simctl_loaded("CVDLL1RZ1.dll")) +
                       " read " + std::to_string(word);
    simctl_record(seen.c_str());
    dlclose(library);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "child")
        return child(argv[2], argv[3]);
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s <child program> <simulated library directory> [<own>]\n",
                     argv[0]);
        return 2;
    }
    char path[] = "/tmp/simctl-shared-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return 2;
    close(fd);
    setenv("MORLANE_SIMCTL_STATE", path, 1);

    // Set while no process has the library loaded: the child's load must reset it.
    check(simctl_plc_set_register(2, 0, 10, 999) == 0, "set a register");
    simctl_set_delay("CVDLLRZ_Open", 200);
    simctl_script_status("CVDLLRZ_Close", 77);
    simctl_script_crash("CVDLLRZ_RunMode");

    int status = run_child(argv[1], argv[2], "first");
    check(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV,
          "the first child crashes in RunMode, wait status " + std::to_string(status));
    std::vector<std::string> expected = {
        "CVDLLRZ_Open 2 5 110 0 0",
        "CVDLLRZ_RegRead 2 0 10 * 1",
        "CVDLLRZ_RegWrite 2 0 10 [1,2,3] 3",
        "CVDLLRZ_Close 2",
        "CVDLLRZ_Open 2 5 110 0 0",
        "child: loaded 1 open 0 slept 1 read 0 close 77",
        "CVDLLRZ_RunMode 2 5",
    };
    check(journal() == expected, "the first child's journal:\n" + joined(journal()));
    check(simctl_loaded("CVDLL1RZ1.dll") == 0, "a crashed process's load no longer counts");
    int open = -1, unit = -1, protocol = -1, running = -1;
    check(simctl_plc_link(2, &open, &unit, &protocol, &running) == 0 && open == 1 && unit == 5 &&
              protocol == 110 && running == 0,
          "link 2 as the first child left it");
    unsigned short words[3] = {};
    check(simctl_plc_registers(2, 0, 10, 3, words) == 0 && words[0] == 1 && words[1] == 2 &&
              words[2] == 3,
          "registers as the first child wrote them");
    check(simctl_plc_registers(2, 0, 8190, 3, words) != 0 &&
              simctl_plc_set_register(8, 0, 0, 1) != 0 &&
              simctl_plc_set_register(0, 1, 4095, 65536) != 0,
          "out of range is refused");

    // Loaded here as well, the second child's load is not the first and resets nothing.
    const char* own = argc == 4 ? argv[3] : argv[2];
    void* library = dlopen((std::string(own) + "/CVDLL1RZ1.dll").c_str(), RTLD_NOW);
    check(library != nullptr && simctl_loaded("CVDLL1RZ1.dll") == 1, "loaded by the parent");
    check(simctl_plc_registers(2, 0, 10, 3, words) == 0 && words[0] == 0 && words[2] == 0,
          "the first load after the crash finds the registers 0");
    simctl_plc_set_register(3, 1, 7, 4242);
    simctl_reset();
    status = run_child(argv[1], argv[2], "second");
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "the second child exits 0, wait status " + std::to_string(status));
    expected = {"CVDLLRZ_Open 3 0 101 0 0", "CVDLLRZ_RegRead 3 1 7 * 1",
                "CVDLLRZ_DownLoad 3 0 x70726f672e6d6f74", "CVDLLRZ_RunMode 3 0",
                "child: loaded 2 read 4242"};
    check(journal() == expected, "the second child's journal:\n" + joined(journal()));
    check(simctl_plc_link(3, nullptr, nullptr, nullptr, &running) == 0 && running == 1,
          "link 3 runs");
    char name[16] = {};
    check(simctl_plc_download(3, name, sizeof name) == 8 && std::string(name) == "prog.mot",
          "link 3's download");
    check(simctl_loaded("CVDLL1RZ1.dll") == 1, "the second child's load is given back");
    if (library != nullptr)
        dlclose(library);
    check(simctl_loaded("CVDLL1RZ1.dll") == 0, "the parent's load is given back");

    unlink(path);
    std::printf("%s\n", failures == 0 ? "passed" : "FAILED");
    return failures == 0 ? 0 : 1;
}
