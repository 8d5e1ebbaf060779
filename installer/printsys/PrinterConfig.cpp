#include "PrinterConfig.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "Spooler.h"
#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "win32/kernel.h"
#include "win32/user.h"

namespace {

// winspool.drv functions looked up at run time.
using SetDefaultPrinterAFn = BOOL(WINAPI*)(LPCSTR pszPrinter);
using XcvDataWFn = BOOL(WINAPI*)(HANDLE hXcv, LPCWSTR pszDataName, PBYTE pInputData, DWORD cbInputData,
                                 PBYTE pOutputData, DWORD cbOutputData, PDWORD pcbOutputNeeded, PDWORD pdwStatus);

template <class Fn>
Fn LookUp(const unique_module& module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module.get(), name)));
}

constexpr DWORD kXcvOutputBytes = 512;
constexpr DWORD kFallbackDevModeFields = DM_ORIENTATION | DM_PAPERSIZE | DM_NUP | DM_COPIES | DM_DEFAULTSOURCE |
                                         DM_PRINTQUALITY | DM_COLOR | DM_TTOPTION | DM_COLLATE | DM_FORMNAME |
                                         DM_ICMMETHOD | DM_ICMINTENT | DM_DITHERTYPE;
static_assert(kFallbackDevModeFields == 0x0581CF43);

// Copies text into a DEVMODE name field, cut so that the terminator always fits.
void CopyDevModeName(WCHAR (&field)[CCHFORMNAME], const WStr& text) {
  std::fill(std::begin(field), std::end(field), WCHAR{});
  std::copy_n(text.begin(), std::min(text.size(), kMaxDevModeNameChars), field);
}

// A copy of a printer's DEVMODE with its private part, taken before the record's buffer goes.
// The size the record claims is held to what the buffer really has after the DEVMODE.
TSpoolerBuffer KeepDevMode(TSpoolerBuffer& record, const DEVMODEW* dm) {
  if (!dm) return TSpoolerBuffer();
  auto start = reinterpret_cast<std::uintptr_t>(record.data());
  auto at = reinterpret_cast<std::uintptr_t>(dm);
  if (at < start || at >= start + record.size()) return TSpoolerBuffer();
  size_t available = start + record.size() - at;
  if (available < offsetof(DEVMODEW, dmFields)) return TSpoolerBuffer();
  size_t bytes = std::min<size_t>(size_t{dm->dmSize} + dm->dmDriverExtra, available);
  TSpoolerBuffer copy(static_cast<DWORD>(bytes));
  std::memcpy(copy.data(), dm, bytes);
  return copy;
}

}  // namespace

bool SetDefaultPrinterName(const WStr& printerName) {
  unique_module winspool(LoadLibraryW(W_("winspool.drv")));
  if (!winspool) return false;
  auto setDefault = LookUp<SetDefaultPrinterAFn>(winspool, "SetDefaultPrinterA");
  if (!setDefault) return false;
  std::string name = ToAnsi(printerName);
  BOOL ok = setDefault(name.c_str());
  DWORD error = GetLastError();
  winspool.reset();
  SetLastError(error);  // why it failed outlives the library
  return ok != FALSE;
}

bool AddLocalPort(const WStr& portName) {
  // The monitor takes names of at most 255 characters; a longer one is refused, never cut, so
  // that no port of another name gets made.
  if (portName.size() > kMaxLocalPortChars) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  unique_module winspool(LoadLibraryW(W_("winspool.drv")));
  if (!winspool) return false;
  auto xcvData = LookUp<XcvDataWFn>(winspool, "XcvDataW");
  if (!xcvData) throw KelvaneError(W_("Function not found : winspool.drv -> XcvDataW"));

  PRINTER_DEFAULTSW defaults{};
  defaults.pDatatype = nullptr;
  defaults.pDevMode = nullptr;
  defaults.DesiredAccess = SERVER_ACCESS_ADMINISTER;
  unique_printer monitor = OpenPrinterByName(W_(",XcvMonitor Local Port"), &defaults);
  if (!monitor) return false;

  WStr input = portName;  // sent with its terminator
  std::vector<BYTE> output(kXcvOutputBytes);
  DWORD needed = 0, status = 0;
  SetLastError(ERROR_SUCCESS);
  BOOL ok = xcvData(monitor.get(), W_("AddPort"), reinterpret_cast<PBYTE>(input.data()),
                    static_cast<DWORD>((input.size() + 1) * sizeof(WCHAR)), output.data(), 0, &needed, &status);
  // Closed before the status is set, so that closing cannot overwrite what the monitor said.
  monitor.reset();
  SetLastError(status);
  return ok != FALSE;
}

bool SetPrinterPort(const WStr& printerName, const WStr& portName) {
  if (portName.empty()) return false;
  unique_printer printer = OpenPrinterByName(printerName);
  if (!printer) return false;
  TSpoolerBuffer devMode;
  {
    TSpoolerBuffer record;
    if (ReadPrinterInfo(printer.get(), 2, record))
      if (const PRINTER_INFO_2W* info = record.record<PRINTER_INFO_2W>()) devMode = KeepDevMode(record, info->pDevMode);
  }
  printer.reset();

  // Changing the port needs administration rights: open again asking for them.
  WStr datatype = W_("RAW");
  PRINTER_DEFAULTSW defaults{};
  defaults.pDatatype = datatype.data();
  defaults.pDevMode = reinterpret_cast<LPDEVMODEW>(devMode.data());
  defaults.DesiredAccess = PRINTER_ALL_ACCESS;
  printer = OpenPrinterByName(printerName, &defaults);
  if (!printer) return false;
  TSpoolerBuffer record;
  if (!ReadPrinterInfo(printer.get(), 2, record)) return false;
  PRINTER_INFO_2W* info = record.record<PRINTER_INFO_2W>();
  if (!info) return false;
  WStr port = portName;
  info->pPortName = port.data();
  return SetPrinterW(printer.get(), 2, reinterpret_cast<LPBYTE>(info), 0) != FALSE;
}

DEVMODEW FallbackDevMode(const WStr& printerName) {
  DEVMODEW dm;
  std::memset(&dm, 0, sizeof dm);  // every field not set below is zero
  CopyDevModeName(dm.dmDeviceName, printerName);
  dm.dmSpecVersion = DM_SPECVERSION;
  dm.dmDriverVersion = 0x0100;
  dm.dmSize = sizeof(DEVMODEW);
  dm.dmDriverExtra = 0;
  dm.dmFields = kFallbackDevModeFields;
  dm.dmOrientation = DMORIENT_PORTRAIT;
  dm.dmPaperSize = DMPAPER_A4;
  dm.dmPaperLength = 2970;  // tenths of a millimetre
  dm.dmPaperWidth = 2100;
  dm.dmScale = 100;
  dm.dmCopies = 1;
  dm.dmDefaultSource = DMBIN_FORMSOURCE;
  dm.dmPrintQuality = 180;
  dm.dmYResolution = 180;
  dm.dmColor = DMCOLOR_MONOCHROME;
  dm.dmDuplex = DMDUP_SIMPLEX;
  dm.dmTTOption = DMTT_DOWNLOAD;
  dm.dmCollate = DMCOLLATE_TRUE;
  CopyDevModeName(dm.dmFormName, W_("A4"));
  dm.dmNup = DMNUP_SYSTEM;
  dm.dmICMMethod = DMICMMETHOD_NONE;
  dm.dmICMIntent = DMICM_CONTRAST;
  dm.dmMediaType = DMMEDIA_STANDARD;
  dm.dmDitherType = 0xFFFFFFFF;
  return dm;
}

bool AddPrinterOnLPT1(const WStr& driverName, const WStr& printerName) {
  if (driverName.empty() || printerName.empty()) return false;
  DEVMODEW dm = FallbackDevMode(printerName);
  WStr name = printerName, driver = driverName, port = W_("LPT1:"), processor = W_("WinPrint"), datatype = W_("RAW");
  WStr share, comment, location, sepFile, parameters;  // empty texts, not absent ones
  PRINTER_INFO_2W info{};
  info.pServerName = nullptr;
  info.pPrinterName = name.data();
  info.pShareName = share.data();
  info.pPortName = port.data();
  info.pDriverName = driver.data();
  info.pComment = comment.data();
  info.pLocation = location.data();
  info.pDevMode = &dm;
  info.pSepFile = sepFile.data();
  info.pPrintProcessor = processor.data();
  info.pDatatype = datatype.data();
  info.pParameters = parameters.data();
  info.pSecurityDescriptor = nullptr;
  info.Attributes = PRINTER_ATTRIBUTE_LOCAL;
  info.Priority = 1;
  info.DefaultPriority = 0;
  info.StartTime = 0;
  info.UntilTime = 0;
  unique_printer added(AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info)));
  return static_cast<bool>(added);
}

bool ApplyChangePrinterInfo(const TChangePrinterInfo& info) {
  // The default is set first, while the printer still has its old name.
  if (info.bSetDefault && !SetDefaultPrinterName(info.OrgName))
    TheDebugger().LogMsgWarning(W_("設置默認打印機失敗！") + info.OrgName);

  if (!OpenPrinterByName(info.OrgName)) return false;
  WStr datatype = W_("RAW");
  PRINTER_DEFAULTSW defaults{};
  defaults.pDatatype = datatype.data();
  defaults.pDevMode = nullptr;
  defaults.DesiredAccess = PRINTER_ALL_ACCESS;
  unique_printer printer = OpenPrinterByName(info.OrgName, &defaults);
  if (!printer) return false;
  TSpoolerBuffer record;
  if (!ReadPrinterInfo(printer.get(), 2, record)) return false;
  PRINTER_INFO_2W* pi = record.record<PRINTER_INFO_2W>();
  if (!pi) return false;

  WStr deviceName = info.OrgName;
  TSpoolerBuffer devMode;
  if (!info.DefaultForm.empty()) {
    LONG bytes = DocumentPropertiesW(nullptr, printer.get(), deviceName.data(), nullptr, nullptr, 0);
    LONG got = -1;
    // A failed size query gives no buffer to fill: the driver would write past whatever we guessed.
    if (bytes > 0) {
      // Never smaller than the public part, whose form field is written below.
      devMode = TSpoolerBuffer(static_cast<DWORD>(std::max<size_t>(static_cast<size_t>(bytes), sizeof(DEVMODEW))));
      auto dm = reinterpret_cast<LPDEVMODEW>(devMode.data());
      got = DocumentPropertiesW(nullptr, printer.get(), deviceName.data(), dm, dm, DM_OUT_BUFFER);
    }
    if (got == IDOK) {
      auto dm = reinterpret_cast<LPDEVMODEW>(devMode.data());
      CopyDevModeName(dm->dmFormName, info.DefaultForm);
      dm->dmFields = DM_FORMNAME;
      pi->pDevMode = dm;
    } else {
      TheDebugger().LogMsgWarning(Format(W_("DocumentProperties獲取DevMode失敗：(%d)！"), {GetLastError()}));
    }
  }

  WStr newName = info.NewName;
  if (!newName.empty() && newName != info.OrgName) pi->pPrinterName = newName.data();

  WStr shareName = info.ShareName;
  if (!shareName.empty()) {
    pi->pShareName = shareName.data();
    pi->Attributes |= PRINTER_ATTRIBUTE_SHARED;
  } else {
    pi->Attributes &= ~static_cast<DWORD>(PRINTER_ATTRIBUTE_SHARED);
  }

  WStr port = info.Port;
  static constexpr WStrView kAddLocal = W_("ADDLOCAL:");
  if (UpperAscii(port).starts_with(kAddLocal)) {
    port = port.substr(kAddLocal.size());
    if (!PortExists(port) && !AddLocalPort(port)) TheDebugger().LogMsgWarning(W_("未能添加指定的本地端口：") + port);
  }
  if (PortExists(port)) pi->pPortName = port.data();

  WStr processor = info.Process;
  if (!processor.empty() && processor != W_("WinPrint")) {
    pi->Attributes |= PRINTER_ATTRIBUTE_RAW_ONLY;
  } else {
    pi->Attributes &= ~static_cast<DWORD>(PRINTER_ATTRIBUTE_RAW_ONLY);
    processor = W_("WinPrint");
  }
  pi->pPrintProcessor = processor.data();

  SetLastError(ERROR_SUCCESS);
  if (SetPrinterW(printer.get(), 2, reinterpret_cast<LPBYTE>(pi), 0)) return true;
  TheDebugger().LogMsgWarning(Format(W_("設置打印機屬性失敗：(%d)！"), {GetLastError()}));
  return false;
}
