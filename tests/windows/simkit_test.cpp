// The desk kit's JNI library as a Windows JVM meets it: simctl.dll loaded first (this program
// imports it; the kit loads it before simkit.dll), then simkit.dll by its full path from a folder
// of its own, its natives looked up by their plain names and called through the fake JNIEnv. What
// it does must land in the simctl this process already has: a second copy would give the test a
// PLC the stand-ins never see.
#include "control/simctl.h"
#include "fake_jni.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what.c_str());
    failures += ok ? 0 : 1;
}

HMODULE kit = nullptr;

template <typename Native> Native native(const char* name) {
    const std::string full = std::string("Java_morlane_simulator_Simulator_") + name;
    FARPROC found = GetProcAddress(kit, full.c_str());
    check(found != nullptr, "GetProcAddress " + full);
    if (found == nullptr) {
        std::exit(1);
    }
    return reinterpret_cast<Native>(reinterpret_cast<void*>(found));
}

} // namespace

int main() {
    kit = LoadLibraryA(MORLANE_SIMKIT_PATH);
    if (kit == nullptr) {
        std::printf("FAILED: LoadLibrary %s: error %lu\n", MORLANE_SIMKIT_PATH, GetLastError());
        return 1;
    }
    const auto reset = native<void(JNICALL*)(JNIEnv*, jclass)>("reset0");
    const auto set_register =
        native<jint(JNICALL*)(JNIEnv*, jclass, jint, jint, jint, jint)>("setRegister0");
    const auto registers =
        native<jint(JNICALL*)(JNIEnv*, jclass, jint, jint, jint, jintArray)>("registers0");
    const auto fault = native<jint(JNICALL*)(JNIEnv*, jclass, jstring, jint, jint, jint)>("fault0");

    fakejni::FakeJvm jvm;
    JNIEnv* env = jvm.env();
    reset(env, nullptr);

    check(set_register(env, nullptr, 2, 0, 3, 17) == 0, "setRegister0 sets D3 of link 2");
    unsigned short word = 0;
    check(simctl_plc_registers(2, 0, 3, 1, &word) == 0 && word == 17,
          "the process's simctl sees D3 = 17");
    simctl_plc_set_register(2, 0, 4, 18);
    jintArray words = jvm.int_array({-1, -1, -1});
    check(registers(env, nullptr, 2, 0, 2, words) == 0 &&
              jvm.ints(words) == std::vector<jint>{0, 17, 18},
          "registers0 reads D2..D4 as 0, 17, 18");

    check(fault(env, nullptr, jvm.string("CVDLLRZ_Open"), SIMCTL_FAULT_STATUS, 4, 1) == 0,
          "fault0 scripts status 4 for the next CVDLLRZ_Open");
    check(simctl_take_status("CVDLLRZ_Open", 0) == 4, "the process's simctl holds the status");

    check(jvm.violations().empty() && jvm.outstanding() == 0 && !jvm.exception_pending(),
          "the JNIEnv was used within the rules, nothing left borrowed");
    for (const std::string& violation : jvm.violations()) {
        std::printf("  %s\n", violation.c_str());
    }
    std::printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
