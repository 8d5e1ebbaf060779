// What comes back from the printer: a settings reply of any length with any reported byte
// count, and a stored printer-data value of any bytes. Neither may be read past its buffer.
#include <cstring>
#include <string>

#include "fuzz_machine.h"
#include "plugin/MyUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::machine();
  if (size < 1) return 0;
  // The count the library reports, believed or not: a signed byte scaled to reach past 32.
  int reported = static_cast<int8_t>(data[0]) * 3;
  auto* reply = new BYTE[32];
  std::memset(reply, 0, 32);
  std::memcpy(reply, data + 1, std::min<size_t>(size - 1, 32));
  WStr text = MyReplyText(reply, reported);
  if (text.size() > 4095) fuzz::fail("a reply line longer than its buffer");
  delete[] reply;
  // The same bytes as a stored value of exactly their own size.
  auto* stored = new BYTE[size];
  std::memcpy(stored, data, size);
  INT v = MyStoredNumber(stored, static_cast<DWORD>(size));
  (void)v;
  delete[] stored;
  return 0;
}
