// Kelvane.exe run inside simulated machines with a scripted user: staging, the missing and the
// faulty configuration, two installers at once.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "support/scenario_fixture.h"
#include "win32/user.h"

using namespace testutil;
using nlohmann::json;

namespace {

class StagingScenario : public Scenario {
 protected:
  const std::string temp = "C:\\Users\\Administrator\\AppData\\Local\\Temp";

  // What a run left in the temporary folder: its staging folder, the PrinterSetup parent and the
  // file that reserved the staging folder's name must all be gone.
  std::vector<std::string> staging_left() {
    std::vector<std::string> left;
    std::string dir = machine + "/C/Users/Administrator/AppData/Local/Temp";
    for (auto& e : std::filesystem::recursive_directory_iterator(dir))
      left.push_back(std::filesystem::relative(e.path(), dir).string());
    return left;
  }
};

TEST_F(StagingScenario, StagesInAWindows7EnglishMachineAndCleansUpAtExit) {
  make("--version 6.1 --bits 64 --lang 1033");
  CommandResult r = kelvane("look " + temp + "\\PrinterSetup\nenv PATH\nclose Driver Setup\n");
  ASSERT_EQ(r.status, 0) << r.output;
  auto looks = events("user");
  ASSERT_GE(looks.size(), 3u);
  std::vector<std::string> entries = looks[0]["entries"];
  ASSERT_FALSE(entries.empty());
  std::string tmp = entries[0].substr(0, entries[0].size() - 1);
  EXPECT_EQ(tmp.rfind("tmp", 0), 0u);
  std::vector<std::string> want = {tmp + "\\", tmp + "\\Lang\\", tmp + "\\Lang\\Strings.ini", tmp + "\\Pictures\\"};
  std::vector<std::string> pictures;  // the package's whole Pictures folder
  for (auto& f : std::filesystem::directory_iterator(EXAMPLES_DIR "/package/Pictures"))
    pictures.push_back(tmp + "\\Pictures\\" + f.path().filename().string());
  std::sort(pictures.begin(), pictures.end());
  want.insert(want.end(), pictures.begin(), pictures.end());
  want.insert(want.end(), {tmp + "\\Ralto64.exe",
                           tmp + "\\Trellum.dll", tmp + "\\pindle.dll", tmp + "\\pindle64.dll"});
  EXPECT_EQ(entries, want);
  std::string path = looks[1]["value"];
  EXPECT_EQ(path, "C:\\Windows\\system32;C:\\Windows;C:\\Windows\\system32\\Wbem;" + temp + "\\PrinterSetup\\" + tmp);
  EXPECT_EQ(looks[2]["window"], "Driver Setup");
  auto windows = events("window");
  ASSERT_EQ(windows.size(), 3u);
  EXPECT_EQ(windows[0]["action"], "show");
  EXPECT_EQ(windows[1]["action"], "painted");  // drawn whole before the user acted
  EXPECT_EQ(windows[2]["action"], "destroy");
  EXPECT_TRUE(events("messagebox").empty());
  EXPECT_EQ(staging_left(), std::vector<std::string>{});
}

TEST_F(StagingScenario, WithoutTheConfigurationTheProgramSaysSoAndEnds) {
  make("--version 6.1 --bits 64 --lang 2052");
  std::filesystem::remove(machine + "/C/Package/Kelvane.ini");
  CommandResult r = kelvane("");
  EXPECT_EQ(r.status, 0) << r.output;
  auto boxes = events("messagebox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]["text"], "安装配置文件（C:\\Package\\Kelvane.ini）不存在，程序退出！");
  EXPECT_EQ(boxes[0]["caption"], "出錯了");
  EXPECT_EQ(boxes[0]["style"], MB_ICONERROR);
  EXPECT_TRUE(events("window").empty());  // the window never shows
  EXPECT_EQ(staging_left(), std::vector<std::string>{});
}

TEST_F(StagingScenario, AFaultyConfigurationEndsStartUpWithItsText) {
  make("--version 6.1 --bits 64 --lang 1033");
  std::string ini = read_file(machine + "/C/Package/Kelvane.ini");
  ini.replace(ini.find("PrinterName=Kelvane KV-2000"), 27, "PrinterName=");
  write_file(machine + "/C/Package/Kelvane.ini", ini);
  CommandResult r = kelvane("");
  EXPECT_EQ(r.status, 1) << r.output;
  auto boxes = events("messagebox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]["text"], "PrinterInfo2 配置文件出错，打印机名称不存在！");
  EXPECT_EQ(boxes[0]["caption"], "Kelvane");
  EXPECT_EQ(boxes[0]["style"], MB_ICONERROR);
  EXPECT_TRUE(events("window").empty());
  EXPECT_EQ(staging_left(), std::vector<std::string>{});  // nothing was staged
}

TEST_F(StagingScenario, TwoInstallersAtOnceStageIntoTwoFolders) {
  make("--version 6.1 --bits 64 --lang 1033");
  write_file(root + "/script.txt", "wait 300\nlook " + temp + "\\PrinterSetup\nclose\n");
  std::string cmd =
      std::string(WINSIM_TOOL) + " run " + machine + " --script " + root + "/script.txt 'C:\\Package\\Kelvane.exe'";
  CommandResult r = run_command("(" + cmd + " & " + cmd + " & wait)");
  EXPECT_EQ(r.status, 0) << r.output;
  std::set<std::string> folders;
  for (auto& e : events("user"))
    if (e["action"] == "look")
      for (std::string entry : e["entries"])
        if (entry.back() == '\\' && std::count(entry.begin(), entry.end(), '\\') == 1) folders.insert(entry);
  EXPECT_EQ(folders.size(), 2u);
  EXPECT_EQ(staging_left(), std::vector<std::string>{});
}

TEST_F(StagingScenario, TheViewerBesideTheInstallerGetsEveryLineWithItsIndent) {
  make("--version 6.1 --bits 64 --lang 2052");  // DBGMSG=1 in the sample; Chinese lines arrive intact
  std::filesystem::create_directories(machine + "/C/Tools");
  std::filesystem::copy_file(VIEWER_EXE, machine + "/C/Tools/DebugLogViewer.exe");
  CommandResult r = kelvane("close Driver Setup\n",
                            "--viewer 'C:\\Tools\\DebugLogViewer.exe -q -o C:\\Tools\\log.txt -j C:\\Tools\\log.jsonl'");
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<json> lines;
  std::ifstream in(machine + "/C/Tools/log.jsonl");
  for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
  size_t enter = 0;
  while (enter < lines.size() && lines[enter]["text"] != "Enter: _ResLoad()") ++enter;
  ASSERT_LT(enter + 2, lines.size());
  EXPECT_EQ(lines[enter]["indent"], 0);
  EXPECT_EQ(lines[enter + 1]["indent"], 1);  // inside _ResLoad()
  EXPECT_EQ(lines[enter + 1]["tag"], "加载");
  EXPECT_EQ(lines[lines.size() - 2]["text"], "程序將退出，byby ！");
  EXPECT_EQ(lines.back()["type"], "separator");
  bool left = false;
  for (auto& l : lines)
    if (l["text"] == "Leave: _ResLoad()") left = l["indent"] == 0;
  EXPECT_TRUE(left);
  // The text file holds the same lines.
  std::string text = read_file(machine + "/C/Tools/log.txt");
  EXPECT_EQ(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')), lines.size());
  EXPECT_NE(text.find("程序將退出，byby ！"), std::string::npos);
}

}  // namespace
