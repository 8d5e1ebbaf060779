// The system's child controls the installer's window is made of: static text and pictures, list
// boxes, drop-down lists and progress bars. Each keeps its items in a table here and paints
// itself into its top-level window's surface.
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

const COLORREF kBorder = RGB(122, 122, 122), kDisabledText = RGB(109, 109, 109);

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
      // The parent may give a brush for the background; without one the label is transparent.
      HWND parent = GetParent(h);
      auto brush = parent ? reinterpret_cast<HBRUSH>(SendMessageW(parent, WM_CTLCOLORSTATIC,
                                                                   reinterpret_cast<WPARAM>(dc),
                                                                   reinterpret_cast<LPARAM>(h)))
                          : nullptr;
      if (brush) FillRect(dc, &r, brush);
      UINT align = (style & 0x3) == SS_CENTER ? DT_CENTER : (style & 0x3) == SS_RIGHT ? DT_RIGHT : DT_LEFT;
      text(dc, c.font, text_of(h), r, align | DT_WORDBREAK, ink);
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
      LRESULT r = DefWindowProcW(h, msg, wp, lp);
      return changed(r);
    }
    case WM_SETFONT:
      with_control(h, [&](Control& c) { c.font = reinterpret_cast<HFONT>(wp); });
      return lp ? changed(0) : 0;
    case WM_GETFONT:
      return with_control(h, [](Control& c) { return reinterpret_cast<LRESULT>(c.font); });
    case WM_LBUTTONUP:
      if (iequal(cls, u"STATIC") && (style_of(h) & SS_NOTIFY))
        if (HWND parent = GetParent(h))
          SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetWindowLongPtrW(h, GWLP_ID), STN_CLICKED),
                       reinterpret_cast<LPARAM>(h));
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
  for (const char16_t* c : {u"STATIC", u"LISTBOX", u"COMBOBOX", u"msctls_progress32"})
    if (iequal(name, c)) return ControlProc;
  for (const char16_t* c : {u"BUTTON", u"EDIT", u"#32770"})
    if (iequal(name, c)) return DefWindowProcW;
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
