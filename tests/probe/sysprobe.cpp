// A small program that reports what the system tells it, built for the simulated machine and for
// Windows alike: the check that both platforms answer the same questions the same way.
#include <cstdio>
#include <string>

#include "win32/kernel.h"

namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

std::string narrow(const WCHAR* s) {
  char buf[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, s, -1, buf, sizeof buf, nullptr, nullptr);
  return buf;
}

}  // namespace

int main() {
  OSVERSIONINFOW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  if (!GetVersionExW(&v)) {
    std::printf("GetVersionExW failed: %lu\n", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  BOOL wow = FALSE;
  HMODULE k32 = GetModuleHandleW(W_("KERNEL32.DLL"));
  auto is_wow = k32 ? reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(k32, "IsWow64Process")))
                    : nullptr;
  if (is_wow) is_wow(GetCurrentProcess(), &wow);
  SYSTEM_INFO si = {};
  GetNativeSystemInfo(&si);
  WCHAR sysdir[MAX_PATH] = {}, temp[MAX_PATH] = {};
  GetSystemDirectoryW(sysdir, MAX_PATH);
  GetTempPathW(MAX_PATH, temp);
  std::printf("version %lu.%lu build %lu\n", static_cast<unsigned long>(v.dwMajorVersion),
              static_cast<unsigned long>(v.dwMinorVersion), static_cast<unsigned long>(v.dwBuildNumber));
  std::printf("wow64 %d\n", wow ? 1 : 0);
  std::printf("native architecture %u\n", static_cast<unsigned>(si.wProcessorArchitecture));
  std::printf("pointer bits %u\n", static_cast<unsigned>(sizeof(void*) * 8));
  std::printf("language %u\n", static_cast<unsigned>(GetSystemDefaultLangID()));
  std::printf("code page %u\n", static_cast<unsigned>(GetACP()));
  std::printf("system folder %s\n", narrow(sysdir).c_str());
  std::printf("temp folder %s\n", narrow(temp).c_str());
  return 0;
}
