// Dialogs: windows made from dialog templates (the extended form our resource compiler and
// windres write), the dialog class "#32770" that hands every message to the dialog procedure
// before its own defaults, and the services that reach a dialog's controls by their ids.
#include <cmath>
#include <cstring>

#include "internal.h"
#include "win32/gdi.h"
#include "win32/kernel.h"
#include "win32/user.h"

namespace winsim {

namespace {

struct DialogData {
  DLGPROC proc = nullptr;
  HFONT font = nullptr;  // the template's font, made for this dialog and deleted with it
};

struct Dialogs {
  std::mutex mu;
  std::map<HWND, DialogData> by_window;
};

Dialogs& dialogs() {
  static auto* d = new Dialogs;
  return *d;
}

std::optional<DialogData> dialog_data(HWND h) {
  Dialogs& d = dialogs();
  std::lock_guard lock(d.mu);
  auto it = d.by_window.find(h);
  if (it == d.by_window.end()) return std::nullopt;
  return it->second;
}

// The dialog base units of the templates' font, "MS Shell Dlg" 8 at 96 dots per inch, as a
// Windows 7 desktop measures them: a dialog unit is a quarter of 6 pixels across and an eighth
// of 13 pixels down.
constexpr int kBaseX = 6, kBaseY = 13;
// A closed drop-down list is as tall as its font makes it; the template's height is the list's.
constexpr int kComboHeight = 21;

int to_px(int dlu, int base, int div) { return static_cast<int>(std::lround(dlu * static_cast<double>(base) / div)); }

// Reads a template without ever passing its end; a template that would is refused whole.
class Reader {
 public:
  Reader(const BYTE* p, size_t n) : p_(p), n_(n) {}
  bool ok() const { return ok_; }
  WORD u16() {
    WORD v = 0;
    take(&v, 2);
    return v;
  }
  DWORD u32() {
    DWORD v = 0;
    take(&v, 4);
    return v;
  }
  BYTE u8() {
    BYTE v = 0;
    take(&v, 1);
    return v;
  }
  void align4() { skip((4 - at_ % 4) % 4); }
  void skip(size_t k) {
    if (k > n_ - at_) ok_ = false;
    at_ = ok_ ? at_ + k : n_;
  }
  WStr text() {
    WStr s;
    for (WORD c = u16(); ok_ && c; c = u16()) s += static_cast<WCHAR>(c);
    return s;
  }
  // A name or a number: nothing (0), a number (0xFFFF and the number) or a text.
  std::pair<WORD, WStr> name_or_number() {
    WORD first = u16();
    if (first == 0) return {0, {}};
    if (first == 0xFFFF) return {u16(), {}};
    WStr s(1, static_cast<WCHAR>(first));
    return {0, s + text()};
  }

 private:
  void take(void* out, size_t k) {
    if (!ok_ || k > n_ - at_) {
      ok_ = false;
      return;
    }
    std::memcpy(out, p_ + at_, k);
    at_ += k;
  }
  const BYTE* p_;
  size_t n_;
  size_t at_ = 0;
  bool ok_ = true;
};

struct Item {
  DWORD ex_style = 0, style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  DWORD id = 0;
  WStr cls, text;
};

struct Template {
  DWORD ex_style = 0, style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  WStr title;
  WORD points = 8, weight = FW_NORMAL;
  WStr face = u"MS Shell Dlg";
  std::vector<Item> items;
};

const char16_t* class_of_ordinal(WORD n) {
  switch (n) {
    case 0x80: return u"BUTTON";
    case 0x81: return u"EDIT";
    case 0x82: return u"STATIC";
    case 0x83: return u"LISTBOX";
    case 0x84: return u"SCROLLBAR";
    case 0x85: return u"COMBOBOX";
    default: return nullptr;
  }
}

std::optional<Template> parse_template(const BYTE* bytes, size_t size) {
  Reader r(bytes, size);
  Template t;
  if (r.u16() != 1 || r.u16() != 0xFFFF) return std::nullopt;  // only the extended form is made here
  r.u32();                                                      // help id
  t.ex_style = r.u32();
  t.style = r.u32();
  WORD count = r.u16();
  t.x = static_cast<short>(r.u16());
  t.y = static_cast<short>(r.u16());
  t.cx = static_cast<short>(r.u16());
  t.cy = static_cast<short>(r.u16());
  r.name_or_number();  // menu: a page has none
  r.name_or_number();  // class: always the dialog class here
  t.title = r.text();
  if (t.style & DS_SETFONT) {
    t.points = r.u16();
    t.weight = r.u16();
    r.u8();  // italic
    r.u8();  // character set
    t.face = r.text();
  }
  for (WORD i = 0; i < count && r.ok(); ++i) {
    r.align4();
    Item it;
    r.u32();  // help id
    it.ex_style = r.u32();
    it.style = r.u32();
    it.x = static_cast<short>(r.u16());
    it.y = static_cast<short>(r.u16());
    it.cx = static_cast<short>(r.u16());
    it.cy = static_cast<short>(r.u16());
    it.id = r.u32();
    auto [cls_number, cls_name] = r.name_or_number();
    if (cls_number) {
      const char16_t* known = class_of_ordinal(cls_number);
      if (!known) return std::nullopt;
      it.cls = known;
    } else {
      it.cls = cls_name;
    }
    it.text = r.name_or_number().second;  // a number names a picture; no picture controls here
    r.skip(r.u16());                       // creation data
    t.items.push_back(std::move(it));
  }
  if (!r.ok()) return std::nullopt;
  return t;
}

HWND create_dialog(HINSTANCE instance, const BYTE* bytes, size_t size, HWND parent, DLGPROC proc, LPARAM init) {
  auto t = parse_template(bytes, size);
  if (!t) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  HWND h = CreateWindowExW(t->ex_style, u"#32770", t->title.c_str(), t->style & ~WS_VISIBLE, to_px(t->x, kBaseX, 4),
                           to_px(t->y, kBaseY, 8), to_px(t->cx, kBaseX, 4), to_px(t->cy, kBaseY, 8), parent, nullptr,
                           instance, nullptr);
  if (!h) return nullptr;
  // Points to pixels at 96 dots per inch, as the font's height in characters (negative).
  HFONT font = CreateFontW(-static_cast<int>(std::lround(t->points * 96.0 / 72.0)), 0, 0, 0, t->weight, 0, 0, 0,
                           DEFAULT_CHARSET, 0, 0, 0, 0, t->face.c_str());
  {
    Dialogs& d = dialogs();
    std::lock_guard lock(d.mu);
    d.by_window[h] = {proc, font};
  }
  HWND focus = nullptr;
  for (const Item& it : t->items) {
    int cy = to_px(it.cy, kBaseY, 8);
    if (iequal(it.cls, u"COMBOBOX") && (it.style & 0x3) >= 2) cy = kComboHeight;  // drop-down kinds
    HWND c = CreateWindowExW(it.ex_style, it.cls.c_str(), it.text.c_str(), it.style, to_px(it.x, kBaseX, 4),
                             to_px(it.y, kBaseY, 8), to_px(it.cx, kBaseX, 4), cy, h,
                             reinterpret_cast<HMENU>(static_cast<UINT_PTR>(it.id)), instance, nullptr);
    if (!c) {
      DWORD e = GetLastError();
      DestroyWindow(h);
      SetLastError(e);
      return nullptr;
    }
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (!focus && (it.style & WS_TABSTOP) && (it.style & WS_VISIBLE)) focus = c;
  }
  SendMessageW(h, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), init);
  if ((t->style & WS_VISIBLE) && IsWindow(h)) ShowWindow(h, SW_SHOW);
  return IsWindow(h) ? h : nullptr;
}

LRESULT CALLBACK DialogProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  auto data = dialog_data(h);
  if (data && data->proc) {
    INT_PTR handled = data->proc(h, msg, wp, lp);
    // A colour message's answer is the brush itself; the others' is not asked for here.
    if (handled && msg == WM_CTLCOLORSTATIC) return handled;
    if (handled) return msg == WM_INITDIALOG ? handled : 0;
  }
  return DefDlgProcW(h, msg, wp, lp);
}

}  // namespace

WNDPROC dialog_class_proc() { return DialogProc; }

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API HWND WINAPI CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent,
                                          DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  if (DWORD e = fault("CreateDialogParamW")) {
    SetLastError(e);
    return nullptr;
  }
  HRSRC res = FindResourceW(reinterpret_cast<HMODULE>(hInstance), lpTemplateName, RT_DIALOG);
  if (!res) return nullptr;
  auto* bytes = static_cast<const BYTE*>(LoadResource(reinterpret_cast<HMODULE>(hInstance), res));
  DWORD size = SizeofResource(reinterpret_cast<HMODULE>(hInstance), res);
  if (!bytes) return nullptr;
  return create_dialog(hInstance, bytes, size, hWndParent, lpDialogFunc, dwInitParam);
}

WINSIM_API HWND WINAPI CreateDialogIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                                  DLGPROC lpDialogFunc, LPARAM dwInitParam) {
  if (DWORD e = fault("CreateDialogIndirectParamW")) {
    SetLastError(e);
    return nullptr;
  }
  if (!lpTemplate) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The caller vouches for the template's memory, as on Windows: no size comes with it.
  return create_dialog(hInstance, reinterpret_cast<const BYTE*>(lpTemplate), SIZE_MAX / 2, hWndParent, lpDialogFunc,
                       dwInitParam);
}

WINSIM_API LRESULT WINAPI DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
  switch (Msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hDlg, &ps);
      RECT r{};
      GetClientRect(hDlg, &r);
      FillRect(dc, &r, reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1)));
      EndPaint(hDlg, &ps);
      return 0;
    }
    case WM_CTLCOLORSTATIC:
      // The dialog's face, so that a label drawn again loses its old text; the font and ink
      // the dialog procedure put in the DC stay.
      return static_cast<LRESULT>(COLOR_BTNFACE + 1);
    case WM_CLOSE:
      // Closing a dialog is its Cancel; the dialog procedure decides what that does.
      PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return 0;
    case WM_NCDESTROY: {
      HFONT font = nullptr;
      {
        Dialogs& d = dialogs();
        std::lock_guard lock(d.mu);
        auto it = d.by_window.find(hDlg);
        if (it != d.by_window.end()) {
          font = it->second.font;
          d.by_window.erase(it);
        }
      }
      if (font) DeleteObject(font);
      return 0;
    }
    default:
      return DefWindowProcW(hDlg, Msg, wParam, lParam);
  }
}

WINSIM_API HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  for (HWND c : child_windows(hDlg))
    if (GetDlgCtrlID(c) == nIDDlgItem) return c;
  SetLastError(IsWindow(hDlg) ? ERROR_CONTROL_ID_NOT_FOUND : ERROR_INVALID_WINDOW_HANDLE);
  return nullptr;
}

WINSIM_API int WINAPI GetDlgCtrlID(HWND hWnd) { return static_cast<int>(GetWindowLongPtrW(hWnd, GWLP_ID)); }

WINSIM_API BOOL WINAPI SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString) {
  HWND c = GetDlgItem(hDlg, nIDDlgItem);
  return c ? SetWindowTextW(c, lpString) : FALSE;
}

WINSIM_API UINT WINAPI GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax) {
  HWND c = GetDlgItem(hDlg, nIDDlgItem);
  if (c) return static_cast<UINT>(GetWindowTextW(c, lpString, cchMax));
  if (lpString && cchMax > 0) lpString[0] = 0;
  return 0;
}

WINSIM_API LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
  HWND c = GetDlgItem(hDlg, nIDDlgItem);
  return c ? SendMessageW(c, Msg, wParam, lParam) : 0;
}

WINSIM_API BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
  HWND c = GetDlgItem(hDlg, nIDButton);
  if (!c) return FALSE;
  SendMessageW(c, BM_SETCHECK, uCheck, 0);
  return TRUE;
}

WINSIM_API UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton) {
  return static_cast<UINT>(SendDlgItemMessageW(hDlg, nIDButton, BM_GETCHECK, 0, 0));
}

WINSIM_API BOOL WINAPI CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton) {
  for (int id = nIDFirstButton; id <= nIDLastButton; ++id)
    SendDlgItemMessageW(hDlg, id, BM_SETCHECK, id == nIDCheckButton ? BST_CHECKED : BST_UNCHECKED, 0);
  return TRUE;
}

WINSIM_API BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect) {
  if (!lpRect || !IsWindow(hDlg)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  lpRect->left = to_px(lpRect->left, kBaseX, 4);
  lpRect->right = to_px(lpRect->right, kBaseX, 4);
  lpRect->top = to_px(lpRect->top, kBaseY, 8);
  lpRect->bottom = to_px(lpRect->bottom, kBaseY, 8);
  return TRUE;
}

}  // extern "C"
