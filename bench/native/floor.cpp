// Bench-only JNI library: the floor contender and the simulation switch.
//
// The floor does what the bridge does minus what the design asks of it per call: it looks every
// entry point up once (bind) and keeps the address, and it allocates nothing on the C heap (words
// and texts live on the stack; Java arrays are reached through critical sections, which copy
// nothing on HotSpot). The gap between the bridge and this library is therefore the price of the
// per-call lookup plus the bridge's own conversions and borrows.
//
// The floor is a yardstick, not a product: it keeps the same diagnostic lines on failure so that
// its branches match the bridge's, but it does not clear the word buffer before a read and caps
// blocks at kMaxWords.
#include "lathwork_bench_Floor.h"
#include "lathwork_bench_SimControl.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>

namespace {

using Word = std::uint16_t;
using OpenFn = int (*)(int, int, int, int, int);
using RegWriteFn = int (*)(int, int, int, const Word*, int);
using RegReadFn = int (*)(int, int, int, Word*, int);
using PokeFn = int (*)(const char*, const char*, const char*);
using RequestFn = int (*)(const char*, const char*, char*);

// Largest block the floor moves; the benchmark never asks for more.
constexpr int kMaxWords = 4096;
constexpr int kReplyBytes = 4096;
// Texts up to this many bytes (NUL included) are copied to the stack: as long as any reply.
constexpr int kTextBytes = 4096;

OpenFn open_fn = nullptr;
RegWriteFn reg_write_fn = nullptr;
RegReadFn reg_read_fn = nullptr;
PokeFn poke_fn = nullptr;
RequestFn request_fn = nullptr;

template <typename Fn> bool lookup(void* module, const char* name, Fn& fn) {
    fn = module != nullptr ? reinterpret_cast<Fn>(dlsym(module, name)) : nullptr;
    return fn != nullptr;
}

// The modified UTF-8 text of a Java string, copied into the caller's stack area without any
// allocation on either side. False for null strings and texts longer than the area.
bool utf_text(JNIEnv* env, jstring string, char (&area)[kTextBytes]) {
    if (string == nullptr) {
        return false;
    }
    const jsize bytes = env->GetStringUTFLength(string);
    if (bytes >= kTextBytes) {
        return false;
    }
    env->GetStringUTFRegion(string, 0, env->GetStringLength(string), area);
    area[bytes] = '\0';
    return true;
}

bool block_fits(JNIEnv* env, jintArray array, jint count) {
    return array != nullptr && count >= 0 && count <= kMaxWords &&
           count <= env->GetArrayLength(array);
}

// Both conversions run in fixed groups of 16, which the compiler turns into vector instructions at
// -O2 as well: the floor should convert as fast as C++ can.
constexpr jint kGroup = 16;

void widen(const Word* words, jint* ints, jint count) {
    jint i = 0;
    for (; count - i >= kGroup; i += kGroup) {
        for (jint k = 0; k < kGroup; ++k) {
            ints[i + k] = words[i + k];
        }
    }
    for (; i < count; ++i) {
        ints[i] = words[i];
    }
}

void narrow(const jint* ints, Word* words, jint count) {
    jint i = 0;
    for (; count - i >= kGroup; i += kGroup) {
        for (jint k = 0; k < kGroup; ++k) {
            words[i + k] = static_cast<Word>(ints[i + k]);
        }
    }
    for (; i < count; ++i) {
        words[i] = static_cast<Word>(ints[i]);
    }
}

// Widens `count` words into a Java int[] in place.
void deliver(JNIEnv* env, jintArray array, const Word* words, jint count) {
    auto* ints = static_cast<jint*>(env->GetPrimitiveArrayCritical(array, nullptr));
    if (ints == nullptr) {
        return;
    }
    widen(words, ints, count);
    env->ReleasePrimitiveArrayCritical(array, ints, 0);
}

void* simctl() {
    return dlopen("libsimctl.so", RTLD_NOW | RTLD_LOCAL);
}

} // namespace

JNIEXPORT jboolean JNICALL Java_lathwork_bench_Floor_bind0(JNIEnv*, jclass) {
    void* plc = dlopen("CVDLL1RZ1.dll", RTLD_NOW | RTLD_LOCAL);
    void* cv = dlopen("CVDAlib.dll", RTLD_NOW | RTLD_LOCAL);
    const bool ok = lookup(plc, "CVDLLRZ_Open", open_fn) &&
                    lookup(plc, "CVDLLRZ_RegWrite", reg_write_fn) &&
                    lookup(plc, "CVDLLRZ_RegRead", reg_read_fn) &&
                    lookup(cv, "CVDA_Poke", poke_fn) && lookup(cv, "CVDA_Request", request_fn);
    return ok ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL Java_lathwork_bench_Floor_open0(JNIEnv*, jclass, jint a, jint b, jint c,
                                                       jint d, jint e) {
    return open_fn(a, b, c, d, e);
}

JNIEXPORT void JNICALL Java_lathwork_bench_Floor_regWrite0__IIII(JNIEnv*, jclass, jint a, jint b,
                                                                 jint c, jint value) {
    const Word word = static_cast<Word>(value);
    if (reg_write_fn(a, b, c, &word, 1) != 0) {
        std::printf("%s", "in DLL: RegWrite Error\n");
    }
}

JNIEXPORT void JNICALL Java_lathwork_bench_Floor_regWrite0__III_3II(JNIEnv* env, jclass, jint a,
                                                                    jint b, jint c,
                                                                    jintArray values, jint count) {
    Word words[kMaxWords];
    if (!block_fits(env, values, count)) {
        std::printf("%s", "in DLL: RegWrite Error\n");
        return;
    }
    auto* ints = static_cast<jint*>(env->GetPrimitiveArrayCritical(values, nullptr));
    if (ints == nullptr) {
        return;
    }
    narrow(ints, words, count);
    env->ReleasePrimitiveArrayCritical(values, ints, JNI_ABORT);
    if (reg_write_fn(a, b, c, words, count) != 0) {
        std::printf("%s", "in DLL: RegWrite Error\n");
    }
}

JNIEXPORT void JNICALL Java_lathwork_bench_Floor_regRead0__III_3II(JNIEnv* env, jclass, jint a,
                                                                   jint b, jint c, jintArray values,
                                                                   jint count) {
    Word words[kMaxWords];
    if (!block_fits(env, values, count)) {
        std::printf("%s", "in DLL: RegRead Error\n");
        return;
    }
    const int status = reg_read_fn(a, b, c, words, count);
    deliver(env, values, words, count);
    if (status != 0) {
        std::printf("%s", "in DLL: RegRead Error\n");
    }
}

JNIEXPORT jintArray JNICALL Java_lathwork_bench_Floor_regRead0__IIII(JNIEnv* env, jclass, jint a,
                                                                     jint b, jint c, jint count) {
    jintArray result = env->NewIntArray(count);
    if (result == nullptr || count > kMaxWords) {
        return result;
    }
    Word words[kMaxWords];
    const int status = reg_read_fn(a, b, c, words, count);
    deliver(env, result, words, count);
    if (status != 0) {
        std::printf("%s", "in DLL: RegRead Error\n");
    }
    return result;
}

JNIEXPORT void JNICALL Java_lathwork_bench_Floor_cvPoke0(JNIEnv* env, jclass, jstring topic,
                                                         jstring item, jstring value) {
    char t1[kTextBytes];
    char t2[kTextBytes];
    char t3[kTextBytes];
    if (!utf_text(env, topic, t1) || !utf_text(env, item, t2) || !utf_text(env, value, t3)) {
        std::printf("%s", "in DLL: Write error\n");
        return;
    }
    const int status = poke_fn(t1, t2, t3);
    if (status == 0) {
        std::printf("%s", "in DLL: Corvane stopped\n");
    } else if (status != 1) {
        std::printf("%s", "in DLL: Write error\n");
    }
}

JNIEXPORT jstring JNICALL Java_lathwork_bench_Floor_cvRequest0(JNIEnv* env, jclass, jstring topic,
                                                               jstring item) {
    char t1[kTextBytes];
    char t2[kTextBytes];
    if (!utf_text(env, topic, t1) || !utf_text(env, item, t2)) {
        std::printf("%s", "in DLL: Read error\n");
        return env->NewStringUTF("-1");
    }
    char reply[kReplyBytes];
    const int status = request_fn(t1, t2, reply);
    if (status != 1) {
        std::printf("%s", status == 0 ? "in DLL: Corvane stopped\n" : "in DLL: Read error\n");
        return env->NewStringUTF("-1");
    }
    reply[kReplyBytes - 1] = '\0';
    return env->NewStringUTF(reply);
}

JNIEXPORT jboolean JNICALL Java_lathwork_bench_SimControl_quiet(JNIEnv*, jclass) {
    using SetRecordingFn = void (*)(int);
    SetRecordingFn set_recording = nullptr;
    if (!lookup(simctl(), "simctl_set_recording", set_recording)) {
        return JNI_FALSE;
    }
    set_recording(0);
    return JNI_TRUE;
}

JNIEXPORT jint JNICALL Java_lathwork_bench_SimControl_journalCount(JNIEnv*, jclass) {
    using CountFn = int (*)();
    CountFn count = nullptr;
    return lookup(simctl(), "simctl_journal_count", count) ? count() : -1;
}
