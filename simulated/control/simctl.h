// Test control for the simulated outside libraries: a journal of every call they receive, a
// script of the statuses and replies they are to return, of delays and crashes, a count of their
// loads, and the simulated PLCs themselves. It lives in a library of its own so that its state
// outlasts the simulated libraries being unloaded and loaded again.
//
// Journal line format: the entry name, then each argument in order, separated by single spaces.
//   integer       decimal, e.g. -1
//   text          "x" and the lowercase hex of its bytes up to the NUL ("x" alone when empty,
//                 "null" for a null pointer); "Aé" in modified UTF-8 is x41c3a9
//   words read    "[w0,w1,...]" with count decimal values 0..65535; "[]" for count 0; "[?]" when
//                 count < 0, count > 65536 or the pointer is null (the words are not read then)
//   output area   "*" (a RegRead buffer, a Request reply area)
// Examples:
//   CVDLLRZ_Open 1 2 110 4 5
//   CVDLLRZ_DownLoad 1 0 x70726f672e6d6f74
//   CVDLLRZ_RegWrite 0 0 100 [65535,1] 2
//   CVDLLRZ_RegRead 0 0 100 * 3
//   CVDA_Poke x74 x69 x76
//   CVDA_Request x74 x69 *
// A simulated entry point records its line first, before it looks at its arguments, so every call
// is journaled whatever it returns. Then it calls simctl_enter, which carries out a scripted crash
// or delay, and only then does its work.
//
// Scripted statuses: an entry point does its work as usual and then returns
// simctl_take_status(its name, its own status), so a scripted status replaces only the value
// returned, never the behaviour.
//
// Replay: with MORLANE_REPLAY naming a journal that morlane wrote (MORLANE_JOURNAL; format in
// morlane's docs/journal.md), a regular file (anything else is refused on stderr), each call
// returns what the earliest recorded call of its entry point with the same arguments that no call
// took yet got: the status, a RegRead's words, a Request's reply, in place of its own or a scripted
// one. A call no recorded call is left for returns CVDLLRZ_E_REPLAY or CVDA_E_REPLAY instead, is
// followed in the journal by a line "! replay: ..." saying so, and the same line goes to stderr.
// The file is read once (lines over 32 MiB skipped, at most 1 Mi calls); which recorded calls were
// taken lives in the state, so that a shared state file carries it across host processes;
// simctl_reset rewinds.
//
// Where the state lives: without MORLANE_SIMCTL_STATE in the environment, in private memory of the
// process, as long as simctl stays loaded. With MORLANE_SIMCTL_STATE naming a file, all of it
// (journal, scripts, delays, crashes, load counts, the simulated PLCs) lives in that file, mapped
// shared, so that every process naming the same file sees one state, i386 and x86-64 alike: a
// JVM's test probe and a host process serving the simulated libraries to it, for instance. An
// empty or new file is set up by the first process to map it; a file holding anything else is
// reported on stderr and left alone, and the state stays private. The variable is read once, on
// the first call.
//
// Bounds: the journal keeps SIMCTL_JOURNAL_LIMIT lines and 16 MiB of line text, whichever fills
// first; up to 32 entry names can carry scripts, each with up to 256 queued statuses; up to 64
// replies can be queued. A script beyond these bounds is reported on stderr and ignored.
//
// All functions are thread-safe, and process-safe on a shared state file. The lock on it is taken
// over from a process that died holding it.
#ifndef MORLANE_SIMCTL_H
#define MORLANE_SIMCTL_H

#if defined(_WIN32)
#if defined(SIMCTL_BUILD)
#define SIMCTL_API __declspec(dllexport)
#else
#define SIMCTL_API __declspec(dllimport)
#endif
#else
#define SIMCTL_API __attribute__((visibility("default")))
#endif

#define SIMCTL_REPLY_SIZE 4096
#define SIMCTL_JOURNAL_LIMIT 10000

#ifdef __cplusplus
extern "C" {
#endif

// Appends one line (without newline) while recording is on. Once the journal holds
// SIMCTL_JOURNAL_LIMIT lines, or its line text is full, further lines are dropped and counted.
SIMCTL_API void simctl_record(const char* line);
// Non-zero while recording is on (the default); lets a caller skip formatting a line.
SIMCTL_API int simctl_recording(void);
SIMCTL_API void simctl_set_recording(int on);
SIMCTL_API int simctl_journal_count(void);
SIMCTL_API int simctl_journal_dropped(void);
// Copies line `index` into buf (truncated to cap - 1 bytes, always NUL-terminated when cap > 0) and
// returns the line's full length, or -1 when there is no such line.
SIMCTL_API int simctl_journal_line(int index, char* buf, int cap);

// Queues `status` for the next call of `entry` (e.g. "CVDLLRZ_Open"); several queued statuses are
// returned by successive calls, first in first out.
SIMCTL_API void simctl_script_status(const char* entry, int status);
// Removes and returns the next status queued for `entry`, or own_status when none is queued.
SIMCTL_API int simctl_take_status(const char* entry, int own_status);

// Queues a reply for the next CVDA_Request: exactly len bytes (0..4096), followed by a NUL when
// terminate is non-zero (then len must be at most 4095). The request writes them into its reply
// area instead of looking the item up, and succeeds (unless a status is scripted), even while the
// simulated application is stopped. Replies queue first in first out. An invalid script is
// reported on stderr and ignored.
SIMCTL_API void simctl_script_reply(const char* bytes, int len, int terminate);
// Takes the next queued reply into area (SIMCTL_REPLY_SIZE bytes) and returns 1, or returns 0 and
// leaves area alone when none is queued.
SIMCTL_API int simctl_take_reply(char* area);

// Every later call of `entry` sleeps `milliseconds` after journaling, before its work and outside
// any lock of the simulated library, until the delay is set to 0 (or below) or reset.
SIMCTL_API void simctl_set_delay(const char* entry, int milliseconds);
// The next call of `entry` journals and then crashes its process (SIGSEGV with the default action
// on POSIX, termination with an access-violation exit code on Windows). The script is used up
// before the crash, so a process that takes over the calls afterwards does not crash too.
SIMCTL_API void simctl_script_crash(const char* entry);
// Scripts a fault for the next `calls` calls of `entry`, or for every call from now on when
// calls is 0, until cleared or reset:
//   SIMCTL_FAULT_STATUS  the call returns `value` in place of its own status (queued statuses
//                        first: a status for N calls queues N of them)
//   SIMCTL_FAULT_DELAY   the call sleeps `value` milliseconds, as with simctl_set_delay
//   SIMCTL_FAULT_CRASH   the call crashes its process, as with simctl_script_crash
// A new delay or crash replaces the entry's old one. Returns 0, or -1 for a script it cannot
// keep (reported on stderr).
#define SIMCTL_FAULT_STATUS 1
#define SIMCTL_FAULT_DELAY 2
#define SIMCTL_FAULT_CRASH 3
SIMCTL_API int simctl_script_fault(const char* entry, int kind, int value, int calls);
// Clears the queued and lasting statuses, the delay and the crash scripted for `entry`.
SIMCTL_API void simctl_clear_faults(const char* entry);
// Called by each simulated entry point right after journaling: crashes or sleeps as scripted for
// `entry`, otherwise returns at once.
SIMCTL_API void simctl_enter(const char* entry);

// How many loads of the simulated library `file` ("CVDLL1RZ1.dll", "CVDAlib.dll") are mapped now,
// summed over every process that shares this state and still runs. Each simulated library counts
// itself with simctl_count_load when it is loaded (1) and when it is unloaded (-1); a library that
// went down with a crashed process stops counting then.
SIMCTL_API int simctl_loaded(const char* file);
SIMCTL_API int simctl_count_load(const char* file, int delta);

// The simulated PLCs (plc/cvdll1rz1.h), for a tool that watches or drives them from outside, in
// this process or, through a shared state file, in any other. Each call takes the link's own lock,
// so it sees a call of the PLC link library on that link either whole or not at all. The PLCs are
// reset (links closed, registers 0) when the first load of "CVDLL1RZ1.dll" appears among the
// processes sharing the state; until then they keep what the last one left.
// The state of `link` (0..7); any pointer may be null. Returns 0, or non-zero for no such link.
SIMCTL_API int simctl_plc_link(int link, int* open, int* unit, int* protocol, int* running);
// Copies the file name of the link's last successful DownLoad into buf (truncated to cap - 1
// bytes, always NUL-terminated when cap > 0) and returns its full length (0 when there was none),
// or -1 for no such link.
SIMCTL_API int simctl_plc_download(int link, char* buf, int cap);
// Copies registers first..first+count-1 of `area` (0 data, 1 link registers) into out. Returns 0,
// or non-zero, copying nothing, when any of them does not exist or out is null.
SIMCTL_API int simctl_plc_registers(int link, int area, int first, int count, unsigned short* out);
// Sets one register to value (0..65535). Returns 0, or non-zero, changing nothing, when the
// register does not exist or the value is out of range.
SIMCTL_API int simctl_plc_set_register(int link, int area, int address, int value);

// Replays the journal `path` from now on in this process, as MORLANE_REPLAY does from the start
// (nullptr ends the replay here), from its first call on. Returns 0, or -1 when it cannot be read.
SIMCTL_API int simctl_start_replay(const char* path);
// Non-zero while MORLANE_REPLAY or simctl_start_replay names a journal that could be read.
SIMCTL_API int simctl_replaying(void);
// Looks up the call of this journal line in the recording, for the simulated entry point to return
// from simctl_take_status, with `area` (area_size bytes) filled as recorded. No-op unless
// replaying.
SIMCTL_API void simctl_replay(const char* line, void* area, int area_size);

// Clears the journal, the dropped count, scripted statuses, replies, delays and crashes, rewinds a
// replay, and turns recording on. Load counts and the PLCs are left alone: they belong to the
// simulated libraries.
SIMCTL_API void simctl_reset(void);

#ifdef __cplusplus
}
#endif

#endif
