#include "InstallFunc.h"

#include <cstring>
#include <memory>
#include <vector>

#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "installer/printsys/Removal.h"
#include "installer/printsys/RunCmd.h"
#include "installer/printsys/Spooler.h"
#include "installer/startup/RunState.h"
#include "win32/profile.h"

namespace {

using RegistryInfFn = BOOL(WINAPI*)(LPCSTR, LPCSTR, LPSTR, DWORD);
using IsInlineDeviceExistFn = DWORD(WINAPI*)(HWND, LPCSTR, LPCSTR, DWORD);
using FindExistDeviceFn = BOOL(WINAPI*)(LPCSTR, LPSTR, LPSTR);
using FuncPindleFn = int(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, HWND);
using VoidFn = void(WINAPI*)();
using SetSwitchFn = void(WINAPI*)(int);
using LastInstallErrorCodeFn = DWORD(WINAPI*)();

// The log's enter and leave lines around a procedure, the leave line on every way out.
class LogScope {
 public:
  explicit LogScope(WStr name) : name_(std::move(name)) { TheDebugger().LogEnter(name_); }
  ~LogScope() { TheDebugger().LogLeave(name_); }
  LogScope(const LogScope&) = delete;
  LogScope& operator=(const LogScope&) = delete;

 private:
  WStr name_;
};

constexpr DWORD kNoAnswer = 1067;  // ERROR_PROCESS_ABORTED: the 64-bit host said nothing
constexpr DWORD kInstallFlagNonInteractive = 4;
constexpr size_t kIdBytes = 260;

// Loads the library or raises the error that ends the caller's install run.
unique_module LoadPindle(const WStr& path) {
  unique_module lib(LoadLibraryW(path.c_str()));
  if (!lib) throw KelvaneError(W_("DllNotFound :\r\n") + path);
  return lib;
}

template <class Fn>
Fn Export(HMODULE lib, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
}

WStr FullPath(const WStr& path) {
  DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::vector<WCHAR> buf(n + 1, u'\0');
  DWORD m = GetFullPathNameW(path.c_str(), n + 1, buf.data(), nullptr);
  return m > 0 && m <= n ? WStr(buf.data(), m) : path;
}

// The host finds its library and INF relative to its own folder, where it is started.
struct HostCommand {
  WStr folder;
  WStr line;
};

// A hardware ID reaches the host's command line unquoted, as its option parser expects: one with
// a blank or a quote would split there and could pass options of its own, so it is refused.
bool SafeUnquoted(const WStr& text) { return text.find_first_of(W_(" \t\"")) == WStr::npos; }

HostCommand MakeHostCommand(HWND owner, const WStr& hostPath, const WStr& infPath, const WStr& library64Path,
                            const WStr& hardwareId) {
  HostCommand c;
  c.folder = ExtractFilePath(FullPath(hostPath));
  WStr relInf = ExtractRelativePath(c.folder, FullPath(infPath));
  WStr relDll = ExtractRelativePath(c.folder, FullPath(library64Path));
  c.line = hostPath + W_(" /Handle ") + IntToStr(static_cast<long long>(reinterpret_cast<ULONG_PTR>(owner))) +
           W_(" /Dll \"") + relDll + W_("\" /Inf \"") + relInf + W_("\" /HWID ") + hardwareId;
  return c;
}

// Starts the host detached and hidden in its own folder; a failed start is not reported, the
// caller goes on as if the host had said nothing.
bool StartHost(const HostCommand& c, PROCESS_INFORMATION& pi) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  si.wShowWindow = 0;
  std::vector<WCHAR> cmd(c.line.begin(), c.line.end());
  cmd.push_back(u'\0');
  pi = PROCESS_INFORMATION{};
  return CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, c.folder.c_str(), &si,
                        &pi) != FALSE;
}

// Delphi's StrToInt64: decimal with an optional sign, or "$"/"0x" hexadecimal; anything else is
// a conversion error with its usual text.
long long StrToInt64(const WStr& text) {
  std::string s = ToUtf8(text);
  size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  unsigned long long v = 0;
  bool any = false, overflow = false;
  for (; i < s.size(); ++i) {
    int d = std::isdigit(static_cast<unsigned char>(s[i])) ? s[i] - '0'
            : base == 16 && std::isxdigit(static_cast<unsigned char>(s[i]))
                ? std::tolower(static_cast<unsigned char>(s[i])) - 'a' + 10
                : -1;
    if (d < 0) break;
    any = true;
    overflow |= v > (~0ull - static_cast<unsigned>(d)) / static_cast<unsigned>(base);
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
  }
  if (!any || i != s.size() || overflow || (base == 10 && v > (negative ? 1ull << 63 : (1ull << 63) - 1)))
    throw KelvaneError(W_("'") + text + W_("' is not a valid integer value"));
  return negative ? static_cast<long long>(0 - v) : static_cast<long long>(v);
}

}  // namespace

WStr PortOfInstanceId(const WStr& instanceId) {
  // Positions are those of the first occurrence; without the "&" part the copy starts at the
  // beginning, as the library's callers have always done.
  auto after = [&](WStrView marker) {
    size_t at = instanceId.find(marker);
    return at == WStr::npos ? 0 : at + 1;
  };
  if (instanceId.find(W_("USBPRINT")) != WStr::npos) return instanceId.substr(after(W_("&USB")), 6);
  if (instanceId.find(W_("LPTENUM")) != WStr::npos) return instanceId.substr(after(W_("&LPT")), 4) + W_(":");
  return {};
}

bool RegistryInf(const WStr& libraryPath, const WStr& infPath, WStr& registeredInf) {
  registeredInf.clear();
  unique_module lib = LoadPindle(libraryPath);
  auto registry = Export<RegistryInfFn>(lib.get(), "Pindle_RegistryInf");
  SetLastError(0);
  if (!registry) {  // a library without it cannot register anything
    TheDebugger().LogErrorFmt(W_("CopyOemInf函數錯誤值：0x%x"), {static_cast<DWORD>(ERROR_PROC_NOT_FOUND)});
    return false;
  }
  char buffer[512] = {};
  BOOL ok = registry(ToAnsi(infPath).c_str(), nullptr, buffer, sizeof buffer);
  if (ok) {
    registeredInf = FromAnsi(std::string_view(buffer, strnlen(buffer, sizeof buffer)));
    TheDebugger().LogFmt(W_("已註冊inf文件：%s"), {registeredInf});
  } else {
    TheDebugger().LogFmt(W_("CopyOemInf函數錯誤值：0x%x"), {GetLastError()});
  }
  return ok != FALSE;
}

DWORD ExistReqInlineSetupDevice(HWND owner, const WStr& libraryPath, const WStr& hostPath, const WStr& library64Path,
                                const std::string& hardwareId, const std::string& infPath, const WStr& modelName,
                                bool& installedDuringDetection) {
  LogScope scope(W_("ExistReqInlineSetupDevice"));
  installedDuringDetection = false;
  DWORD code;
  {
    unique_module lib = LoadPindle(libraryPath);
    auto check = Export<IsInlineDeviceExistFn>(lib.get(), "Pindle_IsInlineDeviceExist");
    SetLastError(0);
    TheDebugger().LogFmt(W_("Inf(%s), HWID(%s)"), {FromAnsi(infPath), FromAnsi(hardwareId)});
    if (DetectWin64())
      code = IsInlineDeviceExist64(owner, FromAnsi(hardwareId), FromAnsi(infPath), kInstallFlagNonInteractive,
                                   library64Path, hostPath);
    else if (check)
      code = check(owner, hardwareId.c_str(), infPath.c_str(), kInstallFlagNonInteractive);
    else  // a library without the check cannot see the device: as good as not connected
      code = ERROR_PROC_NOT_FOUND;
  }

  DWORD result = code;
  switch (code) {
    case 0:
      TheDebugger().LogMsg(W_("恭喜，在檢測過程中發現已經完成驅動安裝。"));
      installedDuringDetection = true;
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_NO_MORE_ITEMS:
    case 0x800B0100:  // TRUST_E_NOSIGNATURE
    case 0xE000022F:  // ERROR_NO_CATALOG_FOR_OEM_INF
      TheDebugger().LogFmt(W_("根據檢測到的信息判定設備可能已聯機（0x%x）。"), {code});
      result = 0;
      break;
    default:
      TheDebugger().LogFmt(W_("檢測到設備不存在，調用ExistInlineDevice錯誤值：0x%x"), {code});
      break;
  }

  // A device the platform would not bind may carry an earlier online install of the model.
  if (code == ERROR_ACCESS_DENIED || code == ERROR_FILE_NOT_FOUND || code == 0xE000022F || code == 0x800B0100) {
    WStr found, port;
    if (FindExistDevice(libraryPath, FromAnsi(hardwareId), found, false, port) &&
        (port.starts_with(W_("USB")) || port.starts_with(W_("LPT")))) {
      TStringList printers = ReadPrinterList();
      TheDebugger().LogFmt(W_("準備檢查檢測到的端口（%s）是否曾聯機安裝。"), {port});
      for (const WStr& printer : printers) {
        WStr driver, printerPort;
        GetPrinterDriverName(printer, driver);
        if (!SameTextAscii(driver, modelName)) continue;
        GetPrinterPort(printer, printerPort);
        bool online = false;
        if (!IsPrinterOnline(printer, online)) online = false;
        if (SameTextAscii(port, printerPort) && online) {
          TheDebugger().LogFmt(W_("打印機（%s）已經使用相同端口，應該已經聯機安裝過。"), {printer});
          result = ReqOfflineInstall;
          break;
        }
        if (printerPort.starts_with(W_("USB")) && online) {
          TheDebugger().LogMsgWarning(W_("當前USB打印機驅動程序聯機，可能曾經聯機安裝過！！！！！！"));
          result = ReqOfflineInstall;
          break;
        }
      }
    }
  }
  return result;
}

bool FindExistDevice(const WStr& libraryPath, const WStr& hardwareId, WStr& foundHardwareId, bool refreshFirst,
                     WStr& port) {
  LogScope scope(W_("FindExistDevice"));
  bool result = false;
  std::vector<char> found(kIdBytes, '\0'), instance(kIdBytes, '\0');
  if (refreshFirst) {
    RefreshSystemHW(libraryPath);
    Sleep(0);
    Sleep(100);
    Sleep(0);
  }
  port.clear();
  unique_module lib = LoadPindle(libraryPath);
  if (auto find = Export<FindExistDeviceFn>(lib.get(), "FuncFindExistDevice")) {
    result = find(ToAnsi(hardwareId).c_str(), found.data(), instance.data()) != FALSE;
    WStr instanceId = FromAnsi(std::string_view(instance.data(), strnlen(instance.data(), kIdBytes)));
    TheDebugger().LogFmt(W_("FuncFindExistDevice返回IDAndPort = %s"), {instanceId});
    port = PortOfInstanceId(instanceId);
    TheDebugger().LogFmt(W_("確定打印機端口字符串為：%s"), {port});
  }
  foundHardwareId = FromAnsi(std::string_view(found.data(), strnlen(found.data(), kIdBytes)));
  return result;
}

void RefreshSystemHW(const WStr& libraryPath) {
  LogScope scope(W_("RefreshSystemHW"));
  unique_module lib(LoadLibraryW(libraryPath.c_str()));
  if (!lib) return;
  if (auto refresh = Export<VoidFn>(lib.get(), "RefreshHW")) {
    TheDebugger().LogMsg(W_("RefreshHW Begin ......"));
    refresh();
    TheDebugger().LogMsg(W_("RefreshHW End !"));
  }
}

namespace {
DWORD WINAPI RefreshThreadProc(LPVOID path) {
  std::unique_ptr<WStr> owned(static_cast<WStr*>(path));
  RefreshSystemHW(*owned);
  return 0;
}
}  // namespace

void RefreshSystemHW_Thread(const WStr& strPindleDll) {
  auto* path = new WStr(strPindleDll);
  HANDLE thread = CreateThread(nullptr, 0, RefreshThreadProc, path, 0, nullptr);
  if (thread)
    CloseHandle(thread);  // the thread ends on its own; nobody waits for it
  else
    delete path;
}

DWORD UIAddPrinter(const WStr& modelName, const WStr& infPath, const WStr& port, WStr& newPrinterName) {
  LogScope scope(W_("UIAddPrinter"));
  DWORD result = UIAddFailed;
  ReadPrinterList();
  // A text that would not stay within its quotes could pass options of its own to the command.
  bool refused = false;
  for (const WStr* text : {&modelName, &infPath, &port}) {
    if (NameFitsQuotedArgument(*text)) continue;
    TheDebugger().LogMsgError(W_("名稱不能安全地放入系統UI的命令行，不調用系統UI：") + *text);
    refused = true;
  }
  if (refused) return result;
  WStr command = W_("rundll32") + Format(W_(" printui.dll,PrintUIEntry /if /b \"%s\" /f \"%s\" /r \"%s\" /m \"%s\" /q"),
                                         {modelName, infPath, port, modelName});
  TheDebugger().LogMsg(W_("命令行參數：") + command);

  TStringList before = ReadPrinterList();
  KeepNamesWithPrefix(before, modelName);
  TStringList output;
  if (RunCMD_pipe(command, output) < 0) return result;
  TheDebugger().LogMsg(W_("RunCMD_pipe函數成功調用返回。"));
  TStringList after = ReadPrinterList();
  KeepNamesWithPrefix(after, modelName);
  if (after.size() != before.size() + 1) return result;

  RemoveListedNames(after, before);
  if (after.empty()) {
    TheDebugger().LogMsg(W_("安装打印機驅動程序及打印機失敗，原因未知！"));
    return UIAddNoNewPrinter;
  }
  newPrinterName = after.back();
  TheDebugger().LogFmt(W_("成功安装打印機驅動程序及打印機：%s <%d>"), {newPrinterName, static_cast<int>(after.size())});
  SetLastError(0);
  return 0;
}

bool InstallSpecPrinter2k(HWND owner, DWORD& lastErrorCode, const WStr& infPath, WStr& port, const WStr& libraryPath,
                          const WStr& hardwareId) {
  LogScope scope(W_("InstallSpecPrinter2k"));
  bool result = false;
  unique_module lib = LoadPindle(libraryPath);
  auto install = Export<FuncPindleFn>(lib.get(), "FuncPindle");
  if (!install) throw KelvaneError(W_("DllFileError"));
  WStr found, detected;
  FindExistDevice(libraryPath, hardwareId, found, true, detected);
  TheDebugger().LogFmt(W_("檢測打印機聯端口為：%s"), {detected});
  port = detected.empty() ? WStr(W_("LPT1:")) : detected;
  TheDebugger().LogFmt(W_("確定打印機端口字符串為：%s"), {port});
  TheDebugger().LogFmt(W_("參數信息：Inf(%s), HWID(%s), Port(%s)"), {infPath, hardwareId, port});
  int flag = install(ToAnsi(infPath).c_str(), ToAnsi(hardwareId).c_str(), ToAnsi(port).c_str(), owner);
  lastErrorCode = PindleLastInstallErrorCode(lib.get());
  if (flag == 0 || flag == 1) {  // 1: installed, Windows wants a restart
    result = true;
    TheDebugger().LogFmt(W_("Pindle返回安裝成功，標誌 = %d"), {flag});
  } else {
    TheDebugger().LogErrorFmt(W_("Pindle安裝失敗，標誌 = %d"), {flag});
  }
  return result;
}

void PindleShowErrorCode(const WStr& libraryPath, bool show) {
  unique_module lib(LoadLibraryW(FullPath(libraryPath).c_str()));
  if (!lib) throw KelvaneError(W_("DllNotFound :\r\n") + libraryPath);
  if (auto set = Export<SetSwitchFn>(lib.get(), "ShowErrorCode")) set(show ? -1 : 0);
}

DWORD PindleLastInstallErrorCode(HMODULE library) {
  auto last = Export<LastInstallErrorCodeFn>(library, "LastInstallErrorCode");
  return last ? last() : 1;
}

DWORD IsInlineDeviceExist64(HWND owner, const WStr& hardwareId, const WStr& infPath, DWORD flags,
                            const WStr& library64Path, const WStr& hostPath) {
  DWORD result = kNoAnswer;
  WCHAR tempDir[MAX_PATH] = {}, longDir[MAX_PATH] = {}, tempFile[MAX_PATH] = {};
  DWORD n = GetTempPathW(MAX_PATH, tempDir);
  DWORD m = n > 0 && n < MAX_PATH ? GetLongPathNameW(tempDir, longDir, MAX_PATH) : 0;
  const WCHAR* dir = m > 0 && m < MAX_PATH ? longDir : tempDir;
  if (n == 0 || n >= MAX_PATH || GetTempFileNameW(dir, W_("tmp"), 0, tempFile) == 0)
    throw KelvaneError(SystemErrorText(GetLastError()));
  WStr exchange = tempFile;

  if (!SafeUnquoted(hardwareId)) {
    TheDebugger().LogMsgError(W_("Hardware ID refused for the 64-bit host's command line: ") + hardwareId);
    DeleteFileW(exchange.c_str());
    return result;
  }
  HostCommand c = MakeHostCommand(owner, hostPath, infPath, library64Path, hardwareId);
  c.line += W_(" /FindHWID \"") + exchange + W_("\"");
  TheDebugger().LogFmt(W_("命令行：%s"), {c.line});
  WritePrivateProfileStringW(W_("Data"), W_("Flag"), IntToStr(flags).c_str(), exchange.c_str());

  PROCESS_INFORMATION pi{};
  if (StartHost(c, pi)) {
    unique_kernel_handle process(pi.hProcess), thread(pi.hThread);
    TheDebugger().LogMsg(W_("已成功地創建了64位檢測進程，準備等待進程完成。"));
    WaitForSingleObject(process.get(), INFINITE);
  }
  WCHAR answer[256] = {};
  GetPrivateProfileStringW(W_("Data"), W_("Ret"), W_("1067"), answer, 256, exchange.c_str());
  try {
    result = static_cast<DWORD>(StrToInt64(answer) & 0xFFFFFFFF);
  } catch (...) {
    DeleteFileW(exchange.c_str());  // the exchange file never outlives the check
    throw;
  }
  DeleteFileW(exchange.c_str());
  return result;
}

void InstallSpecPrinter64(HWND owner, const WStr& hostPath, const WStr& infPath, WStr& port, HANDLE& process,
                          const WStr& libraryPath, const WStr& library64Path, const WStr& hardwareId) {
  if (!DetectWin64()) return;
  LogScope scope(W_("InstallSpecPrinter64"));
  WStr found, detected;
  FindExistDevice(libraryPath, hardwareId, found, true, detected);
  TheDebugger().LogFmt(W_("（64）檢測打印機聯端口為：%s"), {detected});
  port = detected.empty() ? WStr(W_("LPT1:")) : detected;
  if (!SafeUnquoted(hardwareId)) {
    TheDebugger().LogMsgError(W_("Hardware ID refused for the 64-bit host's command line: ") + hardwareId);
    return;
  }
  HostCommand c = MakeHostCommand(owner, hostPath, infPath, library64Path, hardwareId);
  TheDebugger().LogFmt(W_("命令行：%s"), {c.line});
  PROCESS_INFORMATION pi{};
  if (StartHost(c, pi)) {
    TheDebugger().LogMsg(W_("已成功創建64位安裝進程。"));
    process = pi.hProcess;  // watched by the window's timer until the host ends
    unique_kernel_handle thread(pi.hThread);
  }
}
