// Counts the loads of a simulated library in simctl (simctl_loaded), so that a test can see whether
// the library is mapped even when it lives in another process. Internal to the simulated libraries.
#ifndef MORLANE_SIM_LOAD_COUNT_H
#define MORLANE_SIM_LOAD_COUNT_H

#include "control/simctl.h"

namespace sim {

// One static instance per library: its constructor runs when the library is loaded, its
// destructor when the library is unloaded.
class LoadCount {
  public:
    explicit LoadCount(const char* file) : file_(file) { simctl_count_load(file_, 1); }
    ~LoadCount() { simctl_count_load(file_, -1); }
    LoadCount(const LoadCount&) = delete;
    LoadCount& operator=(const LoadCount&) = delete;

  private:
    const char* file_;
};

} // namespace sim

#endif
