// The printer settings page's data side and its exchange with the printer (see MyUtils.h).
#include "plugin/MyUtils.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/handles.h"
#include "plugin/debug.h"
#include "plugin/intrface.h"
#include "plugin/oemui.h"
#include "plugin/resource.h"
#include "win32/gdi.h"
#include "win32/kernel.h"
#include "win32/profile.h"
#include "win32/spooler.h"
#include "win32/user.h"

using namespace dorvel;

namespace {

constexpr DWORD kNameChars = PAGE_PRINTER_NAME_CHARS;
constexpr DWORD kIniChars = 260;
constexpr DWORD kValueChars = 100;
constexpr DWORD kPrinterDataBytes = 64;
constexpr DWORD kSmallestInfo2 = 1024;
constexpr DWORD kInfo2Fallback = 8192;
constexpr int kReplyBytes = 32;
constexpr int kItemsInReply = 5;
constexpr int kCaptionChars = 63;
constexpr int kMessageChars = 511;

const WCHAR kSettingMark[] = W_("_Setting");
const WCHAR kValueX[] = W_("MoveXMMTenth");
const WCHAR kValueY[] = W_("MoveYMMTenth");
const WCHAR kValueCompress[] = W_("CompressX");
const WCHAR kValueUnit[] = W_("UnitType");

using GetSettingDataFn = BOOL(WINAPI*)(LPCWSTR, BYTE*, int*);
using SetSettingItemFn = BOOL(WINAPI*)(LPCWSTR, BYTE, BYTE);

// Copies at most cch - 1 characters and terminates.
void CopyBounded(LPWSTR dest, DWORD cch, WStrView src) {
  if (!dest || cch == 0) return;
  size_t n = std::min<size_t>(src.size(), cch - 1);
  std::copy_n(src.data(), n, dest);
  dest[n] = W_('\0');
}

WStr ThreadPrinter() {
  WCHAR name[kNameChars] = {};
  BOOL found = MyGetThreadPrinter(name, kNameChars);
  DORVEL_ASSERT(found);
  return name;
}

unique_printer OpenWithDefaults(const WStr& name, bool allAccess) {
  WStr copy = name;
  WCHAR raw[] = W_("RAW");
  PRINTER_DEFAULTSW defaults = {raw, nullptr, PRINTER_ALL_ACCESS};
  HANDLE h = nullptr;
  if (!OpenPrinterW(copy.data(), &h, allAccess ? &defaults : nullptr)) return unique_printer();
  return unique_printer(h);
}

// The settings file of an open printer's driver.
WStr IniFileOf(HANDLE hPrinter) {
  DWORD needed = 0;
  WCHAR env[] = W_("");
  GetPrinterDriverW(hPrinter, env, 6, nullptr, 0, &needed);
  if (needed < sizeof(DRIVER_INFO_6W)) return {};
  std::vector<BYTE> buf(needed);
  if (!GetPrinterDriverW(hPrinter, env, 6, buf.data(), needed, &needed)) return {};
  auto info = reinterpret_cast<const DRIVER_INFO_6W*>(buf.data());
  // The list ends with an empty name; a list cut short by the buffer's end ends there too.
  const WCHAR* end = reinterpret_cast<const WCHAR*>(buf.data() + buf.size());
  for (const WCHAR* p = info->pDependentFiles; p && p < end && *p;) {
    const WCHAR* q = p;
    while (q < end && *q) ++q;
    WStrView file(p, static_cast<size_t>(q - p));
    if (file.find(kSettingMark) != WStrView::npos) return WStr(file.substr(0, kIniChars - 1));
    p = q + 1;
  }
  return {};
}

// The number at the start of a text: blanks, an optional sign, decimal digits; 0 without digits,
// the nearest 32-bit value when too large.
INT LeadingNumber(WStrView s) {
  size_t i = 0;
  while (i < s.size() && (s[i] == W_(' ') || s[i] == W_('\t'))) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == W_('-') || s[i] == W_('+'))) negative = s[i++] == W_('-');
  long long v = 0;
  for (; i < s.size() && s[i] >= W_('0') && s[i] <= W_('9'); ++i) v = std::min<long long>(v * 10 + (s[i] - W_('0')), 1LL << 32);
  if (negative) v = -v;
  return static_cast<INT>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

// Level 2 information of an open printer, with the size rule of the page: a reported size under
// 1 KB is taken as 8 KB.
std::vector<BYTE> ReadInfo2(HANDLE hPrinter) {
  DWORD needed = 0;
  GetPrinterW(hPrinter, 2, nullptr, 0, &needed);
  if (needed < kSmallestInfo2) {
    WARNING(W_("GetPrinter Needed = %d, ErrRet = %d, 增加到8K！！！！！！"), {needed, GetLastError()});
    needed = kInfo2Fallback;
  }
  std::vector<BYTE> buf(needed);
  TRACE(W_("GetPrinter dwNeeded = %d ."), {needed});
  if (!GetPrinterW(hPrinter, 2, buf.data(), needed, &needed)) buf.assign(sizeof(PRINTER_INFO_2W), 0);
  return buf;
}

void ErrorBox(TPageControls& page, UINT uText, const WStr& caption) {
  WStr text = MyLoadString(uText, kMessageChars);
  MessageBoxW(page.Window(), text.c_str(), caption.c_str(), MB_ICONERROR);
}

// The start both buttons share: the printer must work online on a USB port.
bool ExchangeAllowed(TPageControls& page, WStr& port, WStr& caption) {
  WStr name = ThreadPrinter();
  WCHAR szPort[256] = {};
  BOOL bOnline = FALSE;  // a printer that does not open counts as not reachable
  MyGetPrinterPort(name.c_str(), szPort, 256, &bOnline);
  caption = MyLoadString(IDS_ERROR_CAPTION, kCaptionChars);
  if (!bOnline) {
    ErrorBox(page, IDS_PRINTER_OFFLINE, caption);
    return false;
  }
  if (WStrView(szPort).substr(0, 3) != W_("USB")) {
    ErrorBox(page, IDS_USB_ONLY, caption);
    return false;
  }
  port = szPort;
  return true;
}

void EmptyMarkers(TPageControls& page) {
  for (int i = 0; i < PAGE_ITEM_COUNT; ++i) page.SetText(IDC_ITEM_MARK0 + i, W_(""));
}

}  // namespace

INT MyStoredNumber(const BYTE* pData, DWORD cbData) {
  WCHAR text[kPrinterDataBytes / sizeof(WCHAR)];
  size_t chars = pData ? std::min<DWORD>(cbData, kPrinterDataBytes) / sizeof(WCHAR) : 0;
  if (chars) std::memcpy(text, pData, chars * sizeof(WCHAR));
  return LeadingNumber(WStrView(text, chars));
}

WStr MyReplyText(const BYTE* bysData, int iData) {
  iData = bysData ? std::clamp(iData, 0, kReplyBytes) : 0;
  WStr hex;
  for (int i = 0; i < iData; ++i) hex = FormatW(W_("%s%.2X "), {hex, bysData[i]}).substr(0, kMessageChars);
  return FormatW(W_("打印机返回%d个字节：%s"), {iData, hex}).substr(0, 4095);
}

WStr MyLoadString(UINT uId, int cchMax) {
  std::vector<WCHAR> buf(static_cast<size_t>(cchMax) + 1, W_('\0'));
  int n = LoadStringW(ghInstance, uId, buf.data(), cchMax + 1);
  return WStr(buf.data(), n > 0 ? static_cast<size_t>(n) : 0);
}

// ---- settings file ------------------------------------------------------------------------------

BOOL MyGetIniFileName(LPCWSTR pPrinterName, LPWSTR pBuffer, DWORD cchBuffer) {
  VERBOSE(W_("UIDLL:  -> 正在为【%s】获取配置文件。"), {pPrinterName});
  unique_printer printer = OpenWithDefaults(pPrinterName ? pPrinterName : W_(""), false);
  if (!printer) return FALSE;
  WStr ini = IniFileOf(printer.get());
  VERBOSE(W_("UIDLL:  -> 配置文件名称 = %s"), {ini});
  CopyBounded(pBuffer, cchBuffer, ini);
  return TRUE;
}

INT GetUIVersion() {
  WStr name = ThreadPrinter();
  WCHAR szIni[kIniChars] = {};
  MyGetIniFileName(name.c_str(), szIni, kIniChars);
  // Without a settings file every key has its default.
  INT iVersion = szIni[0] ? static_cast<INT>(GetPrivateProfileIntW(W_("UISettings"), W_("UIVersion"), 10, szIni)) : 10;
  if (iVersion != 10) TRACE(W_("UIDLL:  -> 注意，<GetUIVersion> iVersion = %d, Setting file = %ws"), {iVersion, szIni});
  return iVersion;
}

BOOL MyGetDatValue(HANDLE hPrinter, LPCWSTR pSection, LPCWSTR pKey, LPWSTR pBuffer, DWORD* pcchBuffer) {
  WStr ini = IniFileOf(hPrinter);
  WCHAR value[kValueChars] = {};
  DWORD n = ini.empty() ? 0 : GetPrivateProfileStringW(pSection, pKey, W_("0"), value, kValueChars, ini.c_str());
  if (ini.empty()) {  // no file: the default, as the reader gives for a missing one
    value[0] = W_('0');
    n = 1;
  }
  if (n > 0 && pBuffer && pcchBuffer && *pcchBuffer > 0) {
    CopyBounded(pBuffer, *pcchBuffer, WStrView(value, n));
    *pcchBuffer = std::min<DWORD>(n, *pcchBuffer - 1) + 1;
    WARNING(W_("UIDLL:  -> Prompt.2 MyGetDatValue: 读配置文件(%s)返回: %s -> %s 值 = %s"), {ini, pSection, pKey, pBuffer});
    return 1;
  }
  WARNING(W_("UIDLL:  -> *** Warning.2 MyGetDatValue: 读取配置文件失败！ ***"));
  return 0;
}

INT MyReadImageValue(HANDLE hPrinter, LPCWSTR pValueName) {
  WCHAR name[32] = {};
  CopyBounded(name, 32, pValueName);
  BYTE data[kPrinterDataBytes] = {};
  DWORD type = REG_NONE, needed = 0;
  DWORD err = GetPrinterDataW(hPrinter, name, &type, data, kPrinterDataBytes, &needed);
  // Only text holds a number; anything else is treated as a value that is not there.
  if (err == ERROR_SUCCESS && type != REG_SZ) err = ERROR_INVALID_DATATYPE;
  if (err == ERROR_SUCCESS) return MyStoredNumber(data, needed);
  ERR(W_("GetPrinterData Fail<%s>: %d"), {name, err});
  WCHAR value[kValueChars] = {};
  DWORD cch = kValueChars;
  if (MyGetDatValue(hPrinter, W_("ImageSetting"), name, value, &cch)) return LeadingNumber(value);
  return 0;
}

BOOL MySaveImageValue(LPCWSTR pPrinterName, INT iWhich, INT iValue) {
  unique_printer printer = OpenWithDefaults(pPrinterName ? pPrinterName : W_(""), true);
  if (!printer) {
    ERR(W_("Save Value Error, OpenPrinter Fail !!!"));
    return FALSE;
  }
  auto write = [&](const WCHAR* valueName, const WStr& text) {
    WCHAR name[32] = {};
    CopyBounded(name, 32, valueName);
    WStr bytes = text;  // written without a terminator
    DWORD err = SetPrinterDataW(printer.get(), name, REG_SZ, reinterpret_cast<LPBYTE>(bytes.data()),
                                static_cast<DWORD>(bytes.size() * sizeof(WCHAR)));
    if (err != ERROR_SUCCESS) ERR(W_("SetPrinterData Fail: %d"), {err});
  };
  WStr text = FormatW(W_("%d"), {iValue});
  if (iWhich == IMAGE_OFFSET_X || iWhich == IMAGE_OFFSET_Y) {
    write(iWhich == IMAGE_OFFSET_X ? kValueX : kValueY, text);
    write(kValueUnit, W_("1"));
  } else if (iWhich == IMAGE_COMPRESS) {
    write(kValueCompress, text);
  }
  return TRUE;
}

// ---- port, state and resolution -----------------------------------------------------------------

BOOL MyGetPrinterPort(LPCWSTR pPrinterName, LPWSTR pPort, DWORD cchPort, BOOL* pbOnline) {
  // The name is data, never a format.
  WARNING(W_("%s"), {pPrinterName});
  unique_printer printer = OpenWithDefaults(pPrinterName ? pPrinterName : W_(""), false);
  if (!printer) return FALSE;
  DWORD needed = 0;
  GetPrinterW(printer.get(), 5, nullptr, 0, &needed);
  if (needed >= sizeof(PRINTER_INFO_5W)) {
    std::vector<BYTE> buf(needed);
    if (GetPrinterW(printer.get(), 5, buf.data(), needed, &needed)) {
      auto info5 = reinterpret_cast<const PRINTER_INFO_5W*>(buf.data());
      CopyBounded(pPort, cchPort, info5->pPortName ? info5->pPortName : W_(""));
      TRACE(W_("檢測驅動程序端口：%s"), {pPort});
    }
  }
  needed = 0;
  GetPrinterW(printer.get(), 2, nullptr, 0, &needed);
  VERBOSE(W_("需要字節數：%d"), {needed});
  std::vector<BYTE> buf(std::max<DWORD>(needed, sizeof(PRINTER_INFO_2W)));
  if (!GetPrinterW(printer.get(), 2, buf.data(), static_cast<DWORD>(buf.size()), &needed)) {
    ERR(W_("出錯了 0x%X"), {GetLastError()});
    return TRUE;  // the state is unknown: the flag stays as the caller set it
  }
  auto info2 = reinterpret_cast<const PRINTER_INFO_2W*>(buf.data());
  WARNING(W_("獲取到驅動程序狀態dwStatus = 0x%x"), {info2->Attributes});
  if (pbOnline) *pbOnline = (info2->Attributes & PRINTER_ATTRIBUTE_WORK_OFFLINE) ? FALSE : TRUE;
  return TRUE;
}

INT MyGetPrinterResolution(LPCWSTR pPrinterName) {
  unique_printer printer = OpenWithDefaults(pPrinterName ? pPrinterName : W_(""), true);
  if (!printer) return 0;
  TRACE(W_("準備檢測分辨率。"));
  std::vector<BYTE> buf = ReadInfo2(printer.get());
  auto info2 = reinterpret_cast<const PRINTER_INFO_2W*>(buf.data());
  if (!info2->pDevMode) {
    ERR(W_("讀取分辨率失敗, PDEVMODE IS NULL !!!!!!"));
    return 0;
  }
  WARNING(W_("檢測到驅動程序(%s)分辨率爲：X=%d Y=%d"),
          {pPrinterName, info2->pDevMode->dmPrintQuality, info2->pDevMode->dmYResolution});
  return info2->pDevMode->dmPrintQuality;
}

void MySetPrinterResolution(LPCWSTR pPrinterName, INT iResolution) {
  unique_printer printer = OpenWithDefaults(pPrinterName ? pPrinterName : W_(""), true);
  if (!printer) {
    WARNING(W_("打開驅動程序（%s）出錯：%d"), {pPrinterName, GetLastError()});
    return;
  }
  std::vector<BYTE> buf = ReadInfo2(printer.get());
  auto info2 = reinterpret_cast<PRINTER_INFO_2W*>(buf.data());
  if (!info2->pDevMode) {
    ERR(W_("不能繼續進行設置分辨率, PDEVMODE IS NULL !!!!!!"));
    return;
  }
  if (info2->pDevMode->dmPrintQuality == iResolution) return;
  WARNING(W_("驅動程序分辨率（%d）將改爲：%d"), {info2->pDevMode->dmPrintQuality, iResolution});
  info2->pDevMode->dmPrintQuality = static_cast<short>(iResolution);
  if (!SetPrinterW(printer.get(), 2, buf.data(), 0))
    WARNING(W_("設置驅動程序（%s）分辨率出錯：%d"), {pPrinterName, GetLastError()});
}

// ---- the page's operations ------------------------------------------------------------------------

BOOL OEMLoadControlResource(TPageControls& page) {
  WARNING(W_("OEMLoadControlResource() <<<<<<<<<<<<<<<<<<<<<"));
  for (int i = 0; i < PAGE_ITEM_COUNT; ++i) {
    page.SetText(IDC_ITEM_MARK0 + i, W_(""));
    page.SetText(IDC_ITEM_TEXT0 + i, W_(""));
  }
  page.AddComboItem(IDC_RESOLUTION, MyLoadString(IDS_RES_NORMAL, 63).c_str());
  page.AddComboItem(IDC_RESOLUTION, MyLoadString(IDS_RES_HIGH_SPEED, 63).c_str());
  page.SelectComboItem(IDC_RESOLUTION, 0);
  WStr name = ThreadPrinter();
  if (MyGetPrinterResolution(name.c_str()) == RESOLUTION_HIGH_SPEED) {
    WARNING(W_("X = 120 ."));
    page.SelectComboItem(IDC_RESOLUTION, 1);
  }
  INT* image = MyGetThreadImageValues();
  unique_printer printer = OpenWithDefaults(name, true);
  if (!printer) {
    WARNING(W_("打開驅動程序（%s）出錯：%d"), {name, GetLastError()});
  } else {
    INT compress = MyReadImageValue(printer.get(), kValueCompress);
    INT x = MyReadImageValue(printer.get(), kValueX);
    INT y = MyReadImageValue(printer.get(), kValueY);
    if (image) {
      image[IMAGE_OFFSET_X] = x;
      image[IMAGE_OFFSET_Y] = y;
      image[IMAGE_UNIT] = UNIT_CM;
      image[IMAGE_COMPRESS] = compress;
    }
    page.CheckButton(IDC_UNIT_CM, TRUE);
    page.CheckButton(IDC_UNIT_INCH, FALSE);
    WARNING(W_("準備加載偏移量到界面顯示：%d, %d"), {x, y});
    page.SetText(IDC_OFFSET_X, FormatW(W_("%2.2f"), {x / 100.0}).c_str());
    page.SetText(IDC_OFFSET_Y, FormatW(W_("%2.2f"), {y / 100.0}).c_str());
    page.SetText(IDC_COMPRESS, FormatW(W_("%.2d"), {compress}).c_str());
  }
  TRACE(W_("SET IDC_COMBO start ."));
  WStr off = MyLoadString(IDS_OFF, 63), on = MyLoadString(IDS_ON, 63);
  const INT defaults[PAGE_ITEM_COUNT] = {0, 1, 0, 0, 1};
  for (int i = 0; i < PAGE_ITEM_COUNT; ++i) {
    if (!page.HasControl(IDC_ITEM_COMBO0 + i)) continue;
    page.AddComboItem(IDC_ITEM_COMBO0 + i, off.c_str());
    page.AddComboItem(IDC_ITEM_COMBO0 + i, on.c_str());
  }
  for (int i = 0; i < PAGE_ITEM_COUNT; ++i) page.SelectComboItem(IDC_ITEM_COMBO0 + i, defaults[i]);
  INT* selected = MyGetThreadItemValues(TRUE);
  INT* printerValues = MyGetThreadItemValues(FALSE);
  if (selected && printerValues) {
    std::copy_n(defaults, PAGE_ITEM_COUNT, selected);
    std::copy_n(defaults, PAGE_ITEM_COUNT, printerValues);
  }
  WARNING(W_("OEMLoadControlResource() >>>>>>>>>>>>>>>>>>>>"));
  return TRUE;
}

void OemPrinterResoutionChange(TPageControls& page) {
  DbgPrintA(DBG_WARNING, W_("OemPrinterResoutionChange <<<<<<<<<<<<<<<<<<<<<<<"));
  INT wanted = page.GetComboSelection(IDC_RESOLUTION) == 0 ? RESOLUTION_NORMAL : RESOLUTION_HIGH_SPEED;
  TRACE(W_("驅動程序分辨率爲：%d"), {wanted});
  MySetPrinterResolution(ThreadPrinter().c_str(), wanted);
}

void MyItemChange(TPageControls& page, int iItem) {
  INT* selected = MyGetThreadItemValues(TRUE);
  INT* printerValues = MyGetThreadItemValues(FALSE);
  if (!selected || !printerValues || iItem < 0 || iItem >= PAGE_ITEM_COUNT) return;
  selected[iItem] = page.GetComboSelection(IDC_ITEM_COMBO0 + iItem);
  TRACE(W_("UIDLL:  -> 项目%d选择为%d，打印机的值为%d"), {iItem, selected[iItem], printerValues[iItem]});
  page.SetText(IDC_ITEM_MARK0 + iItem, selected[iItem] != printerValues[iItem] ? W_("*") : W_(""));
  bool anyChanged = false;
  for (int i = 0; i < PAGE_ITEM_COUNT; ++i) anyChanged = anyChanged || selected[i] != printerValues[i];
  page.EnableControl(IDC_SAVE_PRINTER, anyChanged ? TRUE : FALSE);
}

void MyReadPrinterSetting(TPageControls& page) {
  WStr port, caption;
  if (!ExchangeAllowed(page, port, caption)) return;
  BYTE bysData[kReplyBytes] = {};
  int iData = kReplyBytes;
  BOOL bRead = FALSE;
  {
    unique_module lib(LoadLibraryW(W_("Trellum.dll")));
    if (!lib) {
      ErrorBox(page, IDS_DLL_MISSING, caption);
      return;
    }
    auto read = reinterpret_cast<GetSettingDataFn>(reinterpret_cast<void*>(GetProcAddress(lib.get(), "GetPrinterSettingData")));
    if (!read) return;
    bRead = read(port.c_str(), bysData, &iData);
    // A library that reports more than the buffer holds is not believed past the buffer.
    iData = std::clamp(iData, 0, kReplyBytes);
    if (!bRead) {
      WStr text = FormatW(MyLoadString(IDS_READ_FAILED, kMessageChars), {GetLastError()});
      MessageBoxW(page.Window(), text.c_str(), caption.c_str(), MB_ICONERROR);
      WARNING(W_("%s"), {text});
    } else {
      WARNING(W_("%s"), {MyReplyText(bysData, iData)});
    }
  }
  if (!bRead) return;
  if (iData < kItemsInReply) {
    ErrorBox(page, IDS_READ_BAD_DATA, caption);
    return;
  }
  INT* selected = MyGetThreadItemValues(TRUE);
  INT* printerValues = MyGetThreadItemValues(FALSE);
  for (int i = 0; i < PAGE_ITEM_COUNT; ++i) {
    if (selected && printerValues) selected[i] = printerValues[i] = bysData[i];
    page.SelectComboItem(IDC_ITEM_COMBO0 + i, bysData[i]);
  }
  page.EnableControl(IDC_SAVE_PRINTER, FALSE);
  EmptyMarkers(page);
  WStr text = MyLoadString(IDS_READ_DONE, kMessageChars);
  MessageBoxW(page.Window(), text.c_str(), W_("OK"), MB_ICONINFORMATION);
}

void MySavePrinterSetting(TPageControls& page) {
  WStr port, caption;
  if (!ExchangeAllowed(page, port, caption)) return;
  int changed = 0, succeeded = 0, failed = 0;
  INT* selected = MyGetThreadItemValues(TRUE);
  INT* printerValues = MyGetThreadItemValues(FALSE);
  for (int i = 0; selected && printerValues && i < PAGE_ITEM_COUNT; ++i) {
    if (selected[i] == printerValues[i]) continue;
    ++changed;
    unique_module lib(LoadLibraryW(W_("Trellum.dll")));
    if (!lib) {
      ErrorBox(page, IDS_DLL_MISSING, caption);
      break;
    }
    int value = page.GetComboSelection(IDC_ITEM_COMBO0 + i);
    auto write = reinterpret_cast<SetSettingItemFn>(reinterpret_cast<void*>(GetProcAddress(lib.get(), "SetPrinterSettingItem")));
    if (!write) continue;
    TRACE(W_("准备通过端口（%s）设置项目%d，取值为%d。"), {port, i, value});
    if (!write(port.c_str(), static_cast<BYTE>(i), static_cast<BYTE>(value))) {
      ++failed;
      TRACE(W_("写入打印机设置失败：%d"), {GetLastError()});
    } else {
      ++succeeded;
      TRACE(W_("写入打印机设置成功。\r\n"));
    }
  }
  if (changed > 0) {
    if (succeeded == changed) {
      EmptyMarkers(page);
      WStr text = MyLoadString(IDS_SAVE_DONE, kMessageChars);
      MessageBoxW(page.Window(), text.c_str(), W_("OK"), MB_OK);
    } else if (failed < 1 || succeeded < 1) {
      ErrorBox(page, IDS_SAVE_FAILED, caption);
    } else {
      WStr text = FormatW(MyLoadString(IDS_SAVE_PARTLY, 255), {succeeded, failed}).substr(0, 255);
      MessageBoxW(page.Window(), text.c_str(), caption.c_str(), MB_ICONERROR);
      TRACE(W_("修改%d个项目，成功设置%d个设置项，但有%d个设置项保存失败！"), {changed, succeeded, failed});
    }
  }
  page.EnableControl(IDC_SAVE_PRINTER, FALSE);
}

// ---- the dialog procedure ---------------------------------------------------------------------

namespace {

// The page's controls as the dialog holds them.
class TDialogPage : public TPageControls {
 public:
  explicit TDialogPage(HWND hDlg) : hDlg_(hDlg) {}
  HWND Window() override { return hDlg_; }
  void SetText(int id, LPCWSTR text) override { SetDlgItemTextW(hDlg_, id, text); }
  WStr GetText(int id, int cchMax) override {
    std::vector<WCHAR> buf(static_cast<size_t>(cchMax) + 1, W_('\0'));
    UINT n = GetDlgItemTextW(hDlg_, id, buf.data(), cchMax + 1);
    return WStr(buf.data(), std::min<size_t>(n, static_cast<size_t>(cchMax)));
  }
  bool HasControl(int id) override { return GetDlgItem(hDlg_, id) != nullptr; }
  void AddComboItem(int id, LPCWSTR text) override {
    SendDlgItemMessageW(hDlg_, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  }
  void SelectComboItem(int id, int index) override {
    SendDlgItemMessageW(hDlg_, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  }
  int GetComboSelection(int id) override { return static_cast<int>(SendDlgItemMessageW(hDlg_, id, CB_GETCURSEL, 0, 0)); }
  void EnableControl(int id, BOOL enable) override {
    if (HWND h = GetDlgItem(hDlg_, id)) EnableWindow(h, enable);
  }
  void CheckButton(int id, BOOL checked) override { CheckDlgButton(hDlg_, id, checked ? BST_CHECKED : BST_UNCHECKED); }

 private:
  HWND hDlg_;
};

// The change markers' font: the default GUI font's face, bold, 12 pixels. Made once for the
// module and kept until it unloads, rather than once per paint.
HFONT MarkerFont() {
  static const unique_gdi_object font = [] {
    LOGFONTW lf{};
    GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
    lf.lfHeight = -12;
    lf.lfWeight = FW_BOLD;
    return unique_gdi_object(CreateFontIndirectW(&lf));
  }();
  return static_cast<HFONT>(font.get());
}

void OnCommand(TPageControls& page, int id, WORD code) {
  if (code == BN_CLICKED) {
    if (id == IDC_READ_PRINTER) MyReadPrinterSetting(page);
    if (id == IDC_SAVE_PRINTER) MySavePrinterSetting(page);
    if (id == IDC_UNIT_CM || id == IDC_UNIT_INCH) MyUnitChange(page, id == IDC_UNIT_CM ? UNIT_CM : UNIT_INCH);
  } else if (code == CBN_SELCHANGE) {
    if (id >= IDC_ITEM_COMBO0 && id < IDC_ITEM_COMBO0 + PAGE_ITEM_COUNT) MyItemChange(page, id - IDC_ITEM_COMBO0);
    if (id == IDC_RESOLUTION) OemPrinterResoutionChange(page);
  } else if (code == EN_CHANGE) {
    if (id == IDC_OFFSET_X || id == IDC_OFFSET_Y) MyOffsetEdit(page, id == IDC_OFFSET_X ? IMAGE_OFFSET_X : IMAGE_OFFSET_Y);
    if (id == IDC_COMPRESS) MyCompressionEdit(page);
  }
}

void OnScroll(TPageControls& page, HWND bar, WORD code) {
  if (code != SB_LINEUP && code != SB_LINEDOWN) return;
  BOOL up = code == SB_LINEUP ? TRUE : FALSE;
  int id = GetDlgCtrlID(bar);
  if (id == IDC_OFFSET_X_SPIN || id == IDC_OFFSET_Y_SPIN)
    MyOffsetStep(page, id == IDC_OFFSET_X_SPIN ? IMAGE_OFFSET_X : IMAGE_OFFSET_Y, up);
  if (id == IDC_COMPRESS_SPIN) MyCompressionStep(page, up);
}

}  // namespace

INT_PTR CALLBACK OEMPrinterPageProc(HWND hDlg, UINT uMessage, WPARAM wParam, LPARAM lParam) {
  // A thread without a printer has nothing to show or store: the page stays as its template.
  WCHAR name[kNameChars] = {};
  if (!MyGetThreadPrinter(name, kNameChars)) {
    DORVEL_ASSERT(FALSE);
    return FALSE;
  }
  // The page acts only for the settings version it was made for, read afresh for every message.
  if (GetUIVersion() != 10) return FALSE;
  TDialogPage page(hDlg);
  switch (uMessage) {
    case WM_INITDIALOG:
      TRACE(W_("WM_INITDIALOG <<<<<<<<<<<<<"));
      OEMLoadControlResource(page);
      TRACE(W_("WM_INITDIALOG >>>>>>>>>>>>>>>"));
      break;
    case WM_COMMAND:
      OnCommand(page, LOWORD(wParam), HIWORD(wParam));
      break;
    case WM_VSCROLL:
      OnScroll(page, reinterpret_cast<HWND>(lParam), LOWORD(wParam));
      break;
    case WM_CTLCOLORSTATIC: {
      int id = GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
      if (id >= IDC_ITEM_MARK0 && id < IDC_ITEM_MARK0 + PAGE_ITEM_COUNT) {
        auto dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, RGB(255, 0, 0));
        SelectObject(dc, MarkerFont());
      }
      break;
    }
    default:
      break;
  }
  return FALSE;
}

// ---- image settings: unit, offsets and compression ---------------------------------------------

namespace {

constexpr int kEditChars = 31;

double UnitDivisor(INT unit) { return unit == UNIT_INCH ? 2.54 : 1.0; }

int OffsetEditId(INT iWhich) { return iWhich == IMAGE_OFFSET_X ? IDC_OFFSET_X : IDC_OFFSET_Y; }

void SaveImage(INT iWhich, INT iValue) { MySaveImageValue(ThreadPrinter().c_str(), iWhich, iValue); }

// A reset that the step up after it turns into 0 in either unit.
void ResetOffset(TPageControls& page, INT* image, INT iWhich) {
  image[iWhich] = image[IMAGE_UNIT] == UNIT_INCH ? -2 : -1;
  MyOffsetStep(page, iWhich, TRUE);
}

void ResetCompression(TPageControls& page, INT* image) {
  image[IMAGE_COMPRESS] = COMPRESS_MAX - 1;
  MyCompressionStep(page, TRUE);
}

// The number at the start of a text as the page reads it: single precision, 0 when none.
float LeadingFloat(const WStr& text) {
  std::string narrow;
  for (WCHAR c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  float v = 0;
  if (std::sscanf(narrow.c_str(), "%f", &v) != 1) v = 0;
  return v;
}

}  // namespace

void MyUnitChange(TPageControls& page, INT iUnit) {
  INT* image = MyGetThreadImageValues();
  if (!image || iUnit == image[IMAGE_UNIT]) return;
  image[IMAGE_UNIT] = iUnit;
  double divisor = UnitDivisor(iUnit);
  // Each text set runs the edit rule; it must see the X and Y of before the change.
  INT x = image[IMAGE_OFFSET_X], y = image[IMAGE_OFFSET_Y];
  page.SetText(IDC_OFFSET_X, FormatW(W_("%2.2f"), {x / 100.0 / divisor}).c_str());
  page.SetText(IDC_OFFSET_Y, FormatW(W_("%2.2f"), {y / 100.0 / divisor}).c_str());
  const WCHAR* range = iUnit == UNIT_INCH ? W_("[ -1.00 ... 1.00 ]") : W_("[ -2.54 ... 2.54 ]");
  page.SetText(IDC_OFFSET_X_RANGE, range);
  page.SetText(IDC_OFFSET_Y_RANGE, range);
}

void MyOffsetStep(TPageControls& page, INT iWhich, BOOL bUp) {
  INT* image = MyGetThreadImageValues();
  if (!image || (iWhich != IMAGE_OFFSET_X && iWhich != IMAGE_OFFSET_Y)) return;
  INT offset = image[iWhich];
  if (image[IMAGE_UNIT] == UNIT_INCH) {
    // One step is 0.01 inch, in the page's own rounding.
    float inches = static_cast<float>(offset / 2.54 + (bUp ? 1 : -1));
    float v = static_cast<float>(inches * 2.54);
    offset = static_cast<INT>(v > 0 ? std::ceil(v) : std::floor(v));
  } else {
    offset += bUp ? 1 : -1;
  }
  offset = std::clamp(offset, -OFFSET_LIMIT, OFFSET_LIMIT);
  image[iWhich] = offset;
  page.SetText(OffsetEditId(iWhich), FormatW(W_("%2.2f"), {offset / 100.0 / UnitDivisor(image[IMAGE_UNIT])}).c_str());
  // The edit rule has seen the text just shown and may have settled the offset otherwise.
  SaveImage(iWhich, image[iWhich]);
}

void MyOffsetEdit(TPageControls& page, INT iWhich) {
  INT* image = MyGetThreadImageValues();
  if (!image || (iWhich != IMAGE_OFFSET_X && iWhich != IMAGE_OFFSET_Y)) return;
  WStr text = page.GetText(OffsetEditId(iWhich), kEditChars);
  if (text.empty()) return;
  bool allValid = true, stopSeen = false;
  for (size_t i = 0; i < text.size(); ++i) {
    WCHAR c = text[i];
    bool valid = (c >= W_('0') && c <= W_('9')) || (c == W_('-') && i == 0) || (c == W_('.') && !stopSeen);
    if (c == W_('.')) stopSeen = true;
    if (!valid) {
      allValid = false;
      ResetOffset(page, image, iWhich);
    }
  }
  if (!allValid) return;
  float product = LeadingFloat(text) * (image[IMAGE_UNIT] == UNIT_INCH ? 254.0f : 100.0f);
  // Out-of-range texts only need to stay out of range: no conversion of a huge value to int.
  double rounded = std::clamp(product > 0 ? product + 0.1 : product - 0.1, -1e6, 1e6);
  INT n = static_cast<INT>(rounded);
  TRACE(W_("有效输入 %s = %d"), {text, n});
  bool inRange = n >= -OFFSET_LIMIT && n <= OFFSET_LIMIT;
  n = std::clamp(n, -OFFSET_LIMIT, OFFSET_LIMIT);
  if (n != image[iWhich]) {
    image[iWhich] = n;
    SaveImage(iWhich, n);
  }
  if (!inRange) ResetOffset(page, image, iWhich);
}

void MyCompressionStep(TPageControls& page, BOOL bUp) {
  INT* image = MyGetThreadImageValues();
  if (!image) return;
  INT value = image[IMAGE_COMPRESS] + (bUp ? 1 : -1);
  if (value >= COMPRESS_MAX) value = COMPRESS_MAX;
  if (value < COMPRESS_MIN + 1) value = COMPRESS_MIN;
  image[IMAGE_COMPRESS] = value;
  page.SetText(IDC_COMPRESS, FormatW(W_("%2d"), {value}).c_str());
  SaveImage(IMAGE_COMPRESS, image[IMAGE_COMPRESS]);
}

void MyCompressionEdit(TPageControls& page) {
  INT* image = MyGetThreadImageValues();
  if (!image) return;
  WStr text = page.GetText(IDC_COMPRESS, kEditChars);
  if (text.size() < 2) return;
  bool allValid = true, stopSeen = false;
  for (WCHAR c : text) {
    bool valid = (c >= W_('0') && c <= W_('9')) || (c == W_('.') && !stopSeen);
    if (c == W_('.')) stopSeen = true;
    if (!valid) {
      allValid = false;
      ResetCompression(page, image);
    }
  }
  if (!allValid) return;
  std::string narrow(text.begin(), text.end());  // digits and a stop only
  char* end = nullptr;
  long long parsed = std::strtoll(narrow.c_str(), &end, 10);
  int n = end == narrow.c_str() ? COMPRESS_MAX : static_cast<int>(std::clamp<long long>(parsed, -1000000, 1000000));
  TRACE(W_("有效输入 %s = %d"), {text, n});
  bool inRange = n >= COMPRESS_MIN && n <= COMPRESS_MAX;
  n = std::clamp(n, COMPRESS_MIN, COMPRESS_MAX);
  if (n != image[IMAGE_COMPRESS]) {
    image[IMAGE_COMPRESS] = n;
    SaveImage(IMAGE_COMPRESS, n);
  }
  if (!inRange) ResetCompression(page, image);
}
