// start / finish / cvStart / cvFinish: the only calls that change a slot.
#include "frame/slots.h"

#include "lathwork_Brenmoor.h"

using morlane::corvane_slot;
using morlane::link_slot;

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_start(JNIEnv*, jclass) {
    link_slot().start();
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_finish(JNIEnv*, jclass) {
    link_slot().finish();
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_cvStart(JNIEnv*, jclass) {
    corvane_slot().start();
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_cvFinish(JNIEnv*, jclass) {
    corvane_slot().finish();
}
