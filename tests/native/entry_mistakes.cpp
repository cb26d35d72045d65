// Mistakes one can make in adding an entry point, each of which must stop the build; built by
// entry_mistakes.cmake once per MISTAKE, with the bridge's own warnings. MISTAKE 0 is the same
// code done right, so a failure there means the check itself is broken.
#include "common/entries.h"
#include "entry/invoke.h"
#include "lathwork_Brenmoor.h"

using morlane::Entry;
using morlane::make_call;

#if MISTAKE == 2
// An export whose Java native was forgotten, or declared with other parameters.
JNIEXPORT void JNICALL Java_lathwork_Brenmoor_closeAll(JNIEnv*, jclass, jint) {}
#elif MISTAKE == 4
// A stand-in of another type than its entry point's.
extern "C" int WINAPI CVDLLRZ_Close(std::int32_t, std::int32_t) {
    return 0;
}
#endif

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_close(JNIEnv*, jclass, jint a) {
#if MISTAKE == 1
    // A Java long handed on where the library takes 32 bits.
    const jlong wide = a;
    (void)make_call<Entry::Close>(wide);
#elif MISTAKE == 3
    // One integer too many.
    (void)make_call<Entry::Close>(a, a);
#elif MISTAKE == 5
    // Words where the library writes them, given as read-only.
    const morlane::Word word = 0;
    (void)make_call<Entry::RegRead>(a, a, a, &word, 1);
#else
    morlane::Word word = 0;
    (void)make_call<Entry::Close>(a);
    (void)make_call<Entry::RegWrite>(a, a, a, &word, 1);
#endif
}
