// The system's child controls that windows and dialogs are made of: static text and pictures,
// list boxes, drop-down lists, progress bars, buttons (push, radio, check, group boxes), edit
// fields and vertical scroll bars. Each keeps its state in a table here, paints itself into its
// top-level window's surface and tells its parent what the user did, as the real ones do.
#include <algorithm>
#include <cstring>

#include "internal.h"
#include "win32/gdi.h"

namespace winsim {

namespace {

struct Control {
  std::vector<WStr> items;
  int item_height = 13;
  int selected = -1;
  int lo = 0, hi = 100, pos = 0;
  HGDIOBJ image = nullptr;
  HFONT font = nullptr;
  int check = BST_UNCHECKED;  // buttons
  bool replace_all = false;   // edits: the next character replaces the text (EM_SETSEL 0, -1)
};

struct Controls {
  std::mutex mu;
  std::map<HWND, Control> by_window;
};

Controls& controls() {
  static auto* c = new Controls;
  return *c;
}

template <class F>
auto with_control(HWND h, F&& f) {
  Controls& c = controls();
  std::lock_guard lock(c.mu);
  return f(c.by_window[h]);
}

DWORD style_of(HWND h) { return static_cast<DWORD>(GetWindowLongPtrW(h, GWL_STYLE)); }

WStr text_of(HWND h) {
  int n = static_cast<int>(SendMessageW(h, WM_GETTEXTLENGTH, 0, 0));
  WStr t(static_cast<size_t>(n) + 1, u'\0');
  n = static_cast<int>(SendMessageW(h, WM_GETTEXT, t.size(), reinterpret_cast<LPARAM>(t.data())));
  t.resize(static_cast<size_t>(std::max(n, 0)));
  return t;
}

void fill(HDC dc, RECT r, COLORREF c) {
  HBRUSH b = CreateSolidBrush(c);
  FillRect(dc, &r, b);
  DeleteObject(b);
}

void frame(HDC dc, RECT r, COLORREF c) {
  fill(dc, {r.left, r.top, r.right, r.top + 1}, c);
  fill(dc, {r.left, r.bottom - 1, r.right, r.bottom}, c);
  fill(dc, {r.left, r.top, r.left + 1, r.bottom}, c);
  fill(dc, {r.right - 1, r.top, r.right, r.bottom}, c);
}

void text(HDC dc, HFONT font, const WStr& s, RECT r, UINT format, COLORREF color) {
  HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, color);
  DrawTextW(dc, s.c_str(), static_cast<int>(s.size()), &r, format | DT_NOPREFIX);
  if (old) SelectObject(dc, old);
}

const COLORREF kBorder = RGB(122, 122, 122), kDisabledText = RGB(109, 109, 109), kFace = RGB(225, 225, 225);

// Tells the parent: WM_COMMAND with the control's id and `code`.
void notify(HWND h, WORD code) {
  if (HWND parent = GetParent(h))
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetWindowLongPtrW(h, GWLP_ID), code), reinterpret_cast<LPARAM>(h));
}

// A small arrow pointing up or down, centred in `r`.
void arrow(HDC dc, RECT r, bool up, COLORREF ink) {
  LONG cx = (r.left + r.right) / 2, cy = (r.top + r.bottom) / 2 - 1;
  for (LONG i = 0; i < 3; ++i) {
    LONG row = up ? cy + i : cy + 2 - i;
    fill(dc, {cx - i, row, cx + i + 1, row + 1}, ink);
  }
}

// Draws a 32-bit picture over the rectangle, stretched, with its per-pixel alpha.
void draw_image(HDC dc, HGDIOBJ image, RECT r) {
  HDC mem = CreateCompatibleDC(dc);
  HGDIOBJ old = SelectObject(mem, image);
  if (old) {
    // The picture's size: the extent a DC on it can read.
    int w = 0, h = 0;
    while (GetPixel(mem, w, 0) != CLR_INVALID) ++w;
    while (GetPixel(mem, 0, h) != CLR_INVALID) ++h;
    BLENDFUNCTION bf{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    if (w && h) AlphaBlend(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, mem, 0, 0, w, h, bf);
    SelectObject(mem, old);
  }
  DeleteDC(mem);
}

void paint(HWND h, const WStr& cls) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(h, &ps);
  RECT r;
  GetClientRect(h, &r);
  bool enabled = IsWindowEnabled(h);
  DWORD style = style_of(h);
  Control c = with_control(h, [](Control& x) { return x; });
  COLORREF ink = enabled ? RGB(0, 0, 0) : kDisabledText;
  if (iequal(cls, u"STATIC")) {
    if ((style & 0x1F) == SS_BITMAP) {
      if (c.image) draw_image(dc, c.image, r);  // no background: what lies below shows through
    } else {
      // The label's font and ink go into the DC first: the parent may change either, and may
      // give a brush for the background; without one the label is transparent.
      HGDIOBJ old = c.font ? SelectObject(dc, c.font) : nullptr;
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, ink);
      HWND parent = GetParent(h);
      auto brush = parent ? reinterpret_cast<HBRUSH>(SendMessageW(parent, WM_CTLCOLORSTATIC,
                                                                   reinterpret_cast<WPARAM>(dc),
                                                                   reinterpret_cast<LPARAM>(h)))
                          : nullptr;
      if (brush) FillRect(dc, &r, brush);
      UINT align = (style & 0x3) == SS_CENTER ? DT_CENTER : (style & 0x3) == SS_RIGHT ? DT_RIGHT : DT_LEFT;
      WStr t = text_of(h);
      DrawTextW(dc, t.c_str(), static_cast<int>(t.size()), &r, align | DT_WORDBREAK | DT_NOPREFIX);
      if (old) SelectObject(dc, old);
    }
  } else if (iequal(cls, u"LISTBOX")) {
    fill(dc, r, RGB(255, 255, 255));
    frame(dc, r, kBorder);
    int y = 1;
    for (const WStr& item : c.items) {
      if (y >= r.bottom - 1) break;
      text(dc, c.font, item, {3, y, r.right - 1, std::min<LONG>(y + c.item_height, r.bottom - 1)},
           DT_LEFT | DT_SINGLELINE | DT_VCENTER, ink);
      y += c.item_height;
    }
  } else if (iequal(cls, u"COMBOBOX")) {
    fill(dc, r, enabled ? RGB(255, 255, 255) : RGB(240, 240, 240));
    frame(dc, r, kBorder);
    LONG arrow = std::min<LONG>(17, r.right / 2);
    RECT button{r.right - arrow, 1, r.right - 1, r.bottom - 1};
    fill(dc, button, RGB(225, 225, 225));
    // The drop-down arrow: a small triangle.
    LONG cx = (button.left + button.right) / 2, cy = (button.top + button.bottom) / 2 - 1;
    for (LONG i = 0; i < 4; ++i) fill(dc, {cx - 3 + i, cy + i, cx + 4 - i, cy + i + 1}, ink);
    if (c.selected >= 0 && c.selected < static_cast<int>(c.items.size()))
      text(dc, c.font, c.items[static_cast<size_t>(c.selected)], {4, 1, button.left - 1, r.bottom - 1},
           DT_LEFT | DT_SINGLELINE | DT_VCENTER, ink);
  } else if (iequal(cls, u"BUTTON")) {
    WStr t = text_of(h);
    DWORD type = style & BS_TYPEMASK;
    if (type == BS_GROUPBOX) {
      frame(dc, {r.left, r.top + 6, r.right, r.bottom}, RGB(213, 223, 229));
      RECT tr{r.left + 8, r.top, r.right - 8, r.top + 13};
      RECT need = tr;
      HGDIOBJ old = c.font ? SelectObject(dc, c.font) : nullptr;
      DrawTextW(dc, t.c_str(), static_cast<int>(t.size()), &need, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
      if (old) SelectObject(dc, old);
      fill(dc, {tr.left - 2, tr.top, std::min(need.right + 2, tr.right), tr.bottom}, RGB(240, 240, 240));
      text(dc, c.font, t, tr, DT_LEFT | DT_SINGLELINE, ink);
    } else if (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON || type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) {
      LONG top = (r.bottom - 13) / 2;
      RECT box{0, top, 13, top + 13};
      fill(dc, box, RGB(255, 255, 255));
      frame(dc, box, kBorder);
      if (c.check == BST_CHECKED) fill(dc, {4, top + 4, 9, top + 9}, ink);
      text(dc, c.font, t, {17, r.top, r.right, r.bottom}, DT_LEFT | DT_SINGLELINE | DT_VCENTER, ink);
    } else {  // push buttons
      fill(dc, r, kFace);
      frame(dc, r, type == BS_DEFPUSHBUTTON ? RGB(60, 127, 177) : RGB(112, 112, 112));
      text(dc, c.font, t, r, DT_CENTER | DT_SINGLELINE | DT_VCENTER, ink);
    }
  } else if (iequal(cls, u"EDIT")) {
    fill(dc, r, enabled ? RGB(255, 255, 255) : RGB(240, 240, 240));
    frame(dc, r, kBorder);
    text(dc, c.font, text_of(h), {3, 1, r.right - 2, r.bottom - 1}, DT_LEFT | DT_SINGLELINE | DT_VCENTER, ink);
  } else if (iequal(cls, u"SCROLLBAR")) {
    RECT up{0, 0, r.right, r.bottom / 2}, down{0, r.bottom / 2, r.right, r.bottom};
    for (RECT half : {up, down}) {
      fill(dc, half, kFace);
      frame(dc, half, RGB(151, 151, 151));
    }
    arrow(dc, up, true, ink);
    arrow(dc, down, false, ink);
  } else {  // progress bar
    fill(dc, r, RGB(230, 230, 230));
    frame(dc, r, RGB(188, 188, 188));
    long span = std::max(c.hi - c.lo, 1);
    long done = static_cast<long>(std::clamp(c.pos - c.lo, 0, c.hi - c.lo)) * (r.right - 2) / span;
    if (done > 0) fill(dc, {1, 1, 1 + static_cast<LONG>(done), r.bottom - 1}, RGB(6, 176, 37));
  }
  EndPaint(h, &ps);
}

LRESULT copy_item(const std::vector<WStr>& items, WPARAM index, LPARAM buffer, LRESULT err) {
  if (index >= items.size()) return err;
  const WStr& t = items[index];
  if (buffer) {
    std::memcpy(reinterpret_cast<WCHAR*>(buffer), t.data(), t.size() * sizeof(WCHAR));
    reinterpret_cast<WCHAR*>(buffer)[t.size()] = 0;
  }
  return static_cast<LRESULT>(t.size());
}

// The automatic radio buttons of a button's group: its siblings from the last one marked
// WS_GROUP before it up to the next one so marked.
std::vector<HWND> radio_group(HWND h) {
  std::vector<HWND> group;
  for (HWND s : child_windows(GetParent(h))) {
    bool starts = (style_of(s) & WS_GROUP) != 0;
    if (starts && std::find(group.begin(), group.end(), h) != group.end()) break;
    if (starts) group.clear();
    if (iequal(window_class(s), u"BUTTON") && (style_of(s) & BS_TYPEMASK) == BS_AUTORADIOBUTTON) group.push_back(s);
  }
  return group;
}

LRESULT CALLBACK ControlProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  WStr cls = window_class(h);
  auto changed = [&](LRESULT r) {
    InvalidateRect(h, nullptr, TRUE);
    return r;
  };
  switch (msg) {
    case WM_NCDESTROY: {
      Controls& c = controls();
      std::lock_guard lock(c.mu);
      c.by_window.erase(h);
      return 0;
    }
    case WM_PAINT:
      paint(h, cls);
      return 0;
    case WM_SETTEXT: {
      LRESULT r = changed(DefWindowProcW(h, msg, wp, lp));
      // An edit field tells its parent of every change of its text, the program's own included.
      if (iequal(cls, u"EDIT")) notify(h, EN_CHANGE);
      return r;
    }
    case WM_CHAR: {
      if (!iequal(cls, u"EDIT")) return 0;
      WStr t = text_of(h);
      bool replace = with_control(h, [](Control& c) { return std::exchange(c.replace_all, false); });
      if (replace) t.clear();
      if (wp == 8) {
        if (!t.empty()) t.pop_back();
      } else if (wp >= 32) {
        t += static_cast<WCHAR>(wp);
      } else {
        return 0;
      }
      SendMessageW(h, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(t.c_str()));
      return 0;
    }
    case EM_SETSEL:
      // Only "everything" matters here: what is typed next replaces it.
      with_control(h, [&](Control& c) { c.replace_all = wp == 0 && static_cast<LONG_PTR>(lp) == -1; });
      return 0;
    case BM_GETCHECK:
      return with_control(h, [](Control& c) { return static_cast<LRESULT>(c.check); });
    case BM_SETCHECK:
      return changed(with_control(h, [&](Control& c) {
        c.check = wp == BST_CHECKED ? BST_CHECKED : BST_UNCHECKED;
        return LRESULT{0};
      }));
    case WM_LBUTTONDOWN:
      if (iequal(cls, u"SCROLLBAR") && IsWindowEnabled(h)) {
        RECT r{};
        GetClientRect(h, &r);
        WORD code = GET_Y_LPARAM(lp) < r.bottom / 2 ? SB_LINEUP : SB_LINEDOWN;
        if (HWND parent = GetParent(h)) SendMessageW(parent, WM_VSCROLL, MAKEWPARAM(code, 0), reinterpret_cast<LPARAM>(h));
      }
      return 0;
    case WM_SETFONT:
      with_control(h, [&](Control& c) { c.font = reinterpret_cast<HFONT>(wp); });
      return lp ? changed(0) : 0;
    case WM_GETFONT:
      return with_control(h, [](Control& c) { return reinterpret_cast<LRESULT>(c.font); });
    case WM_LBUTTONUP:
      if (!IsWindowEnabled(h)) return 0;
      if (iequal(cls, u"STATIC") && (style_of(h) & SS_NOTIFY)) notify(h, STN_CLICKED);
      if (iequal(cls, u"SCROLLBAR"))
        if (HWND parent = GetParent(h)) SendMessageW(parent, WM_VSCROLL, MAKEWPARAM(SB_ENDSCROLL, 0), reinterpret_cast<LPARAM>(h));
      if (iequal(cls, u"BUTTON")) {
        DWORD type = style_of(h) & BS_TYPEMASK;
        if (type == BS_GROUPBOX) return 0;
        if (type == BS_AUTOCHECKBOX)
          SendMessageW(h, BM_SETCHECK, SendMessageW(h, BM_GETCHECK, 0, 0) == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
        if (type == BS_AUTORADIOBUTTON) {
          for (HWND other : radio_group(h))
            SendMessageW(other, BM_SETCHECK, other == h ? BST_CHECKED : BST_UNCHECKED, 0);
        }
        notify(h, BN_CLICKED);
      }
      return 0;
    case STM_SETIMAGE:
      if (wp != IMAGE_BITMAP) return 0;
      return changed(with_control(
          h, [&](Control& c) { return reinterpret_cast<LRESULT>(std::exchange(c.image, reinterpret_cast<HGDIOBJ>(lp))); }));
    case STM_GETIMAGE:
      return with_control(h, [](Control& c) { return reinterpret_cast<LRESULT>(c.image); });
    case LB_ADDSTRING:
    case CB_ADDSTRING:
      return changed(with_control(h, [&](Control& c) {
        c.items.push_back(wstr_or_empty(reinterpret_cast<LPCWSTR>(lp)));
        return static_cast<LRESULT>(c.items.size() - 1);
      }));
    case LB_RESETCONTENT:
    case CB_RESETCONTENT:
      return changed(with_control(h, [](Control& c) {
        c.items.clear();
        c.selected = -1;
        return LRESULT{0};
      }));
    case LB_GETCOUNT:
    case CB_GETCOUNT:
      return with_control(h, [](Control& c) { return static_cast<LRESULT>(c.items.size()); });
    case LB_GETTEXT:
    case CB_GETLBTEXT:
      return with_control(h, [&](Control& c) { return copy_item(c.items, wp, lp, LB_ERR); });
    case LB_GETTEXTLEN:
    case CB_GETLBTEXTLEN:
      return with_control(h, [&](Control& c) { return copy_item(c.items, wp, 0, LB_ERR); });
    case LB_SETITEMHEIGHT:
      if (LOWORD(lp) == 0 || LOWORD(lp) > 255) return LB_ERR;
      return changed(with_control(h, [&](Control& c) {
        c.item_height = LOWORD(lp);
        return LRESULT{0};
      }));
    case LB_GETITEMHEIGHT:
      return with_control(h, [](Control& c) { return static_cast<LRESULT>(c.item_height); });
    case CB_SETCURSEL:
      return changed(with_control(h, [&](Control& c) {
        auto i = static_cast<int>(static_cast<INT_PTR>(wp));
        c.selected = i >= 0 && i < static_cast<int>(c.items.size()) ? i : -1;
        return c.selected == i ? static_cast<LRESULT>(i) : LRESULT{CB_ERR};
      }));
    case CB_GETCURSEL:
      return with_control(h, [](Control& c) { return static_cast<LRESULT>(c.selected); });
    case PBM_SETRANGE32:
      return changed(with_control(h, [&](Control& c) {
        LRESULT old = MAKELPARAM(c.lo, c.hi);
        c.lo = static_cast<int>(wp);
        c.hi = static_cast<int>(lp);
        return old;
      }));
    case PBM_SETPOS:
      return changed(with_control(h, [&](Control& c) {
        int old = c.pos;
        c.pos = std::clamp(static_cast<int>(wp), std::min(c.lo, c.hi), std::max(c.lo, c.hi));
        return static_cast<LRESULT>(old);
      }));
    case PBM_GETPOS:
      return with_control(h, [](Control& c) { return static_cast<LRESULT>(c.pos); });
    default:
      return DefWindowProcW(h, msg, wp, lp);
  }
}

}  // namespace

WNDPROC system_class_proc(WStrView name) {
  for (const char16_t* c : {u"STATIC", u"LISTBOX", u"COMBOBOX", u"msctls_progress32", u"BUTTON", u"EDIT", u"SCROLLBAR"})
    if (iequal(name, c)) return ControlProc;
  if (iequal(name, u"#32770")) return dialog_class_proc();
  return nullptr;
}

bool choose_item(HWND combo, const WStr& item) {
  int index = with_control(combo, [&](Control& c) {
    auto it = std::find(c.items.begin(), c.items.end(), item);
    return it == c.items.end() ? -1 : static_cast<int>(it - c.items.begin());
  });
  if (index < 0) return false;
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  // A choice by the user, unlike CB_SETCURSEL, tells the parent.
  if (HWND parent = GetParent(combo))
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetWindowLongPtrW(combo, GWLP_ID), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
  return true;
}

}  // namespace winsim
