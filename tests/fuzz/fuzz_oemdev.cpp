// The private devmode as the core driver UI may hand it in: any mode, any buffer size, any bytes
// in the input and output records. The plug-in must answer without reading or writing outside
// the 20-byte records and leave a valid record of ours wherever it reports one.
#include <cstring>

#include "fuzz_machine.h"
#include "plugin/oemui.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::machine();
  // Input: mode and whether an input record is given (1 byte), cbBufSize (1 byte), then up to
  // 20 bytes of input and 20 of output.
  if (size < 2) return 0;
  DWORD mode = (data[0] & 0x7F) % 7;
  bool hasInput = !(data[0] & 0x80);
  DWORD cbBufSize = data[1];
  data += 2;
  size -= 2;
  // Exactly-sized heap records, so that AddressSanitizer sees any access past them.
  auto* in = new OEMDEV;
  auto* out = new OEMDEV;
  std::memset(in, 0, sizeof *in);
  std::memset(out, 0, sizeof *out);
  std::memcpy(in, data, std::min(size, sizeof(OEMDEV)));
  if (size > sizeof(OEMDEV)) std::memcpy(out, data + sizeof(OEMDEV), std::min(size - sizeof(OEMDEV), sizeof(OEMDEV)));
  OEMDEV before = *out;
  OEMDMPARAM param{};
  param.cbSize = sizeof param;
  param.pOEMDMIn = hasInput ? in : nullptr;
  param.pOEMDMOut = out;
  param.cbBufSize = cbBufSize;
  HRESULT hr = hrOEMDevMode(mode, &param);
  if (hr == S_OK && (mode == OEMDM_DEFAULT || mode == OEMDM_MERGE)) {
    if (out->dmOEMExtra.dwSize != 20 || out->dmOEMExtra.dwSignature != OEM_SIGNATURE || out->dwDriverData > 100 ||
        out->dwAdvancedData > 100)
      fuzz::fail("an out-of-range private devmode reported as done");
  }
  if (hr != S_OK && std::memcmp(&before, out, sizeof before) != 0) fuzz::fail("a refused call wrote the record");
  delete in;
  delete out;
  return 0;
}
