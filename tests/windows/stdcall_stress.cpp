// Calls every export of morlane.dll, and through it every entry point of the simulated outside
// libraries, thousands of times, checking each result on the way.
//
// On 32-bit Windows a calling-convention mismatch does not fail at once: a __cdecl function
// called as __stdcall (or the reverse) leaves the stack a few bytes off, and the damage shows
// calls later as a wrong value or a crash, or not at all in a short test. So this test
//  - calls the exports as a 32-bit JVM does, through __stdcall pointers found by their plain
//    names, alternately from compiled code and from a hand-written call stub that measures the
//    stack pointer and the callee-saved registers around each call;
//  - probes the simulated libraries' entry points the same way, so that a stand-in that is not
//    __stdcall cannot let a matching mistake in the bridge pass;
//  - checks in every iteration every argument that reached the simulated libraries (their
//    journal), every value that came back to Java, every diagnostic line, and that every borrow
//    from the host was given back.
//
// Usage: morlane_stdcall_stress [iterations]
// The bridge is loaded as the native suite loads it (bridge.h); the simulated libraries and
// simctl.dll must be on the DLL search path (WINEPATH under Wine).
#include <windows.h>

#include "bridge.h"
#include "control/simctl.h"
#include "fake_jni.h"
#include "journal.h"
#include "stdout_capture.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

// The exports must be __stdcall whatever jni_md.h says: a 32-bit JVM calls them that way.
static_assert(std::is_same_v<decltype(&Java_lathwork_Brenmoor_open),
                             void(__stdcall*)(JNIEnv*, jclass, jint, jint, jint, jint, jint)>,
              "JNICALL must be __stdcall on 32-bit Windows");
static_assert(sizeof(jint) == 4 && sizeof(jlong) == 8 && sizeof(void*) == 4,
              "the 32-bit Windows JNI types");

// ---- A call stub that sees what the callee did to the stack -------------------------------------
//
// std::uint32_t morlane_probe_call(const void* fn, const std::uint32_t* args, int count,
//                                  std::int32_t* stack_delta, int* clobbered)
// Pushes args[count-1] .. args[0], loads sentinels into EBX, ESI and EDI, calls fn and returns its
// EAX. stack_delta receives ESP after the call minus ESP before the pushes: 0 when the callee
// removed its own arguments (__stdcall), -4 * count when it left them (__cdecl). clobbered
// receives the number of callee-saved registers that came back changed.
extern "C" std::uint32_t morlane_probe_call(const void* fn, const std::uint32_t* args, int count,
                                            std::int32_t* stack_delta, int* clobbered);
asm(R"(
    .text
    .globl _morlane_probe_call
_morlane_probe_call:
    pushl %ebp
    movl  %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl  16(%ebp), %ecx
    movl  12(%ebp), %edx
1:  testl %ecx, %ecx
    jz    2f
    decl  %ecx
    pushl (%edx,%ecx,4)
    jmp   1b
2:  movl  $0x5ca1ab1e, %ebx
    movl  $0x0ddba110, %esi
    movl  $0xfeedface, %edi
    call  *8(%ebp)
    xorl  %ecx, %ecx
    cmpl  $0x5ca1ab1e, %ebx
    je    3f
    incl  %ecx
3:  cmpl  $0x0ddba110, %esi
    je    4f
    incl  %ecx
4:  cmpl  $0xfeedface, %edi
    je    5f
    incl  %ecx
5:  movl  24(%ebp), %edx
    movl  %ecx, (%edx)
    leal  -12(%ebp), %ecx
    movl  %esp, %edx
    subl  %ecx, %edx
    movl  20(%ebp), %ecx
    movl  %edx, (%ecx)
    leal  -12(%ebp), %esp
    popl  %edi
    popl  %esi
    popl  %ebx
    popl  %ebp
    ret
)");

namespace {

long iteration = -1;  // for messages
bool probing = false; // calls go through the measuring stub (even iterations)
long calls = 0;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "FAIL: iteration %ld: %s\n", iteration, what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

void expect(bool ok, const std::string& what) {
    if (!ok) {
        fail(what);
    }
}

std::string num(long value) {
    return std::to_string(value);
}

// ---- Calls --------------------------------------------------------------------------------------

template <typename T> std::uint32_t as_word(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value));
    } else {
        return static_cast<std::uint32_t>(value);
    }
}

template <typename R> R from_word(std::uint32_t word) {
    if constexpr (std::is_pointer_v<R>) {
        return reinterpret_cast<R>(static_cast<std::uintptr_t>(word));
    } else {
        return static_cast<R>(word);
    }
}

// Calls fn as a 32-bit JVM or the bridge would: arguments pushed right to left, the callee
// removes them. Only __stdcall pointers are accepted. `name` labels a failure.
template <typename R, typename... P, typename... A>
R call(const char* name, R(__stdcall* fn)(P...), A... args) {
    static_assert(sizeof...(P) == sizeof...(A));
    ++calls;
    if (!probing) {
        return fn(static_cast<P>(args)...);
    }
    const std::uint32_t words[sizeof...(A) + 1] = {as_word(static_cast<P>(args))..., 0};
    std::int32_t stack_delta = 0;
    int clobbered = 0;
    const std::uint32_t result = morlane_probe_call(reinterpret_cast<const void*>(fn), words,
                                                    sizeof...(A), &stack_delta, &clobbered);
    expect(stack_delta == 0, std::string(name) + " left the stack " + num(stack_delta) +
                                 " bytes off (not __stdcall)");
    expect(clobbered == 0,
           std::string(name) + " changed " + num(clobbered) + " callee-saved registers");
    if constexpr (!std::is_void_v<R>) {
        return from_word<R>(result);
    }
}

template <typename Fn> Fn resolve(HMODULE module, const char* entry) {
    FARPROC address = GetProcAddress(module, entry);
    expect(address != nullptr, std::string("no plain export ") + entry);
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

// ---- The simulated libraries' own entry points --------------------------------------------------

// Each entry point is called directly with arguments it must refuse, so the call changes nothing:
// the status and the stack are all that is looked at.
void probe_simulated(int rounds) {
    HMODULE plc = LoadLibraryA("CVDLL1RZ1.dll");
    HMODULE cvda = LoadLibraryA("CVDAlib.dll");
    expect(plc != nullptr && cvda != nullptr, "the simulated libraries are not on the DLL path");
    using Word = std::uint16_t;
    const auto open = resolve<int(__stdcall*)(int, int, int, int, int)>(plc, "CVDLLRZ_Open");
    const auto close = resolve<int(__stdcall*)(int)>(plc, "CVDLLRZ_Close");
    const auto run = resolve<int(__stdcall*)(int, int)>(plc, "CVDLLRZ_RunMode");
    const auto stop = resolve<int(__stdcall*)(int, int)>(plc, "CVDLLRZ_StopMode");
    const auto download = resolve<int(__stdcall*)(int, int, const char*)>(plc, "CVDLLRZ_DownLoad");
    const auto write =
        resolve<int(__stdcall*)(int, int, int, const Word*, int)>(plc, "CVDLLRZ_RegWrite");
    const auto read = resolve<int(__stdcall*)(int, int, int, Word*, int)>(plc, "CVDLLRZ_RegRead");
    const auto poke =
        resolve<int(__stdcall*)(const char*, const char*, const char*)>(cvda, "CVDA_Poke");
    const auto request =
        resolve<int(__stdcall*)(const char*, const char*, char*)>(cvda, "CVDA_Request");
    const int no_link = 99; // CVDLLRZ_E_LINK (1) from every link entry point
    Word words[1] = {0};
    simctl_set_recording(0);
    probing = true;
    for (int k = 0; k < rounds; ++k) {
        expect(call("CVDLLRZ_Open", open, no_link, 0, 110, 0, 0) == 1, "CVDLLRZ_Open status");
        expect(call("CVDLLRZ_Close", close, no_link) == 1, "CVDLLRZ_Close status");
        expect(call("CVDLLRZ_RunMode", run, no_link, 0) == 1, "CVDLLRZ_RunMode status");
        expect(call("CVDLLRZ_StopMode", stop, no_link, 0) == 1, "CVDLLRZ_StopMode status");
        expect(call("CVDLLRZ_DownLoad", download, no_link, 0, "p") == 1, "DownLoad status");
        expect(call("CVDLLRZ_RegWrite", write, no_link, 0, 0, words, 1) == 1, "RegWrite status");
        expect(call("CVDLLRZ_RegRead", read, no_link, 0, 0, words, 1) == 1, "RegRead status");
        // Null texts: CVDA_E_ARGUMENT (4), nothing stored.
        expect(call("CVDA_Poke", poke, nullptr, nullptr, nullptr) == 4, "CVDA_Poke status");
        expect(call("CVDA_Request", request, nullptr, nullptr, nullptr) == 4,
               "CVDA_Request status");
    }
    probing = false;
    simctl_set_recording(1);
    // Both must go again, or the bridge's finish could not unload them later.
    FreeLibrary(plc);
    FreeLibrary(cvda);
}

// ---- Expectations -------------------------------------------------------------------------------

using simjournal::hex;

jint low16(jint value) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value));
}

std::string word_list(const std::vector<jint>& values) {
    std::string out = "[";
    for (std::size_t k = 0; k < values.size(); ++k) {
        out += (k > 0 ? "," : "") + num(low16(values[k]));
    }
    return out + "]";
}

template <typename... Parts> std::string line(const char* entry, Parts... parts) {
    std::string out = entry;
    ((out += ' ', out += parts), ...);
    return out;
}

void expect_journal(const std::vector<std::string>& expected) {
    const int count = simctl_journal_count();
    expect(count == static_cast<int>(expected.size()), "the libraries received " + num(count) +
                                                           " calls, expected " +
                                                           num(static_cast<long>(expected.size())));
    for (int k = 0; k < count; ++k) {
        const std::string got = simjournal::line(k);
        const std::string& want = expected[static_cast<std::size_t>(k)];
        expect(want == got, "call " + num(k) + " arrived as '" + got + "', not '" + want + "'");
    }
}

void expect_host_clean(const fakejni::FakeJvm& jvm) {
    expect(jvm.outstanding() == 0, num(static_cast<long>(jvm.outstanding())) + " borrows kept");
    expect(jvm.violations().empty(),
           "JNI rule broken: " + (jvm.violations().empty() ? "" : jvm.violations()[0]));
}

// ---- One iteration through the bridge -----------------------------------------------------------

struct Failure {
    const char* entry; // entry point made to fail, or nullptr
    int status;        // what it returns instead
    const char* line;  // the diagnostic line the bridge must write
};

// Every fourth iteration one entry point is made to fail, each in turn, with statuses that differ
// between rounds so that both failure lines of the data-access library come up.
Failure failure_for(long i) {
    if (i % 4 != 3) {
        return {nullptr, 0, ""};
    }
    const bool other = (i / 36) % 2 == 1;
    switch ((i / 4) % 9) {
    case 0:
        return {"CVDLLRZ_Open", 3, "in DLL: Open Error\n"};
    case 1:
        return {"CVDLLRZ_Close", 2, "in DLL: Close Error\n"};
    case 2:
        return {"CVDLLRZ_RunMode", -1, "in DLL: Run Error\n"};
    case 3:
        return {"CVDLLRZ_StopMode", 6, "in DLL: Stop Error\n"};
    case 4:
        return {"CVDLLRZ_DownLoad", 7, "in DLL: Download Error\n"};
    case 5:
        return {"CVDLLRZ_RegWrite", 9, "in DLL: RegWrite Error\n"};
    case 6:
        return {"CVDLLRZ_RegRead", 9, "in DLL: RegRead Error\n"};
    case 7:
        return other ? Failure{"CVDA_Poke", 2, "in DLL: Write error\n"}
                     : Failure{"CVDA_Poke", 0, "in DLL: Corvane stopped\n"};
    default:
        return other ? Failure{"CVDA_Request", 3, "in DLL: Read error\n"}
                     : Failure{"CVDA_Request", 0, "in DLL: Corvane stopped\n"};
    }
}

// Where an iteration left its words, so that a reload can show they are gone.
struct Written {
    jint link, unit, area, address, count;
};

Written run_iteration(const bridge::Exports& b, long i) {
    simctl_reset();
    fakejni::FakeJvm jvm;
    JNIEnv* env = jvm.env();
    const Failure failure = failure_for(i);
    if (failure.entry != nullptr) {
        simctl_script_status(failure.entry, failure.status);
    }
    std::vector<std::string> journal;
    std::string output;
    auto called = [&](const char* entry, std::string journal_line) {
        journal.push_back(std::move(journal_line));
        if (failure.entry != nullptr && std::string(failure.entry) == entry) {
            output += failure.line;
        }
    };

    const jint link = static_cast<jint>(i % 8);
    const jint unit = static_cast<jint>((i / 8) % 32);
    const jint selector = static_cast<jint>(i % 3);
    const jint code = selector == 0 ? 110 : selector == 1 ? 111 : 101;
    const jint timeout = static_cast<jint>(i);
    const jint retries = static_cast<jint>(i % 5);
    const jint area = static_cast<jint>(i % 2);
    const jint address = static_cast<jint>((i * 37) % 4000);
    const jint single = static_cast<jint>(i * 7919 - 40000); // negative and past 65535 as well
    std::vector<jint> block(1 + static_cast<std::size_t>(i % 17));
    for (std::size_t k = 0; k < block.size(); ++k) {
        block[k] = static_cast<jint>((i * 131 + static_cast<long>(k) * 40503) ^ (long(k) << 17));
    }
    const jint count = static_cast<jint>(block.size());
    // What the registers from `address` on hold after both writes.
    std::vector<jint> words{low16(single)};
    for (jint value : block) {
        words.push_back(low16(value));
    }
    const std::string program = "prog" + num(i) + ".mot";
    const std::string topic = "topic" + num(i % 5);
    const std::string item = "item " + num(i);
    const std::string value = "value \xc3\xa9 " + num(i * 3); // modified UTF-8 passes as bytes
    std::vector<jint> sent = block;
    sent.push_back(-12345); // one element past the count: neither sent nor changed
    const jintArray source = jvm.int_array(sent);
    const jintArray target = jvm.int_array(std::vector<jint>(words.size() + 2, -7));
    jintArray fresh = nullptr;
    jstring reply = nullptr;

    std::string written;
    {
        capture::StdoutCapture capture;
        call("start", b.start, env, nullptr); // a second load: the library and its state stay
        call("open", b.open, env, nullptr, link, unit, selector, timeout, retries);
        called("CVDLLRZ_Open",
               line("CVDLLRZ_Open", num(link), num(unit), num(code), num(timeout), num(retries)));
        call("runMode", b.runMode, env, nullptr, link, unit);
        called("CVDLLRZ_RunMode", line("CVDLLRZ_RunMode", num(link), num(unit)));
        call("stopMode", b.stopMode, env, nullptr, link, unit);
        called("CVDLLRZ_StopMode", line("CVDLLRZ_StopMode", num(link), num(unit)));
        call("downLoad", b.downLoad, env, nullptr, link, unit, jvm.string(program));
        called("CVDLLRZ_DownLoad", line("CVDLLRZ_DownLoad", num(link), num(unit), hex(program)));
        call("regWrite(IIII)", b.regWriteValue, env, nullptr, link, area, address, single);
        called("CVDLLRZ_RegWrite", line("CVDLLRZ_RegWrite", num(link), num(area), num(address),
                                        word_list({single}), "1"));
        call("regWrite(III[II)", b.regWriteBlock, env, nullptr, link, area, address + 1, source,
             count);
        // A scripted status is taken by the first call only.
        journal.push_back(line("CVDLLRZ_RegWrite", num(link), num(area), num(address + 1),
                               word_list(block), num(count)));
        fresh = call("regRead(IIII)", b.regReadNew, env, nullptr, link, area, address, count + 1);
        called("CVDLLRZ_RegRead",
               line("CVDLLRZ_RegRead", num(link), num(area), num(address), "*", num(count + 1)));
        call("regRead(III[II)", b.regReadInto, env, nullptr, link, area, address, target,
             count + 1);
        journal.push_back(
            line("CVDLLRZ_RegRead", num(link), num(area), num(address), "*", num(count + 1)));
        call("close", b.close, env, nullptr, link);
        called("CVDLLRZ_Close", line("CVDLLRZ_Close", num(link)));
        call("cvPoke", b.cvPoke, env, nullptr, jvm.string(topic), jvm.string(item),
             jvm.string(value));
        called("CVDA_Poke", line("CVDA_Poke", hex(topic), hex(item), hex(value)));
        reply = call("cvRequest", b.cvRequest, env, nullptr, jvm.string(topic), jvm.string(item));
        called("CVDA_Request", line("CVDA_Request", hex(topic), hex(item), "*"));
        call("finish", b.finish, env, nullptr); // drops the second load only
        written = capture.finish();
    }

    expect_journal(journal);
    expect(written == output, "the bridge wrote '" + written + "', expected '" + output + "'");
    expect(jvm.ints(source) == sent, "regWrite changed the Java array it sent");
    // A failed read still delivers the words; a failed poke still stored the value.
    expect(fresh != nullptr && jvm.ints(fresh) == words,
           "regRead(IIII) did not return the registers just written");
    std::vector<jint> into(words.size() + 2, -7);
    std::copy(words.begin(), words.end(), into.begin());
    expect(jvm.ints(target) == into, "regRead(III[II) did not fill exactly count elements");
    const bool request_failed =
        failure.entry != nullptr && failure.entry == std::string("CVDA_Request");
    const std::string expected_reply = request_failed ? "-1" : value;
    expect(reply != nullptr && jvm.text(reply) == expected_reply,
           "cvRequest returned '" + (reply ? jvm.text(reply) : "null") + "', not '" +
               expected_reply + "'");
    expect_host_clean(jvm);
    return {link, unit, area, address, count + 1};
}

// Releases the last load of both libraries, checks that the operations see empty slots, and loads
// them again: the simulated state must be fresh, which shows that finish really unloaded them.
void reload(const bridge::Exports& b, const Written& last) {
    simctl_reset();
    fakejni::FakeJvm jvm;
    JNIEnv* env = jvm.env();
    jintArray zeros = nullptr;
    jintArray fresh = nullptr;
    jstring none = nullptr;
    jstring gone = nullptr;
    std::string written;
    {
        capture::StdoutCapture capture;
        call("finish", b.finish, env, nullptr);
        call("cvFinish", b.cvFinish, env, nullptr);
        zeros = call("regRead(IIII)", b.regReadNew, env, nullptr, 0, 0, 0, 3);
        none = call("cvRequest", b.cvRequest, env, nullptr, jvm.string("t"), jvm.string("i"));
        call("start", b.start, env, nullptr);
        call("cvStart", b.cvStart, env, nullptr);
        call("open", b.open, env, nullptr, last.link, last.unit, 0, 0, 0);
        fresh = call("regRead(IIII)", b.regReadNew, env, nullptr, last.link, last.area,
                     last.address, last.count);
        call("close", b.close, env, nullptr, last.link);
        gone = call("cvRequest", b.cvRequest, env, nullptr, jvm.string("topic0"),
                    jvm.string("item 0"));
        written = capture.finish();
    }
    expect(written == "in DLL: DLL not found.\nin DLL: DLL not found.\nin DLL: Read error\n",
           "reload wrote '" + written + "'");
    expect(zeros != nullptr && jvm.ints(zeros) == std::vector<jint>(3, 0),
           "regRead(IIII) with an empty slot did not return zeros");
    expect(none != nullptr && jvm.text(none) == "-1", "cvRequest with an empty slot");
    expect(fresh != nullptr &&
               jvm.ints(fresh) == std::vector<jint>(static_cast<std::size_t>(last.count), 0),
           "registers survived finish: the library was not unloaded");
    expect(gone != nullptr && jvm.text(gone) == "-1", "the Corvane table survived cvFinish");
    expect_host_clean(jvm);
}

} // namespace

int main(int argc, char** argv) {
    const long iterations = argc > 1 ? std::atol(argv[1]) : 20000;
    const long reload_every = 500;

    probe_simulated(2000);

    const bridge::Exports& b = bridge::exports();
    expect(b.error.empty(), "the bridge could not be bound: " + b.error);

    // The first calls of all go through the stub, so that an export with the wrong convention is
    // named before anything else can go wrong.
    probing = true;
    fakejni::FakeJvm jvm;
    call("start", b.start, jvm.env(), nullptr);
    call("cvStart", b.cvStart, jvm.env(), nullptr);
    for (iteration = 0; iteration < iterations; ++iteration) {
        probing = iteration % 2 == 0;
        const Written last = run_iteration(b, iteration);
        if ((iteration + 1) % reload_every == 0) {
            reload(b, last);
        }
    }
    probing = false;
    call("finish", b.finish, jvm.env(), nullptr);
    call("cvFinish", b.cvFinish, jvm.env(), nullptr);
    std::fprintf(stderr, "ok: %ld iterations, %ld __stdcall calls checked\n", iterations, calls);
    return 0;
}
