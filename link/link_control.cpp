// open, close, runMode, stopMode, downLoad.
#include "link/link_api.h"
#include "link/link_common.h"

#include "frame/jni_guards.h"

#include "lathwork_Brenmoor.h"

namespace morlane::link {
namespace {

// The Java side speaks of selectors 0, 1 and 2; the library wants its own codes. The table is
// deliberately not monotonic (2 -> 101), and any other value is taken to be a library code.
int open_code(jint selector) noexcept {
    switch (selector) {
    case 0:
        return 110;
    case 1:
        return 111;
    case 2:
        return 101;
    default:
        return selector;
    }
}

} // namespace
} // namespace morlane::link

using namespace morlane;
using namespace morlane::link;

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_open(JNIEnv*, jclass, jint a, jint b, jint selector,
                                                   jint d, jint e) {
    call_link<OpenFn>("CVDLLRZ_Open", [&](OpenFn fn) {
        return on_failure(fn(a, b, open_code(selector), d, e), Diag::OpenError);
    });
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_close(JNIEnv*, jclass, jint a) {
    call_link<CloseFn>("CVDLLRZ_Close",
                       [&](CloseFn fn) { return on_failure(fn(a), Diag::CloseError); });
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_runMode(JNIEnv*, jclass, jint a, jint b) {
    call_link<RunModeFn>("CVDLLRZ_RunMode",
                         [&](RunModeFn fn) { return on_failure(fn(a, b), Diag::RunError); });
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_stopMode(JNIEnv*, jclass, jint a, jint b) {
    call_link<StopModeFn>("CVDLLRZ_StopMode",
                          [&](StopModeFn fn) { return on_failure(fn(a, b), Diag::StopError); });
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_downLoad(JNIEnv* env, jclass, jint a, jint b,
                                                       jstring file) {
    call_link<DownLoadFn>("CVDLLRZ_DownLoad", [&](DownLoadFn fn) {
        UtfChars name(env, file);
        if (name.c_str() == nullptr) {
            return Diag::DownloadError; // null name, or no text from the host: nothing to send
        }
        return on_failure(fn(a, b, name.c_str()), Diag::DownloadError);
    });
}
