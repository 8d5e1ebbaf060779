// The resource compiler of kelvane-rc, as a library so that its fuzz target drives the same code.
#pragma once

#include <string>
#include <vector>

namespace kelvane_rc {

// A compile error: "file:line: what is wrong".
struct Failure {
  std::string message;
};

// Compiles the .rc file `rc`, finding the files it names beside it or in `search`. Returns the
// C++ resource table, or with `dump` one line per resource (type name lang hex). Throws Failure.
std::string compile_rc(const std::string& rc, const std::vector<std::string>& search, bool dump);

}  // namespace kelvane_rc
