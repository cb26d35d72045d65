// libFuzzer target: random sequences of the fifteen native methods, called through the fake JNI
// environment on the built bridge library, against the simulated outside libraries.
//
// An input is read front to back as a list of steps; each step is one opcode byte and the bytes
// of its arguments (see make_corpus.py for the encoding). Besides the fifteen methods a step can
// script the next status of an entry point, script the next reply of CVDA_Request, make a host
// function fail, or put a library that lacks one entry point in place of the full one. Running out
// of bytes ends the input; a missing byte reads as 0.
//
// After every call the harness checks what must hold whatever the input:
//   - every borrow from the JVM is back and no JNI rule was broken (the fake records both);
//   - standard output holds only whole lines of the diagnostic table, only lines the method may
//     write, and no more of them than it may write; where the outcome is known (empty slot,
//     refused input, a scripted status) exactly the line it calls for;
//   - refused input, an empty slot and a missing entry point reach nothing: the journal is
//     unchanged; an accepted call reaches its entry point exactly once, with exactly the
//     arguments the method must hand on (selector translation, low 16 bits, texts as bytes);
//   - register words and replies that reach Java are exactly what the library delivered (where
//     asking it again changes nothing, the harness asks it directly and compares), register
//     values always lie in 0..65535, and array elements the call may not touch keep their values;
//   - only cvRequest clears exceptions, and it always does; other methods leave a host
//     function's exception pending for the Java caller and raise none of their own.
// AddressSanitizer and UndefinedBehaviorSanitizer watch the rest. At the end of each input every
// load is given back and both outside libraries must really be unloaded.
#include "bridge.h"
#include "control/simctl.h"
#include "fake_jni.h"
#include "fuzz_input.h"
#include "journal.h"

#include <dlfcn.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

using fakejni::FakeJvm;
using fakejni::Host;

const char kDllNotFound[] = "in DLL: DLL not found.\n";
const char kFunctionNotFound[] = "in DLL: Function not found.\n";
const char kOpenError[] = "in DLL: Open Error\n";
const char kCloseError[] = "in DLL: Close Error\n";
const char kRunError[] = "in DLL: Run Error\n";
const char kStopError[] = "in DLL: Stop Error\n";
const char kDownloadError[] = "in DLL: Download Error\n";
const char kRegWriteError[] = "in DLL: RegWrite Error\n";
const char kRegReadError[] = "in DLL: RegRead Error\n";
const char kCorvaneStopped[] = "in DLL: Corvane stopped\n";
const char kWriteError[] = "in DLL: Write error\n";
const char kReadError[] = "in DLL: Read error\n";
const char kExceptionOccurred[] = "in DLL: Exception Occurred.\n";

const char* const kTable[] = {kDllNotFound,      kFunctionNotFound, kOpenError,     kCloseError,
                              kRunError,         kStopError,        kDownloadError, kRegWriteError,
                              kRegReadError,     kCorvaneStopped,   kWriteError,    kReadError,
                              kExceptionOccurred};

// A host that cannot give an array this long throws OutOfMemoryError, as a JVM with a small heap
// does; the fake would try to allocate it.
constexpr long long kHostArrayLimit = 1 << 20;
constexpr int kMaxSteps = 48;
constexpr std::size_t kReplyArea = 4096;

// ---- Reading the input (fuzz_input.h) -----------------------------------------------------

const jint kSpecial[] = {0,    1,    2,     3,     -1,     7,     8,     31,    32,      100,
                         101,  110,  111,   255,   256,    257,   4095,  4096,  8191,    8192,
                         8193, 8190, 32767, 32768, -32768, 65535, 65536, 70000, INT_MAX, INT_MIN};

jint integer(Input& in) {
    const std::uint8_t how = in.byte();
    switch (how % 4) {
    case 0: // links, units, areas and addresses the simulated PLC accepts
        return how / 4 % 8;
    case 1:
        return kSpecial[in.byte() % (sizeof kSpecial / sizeof kSpecial[0])];
    case 2:
        return static_cast<std::int8_t>(in.byte());
    default:
        return in.i32();
    }
}

// Modified UTF-8 as a JVM hands it out: never a 0 byte (U+0000 is C0 80), surrogates one by one.
const char* const kSnippets[] = {
    "prog.mot",
    "sim",
    "state",
    "stopped",
    "running",
    "-1",
    "\xC3\xA9t\xC3\xA9",        // "été"
    "\xE2\x82\xAC",             // euro sign
    "a\xC0\x80z",               // U+0000 inside
    "\xED\xA0\xB4\xED\xB4\x9E", // U+1D11E as a surrogate pair
    "topic",
    "item",
};
const int kLongTexts[] = {259, 260, 4095, 4096, 10000};

struct Text {
    bool null = true;
    std::string bytes;
};

Text text(Input& in) {
    Text t;
    const std::uint8_t how = in.byte();
    switch (how % 8) {
    case 0:
        return t;
    case 1:
        break;
    case 2:
        t.bytes = kSnippets[in.byte() % (sizeof kSnippets / sizeof kSnippets[0])];
        break;
    case 3: {
        const int length = kLongTexts[in.byte() % (sizeof kLongTexts / sizeof kLongTexts[0])];
        for (int i = 0; i < length; ++i) {
            t.bytes += static_cast<char>('a' + i % 26);
        }
        break;
    }
    default: {
        const int length = in.byte();
        for (int i = 0; i < length; ++i) {
            const std::uint8_t b = in.byte();
            if (b == 0) {
                t.bytes += "\xC0\x80";
            } else {
                t.bytes += static_cast<char>(b);
            }
        }
        break;
    }
    }
    t.null = false;
    return t;
}

struct Array {
    bool null = true;
    std::vector<jint> values;
};

Array array(Input& in) {
    Array a;
    const std::uint8_t how = in.byte();
    std::size_t length = 0;
    switch (how % 8) {
    case 0:
        return a;
    case 1:
        break;
    case 2:
        length = 1 + in.byte() % 16;
        break;
    case 3: // around the bridge's on-stack limit
        length = 255 + in.byte() % 3;
        break;
    case 4: // around the simulated PLC's data registers
        length = 8191 + in.byte() % 3;
        break;
    default:
        length = in.byte();
        break;
    }
    a.null = false;
    a.values.resize(length);
    const std::uint8_t fill = in.byte();
    std::uint32_t seed = in.byte();
    for (std::size_t i = 0; i < length; ++i) {
        switch (fill % 4) {
        case 0:
            a.values[i] =
                i < 16 ? in.i32()
                       : static_cast<jint>(static_cast<std::uint32_t>(a.values[i % 16]) * 31u + i);
            break;
        case 1:
            a.values[i] = kSpecial[i % (sizeof kSpecial / sizeof kSpecial[0])];
            break;
        case 2:
            a.values[i] = static_cast<jint>(i);
            break;
        default:
            seed = seed * 1103515245u + 12345u;
            a.values[i] = static_cast<jint>(seed);
            break;
        }
    }
    return a;
}

jint count(Input& in, long long length) {
    const std::uint8_t how = in.byte();
    switch (how % 8) {
    case 0:
        return static_cast<jint>(length);
    case 1:
        return static_cast<jint>(in.byte() % (length + 1));
    case 2:
        return 0;
    case 3: // one too many
        return static_cast<jint>(length + 1);
    case 4:
        return in.byte() % 2 == 0 ? -1 - in.byte() % 4 : INT_MIN;
    case 5:
        return INT_MAX;
    case 6:
        return in.i32();
    default:
        return in.byte();
    }
}

// ---- Capturing the bridge's output ------------------------------------------------------------

// The bridge prints to the C library's stdout. It is pointed at a memory stream once, so that a
// call's lines can be read back without a pipe per call.
class Output {
  public:
    Output() {
        stream_ = open_memstream(&buffer_, &size_);
        if (stream_ == nullptr) {
            std::perror("open_memstream");
            std::abort();
        }
        std::fflush(stdout);
        stdout = stream_;
    }
    void begin() {
        std::fflush(stream_);
        std::fseek(stream_, 0, SEEK_SET);
    }
    std::string end() {
        std::fflush(stream_);
        const long written = std::ftell(stream_);
        return std::string(buffer_, static_cast<std::size_t>(written));
    }

  private:
    FILE* stream_ = nullptr;
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
};

// ---- Helpers ----------------------------------------------------------------------------------

using simjournal::hex;

std::vector<std::string> split_lines(const std::string& out, bool& whole) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < out.size()) {
        const std::size_t end = out.find('\n', start);
        if (end == std::string::npos) {
            whole = false;
            lines.push_back(out.substr(start));
            break;
        }
        lines.push_back(out.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

bool in_table(const std::string& line) {
    for (const char* known : kTable) {
        if (line == known) {
            return true;
        }
    }
    return false;
}

enum Method {
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
    kScriptStatus,
    kScriptReply,
    kFailHost,
    kUseVariant,
    kOpCount
};

const char* const kMethodNames[] = {
    "start",           "finish",        "cvStart",      "cvFinish", "open",
    "close",           "runMode",       "stopMode",     "downLoad", "regWrite(value)",
    "regWrite(block)", "regRead(into)", "regRead(new)", "cvPoke",   "cvRequest"};

const char* const kEntries[] = {"CVDLLRZ_Open",     "CVDLLRZ_Close",    "CVDLLRZ_RunMode",
                                "CVDLLRZ_StopMode", "CVDLLRZ_DownLoad", "CVDLLRZ_RegWrite",
                                "CVDLLRZ_RegRead",  "CVDA_Poke",        "CVDA_Request"};

const Host kFailingHosts[] = {Host::GetStringUTFChars, Host::GetIntArrayRegion, Host::NewIntArray,
                              Host::NewStringUTF, Host::SetIntArrayRegion};

// What Java must see for a reply, worked out independently of the bridge: the bytes themselves
// when a JVM reads them whole as modified UTF-8; else strict UTF-8 decoded; else one character per
// byte. Given back as modified UTF-8, the form in which the fake JVM keeps every string.
std::string expected_reply(const std::string& bytes) {
    auto cont = [&](std::size_t i) {
        return i < bytes.size() && (static_cast<unsigned char>(bytes[i]) & 0xC0) == 0x80;
    };
    bool modified = true;
    for (std::size_t i = 0; modified && i < bytes.size();) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : 0;
        modified = n > 0 && (n < 2 || cont(i + 1)) && (n < 3 || cont(i + 2));
        i += n;
    }
    if (modified) {
        return bytes;
    }
    std::vector<unsigned> codes;
    bool strict = true;
    for (std::size_t i = 0; strict && i < bytes.size();) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = b < 0x80                 ? 1
                              : b >= 0xC2 && b <= 0xDF ? 2
                              : (b & 0xF0) == 0xE0     ? 3
                              : b >= 0xF0 && b <= 0xF4 ? 4
                                                       : 0;
        unsigned code = n == 1 ? b : n == 2 ? b & 0x1Fu : n == 3 ? b & 0x0Fu : b & 0x07u;
        for (std::size_t k = 1; strict && k < n; ++k) {
            strict = cont(i + k);
            code = (code << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3Fu);
        }
        strict = strict && n > 0 &&
                 !(n == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) &&
                 !(n == 4 && (code < 0x10000 || code > 0x10FFFF));
        codes.push_back(code);
        i += n > 0 ? n : 1;
    }
    if (!strict) {
        codes.assign(bytes.begin(), bytes.end());
        for (unsigned& code : codes) {
            code &= 0xFF;
        }
    }
    std::string out;
    auto unit = [&](unsigned u) {
        if (u != 0 && u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    };
    for (unsigned code : codes) {
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
    }
    return out;
}

jint open_code(jint selector) {
    switch (selector) {
    case 0:
        return 110;
    case 1:
        return 111;
    case 2:
        return 101;
    default:
        return selector;
    }
}

// ---- One input --------------------------------------------------------------------------------

// What one call is expected to do, filled in by the step before the checks run.
struct Expect {
    const char* entry = nullptr;   // the outside entry point the method calls
    bool corvane = false;          // needs the Corvane slot
    const char* failure = nullptr; // the method's own failure line
    bool refused = false;          // input the bridge must not hand on
    std::string journal;           // the journal line of an accepted call
};

class Session {
  public:
    explicit Session(Output& output) : output_(output) {
        jvm_.set_observer([this](Host host) { observe(host); });
    }

    void run(Input& in) {
        for (int step = 0; step < kMaxSteps && in.more(); ++step) {
            step_ = step;
            const int op = in.byte() % kOpCount;
            switch (op) {
            case kScriptStatus:
                script_status(in);
                break;
            case kScriptReply:
                script_reply(in);
                break;
            case kFailHost:
                fail_host(in);
                break;
            case kUseVariant:
                use_variant(in);
                break;
            default:
                call(static_cast<Method>(op), in);
                break;
            }
        }
    }

    // Gives back every load still held; both libraries must then be gone from the process.
    void end() {
        while (link_loads_ > 0) {
            plain(kFinish);
        }
        while (cv_loads_ > 0) {
            plain(kCvFinish);
        }
        for (Variant* v : {&link_variant_, &cv_variant_}) {
            if (v->handle != nullptr) {
                dlclose(v->handle);
                *v = Variant();
            }
        }
        for (const char* file : {"CVDLL1RZ1.dll", "CVDAlib.dll"}) {
            if (void* still = dlopen(file, RTLD_NOW | RTLD_NOLOAD)) {
                dlclose(still);
                fault(std::string(file) + " is still loaded after the last finish");
            }
        }
    }

  private:
    struct Plan {
        bool armed = false;
        int succeed_first = 0;
        bool exception = false;
    };
    struct Fired {
        Host host;
        bool exception;
    };
    struct Variant {
        void* handle = nullptr;
        const char* missing = nullptr; // the entry point it lacks
    };

    // Mirrors the fake's failure plans (same decisions, taken just before the fake takes them),
    // so the harness knows which host calls failed during a bridge call.
    void observe(Host host) {
        Plan& plan = plans_[host];
        if (!plan.armed) {
            return;
        }
        if (plan.succeed_first > 0) {
            --plan.succeed_first;
            return;
        }
        plan.armed = false;
        fired_.push_back({host, plan.exception});
    }

    void arm(Host host, int succeed_first, bool exception) {
        jvm_.fail(host, succeed_first, exception ? "java/lang/OutOfMemoryError" : "");
        plans_[host] = Plan{true, succeed_first, exception};
    }

    bool fired(Host host) const {
        for (const Fired& f : fired_) {
            if (f.host == host) {
                return true;
            }
        }
        return false;
    }
    int fired_exceptions() const {
        int n = 0;
        for (const Fired& f : fired_) {
            n += f.exception ? 1 : 0;
        }
        return n;
    }

    void script_status(Input& in) {
        const char* entry = kEntries[in.byte() % (sizeof kEntries / sizeof kEntries[0])];
        const std::uint8_t how = in.byte();
        const jint choices[] = {0, 1, -1, 2, 3, 9, INT_MIN};
        const jint status = how % 8 < 7 ? choices[how % 8] : in.i32();
        simctl_script_status(entry, status);
        statuses_[entry].push_back(status);
    }

    void script_reply(Input& in) {
        const std::uint8_t how = in.byte();
        const std::uint8_t size = in.byte();
        const std::uint8_t seed = in.byte();
        std::size_t length = 0;
        bool terminate = true;
        switch (how % 4) {
        case 0:
            length = 0;
            break;
        case 1:
            length = size;
            break;
        case 2:
            length = kReplyArea - 1 - size % 2; // 4094 or 4095 bytes and the NUL
            break;
        default:
            length = kReplyArea; // the whole area, no NUL
            terminate = false;
            break;
        }
        std::string bytes(length, '\0');
        for (std::size_t i = 0; i < length; ++i) {
            const auto b = static_cast<std::uint8_t>(seed + i * 7);
            bytes[i] = static_cast<char>(b == 0 ? 0x80 : b);
        }
        // Now and then a NUL inside: the reply ends there.
        if (how / 4 % 4 == 1 && length > 0) {
            bytes[size % length] = '\0';
        }
        simctl_script_reply(bytes.data(), static_cast<int>(length), terminate ? 1 : 0);
        if (terminate) {
            bytes.push_back('\0');
        }
        replies_.push_back(bytes);
    }

    void fail_host(Input& in) {
        const Host host =
            kFailingHosts[in.byte() % (sizeof kFailingHosts / sizeof kFailingHosts[0])];
        const int succeed_first = in.byte() % 4;
        // The region functions fail only by throwing; the others may also just return nothing.
        const bool exception = in.byte() % 2 == 1 || host == Host::GetIntArrayRegion ||
                               host == Host::SetIntArrayRegion;
        arm(host, succeed_first, exception);
    }

    // Puts a library that lacks one entry point in place of the full one, while the bridge holds
    // no load of it: loaded here by its path and held to the end of the input, it is what the
    // bridge's load by bare file name finds (the file name is its soname).
    void use_variant(Input& in) {
        const char* entry = kEntries[in.byte() % (sizeof kEntries / sizeof kEntries[0])];
        const bool corvane = std::strncmp(entry, "CVDA_", 5) == 0;
        Variant& v = corvane ? cv_variant_ : link_variant_;
        if (v.handle != nullptr || (corvane ? cv_loads_ : link_loads_) > 0) {
            return;
        }
        const std::string path = std::string(MORLANE_SIM_DIR) + "/without-" + entry + "/" +
                                 (corvane ? "CVDAlib.dll" : "CVDLL1RZ1.dll");
        v.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (v.handle == nullptr) {
            fault("cannot load " + path);
        }
        v.missing = entry;
    }

    jstring make(const Text& t) { return t.null ? nullptr : jvm_.string(t.bytes); }
    jintArray make(const Array& a) { return a.null ? nullptr : jvm_.int_array(a.values); }

    // start, finish, cvStart, cvFinish: never a line, never a host call.
    void plain(Method m) {
        const bridge::Exports& api = bridge::exports();
        jvm_.forget_calls();
        const int journal_before = simctl_journal_count();
        output_.begin();
        switch (m) {
        case kStart:
            api.start(jvm_.env(), nullptr);
            ++link_loads_;
            break;
        case kFinish:
            api.finish(jvm_.env(), nullptr);
            link_loads_ = link_loads_ > 0 ? link_loads_ - 1 : 0;
            break;
        case kCvStart:
            api.cvStart(jvm_.env(), nullptr);
            ++cv_loads_;
            break;
        default:
            api.cvFinish(jvm_.env(), nullptr);
            cv_loads_ = cv_loads_ > 0 ? cv_loads_ - 1 : 0;
            break;
        }
        const std::string out = output_.end();
        method_ = kMethodNames[m];
        out_ = out;
        trace(journal_before, simctl_journal_count());
        if (!out.empty()) {
            fault("wrote \"" + out + "\"");
        }
        if (simctl_journal_count() != journal_before) {
            fault("reached an outside entry point");
        }
        if (!jvm_.calls().empty()) {
            fault("called the host");
        }
    }

    void call(Method m, Input& in) {
        if (m <= kCvFinish) {
            plain(m);
            return;
        }
        const bridge::Exports& api = bridge::exports();
        JNIEnv* env = jvm_.env();
        Expect e;
        jintArray target = nullptr; // the array an int[] method was given or returned
        std::vector<jint> given;    // its contents before the call
        jint asked = 0;             // the count handed to a block method
        jstring reply = nullptr;    // what cvRequest returned
        bool new_array_failed = false;
        bool negative_new = false;
        jint ra = 0, rb = 0, rc = 0; // a read's arguments, for asking the library again
        std::string q1, q2;          // a request's texts, likewise

        fired_.clear();
        direct_words_.clear();
        jvm_.forget_calls();
        const int journal_before = simctl_journal_count();
        method_ = kMethodNames[m];

        switch (m) {
        case kOpen: {
            const jint a = integer(in), b = integer(in), s = integer(in), d = integer(in),
                       f = integer(in);
            e.entry = "CVDLLRZ_Open";
            e.failure = kOpenError;
            e.journal = "CVDLLRZ_Open " + std::to_string(a) + " " + std::to_string(b) + " " +
                        std::to_string(open_code(s)) + " " + std::to_string(d) + " " +
                        std::to_string(f);
            output_.begin();
            api.open(env, nullptr, a, b, s, d, f);
            break;
        }
        case kClose: {
            const jint a = integer(in);
            e.entry = "CVDLLRZ_Close";
            e.failure = kCloseError;
            e.journal = "CVDLLRZ_Close " + std::to_string(a);
            output_.begin();
            api.close(env, nullptr, a);
            break;
        }
        case kRunMode:
        case kStopMode: {
            const jint a = integer(in), b = integer(in);
            const bool run = m == kRunMode;
            e.entry = run ? "CVDLLRZ_RunMode" : "CVDLLRZ_StopMode";
            e.failure = run ? kRunError : kStopError;
            e.journal = std::string(run ? "CVDLLRZ_RunMode " : "CVDLLRZ_StopMode ") +
                        std::to_string(a) + " " + std::to_string(b);
            output_.begin();
            (run ? api.runMode : api.stopMode)(env, nullptr, a, b);
            break;
        }
        case kDownLoad: {
            const jint a = integer(in), b = integer(in);
            const Text name = text(in);
            e.entry = "CVDLLRZ_DownLoad";
            e.failure = kDownloadError;
            e.refused = name.null;
            e.journal = "CVDLLRZ_DownLoad " + std::to_string(a) + " " + std::to_string(b) + " " +
                        hex(name.bytes);
            jstring s = make(name);
            output_.begin();
            api.downLoad(env, nullptr, a, b, s);
            e.refused = e.refused || fired(Host::GetStringUTFChars);
            break;
        }
        case kRegWriteValue: {
            const jint a = integer(in), b = integer(in), c = integer(in), v = integer(in);
            e.entry = "CVDLLRZ_RegWrite";
            e.failure = kRegWriteError;
            e.journal = "CVDLLRZ_RegWrite " + std::to_string(a) + " " + std::to_string(b) + " " +
                        std::to_string(c) + " [" +
                        std::to_string(static_cast<std::uint32_t>(v) & 0xFFFF) + "] 1";
            output_.begin();
            api.regWriteValue(env, nullptr, a, b, c, v);
            break;
        }
        case kRegWriteBlock:
        case kRegReadInto: {
            const jint a = integer(in), b = integer(in), c = integer(in);
            const Array values = array(in);
            asked = count(in, static_cast<long long>(values.values.size()));
            const bool write = m == kRegWriteBlock;
            e.entry = write ? "CVDLLRZ_RegWrite" : "CVDLLRZ_RegRead";
            e.failure = write ? kRegWriteError : kRegReadError;
            e.refused =
                values.null || asked < 0 || static_cast<std::size_t>(asked) > values.values.size();
            e.journal = std::string(write ? "CVDLLRZ_RegWrite " : "CVDLLRZ_RegRead ") +
                        std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c) + " ";
            if (write) {
                e.journal += "[";
                for (jint i = 0; !e.refused && i < asked; ++i) {
                    e.journal +=
                        (i > 0 ? "," : "") +
                        std::to_string(static_cast<std::uint32_t>(values.values[i]) & 0xFFFF);
                }
                e.journal += "]";
            } else {
                e.journal += "*";
            }
            e.journal += " " + std::to_string(asked);
            target = make(values);
            given = values.values;
            ra = a, rb = b, rc = c;
            output_.begin();
            (write ? api.regWriteBlock : api.regReadInto)(env, nullptr, a, b, c, target, asked);
            e.refused = e.refused || (write && fired(Host::GetIntArrayRegion));
            break;
        }
        case kRegReadNew: {
            const jint a = integer(in), b = integer(in), c = integer(in);
            asked = count(in, in.byte());
            if (asked > kHostArrayLimit) {
                arm(Host::NewIntArray, 0, true);
            }
            e.entry = "CVDLLRZ_RegRead";
            e.failure = kRegReadError;
            e.journal = "CVDLLRZ_RegRead " + std::to_string(a) + " " + std::to_string(b) + " " +
                        std::to_string(c) + " * " + std::to_string(asked);
            ra = a, rb = b, rc = c;
            output_.begin();
            target = api.regReadNew(env, nullptr, a, b, c, asked);
            negative_new = asked < 0 && !fired(Host::NewIntArray);
            new_array_failed = asked < 0 || fired(Host::NewIntArray);
            break;
        }
        case kCvPoke: {
            const Text t1 = text(in), t2 = text(in), t3 = text(in);
            e.entry = "CVDA_Poke";
            e.corvane = true;
            e.failure = kWriteError;
            e.refused = t1.null || t2.null || t3.null;
            e.journal = "CVDA_Poke " + hex(t1.bytes) + " " + hex(t2.bytes) + " " + hex(t3.bytes);
            jstring s1 = make(t1), s2 = make(t2), s3 = make(t3);
            output_.begin();
            api.cvPoke(env, nullptr, s1, s2, s3);
            e.refused = e.refused || fired(Host::GetStringUTFChars);
            break;
        }
        default: { // kCvRequest
            const Text t1 = text(in), t2 = text(in);
            e.entry = "CVDA_Request";
            e.corvane = true;
            e.failure = kReadError;
            e.refused = t1.null || t2.null;
            e.journal = "CVDA_Request " + hex(t1.bytes) + " " + hex(t2.bytes) + " *";
            jstring s1 = make(t1), s2 = make(t2);
            q1 = t1.bytes, q2 = t2.bytes;
            output_.begin();
            reply = api.cvRequest(env, nullptr, s1, s2);
            e.refused = e.refused || fired(Host::GetStringUTFChars);
            break;
        }
        }
        const std::string out = output_.end();
        const int journal_after = simctl_journal_count();
        out_ = out;
        if (reply != nullptr) {
            result_ = hex(jvm_.text(reply)).substr(0, 121);
        } else if (m == kRegReadNew && target != nullptr) {
            result_ = std::to_string(jvm_.ints(target).size()) + " words";
        }
        trace(journal_before, journal_after);
        result_.clear();

        // Borrows and JNI rules.
        if (jvm_.outstanding() != 0) {
            fault(std::to_string(jvm_.outstanding()) + " borrow(s) not given back");
        }
        if (!jvm_.violations().empty()) {
            fault("JNI rule broken: " + jvm_.violations().front());
        }

        // Only whole lines of the table, and only this method's.
        bool whole = true;
        const std::vector<std::string> lines = split_lines(out, whole);
        if (!whole) {
            fault("a line without its newline");
        }
        for (const std::string& line : lines) {
            if (!in_table(line)) {
                fault("a line outside the diagnostic table");
            }
        }

        const bool loaded = (e.corvane ? cv_loads_ : link_loads_) > 0;
        const Variant& variant = e.corvane ? cv_variant_ : link_variant_;
        const bool missing =
            variant.handle != nullptr && std::strcmp(variant.missing, e.entry) == 0;
        const int reached = journal_after - journal_before;
        if (reached < 0 || reached > 1) {
            fault("reached the outside library " + std::to_string(reached) + " times");
        }

        // The lines this call must write, where the outcome is known; `open` lists the lines a
        // status of the outside library may add (one of them at most).
        std::vector<std::string> must;
        std::vector<const char*> open;
        bool expect_reach = false;
        if (m == kRegReadNew && new_array_failed) {
            // No array, nothing else: the JVM's exception (if any) tells the caller.
        } else if (!loaded) {
            must.push_back(kDllNotFound);
        } else if (missing) {
            must.push_back(kFunctionNotFound);
        } else if (e.refused) {
            must.push_back(e.failure);
        } else {
            expect_reach = true;
        }
        if (expect_reach) {
            if (reached != 1) {
                fault("an accepted call did not reach its entry point");
            } else {
                const std::string line = simjournal::line(journal_before);
                if (line != e.journal) {
                    fault("handed on \"" + line + "\", expected \"" + e.journal + "\"");
                }
            }
            std::deque<jint>& queued = statuses_[e.entry];
            const bool scripted = !queued.empty();
            const jint status = scripted ? queued.front() : 0;
            if (scripted) {
                queued.pop_front();
            }
            bool got_reply = false;
            std::string scripted_reply;
            if (m == kCvRequest && !replies_.empty()) {
                got_reply = true;
                scripted_reply = replies_.front();
                replies_.pop_front();
            }
            // Where asking the library again changes nothing, the harness asks it directly: the
            // bridge must deliver what the library delivers and write what its status calls for.
            bool asked_again = false;
            int again_status = 0;
            if (!scripted && !got_reply) {
                if (m == kRegReadInto || m == kRegReadNew) {
                    asked_again = read_directly(ra, rb, rc, asked, again_status, direct_words_);
                } else if (m == kCvRequest) {
                    asked_again = request_directly(q1, q2, again_status, scripted_reply);
                    got_reply = asked_again && again_status == 1;
                    if (got_reply && scripted_reply.size() < kReplyArea) {
                        scripted_reply.push_back('\0');
                    }
                }
            }
            if (!e.corvane) {
                if (scripted || asked_again) {
                    if ((scripted ? status : again_status) != 0) {
                        must.push_back(e.failure);
                    }
                } else {
                    open.push_back(e.failure);
                }
            } else {
                // A scripted reply makes the request succeed unless a status says otherwise.
                const bool known = scripted || got_reply || asked_again;
                const jint effective = scripted ? status : asked_again ? again_status : 1;
                if (!known) {
                    open.push_back(kCorvaneStopped);
                    open.push_back(e.failure);
                } else if (effective == 0) {
                    must.push_back(kCorvaneStopped);
                } else if (effective != 1) {
                    must.push_back(e.failure);
                } else if (m == kCvRequest && got_reply) {
                    const std::size_t nul = scripted_reply.find('\0');
                    if (nul == std::string::npos) {
                        // The whole area and no NUL: a read error, never a read past it.
                        must.push_back(e.failure);
                    } else if (!fired(Host::NewStringUTF) &&
                               (reply == nullptr ||
                                jvm_.text(reply) !=
                                    expected_reply(scripted_reply.substr(0, nul)))) {
                        fault("the reply did not reach Java as the library wrote it");
                    }
                } else if (m == kCvRequest) {
                    // Status 1 scripted, no reply scripted: the library may not have written the
                    // area at all, so only the line is known (none, or a read error when no NUL
                    // happens to lie in it).
                    open.push_back(e.failure);
                }
            }
        } else if (reached != 0) {
            fault("refused input or an empty slot reached the outside library: " +
                  simjournal::line(journal_before));
        }

        // cvRequest reports every exception it clears, after its other line.
        int exception_lines = 0;
        if (m == kCvRequest) {
            exception_lines = fired_exceptions();
        }
        std::vector<std::string> primary;
        int seen_exceptions = 0;
        for (const std::string& line : lines) {
            if (line == kExceptionOccurred) {
                ++seen_exceptions;
            } else {
                if (seen_exceptions > 0) {
                    fault("a line after \"Exception Occurred\"");
                }
                primary.push_back(line);
            }
        }
        if (seen_exceptions != exception_lines) {
            fault("wrote " + std::to_string(seen_exceptions) + " exception line(s), expected " +
                  std::to_string(exception_lines));
        }
        if (!open.empty() && must.empty()) {
            if (primary.size() > 1) {
                fault("more than one failure line");
            }
            for (const std::string& line : primary) {
                bool allowed = false;
                for (const char* o : open) {
                    allowed = allowed || line == o;
                }
                if (!allowed) {
                    fault("a line this method may not write here");
                }
            }
        } else if (primary != must) {
            std::string want;
            for (const std::string& line : must) {
                want += line;
            }
            fault("expected the lines \"" + want + "\"");
        }

        // Exceptions: only cvRequest clears them; the others leave the host's for the caller.
        const bool pending = jvm_.exception_pending();
        const bool expect_pending = m != kCvRequest && (fired_exceptions() > 0 || negative_new);
        if (pending != expect_pending) {
            fault(pending ? "left an exception pending (" + jvm_.pending_exception() + ")"
                          : "cleared or lost an exception the caller must see");
        }
        jvm_.clear_exception();

        // Results.
        const bool failed_line = !primary.empty();
        switch (m) {
        case kRegWriteBlock:
            if (target != nullptr && jvm_.ints(target) != given) {
                fault("regWrite changed the Java array");
            }
            break;
        case kRegReadInto: {
            if (target == nullptr) {
                break;
            }
            const std::vector<jint> now = jvm_.ints(target);
            const bool delivered = expect_reach && !fired(Host::SetIntArrayRegion);
            for (std::size_t i = 0; i < now.size(); ++i) {
                const bool written = delivered && static_cast<long long>(i) < asked;
                if (written ? !word_right(now[i], i) : now[i] != given[i]) {
                    fault("element " + std::to_string(i) + " is " + std::to_string(now[i]));
                }
            }
            break;
        }
        case kRegReadNew: {
            if (new_array_failed) {
                if (target != nullptr) {
                    fault("returned an array although the host could not make one");
                }
                break;
            }
            if (target == nullptr) {
                fault("returned null");
                break;
            }
            const std::vector<jint> now = jvm_.ints(target);
            if (static_cast<long long>(now.size()) != asked) {
                fault("returned an array of " + std::to_string(now.size()) + " elements");
            }
            const bool delivered = expect_reach && !fired(Host::SetIntArrayRegion);
            for (std::size_t i = 0; i < now.size(); ++i) {
                if (delivered ? !word_right(now[i], i) : now[i] != 0) {
                    fault("element " + std::to_string(i) + " is " + std::to_string(now[i]));
                }
            }
            break;
        }
        case kCvRequest: {
            if (fired(Host::NewStringUTF)) {
                if (reply != nullptr) {
                    fault("returned a string the host could not make");
                }
            } else if (reply == nullptr) {
                fault("returned null");
            } else {
                const std::string result = jvm_.text(reply);
                if (failed_line && result != "-1") {
                    fault("a failed request returned something else than \"-1\"");
                }
                // At most 4095 bytes, each becoming at most two bytes of modified UTF-8 (a byte
                // taken as a character of its own); decoded UTF-8 never grows more than that.
                if (result.size() >= 2 * kReplyArea) {
                    fault("a reply longer than the reply area");
                }
            }
            break;
        }
        default:
            break;
        }
    }

    // The export `entry` of an outside library the bridge holds loaded, or nullptr.
    static void* loaded_entry(const char* file, const char* entry) {
        void* module = dlopen(file, RTLD_NOW | RTLD_NOLOAD);
        if (module == nullptr) {
            return nullptr;
        }
        void* address = dlsym(module, entry);
        dlclose(module); // the bridge's own load keeps the library
        return address;
    }

    // Reads the registers again, unjournaled, as the bridge has just read them.
    bool read_directly(jint a, jint b, jint c, jint n, int& status,
                       std::vector<std::uint16_t>& words) {
        using ReadFn = int (*)(int, int, int, unsigned short*, int);
        auto fn = reinterpret_cast<ReadFn>(loaded_entry("CVDLL1RZ1.dll", "CVDLLRZ_RegRead"));
        words.clear();
        if (fn == nullptr || n < 0) {
            return false;
        }
        words.assign(static_cast<std::size_t>(n) + 1, 0);
        simctl_set_recording(0);
        status = fn(a, b, c, words.data(), n);
        simctl_set_recording(1);
        words.resize(static_cast<std::size_t>(n));
        return true;
    }

    // Makes the request again, unjournaled; `text` gets the reply up to its NUL.
    bool request_directly(const std::string& t1, const std::string& t2, int& status,
                          std::string& text) {
        using RequestFn = int (*)(const char*, const char*, char*);
        auto fn = reinterpret_cast<RequestFn>(loaded_entry("CVDAlib.dll", "CVDA_Request"));
        if (fn == nullptr) {
            return false;
        }
        std::vector<char> area(kReplyArea, '\0');
        simctl_set_recording(0);
        status = fn(t1.c_str(), t2.c_str(), area.data());
        simctl_set_recording(1);
        text.assign(area.data(), strnlen(area.data(), kReplyArea));
        return true;
    }

    // A register value that reached Java: the library's word when it was asked again, else at
    // least a word.
    bool word_right(jint value, std::size_t index) const {
        if (index < direct_words_.size()) {
            return value == direct_words_[index];
        }
        return value >= 0 && value <= 65535;
    }

    // MORLANE_FUZZ_TRACE=1 shows every call on stderr: for reading what a seed or a crash does.
    void trace(int journal_before, int journal_after) const {
        static const bool on = std::getenv("MORLANE_FUZZ_TRACE") != nullptr;
        if (!on) {
            return;
        }
        std::string out;
        for (char ch : out_) {
            out += ch == '\n' ? std::string("\\n") : std::string(1, ch);
        }
        std::fprintf(stderr, "%2d %-16s \"%s\"", step_, method_, out.c_str());
        for (int i = journal_before; i < journal_after; ++i) {
            std::fprintf(stderr, "  -> %.120s", simjournal::line(i).c_str());
        }
        if (!result_.empty()) {
            std::fprintf(stderr, "  <- %s", result_.c_str());
        }
        std::fprintf(stderr, "\n");
    }

    [[noreturn]] void fault(const std::string& what) {
        std::fprintf(stderr, "\n*** step %d, %s: %s\n*** output: \"%s\"\n*** journal:\n", step_,
                     method_, what.c_str(), out_.c_str());
        const int n = simctl_journal_count();
        for (int i = n > 8 ? n - 8 : 0; i < n; ++i) {
            std::fprintf(stderr, "***   %.200s\n", simjournal::line(i).c_str());
        }
        std::abort();
    }

    Output& output_;
    FakeJvm jvm_;
    int link_loads_ = 0;
    int cv_loads_ = 0;
    std::map<Host, Plan> plans_;
    std::vector<Fired> fired_;
    std::map<std::string, std::deque<jint>> statuses_;
    std::deque<std::string> replies_;
    std::vector<std::uint16_t> direct_words_; // the last read, asked again
    Variant link_variant_;
    Variant cv_variant_;
    int step_ = 0;
    const char* method_ = "";
    std::string out_;
    std::string result_; // what the call returned to Java, for the trace
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Output* output = [] {
        const bridge::Exports& api = bridge::exports();
        if (!api.error.empty()) {
            std::fprintf(stderr, "bridge library: %s\n", api.error.c_str());
            std::abort();
        }
        return new Output();
    }();
    simctl_reset();
    Input in(data, size);
    Session session(*output);
    session.run(in);
    session.end();
    return 0;
}
