// The built bridge library, loaded as the JVM loads it and reached only through its fifteen
// exports by their plain names. Linking the bridge's objects into the tests would hide a wrong
// export name, a missing JNICALL or a symbol that the library fails to export.
#pragma once

#include "lathwork_Brenmoor.h"
#include "morlane_CallRecord.h"

#include <string>

namespace bridge {

struct Exports {
    decltype(&Java_lathwork_Brenmoor_start) start = nullptr;
    decltype(&Java_lathwork_Brenmoor_finish) finish = nullptr;
    decltype(&Java_lathwork_Brenmoor_cvStart) cvStart = nullptr;
    decltype(&Java_lathwork_Brenmoor_cvFinish) cvFinish = nullptr;
    decltype(&Java_lathwork_Brenmoor_open) open = nullptr;
    decltype(&Java_lathwork_Brenmoor_close) close = nullptr;
    decltype(&Java_lathwork_Brenmoor_runMode) runMode = nullptr;
    decltype(&Java_lathwork_Brenmoor_stopMode) stopMode = nullptr;
    decltype(&Java_lathwork_Brenmoor_downLoad) downLoad = nullptr;
    decltype(&Java_lathwork_Brenmoor_regWrite__IIII) regWriteValue = nullptr;
    decltype(&Java_lathwork_Brenmoor_regWrite__III_3II) regWriteBlock = nullptr;
    decltype(&Java_lathwork_Brenmoor_regRead__III_3II) regReadInto = nullptr;
    decltype(&Java_lathwork_Brenmoor_regRead__IIII) regReadNew = nullptr;
    decltype(&Java_lathwork_Brenmoor_cvPoke) cvPoke = nullptr;
    decltype(&Java_lathwork_Brenmoor_cvRequest) cvRequest = nullptr;
    // Whether each library is loaded, in process (1) or hosted (2).
    decltype(&Java_morlane_CallRecord_linkMode) linkMode = nullptr;
    decltype(&Java_morlane_CallRecord_corvaneMode) corvaneMode = nullptr;
    // The lines the calling thread's latest operation wrote.
    decltype(&Java_morlane_CallRecord_lastLines) lastLines = nullptr;
    // Why the latest start could not load the link library, or null.
    decltype(&Java_morlane_CallRecord_linkLoadFailure) linkLoadFailure = nullptr;
    // Texts in the ANSI code page on or off; the latest operation's kind of failure.
    decltype(&Java_morlane_CallRecord_ansiTexts0) ansiTexts = nullptr;
    decltype(&Java_morlane_CallRecord_lastFailureKind) lastFailureKind = nullptr;

    // Empty when the library loaded and every export was found; otherwise what went wrong.
    std::string error;
};

// Loads the library once per process: from $MORLANE_BRIDGE_LIBRARY if set, else from the path
// the build gave. The library is never unloaded, as a JVM never unloads it either.
const Exports& exports();

} // namespace bridge
