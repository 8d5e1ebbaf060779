// The interface texts: the two language files, built-in defaults, the product variant's
// overrides and the line-break rule.
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
  static std::string shipped(const char* which) { return read_file(std::string(KELVANE_LANG) + "/Strings_" + which + ".ini"); }
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
  EXPECT_EQ(utf8(LangStrings.InstallSuccessStr), "Printer driver (%s) has been successfully installed to print port %s.");
  EXPECT_EQ(utf8(LangStrings.InstallFailCode), "Printer driver installation process failed (code: 0x%.8x)");
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
  EXPECT_EQ(utf8(LangOptions().GetOptionString(W_("DialogText"), W_("RestartPrompt"), W_("x"))), "Please restart your computer.");
}

TEST_F(LangTest, LineBreaksInAnyCaseExceptTheFirstSevenFields) {
  load(utf16_file(u"[DialogText]\r\nLoading = a\\R\\Nb\r\nSelectPrinter = a\\R\\nb\\r\\Nc\r\nInstallRetry = x\\r\r\n"));
  EXPECT_EQ(utf8(LangStrings.Loading), "a\\R\\Nb");
  EXPECT_EQ(utf8(LangStrings.SelectPrinter), "a\r\nb\r\nc");
  EXPECT_EQ(utf8(LangStrings.InstallRetry), "x\\r");
}

TEST_F(LangTest, LookupRules) {
  load(utf16_file(u"[DialogText]\r\nEmpty =\r\nPlain = plain\r\nPlain.___ = \r\nBoth = plain\r\nBoth.V = variant\r\n"), "V");
  auto get = [&](const WCHAR* key, const WCHAR* def) { return utf8(LangOptions().GetOptionString(W_("DialogText"), key, def)); };
  EXPECT_EQ(get(W_("Both"), W_("d")), "variant");
  EXPECT_EQ(get(W_("Plain"), W_("d")), "plain");
  EXPECT_EQ(get(W_("Empty"), W_("d")), "");  // present and empty
  EXPECT_EQ(get(W_("Missing"), W_("d")), "d");
  EXPECT_EQ(get(W_(""), W_("d")), "d");
}

TEST_F(LangTest, WithoutAConfigurationEntryThePlainKeysAnswer) {
  load(shipped("EN"), nullptr);
  EXPECT_EQ(InstallInfos().GetCount(), 0);
  EXPECT_EQ(utf8(LangStrings.InstallSuccessStr), "Printer driver (%s) has been successfully installed to print port %s.");
}

TEST_F(LangTest, MissingFileLeavesEveryTextEmpty) {
  LangOptions().LoadFromFile(W_("C:\\Pkg\\Lang\\None.ini"));
  EXPECT_EQ(utf8(LangStrings.NoticeTitle), "");
  EXPECT_EQ(utf8(LangStrings.HasConnectPrinter), "");
  EXPECT_EQ(utf8(LangOptions().GetOptionString(W_("DialogText"), W_("NoticeTitle"), W_("d"))), "");
}

}  // namespace
