// Dialogs made from the templates of an image's resources: their controls where the template
// puts them, what the controls tell the dialog procedure when the program or the scripted user
// works them, the colour a procedure gives a label, and templates that cannot be made.
#include <map>

#include "../tools/data/sample.h"
#include "support/machine_fixture.h"
#include "support/picture_compare.h"
#include "win32/gdi.h"

namespace {

struct Seen {
  UINT msg;
  WPARAM wp;
  LPARAM lp;
  bool operator==(const Seen&) const = default;
};
std::vector<Seen> g_seen;
bool g_red_marker = false;

INT_PTR CALLBACK FormProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_INITDIALOG || msg == WM_COMMAND || msg == WM_VSCROLL) g_seen.push_back({msg, wp, lp});
  if (msg == WM_CTLCOLORSTATIC && g_red_marker && GetDlgCtrlID(reinterpret_cast<HWND>(lp)) == IDF_MARK)
    SetTextColor(reinterpret_cast<HDC>(wp), RGB(255, 0, 0));
  if (msg == WM_COMMAND && LOWORD(wp) == IDCANCEL) DestroyWindow(h);
  if (msg == WM_DESTROY) PostQuitMessage(0);
  return FALSE;
}

class DialogTest : public MachineTest {
 protected:
  HWND dlg = nullptr;

  void SetUp() override {
    MachineTest::SetUp();
    g_seen.clear();
    g_red_marker = false;
    dlg = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_FORM), nullptr, FormProc, 77);
    ASSERT_NE(dlg, nullptr);
    SendDlgItemMessageW(dlg, IDF_LIST, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W_("A")));
    SendDlgItemMessageW(dlg, IDF_LIST, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W_("B")));
  }
  void TearDown() override {
    if (IsWindow(dlg)) DestroyWindow(dlg);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
    ::unsetenv("WINSIM_USER_SCRIPT");
    MachineTest::TearDown();
  }
  void run_script(const std::string& lines) {
    testutil::write_file(dir + "/../script.txt", lines);
    ::setenv("WINSIM_USER_SCRIPT", (dir + "/../script.txt").c_str(), 1);
    ShowWindow(dlg, SW_SHOW);
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0)) DispatchMessageW(&m);
  }
  RECT rect_of(int id) {
    RECT r{};
    GetWindowRect(GetDlgItem(dlg, id), &r);
    RECT d{};
    GetWindowRect(dlg, &d);
    return {r.left - d.left, r.top - d.top, r.right - d.left, r.bottom - d.top};
  }
};

TEST_F(DialogTest, ControlsStandWhereTheTemplatePutsThem) {
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].msg, WM_INITDIALOG);
  EXPECT_EQ(g_seen[0].lp, 77);
  EXPECT_EQ(reinterpret_cast<HWND>(g_seen[0].wp), GetDlgItem(dlg, IDF_EDIT));  // the first tab stop
  WCHAR text[32];
  EXPECT_EQ(GetWindowTextW(dlg, text, 32), 4);
  EXPECT_EQ(WStr(text), W_("Form"));
  // Dialog units of "MS Shell Dlg" 8: 6 / 4 pixels across, 13 / 8 down.
  RECT client{};
  GetClientRect(dlg, &client);
  EXPECT_EQ(client.right, 300);
  EXPECT_EQ(client.bottom, 163);
  RECT edit = rect_of(IDF_EDIT);
  EXPECT_EQ(edit.left, 90);
  EXPECT_EQ(edit.top, 13);
  EXPECT_EQ(edit.right - edit.left, 60);
  EXPECT_EQ(rect_of(IDF_LIST).bottom - rect_of(IDF_LIST).top, 21);  // a closed drop-down list
  RECT mapped{10, 30, 40, 10};
  ASSERT_TRUE(MapDialogRect(dlg, &mapped));
  EXPECT_EQ(mapped.left, 15);
  EXPECT_EQ(mapped.top, 49);
  EXPECT_NE(SendDlgItemMessageW(dlg, IDF_EDIT, WM_GETFONT, 0, 0), 0);
  EXPECT_FALSE(IsWindowVisible(GetDlgItem(dlg, IDF_HIDDEN)));
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dlg, IDF_OFF)));
  EXPECT_EQ(GetDlgItem(dlg, 4242), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
  EXPECT_EQ(GetDlgItemTextW(dlg, 4242, text, 32), 0u);
  EXPECT_EQ(text[0], 0);
}

TEST_F(DialogTest, ControlsTellTheProcedureWhatChanged) {
  g_seen.clear();
  HWND edit = GetDlgItem(dlg, IDF_EDIT);
  ASSERT_TRUE(SetDlgItemTextW(dlg, IDF_EDIT, W_("1.5")));  // the program's own change is told too
  SendDlgItemMessageW(dlg, IDF_LIST, CB_SETCURSEL, 1, 0);  // a program's choice is not
  CheckRadioButton(dlg, IDF_ONE, IDF_TWO, IDF_ONE);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0], (Seen{WM_COMMAND, MAKEWPARAM(IDF_EDIT, EN_CHANGE), reinterpret_cast<LPARAM>(edit)}));
  EXPECT_EQ(IsDlgButtonChecked(dlg, IDF_ONE), static_cast<UINT>(BST_CHECKED));

  g_seen.clear();
  std::map<int, LPARAM> handles;  // the dialog goes when the user is done
  for (int id : {IDF_EDIT, IDF_BAR, IDF_TWO, IDF_CHECK, IDF_GO, IDF_LIST})
    handles[id] = reinterpret_cast<LPARAM>(GetDlgItem(dlg, id));
  run_script("type 2002 \"12\"\nscroll 2003 up\nscroll 2003 down\nclick Two\nclick Check\nclick Go\nclick Off\n"
             "choose 2004 \"A\"\n");
  LPARAM bar = handles[IDF_BAR];
  auto lp = [&](int id) { return handles[id]; };
  // Typing replaces the selected text key by key; each arrow is a line step and its end; the
  // radio button takes the check from its group; the greyed button tells nothing.
  std::vector<Seen> want = {{WM_COMMAND, MAKEWPARAM(IDF_EDIT, EN_CHANGE), lp(IDF_EDIT)},
                            {WM_COMMAND, MAKEWPARAM(IDF_EDIT, EN_CHANGE), lp(IDF_EDIT)},
                            {WM_VSCROLL, MAKEWPARAM(SB_LINEUP, 0), bar},
                            {WM_VSCROLL, MAKEWPARAM(SB_ENDSCROLL, 0), bar},
                            {WM_VSCROLL, MAKEWPARAM(SB_LINEDOWN, 0), bar},
                            {WM_VSCROLL, MAKEWPARAM(SB_ENDSCROLL, 0), bar},
                            {WM_COMMAND, MAKEWPARAM(IDF_TWO, BN_CLICKED), lp(IDF_TWO)},
                            {WM_COMMAND, MAKEWPARAM(IDF_CHECK, BN_CLICKED), lp(IDF_CHECK)},
                            {WM_COMMAND, MAKEWPARAM(IDF_GO, BN_CLICKED), lp(IDF_GO)},
                            {WM_COMMAND, MAKEWPARAM(IDF_LIST, CBN_SELCHANGE), lp(IDF_LIST)}};
  ASSERT_GE(g_seen.size(), want.size());
  EXPECT_EQ(std::vector<Seen>(g_seen.begin(), g_seen.begin() + static_cast<long>(want.size())), want);
  // Then the user closed the dialog: its Cancel.
  EXPECT_EQ(g_seen.back().wp, MAKEWPARAM(IDCANCEL, BN_CLICKED));
  bool refused = false;
  for (auto& l : winsim::read_events(dir)) refused |= l.find("\"control\":\"Off\",\"enabled\":false") != std::string::npos;
  EXPECT_TRUE(refused);
}

TEST_F(DialogTest, AutomaticButtonsKeepTheirChecks) {
  HWND one = GetDlgItem(dlg, IDF_ONE), two = GetDlgItem(dlg, IDF_TWO), check = GetDlgItem(dlg, IDF_CHECK);
  for (auto [button, checks] : std::vector<std::pair<HWND, std::vector<UINT>>>{
           {two, {0, 1, 0}}, {one, {1, 0, 0}}, {check, {1, 0, 1}}, {check, {1, 0, 0}}}) {
    PostMessageW(button, WM_LBUTTONUP, 0, 0);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
    EXPECT_EQ((std::vector<UINT>{IsDlgButtonChecked(dlg, IDF_ONE), IsDlgButtonChecked(dlg, IDF_TWO),
                                 IsDlgButtonChecked(dlg, IDF_CHECK)}),
              checks);
  }
}

TEST_F(DialogTest, TheProcedureColoursALabel) {
  run_script("shot plain.png\n");
  EXPECT_EQ(testutil::red_pixels(dir + "/../plain.png"), 0u);
  TearDown();
  SetUp();
  g_red_marker = true;
  run_script("shot red.png\n");
  EXPECT_GT(testutil::red_pixels(dir + "/../red.png"), 20u);
}

class DialogTemplateTest : public MachineTest {};

TEST_F(DialogTemplateTest, TemplatesThatCannotBeMadeLeaveNothing) {
  // The page template names a control class this machine does not have: no dialog at all.
  EXPECT_EQ(CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PAGE), nullptr, FormProc, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
  EXPECT_EQ(FindWindowW(nullptr, W_("Printer settings")), nullptr);
  EXPECT_EQ(CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(999), nullptr, FormProc, 0), nullptr);
  // A template of the old, plain form is not one this machine makes.
  DLGTEMPLATE plain{WS_POPUP, 0, 0, 0, 0, 100, 100};
  EXPECT_EQ(CreateDialogIndirectParamW(nullptr, &plain, nullptr, FormProc, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
}

}  // namespace
