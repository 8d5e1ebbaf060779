// Drawing: every top-level window of the process has an in-memory 32-bit surface of its size, and
// its children draw into it at their places. Device contexts, DIB sections, brushes and fonts are
// handles in one GDI table that owns what they hold; text goes through FreeType with the fonts of
// the machine's Debian packages (Wine's Tahoma, else DejaVu Sans), and glyphs the Latin font lacks
// come from WenQuanYi Micro Hei.
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <variant>

#include "common/picture.h"
#include "internal.h"
#include "win32/gdi.h"

namespace winsim {

namespace {

struct Bitmap {
  LONG w = 0, h = 0;
  bool bottom_up = false;
  std::unique_ptr<uint32_t[]> bits;
  int selected = 0;  // memory DCs it is selected into
};

struct Brush {
  COLORREF color = 0;
};

struct Font {
  int height = 0;
  int weight = FW_NORMAL;
  WStr face;
};

struct Dc {
  HWND hwnd = nullptr;   // a window's DC (GetDC, BeginPaint); none for memory and screen DCs
  bool memory = false;   // CreateCompatibleDC
  ULONG_PTR bitmap = 0;  // selected into a memory DC
  ULONG_PTR font = 0;
  ULONG_PTR brush = 0;
  COLORREF text = RGB(0, 0, 0);
  COLORREF bk = RGB(255, 255, 255);
  int bk_mode = OPAQUE;
  int stretch_mode = BLACKONWHITE;
};

using Object = std::variant<Dc, Bitmap, Brush, Font>;

struct Surface {
  LONG w = 0, h = 0;
  std::vector<uint32_t> px;
};

// Stock objects: never freed, DeleteObject on them does nothing.
constexpr ULONG_PTR kStockBitmap = 0x30002, kStockFont = 0x30004, kStockBrush = 0x30006;

struct FontFiles {
  std::string latin, latin_bold, cjk;
};

struct Gdi {
  std::mutex mu;
  std::map<ULONG_PTR, Object> objects;
  ULONG_PTR next = 0x30010;
  std::map<HWND, Surface> surfaces;
  FT_Library ft = nullptr;
  std::map<std::string, FT_Face> faces;  // by file, loaded on first use

  Gdi() {
    Bitmap stock;
    stock.w = stock.h = 1;
    stock.bits = std::make_unique<uint32_t[]>(1);
    objects.emplace(kStockBitmap, std::move(stock));
    objects.emplace(kStockFont, Font{-11, FW_NORMAL, u"MS Shell Dlg"});
    objects.emplace(kStockBrush, Brush{RGB(255, 255, 255)});
  }
};

// Kept for the life of the process: windows of other threads may draw while it exits.
Gdi& gdi() {
  static Gdi* g = new Gdi;
  return *g;
}

ULONG_PTR key(const void* h) { return reinterpret_cast<ULONG_PTR>(h); }

template <class T>
T* find(Gdi& g, ULONG_PTR h) {
  auto it = g.objects.find(h);
  return it == g.objects.end() ? nullptr : std::get_if<T>(&it->second);
}

template <class H>
H add(Gdi& g, Object o) {
  ULONG_PTR h = g.next;
  g.next += 2;
  g.objects.emplace(h, std::move(o));
  return reinterpret_cast<H>(h);
}

uint32_t from_colorref(COLORREF c) { return picture::Argb(255, GetRValue(c), GetGValue(c), GetBValue(c)); }

COLORREF system_color(int index) {
  switch (index) {
    case COLOR_WINDOW: return RGB(255, 255, 255);
    case COLOR_WINDOWTEXT: return RGB(0, 0, 0);
    case COLOR_BTNFACE: return RGB(240, 240, 240);
    default: return RGB(192, 192, 192);
  }
}

// Where a DC draws: pixels, their row order, the DC's origin in them and the clip (target pixels).
struct Target {
  uint32_t* px = nullptr;
  LONG w = 0, h = 0;
  bool bottom_up = false;
  LONG ox = 0, oy = 0;
  LONG cl = 0, ct = 0, cr = 0, cb = 0;

  uint32_t& at(LONG x, LONG y) const { return px[static_cast<size_t>(bottom_up ? h - 1 - y : y) * w + x]; }
  bool inside(LONG x, LONG y) const { return x >= cl && x < cr && y >= ct && y < cb; }
};

Surface& surface_of(Gdi& g, HWND top, LONG w, LONG h) {
  Surface& s = g.surfaces[top];
  if (s.w != w || s.h != h) {
    s.w = w;
    s.h = h;
    s.px.assign(static_cast<size_t>(w) * h, 0xFFFFFFFFu);
  }
  return s;
}

// Lock held. None for a DC that draws nowhere (the screen, a hidden window's).
std::optional<Target> target_of(Gdi& g, const Dc& dc) {
  Target t;
  if (dc.memory) {
    Bitmap* b = find<Bitmap>(g, dc.bitmap);
    if (!b) return std::nullopt;
    t.px = b->bits.get();
    t.w = b->w;
    t.h = b->h;
    t.bottom_up = b->bottom_up;
    t.cr = b->w;
    t.cb = b->h;
    return t;
  }
  if (!dc.hwnd) return std::nullopt;
  auto place = window_place(dc.hwnd);
  if (!place) return std::nullopt;
  auto top = window_place(place->top);
  if (!top) return std::nullopt;
  Surface& s = surface_of(g, place->top, top->cx, top->cy);
  t.px = s.px.data();
  t.w = s.w;
  t.h = s.h;
  t.ox = place->x;
  t.oy = place->y;
  t.cl = std::max<LONG>(place->clip_l, 0);
  t.ct = std::max<LONG>(place->clip_t, 0);
  t.cr = std::min<LONG>(place->clip_r, s.w);
  t.cb = std::min<LONG>(place->clip_b, s.h);
  if (t.cl >= t.cr || t.ct >= t.cb || s.px.empty()) return std::nullopt;
  return t;
}

void fill(const Target& t, LONG l, LONG tp, LONG r, LONG b, uint32_t color) {
  l = std::max(l + t.ox, t.cl);
  r = std::min(r + t.ox, t.cr);
  tp = std::max(tp + t.oy, t.ct);
  b = std::min(b + t.oy, t.cb);
  for (LONG y = tp; y < b; ++y)
    for (LONG x = l; x < r; ++x) t.at(x, y) = color;
}

// ---- text -------------------------------------------------------------------------------------

FontFiles font_files() {
  auto first = [](std::initializer_list<const char*> paths) -> std::string {
    std::error_code ec;
    for (const char* p : paths)
      if (std::filesystem::exists(p, ec)) return p;
    return {};
  };
  FontFiles f;
  f.latin = first({"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"});
  f.latin_bold = first({"/usr/share/wine/fonts/tahomabd.ttf", "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"});
  if (f.latin_bold.empty()) f.latin_bold = f.latin;
  f.cjk = first({"/usr/share/fonts/truetype/wqy/wqy-microhei.ttc", "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc"});
  return f;
}

const FontFiles& fonts() {
  static const FontFiles f = font_files();
  return f;
}

FT_Face face(Gdi& g, const std::string& file) {
  if (file.empty()) return nullptr;
  auto it = g.faces.find(file);
  if (it != g.faces.end()) return it->second;
  if (!g.ft && FT_Init_FreeType(&g.ft)) return nullptr;
  FT_Face f = nullptr;
  if (FT_New_Face(g.ft, file.c_str(), 0, &f)) f = nullptr;
  g.faces[file] = f;  // a broken file is not tried again
  return f;
}

// The faces of a font at its size: the Latin (or, for a Chinese face name, the CJK) font first,
// then the CJK font for the glyphs the first lacks.
struct Faces {
  FT_Face main = nullptr, fallback = nullptr;
  int ascent = 0, descent = 0;
};

bool cjk_name(const WStr& face) {
  for (const char16_t* n : {u"SimSun", u"NSimSun", u"Microsoft YaHei", u"SimHei", u"宋体", u"新宋体", u"微软雅黑", u"黑体"})
    if (iequal(face, n)) return true;
  return false;
}

void set_size(FT_Face f, int height) {
  int px = height < 0 ? -height : height;
  if (height > 0 && f->units_per_EM && f->ascender - f->descender > 0)  // a cell height
    px = static_cast<int>(static_cast<long>(height) * f->units_per_EM / (f->ascender - f->descender));
  if (height == 0) px = 12;
  FT_Set_Pixel_Sizes(f, 0, static_cast<FT_UInt>(std::clamp(px, 1, 1000)));
}

Faces faces_for(Gdi& g, const Font& font) {
  Faces fs;
  FT_Face latin = face(g, font.weight >= 600 ? fonts().latin_bold : fonts().latin);
  FT_Face cjk = face(g, fonts().cjk);
  fs.main = cjk_name(font.face) && cjk ? cjk : (latin ? latin : cjk);
  fs.fallback = fs.main == cjk ? nullptr : cjk;
  for (FT_Face f : {fs.main, fs.fallback})
    if (f) set_size(f, font.height);
  if (fs.main) {
    fs.ascent = static_cast<int>((fs.main->size->metrics.ascender + 63) >> 6);
    fs.descent = static_cast<int>((-fs.main->size->metrics.descender + 63) >> 6);
  }
  return fs;
}

std::pair<FT_Face, FT_UInt> glyph_of(const Faces& fs, char32_t c) {
  if (fs.main)
    if (FT_UInt i = FT_Get_Char_Index(fs.main, c)) return {fs.main, i};
  if (fs.fallback)
    if (FT_UInt i = FT_Get_Char_Index(fs.fallback, c)) return {fs.fallback, i};
  return {fs.main, 0};  // the main font's "missing" box
}

int advance_of(const Faces& fs, char32_t c) {
  auto [f, i] = glyph_of(fs, c);
  if (!f || FT_Load_Glyph(f, i, FT_LOAD_NO_BITMAP)) return 0;
  return static_cast<int>((f->glyph->advance.x + 32) >> 6);
}

std::u32string to_u32(WStrView s) {
  std::u32string out;
  for (size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
    out += c;
  }
  return out;
}

int width_of(const Faces& fs, std::u32string_view s) {
  int w = 0;
  for (char32_t c : s) w += advance_of(fs, c);
  return w;
}

bool wide_char(char32_t c) { return c >= 0x2E80; }  // CJK and beyond: a line may break anywhere

// Lines of the text as DrawTextW lays them out.
std::vector<std::u32string> layout(const Faces& fs, std::u32string text, UINT format, int width) {
  std::vector<std::u32string> lines;
  if (format & DT_SINGLELINE) {
    for (char32_t& c : text)
      if (c == U'\r' || c == U'\n') c = U' ';
    lines.push_back(text);
    return lines;
  }
  std::u32string cur;
  auto flush = [&] {
    lines.push_back(cur);
    cur.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c == U'\r') continue;
    if (c == U'\n') {
      flush();
      continue;
    }
    cur += c;
  }
  flush();
  if (!(format & DT_WORDBREAK)) return lines;
  std::vector<std::u32string> wrapped;
  for (const auto& line : lines) {
    // Words: runs of non-blank Latin letters, each wide character alone, each blank alone.
    std::vector<std::u32string> words;
    for (char32_t c : line) {
      bool alone = c == U' ' || wide_char(c);
      if (alone || words.empty() || words.back() == U" " || wide_char(words.back().back()))
        words.emplace_back(1, c);
      else
        words.back() += c;
      if (alone && c != U' ') words.emplace_back();  // what follows a wide character starts anew
    }
    std::u32string out;
    for (auto& w : words) {
      if (w.empty()) continue;
      if (!out.empty() && width_of(fs, out + w) > width && w != U" ") {
        while (!out.empty() && out.back() == U' ') out.pop_back();
        wrapped.push_back(out);
        out.clear();
      }
      if (out.empty() && w == U" ") continue;  // no blank at a line's start
      out += w;
    }
    wrapped.push_back(out);
  }
  return wrapped;
}

void draw_glyphs(const Target& t, const Faces& fs, std::u32string_view s, int x, int baseline, uint32_t color,
                 LONG cl, LONG ct, LONG cr, LONG cb) {
  for (char32_t c : s) {
    auto [f, i] = glyph_of(fs, c);
    // Outlines, smoothed: some packaged fonts carry one-bit strikes for small sizes.
    if (!f || FT_Load_Glyph(f, i, FT_LOAD_RENDER | FT_LOAD_NO_BITMAP)) continue;
    const FT_Bitmap& bm = f->glyph->bitmap;
    int gx = x + f->glyph->bitmap_left, gy = baseline - f->glyph->bitmap_top;
    bool mono = bm.pixel_mode == FT_PIXEL_MODE_MONO;
    if (bm.pixel_mode == FT_PIXEL_MODE_GRAY || mono)
      for (unsigned row = 0; row < bm.rows; ++row)
        for (unsigned col = 0; col < bm.width; ++col) {
          const unsigned char* line = bm.buffer + static_cast<long>(row) * bm.pitch;
          unsigned cov = mono ? ((line[col / 8] >> (7 - col % 8)) & 1) * 255 : line[col];
          if (!cov) continue;
          LONG px = gx + static_cast<LONG>(col), py = gy + static_cast<LONG>(row);
          if (px < cl || px >= cr || py < ct || py >= cb) continue;
          uint32_t& d = t.at(px, py);
          auto mix = [&](int shift) {
            unsigned a = (color >> shift) & 255, b = (d >> shift) & 255;
            return static_cast<uint32_t>((a * cov + b * (255 - cov)) / 255) << shift;
          };
          d = 0xFF000000u | mix(16) | mix(8) | mix(0);
        }
    x += static_cast<int>((f->glyph->advance.x + 32) >> 6);
  }
}

WStr strip_prefixes(WStrView s) {
  WStr out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == u'&') {
      if (i + 1 < s.size() && s[i + 1] == u'&') out += u'&';
      if (i + 1 < s.size()) ++i, out += s[i] == u'&' ? WStr() : WStr(1, s[i]);
      continue;
    }
    out += s[i];
  }
  return out;
}

}  // namespace

std::optional<picture::Picture> snapshot_window(HWND top) {
  auto place = window_place(top);
  if (!place) return std::nullopt;
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  Surface& s = surface_of(g, top, place->cx, place->cy);
  picture::Picture pic;
  pic.Width = static_cast<uint32_t>(s.w);
  pic.Height = static_cast<uint32_t>(s.h);
  pic.Pixels = s.px;
  if (place->color_keyed) {  // the colour-keyed parts of a layered window are see-through
    uint32_t key = from_colorref(place->color_key);
    for (uint32_t& p : pic.Pixels)
      if ((p | 0xFF000000u) == key) p = 0;
  }
  for (uint32_t& p : pic.Pixels)
    if (p != 0) p |= 0xFF000000u;
  pic.HasAlpha = std::any_of(pic.Pixels.begin(), pic.Pixels.end(), [](uint32_t p) { return (p >> 24) != 0xFF; });
  return pic;
}

picture::Picture draw_message_box(const picture::Picture& below, const WStr& caption, const WStr& text,
                                  const std::vector<WStr>& buttons) {
  picture::Picture out = below;
  if (out.Empty()) {  // no owner on screen: the box over an empty desktop
    out.Width = 480;
    out.Height = 240;
    out.Pixels.assign(480 * 240, picture::Argb(255, 58, 110, 165));
  }
  BITMAPINFO bi{};
  bi.bmiHeader = {sizeof(BITMAPINFOHEADER), static_cast<LONG>(out.Width), -static_cast<LONG>(out.Height), 1, 32, BI_RGB,
                  0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bmp) return out;
  std::memcpy(bits, out.Pixels.data(), out.Pixels.size() * 4);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, bmp);
  HFONT font = CreateFontW(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, u"Tahoma");
  HGDIOBJ old_font = SelectObject(dc, font);
  SetBkMode(dc, TRANSPARENT);
  auto box = [&](RECT r, COLORREF c) {
    HBRUSH b = CreateSolidBrush(c);
    FillRect(dc, &r, b);
    DeleteObject(b);
  };
  // The text's size decides the box's: at most 360 pixels wide, as tall as its lines.
  RECT measure{0, 0, 360, 0};
  DrawTextW(dc, text.c_str(), -1, &measure, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
  const LONG bw = 80, bh = 24, gap = 8, n = static_cast<LONG>(buttons.size());
  LONG w = std::max<LONG>({measure.right + 40, n * (bw + gap) + 24, 200});
  LONG h = 28 + measure.bottom + 30 + bh + 16;
  LONG x = (static_cast<LONG>(out.Width) - w) / 2, y = (static_cast<LONG>(out.Height) - h) / 2;
  box({x - 1, y - 1, x + w + 1, y + h + 1}, RGB(100, 100, 100));
  box({x, y, x + w, y + h}, RGB(255, 255, 255));
  box({x, y + h - bh - 24, x + w, y + h}, RGB(240, 240, 240));
  SetTextColor(dc, RGB(0, 0, 0));
  RECT title{x + 8, y + 4, x + w - 8, y + 24};
  DrawTextW(dc, caption.c_str(), -1, &title, DT_LEFT | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
  RECT body{x + 20, y + 36, x + w - 20, y + 36 + measure.bottom};
  DrawTextW(dc, text.c_str(), -1, &body, DT_LEFT | DT_WORDBREAK | DT_NOPREFIX);
  LONG bx = x + w - 12 - n * (bw + gap) + gap;
  for (const WStr& label : buttons) {
    RECT br{bx, y + h - bh - 12, bx + bw, y + h - 12};
    box({br.left - 1, br.top - 1, br.right + 1, br.bottom + 1}, RGB(173, 173, 173));
    box(br, RGB(225, 225, 225));
    DrawTextW(dc, label.c_str(), -1, &br, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    bx += bw + gap;
  }
  std::memcpy(out.Pixels.data(), bits, out.Pixels.size() * 4);
  for (uint32_t& p : out.Pixels)
    if (p) p |= 0xFF000000u;
  SelectObject(dc, old_font);
  DeleteObject(font);
  SelectObject(dc, old);
  DeleteDC(dc);
  DeleteObject(bmp);
  return out;
}

void forget_surface(HWND top) {
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  g.surfaces.erase(top);
}

}  // namespace winsim

using namespace winsim;

namespace {

HDC new_window_dc(HWND h) {
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  Dc dc;
  dc.hwnd = h;
  dc.font = kStockFont;
  dc.brush = kStockBrush;
  return add<HDC>(g, dc);
}

bool delete_dc(HDC hdc) {
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  Dc* dc = find<Dc>(g, key(hdc));
  if (!dc) return false;
  if (Bitmap* b = find<Bitmap>(g, dc->bitmap)) --b->selected;
  g.objects.erase(key(hdc));
  return true;
}

// Runs `f(dc, target)` under the lock; false (and ERROR_INVALID_HANDLE) for an unknown DC.
template <class F>
BOOL with_dc(HDC hdc, F&& f) {
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  Dc* dc = find<Dc>(g, key(hdc));
  if (!dc) return fail(ERROR_INVALID_HANDLE, FALSE);
  auto t = target_of(g, *dc);
  return f(g, *dc, t);
}

// Copies (nearest neighbour) or blends a source rectangle into a destination one.
BOOL blit(HDC dst, int xd, int yd, int wd, int hd, HDC src, int xs, int ys, int ws, int hs, bool blend,
          BLENDFUNCTION bf) {
  if (wd < 0 || hd < 0 || ws < 0 || hs < 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  Dc* ddc = find<Dc>(g, key(dst));
  Dc* sdc = find<Dc>(g, key(src));
  if (!ddc || !sdc) return fail(ERROR_INVALID_HANDLE, FALSE);
  auto dt = target_of(g, *ddc);
  auto st = target_of(g, *sdc);
  if (!st) return TRUE;  // nothing to read: the screen or a DC without a picture
  if (blend && (xs < 0 || ys < 0 || xs + ws > st->w || ys + hs > st->h))
    return fail(ERROR_INVALID_PARAMETER, FALSE);  // AlphaBlend refuses a source beyond its bitmap
  if (!dt || wd == 0 || hd == 0 || ws == 0 || hs == 0) return TRUE;
  // Read the source first: source and destination may be the same pixels.
  std::vector<uint32_t> from(static_cast<size_t>(ws) * hs, 0);
  std::vector<bool> have(from.size(), false);
  for (int y = 0; y < hs; ++y)
    for (int x = 0; x < ws; ++x) {
      LONG sx = xs + x + st->ox, sy = ys + y + st->oy;
      if (!st->inside(sx, sy)) continue;
      from[static_cast<size_t>(y) * ws + x] = st->at(sx, sy);
      have[static_cast<size_t>(y) * ws + x] = true;
    }
  for (int y = 0; y < hd; ++y)
    for (int x = 0; x < wd; ++x) {
      LONG dx = xd + x + dt->ox, dy = yd + y + dt->oy;
      if (!dt->inside(dx, dy)) continue;
      size_t i = static_cast<size_t>(y * hs / hd) * ws + static_cast<size_t>(x * ws / wd);
      if (!have[i]) continue;
      uint32_t s = from[i];
      uint32_t& d = dt->at(dx, dy);
      if (!blend) {
        d = s;
        continue;
      }
      unsigned sca = bf.SourceConstantAlpha;
      unsigned sa = (bf.AlphaFormat & AC_SRC_ALPHA) ? ((s >> 24) * sca + 127) / 255 : sca;
      auto ch = [&](int shift) {
        unsigned sc = (s >> shift) & 255, dc = (d >> shift) & 255;
        // With per-pixel alpha the source is premultiplied; otherwise only the constant counts.
        unsigned v = (bf.AlphaFormat & AC_SRC_ALPHA) ? (sc * sca + 127) / 255 + (dc * (255 - sa) + 127) / 255
                                                     : (sc * sca + dc * (255 - sca) + 127) / 255;
        return static_cast<uint32_t>(std::min(v, 255u)) << shift;
      };
      d = ch(24) | ch(16) | ch(8) | ch(0);
    }
  return TRUE;
}

}  // namespace

extern "C" {

WINSIM_API HDC WINAPI GetDC(HWND hWnd) {
  if (hWnd && !window_place(hWnd)) return fail(ERROR_INVALID_WINDOW_HANDLE, static_cast<HDC>(nullptr));
  return new_window_dc(hWnd);
}

WINSIM_API int WINAPI ReleaseDC(HWND, HDC hDC) { return delete_dc(hDC) ? 1 : 0; }

WINSIM_API HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) {
  auto place = window_place(hWnd);
  if (!place || !lpPaint) return fail(place ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE, static_cast<HDC>(nullptr));
  mark_for_paint(hWnd, false, false);
  HDC dc = new_window_dc(hWnd);
  *lpPaint = {};
  lpPaint->hdc = dc;
  lpPaint->fErase = TRUE;
  lpPaint->rcPaint = {0, 0, place->cx, place->cy};
  if (place->background) FillRect(dc, &lpPaint->rcPaint, place->background);
  return dc;
}

WINSIM_API BOOL WINAPI EndPaint(HWND, const PAINTSTRUCT* lpPaint) {
  if (!lpPaint) return FALSE;
  delete_dc(lpPaint->hdc);
  return TRUE;
}

WINSIM_API BOOL WINAPI InvalidateRect(HWND hWnd, const RECT*, BOOL) {
  if (!hWnd) {
    for (HWND top : shown_top_windows()) mark_for_paint(top, true, true);
    return TRUE;
  }
  if (!window_place(hWnd)) return fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  // One surface holds a window and its children: what is drawn again is drawn whole, children
  // after their parent.
  mark_for_paint(hWnd, true, true);
  return TRUE;
}

WINSIM_API HDC WINAPI CreateCompatibleDC(HDC) {
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  Dc dc;
  dc.memory = true;
  dc.bitmap = kStockBitmap;
  dc.font = kStockFont;
  dc.brush = kStockBrush;
  return add<HDC>(g, dc);
}

WINSIM_API BOOL WINAPI DeleteDC(HDC hdc) { return delete_dc(hdc) ? TRUE : fail(ERROR_INVALID_HANDLE, FALSE); }

WINSIM_API HBITMAP WINAPI CreateDIBSection(HDC, const BITMAPINFO* pbmi, UINT usage, void** ppvBits, HANDLE hSection,
                                           DWORD) {
  if (ppvBits) *ppvBits = nullptr;
  if (!pbmi || usage != DIB_RGB_COLORS || hSection) return fail(ERROR_INVALID_PARAMETER, static_cast<HBITMAP>(nullptr));
  const BITMAPINFOHEADER& h = pbmi->bmiHeader;
  // Only what drawing here uses: 32 bits a pixel, no compression.
  if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biBitCount != 32 || h.biCompression != BI_RGB || h.biWidth <= 0 ||
      h.biHeight == 0 || h.biHeight == INT32_MIN)
    return fail(ERROR_INVALID_PARAMETER, static_cast<HBITMAP>(nullptr));
  uint64_t w = static_cast<uint64_t>(h.biWidth), ht = static_cast<uint64_t>(h.biHeight < 0 ? -h.biHeight : h.biHeight);
  if (w * ht > 256ull * 1024 * 1024 / 4) return fail(ERROR_NOT_ENOUGH_MEMORY, static_cast<HBITMAP>(nullptr));
  Bitmap b;
  b.w = static_cast<LONG>(w);
  b.h = static_cast<LONG>(ht);
  b.bottom_up = h.biHeight > 0;
  b.bits = std::make_unique<uint32_t[]>(static_cast<size_t>(w * ht));  // zeroed, as Windows gives it
  void* bits = b.bits.get();
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  HBITMAP hb = add<HBITMAP>(g, std::move(b));
  if (ppvBits) *ppvBits = bits;
  return hb;
}

WINSIM_API HGDIOBJ WINAPI SelectObject(HDC hdc, HGDIOBJ h) {
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  Dc* dc = find<Dc>(g, key(hdc));
  auto it = g.objects.find(key(h));
  if (!dc || it == g.objects.end()) return fail(ERROR_INVALID_HANDLE, static_cast<HGDIOBJ>(nullptr));
  ULONG_PTR old = 0;
  if (auto* b = std::get_if<Bitmap>(&it->second)) {
    if (!dc->memory || (b->selected && key(h) != kStockBitmap && dc->bitmap != key(h)))
      return fail(ERROR_INVALID_PARAMETER, static_cast<HGDIOBJ>(nullptr));  // one DC at a time
    if (Bitmap* prev = find<Bitmap>(g, dc->bitmap)) --prev->selected;
    ++b->selected;
    old = std::exchange(dc->bitmap, key(h));
  } else if (std::holds_alternative<Font>(it->second)) {
    old = std::exchange(dc->font, key(h));
  } else if (std::holds_alternative<Brush>(it->second)) {
    old = std::exchange(dc->brush, key(h));
  } else {
    return fail(ERROR_INVALID_PARAMETER, static_cast<HGDIOBJ>(nullptr));
  }
  return reinterpret_cast<HGDIOBJ>(old);
}

WINSIM_API BOOL WINAPI DeleteObject(HGDIOBJ ho) {
  ULONG_PTR k = key(ho);
  if (k == kStockBitmap || k == kStockFont || k == kStockBrush) return TRUE;
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  auto it = g.objects.find(k);
  if (it == g.objects.end() || std::holds_alternative<Dc>(it->second)) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (auto* b = std::get_if<Bitmap>(&it->second); b && b->selected) return FALSE;  // still in a DC
  g.objects.erase(it);
  return TRUE;
}

WINSIM_API HBRUSH WINAPI CreateSolidBrush(COLORREF color) {
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  return add<HBRUSH>(g, Brush{color & 0xFFFFFF});
}

WINSIM_API HFONT WINAPI CreateFontW(int cHeight, int, int, int, int cWeight, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                    DWORD, DWORD, LPCWSTR pszFaceName) {
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  return add<HFONT>(g, Font{cHeight, cWeight ? cWeight : FW_NORMAL, wstr_or_empty(pszFaceName)});
}

WINSIM_API HFONT WINAPI CreateFontIndirectW(const LOGFONTW* lplf) {
  if (!lplf) return fail(ERROR_INVALID_PARAMETER, static_cast<HFONT>(nullptr));
  WStr face(lplf->lfFaceName, std::find(lplf->lfFaceName, lplf->lfFaceName + 32, u'\0'));
  return CreateFontW(lplf->lfHeight, lplf->lfWidth, 0, 0, lplf->lfWeight, 0, 0, 0, 0, 0, 0, 0, 0, face.c_str());
}

// The default GUI font is the one stock object beyond the plain ones drawing starts with.
WINSIM_API HGDIOBJ WINAPI GetStockObject(int i) {
  return i == DEFAULT_GUI_FONT ? reinterpret_cast<HGDIOBJ>(kStockFont) : nullptr;
}

// A font's description; nothing for other objects.
WINSIM_API int WINAPI GetObjectW(HANDLE h, int c, LPVOID pv) {
  Gdi& g = gdi();
  std::lock_guard lock(g.mu);
  const Font* f = find<Font>(g, key(h));
  if (!f) return fail(ERROR_INVALID_HANDLE, 0);
  if (!pv) return static_cast<int>(sizeof(LOGFONTW));
  if (c < static_cast<int>(sizeof(LOGFONTW))) return fail(ERROR_INSUFFICIENT_BUFFER, 0);
  LOGFONTW lf{};
  lf.lfHeight = f->height;
  lf.lfWeight = f->weight;
  lf.lfCharSet = DEFAULT_CHARSET;
  std::copy_n(f->face.begin(), std::min<size_t>(f->face.size(), 31), lf.lfFaceName);
  std::memcpy(pv, &lf, sizeof lf);
  return static_cast<int>(sizeof lf);
}

WINSIM_API BOOL WINAPI BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop) {
  if (rop != SRCCOPY) return fail(ERROR_INVALID_PARAMETER, FALSE);  // the only one drawing here uses
  return blit(hdc, x, y, cx, cy, hdcSrc, x1, y1, cx, cy, false, {});
}

WINSIM_API BOOL WINAPI StretchBlt(HDC hdcDest, int xDest, int yDest, int wDest, int hDest, HDC hdcSrc, int xSrc, int ySrc,
                                  int wSrc, int hSrc, DWORD rop) {
  if (rop != SRCCOPY) return fail(ERROR_INVALID_PARAMETER, FALSE);
  return blit(hdcDest, xDest, yDest, wDest, hDest, hdcSrc, xSrc, ySrc, wSrc, hSrc, false, {});
}

WINSIM_API int WINAPI SetStretchBltMode(HDC hdc, int mode) {
  int old = 0;
  with_dc(hdc, [&](Gdi&, Dc& dc, auto&) {
    old = std::exchange(dc.stretch_mode, mode);
    return TRUE;
  });
  return old;
}

WINSIM_API BOOL WINAPI AlphaBlend(HDC hdcDest, int xoriginDest, int yoriginDest, int wDest, int hDest, HDC hdcSrc,
                                  int xoriginSrc, int yoriginSrc, int wSrc, int hSrc, BLENDFUNCTION ftn) {
  if (ftn.BlendOp != AC_SRC_OVER) return fail(ERROR_INVALID_PARAMETER, FALSE);
  return blit(hdcDest, xoriginDest, yoriginDest, wDest, hDest, hdcSrc, xoriginSrc, yoriginSrc, wSrc, hSrc, true, ftn);
}

WINSIM_API int WINAPI FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr) {
  if (!lprc) return fail(ERROR_INVALID_PARAMETER, 0);
  return with_dc(hDC, [&](Gdi& g, Dc&, const std::optional<Target>& t) {
    COLORREF color;
    ULONG_PTR k = key(hbr);
    if (k > 0 && k <= 31) {
      color = system_color(static_cast<int>(k) - 1);  // COLOR_x + 1
    } else if (Brush* b = find<Brush>(g, k)) {
      color = b->color;
    } else {
      return fail(ERROR_INVALID_HANDLE, FALSE);
    }
    if (t) fill(*t, lprc->left, lprc->top, lprc->right, lprc->bottom, from_colorref(color));
    return TRUE;
  });
}

WINSIM_API COLORREF WINAPI SetTextColor(HDC hdc, COLORREF color) {
  COLORREF old = CLR_INVALID;
  with_dc(hdc, [&](Gdi&, Dc& dc, auto&) {
    old = std::exchange(dc.text, color);
    return TRUE;
  });
  return old;
}

WINSIM_API COLORREF WINAPI SetBkColor(HDC hdc, COLORREF color) {
  COLORREF old = CLR_INVALID;
  with_dc(hdc, [&](Gdi&, Dc& dc, auto&) {
    old = std::exchange(dc.bk, color);
    return TRUE;
  });
  return old;
}

WINSIM_API int WINAPI SetBkMode(HDC hdc, int mode) {
  int old = 0;
  if (mode != TRANSPARENT && mode != OPAQUE) return fail(ERROR_INVALID_PARAMETER, 0);
  with_dc(hdc, [&](Gdi&, Dc& dc, auto&) {
    old = std::exchange(dc.bk_mode, mode);
    return TRUE;
  });
  return old;
}

WINSIM_API int WINAPI DrawTextW(HDC hdc, LPCWSTR lpchText, int cchText, LPRECT lprc, UINT format) {
  if (!lpchText || !lprc) return fail(ERROR_INVALID_PARAMETER, 0);
  WStrView raw = cchText < 0 ? WStrView(lpchText) : WStrView(lpchText, static_cast<size_t>(cchText));
  WStr text = (format & DT_NOPREFIX) ? WStr(raw) : strip_prefixes(raw);
  int result = 0;
  BOOL ok = with_dc(hdc, [&](Gdi& g, Dc& dc, const std::optional<Target>& t) {
    Font font = find<Font>(g, dc.font) ? *find<Font>(g, dc.font) : Font{-11, FW_NORMAL, u"Tahoma"};
    Faces fs = faces_for(g, font);
    int line_h = std::max(fs.ascent + fs.descent, 1);
    int width = lprc->right - lprc->left;
    auto lines = layout(fs, to_u32(text), format, width);
    int total = line_h * static_cast<int>(lines.size());
    int widest = 0;
    for (auto& l : lines) widest = std::max(widest, width_of(fs, l));
    if (format & DT_CALCRECT) {
      if (!(format & DT_WORDBREAK) || lines.size() <= 1) lprc->right = lprc->left + widest;
      lprc->bottom = lprc->top + total;
      result = total;
      return TRUE;
    }
    int y = lprc->top;
    if (format & DT_SINGLELINE) {
      if (format & DT_VCENTER) y = lprc->top + (lprc->bottom - lprc->top - line_h) / 2;
      else if (format & DT_BOTTOM) y = lprc->bottom - line_h;
    }
    result = y - lprc->top + total;
    if (!t) return TRUE;
    LONG cl = t->cl, ct = t->ct, cr = t->cr, cb = t->cb;
    if (!(format & DT_NOCLIP)) {
      cl = std::max(cl, lprc->left + t->ox);
      ct = std::max(ct, lprc->top + t->oy);
      cr = std::min(cr, lprc->right + t->ox);
      cb = std::min(cb, lprc->bottom + t->oy);
    }
    for (auto& l : lines) {
      int w = width_of(fs, l);
      int x = lprc->left;
      if (format & DT_CENTER) x = lprc->left + (width - w) / 2;
      else if (format & DT_RIGHT) x = lprc->right - w;
      if (dc.bk_mode == OPAQUE) {
        Target clipped = *t;
        clipped.cl = cl, clipped.ct = ct, clipped.cr = cr, clipped.cb = cb;
        fill(clipped, x, y, x + w, y + line_h, from_colorref(dc.bk));
      }
      draw_glyphs(*t, fs, l, x + t->ox, y + t->oy + fs.ascent, from_colorref(dc.text), cl, ct, cr, cb);
      y += line_h;
    }
    return TRUE;
  });
  return ok ? result : 0;
}

WINSIM_API COLORREF WINAPI GetPixel(HDC hdc, int x, int y) {
  COLORREF c = CLR_INVALID;
  with_dc(hdc, [&](Gdi&, Dc&, const std::optional<Target>& t) {
    if (!t || !t->inside(x + t->ox, y + t->oy)) return FALSE;
    uint32_t p = t->at(x + t->ox, y + t->oy);
    c = RGB((p >> 16) & 255, (p >> 8) & 255, p & 255);
    return TRUE;
  });
  return c;
}

}  // extern "C"
