// start / finish / cvStart / cvFinish: the only calls that change a slot.
#include "frame/diagnostics.h"
#include "frame/jni_guards.h"
#include "frame/slots.h"

#include "lathwork_Brenmoor.h"

#include <cstdio>

using namespace morlane;

namespace {

// A bridge that the jar's loader copied into a cache folder may find its host program gone from
// there: a cleaner took the folder while the program ran. After a failed start the loader
// (morlane.NativeLoader) looks, and puts missing files back when it can. True when it did;
// otherwise `why` holds its reason, or is empty when nothing was missing or the bridge did not
// come from the jar. A plain caller sees nothing of it: whatever the call leaves pending is
// cleared.
bool restore_cache(JNIEnv* env, char* why, std::size_t size) noexcept {
    why[0] = '\0';
    jclass loader = env->FindClass("morlane/NativeLoader");
    jmethodID restore =
        loader == nullptr ? nullptr
                          : env->GetStaticMethodID(loader, "restoreCache", "()Ljava/lang/String;");
    jobject said = restore == nullptr ? nullptr : env->CallStaticObjectMethod(loader, restore);
    // Pending only for a program of its own without the loader, or with no memory left.
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
    }
    bool restored = false;
    if (said != nullptr) {
        if (const UtfChars text(env, static_cast<jstring>(said)); text.c_str() != nullptr) {
            restored = text.c_str()[0] == '\0';
            std::snprintf(why, size, "%s", text.c_str());
        } else {
            env->ExceptionClear(); // no memory for its text
        }
        env->DeleteLocalRef(said);
    }
    if (loader != nullptr) {
        env->DeleteLocalRef(loader);
    }
    return restored;
}

void start(JNIEnv* env, LibrarySlot& slot) noexcept {
    if (slot.start()) {
        return;
    }
    char why[LoadError::kTextBytes];
    if (restore_cache(env, why, sizeof why)) {
        slot.start();
    } else if (why[0] != '\0') {
        slot.explain_failure(why);
    }
}

} // namespace

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_start(JNIEnv* env, jclass) {
    begin_call();
    start(env, link_slot());
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_finish(JNIEnv*, jclass) {
    begin_call();
    link_slot().finish();
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_cvStart(JNIEnv* env, jclass) {
    begin_call();
    start(env, corvane_slot());
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_cvFinish(JNIEnv*, jclass) {
    begin_call();
    corvane_slot().finish();
}
