// open, close, runMode, stopMode, downLoad.
#include "link/link_common.h"

#include "frame/java_text.h"

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
    call_link<Entry::Open>(Diag::OpenError, a, b, open_code(selector), d, e);
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_close(JNIEnv*, jclass, jint a) {
    call_link<Entry::Close>(Diag::CloseError, a);
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_runMode(JNIEnv*, jclass, jint a, jint b) {
    call_link<Entry::RunMode>(Diag::RunError, a, b);
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_stopMode(JNIEnv*, jclass, jint a, jint b) {
    call_link<Entry::StopMode>(Diag::StopError, a, b);
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_downLoad(JNIEnv* env, jclass, jint a, jint b,
                                                       jstring file) {
    perform<Entry::DownLoad>(link_slot(), [&](const EntryPoint<Entry::DownLoad>& entry_point) {
        const LibraryText name(env, file, entry_point.texts_page());
        if (name.c_str() == nullptr) {
            // A null name, no text from the host, or none in the code page: nothing to send.
            return entry_point.refuse(Diag::DownloadError);
        }
        return judge_link(entry_point.call(a, b, name.c_str()), Diag::DownloadError);
    });
}
