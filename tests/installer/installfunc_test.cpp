// The install procedures against the real device-install library and 64-bit host on simulated
// machines: INF registration, the check for a connected printer with its code classification, the
// device's port, the online install and the host's command line and exchange file.
#include <algorithm>

#include "installer/install/InstallFunc.h"
#include "installer/printsys/Spooler.h"
#include "support/installer_fixture.h"
#include "win32/spooler.h"

using namespace testutil;

namespace {

const std::string kModelId = "MFG:Kelvane;MDL:KV-1000;";
const WStr kModel = W_("Kelvane KV-1000");

std::string HardwareId() { return "USBPRINT\\" + winsim::printer_hardware_id("Kelvane", "KV-1000"); }
WStr WHardwareId() { return FromAnsi(HardwareId()); }

// The components staged in a folder with a blank in its name, the driver in another one.
class InstallFuncTest : public ChineseInstallerTest {
 protected:
  void SetUp() override {
    ChineseInstallerTest::SetUp();
    std::filesystem::create_directories(pkg("Setup Files"));
    for (const char* file : {"pindle.dll", "pindle64.dll", "Ralto64.exe"})
      std::filesystem::copy_file(std::string(KELVANE_BIN) + "/" + file, pkg(std::string("Setup Files/") + file),
                                 std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy(EXAMPLES_DIR "/package/Driver", pkg("Driver Files"), std::filesystem::copy_options::recursive);
    PindleDllPath = W_("C:\\Pkg\\Setup Files\\pindle.dll");
    Pindle64DllPath = W_("C:\\Pkg\\Setup Files\\pindle64.dll");
    RaltoExePath = W_("C:\\Pkg\\Setup Files\\Ralto64.exe");
  }
  void Plug() {
    winsim::PlugSetup setup;
    setup.device_id = kModelId;
    winsim::plug_printer(dir, setup);
  }
  DWORD Check(bool& installed) {
    return ExistReqInlineSetupDevice(nullptr, PindleDllPath, RaltoExePath, Pindle64DllPath, HardwareId(),
                                     "C:\\Pkg\\Driver Files\\KV1000.inf", kModel, installed);
  }
};

class InstallFunc32Test : public InstallFuncTest {
  winsim::MachineOptions options() override {
    winsim::MachineOptions o = ChineseInstallerTest::options();
    o.is64 = false;
    return o;
  }
};

TEST(InstallFuncText, PortOfInstanceId) {
  struct Case {
    const WCHAR* id;
    const WCHAR* port;
  } cases[] = {
      {W_("USBPRINT\\KELVANEKV-1000EAD3\\7&2C2F9A0&0&USB001"), W_("USB001")},
      {W_("USBPRINT\\KELVANEKV-1000EAD3\\7&1"), W_("USBPRI")},  // no "&USB": the ID's first six characters
      {W_("LPTENUM\\KELVANEKV-1000EAD3\\1&1F0&0&LPT1"), W_("LPT1:")},
      {W_("ROOT\\PRINTER\\0000"), W_("")},
      {W_(""), W_("")},
  };
  for (const Case& c : cases) EXPECT_EQ(PortOfInstanceId(c.id), c.port) << ToUtf8(c.id);
}

TEST(InstallFuncText, RelativePaths) {
  struct Case {
    const WCHAR *base, *dest, *rel;
  } cases[] = {
      {W_("C:\\Temp\\Stage\\"), W_("C:\\Temp\\Stage\\pindle64.dll"), W_("pindle64.dll")},
      {W_("C:\\Temp\\Stage\\"), W_("C:\\Pkg\\Driver Files\\KV1000.inf"), W_("..\\..\\Pkg\\Driver Files\\KV1000.inf")},
      {W_("C:\\temp\\STAGE\\"), W_("c:\\Temp\\Stage\\x\\a.inf"), W_("x\\a.inf")},  // folders compared ignoring case
      {W_("C:\\Temp\\"), W_("D:\\a.inf"), W_("D:\\a.inf")},                          // another drive: as it was
  };
  for (const Case& c : cases) EXPECT_EQ(ExtractRelativePath(c.base, c.dest), c.rel) << ToUtf8(c.dest);
}

TEST_F(InstallFunc32Test, RegistryInfAndMissingLibrary) {
  WStr registered;
  EXPECT_TRUE(RegistryInf(PindleDllPath, W_("C:\\Pkg\\Driver Files\\KV1000.inf"), registered));
  EXPECT_TRUE(registered.starts_with(W_("C:\\Windows\\INF\\oem")) || registered.starts_with(W_("C:\\Windows\\inf\\oem")))
      << ToUtf8(registered);
  EXPECT_TRUE(LogHas(log, "已註冊inf文件：" + ToUtf8(registered)));
  EXPECT_FALSE(RegistryInf(PindleDllPath, W_("C:\\Pkg\\Driver Files\\none.inf"), registered));
  EXPECT_TRUE(registered.empty());
  EXPECT_TRUE(LogHas(log, "CopyOemInf函數錯誤值：0x"));

  try {
    RegistryInf(W_("C:\\Pkg\\nowhere.dll"), W_("x.inf"), registered);
    ADD_FAILURE() << "no error raised";
  } catch (const KelvaneError& e) {
    EXPECT_EQ(e.message(), W_("DllNotFound :\r\nC:\\Pkg\\nowhere.dll"));
  }
  RefreshSystemHW(W_("C:\\Pkg\\nowhere.dll"));  // the rescan alone passes over a missing library
  // A library without the exports: registration fails, the last install code reads 1.
  std::filesystem::copy_file(std::string(KELVANE_BIN) + "/Trellum.dll", pkg("Trellum.dll"));
  EXPECT_FALSE(RegistryInf(W_("C:\\Pkg\\Trellum.dll"), W_("C:\\Pkg\\Driver Files\\KV1000.inf"), registered));
  HMODULE other = LoadLibraryW(W_("C:\\Pkg\\Trellum.dll"));
  EXPECT_EQ(PindleLastInstallErrorCode(other), 1u);
  FreeLibrary(other);
  DWORD last = 0;
  WStr port;
  try {
    InstallSpecPrinter2k(nullptr, last, W_("x.inf"), port, W_("C:\\Pkg\\Trellum.dll"), WHardwareId());
    ADD_FAILURE() << "no error raised";
  } catch (const KelvaneError& e) {
    EXPECT_EQ(e.message(), W_("DllFileError"));
  }
}

TEST_F(InstallFunc32Test, CheckClassifiesTheLibrarysCode) {
  bool installed = true;
  // Nothing plugged in: the library's code comes back as the result.
  EXPECT_EQ(Check(installed), 0xE000020Bu);
  EXPECT_FALSE(installed);
  EXPECT_TRUE(LogHas(log, "檢測到設備不存在，調用ExistInlineDevice錯誤值：0xE000020B"));

  // Plugged in: the platform binds the driver during the check.
  Plug();
  EXPECT_EQ(Check(installed), 0u);
  EXPECT_TRUE(installed);
  EXPECT_TRUE(LogHas(log, "恭喜，在檢測過程中發現已經完成驅動安裝。"));
}

TEST_F(InstallFunc32Test, CodesThatMeanConnectedAndAnEarlierOnlineInstall) {
  Plug();
  // The driver and an online printer of the model on the device's port: installed online before.
  winsim::DriverSetup driver;
  driver.name = "Kelvane KV-1000";
  winsim::add_driver(dir, driver);
  winsim::PrinterSetup printer;
  printer.name = printer.driver = "Kelvane KV-1000";
  printer.port = "USB001";
  winsim::add_printer(dir, printer);
  struct Case {
    DWORD library_code, result;
    bool walked;
  } cases[] = {
      {ERROR_ACCESS_DENIED, ReqOfflineInstall, true},
      {ERROR_FILE_NOT_FOUND, ReqOfflineInstall, true},
      {0xE000022F, ReqOfflineInstall, true},
      {ERROR_NO_MORE_ITEMS, 0, false},  // possibly connected, but no look for an earlier install
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library_code);
    log->records.clear();
    winsim::clear_faults();
    winsim::add_fault("UpdateDriverForPlugAndPlayDevicesA", 0, c.library_code);
    bool installed = true;
    EXPECT_EQ(Check(installed), c.result);
    EXPECT_FALSE(installed);
    EXPECT_EQ(LogHas(log, "準備檢查檢測到的端口（USB001）是否曾聯機安裝。"), c.walked);
    EXPECT_EQ(LogHas(log, "打印機（Kelvane KV-1000）已經使用相同端口，應該已經聯機安裝過。"), c.walked);
  }
  // Offline printers do not count.
  winsim::set_printer_offline(dir, "Kelvane KV-1000", true);
  winsim::clear_faults();
  winsim::add_fault("UpdateDriverForPlugAndPlayDevicesA", 0, ERROR_ACCESS_DENIED);
  bool installed = false;
  EXPECT_EQ(Check(installed), 0u);
}

TEST_F(InstallFunc32Test, OnlineInstallOn32BitWindows) {
  DWORD last = 7;
  WStr port;
  // Nothing plugged in: the port falls back to LPT1: and the library reports its failure.
  EXPECT_FALSE(InstallSpecPrinter2k(nullptr, last, W_("C:\\Pkg\\Driver Files\\KV1000.inf"), port, PindleDllPath,
                                    WHardwareId()));
  EXPECT_EQ(port, W_("LPT1:"));
  EXPECT_TRUE(LogHas(log, "Pindle安裝失敗，標誌 = "));

  Plug();
  EXPECT_TRUE(InstallSpecPrinter2k(nullptr, last, W_("C:\\Pkg\\Driver Files\\KV1000.inf"), port, PindleDllPath,
                                   WHardwareId()));
  EXPECT_EQ(port, W_("USB001"));
  EXPECT_EQ(last, 0u);
  EXPECT_TRUE(LogHas(log, "參數信息：Inf(C:\\Pkg\\Driver Files\\KV1000.inf), HWID(" + HardwareId() + "), Port(USB001)"));
  EXPECT_TRUE(LogHas(log, "Pindle返回安裝成功，標誌 = 0"));
  WStr found;
  EXPECT_TRUE(FindExistDevice(PindleDllPath, WHardwareId(), found, false, port));
  EXPECT_EQ(port, W_("USB001"));
}

TEST_F(InstallFuncTest, CheckThroughThe64BitHost) {
  bool installed = true;
  EXPECT_EQ(Check(installed), 0xE000020Bu);  // the host's unsigned answer read back whole
  // Quoted paths relative to the host's folder; the host path and the hardware ID are not quoted.
  EXPECT_TRUE(LogHas(log, "命令行：C:\\Pkg\\Setup Files\\Ralto64.exe /Handle 0 /Dll \"pindle64.dll\" /Inf "
                          "\"..\\Driver Files\\KV1000.inf\" /HWID " +
                              HardwareId() + " /FindHWID \""));
  Plug();
  EXPECT_EQ(Check(installed), 0u);
  EXPECT_TRUE(installed);
  // No temporary exchange file stays behind.
  WCHAR temp[MAX_PATH] = {};
  ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((WStr(temp) + W_("tmp*")).c_str(), &found);
  EXPECT_EQ(find, INVALID_HANDLE_VALUE) << ToUtf8(found.cFileName);
  if (find != INVALID_HANDLE_VALUE) FindClose(find);

  // A host that does not start says nothing: 1067, a device that is not there.
  RaltoExePath = W_("C:\\Pkg\\Setup Files\\missing.exe");
  EXPECT_EQ(Check(installed), 1067u);
  EXPECT_FALSE(installed);
  // A hardware ID that would split on the host's command line is not passed.
  EXPECT_EQ(IsInlineDeviceExist64(nullptr, W_("X /Inf evil.inf"), W_("a.inf"), 4, Pindle64DllPath,
                                  W_("C:\\Pkg\\Setup Files\\Ralto64.exe")),
            1067u);
}

TEST_F(InstallFuncTest, OfflineCommandRefusesNamesThatLeaveTheirQuotes) {
  WStr name;
  for (const WCHAR* model : {W_("KV\" /x \"y"), W_("KV\\")}) {
    log->records.clear();
    EXPECT_EQ(UIAddPrinter(model, W_("C:\\a.inf"), W_("LPT1:"), name), UIAddFailed);
    EXPECT_FALSE(LogHas(log, "命令行參數："));
    EXPECT_TRUE(LogHas(log, "名稱不能安全地放入系統UI的命令行，不調用系統UI："));
  }
  // A command longer than the runner takes does not run cut short.
  log->records.clear();
  EXPECT_EQ(UIAddPrinter(WStr(100, u'K'), W_("C:\\a.inf"), W_("LPT1:"), name), UIAddFailed);
  EXPECT_FALSE(LogHas(log, "RunCMD_pipe函數成功調用返回。"));
  EXPECT_TRUE(name.empty());
}

}  // namespace
