// What a stand-in says about itself and the process it runs in, for a check run on a user's
// machine; and fault scripting reached through the data-access library alone. Internal to the
// simulated libraries.
//
// Requests of topic "sim" that the Corvane stand-in answers (each reply is "ok" unless said):
//   self                       key=value lines about this process: "stand-in" (the identity
//                              below), "file", "pid", "ppid", "threads" (the process's thread
//                              count), "thread" (the calling thread, as item "thread" gives it),
//                              "path" (this library's own file), "companion" (simctl's file); on
//                              Windows also "job", "elevated", "virtualized",
//                              "acp" (the ANSI code page) and "manifest" (the program's
//                              requestedExecutionLevel, or "none")
//   script:delay:<entry>:<ms>  simctl_set_delay
//   script:crash:<entry>       simctl_script_crash
//   script:status:<entry>:<n>  simctl_script_status
//   script:recording:<0|1>     simctl_set_recording
// Through a shared state file (MORLANE_SIMCTL_STATE) the scripts reach the PLC link stand-in in
// whatever process it runs.
//
// When it is loaded with MORLANE_SIMCTL_STATE set, each stand-in built with this file appends
// one line to "<that file>.stand-ins", its fields separated by tabs: the identity, its file name,
// the process id, its own path and simctl's path; so that a check can
// tell the release's stand-ins (and which file of them each process loaded) from any other
// library of the same name before it writes anything. The lacking-* variants carry none of this.
#ifndef MORLANE_SIM_SELF_REPORT_H
#define MORLANE_SIM_SELF_REPORT_H

#define MORLANE_STAND_IN_IDENTITY "morlane-stand-in/1"

namespace sim {

// Answers a request above into reply (CVDA_REPLY_SIZE bytes); false for any other item.
bool self_report(const char* topic, const char* item, char* reply);

} // namespace sim

#endif
