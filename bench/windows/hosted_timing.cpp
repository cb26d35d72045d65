// Hosted calls of the Windows x86-64 bridge, timed under Wine: regRead of 16 and 4096 words into
// a new array and regWrite of one word, made through morlane.dll's exports with the native
// suite's fake JVM while morlane-host32.exe serves the 32-bit simulated library. Wine's own costs
// are part of every figure, so they carry no target. The operations take turns batch by batch,
// as in the Linux benchmark; each batch gets a fresh fake JVM, which keeps every array it made.
//
//   hosted_timing SIMCTL64 [ROUNDS]   (SIMCTL64: the 64-bit simctl.dll, to stop the journal)
#include "bridge.h"
#include "fake_jni.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kWords = 4096;
constexpr double kBatchSeconds = 0.01;

double now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Op {
    const char* name;
    void (*call)(JNIEnv* env, long i);
    long batch = 10;
    std::vector<double> ns; // per call, one a measured round
};

const bridge::Exports* bridge_exports = nullptr;

void read16(JNIEnv* env, long) {
    bridge_exports->regReadNew(env, nullptr, 0, 0, 0, 16);
}
void read4096(JNIEnv* env, long) {
    bridge_exports->regReadNew(env, nullptr, 0, 0, 0, kWords);
}
void write1(JNIEnv* env, long i) {
    bridge_exports->regWriteValue(env, nullptr, 0, 0, 5000, static_cast<jint>(i));
}

// A batch of `op` in a fresh fake JVM: ns per call.
double run(Op& op) {
    fakejni::FakeJvm jvm;
    const double start = now();
    for (long i = 0; i < op.batch; ++i) {
        op.call(jvm.env(), i);
    }
    return (now() - start) * 1e9 / static_cast<double>(op.batch);
}

// Median [lower quartile, upper quartile].
void print(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) {
        const double i = (static_cast<double>(v.size()) - 1) * q;
        const auto lo = static_cast<std::size_t>(i);
        const std::size_t hi = std::min(lo + 1, v.size() - 1);
        return v[lo] + (v[hi] - v[lo]) * (i - static_cast<double>(lo));
    };
    std::printf("| %s | %.*f [%.*f, %.*f] |\n", what, v[0] < 20 ? 2 : 0, at(0.5), v[0] < 20 ? 2 : 0,
                at(0.25), v[0] < 20 ? 2 : 0, at(0.75));
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 40;
    const bridge::Exports& e = bridge::exports();
    if (!e.error.empty() || argc < 2) {
        std::fprintf(stderr, "hosted_timing: %s\n",
                     argc < 2 ? "usage: SIMCTL64 [ROUNDS]" : e.error.c_str());
        return 1;
    }
    bridge_exports = &e;
    // The host's simctl shares its state with this one through MORLANE_SIMCTL_STATE.
    HMODULE simctl = LoadLibraryA(argv[1]);
    auto set_recording = reinterpret_cast<void (*)(int)>(reinterpret_cast<void*>(
        simctl != nullptr ? GetProcAddress(simctl, "simctl_set_recording") : nullptr));
    if (set_recording == nullptr) {
        std::fprintf(stderr, "hosted_timing: no simctl_set_recording in %s\n", argv[1]);
        return 1;
    }
    set_recording(0);
    fakejni::FakeJvm setup;
    JNIEnv* env = setup.env();
    e.start(env, nullptr);
    e.open(env, nullptr, 0, 1, 110, 1000, 0);
    std::vector<jint> pattern(kWords);
    for (int i = 0; i < kWords; ++i) {
        pattern[i] = (i * 40503 + 0x8001) & 0xFFFF;
    }
    e.regWriteBlock(env, nullptr, 0, 0, 0, setup.int_array(pattern), kWords);
    if (e.linkMode(env, nullptr) != 2 ||
        setup.ints(e.regReadNew(env, nullptr, 0, 0, 0, kWords)) != pattern) {
        std::fprintf(stderr, "hosted_timing: the link library is not hosted, or reads differ\n");
        return 1;
    }
    Op ops[] = {{"regRead, 16 words, new array", read16, 10, {}},
                {"regRead, 4096 words, new array", read4096, 10, {}},
                {"regWrite, single word", write1, 10, {}}};
    constexpr int kOps = sizeof ops / sizeof ops[0];
    // Warm-up: each batch grows (at most tenfold) towards kBatchSeconds.
    for (int r = 0; r < 8; ++r) {
        for (Op& op : ops) {
            const double ns = run(op);
            op.batch =
                std::max(1L, std::min(op.batch * 10, static_cast<long>(kBatchSeconds * 1e9 / ns)));
        }
    }
    std::vector<double> ratio;
    for (int r = 0; r < rounds; ++r) {
        for (int k = 0; k < kOps; ++k) {
            Op& op = ops[(r + k) % kOps];
            op.ns.push_back(run(op));
        }
        ratio.push_back(ops[1].ns.back() / ops[0].ns.back());
    }
    std::printf("| Hosted call under Wine, %d rounds | wall ns per call |\n|---|---:|\n", rounds);
    for (const Op& op : ops) {
        print(op.name, op.ns);
    }
    print("regRead, 4096 ÷ 16 words", ratio);
    // One call every millisecond, each timed alone, as a polling program makes them: median and
    // 99th percentile of each round of 200.
    std::vector<double> p50;
    std::vector<double> p99;
    fakejni::FakeJvm lone;
    for (int r = 0; r < 10; ++r) {
        std::vector<double> took;
        for (int i = 0; i < 200; ++i) {
            Sleep(1);
            const double start = now();
            read16(lone.env(), i);
            took.push_back((now() - start) * 1e9);
        }
        std::sort(took.begin(), took.end());
        p50.push_back(took[99]);
        p99.push_back(took[197]);
    }
    print("regRead, 16 words, one call every 1 ms: median", p50);
    print("regRead, 16 words, one call every 1 ms: 99th percentile", p99);
    e.close(env, nullptr, 0);
    e.finish(env, nullptr);
    return 0;
}
