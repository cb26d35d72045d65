// cvPoke and cvRequest.
#include "corvane/corvane_api.h"

#include "frame/call.h"
#include "frame/jni_guards.h"

#include "lathwork_Brenmoor.h"

#include <cstring>

namespace morlane::corvane {
namespace {

// 1 is success, 0 means the application has stopped; every other value is the operation's own
// failure (`error`: a write or a read error).
Diag on_status(int status, Diag error) noexcept {
    switch (status) {
    case 1:
        return Diag::None;
    case 0:
        return Diag::CorvaneStopped;
    default:
        return error;
    }
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
    resolve_and_call<PokeFn>(corvane_slot(), "CVDA_Poke", [&](PokeFn fn) {
        // Each text is taken only once the one before it came: after a failed borrow the JVM
        // may hold a pending exception, and no further JNI call is allowed until it is seen.
        UtfChars t1(env, topic);
        if (t1.c_str() == nullptr) {
            return Diag::WriteError; // a null text, or none from the host: nothing is sent
        }
        UtfChars t2(env, item);
        if (t2.c_str() == nullptr) {
            return Diag::WriteError;
        }
        UtfChars t3(env, value);
        if (t3.c_str() == nullptr) {
            return Diag::WriteError;
        }
        return on_status(fn(t1.c_str(), t2.c_str(), t3.c_str()), Diag::WriteError);
    });
}

JNIEXPORT jstring JNICALL Java_lathwork_Brenmoor_cvRequest(JNIEnv* env, jclass, jstring topic,
                                                           jstring item) {
    // Both areas are the call's own, so concurrent requests share nothing in the bridge.
    // Not zero-filled: only the text up to its NUL is ever read, and clearing 4 KiB on every
    // request costs more than copying a short reply.
    char result[kReplyBytes];
    std::memcpy(result, "-1", 3);
    // Declared ahead of the call so the texts are given back only after the result string is made.
    UtfChars t1;
    UtfChars t2;
    resolve_and_call<RequestFn>(corvane_slot(), "CVDA_Request", [&](RequestFn fn) {
        t1 = UtfChars(env, topic);
        if (t1.c_str() != nullptr) {
            t2 = UtfChars(env, item);
        }
        if (t1.c_str() == nullptr || t2.c_str() == nullptr) {
            return Diag::ReadError;
        }
        // Cleared, so a library that reports success without writing hands Java an empty text
        // rather than old stack bytes.
        char reply[kReplyBytes] = {};
        const Diag outcome = on_status(fn(t1.c_str(), t2.c_str(), reply), Diag::ReadError);
        if (outcome != Diag::None) {
            return outcome;
        }
        // The library is given no size; never trust a reply past the area it was handed.
        const void* end = std::memchr(reply, '\0', kReplyBytes);
        if (end == nullptr) {
            return Diag::ReadError;
        }
        std::memcpy(result, reply, static_cast<const char*>(end) - reply + 1);
        return Diag::None;
    });
    // A text the host could not produce may have left an exception pending; no JNI call may be
    // made over it, and none may leave this method.
    clear_pending_exception(env);
    jstring string = env->NewStringUTF(result);
    clear_pending_exception(env);
    return string;
}
