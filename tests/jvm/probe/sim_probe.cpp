// JNI face of simctl for the child JVMs of the JUnit suite. Only simctl is linked here: the
// simulated outside libraries are loaded and released by the bridge under test, never by us.
#include "control/simctl.h"

#include "lathwork_test_SimProbe.h"

#include <cstdio>
#include <string>

JNIEXPORT void JNICALL Java_lathwork_test_SimProbe_scriptStatus(JNIEnv* env, jclass, jstring entry,
                                                                jint status) {
    const char* name = env->GetStringUTFChars(entry, nullptr);
    if (name == nullptr) {
        return;
    }
    simctl_script_status(name, status);
    env->ReleaseStringUTFChars(entry, name);
}

JNIEXPORT void JNICALL Java_lathwork_test_SimProbe_setDelay(JNIEnv* env, jclass, jstring entry,
                                                            jint milliseconds) {
    const char* name = env->GetStringUTFChars(entry, nullptr);
    if (name == nullptr) {
        return;
    }
    simctl_set_delay(name, milliseconds);
    env->ReleaseStringUTFChars(entry, name);
}

JNIEXPORT void JNICALL Java_lathwork_test_SimProbe_scriptCrash(JNIEnv* env, jclass, jstring entry) {
    const char* name = env->GetStringUTFChars(entry, nullptr);
    if (name == nullptr) {
        return;
    }
    simctl_script_crash(name);
    env->ReleaseStringUTFChars(entry, name);
}

JNIEXPORT void JNICALL Java_lathwork_test_SimProbe_scriptReply(JNIEnv* env, jclass,
                                                               jbyteArray bytes,
                                                               jboolean terminate) {
    const jsize length = env->GetArrayLength(bytes);
    std::string reply(static_cast<std::size_t>(length), '\0');
    env->GetByteArrayRegion(bytes, 0, length, reinterpret_cast<jbyte*>(reply.data()));
    simctl_script_reply(reply.data(), length, terminate == JNI_TRUE ? 1 : 0);
}

JNIEXPORT jint JNICALL Java_lathwork_test_SimProbe_journalCount(JNIEnv*, jclass) {
    return simctl_journal_count();
}

JNIEXPORT void JNICALL Java_lathwork_test_SimProbe_reset(JNIEnv*, jclass) {
    simctl_reset();
}

JNIEXPORT jstring JNICALL Java_lathwork_test_SimProbe_journalLine(JNIEnv* env, jclass, jint index) {
    const int length = simctl_journal_line(index, nullptr, 0);
    if (length < 0) {
        return nullptr;
    }
    // Journal lines are plain ASCII (texts appear as hex), so they are valid modified UTF-8.
    std::string line(static_cast<std::size_t>(length) + 1, '\0');
    simctl_journal_line(index, line.data(), length + 1);
    return env->NewStringUTF(line.c_str());
}

JNIEXPORT void JNICALL Java_lathwork_test_SimProbe_mark(JNIEnv* env, jclass, jstring text) {
    const char* chars = env->GetStringUTFChars(text, nullptr);
    if (chars == nullptr) {
        return;
    }
    // Same stream and buffer as the bridge's printf, and deliberately not flushed either.
    std::printf("-- %s\n", chars);
    env->ReleaseStringUTFChars(text, chars);
}

JNIEXPORT void JNICALL Java_lathwork_test_SimProbe_provokeJniWarning(JNIEnv* env, jclass clazz) {
    jmethodID count = env->GetStaticMethodID(clazz, "journalCount", "()I");
    if (count == nullptr) {
        return;
    }
    env->CallStaticIntMethod(clazz, count);
    // The call above may have thrown; going on without ExceptionCheck is the fault -Xcheck:jni
    // reports.
    jclass string = env->FindClass("java/lang/String");
    if (string != nullptr) {
        env->DeleteLocalRef(string);
    }
}

JNIEXPORT void JNICALL Java_lathwork_test_SimProbe_setRecording(JNIEnv*, jclass, jboolean on) {
    simctl_set_recording(on == JNI_TRUE ? 1 : 0);
}

JNIEXPORT jboolean JNICALL Java_lathwork_test_SimProbe_isLoaded(JNIEnv* env, jclass, jstring file) {
    const char* name = env->GetStringUTFChars(file, nullptr);
    if (name == nullptr) {
        return JNI_FALSE;
    }
    // Counted by the simulated libraries themselves, so a library in a host process counts too.
    const int loads = simctl_loaded(name);
    env->ReleaseStringUTFChars(file, name);
    return loads > 0 ? JNI_TRUE : JNI_FALSE;
}
