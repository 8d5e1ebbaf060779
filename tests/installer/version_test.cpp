// GPD and INF version comparison: the DriverVer rules (padding, numeric parts, dates one and two
// days apart, the format error), the GPD version line and the installed GPD version of a driver.
#include "installer/printsys/VersionCompare.h"
#include "support/installer_fixture.h"

using namespace testutil;

namespace {

// The Chinese log lines arrive intact in code page 936.
class VersionTest : public ChineseInstallerTest {
 protected:
  std::vector<std::string> texts() { return LogTexts(log); }
  bool logged(const WStr& text) {
    auto t = texts();
    return std::find(t.begin(), t.end(), ToAnsi(text)) != t.end();
  }
  // A driver whose data file holds `gpd`, and printers on it.
  void driver(const std::string& gpd, const std::vector<std::string>& printers = {"KV A", "KV B"}) {
    winsim::DriverSetup d;
    d.name = "Kelvane KV-1000";
    d.data_file = "KV1000.GPD";
    winsim::add_driver(dir, d);
    write_file(c("Windows/System32/spool/drivers/x64/3/KV1000.GPD"), gpd);
    for (auto& p : printers) add_printer(dir, p, d.name, "LPT1:");
  }
};

const WStr kDriver = W_("Kelvane KV-1000");

TEST_F(VersionTest, DriverVerComparesNumbersThenDates) {
  struct Case {
    const char16_t *first, *second;
    int result;
  } cases[] = {
      {u"09/21/2017,1.0.2.0", u"09/20/2017,1.0.2.0", 0},    // one day apart
      {u"09/20/2017,1.0.2.0", u"09/21/2017,1.0.2.0", 0},
      {u"09/22/2017,1.0.2.0", u"09/20/2017,1.0.2.0", 1},    // two days apart
      {u"09/20/2017,1.0.2.0", u"09/22/2017,1.0.2.0", -1},
      {u"09/21/2017,1.0.2.0", u"09/18/2017,1.0.2.0", 1},
      {u"12/31/2016,1.0", u"01/01/2017,1.0", 0},            // across a year
      {u"02/28/2016,1.0", u"03/01/2016,1.0", -1},           // 2016 has a 29 February
      {u"09/21/2017,1.0.2", u"09/21/2017,1.0.2.0", 0},      // padded to four parts
      {u"01/01/2000,1.0.2.0.1", u"09/21/2017,1.0.2.0", 1},  // more parts: no date is looked at
      {u"bad,1.0.2.0", u"09/21/2017,1.0.2.0.0", -1},
      {u"09/21/2017,1.0.10.0", u"09/21/2017,1.0.9.0", 1},   // numbers, not text
      {u"09/21/2017,1.0.9.0", u"09/21/2017,1.0.10.0", -1},
      {u"09/21/2017, 1.x.3 ", u"09/21/2017,1.0.3", 0},       // a non-number part counts as 0
      {u"09/21/2017,1 2.0", u"09/21/2017,1.2", 0},           // a blank inside separates too
      {u"09/21/2017,2.0.0.0.0.0.0.0.0.0.0.0.0.9", u"09/21/2017,2.0.0.0.0.0.0.0.0.0.0.0.0", 0},  // 25 characters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.first) + " vs " + utf8(c.second));
    EXPECT_EQ(CompareDriverVer(c.first, c.second), c.result);
  }
}

TEST_F(VersionTest, DriverVerPartsAndSplit) {
  EXPECT_EQ(DriverVerParts(W_("1..2")), (TStringList{W_("1"), W_(""), W_("2"), W_("0")}));
  EXPECT_EQ(DriverVerParts(W_("")), (TStringList{W_(""), W_("0"), W_("0"), W_("0")}));
  TDriverVer v = SplitDriverVer(W_("09/21/2017,\t1.0.2.0\r"));
  EXPECT_EQ(v.Date, W_("09/21/2017"));
  EXPECT_EQ(v.Version, W_("1.0.2.0"));
  v = SplitDriverVer(W_(" 1.0.3 "));
  EXPECT_EQ(v.Date, W_(""));
  EXPECT_EQ(v.Version, W_("1.0.3"));
}

TEST_F(VersionTest, DatesThatCannotBeReadRaiseTheFormatError) {
  struct Case {
    const char16_t *first, *second;
  } cases[] = {
      {u"2017/09/21,1.0", u"09/21/2017,1.0"},  // year first: 2017 is no month
      {u"09/21/2017,1.0", u"02/30/2017,1.0"},  // no such day
      {u"09/21,1.0", u"09/21/2017,1.0"},       // a part missing
      {u"1.0", u"1.0"},                        // no date at all
      {u"09/21/+2017,1.0", u"09/21/2017,1.0"}, // not a plain number
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.first) + " vs " + utf8(c.second));
    TDriverVer a = SplitDriverVer(c.first), b = SplitDriverVer(c.second);
    try {
      CompareDriverVer(c.first, c.second);
      ADD_FAILURE() << "no error";
    } catch (const KelvaneError& e) {
      EXPECT_EQ(e.message(), W_("Inf DriverVer Format Error: INF1<") + a.Date + W_("> INF2<") + b.Date + W_(">"));
    }
    EXPECT_TRUE(logged(W_("出現嚴重錯誤，（月/日/年）日期比較出現異常：") + a.Date + W_(", ") + b.Date));
  }
}

TEST_F(VersionTest, InfCompareVersionReadsBothFilesAndLogsItsSteps) {
  put("a.inf", "[Version]\r\nDriverVer=09/21/2017,1.0.2.0\r\n");
  // The same value in a UTF-16 file, a day later.
  write_file(pkg("b.inf"), utf16_file(u"[Version]\r\nDriverVer = \"09/22/2017,1.0.2.0\"\r\n"));
  put("none.inf", "[Version]\r\nClass=Printer\r\n");
  EXPECT_EQ(InfCompareVersion(W_("C:\\Pkg\\a.inf"), W_("C:\\Pkg\\missing.inf")), kInfMissing);
  EXPECT_EQ(InfCompareVersion(W_("C:\\Pkg\\missing.inf"), W_("C:\\Pkg\\a.inf")), kInfMissing);
  EXPECT_EQ(InfCompareVersion(W_("C:\\Pkg"), W_("C:\\Pkg\\a.inf")), kInfMissing);  // a folder is no file
  log->records.clear();
  EXPECT_EQ(InfCompareVersion(W_("C:\\Pkg\\b.inf"), W_("C:\\Pkg\\a.inf")), 0);
  ASSERT_EQ(texts(), (std::vector<std::string>{ToAnsi(W_("準備比較版本號，長度（1 - 4）！")),
                                               ToAnsi(W_("版本號相同，比較日期！")), ToAnsi(W_("日期相差：1.00"))}));
  for (auto& r : log->records) EXPECT_EQ(r.Tag, "InfCompareVersion");
  // Without DriverVer the versions are 0.0.0.0 and the empty dates fail.
  EXPECT_THROW(InfCompareVersion(W_("C:\\Pkg\\none.inf"), W_("C:\\Pkg\\none.inf")), KelvaneError);
}

TEST_F(VersionTest, GPDVersionLines) {
  struct Case {
    const char16_t* line;
    bool matches;
    const char16_t* version;
  } cases[] = {
      {u"*GPDFileVersion: \"1.0.1\"", true, u"1.0.1"},
      {u"*GPDFileVersion: \"123456789\"", true, u"123456789"},
      {u"*GPDFileVersion: \"1234567890\"", true, u""},  // no closing quote within 10 characters
      {u"*GPDFileVersion: \"1.0", true, u""},           // the line ends first
      {u"*GPDFileVersion: \"", true, u""},
      {u"*GPDFileVersion: 1.0.1", false, u""},          // no quotes: not the line looked for
      {u" *GPDFileVersion: \"1.0.1\"", false, u""},     // not at the start
      {u"*gpdfileversion: \"1.0.1\"", false, u""},      // case-sensitive
      {u"*GPDFileVersion:  \"1.0.1\"", false, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(utf8(c.line));
    WStr v = W_("old");
    EXPECT_EQ(GPDVersionOfLine(c.line, v), c.matches);
    if (c.matches) {
      EXPECT_EQ(v, c.version);
    }
  }
}

TEST_F(VersionTest, InstalledGPDVersionComesFromTheDriversDataFile) {
  driver("*%\r\n*GPDFileVersion: \"0.9\"\r\n*ModelName: \"KV\"\r\n*GPDFileVersion: \"1.0.1\"\r\n");
  winsim::DriverSetup other;
  other.name = "Other";
  winsim::add_driver(dir, other);
  add_printer(dir, "Elsewhere", "Other", "LPT2:");
  TStringList printers{W_("stale")};
  WStr version;
  GetGPDFileVersion(kDriver, printers, version);
  EXPECT_EQ(version, W_("1.0.1"));  // the last line read decides
  EXPECT_EQ(printers, (TStringList{W_("KV A"), W_("KV B")}));
  GetGPDFileVersion(W_("kelvane kv-1000"), printers, version);  // exact names only
  EXPECT_TRUE(printers.empty());
  EXPECT_EQ(version, W_(""));
}

TEST_F(VersionTest, OlderMeansASmallerNumberAtTheFirstDifferentPart) {
  struct Case {
    const char* installed;
    const char16_t* required;
    bool older;
  } cases[] = {
      {"2.0", u"1.5", false}, {"1.4.9", u"1.5", true}, {"1.5.1", u"1.5", false}, {"1.9", u"1.10", true},
      {"1.0.1", u"1.0.2", true}, {"1.0.2", u"1.0.2", false}, {"1.0", u"1.0.2", false},
  };
  bool first = true;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.installed);
    std::string gpd = std::string("*GPDFileVersion: \"") + k.installed + "\"\n";
    if (first) {
      driver(gpd);
      first = false;
    } else {
      write_file(c("Windows/System32/spool/drivers/x64/3/KV1000.GPD"), gpd);
    }
    TStringList printers;
    EXPECT_EQ(IsOlderGPDVersionInstalled(kDriver, k.required, printers), k.older);
    EXPECT_EQ(printers.size(), 2u);
  }
  TStringList printers;
  EXPECT_THROW(IsOlderGPDVersionInstalled(kDriver, W_("x.1"), printers), KelvaneError);
}

TEST_F(VersionTest, ADriverNoPrinterUsesIsNeverOlder) {
  driver("*GPDFileVersion: \"0.1\"\r\n", {});
  TStringList printers{W_("stale")};
  EXPECT_FALSE(IsOlderGPDVersionInstalled(kDriver, W_("9.9"), printers));
  EXPECT_TRUE(printers.empty());
}

TEST_F(VersionTest, GPDFilesInOtherEncodingsAndBadOnes) {
  driver(utf16_file(u"*GPDFileVersion: \"1.2.3\"\r\n"), {"KV A"});
  TStringList printers;
  WStr version;
  GetGPDFileVersion(kDriver, printers, version);
  EXPECT_EQ(version, W_("1.2.3"));

  std::string gpd = "\xEF\xBB\xBF*GPDFileVersion: \"2.0\"\n";  // UTF-8 with its mark, LF lines
  gpd += std::string("\0\x01\xFF binary\r", 11) + "*GPDFileVersion: \"2.1\"";  // no line end at the end
  write_file(c("Windows/System32/spool/drivers/x64/3/KV1000.GPD"), gpd);
  GetGPDFileVersion(kDriver, printers, version);
  EXPECT_EQ(version, W_("2.1"));

  // A file too large for a GPD is refused with a warning and gives no version.
  write_file(c("Windows/System32/spool/drivers/x64/3/KV1000.GPD"),
             "*GPDFileVersion: \"3.0\"\n" + std::string(kMaxGPDFileBytes, 'x'));
  GetGPDFileVersion(kDriver, printers, version);
  EXPECT_EQ(version, W_(""));
  EXPECT_TRUE(logged(W_("GPD文件過大，不讀取：C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\KV1000.GPD")));
}

}  // namespace
