// Reading the simulated libraries' call journal (control/simctl.h), shared by every native test
// program: the GoogleTest suite, the fuzzer and the Windows stress test.
#pragma once

#include <string>

namespace simjournal {

// A text as the simulated libraries journal it: "x" and the lowercase hex of its bytes.
std::string hex(const std::string& bytes);

// Journal line `index`, whole, or "<none>" when there is no such line.
std::string line(int index);

} // namespace simjournal
