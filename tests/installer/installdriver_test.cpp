// The install run on simulated machines with the sample package and the real library, host and
// printer command: offline and online installs on 32-bit and 64-bit Windows, a model installed
// online before, a failed registration, a library that is missing, the driver buffer folder and
// the removal of an older driver before the run.
#include <nlohmann/json.hpp>
#include <optional>
#include <tuple>

#include "installer/install/InstallDriver.h"
#include "installer/install/InstallFunc.h"
#include "installer/printsys/Spooler.h"
#include "support/installer_fixture.h"
#include "support/sample_install.h"

using namespace testutil;

namespace {

const char* kModel = "Kelvane KV-1000";

// The window as far as the run talks to it.
struct RecordingView : TInstallView {
  std::vector<WStr> status;
  std::vector<std::pair<bool, DWORD>> outcomes;  // success?, code
  int watches = 0;
  void AddStatusLine(const WStr& text) override { status.push_back(text); }
  void InstallSuccPrompt(TMessage& m) override { outcomes.emplace_back(true, static_cast<DWORD>(m.LParam)); }
  void InstallFailPrompt(TMessage& m) override { outcomes.emplace_back(false, static_cast<DWORD>(m.LParam)); }
  void StartSetup64Watch() override { ++watches; }
};

struct Kind {
  bool is64;
  unsigned major, minor, build;
  LANGID language;
  const char* name;
};
// Test names and failure messages show the kind by its name.
void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

// The sample package on a machine of the parameter's kind (P is the kind, or a tuple that starts
// with it).
template <class P>
class InstallRun : public InstallerTest, public testing::WithParamInterface<P> {
 protected:
  RecordingView view;

  static const Kind& KindOf(const Kind& k) { return k; }
  template <class T>
  static const Kind& KindOf(const T& t) {
    return std::get<0>(t);
  }
  const Kind& kind() const { return KindOf(this->GetParam()); }

  winsim::MachineOptions options() override {
    winsim::MachineOptions o;
    o.language = kind().language;
    o.is64 = kind().is64;
    o.major = kind().major;
    o.minor = kind().minor;
    o.build = kind().build;
    if (o.major >= 10) o.service_pack.clear();
    return o;
  }
  void SetUp() override {
    InstallerTest::SetUp();
    PrepareSampleInstall(pkg(""));
    ASSERT_FALSE(LangStrings.OSInstallingDriver.empty());
    SetInstallView(&view);
  }
  void TearDown() override {
    FinishInstallDriverThreads();
    SetInstallView(nullptr);
    if (HostProcessHandle) {
      WaitForSingleObject(HostProcessHandle, 10000);
      CloseHandle(HostProcessHandle);
      HostProcessHandle = nullptr;
    }
    InstallerTest::TearDown();
  }

  void Plug() {
    winsim::PlugSetup setup;
    setup.device_id = "MFG:Kelvane;MDL:KV-1000;";
    winsim::plug_printer(dir, setup);
  }
  std::string BufferFolder() const {
    return c(std::string(kind().is64 ? "Program Files (x86)" : "Program Files") + "/Printer Drivers/Kelvane KV-1000");
  }
  bool Logged(const std::string& utf8Text) const { return LogHas(log, utf8Text); }
  WStr PortOf(const WStr& printer) {
    WStr port;
    GetPrinterPort(printer, port);
    return port;
  }
};

using InstallDriverTest = InstallRun<Kind>;

// On an English machine the log's Chinese texts become "?" in its code page, on both sides of
// the comparison: the outcomes are what those runs show.
INSTANTIATE_TEST_SUITE_P(Windows, InstallDriverTest,
                         testing::Values(Kind{false, 6, 1, 7601, 2052, "Win7x86_zh"},
                                         Kind{true, 6, 1, 7601, 2052, "Win7x64_zh"},
                                         Kind{true, 10, 0, 19045, 2052, "Win10x64_zh"},
                                         Kind{false, 10, 0, 19045, 1033, "Win10x86_en"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(InstallDriverTest, OfflineOnLpt1WhenNothingIsPlugged) {
  DoInstallSelectPrinter(true);
  ASSERT_EQ(view.outcomes, (std::vector<std::pair<bool, DWORD>>{{true, 0}}));
  EXPECT_EQ(view.status, TStringList{LangStrings.OSInstallingDriver});
  EXPECT_EQ(InstalledPrinterName, W_("Kelvane KV-1000"));
  EXPECT_EQ(InstalledPrinterPort, W_("LPT1:"));
  EXPECT_FALSE(OnlineInstall);
  EXPECT_EQ(PortOf(W_("Kelvane KV-1000")), W_("LPT1:"));
  EXPECT_TRUE(PrintersBeforeInstall->empty());
  // The driver was buffered under the (32-bit) program-files folder and registered from there.
  EXPECT_TRUE(std::filesystem::exists(BufferFolder() + "/KV1000.inf"));
  EXPECT_TRUE(std::filesystem::exists(BufferFolder() + "/kv1000.cat"));  // kept on Windows 7
  EXPECT_TRUE(Logged("檢測到設備不存在，調用ExistInlineDevice錯誤值：0xE000020B"));
  EXPECT_TRUE(Logged("///安裝進程完成，狀態信息：InstallFinish(-1), InstSucc(-1), OnlineInstall(0)。///"));
}

TEST_P(InstallDriverTest, PluggedPrinterIsInstalledDuringDetection) {
  Plug();
  DoInstallSelectPrinter(true);
  ASSERT_EQ(view.outcomes, (std::vector<std::pair<bool, DWORD>>{{true, 0}}));
  EXPECT_TRUE(OnlineInstall);
  EXPECT_EQ(InstalledPrinterName, W_("Kelvane KV-1000"));
  EXPECT_EQ(*PrintersAfterInstall, TStringList{W_("Kelvane KV-1000")});
  EXPECT_EQ(PortOf(InstalledPrinterName), W_("USB001"));
  EXPECT_TRUE(Logged("***在檢測過程中已經安裝完成（Kelvane KV-1000）<1>，直接將條件填寫好，進入成功流程。***"));
}

TEST_P(InstallDriverTest, ModelInstalledOnlineBeforeGoesOffline) {
  Plug();  // the platform installs the model's printer on USB001
  DoInstallSelectPrinter(true);
  view.outcomes.clear();
  // The platform now refuses to bind again: the earlier online printer on the port is found.
  if (GetParam().is64)  // the check runs in the 64-bit host
    winsim::add_machine_fault(dir, "UpdateDriverForPlugAndPlayDevicesA", 0, ERROR_ACCESS_DENIED, "Ralto64.exe");
  else
    winsim::add_fault("UpdateDriverForPlugAndPlayDevicesA", 0, ERROR_ACCESS_DENIED);
  DoInstallSelectPrinter(true);
  EXPECT_TRUE(Logged("注意：由於出現ReqOfflineInstall錯誤，聯機安裝進程重新開始！"));
  // Offline on LPT1:, where printui does not replace the existing printer of the model's name.
  EXPECT_TRUE(Logged("/r \"LPT1:\""));
  EXPECT_EQ(view.outcomes, (std::vector<std::pair<bool, DWORD>>{{false, UIAddFailed}}));
  EXPECT_EQ(InstallErrorCode, UIAddFailed);
}

TEST_P(InstallDriverTest, FailedRegistrationEndsTheRun) {
  winsim::add_fault("SetupCopyOEMInfA", 0, ERROR_ACCESS_DENIED);
  DoInstallSelectPrinter(true);
  EXPECT_EQ(view.outcomes, (std::vector<std::pair<bool, DWORD>>{{false, 0}}));
  EXPECT_TRUE(view.status.empty());
  EXPECT_TRUE(Logged("注意：註冊Inf文件失敗，可能是用戶取消安裝！"));
}

TEST_P(InstallDriverTest, MissingLibraryEndsTheRunWithoutAPrompt) {
  PindleDllPath = W_("C:\\Pkg\\Setup Files\\gone.dll");
  TThreadInstallDriver& run = StartInstallDriverThread(true);
  run.WaitFor();
  EXPECT_EQ(run.FatalError(), W_("DllNotFound :\r\nC:\\Pkg\\Setup Files\\gone.dll"));
  EXPECT_TRUE(view.outcomes.empty());
  EXPECT_TRUE(Logged("驅動安裝線程正在執行安裝任務。"));
}

TEST_P(InstallDriverTest, BufferFolderReusedWhileDriverVerIsTheSame) {
  WStr inf;
  ASSERT_TRUE(BufferDriverFiles(inf));
  EXPECT_EQ(ToUtf8(inf), (GetParam().is64 ? std::string("C:\\Program Files (x86)") : std::string("C:\\Program Files")) +
                             "\\Printer Drivers\\Kelvane KV-1000\\KV1000.inf");
  write_file(BufferFolder() + "/marker.txt", "kept");
  log->records.clear();
  ASSERT_TRUE(BufferDriverFiles(inf));
  EXPECT_TRUE(std::filesystem::exists(BufferFolder() + "/marker.txt"));
  const std::string deleting = "準備刪除舊版文件：" + ToUtf8(ExtractFilePath(inf));
  EXPECT_FALSE(Logged(deleting.substr(0, deleting.size() - 1)));

  // A package with another DriverVer replaces the buffer folder.
  std::string text = read_file(pkg("Driver/KV1000.inf"));
  size_t at = text.find("DriverVer");
  ASSERT_NE(at, std::string::npos);
  text.insert(text.find('\n', at), ".1");  // one more version part
  write_file(pkg("Driver/KV1000.inf"), text);
  ASSERT_TRUE(BufferDriverFiles(inf));
  EXPECT_FALSE(std::filesystem::exists(BufferFolder() + "/marker.txt"));
  EXPECT_TRUE(Logged(deleting.substr(0, deleting.size() - 1)));
}

TEST_P(InstallDriverTest, CatalogsGoBelowTheConfiguredWindowsVersion) {
  WinVersion = 52;  // at or below the entry's IgnoreCatBelowWinVer (52)
  DoInstallSelectPrinter(true);
  EXPECT_FALSE(std::filesystem::exists(BufferFolder() + "/kv1000.cat"));
  EXPECT_TRUE(std::filesystem::exists(BufferFolder() + "/KV1000.inf"));
  EXPECT_TRUE(Logged("準備刪除文件："));
  // Detection used the buffered INF.
  EXPECT_TRUE(Logged("Inf(" + std::string(GetParam().is64 ? "C:\\Program Files (x86)" : "C:\\Program Files") +
                     "\\Printer Drivers\\Kelvane KV-1000\\KV1000.inf)"));
}

TEST_P(InstallDriverTest, OlderDriverRemovedBeforeTheInstall) {
  // The sample entry demands GPD 1.0.2; the machine runs 1.0.1 with one printer.
  winsim::DriverSetup d;
  d.name = kModel;
  d.data_file = "KV1000.GPD";
  winsim::add_driver(dir, d);
  write_file(c(std::string("Windows/System32/spool/drivers/") + (GetParam().is64 ? "x64" : "W32X86") + "/3/KV1000.GPD"),
             "*GPDFileVersion: \"1.0.1\"\r\n");
  add_printer(dir, "Kelvane KV-1000", kModel, "LPT1:");
  unsigned job = winsim::add_job(dir, "Kelvane KV-1000", "report.txt");
  bool proceed = true;
  CheckOldDriverBeforeInstall(proceed);  // the user's default answer: Yes, then the queued job stops it
  EXPECT_FALSE(proceed);
  EXPECT_TRUE(PrinterExists(W_("Kelvane KV-1000")));
  EXPECT_TRUE(Logged("打印機還有打印任務，不能刪除！"));

  winsim::delete_job(dir, "Kelvane KV-1000", job);
  CheckOldDriverBeforeInstall(proceed);
  EXPECT_TRUE(proceed);
  EXPECT_FALSE(PrinterExists(W_("Kelvane KV-1000")));
  EXPECT_FALSE(PrinterDriverExists(W_("Kelvane KV-1000")));

  // Without a demanded version nobody is asked.
  InstallInfos().LoadFromFile(W_("C:\\Pkg\\Kelvane.ini"));
  SelectedPrinterIndex = 1;
  CheckOldDriverBeforeInstall(proceed);
  EXPECT_TRUE(proceed);
}

// The driver is bound to the plugged-in printer already (its printer was deleted since): the check
// finds nothing newer to bind, so the online install runs; in-process on 32-bit Windows, which
// then opens the entry's after-install file, in the 64-bit host elsewhere.
TEST_P(InstallDriverTest, OnlineInstallWhenTheDriverIsBoundAlready) {
  Plug();
  DoInstallSelectPrinter(true);
  winsim::delete_printer(dir, "Kelvane KV-1000");
  std::string ini = read_file(pkg("Kelvane.ini"));
  ini.insert(ini.find("[PrinterInfo1]") + 14, "\r\nAfterRun=C:\\Pkg\\Doc\\Guide.txt");
  write_file(pkg("Kelvane.ini"), ini);
  InstallInfos().LoadFromFile(W_("C:\\Pkg\\Kelvane.ini"));
  view.outcomes.clear();
  log->records.clear();

  DoInstallSelectPrinter(true);
  EXPECT_TRUE(Logged("根據檢測到的信息判定設備可能已聯機（0x103）。"));
  std::vector<std::string> opened;
  for (auto& line : winsim::read_events(dir)) {
    auto ev = nlohmann::json::parse(line);
    if (ev["type"] == "shellexecute") opened.push_back(ev["file"]);
  }
  if (GetParam().is64) {
    EXPECT_TRUE(Logged("已成功創建64位安裝進程。"));
    EXPECT_NE(HostProcessHandle, nullptr);
    EXPECT_EQ(view.watches, 1);
    EXPECT_TRUE(opened.empty());
  } else {
    EXPECT_EQ(view.outcomes, (std::vector<std::pair<bool, DWORD>>{{true, 0}}));
    EXPECT_TRUE(OnlineInstall);
    EXPECT_EQ(InstalledPrinterPort, W_("USB001"));
    EXPECT_EQ(PortOf(W_("Kelvane KV-1000")), W_("USB001"));
    EXPECT_TRUE(Logged("****** InstallSpecPrinter2k聯機安裝已成功完成。******"));
    EXPECT_EQ(opened, std::vector<std::string>{"C:\\Pkg\\Doc\\Guide.txt"});
  }
}

// ---- a failing platform call on the install path ----------------------------------------------

struct FaultCase {
  const char* name;
  const char* api;
  unsigned call;  // 0 = every call
  DWORD error;
  const char* image;  // "" = the installer's own process
  bool plugged;
  // Outcome on 32-bit and on 64-bit Windows: success?, code; nullopt = no prompt.
  std::optional<std::pair<bool, DWORD>> on32, on64;
  const char* port;  // where the printer ends up after a success ("" = no printer)
};
void PrintTo(const FaultCase& f, std::ostream* os) { *os << f.name; }

const FaultCase kFaults[] = {
    // The buffer copy stops half-way: the half folder goes and the run fails as a failed registration.
    {"BufferCopy", "CopyFileW", 2, ERROR_DISK_FULL, "", false, {{false, 0}}, {{false, 0}}, ""},
    {"BufferFolder", "CreateDirectoryW", 1, ERROR_ACCESS_DENIED, "", false, {{false, 0}}, {{false, 0}}, ""},
    // The printer list cannot be read: the offline install's count test sees no new printer.
    {"PrinterList", "EnumPrintersW", 0, ERROR_ACCESS_DENIED, "", false, {{false, UIAddFailed}}, {{false, UIAddFailed}},
     ""},
    // The printer command's spooler refuses the printer.
    {"PrinterAdd", "AddPrinterW", 1, ERROR_ACCESS_DENIED, "rundll32.exe", false, {{false, UIAddFailed}},
     {{false, UIAddFailed}}, ""},
    // The first process started: the printer command on 32-bit Windows, the 64-bit host's check on
    // 64-bit Windows, whose silence (1067) sends the run to the offline install.
    {"FirstProcess", "CreateProcessW", 1, ERROR_FILE_NOT_FOUND, "", false, {{false, UIAddFailed}}, {{true, 0}}, "LPT1:"},
    {"HostStartWithPrinter", "CreateProcessW", 1, ERROR_FILE_NOT_FOUND, "", true, std::nullopt, {{true, 0}}, "LPT1:"},
    // The platform refuses to bind the driver to the plugged-in printer: offline on LPT1:.
    {"DeviceBind", "UpdateDriverForPlugAndPlayDevicesA", 0, ERROR_NO_DRIVER_SELECTED, "", true, {{true, 0}},
     std::nullopt, "LPT1:"},
    {"DeviceBindInHost", "UpdateDriverForPlugAndPlayDevicesA", 0, ERROR_NO_DRIVER_SELECTED, "Ralto64.exe", true,
     std::nullopt, {{true, 0}}, "LPT1:"},
    // The check's exchange file cannot be written: the host reads its default flags and still answers.
    {"ExchangeFile", "WritePrivateProfileStringW", 1, ERROR_ACCESS_DENIED, "", false, std::nullopt, {{true, 0}},
     "LPT1:"},
};

class InstallFaultTest : public InstallRun<std::tuple<Kind, FaultCase>> {
 protected:
  const FaultCase& fault() const { return std::get<1>(GetParam()); }

  // Every printer is whole: its driver and its port exist.
  void ExpectNoHalfConfiguredPrinter() {
    for (const WStr& name : ReadPrinterList()) {
      WStr driver;
      GetPrinterDriverName(name, driver);
      EXPECT_TRUE(PrinterDriverExists(driver)) << ToUtf8(name);
      EXPECT_TRUE(PortExists(PortOf(name))) << ToUtf8(name);
    }
  }
  // A buffer folder, when there is one, holds every file of the package's driver folder whole.
  void ExpectBufferWholeOrAbsent() {
    if (!std::filesystem::exists(BufferFolder())) return;
    for (const auto& f : std::filesystem::directory_iterator(pkg("Driver"))) {
      std::filesystem::path copy = std::filesystem::path(BufferFolder()) / f.path().filename();
      ASSERT_TRUE(std::filesystem::exists(copy)) << copy;
      EXPECT_EQ(std::filesystem::file_size(copy), f.file_size()) << copy;
    }
  }
};

TEST_P(InstallFaultTest, EndsInTheDescribedOutcomeAndLeavesNothingHalfDone) {
  const FaultCase& f = fault();
  const auto& expected = kind().is64 ? f.on64 : f.on32;
  if (f.plugged) Plug();
  if (*f.image)
    winsim::add_machine_fault(dir, f.api, f.call, f.error, f.image);
  else
    winsim::add_fault(f.api, f.call, f.error);
  DoInstallSelectPrinter(true);
  winsim::clear_faults();
  winsim::clear_machine_faults(dir);

  EXPECT_EQ(view.outcomes, (std::vector<std::pair<bool, DWORD>>{*expected}));
  if (expected->first) {
    EXPECT_EQ(InstalledPrinterName, W_("Kelvane KV-1000"));
    EXPECT_EQ(ToUtf8(PortOf(W_("Kelvane KV-1000"))), f.port);
  }
  ExpectNoHalfConfiguredPrinter();
  ExpectBufferWholeOrAbsent();
}

// Each case on the kinds of Windows whose install path makes the failing call.
std::vector<std::tuple<Kind, FaultCase>> FaultRuns() {
  std::vector<std::tuple<Kind, FaultCase>> runs;
  for (const Kind& k : {Kind{false, 6, 1, 7601, 2052, "Win7x86_zh"}, Kind{true, 6, 1, 7601, 2052, "Win7x64_zh"}})
    for (const FaultCase& f : kFaults)
      if (k.is64 ? f.on64 : f.on32) runs.emplace_back(k, f);
  return runs;
}

INSTANTIATE_TEST_SUITE_P(Faults, InstallFaultTest, testing::ValuesIn(FaultRuns()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

// The same install twice on one machine: the second run finds the printer of the model's name
// already there, so nothing new is added and the machine stays as the first run left it.
TEST_P(InstallDriverTest, SecondRunOfTheSameInstallLeavesTheFirstPrinterAlone) {
  const bool plugged = GetParam().is64;  // one kind online, the other offline
  if (plugged) Plug();
  DoInstallSelectPrinter(true);
  ASSERT_EQ(view.outcomes, (std::vector<std::pair<bool, DWORD>>{{true, 0}}));
  const WStr firstPort = PortOf(W_("Kelvane KV-1000"));
  view.outcomes.clear();

  DoInstallSelectPrinter(true);
  EXPECT_EQ(view.outcomes, (std::vector<std::pair<bool, DWORD>>{{false, UIAddFailed}}));
  EXPECT_EQ(ReadPrinterList(), TStringList{W_("Kelvane KV-1000")});
  EXPECT_EQ(PortOf(W_("Kelvane KV-1000")), firstPort);
}

}  // namespace
