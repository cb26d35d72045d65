// cvPoke and cvRequest.

#include "frame/call.h"
#include "frame/java_text.h"
#include "frame/jni_guards.h"

#include "lathwork_Brenmoor.h"

#include <cstring>

namespace morlane::corvane {
namespace {

// 1 is success, 0 means the application has stopped; every other value, and a call that could not
// be made, is the operation's own failure (`error`: a write or a read error).
Diag judge_data(const Outcome& outcome, Diag error) noexcept {
    return judge(outcome, error, [error](int status) {
        switch (status) {
        case 1:
            return Diag::None;
        case 0:
            return Diag::CorvaneStopped;
        default:
            return error;
        }
    });
}

// Reports and clears an exception the JVM holds, so that cvRequest never lets one escape.
void clear_pending_exception(JNIEnv* env) noexcept {
    if (jthrowable pending = env->ExceptionOccurred()) {
        report(Diag::ExceptionOccurred);
        env->ExceptionClear();
        env->DeleteLocalRef(pending);
    }
}

} // namespace
} // namespace morlane::corvane

using namespace morlane;
using namespace morlane::corvane;

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_cvPoke(JNIEnv* env, jclass, jstring topic,
                                                     jstring item, jstring value) {
    perform<Entry::Poke>(corvane_slot(), [&](const EntryPoint<Entry::Poke>& entry_point) {
        // Each text is taken only once the one before it came: after a failed borrow the JVM
        // may hold a pending exception, and no further JNI call is allowed until it is seen.
        // A null text, none from the host, or none in the code page sends nothing.
        const unsigned page = entry_point.texts_page();
        const LibraryText t1(env, topic, page);
        if (t1.c_str() == nullptr) {
            return entry_point.refuse(Diag::WriteError);
        }
        const LibraryText t2(env, item, page);
        if (t2.c_str() == nullptr) {
            return entry_point.refuse(Diag::WriteError);
        }
        const LibraryText t3(env, value, page);
        if (t3.c_str() == nullptr) {
            return entry_point.refuse(Diag::WriteError);
        }
        return judge_data(entry_point.call(t1.c_str(), t2.c_str(), t3.c_str()), Diag::WriteError);
    });
}

JNIEXPORT jstring JNICALL Java_lathwork_Brenmoor_cvRequest(JNIEnv* env, jclass, jstring topic,
                                                           jstring item) {
    // The reply area is the call's own, so concurrent requests share nothing in the bridge.
    char reply[kReplyBytes];
    static_assert(kReplyBytes <= kMostJavaTextBytes, "java_string takes a whole reply");
    bool replied = false;
    bool texts_failed = false;
    unsigned code_page = 0;
    unsigned texts_page = 0;
    // Declared ahead of the call so the texts are given back only after the result string is made.
    LibraryText t1;
    LibraryText t2;
    perform<Entry::Request>(corvane_slot(), [&](const EntryPoint<Entry::Request>& entry_point) {
        texts_page = entry_point.texts_page();
        t1 = LibraryText(env, topic, texts_page);
        if (t1.c_str() != nullptr) {
            t2 = LibraryText(env, item, texts_page);
        }
        if (t1.c_str() == nullptr || t2.c_str() == nullptr) {
            texts_failed = true;
            return entry_point.refuse(Diag::ReadError);
        }
        // A library that reports success without writing must hand Java an empty text rather
        // than old stack bytes; clearing the first byte is enough for that, since the reply is
        // read only up to its first NUL, and that NUL must lie inside the area.
        reply[0] = '\0';
        const Diag outcome =
            judge_data(entry_point.call(t1.c_str(), t2.c_str(), &reply[0]), Diag::ReadError);
        if (outcome != Diag::None) {
            return outcome;
        }
        // The library is given no size; never trust a reply past the area it was handed.
        if (std::memchr(reply, '\0', kReplyBytes) == nullptr) {
            note_failure(Failure::Library);
            return Diag::ReadError;
        }
        replied = true;
        code_page = entry_point.text_code_page();
        return Diag::None;
    });
    // Only a failed JNI call leaves an exception pending: a text the host could not produce, or
    // the result string. No JNI call may be made over it, and none may leave this method; a
    // successful request asks the JVM nothing more.
    if (texts_failed) {
        clear_pending_exception(env);
    }
    jstring string = !replied          ? java_string(env, "-1")
                     : texts_page != 0 ? java_string_in(env, reply, texts_page)
                                       : java_string(env, reply, code_page);
    if (string == nullptr) {
        clear_pending_exception(env);
    }
    return string;
}
