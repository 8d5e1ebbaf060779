// Start-up and shutdown: version and 64-bit tests, the language suffix, staging of the embedded
// files, the PATH extension and the removal of the staging folder.
#include <nlohmann/json.hpp>
#include <set>

#include "support/installer_fixture.h"

using namespace testutil;

namespace {

class StartupTest : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    put("Driver/kv.inf", "");
    put("Kelvane.ini",
        "[Resource]\r\nDBGMSG=1\r\n[PrinterInfo]\r\nPrinterName=A\r\nPrinterID=X\r\nRoot=\r\nINF=Driver\\kv.inf\r\n");
  }
  std::string host(const WStr& windows_path) {
    return winsim::host_path(std::u16string(windows_path.begin(), windows_path.end()));
  }
};

TEST(LanguageSuffix, ByTheSystemLanguage) {
  std::string root = make_temp_dir();
  struct Case {
    unsigned lang;
    const WCHAR* code;
    const char* suffix;
  } cases[] = {{2052, W_(""), "_CN"}, {4100, W_(""), "_CN"},   {1028, W_(""), "_EN"},
               {1033, W_(""), "_EN"}, {1033, W_("TW"), "_TW"}, {2052, W_("TW"), "_TW"}};
  for (auto& tc : cases) {
    winsim::MachineOptions o;
    o.language = tc.lang;
    std::string dir = root + "/" + std::to_string(tc.lang);
    if (!std::filesystem::exists(dir)) winsim::create_machine(dir, o);
    winsim::use_machine(dir);
    EXPECT_EQ(ToUtf8(LanguageSuffix(W_("_"), tc.code)), tc.suffix) << tc.lang;
  }
  std::filesystem::remove_all(root);
}

TEST_F(StartupTest, VersionAndSixtyFourBitTests) {
  EXPECT_EQ(GetWinVersion(), 61);
  EXPECT_TRUE(DetectWin64());  // a 32-bit image on 64-bit Windows
  winsim::add_fault("GetProcAddress:IsWow64Process", 0, ERROR_PROC_NOT_FOUND);
  EXPECT_FALSE(DetectWin64());
  winsim::clear_faults();

  winsim::MachineOptions o;
  o.is64 = false;
  std::string x86 = std::filesystem::path(dir).parent_path().string() + "/x86";
  winsim::create_machine(x86, o);
  winsim::use_machine(x86);
  EXPECT_NE(GetProcAddress(GetModuleHandleW(W_("kernel32")), "IsWow64Process"), nullptr);
  EXPECT_FALSE(DetectWin64());  // IsWow64Process exists but says no
}

TEST_F(StartupTest, StagesTheEmbeddedFiles) {
  _ResLoad(W_(""));
  EXPECT_FALSE(ApplicationTerminated);
  EXPECT_EQ(ToUtf8(ConfigFilePath), "C:\\Pkg\\Kelvane.ini");
  EXPECT_EQ(InstallInfos().GetCount(), 1);
  const std::string prefix = "C:\\Users\\Administrator\\AppData\\Local\\Temp\\PrinterSetup\\tmp";
  ASSERT_EQ(ToUtf8(StagingDir).rfind(prefix, 0), 0u) << ToUtf8(StagingDir);
  // The folder's name is that of a temporary file, which stays in the temporary folder while the
  // installer runs.
  WStr tmpName = StagingDir.substr(StagingDir.find_last_of(u'\\') + 1);
  EXPECT_TRUE(FileExists(W_("C:\\Users\\Administrator\\AppData\\Local\\Temp\\") + tmpName + W_(".tmp")));

  struct Staged {
    const WStr& path;
    const char* name;
    std::string source;
  } staged[] = {{PindleDllPath, "pindle.dll", KELVANE_BIN "/pindle.dll"},
                {TrellumDllPath, "Trellum.dll", KELVANE_BIN "/Trellum.dll"},
                {Pindle64DllPath, "pindle64.dll", KELVANE_BIN "/pindle64.dll"},
                {RaltoExePath, "Ralto64.exe", KELVANE_BIN "/Ralto64.exe"},
                {LangFilePath, "Lang\\Strings.ini", KELVANE_LANG "/Strings_EN.ini"}};
  for (auto& s : staged) {
    EXPECT_EQ(ToUtf8(s.path), ToUtf8(StagingDir) + "\\" + s.name);
    EXPECT_EQ(read_file(host(s.path)), read_file(s.source)) << s.name;  // byte for byte
  }
  EXPECT_EQ(ToUtf8(StagingPicturesDir), "");
  EXPECT_EQ(ToUtf8(LangStrings.NoticeTitle), "Notice");

  WCHAR path[4096];
  DWORD n = GetEnvironmentVariableW(W_("PATH"), path, 4096);
  EXPECT_EQ(ToUtf8(WStr(path, n)),
            "C:\\Windows\\system32;C:\\Windows;C:\\Windows\\system32\\Wbem;" + ToUtf8(StagingDir));
  // The USB access library is found by name through it.
  HMODULE trellum = LoadLibraryW(W_("Trellum.dll"));
  ASSERT_NE(trellum, nullptr);
  WCHAR loaded[MAX_PATH];
  n = GetModuleFileNameW(trellum, loaded, MAX_PATH);
  EXPECT_EQ(WStr(loaded, n), TrellumDllPath);

  // At the end the folder goes, except the library still loaded; the name's reservation goes
  // at once, the parent stays while the staging folder waits for the restart.
  const WStr staging = StagingDir;
  StagingCleanup();
  EXPECT_EQ(PrintersBeforeInstall, nullptr);
  EXPECT_FALSE(FileExists(W_("C:\\Users\\Administrator\\AppData\\Local\\Temp\\") + tmpName + W_(".tmp")));
  EXPECT_TRUE(DirectoryExists(W_("C:\\Users\\Administrator\\AppData\\Local\\Temp\\PrinterSetup")));
  EXPECT_TRUE(FileExists(TrellumDllPath));
  EXPECT_FALSE(FileExists(PindleDllPath));
  // What had to stay goes when Windows next starts: the library, then its folder.
  auto pending = nlohmann::json::parse(read_file(dir + "/pending_file_operations.json"))["operations"];
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0]["from"], ToUtf8(TrellumDllPath));
  EXPECT_EQ(pending[1]["from"], ToUtf8(staging));
  EXPECT_TRUE(pending[1]["to"].is_null());
  EXPECT_FALSE(DirectoryExists(staging + W_("\\Lang")));
  FreeLibrary(trellum);
  auto texts = LogTexts(log);
  std::vector<std::string> want = {"No Compatible Informations !!!",  // while the configuration loads
                                   "Enter: _ResLoad()",
                                   ToAnsi(W_("准备創建臨時文件夾：") + staging),
                                   ToAnsi(W_("准备从文件") + staging + W_("\\Lang\\Strings.ini加载界面字符串資源文件")),
                                   "Leave: _ResLoad()",
                                   ToAnsi(W_("准备刪除臨時文件夾：") + staging),
                                   ToAnsi(W_("程序將退出，byby ！")),
                                   "-"};
  EXPECT_EQ(texts, want);
  EXPECT_EQ(log->records[2].Tag, ToAnsi(W_("加载")));
  EXPECT_EQ(log->records[5].Tag, ToAnsi(W_("清理")));
}

TEST_F(StartupTest, ChineseSystemsStageTheChineseFileAndPicturesAreCopied) {
  winsim::MachineOptions o;
  o.language = 2052;
  std::string zh = std::filesystem::path(dir).parent_path().string() + "/zh";
  winsim::create_machine(zh, o);
  std::filesystem::copy(dir + "/C/Pkg", zh + "/C/Pkg", std::filesystem::copy_options::recursive);
  write_file(zh + "/C/Pkg/Pictures/Buttons/start.png", "png");
  write_file(zh + "/C/Pkg/Pictures/back.png", "back");
  winsim::use_machine(zh);
  winsim::declare_image(32, "C:\\Pkg\\Kelvane.exe");
  ASSERT_TRUE(SetCurrentDirectoryW(W_("C:\\Pkg")));
  InitializeRunState();
  _ResLoad(W_(""));
  EXPECT_EQ(read_file(host(LangFilePath)), read_file(KELVANE_LANG "/Strings_CN.ini"));
  EXPECT_EQ(ToUtf8(LangStrings.NoticeTitle), "注意");
  EXPECT_EQ(ToUtf8(StagingPicturesDir), ToUtf8(StagingDir) + "\\Pictures\\");
  EXPECT_EQ(read_file(host(StagingPicturesDir + W_("Buttons\\start.png"))), "png");
  EXPECT_EQ(read_file(host(StagingPicturesDir + W_("back.png"))), "back");
  StagingCleanup();
}

TEST_F(StartupTest, ConfigurationIsLookedForInTheCurrentFolder) {
  std::filesystem::create_directories(c("Elsewhere"));
  ASSERT_TRUE(SetCurrentDirectoryW(W_("C:\\Elsewhere")));
  _ResLoad(W_(""));  // C:\Pkg\Kelvane.ini beside the executable is not looked at
  EXPECT_EQ(ToUtf8(ConfigFilePath), "C:\\Elsewhere\\Kelvane.ini");
  EXPECT_TRUE(ApplicationTerminated);
  EXPECT_EQ(InstallInfos().GetCount(), 0);
  auto events = winsim::read_events(dir);
  ASSERT_FALSE(events.empty());
  auto box = nlohmann::json::parse(events[0]);
  EXPECT_EQ(box["type"], "messagebox");
  EXPECT_EQ(box["text"], "安装配置文件（C:\\Elsewhere\\Kelvane.ini）不存在，程序退出！");
  EXPECT_EQ(box["caption"], "出錯了");
  EXPECT_EQ(box["style"], MB_ICONERROR);
  // Start-up goes on: the staging and the shutdown still run.
  EXPECT_TRUE(DirectoryExists(StagingDir));
  StagingCleanup();
  EXPECT_FALSE(DirectoryExists(StagingDir));
}

TEST_F(StartupTest, ARunLeavesNothingInTheTemporaryFolder) {
  const std::string temp = c("Users/Administrator/AppData/Local/Temp");
  auto listing = [&] {
    std::set<std::string> names;
    for (auto& e : std::filesystem::recursive_directory_iterator(temp)) names.insert(e.path().string());
    return names;
  };
  // Alone, the run takes the common parent with it; beside another run's folder, the parent stays.
  for (bool other : {false, true}) {
    SCOPED_TRACE(other ? "beside another run" : "alone");
    if (other) std::filesystem::create_directories(temp + "/PrinterSetup/tmpB2C3");
    const auto before = listing();
    _ResLoad(W_(""));
    EXPECT_NE(listing(), before);
    StagingCleanup();
    EXPECT_EQ(listing(), before);
  }
}

TEST_F(StartupTest, TwoRunsStageIntoTwoFolders) {
  _ResLoad(W_(""));
  WStr first = StagingDir;
  _ResLoad(W_(""));
  EXPECT_NE(first, StagingDir);
  EXPECT_TRUE(DirectoryExists(first));
  EXPECT_TRUE(DirectoryExists(StagingDir));
}

TEST_F(StartupTest, AStagedFileThatCannotBeWrittenEndsStartUp) {
  winsim::add_fault("WriteFile", 4, ERROR_DISK_FULL);  // the language file, pindle, Trellum, then pindle64
  try {
    _ResLoad(W_(""));
    FAIL() << "start-up went on";
  } catch (const KelvaneError& e) {
    EXPECT_EQ(ToUtf8(e.message()),
              "Cannot create file \"" + ToUtf8(Pindle64DllPath) + "\". There is not enough space on the disk.");
  }
}

}  // namespace
