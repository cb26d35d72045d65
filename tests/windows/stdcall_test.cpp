// Every entry point of the table called once, through the function type the bridge calls it by
// (EntryFn, entry/invoke.h), at the export of the simulated library that has it, with the stack
// pointer taken around the call. On 32-bit Windows the table's calling convention is __stdcall:
// the callee removes its arguments. A type or a stand-in that says otherwise leaves the stack a
// few bytes off, which shows calls later as a wrong value or a crash, or not at all; here it
// shows at once. x86-64 has one convention, and the callee must leave the stack as it found it.
//
// The simulated libraries and simctl.dll must be on the DLL search path (WINEPATH under Wine).
#include <windows.h>

#include "entry/invoke.h"
#include "lathwork_Brenmoor.h"

#include <cstdint>
#include <cstdio>
#include <type_traits>

#if defined(__i386__)
// A 32-bit JVM calls the bridge's exports __stdcall too, whatever jni_md.h says; the bridge
// defines them with the header's declarations, so the header's type is theirs.
static_assert(std::is_same_v<decltype(&Java_lathwork_Brenmoor_open),
                             void(__stdcall*)(JNIEnv*, jclass, jint, jint, jint, jint, jint)>,
              "JNICALL must be __stdcall on 32-bit Windows");
// The bridge calls by these types, so they are __stdcall, in each form the table's shapes give:
// plain integers, a word buffer, a reply area. A stand-in's own convention the run below shows.
static_assert(
    std::is_same_v<morlane::EntryFn<morlane::Entry::Close>, int(__stdcall*)(std::int32_t)> &&
        std::is_same_v<morlane::EntryFn<morlane::Entry::RegWrite>,
                       int(__stdcall*)(std::int32_t, std::int32_t, std::int32_t,
                                       const morlane::Word*, std::int32_t)> &&
        std::is_same_v<morlane::EntryFn<morlane::Entry::Request>,
                       int(__stdcall*)(const char*, const char*, char*)>,
    "the outside entry points are called __stdcall on 32-bit Windows");
constexpr std::intptr_t kSlot = 4; // every argument of every entry point takes one stack slot
#define STACK_THUNK_BODY                                                                           \
    "popl " SYM(                                                                                   \
        thunk_return) "\n"                                                                         \
                      "movl %esp, " SYM(                                                           \
                          thunk_before) "\n"                                                       \
                                        "call *" SYM(                                              \
                                            thunk_target) "\n"                                     \
                                                          "movl %esp, " SYM(                       \
                                                              thunk_after) "\n"                    \
                                                                           "pushl " SYM(           \
                                                                               thunk_return) "\n"  \
                                                                                             "ret" \
                                                                                             "\n"
#else
constexpr std::intptr_t kSlot = 0; // the caller removes what it passed on the stack
#define STACK_THUNK_BODY                                                                           \
    "popq " SYM(                                                                                   \
        thunk_return) "(%rip)\n"                                                                   \
                      "movq %rsp, " SYM(                                                           \
                          thunk_before) "(%rip)\n"                                                 \
                                        "callq *" SYM(                                             \
                                            thunk_target) "(%rip)\n"                               \
                                                          "movq %rsp, " SYM(                       \
                                                              thunk_after) "(%rip)\n"              \
                                                                           "pushq " SYM(           \
                                                                               thunk_return) "(%"  \
                                                                                             "rip" \
                                                                                             ")\n" \
                                                                                             "ret" \
                                                                                             "q\n"
#endif

// stack_thunk is called in the entry point's place, with its arguments. It takes its own return
// address off the stack, so the target it calls finds the arguments where a direct call would
// leave them, notes the stack pointer before and after that call, and returns with the stack as
// the target left it.
extern "C" {
std::uintptr_t thunk_target;
std::uintptr_t thunk_return;
std::uintptr_t thunk_before;
std::uintptr_t thunk_after;
void stack_thunk();
}
#define STRING_(x) #x
#define STRING(x) STRING_(x)
#define SYM(name) STRING(__USER_LABEL_PREFIX__) #name
asm(".text\n.globl " SYM(stack_thunk) "\n" SYM(stack_thunk) ":\n" STACK_THUNK_BODY);

namespace {

using namespace morlane;

HMODULE libraries[2];

// Calls `E` once at its export and says whether the stack came back as the table's type says.
template <Entry E> bool stack_kept() {
    const Shape& s = shape(E);
    void* address = nullptr;
    for (HMODULE library : libraries) {
        if (address == nullptr && library != nullptr) {
            address = reinterpret_cast<void*>(GetProcAddress(library, s.name));
        }
    }
    if (address == nullptr) {
        std::printf("%s: exported by neither simulated library\n", s.name);
        return false;
    }
    // Arguments every stand-in refuses or takes without harm: no open link, empty texts.
    static Word words[4];
    static char reply[kReplyBytes];
    Call call;
    for (const char*& text : call.texts) {
        text = "";
    }
    call.words = words;
    call.reply = reply;
    thunk_target = reinterpret_cast<std::uintptr_t>(address);
    invoke<E>(reinterpret_cast<void*>(&stack_thunk), call);
    const int slots = s.ints + s.texts + (s.words != WordFlow::None ? 2 : 0) + (s.reply ? 1 : 0);
    const std::intptr_t moved = static_cast<std::intptr_t>(thunk_after - thunk_before);
    std::printf("%s: %d arguments, the callee removed %ld bytes (%ld expected)\n", s.name, slots,
                static_cast<long>(moved), static_cast<long>(kSlot * slots));
    return moved == kSlot * slots;
}

} // namespace

int main() {
    libraries[0] = LoadLibraryA("CVDLL1RZ1.dll");
    libraries[1] = LoadLibraryA("CVDAlib.dll");
    int wrong = 0;
#define MORLANE_STACK_CHECK(entry, ...) wrong += stack_kept<Entry::entry>() ? 0 : 1;
    MORLANE_ENTRIES(MORLANE_STACK_CHECK)
#undef MORLANE_STACK_CHECK
    std::printf("%d of %d entry points left the stack wrong\n", wrong, kEntryCount);
    return wrong == 0 ? 0 : 1;
}
