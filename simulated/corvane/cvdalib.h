// Simulated Corvane data-access library "CVDAlib.dll": stands in for the library and for the
// Corvane application behind it with a table of texts.
//
// The table maps topic + item to a value of at most 4095 bytes (texts are bytes up to their NUL;
// empty topics, items and values are allowed). It is empty when the library is loaded.
//   CVDA_Poke(topic, item, value)      stores value under topic + item, replacing an older one.
//   CVDA_Request(topic, item, reply)   copies the value and its NUL into reply (4096 bytes); an
//                                      unknown item fails with CVDA_E_UNKNOWN and leaves reply
//                                      alone, as does every other failure.
//
// Application state: the simulated application runs when the library is loaded. Topic "sim",
// item "state" is reserved for it:
//   poke "sim" "state" "stopped"   stops it (returns CVDA_OK);
//   poke "sim" "state" "running"   starts it again (returns CVDA_OK, also while stopped);
//   poke "sim" "state" other       fails with CVDA_E_ARGUMENT;
//   request "sim" "state"          replies "running".
// While stopped, every other call returns CVDA_STOPPED and does nothing. The state lives in this
// library, so unloading it also restarts the application.
//
// Test control (control/simctl.h): every call is journaled first, then crashes or sleeps when
// simctl_script_crash or simctl_set_delay asked for it (before taking the lock). A reply scripted
// with simctl_script_reply is taken by the next CVDA_Request (with a non-null reply area) in place
// of the table lookup and the state check, and the request then succeeds. Each entry point returns
// simctl_take_status("<entry name>", its own status), so a scripted status replaces the value
// returned but not the work done (a scripted 0 after a successful request still leaves the reply
// in the area).
//
// Thread safety: calls may come from any thread; one lock guards the table and the state.
#ifndef MORLANE_SIM_CVDALIB_H
#define MORLANE_SIM_CVDALIB_H

#if defined(_WIN32)
#include <windows.h>
#define CVDA_API __declspec(dllexport)
#else
#ifndef WINAPI
#define WINAPI
#endif
#define CVDA_API __attribute__((visibility("default")))
#endif

#define CVDA_STOPPED 0    // the application is stopped
#define CVDA_OK 1         // success
#define CVDA_E_UNKNOWN 2  // request of an item that was never poked
#define CVDA_E_TOO_LONG 3 // poke of a value longer than CVDA_VALUE_MAX bytes
#define CVDA_E_ARGUMENT 4 // a null pointer, or an unknown "sim" "state" value
#define CVDA_E_REPLAY 5   // not the call recorded in the journal being replayed (simctl.h)

#define CVDA_REPLY_SIZE 4096
#define CVDA_VALUE_MAX (CVDA_REPLY_SIZE - 1)

#ifdef __cplusplus
extern "C" {
#endif

CVDA_API int WINAPI CVDA_Poke(const char* topic, const char* item, const char* value);
CVDA_API int WINAPI CVDA_Request(const char* topic, const char* item, char* reply);

#ifdef __cplusplus
}
#endif

#endif
