// Calls the bridge's exported functions the way the JVM would, through a JNI environment of
// plain stubs, so that callgrind can count the instructions of the bridge's own code per call
// (bench/callgrind.sh). Every JNI function the three operations are not expected to use aborts.
//
//   morlane_callgrind BRIDGE.so write|read16|request CALLS   (simulated libraries on the path)
#include <jni.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// What the stubs hand out; a handle is the address of one of these.
jint array[16];
const char* texts[] = {"bench", "r16", "speed=1250;ok=1!", nullptr};
char reply[4096];

jstring text(int k) {
    return reinterpret_cast<jstring>(&texts[k]);
}

void trap() {
    std::fputs("morlane_callgrind: the bridge called a JNI function the driver lacks\n", stderr);
    std::abort();
}

void* find(void* library, const char* name) {
    void* f = dlsym(library, name);
    if (f == nullptr) {
        std::fprintf(stderr, "morlane_callgrind: %s missing\n", name);
        std::exit(1);
    }
    return f;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: morlane_callgrind BRIDGE.so write|read16|request CALLS\n", stderr);
        return 2;
    }
    JNINativeInterface_ table;
    void** slot = reinterpret_cast<void**>(&table);
    for (std::size_t i = 0; i < sizeof table / sizeof(void*); ++i) {
        slot[i] = reinterpret_cast<void*>(&trap);
    }
    // JNICALL is empty on Linux, so plain lambdas fit the table.
    table.NewIntArray = [](JNIEnv*, jsize) { return reinterpret_cast<jintArray>(array); };
    table.SetIntArrayRegion = [](JNIEnv*, jintArray, jsize start, jsize n, const jint* from) {
        std::memcpy(array + start, from, n * sizeof(jint));
    };
    table.GetStringUTFChars = [](JNIEnv*, jstring s, jboolean*) {
        return *reinterpret_cast<const char**>(s);
    };
    table.ReleaseStringUTFChars = [](JNIEnv*, jstring, const char*) {};
    table.NewStringUTF = [](JNIEnv*, const char* utf) {
        std::strncpy(reply, utf, sizeof reply - 1);
        texts[3] = reply;
        return text(3);
    };
    table.ExceptionOccurred = [](JNIEnv*) { return jthrowable{}; };
    table.ExceptionCheck = [](JNIEnv*) { return jboolean{JNI_FALSE}; };
    JNIEnv env;
    env.functions = &table;

    void* bridge = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    void* simctl = dlopen("libsimctl.so", RTLD_NOW | RTLD_LOCAL);
    if (bridge == nullptr || simctl == nullptr) {
        std::fprintf(stderr, "morlane_callgrind: %s\n", dlerror());
        return 1;
    }
    reinterpret_cast<void (*)(int)>(find(simctl, "simctl_set_recording"))(0);
    reinterpret_cast<void (*)(JNIEnv*, jclass)>(find(bridge, "Java_lathwork_Brenmoor_start"))(
        &env, nullptr);
    reinterpret_cast<void (*)(JNIEnv*, jclass)>(find(bridge, "Java_lathwork_Brenmoor_cvStart"))(
        &env, nullptr);
    reinterpret_cast<void (*)(JNIEnv*, jclass, jint, jint, jint, jint, jint)>(
        find(bridge, "Java_lathwork_Brenmoor_open"))(&env, nullptr, 0, 1, 110, 1000, 0);
    reinterpret_cast<void (*)(JNIEnv*, jclass, jstring, jstring, jstring)>(
        find(bridge, "Java_lathwork_Brenmoor_cvPoke"))(&env, nullptr, text(0), text(1), text(2));
    const long calls = std::atol(argv[3]);
    const char* op = argv[2];
    long sum = 0;
    if (std::strcmp(op, "write") == 0) {
        auto write = reinterpret_cast<void (*)(JNIEnv*, jclass, jint, jint, jint, jint)>(
            find(bridge, "Java_lathwork_Brenmoor_regWrite__IIII"));
        for (long i = 0; i < calls; ++i) {
            write(&env, nullptr, 0, 0, 5000, static_cast<jint>(i));
            sum += 1;
        }
    } else if (std::strcmp(op, "read16") == 0) {
        auto read = reinterpret_cast<jintArray (*)(JNIEnv*, jclass, jint, jint, jint, jint)>(
            find(bridge, "Java_lathwork_Brenmoor_regRead__IIII"));
        for (long i = 0; i < calls; ++i) {
            sum += read(&env, nullptr, 0, 0, 0, 16) != nullptr ? array[15] + 1 : 0;
        }
    } else if (std::strcmp(op, "request") == 0) {
        auto request = reinterpret_cast<jstring (*)(JNIEnv*, jclass, jstring, jstring)>(
            find(bridge, "Java_lathwork_Brenmoor_cvRequest"));
        for (long i = 0; i < calls; ++i) {
            sum += request(&env, nullptr, text(0), text(1)) != nullptr ? reply[0] : 0;
        }
    }
    return sum > 0 ? 0 : 1;
}
