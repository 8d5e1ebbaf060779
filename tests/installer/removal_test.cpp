// Removal of older driver versions: printers through printui and the spooler, the driver after the
// last printer, the uninstall entry and the INF copies, each outcome code, and names that must not
// reach the printui command line.
#include <nlohmann/json.hpp>

#include "installer/printsys/Removal.h"
#include "installer/printsys/Spooler.h"
#include "support/installer_fixture.h"

using namespace testutil;

namespace {

const WStr kDriver = W_("Kelvane KV-1000");
const char* kDriverU8 = "Kelvane KV-1000";
const char* kUninstall64 = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const char* kUninstall32 = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// An INF of class `cls` whose provider section names the driver by `key`.
std::string Inf(const std::string& key, const std::string& cls = "Printer", const std::string& provider = "Kelvane") {
  return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=" + cls +
         "\r\nProvider=%ProviderName%\r\nDriverVer=09/21/2017,1.0.1.0\r\n\r\n[Manufacturer]\r\n%ProviderName%=" +
         provider + ",NTamd64\r\n\r\n[" + provider + "]\r\n" + key +
         " = DRIVER_SECTION, USBPRINT\\KelvaneKV-1000EAD3\r\n\r\n[Strings]\r\nProviderName=\"" + provider + "\"\r\n";
}

class RemovalTest : public ChineseInstallerTest {
 protected:

  std::string uninstall() const { return IsWin64 ? kUninstall64 : kUninstall32; }
  std::string utilities() const { return uninstall() + "Kelvane Printer Utilities"; }
  std::string driverKey(const std::string& driver = kDriverU8) const {
    return utilities() + "\\PrinterDrivers\\" + driver;
  }
  std::string driverFolder() const { return IsWin64 ? "x64" : "W32X86"; }

  // The sample model's driver with its GPD at `version`, and printers on it.
  void model(const std::vector<std::string>& printers, const std::string& version = "1.0.1") {
    winsim::DriverSetup d;
    d.name = kDriverU8;
    d.data_file = "KV1000.GPD";
    winsim::add_driver(dir, d);
    write_file(c("Windows/System32/spool/drivers/" + driverFolder() + "/3/KV1000.GPD"),
               "*GPDSpecVersion: \"1.0\"\r\n*GPDFileVersion: \"" + version + "\"\r\n");
    for (size_t i = 0; i < printers.size(); ++i) add_printer(dir, printers[i], kDriverU8, "LPT" + std::to_string(i + 1) + ":");
  }
  void oem(const std::string& name, const std::string& text, const std::string& folder = "Windows/inf/") {
    write_file(c(folder + name + ".inf"), text);
    write_file(c(folder + name + ".pnf"), "precompiled");
  }
  bool present(const std::string& rel) const { return std::filesystem::exists(c(rel)); }
  bool keyExists(const std::string& key) const {
    try {
      winsim::reg_query(dir, key);
      return true;
    } catch (const winsim::MachineError&) {
      return false;
    }
  }
  bool logged(const WStr& text) const {
    auto t = LogTexts(log);
    return std::find(t.begin(), t.end(), ToAnsi(text)) != t.end();
  }
  int countLogged(const WStr& text) const {
    auto t = LogTexts(log);
    return static_cast<int>(std::count(t.begin(), t.end(), ToAnsi(text)));
  }
  std::vector<nlohmann::json> printui() const {
    std::vector<nlohmann::json> out;
    for (auto& line : winsim::read_events(dir)) {
      auto ev = nlohmann::json::parse(line);
      if (ev["type"] == "printui") out.push_back(ev);
    }
    return out;
  }
  DWORD printerStatus(const WStr& name) {
    unique_printer p = OpenPrinterByName(name);
    TSpoolerBuffer buf;
    if (!p || !ReadPrinterInfo(p.get(), 2, buf)) return 0xFFFFFFFF;
    return buf.record<PRINTER_INFO_2W>()->Status;
  }
  TStringList printersOf(const WStr& driver) {
    TStringList out;
    for (const WStr& name : ReadPrinterList()) {
      WStr d;
      GetPrinterDriverName(name, d);
      if (d == driver) out.push_back(name);
    }
    return out;
  }
};

// The whole removal on a machine with two printers of the model on a driver whose GPD says
// 1.0.1, its uninstall entry and two matching INF copies among others.
class OlderVersionTest : public RemovalTest {
 protected:
  void SetUp() override {
    RemovalTest::SetUp();
    winsim::DriverSetup other;
    other.name = "Generic Text";
    winsim::add_driver(dir, other);
    add_printer(dir, "Office", "Generic Text", "COM1:");
    model({"Kelvane KV-1000", "Kelvane KV-1000 (Copy 1)"});
    winsim::set_default_printer(dir, "Kelvane KV-1000");
    winsim::reg_add(dir, driverKey(), "Version", "REG_SZ", "1.0.1");
    winsim::reg_add(dir, utilities(), "DisplayName", "REG_SZ", "Kelvane Printer Utilities");
    oem("oem3", Inf("\"Kelvane KV-1000\""));
    oem("oem7", Inf("Kelvane KV-1000"));
    oem("oem4", Inf("\"Kelvane KV-2000\""));                  // another model
    oem("oem5", Inf("\"Kelvane KV-1000\"", "printer"));       // the class must match exactly
    oem("oem6", Inf("\"Kelvane KV-1000\"", "Printer", ""));   // no provider
    oem("other", Inf("\"Kelvane KV-1000\""));                 // not an oem*.inf
  }
  void expectUntouched() {
    EXPECT_EQ(printersOf(kDriver), (TStringList{W_("Kelvane KV-1000"), W_("Kelvane KV-1000 (Copy 1)")}));
    EXPECT_TRUE(PrinterDriverExists(kDriver));
    EXPECT_TRUE(keyExists(driverKey()));
    for (const char* f : {"oem3.inf", "oem3.pnf", "oem7.inf", "oem7.pnf"}) EXPECT_TRUE(present("Windows/inf/" + std::string(f))) << f;
    EXPECT_EQ(printerStatus(W_("Kelvane KV-1000")) & PRINTER_STATUS_OFFLINE, 0u);
  }
};

TEST_F(OlderVersionTest, RemovesPrintersDriverUninstallEntryAndMatchingInfCopies) {
  int code = 42;
  EXPECT_TRUE(RemoveOlderVersion(kDriver, W_("1.0.2"), W_("Kelvane"), code));
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(printersOf(kDriver).empty());
  EXPECT_FALSE(PrinterDriverExists(kDriver));
  EXPECT_FALSE(keyExists(driverKey()));
  EXPECT_FALSE(keyExists(utilities()));  // its last driver key went
  for (const char* f : {"oem3.inf", "oem3.pnf", "oem7.inf", "oem7.pnf"}) EXPECT_FALSE(present("Windows/inf/" + std::string(f))) << f;
  for (const char* f : {"oem4.inf", "oem4.pnf", "oem5.inf", "oem6.inf", "other.inf"})
    EXPECT_TRUE(present("Windows/inf/" + std::string(f))) << f;
  EXPECT_TRUE(PrinterExists(W_("Office")));
  WStr def;
  EXPECT_TRUE(GetDefaultPrinterName(def));
  EXPECT_EQ(def, W_("Office"));
  EXPECT_TRUE(logged(W_("本次操作共刪除<2>個inf文件。")));

  // printui deleted both printers; on 64-bit Windows its "/h intel" names the x86 driver, which is
  // not there, so the spooler removed the x64 one and the uninstall entry went once, from there.
  auto ui = printui();
  ASSERT_EQ(ui.size(), 3u);
  EXPECT_EQ(ui[0]["action"], "dl");
  EXPECT_EQ(ui[0]["printer"], "Kelvane KV-1000");
  EXPECT_EQ(ui[0]["result"], 0);
  EXPECT_EQ(ui[1]["printer"], "Kelvane KV-1000 (Copy 1)");
  EXPECT_EQ(ui[2]["action"], "dd");
  EXPECT_EQ(ui[2]["driver"], kDriverU8);
  EXPECT_EQ(ui[2]["result"], ERROR_UNKNOWN_PRINTER_DRIVER);
  EXPECT_EQ(countLogged(W_("調用系統UI刪除失敗，正準備使用其他方法重試！")), 1);
  EXPECT_EQ(countLogged(W_("準備刪除註冊表(registry)中的信息！ ............")), 1);
  EXPECT_EQ(countLogged(W_("Enter: DelRegUninstallInfo")), 1);
}

TEST_F(OlderVersionTest, AQueuedJobGivesOneAndChangesNothing) {
  winsim::add_job(dir, "Kelvane KV-1000", "report.txt");
  int code = 42;
  EXPECT_FALSE(RemoveOlderVersion(kDriver, W_("1.0.2"), W_("Kelvane"), code));
  EXPECT_EQ(code, 1);
  expectUntouched();
  EXPECT_TRUE(printui().empty());
}

TEST_F(OlderVersionTest, NothingOlderOrNothingAskedLeavesTheCodeAlone) {
  for (const WStr& required : {WStr(), WStr(W_("1.0.1")), WStr(W_("1.0")), WStr(W_("0.9.9"))}) {
    int code = 42;
    EXPECT_TRUE(RemoveOlderVersion(kDriver, required, W_("Kelvane"), code)) << utf8(required);
    EXPECT_EQ(code, 42);
  }
  expectUntouched();
}

class Removal32Test : public RemovalTest {
 protected:
  winsim::MachineOptions options() override {
    winsim::MachineOptions o = RemovalTest::options();
    o.is64 = false;
    return o;
  }
  void SetUp() override {
    RemovalTest::SetUp();
    IsWin64 = false;
  }
};

TEST_F(Removal32Test, SharedDriverGoesWithItsLastPrinter) {
  model({"KV A", "KV B"});
  winsim::reg_add(dir, driverKey(), "Leave OEM INF", "REG_DWORD", "1");
  winsim::reg_add(dir, driverKey("Other Driver"), "Leave OEM INF", "REG_DWORD", "0");
  oem("oem1", Inf("\"Kelvane KV-1000\""));

  bool flag = true;
  EXPECT_EQ(DeletePrinterAndDriver(W_("Kelvane"), W_("KV A"), flag), 0);
  EXPECT_TRUE(flag);
  EXPECT_TRUE(PrinterDriverExists(kDriver));  // still shared with KV B
  EXPECT_TRUE(keyExists(driverKey()));
  EXPECT_EQ(DeletePrinterAndDriver(W_("Kelvane"), W_("KV B"), flag), 0);
  EXPECT_FALSE(PrinterDriverExists(kDriver));
  // On 32-bit Windows printui's "intel" is the machine's own driver: no second route was needed.
  EXPECT_FALSE(logged(W_("調用系統UI刪除失敗，正準備使用其他方法重試！")));
  EXPECT_TRUE(logged(W_("成功刪除驅動程序。Kelvane KV-1000")));
  EXPECT_FALSE(keyExists(driverKey()));
  EXPECT_TRUE(keyExists(driverKey("Other Driver")));  // the utilities key stays for it
  EXPECT_FALSE(present("Windows/inf/oem1.inf"));
}

TEST_F(RemovalTest, APrinterPrintuiCannotDeleteIsLeftOfflineWithThree) {
  model({"KV A"});
  winsim::add_machine_fault(dir, "DeletePrinter", 0, ERROR_ACCESS_DENIED, "rundll32.exe");
  bool flag = true;
  EXPECT_EQ(DeletePrinterAndDriver(W_("Kelvane"), W_("KV A"), flag), 3);
  EXPECT_TRUE(flag);
  EXPECT_TRUE(PrinterExists(W_("KV A")));
  EXPECT_NE(printerStatus(W_("KV A")) & PRINTER_STATUS_OFFLINE, 0u);
  EXPECT_TRUE(PrinterDriverExists(kDriver));
  EXPECT_TRUE(logged(W_("刪除打印機失敗：KV A")));
  ASSERT_EQ(printui().size(), 1u);
  EXPECT_EQ(printui()[0]["result"], ERROR_ACCESS_DENIED);
}

TEST_F(RemovalTest, ADriverThatSurvivesBothAttemptsGivesFour) {
  model({"KV A"});
  winsim::reg_add(dir, driverKey(), "Version", "REG_SZ", "1");
  winsim::add_fault("DeletePrinterDriverExA", 0, ERROR_ACCESS_DENIED);
  bool flag = true;
  EXPECT_EQ(DeletePrinterAndDriver(W_("Kelvane"), W_("KV A"), flag), 4);
  EXPECT_FALSE(flag);
  EXPECT_FALSE(PrinterExists(W_("KV A")));
  EXPECT_TRUE(PrinterDriverExists(kDriver));
  EXPECT_TRUE(logged(W_("DeletePrinterDriverEx Failt <1>, LastError = 0x00000005")));
  EXPECT_TRUE(logged(W_("DeletePrinterDriverEx Failt <2>, LastError = 0x00000005")));
  EXPECT_TRUE(logged(W_("刪除驅動程序（Kelvane KV-1000）出錯！")));
  EXPECT_TRUE(keyExists(driverKey()));  // nothing of the entry goes while the driver stays
}

TEST_F(RemovalTest, LeaveOEMInfKeepsTheCopiesOnlyForADwordOfZero) {
  struct Case {
    const char* type;  // nullptr: no value; "nokey": no driver key at all
    const char* data;
    bool kept;
  } cases[] = {
      {nullptr, "", false}, {"nokey", "", false}, {"REG_DWORD", "0", true},
      {"REG_DWORD", "1", false}, {"REG_SZ", "0", false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.type ? k.type : "missing") + " " + k.data);
    oem("oem1", Inf("\"Kelvane KV-1000\""));
    winsim::reg_add(dir, driverKey("Other"), "", "", "");
    if (!k.type) {
      winsim::reg_add(dir, driverKey(), "", "", "");
    } else if (std::string(k.type) != "nokey") {
      winsim::reg_add(dir, driverKey(), "Leave OEM INF", k.type, k.data);
    }
    bool removed = DelRegUninstallInfo(kDriver, W_("Kelvane"));
    EXPECT_EQ(removed, std::string(k.type ? k.type : "") != "nokey");
    EXPECT_EQ(present("Windows/inf/oem1.inf"), k.kept);
    EXPECT_EQ(present("Windows/inf/oem1.pnf"), k.kept);
    EXPECT_FALSE(keyExists(driverKey()));
    EXPECT_TRUE(keyExists(utilities()));  // "Other" is still below it
  }
  // The last driver key takes the utilities key along.
  EXPECT_TRUE(DelRegUninstallInfo(W_("Other"), W_("Kelvane")));
  EXPECT_FALSE(keyExists(utilities()));
  // An empty or key-crossing name changes nothing.
  winsim::reg_add(dir, driverKey(), "", "", "");
  EXPECT_FALSE(DelRegUninstallInfo(W_(""), W_("Kelvane")));
  EXPECT_FALSE(DelRegUninstallInfo(W_("..\\PrinterDrivers"), W_("Kelvane")));
  EXPECT_TRUE(keyExists(driverKey()));
}

TEST_F(RemovalTest, InfCopiesAreLookedForOnlyInTheSystemsOwnInfFolder) {
  // A machine whose Windows folder is C:\WINNT, with its system folder spelled in capitals.
  nlohmann::json sys = nlohmann::json::parse(read_file(dir + "/system.json"));
  sys["folders"]["windows"] = "C:\\WINNT";
  sys["folders"]["system32"] = "C:\\WINNT\\SYSTEM32";
  write_file(dir + "/system.json", sys.dump(2));
  std::filesystem::create_directories(c("WINNT/SYSTEM32"));
  winsim::use_machine(dir);
  winsim::declare_image(32, "C:\\Pkg\\Kelvane.exe");
  log = CaptureLog();
  EXPECT_EQ(SystemInfFolder(), W_("C:\\WINNT\\inf\\"));
  oem("oem1", Inf("\"Kelvane KV-1000\""), "WINNT/inf/");
  oem("OEM2", Inf("\"Kelvane KV-1000\""), "WINNT/inf/");  // upper case: found and deleted too
  oem("oem1", Inf("\"Kelvane KV-1000\""));                // C:\Windows\inf is not this machine's
  EXPECT_EQ(LeaveOEMInf(kDriver, W_("Printer")), 2);
  EXPECT_FALSE(present("WINNT/inf/oem1.inf"));
  EXPECT_FALSE(present("WINNT/inf/oem1.pnf"));
  EXPECT_FALSE(present("WINNT/inf/OEM2.inf"));
  EXPECT_FALSE(present("WINNT/inf/OEM2.pnf"));
  EXPECT_TRUE(present("Windows/inf/oem1.inf"));
  EXPECT_TRUE(logged(W_("準備在系統inf目錄(C:\\WINNT\\inf\\)下搜索文件！")));
  EXPECT_TRUE(logged(W_("找到對應的inf文件：C:\\WINNT\\inf\\oem1.inf，準備刪除！")));
  EXPECT_EQ(LeaveOEMInf(W_(""), W_("Printer")), 0);
}

TEST_F(RemovalTest, InfMatchesDriverByProviderSectionAndExactClass) {
  struct Case {
    std::string text;
    bool matches;
  } cases[] = {
      {Inf("\"Kelvane KV-1000\""), true},
      {Inf("Kelvane KV-1000"), true},
      {Inf("\"kelvane kv-1000\""), false},  // exact names
      {Inf("\"Kelvane KV-1000\"", "printer"), false},
      {Inf("\"Kelvane KV-1000\"", "Printer", ""), false},
      {Inf("\"Kelvane KV-10000\""), false},
      {utf16_file(u"[Version]\r\nClass=Printer\r\n[Strings]\r\nProviderName=\"Kelvane\"\r\n[Kelvane]\r\n"
                  u"\"Kelvane KV-1000\"=S\r\n"),
       true},
      {std::string("\0\xFF\xFE\x01[Version]\x80\x81", 15), false},
      {"[Version]\r\nClass=Printer\r\n[Strings]\r\nProviderName=Kelvane\r\n[Kelvane]\r\n" +
           std::string(300000, 'x') + "\r\n\"Kelvane KV-1000\"=S\r\n",
       true},  // a long line before the driver's does not hide it
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    put("t.inf", cases[i].text);
    EXPECT_EQ(InfMatchesDriver(kDriver, W_("C:\\Pkg\\t.inf"), W_("Printer")), cases[i].matches);
  }
  EXPECT_FALSE(InfMatchesDriver(kDriver, W_("C:\\Pkg\\missing.inf"), W_("Printer")));
}

TEST_F(RemovalTest, NamesThatWouldBreakOutOfTheirQuotesNeverReachPrintui) {
  struct Case {
    const char16_t* name;
    bool fits;
  } cases[] = {
      {u"Kelvane KV-1000", true}, {u"Office \"Main\"", false}, {u"x\" /dd /m \"Other", false},
      {u"Trailing\\", false},      {u"in\\side", true},       {u"line\nbreak", false},
      {u"中文打印機", true},
  };
  for (const Case& k : cases) EXPECT_EQ(NameFitsQuotedArgument(k.name), k.fits) << utf8(k.name);

  // A printer whose name holds a quote: refused, so it is left offline with code 3.
  winsim::DriverSetup d;
  d.name = "Drv \"Q\"";
  winsim::add_driver(dir, d);
  add_printer(dir, "Front \"Desk\"", d.name, "LPT1:");
  bool flag = true;
  EXPECT_EQ(DeletePrinterAndDriver(W_("Kelvane"), W_("Front \"Desk\""), flag), 3);
  EXPECT_TRUE(PrinterExists(W_("Front \"Desk\"")));
  EXPECT_TRUE(logged(W_("名稱不能安全地放入系統UI的命令行，不調用系統UI：Front \"Desk\"")));
  EXPECT_TRUE(printui().empty());

  // A plain printer on that driver goes through printui, a name with blanks arriving whole; the
  // driver is refused there and removed through the spooler instead.
  winsim::delete_printer(dir, "Front \"Desk\"");
  add_printer(dir, "Front Desk  2", d.name, "LPT1:");
  EXPECT_EQ(DeletePrinterAndDriver(W_("Kelvane"), W_("Front Desk  2"), flag), 0);
  EXPECT_FALSE(PrinterDriverExists(W_("Drv \"Q\"")));
  auto ui = printui();
  ASSERT_EQ(ui.size(), 1u);
  EXPECT_EQ(ui[0]["printer"], "Front Desk  2");
  EXPECT_EQ(ui[0]["result"], 0);
}

TEST_F(RemovalTest, ALongDriverNameIsRemovedWholeNeverCutShort) {
  // Its printui command would not fit the command runner; a driver named by its first 255
  // characters must survive the removal of the long one.
  std::string longName(260, 'K'), cutName(255, 'K');
  for (const std::string& name : {longName, cutName}) {
    winsim::DriverSetup d;
    d.name = name;
    winsim::add_driver(dir, d);
  }
  add_printer(dir, "Long", longName, "LPT1:");
  bool flag = true;
  EXPECT_EQ(DeletePrinterAndDriver(W_("Kelvane"), W_("Long"), flag), 0);
  EXPECT_FALSE(PrinterDriverExists(WStr(260, u'K')));
  EXPECT_TRUE(PrinterDriverExists(WStr(255, u'K')));
  EXPECT_TRUE(logged(W_("調用系統UI刪除失敗，正準備使用其他方法重試！")));
}

TEST_F(RemovalTest, ANewDefaultOnlyWhenTheOldOneIsGone) {
  model({"KV A", "KV B"});
  winsim::set_default_printer(dir, "KV B");
  WStr chosen = W_("x");
  ChooseNewDefaultPrinter(chosen);
  EXPECT_EQ(chosen, W_(""));  // the default still exists
  winsim::delete_printer(dir, "KV B");
  ChooseNewDefaultPrinter(chosen);
  EXPECT_EQ(chosen, W_("KV A"));
  WStr def;
  EXPECT_TRUE(GetDefaultPrinterName(def));
  EXPECT_EQ(def, W_("KV A"));
  winsim::delete_printer(dir, "KV A");
  ChooseNewDefaultPrinter(chosen);
  EXPECT_EQ(chosen, W_(""));
  EXPECT_FALSE(GetDefaultPrinterName(def));
}

}  // namespace
