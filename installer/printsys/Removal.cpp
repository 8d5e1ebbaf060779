#include "Removal.h"

#include <vector>

#include "PrinterConfig.h"
#include "RunCmd.h"
#include "Spooler.h"
#include "VersionCompare.h"
#include "common/IniFile.h"
#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "installer/startup/RunState.h"
#include "win32/kernel.h"
#include "win32/profile.h"
#include "win32/registry.h"

namespace {

using DeletePrinterDriverExAFn = BOOL(WINAPI*)(LPSTR pName, LPSTR pEnvironment, LPSTR pDriverName, DWORD dwDeleteFlag,
                                               DWORD dwVersionFlag);

constexpr DWORD kMaxSectionChars = 1u << 20;  // a section longer than this is no INF's
constexpr DWORD kMaxInfBytes = 16u * 1024 * 1024;
const WStr kLeaveOEMInf = W_("Leave OEM INF");

WStr UninstallBaseKey() {
  return DetectWin64() ? W_("SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\")
                       : W_("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\");
}

WStr LowerAscii(WStrView s) {
  WStr out(s);
  for (WCHAR& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<WCHAR>(c + 32);
  return out;
}

// Whether the INF copies stay: only a "Leave OEM INF" DWORD of 0 in the driver's key keeps them.
bool KeepOEMInfs(const WStr& driverKey) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, driverKey.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
  unique_hkey key(raw);
  DWORD type = 0, value = 1, size = sizeof value;
  LONG r = RegQueryValueExW(key.get(), kLeaveOEMInf.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
  return r == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value && value == 0;
}

bool HasSubkeys(HKEY key) {
  WCHAR name[256];
  DWORD chars = 256;
  LONG r = RegEnumKeyExW(key, 0, name, &chars, nullptr, nullptr, nullptr, nullptr);
  return r == ERROR_SUCCESS || r == ERROR_MORE_DATA;
}

// The raw lines of an INF section (keys with their quotes), read through the profile reader.
TStringList SectionLines(const WStr& section, const WStr& path) {
  for (DWORD chars = 32768; chars <= kMaxSectionChars; chars *= 2) {
    std::vector<WCHAR> buf(chars, u'\0');
    DWORD n = GetPrivateProfileSectionW(section.c_str(), buf.data(), chars, path.c_str());
    if (n + 2 >= chars && chars < kMaxSectionChars) continue;  // cut short: ask again with more room
    TStringList lines;
    for (size_t i = 0; i < n && buf[i];) {
      WStr line(buf.data() + i);
      i += line.size() + 1;
      lines.push_back(line);
    }
    return lines;
  }
  return {};
}

WStr TrimSpaces(WStrView s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == u' ' || s[b] == u'\t')) ++b;
  while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t')) --e;
  return WStr(s.substr(b, e - b));
}

// The printui command for one name; empty when the name cannot be carried on a command line.
WStr PrintUICommand(const WStr& format, const WStr& name) {
  if (!NameFitsQuotedArgument(name)) {
    TheDebugger().LogMsgError(W_("名稱不能安全地放入系統UI的命令行，不調用系統UI：") + name);
    return {};
  }
  return W_("rundll32") + Format(format, {name});
}

}  // namespace

bool NameFitsQuotedArgument(const WStr& name) {
  for (WCHAR c : name)
    if (c == u'"' || c < u' ' || c == 0x7F) return false;
  return name.empty() || name.back() != u'\\';
}

bool RemoveOlderVersion(const WStr& driverName, const WStr& requiredVersion, const WStr& makerName, int& code) {
  bool result = true;
  if (requiredVersion.empty()) return result;
  TStringList printers;
  if (!IsOlderGPDVersionInstalled(driverName, requiredVersion, printers)) return result;
  // The first printers of a shared driver go without it; the last one takes it along.
  for (const WStr& printer : printers) {
    bool deleteDriver = true;
    code = DeletePrinterAndDriver(makerName, printer, deleteDriver);
    if (code != rcDone) {
      result = false;
      break;
    }
  }
  return result;
}

int DeletePrinterAndDriver(const WStr& makerName, const WStr& printerName, bool& deleteDriver) {
  const WStr proc = W_("DeletePrinterAndDriver");
  TheDebugger().LogEnter(proc);
  if (CountPrinterJobs(printerName, nullptr, WStr()) > 0) {
    TheDebugger().LogLeave(proc);
    return rcJobsQueued;
  }
  WStr driverName;
  bool shared = false;
  // The whole name is carried: a name cut short could name another driver, or none, and a
  // removal of nothing would pass for a removal.
  GetPrinterDriverUsage(printerName, driverName, shared);

  PRINTER_DEFAULTSW defaults{};
  defaults.DesiredAccess = PRINTER_ALL_ACCESS;
  if (unique_printer printer = OpenPrinterByName(printerName, &defaults)) {
    DWORD status = PRINTER_STATUS_OFFLINE;
    if (!SetPrinterW(printer.get(), 0, reinterpret_cast<LPBYTE>(&status), PRINTER_CONTROL_SET_STATUS))
      TheDebugger().LogMsg(W_("不能將打印機設置為脫機：") + printerName);
  }

  WStr deleted;
  UIDeletePrinter(printerName, deleted);
  if (deleted != printerName) {
    TheDebugger().LogMsg(W_("刪除打印機失敗：") + printerName);
    TheDebugger().LogLeave(proc);
    return rcPrinterNotDeleted;
  }
  WStr newDefault;
  ChooseNewDefaultPrinter(newDefault);
  int code = rcDone;
  if (deleteDriver && !shared && !driverName.empty()) {
    WStr deletedDriver;
    UIDeletePrinterDriver(driverName, makerName, deletedDriver);
    if (deletedDriver != driverName) {
      TheDebugger().LogMsgWarning(W_("調用系統UI刪除失敗，正準備使用其他方法重試！"));
      if (!DelSpecPrnDrv(driverName, makerName)) {
        deleteDriver = false;
        code = rcDriverNotDeleted;
        TheDebugger().LogMsgWarning(Format(W_("刪除驅動程序（%s）出錯！"), {driverName}));
      }
    }
  }
  TheDebugger().LogLeave(proc);
  return code;
}

void UIDeletePrinter(const WStr& printerName, WStr& deletedName) {
  const WStr proc = W_("UIDeletePrinter");
  TheDebugger().LogEnter(proc);
  deletedName.clear();
  // The printer list is read afresh by every query below: nothing to refresh here.
  WStr command = PrintUICommand(W_(" printui.dll,PrintUIEntry /dl /n \"%s\" /h \"intel\" /q"), printerName);
  TStringList output;
  if (!command.empty() && RunCMD_pipe(command, output) >= 0) {
    TheDebugger().LogMsg(W_("RunCMD_pipe函數成功調用返回。"));
    if (!PrinterExists(printerName)) {
      deletedName = printerName;
      TheDebugger().LogMsg(W_("成功刪除打印機。") + deletedName);
      SetLastError(ERROR_SUCCESS);
    }
  }
  TheDebugger().LogLeave(proc);
}

void UIDeletePrinterDriver(const WStr& driverName, const WStr& makerName, WStr& deletedName) {
  // The spooler finishes the printer's removal in the background; give it a moment first.
  Sleep(10);
  Sleep(100);
  Sleep(10);
  const WStr proc = W_("UIDeletePrinterDriver");
  TheDebugger().LogEnter(proc);
  deletedName.clear();
  WStr command = PrintUICommand(W_(" printui.dll,PrintUIEntry /dd /m \"%s\" /h \"intel\" /q"), driverName);
  TStringList output;
  if (!command.empty() && RunCMD_pipe(command, output) >= 0) {
    TheDebugger().LogMsg(W_("RunCMD_pipe函數成功調用返回。"));
    if (PrinterDriverExists(driverName)) {
      TheDebugger().LogMsg(W_("卸載驅動程序失敗："));
    } else {
      deletedName = driverName;
      TheDebugger().LogMsg(W_("成功刪除驅動程序。") + deletedName);
      SetLastError(ERROR_SUCCESS);
      if (!makerName.empty()) DelRegUninstallInfo(driverName, makerName);
    }
  }
  TheDebugger().LogLeave(proc);
}

bool DelSpecPrnDrv(const WStr& driverName, const WStr& makerName) {
  const WStr proc = W_("DelSpecPrnDrv");
  TheDebugger().LogEnter(proc);
  bool result = true;
  if (WinVersion / 10 < 5) {
    WStr name = driverName;
    if (!DeletePrinterDriverW(nullptr, nullptr, name.data())) {
      TheDebugger().LogErrorFmt(W_("DeletePrinterDriver Failt, LastError = 0x%.8x"), {GetLastError()});
      result = false;
    }
  } else {
    std::string name = ToAnsi(driverName);
    auto attempt = [&]() -> bool {
      unique_module winspool(LoadLibraryW(W_("winspool.drv")));
      if (!winspool) return false;
      auto fn = reinterpret_cast<DeletePrinterDriverExAFn>(
          reinterpret_cast<void*>(GetProcAddress(winspool.get(), "DeletePrinterDriverExA")));
      return fn && fn(nullptr, nullptr, name.data(), DPD_DELETE_UNUSED_FILES, 0);
    };
    if (!attempt()) {
      TheDebugger().LogErrorFmt(W_("DeletePrinterDriverEx Failt <1>, LastError = 0x%.8x"), {GetLastError()});
      Sleep(0);
      Sleep(1000);
      Sleep(100);
      if (!attempt()) {
        TheDebugger().LogErrorFmt(W_("DeletePrinterDriverEx Failt <2>, LastError = 0x%.8x"), {GetLastError()});
        result = false;
      }
    }
  }
  if (result && !makerName.empty()) {
    TheDebugger().LogMsg(W_("準備刪除註冊表(registry)中的信息！ ............"));
    DelRegUninstallInfo(driverName, makerName);
  }
  TheDebugger().LogLeave(proc);
  return result;
}

void ChooseNewDefaultPrinter(WStr& newDefault) {
  newDefault.clear();
  WStr current;
  if (!GetDefaultPrinterName(current)) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) {
      WStr text = Format(W_("GetDefaultPrinter Fail, Error Code :0x%.8x"), {error});
      OutputDebugStringW(text.c_str());
      return;
    }
    current.clear();
  }
  TStringList names;
  ListPrinterNames(&names);
  if (!PrinterExists(current) && !names.empty() && SetDefaultPrinterName(names.front())) newDefault = names.front();
}

bool DelRegUninstallInfo(const WStr& driverName, const WStr& makerName) {
  const WStr proc = W_("DelRegUninstallInfo");
  TheDebugger().LogEnter(proc);
  bool result = false;
  // An empty name, or one that reaches into another key, would take more than the driver's key.
  if (driverName.empty() || driverName.find(u'\\') != WStr::npos) {
    TheDebugger().LogLeave(proc);
    return result;
  }
  WStr base = UninstallBaseKey();
  WStr utilities = makerName + W_(" Printer Utilities");
  WStr drivers = base + utilities + W_("\\PrinterDrivers\\");
  if (!KeepOEMInfs(drivers + driverName + W_("\\"))) {
    TheDebugger().LogFmt(W_("註冊表鍵（%s）指定了刪除Inf文件。........"), {drivers + driverName});
    LeaveOEMInf(driverName, W_("Printer"));
  }
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, drivers.c_str(), 0, KEY_ALL_ACCESS, &raw) == ERROR_SUCCESS) {
    unique_hkey driversKey(raw);
    if (RegDeleteTreeW(driversKey.get(), driverName.c_str()) == ERROR_SUCCESS) {
      result = true;
      if (!HasSubkeys(driversKey.get())) {
        driversKey.reset();
        HKEY baseRaw = nullptr;
        bool gone = false;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, base.c_str(), 0, KEY_ALL_ACCESS, &baseRaw) == ERROR_SUCCESS) {
          unique_hkey baseKey(baseRaw);
          gone = RegDeleteTreeW(baseKey.get(), utilities.c_str()) == ERROR_SUCCESS;
        }
        if (!gone) result = false;
      }
    }
    if (!result) TheDebugger().LogMsgWarning(W_("未能刪除指定的註冊表鍵！！！！！！"));
  }
  TheDebugger().LogLeave(proc);
  return result;
}

WStr SystemInfFolder() {
  WCHAR buf[MAX_PATH + 1] = {};
  UINT n = GetSystemDirectoryW(buf, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return {};
  WStr system(buf, n);
  size_t at = LowerAscii(system).find(W_("system32"));
  if (at == WStr::npos) return {};
  return system.substr(0, at) + W_("inf\\");
}

int LeaveOEMInf(const WStr& driverName, const WStr& deviceClass) {
  const WStr proc = W_("LeaveOEMInf");
  TheDebugger().LogEnter(proc);
  int count = 0;
  WStr folder = SystemInfFolder();
  TheDebugger().LogFmt(W_("準備在系統inf目錄(%s)下搜索文件！"), {folder});
  // Only the files of that one folder are ever deleted: the names come from its own listing.
  if (!folder.empty() && !driverName.empty() && DirectoryExists(folder)) {
    WIN32_FIND_DATAW fd{};
    unique_find find(FindFirstFileW((folder + W_("oem*.inf")).c_str(), &fd));
    if (find) {
      do {
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        WStr file = fd.cFileName;
        if (file.find_first_of(W_("\\/:")) != WStr::npos) continue;
        if (file.size() < 4 || LowerAscii(WStrView(file).substr(file.size() - 4)) != W_(".inf")) continue;
        if (fd.nFileSizeHigh != 0 || fd.nFileSizeLow > kMaxInfBytes) {
          TheDebugger().LogMsgWarning(W_("inf文件過大，不檢查：") + folder + file);
          continue;
        }
        if (!InfMatchesDriver(driverName, folder + file, deviceClass)) continue;
        TheDebugger().LogFmt(W_("找到對應的inf文件：%s，準備刪除！"), {folder + file});
        // The file checked is the one deleted, with the .pnf of its base name: the listing
        // matches "oem*.inf" in any letter case (OEM5.INF) and through short names (oem5.infx).
        WStr base = file.substr(0, file.size() - 4);
        DeleteFileW((folder + file).c_str());
        DeleteFileW((folder + base + W_(".pnf")).c_str());
        ++count;
      } while (FindNextFileW(find.get(), &fd));
    }
  }
  TheDebugger().LogFmt(W_("本次操作共刪除<%d>個inf文件。"), {count});
  TheDebugger().LogLeave(proc);
  return count;
}

bool InfMatchesDriver(const WStr& driverName, const WStr& infPath, const WStr& deviceClass) {
  TIniFile inf(infPath);
  WStr provider = inf.ReadString(W_("Strings"), W_("ProviderName"), W_(""));
  WStr cls = inf.ReadString(W_("Version"), W_("Class"), W_(""));
  if (provider.empty() || cls != deviceClass) return false;
  WStr quoted = W_("\"") + driverName + W_("\"");
  for (const WStr& line : SectionLines(provider, infPath)) {
    size_t eq = line.find(u'=');
    if (eq == WStr::npos) continue;
    WStr key = TrimSpaces(WStrView(line).substr(0, eq));
    if (key == driverName || key == quoted) return true;
  }
  return false;
}
