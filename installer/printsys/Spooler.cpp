#include "Spooler.h"

#include <algorithm>

#include "debuglog/DebugLog.h"
#include "win32/kernel.h"

namespace {

constexpr DWORD kPortListBytes = 2000;
constexpr DWORD kJobListBytes = 64000;
constexpr DWORD kMaxJobs = 1000;
constexpr DWORD kDriverListFallbackBytes = 131072;
constexpr DWORD kDefaultNameBytes = 260;  // narrow characters, terminator included

// The narrow default-printer function, looked up in winspool.drv at run time.
using GetDefaultPrinterAFn = BOOL(WINAPI*)(LPSTR pszBuffer, LPDWORD pcchBuffer);

// EnumPrintersW with the size query first, then the call into a buffer of the reported size.
bool EnumPrintersTwice(DWORD flags, const WStr& name, DWORD level, TSpoolerBuffer& buffer, DWORD& count) {
  WStr nameCopy = name;
  DWORD needed = 0, returned = 0;
  EnumPrintersW(flags, nameCopy.data(), level, nullptr, 0, &needed, &returned);
  buffer = TSpoolerBuffer(needed);
  returned = 0;
  if (!EnumPrintersW(flags, nameCopy.data(), level, buffer.data(), buffer.size(), &needed, &returned)) return false;
  count = returned;
  return true;
}

WStr TextOrEmpty(const WCHAR* s) { return s ? WStr(s) : WStr(); }

// The default printer as the platform reports it, through the wide function; empty when none is
// set or it cannot be read.
WStr PlatformDefaultPrinter() {
  DWORD chars = 0;
  GetDefaultPrinterW(nullptr, &chars);
  if (chars == 0) return {};
  std::vector<WCHAR> name(chars, WCHAR{});
  if (!GetDefaultPrinterW(name.data(), &chars)) return {};
  return WStr(name.data(), static_cast<size_t>(std::find(name.begin(), name.end(), WCHAR{}) - name.begin()));
}

}  // namespace

unique_printer OpenPrinterByName(const WStr& printerName, PRINTER_DEFAULTSW* defaults) {
  WStr name = printerName;
  HANDLE h = nullptr;
  if (!OpenPrinterW(name.data(), &h, defaults)) return unique_printer();
  return unique_printer(h);
}

bool ReadPrinterInfo(HANDLE printer, DWORD level, TSpoolerBuffer& buffer) {
  DWORD needed = 0;
  GetPrinterW(printer, level, nullptr, 0, &needed);
  buffer = TSpoolerBuffer(needed);
  return GetPrinterW(printer, level, buffer.data(), buffer.size(), &needed) != FALSE;
}

TStringList ReadPrinterList() {
  TStringList names;
  TSpoolerBuffer buffer;
  DWORD count = 0;
  if (!EnumPrintersTwice(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, WStr(), 4, buffer, count)) return names;
  for (const PRINTER_INFO_4W& p : buffer.records<PRINTER_INFO_4W>(count)) names.push_back(TextOrEmpty(p.pPrinterName));
  return names;
}

bool PrinterExists(const WStr& printerName) {
  // With PRINTER_ENUM_LOCAL alone the spooler lists every local printer: the name does not filter.
  TSpoolerBuffer buffer;
  DWORD count = 0;
  if (!EnumPrintersTwice(PRINTER_ENUM_LOCAL, printerName, 2, buffer, count)) return false;
  for (const PRINTER_INFO_2W& p : buffer.records<PRINTER_INFO_2W>(count))
    if (p.pPrinterName && SameTextAscii(p.pPrinterName, printerName)) return true;
  return false;
}

bool PrinterDriverExists(const WStr& driverName) {
  DWORD needed = 0, returned = 0;
  BOOL sized = EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &returned);
  // Only a reported shortage gives a trustworthy size; otherwise a generous fixed buffer is tried.
  DWORD bytes = !sized && GetLastError() == ERROR_INSUFFICIENT_BUFFER ? needed + 2 : kDriverListFallbackBytes;
  TSpoolerBuffer buffer(bytes);
  returned = 0;
  if (!EnumPrinterDriversW(nullptr, nullptr, 1, buffer.data(), buffer.size(), &needed, &returned)) {
    TheDebugger().LogMsgWarning(W_("列舉系統打印機驅動程序失敗！"));
    return false;
  }
  for (const DRIVER_INFO_1W& d : buffer.records<DRIVER_INFO_1W>(returned))
    if (d.pName && SameTextAscii(d.pName, driverName)) return true;
  return false;
}

bool PortExists(const WStr& portName) {
  TSpoolerBuffer buffer(kPortListBytes);
  DWORD needed = 0, returned = 0;
  if (!EnumPortsW(nullptr, 2, buffer.data(), buffer.size(), &needed, &returned)) return false;
  for (const PORT_INFO_2W& p : buffer.records<PORT_INFO_2W>(returned))
    if (p.pPortName && WStrView(p.pPortName) == portName) return true;
  return false;
}

int ListPrinterNames(TStringList* target) {
  TStringList printers = ReadPrinterList();
  if (printers.empty() || !target) return -1;
  target->clear();
  for (const WStr& name : printers) {
    size_t on = name.find(W_(" on "));
    target->push_back(on == WStr::npos ? name : name.substr(0, on));
  }
  WStr def = PlatformDefaultPrinter();
  if (def.empty()) return -1;
  for (size_t i = 0; i < printers.size(); ++i)
    if (SameTextAscii(printers[i], def)) return static_cast<int>(i);
  return -1;
}

void GetPrinterPort(const WStr& printerName, WStr& port) {
  port.clear();
  SetLastError(ERROR_SUCCESS);
  if (printerName.empty()) {
    TheDebugger().LogErrorFmt(W_("在檢查打印機【%s】的時候出錯了：0x%.8x"), {printerName, GetLastError()});
    return;
  }
  unique_printer printer = OpenPrinterByName(printerName);
  if (!printer) return;
  DWORD needed = 0;
  GetPrinterW(printer.get(), 5, nullptr, 0, &needed);
  // Twice the reported size: slack should the printer change between the two calls.
  TSpoolerBuffer buffer(needed * 2);
  if (GetPrinterW(printer.get(), 5, buffer.data(), buffer.size(), &needed))
    if (const PRINTER_INFO_5W* info = buffer.record<PRINTER_INFO_5W>()) port = TextOrEmpty(info->pPortName);
  printer.reset();
  TheDebugger().LogFmt(W_("你要檢測的打印機【%s】端口為：%s"), {printerName, port});
}

bool GetDefaultPrinterName(WStr& printerName) {
  unique_module winspool(LoadLibraryW(W_("winspool.drv")));
  if (!winspool) return false;
  auto getDefault = reinterpret_cast<GetDefaultPrinterAFn>(
      reinterpret_cast<void*>(GetProcAddress(winspool.get(), "GetDefaultPrinterA")));
  if (!getDefault) {
    printerName.clear();
    return false;
  }
  char name[kDefaultNameBytes] = {};
  DWORD size = kDefaultNameBytes;
  BOOL ok = getDefault(name, &size);
  DWORD error = GetLastError();
  size_t length = static_cast<size_t>(std::find(name, name + sizeof name, '\0') - name);
  printerName = ok ? FromAnsi(std::string_view(name, length)) : WStr();
  winspool.reset();
  // The caller reads why it failed: unloading the library must not change that.
  SetLastError(error);
  return ok != FALSE;
}

bool IsPrinterOnline(const WStr& printerName, bool& online) {
  unique_printer printer = OpenPrinterByName(printerName);
  if (!printer) return false;
  TSpoolerBuffer buffer;
  if (!ReadPrinterInfo(printer.get(), 5, buffer)) return false;
  const PRINTER_INFO_5W* info = buffer.record<PRINTER_INFO_5W>();
  if (!info) return false;
  online = (info->Attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE) == 0;
  return true;
}

void GetPrinterDriverName(const WStr& printerName, WStr& driverName) {
  driverName.clear();
  unique_printer printer = OpenPrinterByName(printerName);
  if (!printer) return;
  TSpoolerBuffer buffer;
  if (!ReadPrinterInfo(printer.get(), 2, buffer)) return;
  if (const PRINTER_INFO_2W* info = buffer.record<PRINTER_INFO_2W>()) driverName = TextOrEmpty(info->pDriverName);
}

bool GetPrinterDriverUsage(const WStr& printerName, WStr& driverName, bool& shared) {
  shared = false;
  driverName.clear();
  TSpoolerBuffer buffer;
  DWORD count = 0;
  if (!EnumPrintersTwice(PRINTER_ENUM_LOCAL, printerName, 2, buffer, count)) return false;
  auto printers = buffer.records<PRINTER_INFO_2W>(count);
  bool found = false;
  for (const PRINTER_INFO_2W& p : printers) {
    if (p.pPrinterName && WStrView(p.pPrinterName) == printerName) {
      driverName = TextOrEmpty(p.pDriverName);  // several of that name: the last one counts
      found = true;
    }
  }
  if (found) {
    int users = 0;
    for (const PRINTER_INFO_2W& p : printers)
      if (p.pDriverName && WStrView(p.pDriverName) == driverName) ++users;
    shared = users >= 2;
  }
  return true;
}

int CountPrinterJobs(const WStr& printerName, TStringList* jobs, const WStr& prefix) {
  unique_printer printer = OpenPrinterByName(printerName);
  if (!printer) return 0;
  TSpoolerBuffer buffer(kJobListBytes);
  DWORD needed = 0, returned = 0;
  if (!EnumJobsW(printer.get(), 0, kMaxJobs, 1, buffer.data(), buffer.size(), &needed, &returned)) return 0;
  auto list = buffer.records<JOB_INFO_1W>(returned);
  if (jobs) {
    jobs->clear();
    WStr format = prefix + W_("%s(%s)");
    for (const JOB_INFO_1W& job : list) jobs->push_back(Format(format, {job.pDocument, JobStatusText(job.Status)}));
  }
  return static_cast<int>(list.size());
}

WStr JobStatusText(DWORD status) {
  switch (status) {
    case 0:
      return W_("Waiting");
    case JOB_STATUS_PAUSED:
      return W_("Paused");
    case JOB_STATUS_ERROR:
      return W_("Error");
    case JOB_STATUS_DELETING:
      return W_("Deleting");
    case JOB_STATUS_SPOOLING:
      return W_("Spooling");
    case JOB_STATUS_PRINTING:
      return W_("Printing");
    case JOB_STATUS_PAUSED | JOB_STATUS_PRINTING:
      return W_("Paused Printing");
    case JOB_STATUS_OFFLINE:
      return W_("Offline");
    case JOB_STATUS_PAPEROUT:
      return W_("Paper Out");
    case JOB_STATUS_PRINTED:
      return W_("Printed");
    case JOB_STATUS_DELETED:
      return W_("Deleted");
    case JOB_STATUS_BLOCKED_DEVQ:
      return W_("Blocked");
    case JOB_STATUS_USER_INTERVENTION:
      return W_("User Intervention");
    case JOB_STATUS_RESTART:
      return W_("Restart");
    default:
      return W_("Status ") + IntToStr(status);
  }
}
