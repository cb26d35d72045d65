// regWrite and regRead, both forms each. Java integers travel as the low 16 bits of their
// two's-complement value; words come back widened without sign, so Java only ever sees 0..65535.
//
// A passed array is only ever touched in its first `count` elements, through the region
// functions: taking the whole array would copy it out and back on a copying JVM, undoing writes
// that other threads make beyond `count` meanwhile, and would cost the array's length per call.
#include "link/link_common.h"

#include "frame/scratch.h"

#include "lathwork_Brenmoor.h"

#include <cstring>

namespace morlane::link {
namespace {

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
    Scratch<jint> values(count);
    Scratch<Word> words(count);
    if (words.data() == nullptr || values.data() == nullptr) {
        return entry_point.refuse(Diag::RegReadError);
    }
    std::memset(words.data(), 0, sizeof(Word) * static_cast<std::size_t>(count));
    const Outcome outcome = entry_point.call(a, b, c, words.data(), count);
    if (outcome.called()) {
        for (jint i = 0; i < count; ++i) {
            values.data()[i] = words.data()[i];
        }
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
        Word word = static_cast<Word>(value);
        return judge_link(entry_point.call(a, b, c, &word, 1), Diag::RegWriteError);
    });
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_regWrite__III_3II(JNIEnv* env, jclass, jint a, jint b,
                                                                jint c, jintArray array,
                                                                jint count) {
    perform<Entry::RegWrite>(link_slot(), [&](const EntryPoint<Entry::RegWrite>& entry_point) {
        if (!block_fits(env, array, count)) {
            return entry_point.refuse(Diag::RegWriteError);
        }
        Scratch<jint> values(count);
        Scratch<Word> words(count);
        if (words.data() == nullptr || values.data() == nullptr) {
            return entry_point.refuse(Diag::RegWriteError);
        }
        env->GetIntArrayRegion(array, 0, count, values.data());
        if (env->ExceptionCheck()) {
            return entry_point.refuse(Diag::RegWriteError);
        }
        for (jint i = 0; i < count; ++i) {
            words.data()[i] = static_cast<Word>(values.data()[i]);
        }
        return judge_link(entry_point.call(a, b, c, words.data(), count), Diag::RegWriteError);
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
