// Drawing: DIB sections and memory DCs, blits and blending, windows painting into their
// top-level window's surface, text, and timers.
#include <chrono>

#include "support/machine_fixture.h"
#include "win32/gdi.h"

namespace {

// A 32-bit top-down DIB section selected into a memory DC, freed at the end.
struct MemoryBitmap {
  HDC dc = nullptr;
  HBITMAP bmp = nullptr;
  HGDIOBJ old = nullptr;
  uint32_t* bits = nullptr;
  int w, h;
  MemoryBitmap(int width, int height) : w(width), h(height) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* p = nullptr;
    bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &p, nullptr, 0);
    bits = static_cast<uint32_t*>(p);
    dc = CreateCompatibleDC(nullptr);
    old = SelectObject(dc, bmp);
  }
  ~MemoryBitmap() {
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bmp);
  }
  uint32_t& at(int x, int y) { return bits[y * w + x]; }
};

void fill(HDC dc, RECT r, COLORREF c) {
  HBRUSH b = CreateSolidBrush(c);
  FillRect(dc, &r, b);
  DeleteObject(b);
}

TEST(Gdi, BlitsStretchAndBlend) {
  MemoryBitmap src(2, 2), dst(4, 4);
  ASSERT_NE(src.bits, nullptr);
  src.at(0, 0) = 0xFFFF0000;  // red, opaque
  src.at(1, 0) = 0x80000080;  // blue at half (premultiplied: 0x80 is full blue at alpha 128)
  src.at(0, 1) = 0x00000000;  // transparent
  src.at(1, 1) = 0xFF00FF00;
  fill(dst.dc, {0, 0, 4, 4}, RGB(255, 255, 255));
  EXPECT_EQ(dst.at(3, 3) & 0xFFFFFF, 0xFFFFFFu);

  ASSERT_TRUE(BitBlt(dst.dc, 1, 1, 2, 2, src.dc, 0, 0, SRCCOPY));
  EXPECT_EQ(dst.at(1, 1), 0xFFFF0000u);
  EXPECT_EQ(dst.at(2, 2), 0xFF00FF00u);
  EXPECT_EQ(GetPixel(dst.dc, 1, 1), RGB(255, 0, 0));

  ASSERT_TRUE(StretchBlt(dst.dc, 0, 0, 4, 4, src.dc, 0, 0, 2, 2, SRCCOPY));  // each pixel becomes 2 x 2
  EXPECT_EQ(dst.at(1, 1), 0xFFFF0000u);
  EXPECT_EQ(dst.at(3, 3), 0xFF00FF00u);
  EXPECT_EQ(dst.at(0, 3), 0u);

  fill(dst.dc, {0, 0, 4, 4}, RGB(255, 255, 255));
  BLENDFUNCTION bf{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  ASSERT_TRUE(AlphaBlend(dst.dc, 0, 0, 2, 2, src.dc, 0, 0, 2, 2, bf));
  EXPECT_EQ(GetPixel(dst.dc, 0, 0), RGB(255, 0, 0));
  EXPECT_EQ(GetPixel(dst.dc, 0, 1), RGB(255, 255, 255));  // transparent: the white stays
  EXPECT_EQ(GetPixel(dst.dc, 1, 0), RGB(127, 127, 255));  // half blue over white
  bf.SourceConstantAlpha = 0;
  ASSERT_TRUE(AlphaBlend(dst.dc, 2, 2, 2, 2, src.dc, 0, 0, 2, 2, bf));
  EXPECT_EQ(GetPixel(dst.dc, 2, 2), RGB(255, 255, 255));

  // A source beyond its bitmap is refused; a bitmap in a DC cannot be deleted.
  bf.SourceConstantAlpha = 255;
  EXPECT_FALSE(AlphaBlend(dst.dc, 0, 0, 2, 2, src.dc, 1, 1, 2, 2, bf));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(DeleteObject(src.bmp));
}

TEST(Gdi, DibSectionRefusesWhatItCannotHold) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = 20000;
  bi.bmiHeader.biHeight = 20000;
  bi.bmiHeader.biBitCount = 32;
  void* bits = reinterpret_cast<void*>(1);
  EXPECT_EQ(CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
  EXPECT_EQ(bits, nullptr);
  bi.bmiHeader.biWidth = 4;
  bi.bmiHeader.biHeight = 4;
  bi.bmiHeader.biBitCount = 24;
  EXPECT_EQ(CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
}

// Dark pixels (text) inside a rectangle of a DC.
int ink(HDC dc, RECT r, int* left = nullptr, int* right = nullptr) {
  int n = 0;
  if (left) *left = r.right;
  if (right) *right = r.left;
  for (int y = r.top; y < r.bottom; ++y)
    for (int x = r.left; x < r.right; ++x) {
      COLORREF c = GetPixel(dc, x, y);
      if (c != CLR_INVALID && GetRValue(c) < 128) {
        ++n;
        if (left) *left = std::min(*left, x);
        if (right) *right = std::max(*right, x);
      }
    }
  return n;
}

TEST(Gdi, TextLatinAndChineseCentredAndClipped) {
  MemoryBitmap m(200, 60);
  fill(m.dc, {0, 0, 200, 60}, RGB(255, 255, 255));
  HFONT font = CreateFontW(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, W_("Tahoma"));
  HGDIOBJ old = SelectObject(m.dc, font);
  SetBkMode(m.dc, TRANSPARENT);
  SetTextColor(m.dc, RGB(0, 0, 0));

  RECT calc{0, 0, 0, 0};
  DrawTextW(m.dc, W_("Start"), -1, &calc, DT_CALCRECT | DT_SINGLELINE);
  RECT calc_long{0, 0, 0, 0};
  DrawTextW(m.dc, W_("Start the install"), -1, &calc_long, DT_CALCRECT | DT_SINGLELINE);
  EXPECT_GT(calc.right, 15);
  EXPECT_GT(calc_long.right, calc.right * 2);
  EXPECT_GE(calc.bottom, 11);

  RECT r{0, 0, 200, 20};
  EXPECT_GT(DrawTextW(m.dc, W_("Start"), -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE), 0);
  int left = 0, right = 0;
  EXPECT_GT(ink(m.dc, {0, 0, 200, 20}, &left, &right), 20);
  EXPECT_NEAR((left + right) / 2, 100, 3);  // centred

  // Chinese text comes from the CJK font; a text wider than its rectangle stays inside it.
  RECT cn{0, 20, 200, 40};
  DrawTextW(m.dc, W_("打印机端口："), -1, &cn, DT_LEFT | DT_SINGLELINE);
  EXPECT_GT(ink(m.dc, {0, 20, 200, 40}), 40);
  RECT narrow{0, 40, 30, 60};
  DrawTextW(m.dc, W_("A long text that overflows"), -1, &narrow, DT_LEFT | DT_SINGLELINE);
  EXPECT_GT(ink(m.dc, {0, 40, 30, 60}), 10);
  EXPECT_EQ(ink(m.dc, {30, 40, 200, 60}), 0);

  // Word breaks make lines: the height grows with the lines.
  RECT wrap{0, 0, 60, 0};
  int one = DrawTextW(m.dc, W_("Start"), -1, &wrap, DT_CALCRECT | DT_WORDBREAK);
  wrap = {0, 0, 60, 0};
  int three = DrawTextW(m.dc, W_("one two three four five six"), -1, &wrap, DT_CALCRECT | DT_WORDBREAK);
  EXPECT_GE(three, 3 * one);
  SelectObject(m.dc, old);
  DeleteObject(font);
}

// ---- windows --------------------------------------------------------------------------------

std::vector<std::pair<HWND, UINT>> g_log;
COLORREF g_parent_color = RGB(0, 0, 255);

LRESULT CALLBACK PaintProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_PAINT || msg == WM_TIMER) g_log.push_back({h, msg});
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(h, &ps);
    RECT r;
    GetClientRect(h, &r);
    fill(dc, {0, 0, r.right, r.bottom}, GetParent(h) ? RGB(255, 0, 0) : g_parent_color);
    EndPaint(h, &ps);
    return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

class GdiWindowTest : public MachineTest {
 protected:
  HWND top = nullptr, child = nullptr;
  void SetUp() override {
    MachineTest::SetUp();
    g_log.clear();
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = PaintProc;
    wc.lpszClassName = W_("GdiTestWindow");
    ASSERT_NE(RegisterClassExW(&wc), 0);
    top = CreateWindowExW(0, W_("GdiTestWindow"), W_("Top"), WS_POPUP, 100, 50, 40, 30, nullptr, nullptr, nullptr,
                          nullptr);
    child = CreateWindowExW(0, W_("GdiTestWindow"), W_(""), WS_CHILD | WS_VISIBLE, 30, 20, 20, 20, top, nullptr,
                            nullptr, nullptr);
    ASSERT_NE(child, nullptr);
  }
  void TearDown() override {
    DestroyWindow(top);
    UnregisterClassW(W_("GdiTestWindow"), nullptr);
    MachineTest::TearDown();
  }
  void pump() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
  }
};

TEST_F(GdiWindowTest, ChildrenPaintIntoTheirParentAfterIt) {
  pump();
  EXPECT_TRUE(g_log.empty());  // nothing is painted while the window is hidden
  ShowWindow(top, SW_SHOW);
  pump();
  ASSERT_EQ(g_log.size(), 2u);
  EXPECT_EQ(g_log[0].first, top);
  EXPECT_EQ(g_log[1].first, child);

  HDC dc = GetDC(top);
  EXPECT_EQ(GetPixel(dc, 5, 5), RGB(0, 0, 255));
  EXPECT_EQ(GetPixel(dc, 35, 25), RGB(255, 0, 0));  // the child, at (30, 20) in its parent
  EXPECT_EQ(GetPixel(dc, 29, 25), RGB(0, 0, 255));
  EXPECT_EQ(GetPixel(dc, 40, 25), CLR_INVALID);  // beyond the top-level window
  ReleaseDC(top, dc);
  RECT wr;
  ASSERT_TRUE(GetWindowRect(child, &wr));
  EXPECT_EQ(wr.left, 130);
  EXPECT_EQ(wr.bottom, 90);

  // A child moved and hidden: the parent paints again, the hidden child not.
  g_log.clear();
  g_parent_color = RGB(0, 255, 0);
  MoveWindow(child, 0, 0, 10, 10, TRUE);
  ShowWindow(child, SW_HIDE);
  pump();
  ASSERT_EQ(g_log.size(), 1u);
  EXPECT_EQ(g_log[0].first, top);
  dc = GetDC(top);
  EXPECT_EQ(GetPixel(dc, 35, 25), RGB(0, 255, 0));
  ReleaseDC(top, dc);
  g_parent_color = RGB(0, 0, 255);
}

// (The window stays hidden: with a window on screen and no script, the scripted user closes it.)
TEST_F(GdiWindowTest, TimersComeThroughTheQueueUntilKilled) {
  ASSERT_EQ(SetTimer(top, 7, 20, nullptr), 7u);
  auto start = std::chrono::steady_clock::now();
  int ticks = 0;
  MSG m;
  while (ticks < 3 && GetMessageW(&m, nullptr, 0, 0)) {
    if (m.message == WM_TIMER && m.hwnd == top && m.wParam == 7) ++ticks;
    DispatchMessageW(&m);
  }
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(55));  // three periods of 20 ms at least
  EXPECT_TRUE(KillTimer(top, 7));
  EXPECT_FALSE(KillTimer(top, 7));
  // A timer without a window calls its procedure when dispatched.
  static int called = 0;
  called = 0;
  UINT_PTR id = SetTimer(nullptr, 0, 10, [](HWND, UINT, UINT_PTR, DWORD) { ++called; });
  ASSERT_NE(id, 0u);
  while (called == 0 && GetMessageW(&m, nullptr, 0, 0)) DispatchMessageW(&m);
  EXPECT_EQ(called, 1);
  KillTimer(nullptr, id);
}

TEST_F(GdiWindowTest, StateOfWindows) {
  EXPECT_TRUE(IsWindowEnabled(child));
  EXPECT_FALSE(EnableWindow(child, FALSE));
  EXPECT_FALSE(IsWindowEnabled(child));
  EXPECT_TRUE(EnableWindow(child, TRUE));
  ShowWindow(top, SW_SHOW);
  ShowWindow(top, SW_MINIMIZE);
  EXPECT_TRUE(IsIconic(top));
  EXPECT_TRUE(IsWindowVisible(top));
  ShowWindow(top, SW_RESTORE);
  EXPECT_FALSE(IsIconic(top));
  EXPECT_TRUE(SetPropW(child, W_("winsim.name"), reinterpret_cast<HANDLE>(5)));
  EXPECT_EQ(GetPropW(child, W_("WINSIM.NAME")), reinterpret_cast<HANDLE>(5));
  EXPECT_EQ(RemovePropW(child, W_("winsim.name")), reinterpret_cast<HANDLE>(5));
  EXPECT_EQ(GetPropW(child, W_("winsim.name")), nullptr);
}

}  // namespace
