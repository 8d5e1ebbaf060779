// Windows paths and wildcards: any text through the path functions and any search pattern over a
// folder of known names. Results must fit their buffers; nothing may hang or crash.
#include <vector>

#include "fuzz_machine.h"

namespace {

void path_calls(const WStr& p) {
  WCHAR buf[600];
  LPWSTR part = nullptr;
  DWORD n = GetFullPathNameW(p.c_str(), 600, buf, &part);
  if (n < 600 && part && (part < buf || part > buf + n)) fuzz::fail("a file part outside the full path");
  GetFullPathNameW(p.c_str(), 3, buf, nullptr);
  GetLongPathNameW(p.c_str(), buf, 600);
  GetShortPathNameW(p.c_str(), buf, 600);
  GetFileAttributesW(p.c_str());
}

void search(const WStr& pattern) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((W_("C:\\Pkg\\F\\") + pattern).c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  int found = 0;
  do {
    if (++found > 100) fuzz::fail("more names found than the folder holds");
  } while (FindNextFileW(h, &fd));
  FindClose(h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    fuzz::machine();
    static const uint8_t none[] = "";
    for (const char* f : {"a.txt", "B.TXT", "readme", "x.tar.gz", "Long File Name.html",
                          "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab.txt", "sub/inner.ini"})
      fuzz::put(std::string("Pkg/F/") + f, none, 0);
    return true;
  }();
  (void)ready;
  // The first byte splits the input: a path, then a pattern.
  if (size == 0) return 0;
  size_t cut = 1 + (size - 1) * data[0] / 256;
  WStr path = fuzz::utf16(data + 1, cut - 1);
  WStr pattern = fuzz::utf16(data + cut, size - cut);
  path_calls(path);
  search(pattern);
  search(path);
  return 0;
}
