// A device-install library of an older release, for the install host's tests: its install
// function has the first name `Pindle`, and it has neither ShowErrorCode nor
// LastInstallErrorCode. Both functions write what they were given to the debug output; the check
// answers with the flags it was given, so that the host's "Ret" shows them.
#include "win32/kernel.h"
#include "win32/user.h"

#define STUB_EXPORT extern "C" __attribute__((visibility("default")))

STUB_EXPORT int WINAPI Pindle(LPCSTR inf, LPCSTR hwid, LPCSTR port, HWND owner) {
  OutputDebugStringA(inf);
  OutputDebugStringA(hwid);
  OutputDebugStringA(port);
  SetLastError(owner ? ERROR_INVALID_WINDOW_HANDLE : ERROR_SUCCESS_REBOOT_REQUIRED);
  return 1;
}

STUB_EXPORT DWORD WINAPI Pindle_IsInlineDeviceExist(HWND owner, LPCSTR hwid, LPCSTR inf, DWORD flags) {
  OutputDebugStringA(inf);
  OutputDebugStringA(hwid);
  return owner ? 0xFFFFFFFFu : flags;
}
