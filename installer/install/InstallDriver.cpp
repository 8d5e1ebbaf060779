#include "InstallDriver.h"

#include <functional>
#include <mutex>
#include <vector>

#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "installer/config/Info.h"
#include "installer/install/InstallFunc.h"
#include "installer/lang/LangStrings.h"
#include "installer/printsys/Removal.h"
#include "installer/printsys/RunCmd.h"
#include "installer/printsys/Spooler.h"
#include "installer/printsys/VersionCompare.h"
#include "installer/startup/RunState.h"
#include "installer/usb/USBFunc.h"
#include "win32/shell.h"

namespace {

constexpr DWORD kNoSuchDevinst = 0xE000020B;          // ERROR_NO_SUCH_DEVINST
constexpr DWORD kInvalidClassInstaller = 0xE000020D;  // ERROR_INVALID_CLASS_INSTALLER
constexpr DWORD kMaxInfBytes = 16u * 1024 * 1024;     // no driver's INF comes near this

std::mutex g_viewMu;
TInstallView* g_view = nullptr;

TInstallView* View() {
  std::lock_guard lock(g_viewMu);
  return g_view;
}

void ReportStatus(const WStr& text) {
  CallInWindowThread([&] {
    if (TInstallView* v = View()) v->AddStatusLine(text);
  });
}

void ReportOutcome(bool success, DWORD code) {
  TMessage msg;
  msg.LParam = static_cast<LPARAM>(code);
  CallInWindowThread([&] {
    TInstallView* v = View();
    if (!v) return;
    if (success)
      v->InstallSuccPrompt(msg);
    else
      v->InstallFailPrompt(msg);
  });
}

const WCHAR* Flag(bool b) { return b ? W_("-1") : W_("0"); }

TStringList PrintersOfModel(const TStringList& printers, const WStr& model) {
  TStringList out = printers;
  KeepNamesWithPrefix(out, model);
  return out;
}

// The number of UTF-16 characters of a text file as it reads: by its byte-order mark, else in
// the ANSI code page. A file that cannot be read ends the run.
size_t TextLength(const WStr& path) {
  bool tooLarge = false;
  std::optional<WStr> text = ReadTextFile(path, kMaxInfBytes, &tooLarge);
  if (tooLarge) throw KelvaneError(W_("INF file too large to be read: ") + path);
  if (!text) throw KelvaneError(W_("Cannot open file \"") + path + W_("\". ") + SystemErrorText(GetLastError()));
  return text->size();
}

// A file list for the shell's file operations: each path terminated, the list ending with an
// empty one.
WStr ShellList(const WStr& path) { return path + WStr(2, u'\0'); }

int ShellFileOperation(UINT func, const WStr& from, const WStr& to, FILEOP_FLAGS flags) {
  WStr fromList = ShellList(from), toList = ShellList(to);
  SHFILEOPSTRUCTW op{};
  op.hwnd = MainWindowHandle;
  op.wFunc = func;
  op.pFrom = fromList.c_str();
  op.pTo = to.empty() ? nullptr : toList.c_str();
  op.fFlags = flags;
  return SHFileOperationW(&op);
}

bool ForceDirectories(const WStr& folder) {
  if (folder.empty() || DirectoryExists(folder)) return true;
  WStr parent = ExcludeTrailingPathDelimiter(ExtractFilePath(ExcludeTrailingPathDelimiter(folder)));
  if (parent.size() < folder.size() && !parent.empty() && !ForceDirectories(parent)) return false;
  return CreateDirectoryW(folder.c_str(), nullptr) || DirectoryExists(folder);
}

}  // namespace

void SetInstallView(TInstallView* view) {
  std::lock_guard lock(g_viewMu);
  g_view = view;
}

void CallInWindowThread(const std::function<void()>& call) {
  HWND window = MainWindowHandle;
  if (!window || !IsWindow(window)) {
    call();
    return;
  }
  // Sent, not posted: on the window's own thread it runs at once, from another one it runs on the
  // window's thread while this one waits.
  SendMessageW(window, WM_KELVANE_CALL, 0, reinterpret_cast<LPARAM>(&call));
}

// ---- the worker thread ------------------------------------------------------------------------

TThreadInstallDriver::TThreadInstallDriver(bool bOnlinePrompt) : FOnlinePrompt(bOnlinePrompt) {
  TheDebugger().LogMsg(W_("創建驅動安裝線程。。。"));
}

TThreadInstallDriver::~TThreadInstallDriver() {
  WaitFor();
  if (FThread) CloseHandle(FThread);
}

// The thread begins here rather than suspended in the constructor: nothing of the run happens
// before Start either way.
void TThreadInstallDriver::Start() {
  if (FThread) return;
  FThread = CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr);
  if (!FThread) throw KelvaneError(SystemErrorText(GetLastError()));
}

void TThreadInstallDriver::WaitFor() {
  if (FThread) WaitForSingleObject(FThread, INFINITE);
}

DWORD WINAPI TThreadInstallDriver::ThreadProc(LPVOID self) {
  auto* t = static_cast<TThreadInstallDriver*>(self);
  try {
    t->Execute();
  } catch (const KelvaneError& e) {
    // The run ends here; the error stays with the thread object and no handler is called.
    t->FFatalError = e.message();
    TheDebugger().LogMsgError(e.message());
  }
  return 0;
}

void TThreadInstallDriver::Execute() {
  TheDebugger().LogMsg(W_("驅動安裝線程正在執行安裝任務。"));
  DoInstallSelectPrinter(FOnlinePrompt);
}

namespace {
std::mutex g_runsMu;
std::vector<std::unique_ptr<TThreadInstallDriver>> g_runs;
}  // namespace

TThreadInstallDriver& StartInstallDriverThread(bool bOnlinePrompt) {
  auto run = std::make_unique<TThreadInstallDriver>(bOnlinePrompt);
  TThreadInstallDriver& ref = *run;
  {
    std::lock_guard lock(g_runsMu);
    g_runs.push_back(std::move(run));
  }
  ref.Start();
  return ref;
}

void FinishInstallDriverThreads() {
  std::vector<std::unique_ptr<TThreadInstallDriver>> runs;
  {
    std::lock_guard lock(g_runsMu);
    runs.swap(g_runs);
  }
  runs.clear();  // each waits for its thread
}

// ---- before the run ---------------------------------------------------------------------------

void CheckOldDriverBeforeInstall(bool& proceed) {
  proceed = true;
  TRInstallInfo entry = InstallInfos().Items(SelectedPrinterIndex);
  if (entry.MustUninstallForGDP.empty()) return;
  TStringList printers;
  if (!IsOlderGPDVersionInstalled(entry.PrinterName, entry.MustUninstallForGDP, printers)) return;
  if (MessageBoxW(MainWindowHandle, LangStrings.InstallBeforeNeedUninstall.c_str(), LangStrings.NoticeTitle.c_str(),
                  MB_YESNO | MB_ICONQUESTION) == IDNO) {
    proceed = false;
    return;
  }
  int code = 0;
  if (RemoveOlderVersion(entry.PrinterName, entry.MustUninstallForGDP, entry.OEMManufactor, code)) return;
  switch (code) {
    case 1:
      TheDebugger().LogMsg(W_("打印機還有打印任務，不能刪除！"));
      MessageBoxW(MainWindowHandle, LangStrings.DeletePrinterIsPrinting.c_str(), LangStrings.ErrorTitle.c_str(),
                  MB_OK | MB_ICONERROR);
      proceed = false;
      break;
    case 2:
    case 3:
      TheDebugger().LogMsgError(W_("刪除打印機過程中出現意外錯誤！"));
      MessageBoxW(MainWindowHandle, LangStrings.DeletePrinterError.c_str(), LangStrings.ErrorTitle.c_str(),
                  MB_OK | MB_ICONERROR);
      proceed = false;
      break;
    case 4: {
      TheDebugger().LogMsgWarning(W_("已刪除打印機，但不能刪除其驅動程序！"));
      WStr text = LangStrings.DeletePrinterDriverError + W_("\r\n") + LangStrings.RestartWindowsimmediately;
      if (MessageBoxW(MainWindowHandle, text.c_str(), LangStrings.NoticeTitle.c_str(), MB_YESNO | MB_ICONINFORMATION) ==
              IDYES &&
          RestartWindows()) {
        // Windows is going down: the installer ends with it.
        ApplicationTerminated = true;
        proceed = false;
        PostQuitMessage(0);
      }
      break;
    }
    default:
      break;
  }
}

// ---- the run ----------------------------------------------------------------------------------

void DoInstallSelectPrinter(bool /*onlinePrompt*/) {
  TheDebugger().LogEnter(W_("DoInstallSelectPrinter"));
  TheDebugger().LogFmt(W_("準備安裝索引號爲%d的打印機。"), {SelectedPrinterIndex});
  TRInstallInfo entry = InstallInfos().Items(SelectedPrinterIndex);
  bool installFinish = false, instSucc = false;
  WStr port = W_("LPT1:");

  TStringList printers = ReadPrinterList();
  PrintersAfterInstall->clear();
  *PrintersBeforeInstall = PrintersOfModel(printers, entry.PrinterName);
  InstalledPrinterName.clear();

  WStr bufferedInf;
  if (!BufferDriverFiles(bufferedInf)) {
    TheDebugger().LogMsgError(W_("注意：註冊Inf文件失敗，可能是用戶取消安裝！"));
    TheDebugger().LogLeave(W_("DoInstallSelectPrinter"));
    ReportOutcome(false, 0);
    return;
  }

  WStr detectionInf = IsWin64 ? entry.INFX64 : entry.INF2K;
  if (entry.IgnoreCatBelowWinVer >= WinVersion) detectionInf = bufferedInf;
  DWORD detection = ExistReqInlineSetupDevice(MainWindowHandle, PindleDllPath, RaltoExePath, Pindle64DllPath,
                                              ToAnsi(entry.PrinterHWID), ToAnsi(detectionInf), entry.PrinterName,
                                              installFinish);

  if (detection == ReqOfflineInstall) {
    TheDebugger().LogMsgWarning(W_("注意：由於出現ReqOfflineInstall錯誤，聯機安裝進程重新開始！"));
    if (!BufferDriverFiles(bufferedInf)) {
      TheDebugger().LogMsgError(W_("注意：註冊Inf文件失敗，可能是用戶取消安裝！ byby"));
      TheDebugger().LogLeave(W_("DoInstallSelectPrinter"));
      ReportOutcome(false, 0);
      return;
    }
    installFinish = false;
  }

  ReportStatus(LangStrings.OSInstallingDriver);
  OnlineInstall = false;

  if (detection != 0) {
    TheDebugger().LogMsgWarning(
        Format(W_("IsInlineDeviceExist返回了一種異常情況，ErrCode=%d"), {static_cast<int>(detection)}));
    if (detection == kNoSuchDevinst || detection == kInvalidClassInstaller)
      GetOnlineUSBPortForNotInstallDriver(entry.PrinterName, entry.PrinterHWID, printers, port);
    if (port.empty()) port = W_("LPT1:");
  } else if (installFinish) {
    printers = ReadPrinterList();
    TStringList added = PrintersOfModel(printers, entry.PrinterName);
    RemoveListedNames(added, *PrintersBeforeInstall);
    *PrintersAfterInstall = added;
    if (added.empty()) {
      TheDebugger().LogMsgWarning(
          W_("檢測到打印機已成功聯機安裝，但是沒有發現新增的打印機實例，接下来会進行脫機安裝。"));
      installFinish = false;
      OnlineInstall = false;
    } else {
      InstalledPrinterName = added.back();
      TheDebugger().LogFmt(W_("***在檢測過程中已經安裝完成（%s）<%d>，直接將條件填寫好，進入成功流程。***"),
                           {InstalledPrinterName, static_cast<int>(added.size())});
      instSucc = true;
      OnlineInstall = true;
    }
  } else {
    TheDebugger().LogFmt(W_("++++++ 檢測到打印機（%s）當前已聯機，即將進行聯機安裝。++++++"), {entry.PrinterName});
    instSucc = PrinterOnLineInstall3264(SelectedPrinterIndex);
    if (instSucc) {
      OnlineInstall = true;
      installFinish = true;
    } else {
      TheDebugger().LogMsgWarning(W_("由於聯機安裝失敗，接著使用脫機安裝！"));
      installFinish = false;
      OnlineInstall = false;
    }
  }

  if (!OnlineInstall && !installFinish) {
    TheDebugger().LogMsg(W_("沒有設置聯機安裝和安裝完成標誌，即將進行脫機安裝！"));
    InstallErrorCode = UIAddPrinter(entry.PrinterName, bufferedInf, port, InstalledPrinterName);
    if (InstallErrorCode == 0 && !InstalledPrinterName.empty()) {
      instSucc = true;
      installFinish = true;
      InstalledPrinterPort = port;
    } else {
      instSucc = false;
      TheDebugger().LogMsgWarning(Format(W_("注意：脫機安裝失敗！！！(0x%x)"), {InstallErrorCode}) + entry.PrinterName);
    }
    OnlineInstall = false;
  }

  TheDebugger().LogFmt(W_("///安裝進程完成，狀態信息：InstallFinish(%s), InstSucc(%s), OnlineInstall(%s)。///"),
                       {Flag(installFinish), Flag(instSucc), Flag(OnlineInstall)});
  if (instSucc && installFinish) ReportOutcome(true, 0);
  if (!instSucc && !OnlineInstall) ReportOutcome(false, InstallErrorCode);
  TheDebugger().LogLeave(W_("DoInstallSelectPrinter"));
}

bool PrinterOnLineInstall3264(int index) {
  TheDebugger().LogEnter(W_("PrinterOnLineInstall3264"));
  bool result = false;
  if (WinVersion < 50) {
    TheDebugger().LogLeave(W_("PrinterOnLineInstall3264"));
    return false;
  }
  TRInstallInfo entry = InstallInfos().Items(index);
  InstallPort.clear();
  PindleShowErrorCode(PindleDllPath, false);
  if (!IsWin64) {
    PindleShowErrorCode(PindleDllPath, false);
    TheDebugger().LogFmt(W_("開始在32位Windows环境下开始安装打印机：%s"), {entry.PrinterName});
    result = InstallSpecPrinter2k(MainWindowHandle, InstallErrorCode, entry.INF2K, InstallPort, PindleDllPath,
                                  entry.PrinterHWID);
    if (result) {
      Sleep(100);
      Sleep(0);
      Sleep(100);
      if (!entry.AfterRun.empty() && FileExists(entry.AfterRun))
        ShellExecuteW(MainWindowHandle, W_("open"), entry.AfterRun.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
      TheDebugger().LogMsgWarning(W_("****** InstallSpecPrinter2k聯機安裝已成功完成。******"));
    } else {
      TheDebugger().LogMsgWarning(W_("InstallSpecPrinter2k聯機安裝不成功！！！"));
    }
  } else {
    TheDebugger().LogFmt(W_("開始在64位Windows环境下开始安装打印机：%s"), {entry.PrinterName});
    InstallSpecPrinter64(MainWindowHandle, RaltoExePath, entry.INFX64, InstallPort, HostProcessHandle, PindleDllPath,
                         Pindle64DllPath, entry.PrinterHWID);
    CallInWindowThread([] {
      if (TInstallView* v = View()) v->StartSetup64Watch();
    });
  }
  InstalledPrinterPort = InstallPort;
  TheDebugger().LogLeave(W_("PrinterOnLineInstall3264"));
  return result;
}

bool BufferDriverFiles(WStr& bufferedInf) {
  if (SelectedPrinterIndex < 0) return false;
  WCHAR programFiles[512] = {};  // 1024 bytes
  if (!SHGetSpecialFolderPathW(MainWindowHandle, programFiles, CSIDL_PROGRAM_FILES, FALSE)) return false;
  TRInstallInfo entry = InstallInfos().Items(SelectedPrinterIndex);
  WStr infName = ExtractFileName(IsWin64 ? entry.INFX64 : entry.INF2K);
  WStr bufferDir = WStr(programFiles) + W_("\\Printer Drivers\\") + entry.PrinterName;
  WStr sourceDir = entry.DriverDir;
  WStr sourceInf = IncludeTrailingPathDelimiter(sourceDir) + infName;
  bool needCopy = InfCompareVersion(sourceInf, bufferDir + W_("\\") + infName) != 0;

  const WStr tag = W_("BufferDriverFiles");
  if (DirectoryExists(bufferDir) && needCopy) {
    TheDebugger().LogMsgWithTag(W_("準備刪除舊版文件：") + bufferDir, tag);
    int rc = ShellFileOperation(FO_DELETE, bufferDir, {}, FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI);
    if (rc != 0) TheDebugger().LogFmt(W_("刪除操作沒有成功完成，返回碼：0x%X"), {rc});
  }
  if (needCopy) {
    bool copied = ForceDirectories(bufferDir) &&
                  ShellFileOperation(FO_COPY, IncludeTrailingPathDelimiter(sourceDir) + W_("*"), bufferDir,
                                     FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_NOCONFIRMMKDIR) == 0;
    if (!copied) {
      // A half-copied buffer must never be registered or installed from: it goes, and the run
      // fails as a failed registration does.
      TheDebugger().LogMsgError(W_("Driver files could not be copied to ") + bufferDir);
      ShellFileOperation(FO_DELETE, bufferDir, {}, FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI);
      return false;
    }
  }
  if (entry.IgnoreCatBelowWinVer >= WinVersion) {
    TStringList catalogs;
    ListCatFiles(bufferDir, true, catalogs, false);
    for (const WStr& cat : catalogs) {
      TheDebugger().LogFmt(W_("準備刪除文件：%s"), {cat});
      SetFileAttributesW(cat.c_str(), FILE_ATTRIBUTE_ARCHIVE);
      DeleteFileW(cat.c_str());
    }
  }

  bufferedInf = bufferDir + W_("\\") + infName;
  WStr registered;
  if (!RegistryInf(PindleDllPath, bufferedInf, registered)) return false;
  if (!FileExists(registered)) registered = bufferedInf;
  if (!FileExists(registered)) return false;

  TheDebugger().LogMsgWithTag(W_("向系統註冊了Inf文件：") + registered, tag);
  size_t registeredLength = TextLength(registered), sourceLength = TextLength(sourceInf);
  TheDebugger().LogFmt(W_("System Inf（%s）長度：%d，Src Inf（%s）長度：%d。"),
                       {ExtractFileName(registered), static_cast<int>(registeredLength), infName,
                        static_cast<int>(sourceLength)});
  if (TextLength(bufferedInf) != sourceLength) {
    bufferedInf = IncludeTrailingPathDelimiter(sourceDir) + infName;
    TheDebugger().LogMsgWarning(W_("註冊Inf文件后发现文件不正确，使用原Inf文件：") + bufferedInf);
  }
  return true;
}

void ListCatFiles(const WStr& folder, bool skipFolders, TStringList& list, bool recurse) {
  WIN32_FIND_DATAW fd{};
  unique_find find(FindFirstFileW((folder + W_("\\*.cat")).c_str(), &fd));
  if (!find) return;
  do {
    WStr name = fd.cFileName;
    WStr path = folder + W_("\\") + name;
    if (fd.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY) {
      if (name == W_(".") || name == W_("..")) continue;
      if (!skipFolders) list.push_back(path);
      if (recurse) ListCatFiles(path, skipFolders, list, recurse);
    } else {
      list.push_back(path);
    }
  } while (FindNextFileW(find.get(), &fd));
}
