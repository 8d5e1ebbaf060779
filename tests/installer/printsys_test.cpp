// The command runner, the name-list filters, the privilege and the restart.
#include <nlohmann/json.hpp>

#include "installer/printsys/RunCmd.h"
#include "support/installer_fixture.h"

using namespace testutil;

namespace {

class RunCmdTest : public InstallerTest {};

TEST_F(RunCmdTest, ResultCodesAndOutput) {
  TStringList out = {W_("kept")};
  EXPECT_EQ(RunCMD_pipe(W_("nosuchprogram /x"), out), -2);
  EXPECT_EQ(out, TStringList{W_("kept")});  // untouched
  EXPECT_EQ(LogTexts(log), std::vector<std::string>{ToAnsi(W_("RunCMD 創建調用進程失敗，函數退出！"))});
  EXPECT_EQ(log->records[0].MsgType, dmtError);

  out.clear();
  EXPECT_EQ(RunCMD_pipe(W_("sayit /exit 5"), out), 0);  // ran, wrote nothing
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(RunCMD_pipe(W_("sayit printer added"), out), 1);
  EXPECT_EQ(out, TStringList{W_("printer added\r\n")});
  out.clear();
  EXPECT_EQ(RunCMD_pipe(W_("cmd /c echo done"), out), 1);
  EXPECT_EQ(out, TStringList{W_("done\r\n")});
}

TEST_F(RunCmdTest, LongOutputComesInChunksOfAtMost4096Bytes) {
  std::string big;
  for (int i = 0; i < 3000; ++i) big += "line " + std::to_string(i) + "\r\n";
  write_file(c("Work/big.txt"), big);
  TStringList out;
  EXPECT_EQ(RunCMD_pipe(W_("sayit /file C:\\Work\\big.txt /sleep 100"), out), 1);
  std::string joined;
  for (auto& chunk : out) {
    EXPECT_LE(chunk.size(), 4096u);
    joined += ToUtf8(chunk);
  }
  EXPECT_EQ(joined, big);
  EXPECT_GE(out.size(), 6u);
}

TEST_F(RunCmdTest, TooLongACommandIsNotRunCutShort) {
  write_file(c("Work/victim.txt"), "still here");
  WStr cmd = W_("cmd /c del /q C:\\Work\\victim.txt ") + WStr(240, u'a');  // 275 characters
  TStringList out;
  EXPECT_EQ(RunCMD_pipe(cmd, out), -2);
  EXPECT_EQ(read_file(c("Work/victim.txt")), "still here");
  EXPECT_EQ(RunCMD_pipe(cmd.substr(0, 255), out), 0);  // 255 fit
  EXPECT_FALSE(std::filesystem::exists(c("Work/victim.txt")));
}

TEST_F(RunCmdTest, PipeFailures) {
  TStringList out;
  winsim::add_fault("CreatePipe", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(RunCMD_pipe(W_("sayit x"), out), -1);
  winsim::add_fault("PeekNamedPipe", 1, ERROR_BROKEN_PIPE);
  EXPECT_EQ(RunCMD_pipe(W_("sayit x"), out), 0);
  EXPECT_TRUE(out.empty());
  auto texts = LogTexts(log);
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], ToAnsi(W_("RunCMD 創建管道失敗，函數退出！")));
  EXPECT_EQ(texts[1], ToAnsi(W_("RunCMD 讀取命名管道失敗，函數退出！")));
}

TEST(NameFilters, KeepAndRemove) {
  TStringList list = {W_("Model 7"), W_("Other Model 7"), W_("MODEL 7 (Copy 1)"), W_("model 70")};
  KeepNamesWithPrefix(list, W_("model 7"));
  EXPECT_EQ(list, (TStringList{W_("Model 7"), W_("MODEL 7 (Copy 1)"), W_("model 70")}));
  KeepNamesWithPrefix(list, W_(""));  // an empty prefix begins nothing
  EXPECT_TRUE(list.empty());

  TStringList after = {W_("model 7"), W_("Model 7 (Copy 1)"), W_("Fax")};
  RemoveListedNames(after, {W_("MODEL 7"), W_("fax")});
  EXPECT_EQ(after, TStringList{W_("Model 7 (Copy 1)")});
  RemoveListedNames(after, {});
  EXPECT_EQ(after.size(), 1u);
  // Only ASCII letters fold: "É" and "é" differ.
  TStringList accented = {W_("Élan")};
  RemoveListedNames(accented, {W_("élan")});
  EXPECT_EQ(accented.size(), 1u);
}

TEST_F(RunCmdTest, PrivilegeAndRestart) {
  EXPECT_TRUE(EnablePrivilege(W_("SeShutdownPrivilege"), true));
  EXPECT_TRUE(RestartWindows());
  auto events = winsim::read_events(dir);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(events[0])["action"], "restart");

  auto sys = nlohmann::json::parse(read_file(dir + "/system.json"));
  sys["privileges"] = nlohmann::json::array();
  write_file(dir + "/system.json", sys.dump());
  winsim::use_machine(dir);
  try {
    RestartWindows();
    FAIL() << "no error";
  } catch (const KelvaneError& e) {
    EXPECT_EQ(ToUtf8(e.message()), "Not all privileges or groups referenced are assigned to the caller.");
  }
  EXPECT_EQ(winsim::read_events(dir).size(), 1u);  // no second restart
  EXPECT_THROW(EnablePrivilege(W_("SeNoSuchPrivilege"), true), KelvaneError);
}

}  // namespace
