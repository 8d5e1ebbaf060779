// Parsed state files kept between calls of a process.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "internal.h"

namespace winsim {

// The state file `name` of the machine in `dir` as `parse` makes it, kept while the file stays
// the same: a state file is only ever replaced whole (by rename), so the same file identity,
// size and times mean the same contents, and a busy reader (the USB library walks the registry
// key by key) parses it once instead of once per call.
std::shared_ptr<const void> read_state_parsed(const std::string& dir, const std::string& name,
                                              const std::function<std::shared_ptr<const void>(const json&)>& parse);

}  // namespace winsim
