// DriverVer values: any two texts compare to 1, 0 or -1, the same either way round, or end with
// the one format error for their dates; an INF with any bytes compares equal to itself or ends
// with that error too.
#include <cstring>

#include "fuzz_machine.h"
#include "installer/printsys/VersionCompare.h"

namespace {

// The comparison of two values: the result, or 2 for the format error.
int Compare(WStrView a, WStrView b) {
  try {
    int r = CompareDriverVer(a, b);
    if (r < -1 || r > 1) fuzz::fail("a comparison result other than 1, 0 or -1");
    return r;
  } catch (const KelvaneError& e) {
    if (e.message().rfind(W_("Inf DriverVer Format Error: INF1<"), 0) != 0) fuzz::fail("another error than the format error");
    return 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::machine();
  // The input as UTF-16, split into the two values at its first line end.
  WStr text = fuzz::utf16(data, size);
  size_t nl = text.find(u'\n');
  WStr first = text.substr(0, nl), second = nl == WStr::npos ? WStr() : text.substr(nl + 1);
  int ab = Compare(first, second), ba = Compare(second, first);
  if (ab == 2 ? ba != 2 : ba != -ab) fuzz::fail("the comparison depends on the order of its values");
  if (Compare(first, first) == 1 || Compare(first, first) == -1) fuzz::fail("a value differs from itself");

  // The same bytes as an INF file, read through the profile reader.
  fuzz::put("Pkg/fuzz.inf", data, size);
  try {
    int r = InfCompareVersion(W_("C:\\Pkg\\fuzz.inf"), W_("C:\\Pkg\\fuzz.inf"));
    if (r != 0) fuzz::fail("an INF differs from itself");
  } catch (const KelvaneError&) {
  }
  return 0;
}
