// morlane.CallRecord: what the calling thread's latest lathwork.Brenmoor call wrote, and what
// each slot holds, for Java programs that want to see failures without reading stdout. These
// calls are not operations: they start no record of their own.
#include "frame/diagnostics.h"
#include "frame/java_text.h"
#include "frame/journal.h"
#include "frame/slots.h"

#include "morlane_CallRecord.h"

#include <chrono>

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

JNIEXPORT jint JNICALL Java_morlane_CallRecord_lastFailureKind(JNIEnv*, jclass) {
    return static_cast<jint>(recorded_failure());
}

JNIEXPORT jlong JNICALL Java_morlane_CallRecord_lastStatus0(JNIEnv*, jclass) {
    int status = 0;
    return recorded_status(status) ? static_cast<jlong>(status) : -(jlong{1} << 32);
}

JNIEXPORT void JNICALL Java_morlane_CallRecord_setLinesWritten(JNIEnv*, jclass, jboolean written) {
    set_lines_written(written != JNI_FALSE);
}

JNIEXPORT jint JNICALL Java_morlane_CallRecord_startJournal0(JNIEnv* env, jclass, jbyteArray path) {
    // The platform's own bytes for the file name, NUL-terminated by the caller.
    const jsize length = path != nullptr ? env->GetArrayLength(path) : 0;
    char name[4096];
    if (length <= 0 || length > static_cast<jsize>(sizeof name)) {
        return static_cast<jint>(journal::Started::Failed);
    }
    env->GetByteArrayRegion(path, 0, length, reinterpret_cast<jbyte*>(name));
    if (env->ExceptionCheck() || name[length - 1] != '\0') {
        return static_cast<jint>(journal::Started::Failed);
    }
    return static_cast<jint>(journal::start_journal(name));
}

JNIEXPORT jboolean JNICALL Java_morlane_CallRecord_ansiTexts0(JNIEnv*, jclass, jboolean ansi) {
    return set_ansi_texts(ansi != JNI_FALSE) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jboolean JNICALL Java_morlane_CallRecord_setLibraryFolder0(JNIEnv* env, jclass,
                                                                     jbyteArray folder) {
    char name[4096];
    const jsize length = folder != nullptr ? env->GetArrayLength(folder) : 0;
    if (length <= 0 || length > static_cast<jsize>(sizeof name)) {
        return JNI_FALSE;
    }
    env->GetByteArrayRegion(folder, 0, length, reinterpret_cast<jbyte*>(name));
    if (env->ExceptionCheck() || name[length - 1] != '\0') {
        return JNI_FALSE;
    }
    return set_library_folder(name) ? JNI_TRUE : JNI_FALSE;
}

JNIEXPORT jint JNICALL Java_morlane_CallRecord_linkMode(JNIEnv*, jclass) {
    return static_cast<jint>(link_slot().mode());
}

JNIEXPORT jint JNICALL Java_morlane_CallRecord_corvaneMode(JNIEnv*, jclass) {
    return static_cast<jint>(corvane_slot().mode());
}

namespace {

jstring load_failure(JNIEnv* env, LibrarySlot& slot) noexcept {
    // A Windows message in the user's language reaches this as UTF-8.
    char reason[LibrarySlot::kReasonBytes];
    static_assert(sizeof reason <= kMostJavaTextBytes, "java_string takes the whole reason");
    return slot.load_failure(reason, sizeof reason) ? java_string(env, reason) : nullptr;
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
