// What the field check relies on in the stand-ins: the release's two announce themselves in
// "<state file>.stand-ins" as they load and report on their own process; fault scripts set by a
// Corvane request reach the PLC link stand-in through the shared state; a lacking-* variant neither
// announces itself nor claims the release's identity.
//
//   simctl_self_report_test <simulated library directory>
#include "common/self_report.h"
#include "control/simctl.h"

#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failures;
    }
}

using Request = int (*)(const char*, const char*, char*);
using LinkCall = int (*)(int);

std::string request(Request call, const char* item) {
    char reply[4096] = {};
    const int status = call("sim", item, reply);
    return status == 1 ? std::string(reply) : "status " + std::to_string(status);
}

std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string real(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    std::string result = resolved != nullptr ? resolved : path;
    std::free(resolved);
    return result;
}

void* load(const std::string& path) {
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    check(library != nullptr, "cannot load " + path + ": " + (library ? "" : dlerror()));
    return library;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <simulated library directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    char state[] = "/tmp/morlane-self-report-XXXXXX";
    close(mkstemp(state));
    setenv("MORLANE_SIMCTL_STATE", state, 1);
    const std::string announced = std::string(state) + ".stand-ins";

    // A variant answers, but as what it is, and says nothing as it loads.
    void* variant = load(dir + "/lacking-odd/CVDAlib.dll");
    if (variant == nullptr)
        return 1;
    const std::string told =
        request(reinterpret_cast<Request>(dlsym(variant, "CVDA_Request")), "self");
    check(told.rfind("stand-in=morlane-stand-in-variant\n", 0) == 0, "a variant said: " + told);
    check(contents(announced).empty(), "a variant announced itself: " + contents(announced));
    dlclose(variant);

    void* corvane = load(dir + "/CVDAlib.dll");
    void* plc = load(dir + "/CVDLL1RZ1.dll");
    if (corvane == nullptr || plc == nullptr)
        return 1;
    const auto cv_request = reinterpret_cast<Request>(dlsym(corvane, "CVDA_Request"));
    const auto open =
        reinterpret_cast<int (*)(int, int, int, int, int)>(dlsym(plc, "CVDLLRZ_Open"));
    const auto close_link = reinterpret_cast<LinkCall>(dlsym(plc, "CVDLLRZ_Close"));

    const std::string pid = std::to_string(getpid()), companion = real(dir + "/libsimctl.so");
    for (const char* file : {"CVDAlib.dll", "CVDLL1RZ1.dll"}) {
        const std::string line = std::string(MORLANE_STAND_IN_IDENTITY) + "\t" + file + "\t" + pid +
                                 "\t" + real(dir + "/" + file) + "\t" + companion + "\n";
        check(contents(announced).find(line) != std::string::npos,
              "no line " + line + " in " + contents(announced));
    }
    std::promise<void> done;
    std::thread second([&] { done.get_future().wait(); });
    const std::string self = "\n" + request(cv_request, "self");
    done.set_value();
    second.join();
    for (const std::string& line :
         {std::string("stand-in=" MORLANE_STAND_IN_IDENTITY), std::string("file=CVDAlib.dll"),
          "pid=" + pid, "ppid=" + std::to_string(getppid()), std::string("threads=2"),
          "path=" + real(dir + "/CVDAlib.dll"), "companion=" + companion})
        check(self.find("\n" + line + "\n") != std::string::npos, "no " + line + " in" + self);

    // Scripts: a status replaces one call's, a delay holds every call until cleared, a crash ends
    // the process that makes the next call; anything else is no script.
    check(request(cv_request, "script:status:CVDLLRZ_Open:7") == "ok", "status script refused");
    check(open(0, 1, 110, 1000, 3) == 7, "the scripted status was not returned");
    check(open(1, 1, 110, 1000, 3) == 0, "the scripted status was returned twice");
    check(request(cv_request, "script:delay:CVDLLRZ_Close:300") == "ok", "delay script refused");
    const auto started = std::chrono::steady_clock::now();
    check(close_link(0) == 0, "a delayed close failed");
    check(std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(300),
          "the close was not delayed");
    check(request(cv_request, "script:delay:CVDLLRZ_Close:0") == "ok", "delay not cleared");
    check(request(cv_request, "script:crash:CVDLLRZ_Close") == "ok", "crash script refused");
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0)
        _exit(close_link(1));
    int status = 0;
    waitpid(child, &status, 0);
    check(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV, "the scripted call did not crash");
    check(close_link(1) == 0, "the crash script outlived its crash");
    check(request(cv_request, "script:recording:0") == "ok" && simctl_recording() == 0,
          "recording not turned off");
    check(request(cv_request, "script:recording:1") == "ok" && simctl_recording() != 0,
          "recording not turned on");
    for (const char* malformed : {"script:delay:CVDLLRZ_Open", "script:status:x:y", "script:z"})
        check(request(cv_request, malformed) != "ok", std::string(malformed) + " taken");

    unlink(state);
    unlink(announced.c_str());
    std::printf(failures == 0 ? "self report: all passed\n" : "self report: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
