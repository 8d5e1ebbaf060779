#include "Controls.h"

#include <algorithm>

#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "win32/gdi.h"

#include "common/picture.h"

// A picture and the bitmap made of it for drawing: premultiplied 32-bit pixels, top row first.
struct TGraphic {
  picture::Picture Pixels;
  unique_gdi_object Bitmap;

  HBITMAP Ready(HDC dc) {
    if (Bitmap) return static_cast<HBITMAP>(Bitmap.get());
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = static_cast<LONG>(Pixels.Width);
    bi.bmiHeader.biHeight = -static_cast<LONG>(Pixels.Height);  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bmp || !bits) return nullptr;
    Bitmap.reset(bmp);
    auto* out = static_cast<uint32_t*>(bits);
    for (size_t i = 0; i < Pixels.Pixels.size(); ++i) {
      uint32_t p = Pixels.Pixels[i], a = p >> 24;
      auto mul = [a](uint32_t c) { return (c * a + 127) / 255; };
      out[i] = Pixels.HasAlpha ? (a << 24) | (mul((p >> 16) & 0xFF) << 16) | (mul((p >> 8) & 0xFF) << 8) | mul(p & 0xFF)
                               : p;
    }
    return bmp;
  }
};

namespace {

const WCHAR* const kGraphicClass = W_("TGraphicControl");

void RegisterGraphicClass(WNDPROC proc) {
  static bool registered = false;
  if (registered) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kGraphicClass;
  // No background brush: what the form drew under the control stays.
  registered = RegisterClassExW(&wc) != 0;
}

// The picture's place in the control: stretched over it, centred, or at its top-left corner.
RECT PictureRect(const TComponent& c, const picture::Picture& p) {
  RECT b = c.Bounds();
  if (c.Stretch) return b;
  LONG w = static_cast<LONG>(p.Width), h = static_cast<LONG>(p.Height);
  LONG left = b.left, top = b.top;
  if (c.Center) {
    left += (b.right - b.left - w) / 2;
    top += (b.bottom - b.top - h) / 2;
  }
  return RECT{left, top, left + w, top + h};
}

void DrawPicture(HDC dc, const TComponent& c) {
  TGraphic& g = *c.Picture;
  HBITMAP bmp = g.Ready(dc);
  if (!bmp) return;
  unique_memory_dc mem(CreateCompatibleDC(dc));
  if (!mem) return;
  HGDIOBJ old = SelectObject(mem.get(), bmp);
  RECT to = PictureRect(c, g.Pixels);
  int w = static_cast<int>(g.Pixels.Width), h = static_cast<int>(g.Pixels.Height);
  if (g.Pixels.HasAlpha) {
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(dc, to.left, to.top, to.right - to.left, to.bottom - to.top, mem.get(), 0, 0, w, h, blend);
  } else {
    SetStretchBltMode(dc, HALFTONE);
    StretchBlt(dc, to.left, to.top, to.right - to.left, to.bottom - to.top, mem.get(), 0, 0, w, h, SRCCOPY);
  }
  SelectObject(mem.get(), old);
}

void DrawLabel(HDC dc, const TComponent& c) {
  WCHAR text[1024] = {};
  int n = GetWindowTextW(c.Handle, text, 1024);
  if (n <= 0) return;
  unique_gdi_object font(CreateFontW(c.FontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH,
                                     W_("Tahoma")));
  HGDIOBJ old = font ? SelectObject(dc, font.get()) : nullptr;
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  RECT r = c.Bounds();
  DrawTextW(dc, text, n, &r, (c.CenterText ? DT_CENTER : DT_LEFT) | DT_WORDBREAK | DT_NOPREFIX);
  if (old) SelectObject(dc, old);
}

}  // namespace

// ---- components -------------------------------------------------------------------------------

void TComponent::SetBounds(int left, int top, int width, int height) {
  Place = {left, top, width, height};
  if (Handle) MoveWindow(Handle, left, top, width, height, TRUE);
  if (IsGraphic() && Handle) InvalidateRect(GetParent(Handle), nullptr, TRUE);
}

RECT TComponent::Bounds() const {
  return RECT{Place.Left, Place.Top, Place.Left + Place.Width, Place.Top + Place.Height};
}

void TComponent::SetVisible(bool visible) const {
  if (!Handle) return;
  ShowWindow(Handle, visible ? SW_SHOW : SW_HIDE);
  if (IsGraphic()) InvalidateRect(GetParent(Handle), nullptr, TRUE);
}

bool TComponent::Visible() const { return Handle && (GetWindowLongPtrW(Handle, GWL_STYLE) & WS_VISIBLE) != 0; }

void TComponent::SetEnabled(bool enabled) const {
  if (Handle) EnableWindow(Handle, enabled ? TRUE : FALSE);
}

bool TComponent::Enabled() const { return Handle && IsWindowEnabled(Handle); }

bool TComponent::LoadPicture(const WStr& path) {
  auto g = std::make_shared<TGraphic>();
  std::string error;
  if (!picture::LoadFile(path, g->Pixels, error)) {
    TheDebugger().LogMsgError(W_("Picture ") + path + W_(": ") + FromAnsi(error));
    return false;
  }
  Picture = std::move(g);
  if (Handle) InvalidateRect(GetParent(Handle), nullptr, TRUE);
  return true;
}

bool TComponent::HasPicture() const { return Picture && !Picture->Pixels.Empty(); }

void TComponent::ClearItems() const {
  SendMessageW(Handle, Kind == TControlKind::ComboBox ? CB_RESETCONTENT : LB_RESETCONTENT, 0, 0);
}

void TComponent::AddItem(const WStr& text) const {
  SendMessageW(Handle, Kind == TControlKind::ComboBox ? CB_ADDSTRING : LB_ADDSTRING, 0,
               reinterpret_cast<LPARAM>(text.c_str()));
}

int TComponent::ItemCount() const {
  LRESULT n = SendMessageW(Handle, Kind == TControlKind::ComboBox ? CB_GETCOUNT : LB_GETCOUNT, 0, 0);
  return n > 0 ? static_cast<int>(n) : 0;
}

WStr TComponent::ItemText(int index) const {
  bool combo = Kind == TControlKind::ComboBox;
  LRESULT n = SendMessageW(Handle, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
  if (n <= 0) return {};
  WStr text(static_cast<size_t>(n) + 1, u'\0');
  n = SendMessageW(Handle, combo ? CB_GETLBTEXT : LB_GETTEXT, static_cast<WPARAM>(index),
                   reinterpret_cast<LPARAM>(text.data()));
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

int TComponent::ItemIndex() const { return static_cast<int>(SendMessageW(Handle, CB_GETCURSEL, 0, 0)); }

void TComponent::SetItemIndex(int index) const { SendMessageW(Handle, CB_SETCURSEL, static_cast<WPARAM>(index), 0); }

void TComponent::SetPosition(int position) const { SendMessageW(Handle, PBM_SETPOS, static_cast<WPARAM>(position), 0); }

void TComponent::SetRange(int low, int high) const {
  SendMessageW(Handle, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
}

// ---- forms ------------------------------------------------------------------------------------

TComponent& TForm::AddControl(const WStr& name, TControlKind kind, const WStr& caption, TBounds bounds) {
  const WCHAR* cls = nullptr;
  DWORD style = WS_CHILD | WS_VISIBLE;
  switch (kind) {
    case TControlKind::Button:
    case TControlKind::BitBtn:
    case TControlKind::CheckBox:
    case TControlKind::GroupBox:
      cls = W_("BUTTON");
      break;
    case TControlKind::TabSheet:
      cls = W_("STATIC");
      break;
    case TControlKind::Label:
    case TControlKind::Image:
      RegisterGraphicClass(GraphicProc);
      cls = kGraphicClass;
      break;
    case TControlKind::Edit:
      cls = W_("EDIT");
      break;
    case TControlKind::ListBox:
      cls = W_("LISTBOX");
      break;
    case TControlKind::ComboBox:
      cls = W_("COMBOBOX");
      style |= CBS_DROPDOWNLIST;
      break;
    case TControlKind::ProgressBar:
      cls = W_("msctls_progress32");
      break;
    case TControlKind::Timer:
      break;
  }
  Components.emplace_back();
  TComponent& c = Components.back();
  c.Name = name;
  c.Kind = kind;
  c.Place = bounds;
  if (cls) {
    c.Handle = CreateWindowExW(0, cls, caption.c_str(), style, bounds.Left, bounds.Top, bounds.Width, bounds.Height,
                               Handle, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(Components.size())), nullptr,
                               nullptr);
    if (c.Handle) {
      c.Owner = this;
      if (c.IsGraphic()) SetWindowLongPtrW(c.Handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&c));
#ifndef _WIN32
      // The name stays in the component, which the deque keeps in place.
      SetPropW(c.Handle, W_("winsim.name"), const_cast<WCHAR*>(c.Name.c_str()));
#endif
    }
  }
  return c;
}

TComponent* TForm::FindComponent(WStrView name) {
  for (TComponent& c : Components)
    if (SameTextAscii(c.Name, name)) return &c;
  return nullptr;
}

void TForm::PaintGraphicControls(HDC dc) {
  for (const TComponent& c : Components) {
    if (!c.IsGraphic() || !c.Visible()) continue;
    if (c.Kind == TControlKind::Image && c.HasPicture()) DrawPicture(dc, c);
    if (c.Kind == TControlKind::Label) DrawLabel(dc, c);
  }
}

LRESULT CALLBACK TForm::GraphicProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* c = reinterpret_cast<TComponent*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!c || !c->Owner) return DefWindowProcW(hwnd, msg, wp, lp);
  TForm& form = *c->Owner;
  POINT at{static_cast<short>(lp & 0xFFFF), static_cast<short>((lp >> 16) & 0xFFFF)};
  switch (msg) {
    case WM_PAINT: {
      // The form draws its graphic controls; the window itself shows what lies under it.
      PAINTSTRUCT ps;
      BeginPaint(hwnd, &ps);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_SETTEXT: {
      LRESULT r = DefWindowProcW(hwnd, msg, wp, lp);
      InvalidateRect(GetParent(hwnd), nullptr, TRUE);
      return r;
    }
    case WM_SETCURSOR:
      SetCursor(LoadCursorW(nullptr, form.Busy ? IDC_WAIT : c->HandPointer ? IDC_HAND : IDC_ARROW));
      return TRUE;
    case WM_MOUSEMOVE:
      if (!c->Hot) {
        c->Hot = true;
        TRACKMOUSEEVENT t{sizeof t, TME_LEAVE, hwnd, 0};
        TrackMouseEvent(&t);
        form.ControlEvent(*c, TControlEvent::MouseEnter, at);
      }
      return 0;
    case WM_MOUSELEAVE:
      c->Hot = false;
      form.ControlEvent(*c, TControlEvent::MouseLeave, at);
      return 0;
    case WM_LBUTTONDOWN:
      form.ControlEvent(*c, TControlEvent::MouseDown, at);
      return 0;
    case WM_LBUTTONUP: {
      RECT r{};
      GetClientRect(hwnd, &r);
      if (at.x >= r.left && at.x < r.right && at.y >= r.top && at.y < r.bottom)
        form.ControlEvent(*c, TControlEvent::Click, at);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

// ---- menus ------------------------------------------------------------------------------------

bool TMenuItem::IsSeparator() const { return Command == 0; }

TMenu::TMenu() : m_Handle(CreateMenu()) {}

TMenu::~TMenu() {
  if (m_Handle) DestroyMenu(m_Handle);
}

WStr TMenu::Caption(int i) const {
  WCHAR buf[512] = {};
  int n = GetMenuStringW(m_Handle, static_cast<UINT>(i), buf, 512, MF_BYPOSITION);
  return m_Items[static_cast<size_t>(i)].IsSeparator() ? WStr(W_("-")) : WStr(buf, static_cast<size_t>(n > 0 ? n : 0));
}

void TMenu::Add(const WStr& name, const WStr& caption) {
  if (caption == W_("-")) {
    AppendMenuW(m_Handle, MF_SEPARATOR, 0, nullptr);
    m_Items.push_back({name, 0});
    return;
  }
  UINT_PTR cmd = m_NextCommand++;
  AppendMenuW(m_Handle, MF_STRING, cmd, caption.c_str());
  m_Items.push_back({name, cmd});
}

void TMenu::SetCaption(int i, const WStr& caption) {
  const TMenuItem& item = m_Items[static_cast<size_t>(i)];
  ModifyMenuW(m_Handle, static_cast<UINT>(i), MF_BYPOSITION | MF_STRING, item.Command, caption.c_str());
}

void TMenu::Delete(int i) {
  DeleteMenu(m_Handle, static_cast<UINT>(i), MF_BYPOSITION);
  m_Items.erase(m_Items.begin() + i);
}
