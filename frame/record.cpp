// morlane.CallRecord: what the calling thread's latest lathwork.Brenmoor call wrote, and what
// each slot holds, for Java programs that want to see failures without reading stdout. These
// calls are not operations: they start no record of their own.
#include "frame/diagnostics.h"
#include "frame/slots.h"

#include "morlane_CallRecord.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

using namespace morlane;

JNIEXPORT jobjectArray JNICALL Java_morlane_CallRecord_lastLines(JNIEnv* env, jclass) {
    Diag lines[kRecordedLines];
    const int count = recorded_lines(lines);
    jclass string_class = env->FindClass("java/lang/String");
    if (string_class == nullptr) {
        return nullptr;
    }
    jobjectArray result = env->NewObjectArray(count, string_class, nullptr);
    env->DeleteLocalRef(string_class);
    for (int i = 0; result != nullptr && i < count; ++i) {
        // The texts are plain ASCII, so modified UTF-8 as they stand.
        jstring line = env->NewStringUTF(diag_text(lines[i]));
        if (line == nullptr) {
            return nullptr;
        }
        env->SetObjectArrayElement(result, i, line);
        env->DeleteLocalRef(line);
    }
    return result;
}

JNIEXPORT jint JNICALL Java_morlane_CallRecord_linkMode(JNIEnv*, jclass) {
    return static_cast<jint>(link_slot().mode());
}

JNIEXPORT jint JNICALL Java_morlane_CallRecord_corvaneMode(JNIEnv*, jclass) {
    return static_cast<jint>(corvane_slot().mode());
}

namespace {

constexpr std::size_t kReasonBytes = 1200;

// The reason's UTF-8 as UTF-16 (a Windows message in the user's language is seldom ASCII, and
// NewStringUTF takes only modified UTF-8); a byte that starts no valid sequence becomes U+FFFD.
jsize utf16(const char* text, jchar* out) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    jsize n = 0;
    while (*p != 0) {
        const unsigned lead = *p;
        const int extra = lead < 0x80                   ? 0
                          : lead >= 0xC2 && lead < 0xE0 ? 1
                          : lead >= 0xE0 && lead < 0xF0 ? 2
                          : lead >= 0xF0 && lead < 0xF5 ? 3
                                                        : -1;
        std::uint32_t code = extra == 0   ? lead
                             : extra == 1 ? lead & 0x1F
                             : extra == 2 ? lead & 0x0F
                                          : lead & 0x07;
        int i = 1;
        for (; extra > 0 && i <= extra && (p[i] & 0xC0) == 0x80; ++i) {
            code = (code << 6) | (p[i] & 0x3F);
        }
        const bool valid = extra >= 0 && i == extra + 1 && code <= 0x10FFFF &&
                           !(code >= 0xD800 && code < 0xE000) && !(extra == 2 && code < 0x800) &&
                           !(extra == 3 && code < 0x10000);
        if (!valid) {
            out[n++] = 0xFFFD;
            ++p;
            continue;
        }
        if (code >= 0x10000) {
            out[n++] = static_cast<jchar>(0xD800 + ((code - 0x10000) >> 10));
            out[n++] = static_cast<jchar>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out[n++] = static_cast<jchar>(code);
        }
        p += extra + 1;
    }
    return n;
}

jstring load_failure(JNIEnv* env, LibrarySlot& slot) noexcept {
    char reason[kReasonBytes];
    if (!slot.load_failure(reason, sizeof reason)) {
        return nullptr;
    }
    jchar chars[kReasonBytes];
    return env->NewString(chars, utf16(reason, chars));
}

} // namespace

JNIEXPORT jstring JNICALL Java_morlane_CallRecord_linkLoadFailure(JNIEnv* env, jclass) {
    return load_failure(env, link_slot());
}

JNIEXPORT jstring JNICALL Java_morlane_CallRecord_corvaneLoadFailure(JNIEnv* env, jclass) {
    return load_failure(env, corvane_slot());
}

JNIEXPORT jint JNICALL Java_morlane_CallRecord_deadline(JNIEnv*, jclass, jboolean link,
                                                        jlong millis) {
    LibrarySlot& slot = link ? link_slot() : corvane_slot();
    const Mode mode = slot.mode();
    if (mode != Mode::InProcess) {
        slot.set_deadline(std::chrono::milliseconds(millis));
    }
    return static_cast<jint>(mode);
}
