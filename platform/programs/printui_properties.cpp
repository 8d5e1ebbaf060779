// "PrintUIEntry /p /n NAME": the printer's properties as Windows opens them. The core driver UI
// finds the driver's UI plug-in (named under [OEMFiles] "OEMConfigFile1" of an INI file among the
// driver's dependent files), creates its IPrintOemUI, publishes its own IPrintOemDriverUI, tells
// it the printer (CommonUIProp) and lets it add its pages through the common property-sheet
// services; the sheet then shows the pages with OK, Cancel and Apply until the user closes it.
// The core's own pages (General, Ports, ...) are not part of this machine.
#include "printui_properties.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "win32/gdi.h"
#include "win32/kernel.h"
#include "win32/printoem.h"
#include "win32/profile.h"
#include "win32/spooler.h"
#include "win32/user.h"

namespace {

// The class id under which the core driver UI asks a UI plug-in for its class factory.
constexpr CLSID kOemUiClass = {0xABCE80D7, 0x9F46, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};

using GetClassObjectFn = HRESULT(STDMETHODCALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadNowFn = HRESULT(STDMETHODCALLTYPE*)();

// The full path of the driver's UI plug-in; empty when the driver names none.
WStr PluginOf(HANDLE printer) {
  DWORD needed = 0;
  GetPrinterDriverW(printer, nullptr, 3, nullptr, 0, &needed);
  if (needed == 0) return {};
  std::vector<BYTE> buf(needed);
  if (!GetPrinterDriverW(printer, nullptr, 3, buf.data(), needed, &needed)) return {};
  auto* info = reinterpret_cast<const DRIVER_INFO_3W*>(buf.data());
  for (LPCWSTR f = info->pDependentFiles; f && *f; f += WStrView(f).size() + 1) {
    WStr file = f;
    if (!SameTextAscii(ExtractFileExt(file), W_(".ini"))) continue;
    WCHAR name[MAX_PATH] = {};
    GetPrivateProfileStringW(W_("OEMFiles"), W_("OEMConfigFile1"), W_(""), name, MAX_PATH, file.c_str());
    if (!name[0]) continue;
    WStr plugin = name;
    if (plugin.find(u'\\') != WStr::npos) return plugin;
    return ExtractFilePath(file) + plugin;
  }
  return {};
}

// What the core driver UI publishes to its plug-in. It lives for the whole run; the count tells
// whether the plug-in gave back every reference it took.
class CoreDriverUI : public IPrintOemDriverUI {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPrintOemDriverUI) {
      *ppv = static_cast<IPrintOemDriverUI*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs_); }
  HRESULT STDMETHODCALLTYPE DrvGetDriverSetting(PVOID, LPCSTR, PVOID, DWORD, PDWORD, PDWORD) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DrvUpgradeRegistrySetting(HANDLE, LPCSTR, LPCSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DrvUpdateUISetting(PVOID, PVOID, DWORD, DWORD) override { return E_NOTIMPL; }
  LONG held() const { return refs_ - 1; }

 private:
  LONG refs_ = 1;
};

// The property sheet: its pages as the plug-in described them, and their windows.
struct Sheet {
  std::vector<PROPSHEETPAGEW> pages;
  std::vector<HWND> windows;
  std::vector<WStr> titles;
  HWND hwnd = nullptr;
  bool accepted = false;
};

constexpr int kMargin = 7, kTabHeight = 21, kButtonWidth = 75, kButtonHeight = 23, kGap = 6;
constexpr int kPageLeft = kMargin + 4, kPageTop = kMargin + kTabHeight + 4;

LONG_PTR CALLBACK ComPropSheet(HANDLE hComPropSheet, UINT function, LPARAM lParam1, LPARAM) {
  auto* sheet = static_cast<Sheet*>(hComPropSheet);
  if (!sheet || function != CPSFUNC_ADD_PROPSHEETPAGEW || !lParam1) return 0;
  auto* page = reinterpret_cast<const PROPSHEETPAGEW*>(lParam1);
  // A page record may be older (shorter) than ours; what it lacks stays zero.
  PROPSHEETPAGEW copy{};
  std::memcpy(&copy, page, std::min<size_t>(page->dwSize, sizeof copy));
  sheet->pages.push_back(copy);
  return static_cast<LONG_PTR>(sheet->pages.size());
}

struct PageNotify {  // PSHNOTIFY
  NMHDR hdr;
  LPARAM lParam;
};

void NotifyPages(Sheet& sheet, UINT code) {
  for (HWND page : sheet.windows) {
    PageNotify n{{sheet.hwnd, 0, code}, 0};
    SendMessageW(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&n));
  }
}

void PaintTabs(HWND hwnd, Sheet& sheet) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT r{};
  GetClientRect(hwnd, &r);
  FillRect(dc, &r, reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1)));
  HGDIOBJ old = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  unique_gdi_object line(CreateSolidBrush(RGB(137, 140, 149)));
  auto box = [&](RECT b) {
    RECT edges[] = {{b.left, b.top, b.right, b.top + 1},
                    {b.left, b.bottom - 1, b.right, b.bottom},
                    {b.left, b.top, b.left + 1, b.bottom},
                    {b.right - 1, b.top, b.right, b.bottom}};
    for (RECT& e : edges) FillRect(dc, &e, static_cast<HBRUSH>(line.get()));
  };
  box({kMargin, kMargin + kTabHeight, r.right - kMargin, r.bottom - 2 * kMargin - kButtonHeight});
  int x = kMargin;
  for (size_t i = 0; i < sheet.titles.size(); ++i) {
    RECT need{0, 0, 0, 0};
    DrawTextW(dc, sheet.titles[i].c_str(), -1, &need, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    RECT tab{x, kMargin, x + (need.right - need.left) + 12, kMargin + kTabHeight + 1};
    if (i == 0) {  // the page on show: its tab opens into the page
      unique_gdi_object white(CreateSolidBrush(RGB(255, 255, 255)));
      FillRect(dc, &tab, static_cast<HBRUSH>(white.get()));
    }
    box(tab);
    DrawTextW(dc, sheet.titles[i].c_str(), -1, &tab, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    x = tab.right;
  }
  SelectObject(dc, old);
  EndPaint(hwnd, &ps);
}

LRESULT CALLBACK SheetProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* sheet = reinterpret_cast<Sheet*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  switch (msg) {
    case WM_PAINT:
      if (!sheet) break;
      PaintTabs(hwnd, *sheet);
      return 0;
    case WM_COMMAND:
      if (!sheet) break;
      if (LOWORD(wp) == IDOK || LOWORD(wp) == ID_APPLY_NOW) {
        NotifyPages(*sheet, PSN_KILLACTIVE);
        NotifyPages(*sheet, PSN_APPLY);
        EnableWindow(GetDlgItem(hwnd, ID_APPLY_NOW), FALSE);
        if (LOWORD(wp) == IDOK) {
          sheet->accepted = true;
          DestroyWindow(hwnd);
        }
      } else if (LOWORD(wp) == IDCANCEL) {
        NotifyPages(*sheet, PSN_RESET);
        DestroyWindow(hwnd);
      }
      return 0;
    case PSM_CHANGED:
      EnableWindow(GetDlgItem(hwnd, ID_APPLY_NOW), TRUE);
      return 0;
    case WM_CLOSE:
      SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

bool Chinese() { return (GetSystemDefaultLangID() & 0x3FF) == 0x04; }

// Shows the sheet with the pages the plug-in added and runs it until the user closes it.
void RunSheet(Sheet& sheet, const WStr& printer) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = SheetProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = W_("PrintUIPropertySheet");
  RegisterClassExW(&wc);
  WStr title = printer + (Chinese() ? W_(" 属性") : W_(" Properties"));
  unique_window hwnd(CreateWindowExW(0, wc.lpszClassName, title.c_str(), WS_POPUP | WS_CAPTION | WS_SYSMENU, 200, 120,
                                     300, 200, nullptr, nullptr, wc.hInstance, nullptr));
  if (!hwnd) return;
  sheet.hwnd = hwnd.get();
  SetWindowLongPtrW(sheet.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&sheet));
  int width = 0, height = 0;
  for (PROPSHEETPAGEW& p : sheet.pages) {
    HWND page = (p.dwFlags & PSP_DLGINDIRECT)
                    ? CreateDialogIndirectParamW(p.hInstance, static_cast<LPCDLGTEMPLATEW>(p.pResource), sheet.hwnd,
                                                 p.pfnDlgProc, reinterpret_cast<LPARAM>(&p))
                    : CreateDialogParamW(p.hInstance, p.pszTemplate, sheet.hwnd, p.pfnDlgProc, reinterpret_cast<LPARAM>(&p));
    if (!page) continue;
    RECT r{};
    GetWindowRect(page, &r);
    width = std::max<int>(width, r.right - r.left);
    height = std::max<int>(height, r.bottom - r.top);
    SetWindowPos(page, nullptr, kPageLeft, kPageTop, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    WCHAR caption[128] = {};
    GetWindowTextW(page, caption, 128);
    sheet.titles.push_back((p.dwFlags & PSP_USETITLE) && p.pszTitle ? WStr(p.pszTitle) : WStr(caption));
    sheet.windows.push_back(page);
  }
  if (!sheet.windows.empty()) ShowWindow(sheet.windows.front(), SW_SHOW);
  width = std::max(width, 3 * kButtonWidth + 2 * kGap) + 2 * kPageLeft;
  height = kPageTop + height + 4 + kMargin + kButtonHeight + kMargin;
  SetWindowPos(sheet.hwnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
  const struct {
    int id;
    LPCWSTR en, zh;
    DWORD style;
  } buttons[] = {{IDOK, W_("OK"), W_("确定"), BS_DEFPUSHBUTTON},
                 {IDCANCEL, W_("Cancel"), W_("取消"), BS_PUSHBUTTON},
                 {ID_APPLY_NOW, W_("Apply"), W_("应用"), BS_PUSHBUTTON | WS_DISABLED}};
  int x = width - kMargin - 3 * kButtonWidth - 2 * kGap;
  for (auto& b : buttons) {
    HWND h = CreateWindowExW(0, W_("BUTTON"), Chinese() ? b.zh : b.en, WS_CHILD | WS_VISIBLE | b.style, x,
                             height - kMargin - kButtonHeight, kButtonWidth, kButtonHeight, sheet.hwnd,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(b.id)), wc.hInstance, nullptr);
    SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
    x += kButtonWidth + kGap;
  }
  ShowWindow(sheet.hwnd, SW_SHOW);
  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
  // The window went with the loop's end; nothing is left to destroy.
  hwnd.release();
  UnregisterClassW(wc.lpszClassName, wc.hInstance);
}

}  // namespace

DWORD ShowPrinterProperties(const WStr& printer, nlohmann::json& detail) {
  WStr name = printer;
  HANDLE raw = nullptr;
  if (!OpenPrinterW(name.data(), &raw, nullptr)) {
    DWORD e = GetLastError();
    return e ? e : ERROR_INVALID_PRINTER_NAME;
  }
  unique_printer handle(raw);
  Sheet sheet;
  CoreDriverUI core;
  WStr path = PluginOf(handle.get());
  detail["plugin"] = ToUtf8(path);
  unique_module lib(path.empty() ? nullptr : LoadLibraryW(path.c_str()));
  IPrintOemUI* ui = nullptr;
  if (!path.empty() && !lib) {
    detail["plugin_error"] = GetLastError();
  } else if (lib) {
    auto getClass = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(lib.get(), "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    HRESULT hr = getClass ? getClass(kOemUiClass, IID_IClassFactory, reinterpret_cast<void**>(&factory)) : E_FAIL;
    if (SUCCEEDED(hr) && factory) {
      hr = factory->CreateInstance(nullptr, IID_IPrintOemUI, reinterpret_cast<void**>(&ui));
      factory->Release();
    }
    if (FAILED(hr) || !ui) detail["plugin_error"] = static_cast<unsigned long>(static_cast<ULONG>(hr));
  }
  PROPSHEETUI_INFO info{};
  info.cbSize = sizeof info;
  info.Version = PROPSHEETUI_INFO_VERSION;
  info.hComPropSheet = &sheet;
  info.pfnComPropSheet = ComPropSheet;
  if (ui) {
    ui->PublishDriverInterface(static_cast<IPrintOemDriverUI*>(&core));
    OEMUIOBJ object{sizeof(OEMUIOBJ), nullptr};
    OEMCUIPPARAM param{};
    param.cbSize = sizeof param;
    param.poemuiobj = &object;
    param.hPrinter = handle.get();
    param.pPrinterName = name.data();
    param.hModule = lib.get();
    ui->CommonUIProp(OEMCUIP_PRNPROP, &param);
    info.Reason = PROPSHEETUI_REASON_INIT;
    ui->DevicePropertySheets(&info, 0);
  }
  RunSheet(sheet, printer);
  nlohmann::json titles = nlohmann::json::array();
  for (auto& t : sheet.titles) titles.push_back(ToUtf8(t));
  detail["pages"] = titles;
  detail["closed_with"] = sheet.accepted ? "ok" : "cancel";
  if (ui) {
    SETRESULT_INFO result{sizeof(SETRESULT_INFO), 0, &sheet, sheet.accepted ? 1 : 0};
    info.Reason = PROPSHEETUI_REASON_SET_RESULT;
    ui->DevicePropertySheets(&info, reinterpret_cast<LPARAM>(&result));
    info.Reason = PROPSHEETUI_REASON_DESTROY;
    ui->DevicePropertySheets(&info, sheet.accepted ? 1 : 0);
    ui->Release();
    auto canUnload = reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(lib.get(), "DllCanUnloadNow")));
    detail["plugin_can_unload"] = canUnload && canUnload() == S_OK;
    detail["core_interface_held"] = core.held();
  }
  return 0;
}
