#include "RunCmd.h"

#include <cstring>
#include <vector>

#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "win32/security.h"
#include "win32/user.h"

namespace {
constexpr size_t kCommandChars = 256;
constexpr size_t kOutputBytes = 5000;
constexpr DWORD kChunkBytes = 4096;
}  // namespace

int RunCMD_pipe(const WStr& commandLine, TStringList& output) {
  int result = 0;
  std::vector<WCHAR> cmd(kCommandChars, u'\0');
  std::vector<char> buffer(kOutputBytes, '\0');

  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.bInheritHandle = TRUE;
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) {
    TheDebugger().LogMsgError(W_("RunCMD 創建管道失敗，函數退出！"));
    return -1;
  }
  unique_kernel_handle readPipe(readEnd), writePipe(writeEnd);

  STARTUPINFOW si{};
  si.cb = sizeof si;  // 68 on 32-bit Windows
  si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  si.wShowWindow = 0;  // SW_HIDE
  si.hStdOutput = writePipe.get();
  PROCESS_INFORMATION pi{};
  // A command line that does not fit the buffer is not run cut short: it counts as not started.
  bool fits = commandLine.size() < kCommandChars;
  if (fits) std::memcpy(cmd.data(), commandLine.data(), commandLine.size() * sizeof(WCHAR));
  if (!fits || !CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    TheDebugger().LogMsgError(W_("RunCMD 創建調用進程失敗，函數退出！"));
    return -2;
  }
  unique_kernel_handle process(pi.hProcess), thread(pi.hThread);

  // The write end stays open here, so the pipe never reports its end: the loop ends when the
  // process has ended and nothing is left to read. While nothing is waiting, the loop waits on
  // the process a little instead of spinning.
  for (;;) {
    DWORD avail = 0;
    char probe;
    DWORD peeked = 0;
    if (!PeekNamedPipe(readPipe.get(), &probe, 1, &peeked, &avail, nullptr)) {
      TheDebugger().LogMsgError(W_("RunCMD 讀取命名管道失敗，函數退出！"));
      break;
    }
    if (peeked > 0) {
      DWORD got = 0;
      if (!ReadFile(readPipe.get(), buffer.data(), kChunkBytes, &got, nullptr)) break;
      output.push_back(FromAnsi(std::string_view(buffer.data(), got)));
      result = 1;
      continue;
    }
    if (WaitForSingleObject(process.get(), 10) == WAIT_OBJECT_0) {
      // One last look: what it wrote just before it ended is still read.
      if (PeekNamedPipe(readPipe.get(), &probe, 1, &peeked, &avail, nullptr) && peeked > 0) continue;
      break;
    }
  }
  return result;
}

void KeepNamesWithPrefix(TStringList& list, const WStr& prefix) {
  for (size_t i = list.size(); i-- > 0;)
    if (!StartsWithAscii(list[i], prefix)) list.erase(list.begin() + static_cast<long>(i));
}

void RemoveListedNames(TStringList& list, const TStringList& other) {
  if (list.empty() || other.empty()) return;
  for (size_t i = list.size(); i-- > 0;) {
    for (const WStr& o : other) {
      if (SameTextAscii(list[i], o)) {
        list.erase(list.begin() + static_cast<long>(i));
        break;
      }
    }
  }
}

bool EnablePrivilege(const WStr& privilegeName, bool enable) {
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
  if (!GetVersionExW(&v) || v.dwPlatformId != VER_PLATFORM_WIN32_NT) return false;
  HANDLE token = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    unique_kernel_handle owned(token);
    TOKEN_PRIVILEGES tp{};
    if (LookupPrivilegeValueW(nullptr, privilegeName.c_str(), &tp.Privileges[0].Luid)) {
      tp.PrivilegeCount = 1;
      tp.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
      TOKEN_PRIVILEGES previous{};
      DWORD returned = 0;
      AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, &previous, &returned);
    }
  }
  DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) return true;
  throw KelvaneError(SystemErrorText(error));
}

bool RestartWindows() {
  return EnablePrivilege(W_("SeShutdownPrivilege"), true) && ExitWindowsEx(EWX_REBOOT | EWX_FORCEIFHUNG, 0);
}
