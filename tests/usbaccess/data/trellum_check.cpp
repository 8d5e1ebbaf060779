// A 32-bit program that binds Trellum.dll as its callers do (by name, exports looked up by name)
// and prints what it learns: the USB printers with their ports and device IDs, the five settings
// of the first one, a changed item 3 and the settings read back.
#include <cstdio>
#include <string>

#include "win32/kernel.h"

namespace {

using EnumFn = int(WINAPI*)();
using ReadIdFn = BOOL(WINAPI*)(int, LPWSTR, int, LPWSTR, int);
using GetSettingsFn = BOOL(WINAPI*)(LPCWSTR, BYTE*, int*);
using SetItemFn = BOOL(WINAPI*)(LPCWSTR, BYTE, BYTE);

std::string narrow(const WCHAR* s) {
  char buf[2048] = {};
  WideCharToMultiByte(CP_UTF8, 0, s, -1, buf, sizeof buf, nullptr, nullptr);
  return buf;
}

template <class F>
F bind(HMODULE lib, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
}

bool print_settings(GetSettingsFn get, const WCHAR* port, BYTE* items) {
  int length = 32;
  if (!get(port, items, &length) || length < 5) {
    std::printf("settings failed: %d bytes, error %lu\n", length, static_cast<unsigned long>(GetLastError()));
    return false;
  }
  std::printf("settings %d: %u %u %u %u %u\n", length, items[0], items[1], items[2], items[3], items[4]);
  return true;
}

}  // namespace

int main() {
  HMODULE lib = LoadLibraryW(W_("Trellum.dll"));
  if (!lib) {
    std::printf("Trellum.dll not loaded: %lu\n", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  auto enumerate = bind<EnumFn>(lib, "USBPrinterEnum");
  auto read_id = bind<ReadIdFn>(lib, "ReadPrinterID");
  auto get = bind<GetSettingsFn>(lib, "GetPrinterSettingData");
  auto set = bind<SetItemFn>(lib, "SetPrinterSettingItem");
  if (!enumerate || !read_id || !get || !set) {
    std::printf("an export is missing\n");
    return 1;
  }
  int n = enumerate();
  std::printf("printers %d\n", n);
  for (int i = 0; i < n; ++i) {
    WCHAR port[64] = {}, id[1024] = {};
    read_id(i, port, 64, id, 1024);
    std::printf("%s [%s]\n", narrow(port).c_str(), narrow(id).c_str());
  }
  BYTE items[32] = {};
  if (!print_settings(get, W_("USB001"), items)) return 2;
  BYTE value = static_cast<BYTE>(items[3] + 1);
  std::printf("write item 3 = %u: %d\n", value, set(W_("USB001"), 3, value) ? 1 : 0);
  if (!print_settings(get, W_("USB001"), items)) return 2;
  FreeLibrary(lib);
  return 0;
}
