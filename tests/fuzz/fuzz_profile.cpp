// Profile files: any bytes, read every way the API offers (listings, values, sections, integers,
// the ANSI entry), then written and read back. A value written must be the value read.
#include <vector>

#include "fuzz_machine.h"
#include "win32/profile.h"

namespace {

const WCHAR* kFile = W_("C:\\Pkg\\fuzz.ini");

std::vector<WStr> names(const WCHAR* section) {
  static std::vector<WCHAR> buf(70000);
  DWORD n = GetPrivateProfileStringW(section, nullptr, nullptr, buf.data(), static_cast<DWORD>(buf.size()), kFile);
  if (n >= buf.size()) fuzz::fail("a listing longer than its buffer");
  std::vector<WStr> out;
  for (size_t at = 0; at < n;) {
    WStr name(buf.data() + at);
    at += name.size() + 1;
    out.push_back(name);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::machine();
  fuzz::put("Pkg/fuzz.ini", data, size);
  static std::vector<WCHAR> buf(4096);
  size_t reads = 0;
  for (const WStr& section : names(nullptr)) {
    for (const WStr& key : names(section.c_str())) {
      if (++reads > 200) break;  // enough of a huge file
      DWORD n = GetPrivateProfileStringW(section.c_str(), key.c_str(), W_("d"), buf.data(), 4096, kFile);
      if (n >= 4096 || buf[n] != 0) fuzz::fail("a value not terminated inside its buffer");
      GetPrivateProfileStringW(section.c_str(), key.c_str(), W_("d"), buf.data(), 2, kFile);  // cut short
      GetPrivateProfileIntW(section.c_str(), key.c_str(), 7, kFile);
    }
    GetPrivateProfileSectionW(section.c_str(), buf.data(), 4096, kFile);
  }
  char abuf[512];
  GetPrivateProfileStringA("Resource", "Item", "", abuf, sizeof abuf, "C:\\Pkg\\fuzz.ini");
  GetPrivateProfileStringA(nullptr, nullptr, nullptr, abuf, sizeof abuf, "C:\\Pkg\\fuzz.ini");

  // The writer keeps the file's encoding and the other lines, and what it wrote reads back.
  if (!WritePrivateProfileStringW(W_("FuzzSection"), W_("FuzzKey"), W_("written"), kFile))
    fuzz::fail("a write to an existing file failed");
  DWORD n = GetPrivateProfileStringW(W_("FuzzSection"), W_("FuzzKey"), W_(""), buf.data(), 4096, kFile);
  if (WStr(buf.data(), n) != W_("written")) fuzz::fail("a written value does not read back");
  WritePrivateProfileStringW(W_("FuzzSection"), W_("FuzzKey"), nullptr, kFile);
  n = GetPrivateProfileStringW(W_("FuzzSection"), W_("FuzzKey"), W_("gone"), buf.data(), 4096, kFile);
  if (WStr(buf.data(), n) == W_("written")) fuzz::fail("a deleted key still reads");
  WritePrivateProfileStringW(W_("FuzzSection"), nullptr, nullptr, kFile);
  return 0;
}
