// morlane.CallRecord: what the calling thread's latest lathwork.Brenmoor call wrote, and what
// each slot holds, for Java programs that want to see failures without reading stdout. These
// calls are not operations: they start no record of their own.
#include "frame/diagnostics.h"
#include "frame/slots.h"

#include "morlane_CallRecord.h"

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
