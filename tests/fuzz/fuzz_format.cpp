// Format strings as a hostile language file could hold them, against every kind of argument.
#include "debuglog/DebugLog.h"
#include "fuzz_machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::machine();
  WStr fmt = fuzz::utf16(data, size);
  const TVarRec args[] = {W_("text"), 42, static_cast<long long>(-7), 2.5, W_(""), 4096};
  try {
    WStr out = Format(fmt, args, 6);
    // Each directive adds at most one bounded field.
    if (out.size() > fmt.size() * (4096 + 64)) fuzz::fail("a format that grew past its bounds");
  } catch (const KelvaneError&) {
  }
  return 0;
}
