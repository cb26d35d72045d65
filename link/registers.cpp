// regWrite and regRead, both forms each. Java integers travel as the low 16 bits of their
// two's-complement value; words come back widened without sign, so Java only ever sees 0..65535.
#include "link/link_api.h"
#include "link/link_common.h"

#include "frame/jni_guards.h"
#include "frame/scratch.h"

#include "lathwork_Brenmoor.h"

namespace morlane::link {
namespace {

// Blocks up to this many words live on the stack; longer ones on the heap for the call.
constexpr std::size_t kInlineWords = 256;
using WordBuffer = Scratch<Word, kInlineWords>;

// A Java integer travels as the low 16 bits of its two's-complement value...
void store(Word& word, jint value) noexcept {
    word = static_cast<Word>(static_cast<std::uint32_t>(value));
}

// ...and a word comes back widened without sign.
void store(jint& value, Word word) noexcept {
    value = static_cast<jint>(word);
}

// Converts `count` values. The loop runs in fixed groups of 16: a loop with a constant count is
// one the compiler turns into vector instructions at -O2 as well, so long blocks cost a fraction.
template <typename From, typename To> void convert(const From* from, To* to, jint count) noexcept {
    constexpr jint kGroup = 16;
    jint i = 0;
    for (; count - i >= kGroup; i += kGroup) {
        for (jint k = 0; k < kGroup; ++k) {
            store(to[i + k], from[i + k]);
        }
    }
    for (; i < count; ++i) {
        store(to[i], from[i]);
    }
}

// A block form's array and count are usable only if the array exists and holds `count` elements;
// anything else would make the library or the copy run past the Java array.
bool block_fits(JNIEnv* env, jintArray array, jint count) noexcept {
    return array != nullptr && count >= 0 && count <= env->GetArrayLength(array);
}

// What a block form borrows for one call: a word buffer of `count` words and the Java array's
// elements. A read gets the buffer cleared, since the library may leave words unwritten; a write
// fills every word from the array itself. Not ready when the block does not fit or either borrow
// failed; nothing is borrowed from the JVM for a block that does not fit.
class Block {
  public:
    Block(JNIEnv* env, jintArray array, jint count, IntElements::Access access) noexcept
        : count_(block_fits(env, array, count) ? count : -1),
          words_(count_, access == IntElements::Access::ReadWrite ? WordBuffer::Fill::Zero
                                                                  : WordBuffer::Fill::None),
          elements_(words_.data() != nullptr ? IntElements(env, array, access) : IntElements()) {}

    bool ready() const noexcept { return elements_.data() != nullptr; }
    Word* words() const noexcept { return words_.data(); }
    jint* elements() const noexcept { return elements_.data(); }
    IntElements& borrow() noexcept { return elements_; }

  private:
    jint count_;
    WordBuffer words_;
    IntElements elements_;
};

} // namespace
} // namespace morlane::link

using namespace morlane;
using namespace morlane::link;

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_regWrite__IIII(JNIEnv*, jclass, jint a, jint b,
                                                             jint c, jint value) {
    call_link<RegWriteFn>("CVDLLRZ_RegWrite", [&](RegWriteFn fn) {
        Word word;
        store(word, value);
        return on_failure(fn(a, b, c, &word, 1), Diag::RegWriteError);
    });
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_regWrite__III_3II(JNIEnv* env, jclass, jint a, jint b,
                                                                jint c, jintArray values,
                                                                jint count) {
    call_link<RegWriteFn>("CVDLLRZ_RegWrite", [&](RegWriteFn fn) {
        Block block(env, values, count, IntElements::Access::ReadOnly);
        if (!block.ready()) {
            return Diag::RegWriteError;
        }
        convert(block.elements(), block.words(), count);
        return on_failure(fn(a, b, c, block.words(), count), Diag::RegWriteError);
    });
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_regRead__III_3II(JNIEnv* env, jclass, jint a, jint b,
                                                               jint c, jintArray values,
                                                               jint count) {
    call_link<RegReadFn>("CVDLLRZ_RegRead", [&](RegReadFn fn) {
        // The buffer comes cleared: words the library leaves unwritten must read as 0.
        Block block(env, values, count, IntElements::Access::ReadWrite);
        if (!block.ready()) {
            return Diag::RegReadError;
        }
        const int status = fn(a, b, c, block.words(), count);
        // A failed read still delivers what the buffer holds; the line follows the copy-back.
        convert(block.words(), block.elements(), count);
        block.borrow().release();
        return on_failure(status, Diag::RegReadError);
    });
}

JNIEXPORT jintArray JNICALL Java_lathwork_Brenmoor_regRead__IIII(JNIEnv* env, jclass, jint a,
                                                                 jint b, jint c, jint count) {
    // Made before anything else so Java gets an array of the requested length on every path.
    // When the JVM cannot make it (negative count, no memory) its exception is already pending.
    jintArray result = env->NewIntArray(count);
    if (result == nullptr) {
        return nullptr;
    }
    call_link<RegReadFn>("CVDLLRZ_RegRead", [&](RegReadFn fn) {
        WordBuffer words(count);
        // Every element is written from the words below, so clearing it would be wasted work.
        Scratch<jint, kInlineWords> staging(count, Scratch<jint, kInlineWords>::Fill::None);
        if (words.data() == nullptr || staging.data() == nullptr) {
            return Diag::RegReadError;
        }
        const int status = fn(a, b, c, words.data(), count);
        convert(words.data(), staging.data(), count);
        env->SetIntArrayRegion(result, 0, count, staging.data());
        return on_failure(status, Diag::RegReadError);
    });
    return result;
}
