// The price of the bridge's per-call lookup on its own: the same dlsym the bridge makes for every
// call, on one thread and on two at once. Prints one Markdown paragraph for bench/run.sh.
//
//   morlane_bench_lookup    (the simulated libraries must be on LD_LIBRARY_PATH)
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr long kLookups = 2'000'000;

std::atomic<long> sink{0};

// Aggregate nanoseconds per lookup with `threads` threads looking up at once.
double lookups(void* module, int threads) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([module] {
            long sum = 0;
            for (long i = 0; i < kLookups; ++i) {
                sum += dlsym(module, "CVDLLRZ_RegRead") != nullptr ? 1 : 0;
            }
            sink += sum;
        });
    }
    for (std::thread& w : workers) {
        w.join();
    }
    const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
    return took.count() / static_cast<double>(kLookups * threads);
}

// Median of five runs, so that one slow phase of the machine does not decide.
double median_of_five(void* module, int threads) {
    double runs[5];
    for (double& r : runs) {
        r = lookups(module, threads);
    }
    std::sort(runs, runs + 5);
    return runs[2];
}

} // namespace

int main() {
    void* module = dlopen("CVDLL1RZ1.dll", RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr || dlsym(module, "CVDLLRZ_RegRead") == nullptr) {
        std::fprintf(stderr,
                     "morlane_bench_lookup: CVDLL1RZ1.dll or its CVDLLRZ_RegRead missing\n");
        return 1;
    }
    const double one = median_of_five(module, 1);
    const double two = median_of_five(module, 2);
    std::printf("The lookup alone (`dlsym(handle, \"CVDLLRZ_RegRead\")`, as the bridge makes it on "
                "every call; median of five runs of %ld lookups per thread): %.1f ns on one "
                "thread; with two threads looking up at once, %.1f ns per lookup in aggregate, "
                "i.e. %.2f× the throughput of one thread.\n",
                kLookups, one, two, one / two);
    return sink.load() == 0 ? 1 : 0;
}
