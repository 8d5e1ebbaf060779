// The 64-bit install host. The 32-bit installer cannot drive device setup on 64-bit Windows, so
// it starts this program to run the device-install library's check or install in a 64-bit
// process: a check answers through the exchange file named by /FindHWID, an install through a
// message to the /Handle window. The host has no window of its own and always ends with 0.
#include <string>
#include <vector>

#include "common/CommandLine.h"
#include "common/handles.h"
#include "installhost/HostOptions.h"
#include "win32/kernel.h"
#include "win32/profile.h"
#include "win32/user.h"

namespace {

using ShowErrorCodeFn = void(WINAPI*)(int);
using LastInstallErrorCodeFn = DWORD(WINAPI*)();
using IsInlineDeviceExistFn = DWORD(WINAPI*)(HWND, LPCSTR, LPCSTR, DWORD);
using PindleFn = int(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, HWND);

constexpr DWORD kDefaultCheckFlags = 4;  // INSTALLFLAG_NONINTERACTIVE
constexpr int kAnsiBytes = 1024;
constexpr size_t kInstallTextChars = 259;
constexpr int kInstallFailed = 2;
constexpr int kInstallExportMissing = 3;

template <class Fn>
Fn Export(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void ShowHostError(const WCHAR* text) { MessageBoxW(nullptr, text, W_("错误"), MB_OK | MB_ICONERROR); }

// The check's texts go through the system's ANSI code page, as the library reads them.
std::string ToAnsiText(const WStr& text) {
  char buffer[kAnsiBytes] = {};
  if (WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, buffer, kAnsiBytes, nullptr, nullptr) <= 0) return {};
  return buffer;
}

// The install's texts go through the C run-time's default ("C") locale: characters up to code 255
// pass as they are, and a text with any other character is not converted at all. A text longer
// than the 259 characters the library's paths hold is refused the same way rather than cut to a
// different path.
std::string ToLatinText(const WStr& text) {
  if (text.size() > kInstallTextChars) return {};
  std::string out;
  for (WCHAR c : text) {
    if (static_cast<unsigned>(c) > 0xFF) return {};
    out += static_cast<char>(c);
  }
  return out;
}

// Detection mode: the library's device check, answered as "Ret" in section "Data" of the
// exchange file. A check that cannot run leaves "Ret" unwritten; the installer has its default.
void RunCheck(const THostOptions& options) {
  DWORD flags = GetPrivateProfileIntW(W_("Data"), W_("Flag"), kDefaultCheckFlags, options.FindHWID.c_str());
  unique_module library(LoadLibraryW(options.Dll.c_str()));
  if (!library) {
    ShowHostError(W_("装载DLL失败！"));
    return;
  }
  std::string inf = ToAnsiText(options.Inf), hwid = ToAnsiText(options.HWID);
  auto check = Export<IsInlineDeviceExistFn>(library.get(), "Pindle_IsInlineDeviceExist");
  if (!check) {
    ShowHostError(W_("在DLL中查找不到函數：Pindle_IsInlineDeviceExist"));
    return;
  }
  if (auto showErrors = Export<ShowErrorCodeFn>(library.get(), "ShowErrorCode")) showErrors(0);
  DWORD result = check(nullptr, hwid.c_str(), inf.c_str(), flags);
  WStr text;
  for (const char c : std::to_string(result)) text += static_cast<WCHAR>(c);
  WritePrivateProfileStringW(W_("Data"), W_("Ret"), text.c_str(), options.FindHWID.c_str());
}

struct InstallOutcome {
  int result;
  DWORD errorCode;  // the library's last install error code, else the failing step's last error
};

// Install mode: the library's install; 0 installed, 1 restart needed, -1 no function driver,
// 2 failed, 3 no install export.
InstallOutcome RunInstall(const THostOptions& options) {
  unique_module library(LoadLibraryW(options.Dll.c_str()));
  if (!library) {
    DWORD error = GetLastError();
    ShowHostError(W_("装载DLL失败！"));
    return {kInstallFailed, error};
  }
  std::string inf = ToLatinText(options.Inf), hwid = ToLatinText(options.HWID);
  if (auto install = Export<PindleFn>(library.get(), "FuncPindle")) {
    if (auto showErrors = Export<ShowErrorCodeFn>(library.get(), "ShowErrorCode")) showErrors(0);
    int result = install(inf.c_str(), hwid.c_str(), "LPT1:", nullptr);
    DWORD error = GetLastError();  // the library leaves its failure's code here too
    if (auto lastError = Export<LastInstallErrorCodeFn>(library.get(), "LastInstallErrorCode")) error = lastError();
    return {result, error};
  }
  // An older library has the same function under its first name, and no error code to ask for.
  auto older = Export<PindleFn>(library.get(), "Pindle");
  if (!older) {
    DWORD error = GetLastError();
    ShowHostError(W_("装载Pindle()失败！"));
    return {kInstallExportMissing, error};
  }
  int result = older(inf.c_str(), hwid.c_str(), "LPT1:", nullptr);
  return {result, GetLastError()};
}

int HostMain(const std::vector<WStr>& args) {
  THostOptions options = ParseHostOptions(args);
  if (options.DetectionMode()) {
    RunCheck(options);
    return 0;
  }
  InstallOutcome outcome = RunInstall(options);
  if (HWND window = options.ResultWindow()) {
    UINT message = outcome.result <= 1 ? WM_USER + 2 : WM_USER + 1;
    SendMessageW(window, message, 0, static_cast<LPARAM>(outcome.errorCode));
  }
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<WStr> args(argv, argv + argc);
  return HostMain(args);
}
#else
int main() {
  LPCWSTR cmd = GetCommandLineW();
  return HostMain(SplitCommandLine(cmd ? WStrView(cmd) : WStrView()));
}
#endif
