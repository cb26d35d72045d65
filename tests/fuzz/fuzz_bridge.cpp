// libFuzzer target: random sequences of the fifteen native methods, called through the fake JNI
// environment on the built bridge library against the simulated outside libraries, with JNI host
// functions made to fail as a JVM out of memory fails them, and statuses and replies of the
// outside libraries scripted.
//
// It knows nothing of what a call should return; it checks only what must hold whatever the input:
//   - AddressSanitizer and UndefinedBehaviorSanitizer stay silent;
//   - every borrow from the JVM is given back and no JNI rule is broken (the fake records both);
//   - standard output holds only whole lines of the bridge's diagnostic table, at most one per
//     call besides one "Exception Occurred" per exception cvRequest cleared;
//   - a call reaches the outside libraries at most once;
//   - register values that reach Java lie in 0..65535, array elements past `count` keep their
//     values, and regWrite leaves its array as it was;
//   - only cvRequest clears exceptions, and it leaves none pending;
//   - a result Java needs (regRead's array, cvRequest's reply) is there unless the host failed;
//   - at the end of the input, once every load is given back, both libraries are unloaded.
//
// An input is a list of steps: one byte picks a native method or a script, the next bytes make its
// arguments (fuzz_input.h); a missing byte reads as 0, which makes an ordinary argument.
// MORLANE_FUZZ_SEEDS=<dir> writes a seed corpus there instead of fuzzing: each native method once,
// with both libraries started, plainly and with a host function failing.
#include "bridge.h"
#include "control/simctl.h"
#include "entry/entries.h"
#include "fake_jni.h"
#include "frame/diagnostics.h"
#include "fuzz_input.h"
#include "stdout_capture.h"

#include <dlfcn.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using fakejni::FakeJvm;
using fakejni::Host;

// The natives in the order of bridge::Exports, then the scripts.
enum Op {
    kStart,
    kFinish,
    kCvStart,
    kCvFinish,
    kOpen,
    kClose,
    kRunMode,
    kStopMode,
    kDownLoad,
    kRegWriteValue,
    kRegWriteBlock,
    kRegReadInto,
    kRegReadNew,
    kCvPoke,
    kCvRequest,
    kNatives,
    kFailHost = kNatives,
    kScriptStatus,
    kScriptReply,
    kOps
};

// Host functions a JVM can fail: each then returns nothing and leaves OutOfMemoryError pending.
const Host kFallible[] = {Host::GetStringUTFChars, Host::NewStringUTF,      Host::NewString,
                          Host::NewIntArray,       Host::GetIntArrayRegion, Host::SetIntArrayRegion,
                          Host::FindClass,         Host::NewObjectArray};
constexpr int kFallibleCount = sizeof kFallible / sizeof kFallible[0];

// The fake makes every array it is asked for; a JVM with a usual heap has none this long.
constexpr long long kHostArrayLimit = 1 << 20;
constexpr int kMaxSteps = 64;

// The diagnostic table, from the product's own definition of it.
const std::vector<std::string>& table() {
    static const std::vector<std::string> lines = [] {
        std::vector<std::string> all;
        for (int i = 1; i < morlane::kDiagCount; ++i) {
            if (const char* text = morlane::diag_text(static_cast<morlane::Diag>(i))) {
                all.emplace_back(text);
            }
        }
        return all;
    }();
    return lines;
}

jint integer(Input& in) {
    const std::uint8_t how = in.byte();
    if (how < 0xE0) {
        return how % 8; // links, units, selectors and areas the simulated PLC knows
    }
    return how < 0xF0 ? static_cast<std::int8_t>(in.byte()) * 37 : in.i32();
}

// Null, a long text, or up to 253 bytes of the input (a 0 byte as C0 80, as a JVM gives U+0000).
jstring text(FakeJvm& jvm, Input& in) {
    const std::uint8_t how = in.byte();
    if (how == 0xFF) {
        return nullptr;
    }
    std::string bytes;
    const int length = how == 0xFE ? 256 * (1 + in.byte() % 40) : how;
    for (int i = 0; i < length; ++i) {
        const std::uint8_t b = how == 0xFE ? static_cast<std::uint8_t>('a' + i % 26) : in.byte();
        bytes += b == 0 ? std::string("\xC0\x80") : std::string(1, static_cast<char>(b));
    }
    return jvm.string(bytes);
}

std::vector<jint> values(Input& in, bool& null) {
    const std::uint8_t how = in.byte();
    const std::size_t sizes[] = {255, 256, 257, 4096, 8191, 8192, 8193, 20000};
    null = how == 0xFF;
    std::vector<jint> v(how < 0xF0 ? how % 32 : sizes[how % 8]);
    std::uint32_t seed = in.u32();
    for (jint& value : v) {
        seed = seed * 1103515245u + 12345u;
        value = static_cast<jint>(seed);
    }
    return v;
}

jint count(Input& in, long long length) {
    const std::uint8_t how = in.byte();
    const jint edges[] = {static_cast<jint>(length), static_cast<jint>(length + 1), -1, INT_MIN,
                          INT_MAX};
    return how < 0xF0 ? edges[how % 5] : static_cast<jint>(in.byte() % (length + 1));
}

class Session {
  public:
    Session() {
        jvm_.set_observer([this](Host host) {
            if (armed_ && host == armed_host_ && succeed_first_-- == 0) {
                armed_ = false;
                fired_ = true;
            }
        });
    }

    void run(Input& in) {
        for (int step = 0; step < kMaxSteps && in.more(); ++step) {
            step_ = step;
            const int op = in.byte() % kOps;
            if (op == kFailHost) {
                const Host host = kFallible[in.byte() % kFallibleCount];
                const int succeed_first = in.byte() % 4;
                if (!armed_) { // one at a time, so that it is known when it fails
                    arm(host, succeed_first);
                }
            } else if (op == kScriptStatus) {
                simctl_script_status(morlane::kShapes[in.byte() % morlane::kEntryCount].name,
                                     integer(in));
            } else if (op == kScriptReply) {
                script_reply(in);
            } else {
                call(static_cast<Op>(op), in);
            }
        }
    }

    // Gives back every load still held; both libraries must then be gone from the process.
    void end() {
        while (link_loads_ > 0) {
            call(kFinish, empty_);
        }
        while (corvane_loads_ > 0) {
            call(kCvFinish, empty_);
        }
        for (const char* file : {"CVDLL1RZ1.dll", "CVDAlib.dll"}) {
            if (void* still = dlopen(file, RTLD_NOW | RTLD_NOLOAD)) {
                dlclose(still);
                fault(std::string(file) + " is still loaded after the last finish");
            }
        }
    }

  private:
    void arm(Host host, int succeed_first) {
        jvm_.fail(host, succeed_first, "java/lang/OutOfMemoryError");
        armed_host_ = host, succeed_first_ = succeed_first, armed_ = true;
    }

    // The whole area without a NUL, 4095 bytes and a NUL, or up to 253 bytes of the input.
    void script_reply(Input& in) {
        const std::uint8_t how = in.byte();
        const std::size_t length = how == 0xFF ? 4096 : how == 0xFE ? 4095 : how;
        std::string bytes(length, 'r');
        for (std::size_t i = 0; how < 0xFE && i < length; ++i) {
            bytes[i] = static_cast<char>(in.byte());
        }
        simctl_script_reply(bytes.data(), static_cast<int>(length), how == 0xFF ? 0 : 1);
    }

    void call(Op op, Input& in) {
        const bridge::Exports& api = bridge::exports();
        JNIEnv* env = jvm_.env();
        fired_ = false;
        jvm_.forget_calls();
        jintArray array = nullptr; // the array a block method was given or returned
        std::vector<jint> given;   // its elements before the call
        bool null_array = false;
        jint asked = 0;          // the count handed to a block method
        jstring reply = nullptr; // what cvRequest returned
        // Arguments are made before the capture: the fake's objects are not the bridge's work.
        jint n[5] = {};
        if (op >= kOpen && op <= kRegReadNew) {
            for (jint& value : n) {
                value = integer(in);
            }
        }
        jstring t[3] = {};
        const int texts = op == kDownLoad ? 1 : op == kCvPoke ? 3 : op == kCvRequest ? 2 : 0;
        for (int i = 0; i < texts; ++i) {
            t[i] = text(jvm_, in);
        }
        if (op == kRegWriteBlock || op == kRegReadInto) {
            given = values(in, null_array);
            asked = count(in, static_cast<long long>(given.size()));
            array = null_array ? nullptr : jvm_.int_array(given);
        } else if (op == kRegReadNew) {
            asked = count(in, in.byte());
            if (asked > kHostArrayLimit) {
                if (armed_) {
                    return; // the fake would make it
                }
                arm(Host::NewIntArray, 0);
            }
        }
        const int journal_before = simctl_journal_count();

        capture::StdoutCapture capture;
        switch (op) {
        case kStart:
            api.start(env, nullptr), ++link_loads_;
            break;
        case kFinish:
            api.finish(env, nullptr), link_loads_ -= link_loads_ > 0;
            break;
        case kCvStart:
            api.cvStart(env, nullptr), ++corvane_loads_;
            break;
        case kCvFinish:
            api.cvFinish(env, nullptr), corvane_loads_ -= corvane_loads_ > 0;
            break;
        case kOpen:
            api.open(env, nullptr, n[0], n[1], n[2], n[3], n[4]);
            break;
        case kClose:
            api.close(env, nullptr, n[0]);
            break;
        case kRunMode:
            api.runMode(env, nullptr, n[0], n[1]);
            break;
        case kStopMode:
            api.stopMode(env, nullptr, n[0], n[1]);
            break;
        case kDownLoad:
            api.downLoad(env, nullptr, n[0], n[1], t[0]);
            break;
        case kRegWriteValue:
            api.regWriteValue(env, nullptr, n[0], n[1], n[2], n[3]);
            break;
        case kRegWriteBlock:
            api.regWriteBlock(env, nullptr, n[0], n[1], n[2], array, asked);
            break;
        case kRegReadInto:
            api.regReadInto(env, nullptr, n[0], n[1], n[2], array, asked);
            break;
        case kRegReadNew:
            array = api.regReadNew(env, nullptr, n[0], n[1], n[2], asked);
            break;
        case kCvPoke:
            api.cvPoke(env, nullptr, t[0], t[1], t[2]);
            break;
        default:
            reply = api.cvRequest(env, nullptr, t[0], t[1]);
            break;
        }
        out_ = capture.finish();
        check(op, simctl_journal_count() - journal_before, array, given, asked, reply);
        jvm_.clear_exception(); // as the Java caller would see it thrown
    }

    void check(Op op, int reached, jintArray array, const std::vector<jint>& given, jint asked,
               jstring reply) {
        if (jvm_.outstanding() != 0) {
            fault(std::to_string(jvm_.outstanding()) + " borrow(s) not given back");
        }
        if (!jvm_.violations().empty()) {
            fault("JNI rule broken: " + jvm_.violations().front());
        }
        if (reached > 1) {
            fault("reached the outside libraries " + std::to_string(reached) + " times");
        }

        const std::string exception = morlane::diag_text(morlane::Diag::ExceptionOccurred);
        int failures = 0;
        int exceptions = 0;
        for (std::size_t at = 0; at < out_.size();) {
            const std::size_t end = out_.find('\n', at);
            const std::string line = out_.substr(at, end == std::string::npos ? end : end - at + 1);
            if (std::find(table().begin(), table().end(), line) == table().end()) {
                fault("wrote what is no whole line of the diagnostic table");
            }
            (line == exception ? exceptions : failures) += 1;
            at += line.size();
        }
        if (failures > 1) {
            fault("wrote more than one line");
        }
        // cvRequest lets no exception escape and reports each it clears; a link or Corvane
        // method leaves the host's exception for its Java caller. (A start clears only what its
        // own look into the jar's loader left.)
        const int cleared = jvm_.count(Host::ExceptionClear);
        if (op == kCvRequest) {
            if (exceptions != cleared || jvm_.exception_pending()) {
                fault("cleared " + std::to_string(cleared) + " exception(s), reported " +
                      std::to_string(exceptions) + ", left pending \"" + jvm_.pending_exception() +
                      "\"");
            }
        } else if (exceptions > 0 || (cleared > 0 && op != kStart && op != kCvStart)) {
            fault("cleared or reported an exception the Java caller must see");
        }

        if (op == kCvRequest) {
            if (reply == nullptr && !fired_) {
                fault("returned no reply, though the host failed nothing");
            }
            if (reply != nullptr && failures > 0 && jvm_.text(reply) != "-1") {
                fault("a failed request returned something else than \"-1\"");
            }
        }
        if (op == kRegReadNew) {
            if (array == nullptr && asked >= 0 && !fired_) {
                fault("returned no array, though the host failed nothing");
            }
            if (array != nullptr &&
                static_cast<long long>(jvm_.ints(array).size()) != static_cast<long long>(asked)) {
                fault("returned an array of another length than asked");
            }
        }
        if (array == nullptr) {
            return;
        }
        const std::vector<jint> now = jvm_.ints(array);
        for (std::size_t i = 0; i < now.size(); ++i) {
            const bool may_change = op != kRegWriteBlock && static_cast<long long>(i) < asked;
            const bool word = now[i] >= 0 && now[i] <= 65535;
            if (op == kRegReadNew ? !word : !(now[i] == given[i] || (may_change && word))) {
                fault("element " + std::to_string(i) + " of " + std::to_string(now.size()) +
                      " (count " + std::to_string(asked) + ") is " + std::to_string(now[i]));
            }
        }
    }

    [[noreturn]] void fault(const std::string& what) const {
        std::fprintf(stderr, "\n*** step %d: %s\n*** output: \"%s\"\n", step_, what.c_str(),
                     out_.c_str());
        std::abort();
    }

    FakeJvm jvm_;
    Input empty_{nullptr, 0};
    int link_loads_ = 0;
    int corvane_loads_ = 0;
    bool armed_ = false;
    Host armed_host_ = Host::FindClass;
    int succeed_first_ = 0;
    bool fired_ = false; // an armed host function failed during the current call
    int step_ = 0;
    std::string out_;
};

// One seed per native method and one with a host function failing in it, after both starts.
void write_seeds(const char* dir) {
    for (int op = 0; op < kNatives; ++op) {
        for (int failing = 0; failing < 2; ++failing) {
            std::string seed = {kStart, kCvStart};
            if (failing != 0) {
                seed += {kFailHost, static_cast<char>(op % kFallibleCount), 0};
            }
            seed += static_cast<char>(op);
            seed += std::string(24, '\0');
            std::ofstream(std::string(dir) + "/native" + std::to_string(op) + "-" +
                          std::to_string(failing))
                << seed;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* dir = std::getenv("MORLANE_FUZZ_SEEDS")) {
        write_seeds(dir);
        std::exit(0);
    }
    const bridge::Exports& api = bridge::exports();
    if (!api.error.empty()) {
        std::fprintf(stderr, "bridge library: %s\n", api.error.c_str());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    simctl_reset();
    Input in(data, size);
    Session session;
    session.run(in);
    session.end();
    return 0;
}
