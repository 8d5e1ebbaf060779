// The interface texts: the two language files, built-in defaults, the product variant's
// overrides and the line-break rule.
#include "installer/ui/Controls.h"
#include "win32/gdi.h"
#include "support/installer_fixture.h"

using namespace testutil;

namespace {

class LangTest : public InstallerTest {
 protected:
  // Loads a language file, with a configuration whose variant is `variant` (none: no entry).
  void load(const std::string& lang_file_bytes, const char* variant = "___") {
    if (variant) {
      put("kv.inf", "");
      put("Kelvane.ini", std::string("[Resource]\r\nName=") + (std::string(variant) == "___" ? "" : variant) +
                             "\r\n[PrinterInfo]\r\nPrinterName=A\r\nPrinterID=X\r\nRoot=\r\nINF=kv.inf\r\n");
      InstallInfos().LoadFromFile(W_("C:\\Pkg\\Kelvane.ini"));
    }
    put("Lang/Strings.ini", lang_file_bytes);
    LangOptions().LoadFromFile(W_("C:\\Pkg\\Lang\\Strings.ini"));
  }
  static std::string shipped(const char* which) {
    return read_file(std::string(KELVANE_LANG) + "/Strings_" + which + ".ini");
  }
};

TEST_F(LangTest, EnglishFileWithItsDefaults) {
  load(shipped("EN"));
  EXPECT_EQ(utf8(LangStrings.NoticeTitle), "Notice");
  EXPECT_EQ(utf8(LangStrings.PrepareInstall), "Prepare Install");  // missing from the file
  EXPECT_EQ(utf8(LangStrings.OSInstallingDriver), "Windows Installing Driver, wait a minute!");
  EXPECT_EQ(utf8(LangStrings.HasConnectPrinter), "Connected");
  EXPECT_EQ(utf8(LangStrings.PrinterStatusOnline), "Ready");
  // Enclosing single quotes are not part of the text; "\r\n" becomes a line break.
  EXPECT_EQ(utf8(LangStrings.FileOrPathNotExist), "The specified file or path is not available");
  EXPECT_EQ(utf8(LangStrings.BeforeInstallPromptNoUSB).substr(0, 42), "Printer access is not detected at the USB ");
  EXPECT_NE(utf8(LangStrings.BeforeInstallPromptNoUSB).find("driver? \r\n such as"), std::string::npos);
  EXPECT_EQ(utf8(LangStrings.InstallSuccessStr),
            "Printer driver (%s) has been successfully installed to print port %s.");
  EXPECT_EQ(utf8(LangStrings.InstallFailCode), "Printer driver installation process failed (code: 0x%.8x)");
}

TEST_F(LangTest, ALoadParsesEachFileOnce) {
  std::string ini = "[Resource]\r\nItem=20\r\n";
  for (int i = 1; i <= 20; ++i)
    ini += "[PrinterInfo" + std::to_string(i) + "]\r\nPrinterName=A\r\nPrinterID=X\r\nRoot=\r\nINF=kv.inf\r\n";
  put("kv.inf", "");
  put("Kelvane.ini", ini);
  unsigned long before = winsim::profile_parses();
  InstallInfos().LoadFromFile(W_("C:\\Pkg\\Kelvane.ini"));
  ASSERT_EQ(InstallInfos().GetCount(), 20);
  EXPECT_EQ(winsim::profile_parses() - before, 1u);

  put("Lang/Strings.ini", shipped("EN"));
  before = winsim::profile_parses();
  LangOptions().LoadFromFile(W_("C:\\Pkg\\Lang\\Strings.ini"));
  EXPECT_EQ(utf8(LangStrings.NoticeTitle), "Notice");
  EXPECT_EQ(winsim::profile_parses() - before, 1u);
}

TEST_F(LangTest, ChineseFile) {
  load(shipped("CN"));
  EXPECT_EQ(utf8(LangStrings.NoticeTitle), "注意");
  EXPECT_EQ(utf8(LangStrings.ErrorTitle), "出错");
  EXPECT_EQ(utf8(LangStrings.HasConnectPrinter), "");  // present and empty, not "Connected"
  EXPECT_EQ(utf8(LangStrings.PrepareInstall), "开始安装驱动程序");
  EXPECT_EQ(utf8(LangStrings.InstallFailStr), "打印机驱动程序安装过程中出现错误：\r\n%s");
  EXPECT_EQ(utf8(LangStrings.NotPDFReaderInstall2), "没有安装PDF阅读软件，请先安装。");
}

TEST_F(LangTest, TheVariantOverridesItsTexts) {
  load(shipped("EN"), "Tillpoint");
  EXPECT_EQ(utf8(LangStrings.BeforeInstallPrompt),
            "Please ensure that the printer is connected to the terminal and is ON, then click \"YES\" to.");
  EXPECT_EQ(utf8(LangStrings.InstallSuccessStr), "Printer driver successfully installed!");  // no placeholders left
  EXPECT_EQ(utf8(Format(LangStrings.InstallSuccessStr, {W_("Kelvane KV-1000"), W_("USB001")})),
            "Printer driver successfully installed!");
  EXPECT_EQ(utf8(LangStrings.RestartPrompt), "Please restart your computer.");
  EXPECT_EQ(utf8(LangStrings.NoticeTitle), "Notice");
  EXPECT_EQ(utf8(LangOptions().GetOptionString(W_("DialogText"), W_("RestartPrompt"), W_("x"))),
            "Please restart your computer.");
}

TEST_F(LangTest, LineBreaksInAnyCaseExceptTheFirstSevenFields) {
  load(utf16_file(u"[DialogText]\r\nLoading = a\\R\\Nb\r\nSelectPrinter = a\\R\\nb\\r\\Nc\r\nInstallRetry = x\\r\r\n"));
  EXPECT_EQ(utf8(LangStrings.Loading), "a\\R\\Nb");
  EXPECT_EQ(utf8(LangStrings.SelectPrinter), "a\r\nb\r\nc");
  EXPECT_EQ(utf8(LangStrings.InstallRetry), "x\\r");
}

TEST_F(LangTest, LookupRules) {
  load(utf16_file(u"[DialogText]\r\nEmpty =\r\nPlain = plain\r\nPlain.___ = \r\nBoth = plain\r\nBoth.V = variant\r\n"),
       "V");
  auto get = [&](const WCHAR* key, const WCHAR* def) {
    return utf8(LangOptions().GetOptionString(W_("DialogText"), key, def));
  };
  EXPECT_EQ(get(W_("Both"), W_("d")), "variant");
  EXPECT_EQ(get(W_("Plain"), W_("d")), "plain");
  EXPECT_EQ(get(W_("Empty"), W_("d")), "");  // present and empty
  EXPECT_EQ(get(W_("Missing"), W_("d")), "d");
  EXPECT_EQ(get(W_(""), W_("d")), "d");
}

TEST_F(LangTest, WithoutAConfigurationEntryThePlainKeysAnswer) {
  load(shipped("EN"), nullptr);
  EXPECT_EQ(InstallInfos().GetCount(), 0);
  EXPECT_EQ(utf8(LangStrings.InstallSuccessStr),
            "Printer driver (%s) has been successfully installed to print port %s.");
}

TEST_F(LangTest, MissingFileLeavesEveryTextEmpty) {
  LangOptions().LoadFromFile(W_("C:\\Pkg\\Lang\\None.ini"));
  EXPECT_EQ(utf8(LangStrings.NoticeTitle), "");
  EXPECT_EQ(utf8(LangStrings.HasConnectPrinter), "");
  EXPECT_EQ(utf8(LangOptions().GetOptionString(W_("DialogText"), W_("NoticeTitle"), W_("d"))), "");
}

}  // namespace

namespace {

class CaptionsTest : public LangTest {
 protected:
  TForm form;
  HWND host = nullptr;

  void SetUp() override {
    LangTest::SetUp();
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = W_("CaptionsTestForm");
    RegisterClassExW(&wc);
    host = CreateWindowExW(0, W_("CaptionsTestForm"), W_("old title"), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                           nullptr, nullptr);
    form.Handle = host;
  }
  void TearDown() override {
    DestroyWindow(host);
    UnregisterClassW(W_("CaptionsTestForm"), nullptr);
    LangTest::TearDown();
  }
  static std::string text(HWND h) {
    WCHAR buf[256];
    int n = GetWindowTextW(h, buf, 256);
    return utf8(WStr(buf, static_cast<size_t>(n)));
  }
};

TEST_F(CaptionsTest, ControlsTakeTheirTextsByName) {
  load(utf16_file(u"[frmMain]\r\nProgramTitle = Setup\r\nbtnStart = Start\r\nbtnStart.V = Go!\r\nlblTitle = 'Title'\r\n"
                  u"tabAdvanced =\r\nedtPath = C:\\\r\ngrpPort = Port\r\ntmrTick = 1\r\n"),
       "V");
  TComponent& start = form.AddControl(W_("btnStart"), TControlKind::Button, W_("old"));
  TComponent& title = form.AddControl(W_("lblTitle"), TControlKind::Label, W_("old"));
  TComponent& untouched = form.AddControl(W_("lblOther"), TControlKind::Label, W_("keep"));
  form.AddControl(W_("tabAdvanced"), TControlKind::TabSheet, W_("Advanced"));
  form.AddControl(W_("edtPath"), TControlKind::Edit, W_(""));
  form.AddControl(W_("grpPort"), TControlKind::GroupBox, W_(""));
  form.AddControl(W_("tmrTick"), TControlKind::Timer);
  LangOptions().LoadControlsCaption(form, W_("frmMain"));
  EXPECT_EQ(text(host), "Setup");
  EXPECT_EQ(text(start.Handle), "Go!");  // the variant's text first
  EXPECT_EQ(text(title.Handle), "Title");
  EXPECT_EQ(text(untouched.Handle), "keep");    // no text: left alone
  EXPECT_FALSE(form.Components[3].TabVisible);  // an empty text hides the tab
  EXPECT_EQ(text(form.Components[4].Handle), "C:\\");
  EXPECT_EQ(utf8(form.Components[4].Hint), "C:\\");
  EXPECT_EQ(utf8(form.Components[5].Hint), "Port");

  // Without a title the window's caption becomes empty.
  LangOptions().LoadControlsCaption(form, W_("Other"));
  EXPECT_EQ(text(host), "");
}

TEST_F(CaptionsTest, MenuItemsWithoutATextAreDeleted) {
  load(utf16_file(u"[mnuMain]\r\nmiOpen = Open\r\nmiHelp = Help\r\nmiEmpty =\r\n"));
  TMenu menu;
  menu.Add(W_("miOpen"), W_("open"));
  menu.Add(W_("miSep"), W_("-"));
  menu.Add(W_("miGone"), W_("gone"));
  menu.Add(W_("miEmpty"), W_("empty"));
  menu.Add(W_("miHelp"), W_("help"));
  LangOptions().LoadMenuCaption(menu, W_("mnuMain"));
  ASSERT_EQ(menu.Count(), 3);
  EXPECT_EQ(GetMenuItemCount(menu.Handle()), 3);
  EXPECT_EQ(utf8(menu.Caption(0)), "Open");
  EXPECT_EQ(utf8(menu.Caption(1)), "-");  // separators stay
  EXPECT_EQ(utf8(menu.Caption(2)), "Help");
}

}  // namespace

// The main window's controls: placed, of their kind's class, and named for the scripted user.
TEST_F(CaptionsTest, ControlsArePlacedAndNamed) {
  TComponent& image = form.AddControl(W_("Image1"), TControlKind::Image, W_(""), {113, 304, 192, 72});
  TComponent& combo = form.AddControl(W_("cbbPrinterDriver"), TControlKind::ComboBox, W_(""), {125, 280, 180, 21});
  TComponent& bar = form.AddControl(W_("pb1"), TControlKind::ProgressBar, W_(""), {0, 515, 790, 17});
  RECT host_rect, r;
  GetWindowRect(host, &host_rect);
  GetWindowRect(image.Handle, &r);
  EXPECT_EQ(r.left - host_rect.left, 113);
  EXPECT_EQ(r.bottom - r.top, 72);
  EXPECT_EQ(WStr(static_cast<const WCHAR*>(GetPropW(combo.Handle, W_("winsim.name")))), W_("cbbPrinterDriver"));
  EXPECT_EQ(GetWindowLongPtrW(combo.Handle, GWLP_ID), 2);
  EXPECT_EQ(SendMessageW(combo.Handle, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W_("Kelvane KV-2000"))), 0);
  SendMessageW(bar.Handle, PBM_SETPOS, 40, 0);
  EXPECT_EQ(SendMessageW(bar.Handle, PBM_GETPOS, 0, 0), 40);
}
