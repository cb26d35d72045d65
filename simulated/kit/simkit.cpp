// JNI face of simctl for the desk kit's Java API (morlane.simulator.Simulator): loaded into the
// program's JVM from the folder that holds the stand-ins and simctl, so that in process it shares
// their simctl, and hosted their state file.
#include "control/simctl.h"

#include <jni.h>

#include <cstdlib>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// A Java text as simctl takes it: entry names and journal lines are ASCII.
std::string text(JNIEnv* env, jstring value) {
    std::string bytes;
    if (const char* chars = value != nullptr ? env->GetStringUTFChars(value, nullptr) : nullptr) {
        bytes = chars;
        env->ReleaseStringUTFChars(value, chars);
    }
    return bytes;
}

// A file name in the platform's own bytes, NUL-terminated by the caller; empty for null.
std::string bytes(JNIEnv* env, jbyteArray value) {
    const jsize length = value != nullptr ? env->GetArrayLength(value) : 0;
    std::string name(static_cast<std::size_t>(length), '\0');
    if (length > 0) {
        env->GetByteArrayRegion(value, 0, length, reinterpret_cast<jbyte*>(&name[0]));
    }
    return name.c_str(); // up to the NUL
}

// For this process and the host processes it starts from now on.
void set_variable(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
#else
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
#endif
}

} // namespace

extern "C" {

// The state file every process of this program shares, unless the environment named one; before
// simctl's first use in this process.
JNIEXPORT void JNICALL Java_morlane_simulator_Simulator_share0(JNIEnv* env, jclass,
                                                               jbyteArray state) {
    const char* named = std::getenv("MORLANE_SIMCTL_STATE");
    if (named == nullptr || *named == '\0') {
        set_variable("MORLANE_SIMCTL_STATE", bytes(env, state));
    }
    simctl_reset();
}

JNIEXPORT jint JNICALL Java_morlane_simulator_Simulator_replay0(JNIEnv* env, jclass,
                                                                jbyteArray journal) {
    const std::string path = bytes(env, journal);
    set_variable("MORLANE_REPLAY", path); // for the hosts started after this
    return simctl_start_replay(path.empty() ? nullptr : path.c_str());
}

JNIEXPORT jint JNICALL Java_morlane_simulator_Simulator_registers0(JNIEnv* env, jclass, jint link,
                                                                   jint area, jint first,
                                                                   jintArray out) {
    const jsize count = env->GetArrayLength(out);
    std::vector<unsigned short> words(static_cast<std::size_t>(count));
    if (count == 0 || simctl_plc_registers(link, area, first, count, words.data()) != 0) {
        return -1;
    }
    const std::vector<jint> values(words.begin(), words.end());
    env->SetIntArrayRegion(out, 0, count, values.data());
    return 0;
}

JNIEXPORT jint JNICALL Java_morlane_simulator_Simulator_setRegister0(JNIEnv*, jclass, jint link,
                                                                     jint area, jint address,
                                                                     jint value) {
    return simctl_plc_set_register(link, area, address, value);
}

JNIEXPORT jint JNICALL Java_morlane_simulator_Simulator_fault0(JNIEnv* env, jclass, jstring entry,
                                                               jint kind, jint value, jint calls) {
    return simctl_script_fault(text(env, entry).c_str(), kind, value, calls);
}

JNIEXPORT void JNICALL Java_morlane_simulator_Simulator_clearFaults0(JNIEnv* env, jclass,
                                                                     jstring entry) {
    simctl_clear_faults(text(env, entry).c_str());
}

JNIEXPORT void JNICALL Java_morlane_simulator_Simulator_reset0(JNIEnv*, jclass) {
    simctl_reset();
}

JNIEXPORT void JNICALL Java_morlane_simulator_Simulator_setRecording0(JNIEnv*, jclass,
                                                                      jboolean on) {
    simctl_set_recording(on ? 1 : 0);
}

JNIEXPORT jobjectArray JNICALL Java_morlane_simulator_Simulator_journal0(JNIEnv* env, jclass) {
    const int count = simctl_journal_count();
    jclass string_class = env->FindClass("java/lang/String");
    jobjectArray lines =
        string_class != nullptr ? env->NewObjectArray(count, string_class, nullptr) : nullptr;
    for (int i = 0; lines != nullptr && i < count; ++i) {
        std::string line(512, '\0');
        const int length = simctl_journal_line(i, &line[0], static_cast<int>(line.size()));
        if (length >= static_cast<int>(line.size())) {
            line.assign(static_cast<std::size_t>(length) + 1, '\0');
            simctl_journal_line(i, &line[0], static_cast<int>(line.size()));
        }
        jstring value = env->NewStringUTF(line.c_str());
        if (value == nullptr) {
            return nullptr;
        }
        env->SetObjectArrayElement(lines, i, value);
        env->DeleteLocalRef(value);
    }
    return lines;
}

} // extern "C"
