// regWrite and regRead, both forms each. Java integers travel as the low 16 bits of their
// two's-complement value; words come back widened without sign, so Java only ever sees 0..65535.
//
// A passed array is only ever touched in its first `count` elements, through the region
// functions: taking the whole array would copy it out and back on a copying JVM, undoing writes
// that other threads make beyond `count` meanwhile, and would cost the array's length per call.
#include "link/link_common.h"

#include "entry/invoke.h"
#include "frame/scratch.h"

#include "lathwork_Brenmoor.h"

#include <cstring>

namespace morlane::link {
namespace {

using Words = Scratch<Word>;
using Ints = Scratch<jint>;

// Words travel as the low 16 bits of an int and come back widened without sign: both
// directions are this one loop, which is most of a long block's time. Unrolled for the builds
// without vector instructions, where one store per word is then nearly all that is left.
template <typename From, typename To>
MORLANE_INLINE void convert(const From* from, To* to, jint count) noexcept {
#pragma GCC unroll 4
    for (jint i = 0; i < count; ++i) {
        to[i] = static_cast<To>(static_cast<std::uint32_t>(from[i]));
    }
}

#if defined(__i386__) && defined(__GNUC__) && !defined(__clang__)
// The 32-bit builds target processors without vector instructions, yet the processors today's
// 32-bit JVMs run on have SSE2: long blocks take the same loop compiled for it when the
// processor has it. The stack is realigned on entry, since Windows keeps it 4-byte aligned.
template <typename From, typename To>
__attribute__((target("sse2"), force_align_arg_pointer, noinline)) void
convert_sse2(const From* from, To* to, jint count) noexcept {
    convert(from, to, count);
}

template <typename From, typename To>
void convert_block(const From* from, To* to, jint count) noexcept {
    if (count >= 64 && __builtin_cpu_supports("sse2")) {
        convert_sse2(from, to, count);
    } else {
        convert(from, to, count);
    }
}
#else
template <typename From, typename To>
void convert_block(const From* from, To* to, jint count) noexcept {
    convert(from, to, count);
}
#endif

void narrow(const jint* values, Word* words, jint count) noexcept {
    convert_block(values, words, count);
}

void widen(const Word* words, jint* values, jint count) noexcept {
    convert_block(words, values, count);
}

// A block form's array and count are usable only if the array exists and holds `count` elements;
// anything else would make the library or the copy run past the Java array.
bool block_fits(JNIEnv* env, jintArray array, jint count) noexcept {
    return array != nullptr && count >= 0 && count <= env->GetArrayLength(array);
}

// Reads `count` registers into the first `count` elements of `array` (which holds at least that
// many). The word buffer is cleared first, since the library may leave words unwritten; whatever
// the status the words are delivered, before the line; nothing is delivered when the call could
// not be made.
Diag read_into(JNIEnv* env, const EntryPoint<Entry::RegRead>& entry_point, jint a, jint b, jint c,
               jintArray array, jint count) noexcept {
    Ints values(count);
    Words own(count);
    Word* words = own.data();
    if (words != nullptr) {
        std::memset(words, 0, sizeof(Word) * static_cast<std::size_t>(count));
    }
    if (words == nullptr || values.data() == nullptr) {
        return entry_point.refuse(Diag::RegReadError);
    }
    Call call(a, b, c);
    call.words = words;
    call.count = count;
    const Outcome outcome = entry_point.call(call);
    if (outcome.reach == hosted::Reach::Called) {
        widen(words, values.data(), count);
        env->SetIntArrayRegion(array, 0, count, values.data());
    }
    return judge_link(outcome, Diag::RegReadError);
}

} // namespace
} // namespace morlane::link

using namespace morlane;
using namespace morlane::link;

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_regWrite__IIII(JNIEnv*, jclass, jint a, jint b,
                                                             jint c, jint value) {
    perform<Entry::RegWrite>(link_slot(), [&](const EntryPoint<Entry::RegWrite>& entry_point) {
        Word word;
        narrow(&value, &word, 1);
        Call call(a, b, c);
        call.words = &word;
        call.count = 1;
        return judge_link(entry_point.call(call), Diag::RegWriteError);
    });
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_regWrite__III_3II(JNIEnv* env, jclass, jint a, jint b,
                                                                jint c, jintArray array,
                                                                jint count) {
    perform<Entry::RegWrite>(link_slot(), [&](const EntryPoint<Entry::RegWrite>& entry_point) {
        if (!block_fits(env, array, count)) {
            return entry_point.refuse(Diag::RegWriteError);
        }
        Ints values(count);
        Words own(count);
        Word* words = own.data();
        if (words == nullptr || values.data() == nullptr) {
            return entry_point.refuse(Diag::RegWriteError);
        }
        env->GetIntArrayRegion(array, 0, count, values.data());
        if (env->ExceptionCheck()) {
            return entry_point.refuse(Diag::RegWriteError);
        }
        narrow(values.data(), words, count);
        Call call(a, b, c);
        call.words = words;
        call.count = count;
        return judge_link(entry_point.call(call), Diag::RegWriteError);
    });
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_regRead__III_3II(JNIEnv* env, jclass, jint a, jint b,
                                                               jint c, jintArray array,
                                                               jint count) {
    perform<Entry::RegRead>(link_slot(), [&](const EntryPoint<Entry::RegRead>& entry_point) {
        if (!block_fits(env, array, count)) {
            return entry_point.refuse(Diag::RegReadError);
        }
        return read_into(env, entry_point, a, b, c, array, count);
    });
}

JNIEXPORT jintArray JNICALL Java_lathwork_Brenmoor_regRead__IIII(JNIEnv* env, jclass, jint a,
                                                                 jint b, jint c, jint count) {
    // Made before anything else so Java gets an array of the requested length on every path.
    // When the JVM cannot make it (negative count, no memory) its exception is already pending.
    jintArray result = env->NewIntArray(count);
    if (result == nullptr) {
        begin_call();
        return nullptr;
    }
    perform<Entry::RegRead>(link_slot(), [&](const EntryPoint<Entry::RegRead>& entry_point) {
        return read_into(env, entry_point, a, b, c, result, count);
    });
    return result;
}
