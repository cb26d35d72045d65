// start / finish / cvStart / cvFinish: the only calls that change a slot.
#include "frame/diagnostics.h"
#include "frame/slots.h"

#include "lathwork_Brenmoor.h"

using namespace morlane;

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_start(JNIEnv*, jclass) {
    begin_call();
    link_slot().start();
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_finish(JNIEnv*, jclass) {
    begin_call();
    link_slot().finish();
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_cvStart(JNIEnv*, jclass) {
    begin_call();
    corvane_slot().start();
}

JNIEXPORT void JNICALL Java_lathwork_Brenmoor_cvFinish(JNIEnv*, jclass) {
    begin_call();
    corvane_slot().finish();
}
