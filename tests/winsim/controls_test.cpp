// The system's controls as the installer's window uses them, the scripted user's clicks, hovers
// and choices by control name, and a screenshot compared with a stored reference picture.
#include <fstream>
#include <iterator>

#include "common/picture.h"
#include "support/machine_fixture.h"
#include "support/picture_compare.h"
#include "win32/gdi.h"

namespace {

std::vector<std::pair<HWND, UINT>> g_msgs;  // what the controls and the window were told
std::vector<WPARAM> g_commands;

LRESULT CALLBACK FormProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(h, &ps);
      RECT all{0, 0, 160, 120}, key{0, 0, 160, 10};
      HBRUSH grey = CreateSolidBrush(RGB(220, 225, 230)), magenta = CreateSolidBrush(RGB(178, 28, 118));
      FillRect(dc, &all, grey);
      FillRect(dc, &key, magenta);  // the colour key: see-through in the screenshot
      DeleteObject(grey);
      DeleteObject(magenta);
      EndPaint(h, &ps);
      return 0;
    }
    case WM_COMMAND:
      g_commands.push_back(wp);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(h, msg, wp, lp);
  }
}

WNDPROC g_static_proc = nullptr;
LRESULT CALLBACK Watch(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_MOUSEMOVE || msg == WM_MOUSELEAVE || msg == WM_LBUTTONDOWN || msg == WM_LBUTTONUP)
    g_msgs.push_back({h, msg});
  return CallWindowProcW(g_static_proc, h, msg, wp, lp);
}

class ControlsTest : public MachineTest {
 protected:
  HWND form = nullptr, label = nullptr, image = nullptr, list = nullptr, combo = nullptr, bar = nullptr;
  HBITMAP picture_bitmap = nullptr;
  HFONT font = nullptr;
  std::vector<WStr> names = {W_("lblTitle"), W_("Image1"), W_("lst1"), W_("cbbPrinterDriver"), W_("pb1")};

  void SetUp() override {
    MachineTest::SetUp();
    g_msgs.clear();
    g_commands.clear();
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = FormProc;
    wc.lpszClassName = W_("ControlsTestForm");
    ASSERT_NE(RegisterClassExW(&wc), 0);
    form = CreateWindowExW(WS_EX_LAYERED, W_("ControlsTestForm"), W_("Driver Setup"), WS_POPUP, 0, 0, 160, 120,
                           nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(SetLayeredWindowAttributes(form, RGB(178, 28, 118), 0, LWA_COLORKEY));
    font = CreateFontW(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, W_("Tahoma"));
    auto child = [&](const WCHAR* cls, const WCHAR* text, DWORD style, int x, int y, int w, int h, int id) {
      HWND c = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, form,
                               reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)), nullptr, nullptr);
      SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
      SetPropW(c, W_("winsim.name"), const_cast<WCHAR*>(names[static_cast<size_t>(id - 1)].c_str()));
      return c;
    };
    label = child(W_("STATIC"), W_("Setup 打印机"), SS_CENTER, 0, 12, 160, 16, 1);
    image = child(W_("STATIC"), W_(""), SS_BITMAP | SS_NOTIFY, 4, 30, 40, 30, 2);
    list = child(W_("LISTBOX"), W_(""), 0, 50, 30, 106, 32, 3);
    combo = child(W_("COMBOBOX"), W_(""), CBS_DROPDOWNLIST, 4, 66, 152, 21, 4);
    bar = child(W_("msctls_progress32"), W_(""), 0, 0, 108, 160, 12, 5);
    // A 4 x 3 picture: opaque blue on the left, half-transparent red on the right (premultiplied).
    BITMAPINFO bi{};
    bi.bmiHeader = {sizeof(BITMAPINFOHEADER), 4, -3, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    picture_bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    auto* px = static_cast<uint32_t*>(bits);
    for (int i = 0; i < 12; ++i) px[i] = i % 4 < 2 ? 0xFF0000FFu : 0x80800000u;
    SendMessageW(image, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture_bitmap));
    g_static_proc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(image, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Watch)));
    SetWindowLongPtrW(list, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Watch));
  }
  void TearDown() override {
    if (IsWindow(form)) DestroyWindow(form);
    MSG m;  // the quit its destruction posted is not left for the next test
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
    DeleteObject(picture_bitmap);
    DeleteObject(font);
    UnregisterClassW(W_("ControlsTestForm"), nullptr);
    ::unsetenv("WINSIM_USER_SCRIPT");
    MachineTest::TearDown();
  }
  void run_script(const std::string& lines) {
    testutil::write_file(dir + "/../script.txt", lines);
    ::setenv("WINSIM_USER_SCRIPT", (dir + "/../script.txt").c_str(), 1);
    ShowWindow(form, SW_SHOW);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0)) DispatchMessageW(&m);
  }
};

TEST_F(ControlsTest, ListComboAndProgressKeepTheirItems) {
  for (const WCHAR* s : {W_("USB001"), W_("LPT1:")}) SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
  EXPECT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 2);
  WCHAR buf[32];
  EXPECT_EQ(SendMessageW(list, LB_GETTEXT, 1, reinterpret_cast<LPARAM>(buf)), 5);
  EXPECT_EQ(WStr(buf), W_("LPT1:"));
  EXPECT_EQ(SendMessageW(list, LB_GETTEXT, 2, reinterpret_cast<LPARAM>(buf)), LB_ERR);
  EXPECT_EQ(SendMessageW(list, LB_SETITEMHEIGHT, 0, 13), 0);
  EXPECT_EQ(SendMessageW(list, LB_GETITEMHEIGHT, 0, 0), 13);
  SendMessageW(list, LB_RESETCONTENT, 0, 0);
  EXPECT_EQ(SendMessageW(list, LB_GETCOUNT, 0, 0), 0);

  EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), CB_ERR);
  SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W_("Kelvane KV-1000")));
  SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W_("Kelvane KV-2000")));
  EXPECT_EQ(SendMessageW(combo, CB_SETCURSEL, 1, 0), 1);
  EXPECT_EQ(SendMessageW(combo, CB_SETCURSEL, 5, 0), CB_ERR);
  EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), -1);
  EXPECT_EQ(SendMessageW(combo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(buf)), 15);
  EXPECT_EQ(WStr(buf), W_("Kelvane KV-1000"));
  EXPECT_TRUE(g_commands.empty());  // the program's own choice tells nobody

  SendMessageW(bar, PBM_SETRANGE32, 0, 100);
  SendMessageW(bar, PBM_SETPOS, 150, 0);
  EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 100);  // kept within the range
}

TEST_F(ControlsTest, TheUserClicksHoversAndChoosesByName) {
  SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W_("Kelvane KV-1000")));
  SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W_("Kelvane KV-2000")));
  run_script("hover lst1\nclick Image1\nchoose cbbPrinterDriver \"Kelvane KV-2000\"\nchoose cbbPrinterDriver \"KV-9\"\n"
             "click Nothing\n");
  EXPECT_EQ(g_msgs, (std::vector<std::pair<HWND, UINT>>{{list, WM_MOUSEMOVE},
                                                          {list, WM_MOUSELEAVE},
                                                          {image, WM_MOUSEMOVE},
                                                          {image, WM_LBUTTONDOWN},
                                                          {image, WM_LBUTTONUP}}));
  EXPECT_EQ(g_commands, (std::vector<WPARAM>{MAKEWPARAM(2, STN_CLICKED), MAKEWPARAM(4, CBN_SELCHANGE)}));
  int found_false = 0;
  for (auto& l : winsim::read_events(dir))
    if (l.find("\"found\":false") != std::string::npos) ++found_false;
  EXPECT_EQ(found_false, 2);  // the unknown item and the unknown control
}

// The window as drawn matches the stored picture: each channel within 8, at most 1% of the
// pixels different. WINSIM_UPDATE_REFERENCE=1 stores the new picture instead.
TEST_F(ControlsTest, ScreenshotMatchesTheReference) {
  for (const WCHAR* s : {W_("USB001"), W_("LPT1:")}) SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
  SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W_("Kelvane KV-2000")));
  SendMessageW(combo, CB_SETCURSEL, 0, 0);
  SendMessageW(bar, PBM_SETPOS, 50, 0);
  run_script("shot shots/window.png\n");
  std::string shot = dir + "/../shots/window.png";
  testutil::expect_matches_reference(shot, std::string(DATA_DIR) + "/controls_reference.png", "WINSIM_UPDATE_REFERENCE");
  EXPECT_EQ(testutil::load_png(shot).At(80, 5), 0u);  // the colour key is see-through
}

}  // namespace

namespace {

// A picture asked for while a message box is open shows the box over its owner.
TEST_F(ControlsTest, ScreenshotWithAMessageBox) {
  testutil::write_file(dir + "/../script.txt", "shot box.png\nbox YES\n");
  ::setenv("WINSIM_USER_SCRIPT", (dir + "/../script.txt").c_str(), 1);
  ShowWindow(form, SW_SHOW);
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);  // painted first
  EXPECT_EQ(MessageBoxW(form, W_("Install now?"), W_("Notice"), MB_YESNO | MB_ICONQUESTION), IDYES);
  picture::Picture shot = testutil::load_png(dir + "/../box.png");
  ASSERT_EQ(shot.Width, 160u);
  // The box is wider than this small window: its white face where the list was, its button strip.
  EXPECT_EQ(shot.At(80, 60) & 0xFFFFFF, 0xFFFFFFu);
  EXPECT_EQ(shot.At(2, 70) & 0xFFFFFF, 0xF0F0F0u);
}

}  // namespace
