// The install configuration: entry sections, required keys, the driver-folder rules, the
// compatible driver, per-language keys, links and index errors.
#include "support/installer_fixture.h"

using namespace testutil;

namespace {

class ConfigTest : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    put("Driver/kv.inf", "[Version]\r\n");
    put("kv.inf", "[Version]\r\n");
  }

  // Loads Kelvane.ini with the text given; returns the error text, empty when it loaded.
  std::string load(const std::string& ini) {
    put("Kelvane.ini", ini);
    try {
      InstallInfos().LoadFromFile(W_("C:\\Pkg\\Kelvane.ini"));
    } catch (const KelvaneError& e) {
      return e.what();
    }
    return "";
  }

  static std::string entry(const std::string& section, const std::string& extra = "") {
    return "[" + section + "]\r\nPrinterName=Model " + section + "\r\nPrinterID=USBPRINT\\ID" + section +
           "\r\nRoot=\r\nINF=Driver\\kv.inf\r\n" + extra;
  }

  TRInstallInfo item(int i) { return InstallInfos().Items(i); }
};

TEST_F(ConfigTest, EntrySections) {
  ASSERT_EQ(load("[Resource]\r\nItem=1\r\n" + entry("PrinterInfo") + entry("PrinterInfo1")), "");
  ASSERT_EQ(InstallInfos().GetCount(), 1);
  EXPECT_EQ(utf8(item(0).PrinterName), "Model PrinterInfo");

  ASSERT_EQ(load("[Resource]\r\nItem=2\r\n" + entry("PrinterInfo") + entry("PrinterInfo1") + entry("PrinterInfo2")),
            "");
  ASSERT_EQ(InstallInfos().GetCount(), 2);
  EXPECT_EQ(utf8(item(0).PrinterName), "Model PrinterInfo1");
  EXPECT_EQ(utf8(item(1).PrinterHWID), "USBPRINT\\IDPrinterInfo2");

  // Without [Resource] Item there is one entry.
  ASSERT_EQ(load(entry("PrinterInfo")), "");
  EXPECT_EQ(InstallInfos().GetCount(), 1);
}

TEST_F(ConfigTest, FaultyEntriesNameTheirSection) {
  struct Case {
    std::string ini;
    std::string error;
  } cases[] = {
      {"[Resource]\r\nItem=3\r\n" + entry("PrinterInfo1") + entry("PrinterInfo2"),
       "PrinterInfo3 配置文件出错，打印机名称不存在！"},
      {"[PrinterInfo]\r\nPrinterName=A\r\nRoot=\r\nINF=kv.inf\r\n", "PrinterInfo 配置文件出错，没有指定打印机硬件ID！"},
      {"[PrinterInfo]\r\nPrinterName=A\r\nPrinterID=X\r\nRoot=\r\nINF=\r\n",
       "PrinterInfo 配置文件出错，没有指定INF文件！"},
      {"[PrinterInfo]\r\nPrinterName=A\r\nPrinterID=X\r\nRoot=\r\nINF=none.inf\r\n",
       "PrinterInfo 指定的INF文件不存在！"},
      // Without Root the folder is "*" (or starts with it), which never exists.
      {"[PrinterInfo]\r\nPrinterName=A\r\nPrinterID=X\r\nINF=kv.inf\r\n",
       "PrinterInfo 配置文件出错，指定的驱动程序文件夹不存在！"},
      {"[PrinterInfo]\r\nPrinterName=A\r\nPrinterID=X\r\nINF=Driver\\kv.inf\r\n",
       "PrinterInfo 配置文件出错，指定的驱动程序文件夹不存在！"},
  };
  for (auto& tc : cases) EXPECT_EQ(load(tc.ini), tc.error) << tc.ini;
}

TEST_F(ConfigTest, DriverFolderRules) {
  put("Drv/kv.inf", "");
  put("Compat/c.inf", "");
  struct Case {
    std::string keys;
    const char* driver_dir;
    const char* inf;
  } cases[] = {
      {"Root=\r\nINF=kv.inf", "C:\\Pkg", "C:\\Pkg\\kv.inf"},
      {"Root=\r\nINF=Driver\\kv.inf", "C:\\Pkg\\Driver", "C:\\Pkg\\Driver\\kv.inf"},
      {"Root=Drv\\\r\nINF=kv.inf", "C:\\Pkg\\Drv", "C:\\Pkg\\Drv\\kv.inf"},  // one trailing "\" dropped
      {"Root=Dr\r\nINF=v\\kv.inf", "C:\\Pkg\\Drv", "C:\\Pkg\\Drv\\kv.inf"},
  };
  for (auto& tc : cases) {
    ASSERT_EQ(load("[PrinterInfo]\r\nPrinterName=A\r\nPrinterID=X\r\n" + tc.keys +
                   "\r\nCompatibleDriverDir=Compat\\\r\nCompatibleINF=c.inf\r\n"),
              "")
        << tc.keys;
    TRInstallInfo e = item(0);
    EXPECT_EQ(utf8(e.DriverDir), tc.driver_dir);
    EXPECT_EQ(utf8(e.INF2K), tc.inf);
    EXPECT_EQ(e.INFX64, e.INF2K);
    EXPECT_EQ(utf8(e.CompatibleDriverDir), "C:\\Pkg\\Compat");
    EXPECT_EQ(utf8(e.CompatibleINF2K), "C:\\Pkg\\Compat\\c.inf");
  }
  // An empty CompatibleDriverDir is the executable's folder; "*" stays as written.
  ASSERT_EQ(load(entry("PrinterInfo", "CompatibleDriverDir=\r\nCompatibleINF=x\\c.inf\r\n")), "");
  EXPECT_EQ(utf8(item(0).CompatibleINF2K), "C:\\Pkg\\x\\c.inf");
  ASSERT_EQ(load(entry("PrinterInfo", "CompatibleINF=c.inf\r\n")), "");
  EXPECT_EQ(utf8(item(0).CompatibleINF2K), "*\\c.inf");
}

TEST_F(ConfigTest, CompatibleDriverFromItsWindowsVersion) {
  const std::string ini =
      entry("PrinterInfo",
            "CompatibleName=Class Driver\r\nCompatibleID=USBPRINT\\CLASS\r\nCompatibleDriverDir=Compat\r\n"
            "CompatibleINF=c.inf\r\nCIDForVersion=62\r\n");
  WinVersion = 61;
  ASSERT_EQ(load(ini), "");
  EXPECT_EQ(utf8(item(0).PrinterName), "Model PrinterInfo");
  EXPECT_EQ(item(0).CIDForVersion, 62);
  WinVersion = 62;
  ASSERT_EQ(load(ini), "");  // the compatible INF need not exist
  TRInstallInfo e = item(0);
  EXPECT_EQ(utf8(e.PrinterName), "Class Driver");
  EXPECT_EQ(utf8(e.PrinterHWID), "USBPRINT\\CLASS");
  EXPECT_EQ(utf8(e.DriverDir), "C:\\Pkg\\Compat");
  EXPECT_EQ(utf8(e.INF2K), "C:\\Pkg\\Compat\\c.inf");

  log = CaptureLog();
  ASSERT_EQ(load("[Resource]\r\nDBGMSG=1\r\n" + entry("PrinterInfo", "CIDForVersion=50\r\n")), "");
  EXPECT_EQ(item(0).CIDForVersion, 1024);  // no compatible driver: never switched
  EXPECT_EQ(utf8(item(0).PrinterName), "Model PrinterInfo");
  ASSERT_EQ(log->records.size(), 1u);
  EXPECT_EQ(log->records[0].Text, "No Compatible Informations !!!");
  EXPECT_EQ(log->records[0].MsgType, dmtWarning);
}

TEST_F(ConfigTest, PerLanguageKeysAndLinks) {
  put("Doc/Guide.pdf", "%PDF");
  put("Doc/GuideEN.pdf", "%PDF");
  const std::string ini = entry("PrinterInfo",
                                "Manual=Doc\\Guide.pdf\r\nManualEN=Doc\\GuideEN.pdf\r\nButton3=hTTp://example.com/a\r\n"
                                "Button3EN=HTTPS://example.com/en\r\nButton4=Doc\\Missing.pdf\r\nButton5=Doc\r\n"
                                "InstallGuide=Guide.txt\r\n");
  UILanguageId = 1033;
  ASSERT_EQ(load(ini), "");
  TRInstallInfo e = item(0);
  EXPECT_EQ(utf8(e.Button2Link), "C:\\Pkg\\Doc\\GuideEN.pdf");
  EXPECT_EQ(utf8(e.Button3Link), "HTTPS://example.com/en");
  EXPECT_EQ(utf8(e.InstallGuide), "ReadmeEN.txt");  // InstallGuideEN is missing: the default
  EXPECT_EQ(utf8(e.FunctionDescribe), "平推打印机");

  UILanguageId = 1028;
  ASSERT_EQ(load(ini), "");
  e = item(0);
  EXPECT_EQ(utf8(e.Button2Link), "C:\\Pkg\\Doc\\Guide.pdf");
  EXPECT_EQ(utf8(e.Button3Link), "hTTp://example.com/a");
  EXPECT_EQ(utf8(e.Button4Link), "");              // names nothing: cleared
  EXPECT_EQ(utf8(e.Button5Link), "C:\\Pkg\\Doc");  // a folder is fine
  EXPECT_EQ(utf8(e.InstallGuide), "Guide.txt");
}

TEST_F(ConfigTest, SharedValuesDefaultsAndNumbers) {
  ASSERT_EQ(load("[Resource]\r\nName=\r\nColor=FF0000\r\nView=1\r\n" +
                 entry("PrinterInfo",
                       "ViewMode=25\r\nIndex=$1F\r\nPrintWidth=0x20\r\nIgnoreCat=abc\r\n"
                       "AlwaysSetDefault=2\r\nPrinterManager=0\r\nUninstallerOnRestart=u.exe\r\n")),
            "");
  TRInstallInfo e = item(0);
  EXPECT_EQ(utf8(e.OEMManufactor), "___");
  EXPECT_EQ(utf8(e.OEMLogo), "logo.jpg");
  EXPECT_EQ(utf8(e.OEMColor), "FF0000");
  EXPECT_EQ(e.View, 1);
  EXPECT_EQ(e.ViewMode, 2);
  EXPECT_EQ(e.Index, 3);
  EXPECT_EQ(e.PrintWidth, 32);
  EXPECT_EQ(e.IgnoreCatBelowWinVer, 52);
  EXPECT_TRUE(e.AlwaysSetDefault);
  EXPECT_FALSE(e.PrinterManager);
  EXPECT_EQ(utf8(e.UninstallerOnRestart), "C:\\Pkg\\u.exe");
  EXPECT_EQ(utf8(e.DefaultPort), "USB");
  EXPECT_EQ(utf8(e.OfflineHWIDPre), "SERENUM\\");
  EXPECT_EQ(utf8(e.PrinterType), "Flat");
}

TEST(StrToIntDef, NumbersOfTheConfigurationFiles) {
  struct Case {
    const WCHAR* text;
    int value;
  } cases[] = {
      {W_("42"), 42},          {W_("  -7"), -7},        {W_("+7"), 7},
      {W_("$1F"), 31},         {W_("0x20"), 32},        {W_("$FFFFFFFF"), -1},
      {W_("2147483647"), 2147483647},                   {W_("-2147483648"), -2147483647 - 1},
      // Hexadecimal fills 32 bits and a sign negates them: the smallest integer, not an overflow.
      {W_("-$80000000"), -2147483647 - 1},              {W_("-0x80000000"), -2147483647 - 1},
      {W_("-$FFFFFFFF"), 1},   {W_("-0x7FFFFFFF"), -2147483647},
      // Not numbers, or not 32-bit ones: the default.
      {W_("2147483648"), 99},  {W_("-2147483649"), 99}, {W_("$100000000"), 99},
      {W_(""), 99},            {W_("-"), 99},           {W_("$"), 99},
      {W_("12abc"), 99},       {W_("$G"), 99},          {W_("99999999999999999999"), 99},
  };
  for (auto& c : cases) EXPECT_EQ(StrToIntDef(c.text, 99), c.value) << ToUtf8(c.text);
}

TEST_F(ConfigTest, TheLogSwitch) {
  ASSERT_EQ(load("[Resource]\r\nDBGMSG=0\r\n" + entry("PrinterInfo")), "");
  EXPECT_FALSE(TheDebugger().Active());
  ASSERT_EQ(load("[Resource]\r\nDBGMSG=1\r\n" + entry("PrinterInfo")), "");
  EXPECT_TRUE(TheDebugger().Active());
}

TEST_F(ConfigTest, IndexErrors) {
  ASSERT_EQ(load("[Resource]\r\nItem=2\r\n" + entry("PrinterInfo1") + entry("PrinterInfo2")), "");
  for (int bad : {2, -1}) {
    TRInstallInfo e;
    try {
      InstallInfos().GetAInfoItem(bad, e);
      ADD_FAILURE() << bad;
    } catch (const KelvaneError& err) {
      EXPECT_EQ(err.what(), "获取设置组的时候超出索引，最大为2，输入为" + std::to_string(bad));
    }
  }
  EXPECT_THROW(InstallInfos().SetDefaultPort(2, W_("USB001")), KelvaneError);
  InstallInfos().SetDefaultPort(1, W_("USB001"));
  EXPECT_EQ(utf8(item(1).DefaultPort), "USB001");
}

TEST_F(ConfigTest, BadFilesNeitherCrashNorHang) {
  // An absurd entry count stops at the first missing section.
  EXPECT_EQ(load("[Resource]\r\nItem=2000000000\r\n" + entry("PrinterInfo1")),
            "PrinterInfo2 配置文件出错，打印机名称不存在！");
  // No entry at all: nothing to install.
  EXPECT_EQ(load("[Resource]\r\nItem=0\r\n" + entry("PrinterInfo")), "");
  EXPECT_EQ(InstallInfos().GetCount(), 0);
  // Overlong values are cut by the reader.
  ASSERT_EQ(
      load("[PrinterInfo]\r\nPrinterName=" + std::string(10000, 'N') + "\r\nPrinterID=X\r\nRoot=\r\nINF=kv.inf\r\n"),
      "");
  EXPECT_EQ(item(0).PrinterName.size(), 2047u);
  // A file in another encoding (UTF-16 without byte-order mark) reads as nothing useful.
  EXPECT_EQ(load(utf16_file(u"[PrinterInfo]\r\nPrinterName=A\r\n").substr(2)),
            "PrinterInfo 配置文件出错，打印机名称不存在！");
  // A missing file leaves the configuration empty.
  std::filesystem::remove(pkg("Kelvane.ini"));
  TInstallInfos fresh;
  fresh.LoadFromFile(W_("C:\\Pkg\\Kelvane.ini"));
  EXPECT_EQ(fresh.GetCount(), 0);
}

}  // namespace
