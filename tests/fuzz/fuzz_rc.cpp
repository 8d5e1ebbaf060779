// The resource compiler: any .rc either compiles (to both outputs) or fails with its one error;
// the files it may name are the project's test resources, found through the search folder.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "rc_compiler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Kept past the static destructors, so that the clean-up at exit has it.
  static const std::string& dir = *new std::string([] {
    char tmpl[] = "/tmp/kelvane-rc-fuzz-XXXXXX";
    std::string d = ::mkdtemp(tmpl);
    std::atexit([] { std::filesystem::remove_all(dir); });
    return d;
  }());
  std::string rc = dir + "/in.rc";
  std::ofstream(rc, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  for (bool dump : {true, false}) {
    try {
      kelvane_rc::compile_rc(rc, {RC_SEARCH_DIR}, dump);
    } catch (const kelvane_rc::Failure&) {
      break;
    }
  }
  return 0;
}
