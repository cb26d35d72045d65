// Simulated PLC link library "CVDLL1RZ1.dll": a small PLC behind each of eight links, so that the
// bridge can be driven and tested without hardware.
//
// Links and PLCs
//   link      0..7, one communication link each, closed when the library is loaded. Each link
//             reaches one PLC, and that PLC's state (mode, last download, registers) belongs to
//             the link.
//   unit      station number of the PLC on the link, 0..31. Open fixes it; RunMode, StopMode and
//             DownLoad must name the same unit.
//   protocol  101, 110 or 111 (the three codes the bridge's open selector produces); any other
//             value fails with CVDLLRZ_E_PROTOCOL.
//   timeout   reply timeout in milliseconds, >= 0; retries: repeat count, >= 0. Both are only
//             checked and kept: the simulation never times out.
// A PLC is in stop mode when its link is opened. RunMode and StopMode succeed also when the PLC
// is already in that mode. DownLoad needs stop mode and a file name of 1..259 bytes; it keeps the
// name and changes nothing else.
//
// Register memory, per PLC, all words 0 when the library is loaded and kept across close and open:
//   area 0    data registers 0..8191
//   area 1    link registers 0..4095
// RegWrite and RegRead need an open link (in either mode). Count 0 succeeds and touches neither
// the memory nor the buffer. A transfer that runs outside the area fails with CVDLLRZ_E_RANGE: a
// write then changes nothing, a read still copies the words that lie inside the area to their
// places in the buffer and leaves the other buffer words unwritten.
//
// Status: 0 is success, any other value is failure (see CVDLLRZ_E_*). Checks run in the order
// link number, link state, then the call's own arguments; the first that fails gives the status.
//
// Test control (control/simctl.h): every entry point first journals its call, then crashes or
// sleeps when simctl_script_crash or simctl_set_delay asked for it (before taking its link's lock),
// then does its work, then returns simctl_take_status("<entry name>", its own status), so a
// scripted status replaces the value returned but not the work done.
//
// Where the PLCs live: in simctl's state, so that simctl_plc_link, simctl_plc_download,
// simctl_plc_registers and simctl_plc_set_register can watch and set them from outside, from
// another process too when MORLANE_SIMCTL_STATE names a shared state file. simctl resets them
// (every link closed, every register 0) when the first load of this library appears among the
// processes sharing that state, so each load that is not overlapped by another one starts as
// described above; a load that overlaps another one, in the same process or another, finds the
// PLCs as the other left them.
//
// Thread safety: each link has its own lock, so calls on different links do not contend, and a
// scripted delay sleeps before the lock is taken. The lock is shared by every process using the
// same state file.
#ifndef MORLANE_SIM_CVDLL1RZ1_H
#define MORLANE_SIM_CVDLL1RZ1_H

#if defined(_WIN32)
#include <windows.h>
#define CVDLLRZ_API __declspec(dllexport)
#else
#ifndef WINAPI
#define WINAPI
#endif
#define CVDLLRZ_API __attribute__((visibility("default")))
#endif

#define CVDLLRZ_OK 0
#define CVDLLRZ_E_LINK 1         // link number outside 0..7
#define CVDLLRZ_E_NOT_OPEN 2     // link not open
#define CVDLLRZ_E_ALREADY_OPEN 3 // Open of an open link
#define CVDLLRZ_E_PROTOCOL 4     // protocol not 101, 110 or 111
#define CVDLLRZ_E_ARGUMENT 5     // unit, timeout, retries, file name, count or pointer invalid
#define CVDLLRZ_E_UNIT 6         // unit other than the one the link was opened for
#define CVDLLRZ_E_RUNNING 7      // DownLoad while the PLC is in run mode
#define CVDLLRZ_E_AREA 8         // register area other than 0 and 1
#define CVDLLRZ_E_RANGE 9        // transfer runs outside the area's registers
#define CVDLLRZ_E_REPLAY 10      // not the call recorded in the journal being replayed (simctl.h)

#define CVDLLRZ_LINKS 8
#define CVDLLRZ_UNITS 32
#define CVDLLRZ_DATA_REGISTERS 8192
#define CVDLLRZ_LINK_REGISTERS 4096

#ifdef __cplusplus
extern "C" {
#endif

CVDLLRZ_API int WINAPI CVDLLRZ_Open(int link, int unit, int protocol, int timeout, int retries);
CVDLLRZ_API int WINAPI CVDLLRZ_Close(int link);
CVDLLRZ_API int WINAPI CVDLLRZ_RunMode(int link, int unit);
CVDLLRZ_API int WINAPI CVDLLRZ_StopMode(int link, int unit);
CVDLLRZ_API int WINAPI CVDLLRZ_DownLoad(int link, int unit, const char* file);
// Writes count words from words to registers address.. of area.
CVDLLRZ_API int WINAPI CVDLLRZ_RegWrite(int link, int area, int address,
                                        const unsigned short* words, int count);
// Reads registers address.. of area into the first count words of words.
CVDLLRZ_API int WINAPI CVDLLRZ_RegRead(int link, int area, int address, unsigned short* words,
                                       int count);

#ifdef __cplusplus
}
#endif

#endif
