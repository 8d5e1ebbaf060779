// Machine folders: making, describing, bad folders, the state-file lock, and the winsim tool with
// programs run inside a machine.
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "support/machine_fixture.h"

using namespace testutil;

namespace {

class MachineFolder : public ::testing::Test {
 protected:
  std::string root = make_temp_dir();
  void TearDown() override { std::filesystem::remove_all(root); }

  std::string load_error(const std::string& dir) {
    try {
      winsim::describe_machine(dir);
    } catch (const winsim::MachineError& e) {
      return e.what();
    }
    return "";
  }
};

TEST_F(MachineFolder, NewMachineLayout) {
  winsim::MachineOptions o;
  ASSERT_TRUE(winsim::parse_version("5.1", o));
  o.is64 = false;
  o.language = 2052;
  winsim::create_machine(root + "/xp", o);
  auto sys = nlohmann::json::parse(read_file(root + "/xp/system.json"));
  EXPECT_EQ(sys["version"]["build"], 2600);
  EXPECT_EQ(sys["ansi_code_page"], 936);
  EXPECT_EQ(sys["folders"]["temp"], "C:\\Documents and Settings\\Administrator\\Local Settings\\Temp");
  EXPECT_FALSE(sys["folders"].contains("program_files_x86"));
  EXPECT_TRUE(std::filesystem::is_directory(root + "/xp/C/Documents and Settings/Administrator/Local Settings/Temp"));
  EXPECT_TRUE(std::filesystem::is_directory(root + "/xp/C/Windows/inf"));
  EXPECT_TRUE(std::filesystem::exists(root + "/xp/events.jsonl"));
  std::string text = winsim::describe_machine(root + "/xp");
  EXPECT_NE(text.find("5.1 build 2600 Service Pack 3, 32-bit"), std::string::npos) << text;
  EXPECT_NE(text.find("language    2052, ANSI code page 936"), std::string::npos) << text;

  for (const char* bad : {"6", "6.1.2.3", "x.y", "6.1.99999"}) EXPECT_FALSE(winsim::parse_version(bad, o)) << bad;
}

TEST_F(MachineFolder, BadFoldersGiveOneClearError) {
  EXPECT_EQ(load_error(root + "/none"), root + "/none: the machine folder does not exist");
  EXPECT_EQ(load_error(root), root + "/system.json: missing (not a machine folder)");

  winsim::create_machine(root + "/m", {});
  std::string file = root + "/m/system.json";
  auto good = nlohmann::json::parse(read_file(file));
  // Broken text and numbers out of any range alike are one error naming the file.
  for (const char* text : {"{ \"version\": ", "{\"version\": 1E400}", "[1e999999999]", "{\"a\": \"\\uD800\"}"}) {
    write_file(file, text);
    EXPECT_EQ(load_error(root + "/m").rfind(file + ": not valid JSON: ", 0), 0u) << text << " " << load_error(root + "/m");
  }

  struct Case {
    const char* pointer;
    nlohmann::json value;
    const char* message;
  } cases[] = {
      {"/version/major", nullptr, "missing \"version.major\""},
      {"/version/minor", "one", "\"version.minor\" must be a whole number"},
      {"/is64", 1, "\"is64\" must be true or false"},
      {"/ansi_code_page", 437, "\"ansi_code_page\" must be 936, 950 or 1252"},
      {"/folders/temp", "Temp", "folder \"Temp\" is not a full path such as C:\\Windows"},
      {"/drives", nlohmann::json{{"DD", "/x"}}, "drive \"DD\" must look like \"D:\": \"/host/folder\""},
      {"/drives", nlohmann::json{{"@:", "/x"}}, "drive \"@:\" must look like \"D:\": \"/host/folder\""},
      {"/version/build", 1e300, "\"version.build\" must be a whole number"},
      {"/version/major", 4294967296, "\"version.major\" is out of range"},
      // A folder on a drive that is no letter, or that the machine lacks, would stop every program.
      {"/folders/temp", "@:\\t", "folder \"@:\\t\" is not a full path such as C:\\Windows"},
      {"/folders/windows", "Q:\\Windows", "folder \"Q:\\Windows\" is on a drive the machine does not have"},
      {"/folders/program_files_x86", 7, "\"folders.program_files_x86\" must be a text"},
      {"/privileges", "SeShutdownPrivilege", "\"privileges\" must be a list of texts"},
      {"/missing_exports", nlohmann::json{1}, "\"missing_exports\" must be a list of texts"},
  };
  for (auto& tc : cases) {
    auto sys = good;
    nlohmann::json::json_pointer p(tc.pointer);
    if (tc.value.is_null())
      sys[p.parent_pointer()].erase(p.back());
    else
      sys[p] = tc.value;
    write_file(file, sys.dump());
    EXPECT_EQ(load_error(root + "/m"), file + ": " + tc.message);
  }
}

TEST_F(MachineFolder, BrokenFaultFilesNameTheFile) {
  winsim::create_machine(root + "/m", {});
  std::string file = root + "/m/faults.json";
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"{\"faults\": [", "not valid JSON: "},
      {"{\"faults\": [{\"api\": \"X\", \"call\": 1E400}]}", "not valid JSON: "},
      {"{\"faults\": 3}", "must hold an object with a list \"faults\""},
      {"{\"faults\": [{\"api\": 5}]}", "\"faults[0].api\" must be a text"},
      {"{\"faults\": [{\"api\": \"X\", \"call\": \"2\"}]}",
       "\"faults[0].call\" must be a whole number from 0 to 4294967295"},
      {"{\"faults\": [{\"api\": \"X\"}, {\"api\": \"Y\", \"error\": -5}]}",
       "\"faults[1].error\" must be a whole number from 0 to 4294967295"},
      {"{\"faults\": [{\"api\": \"X\", \"image\": []}]}", "\"faults[0].image\" must be a text"},
  };
  for (auto& tc : cases) {
    write_file(file, tc.text);
    EXPECT_EQ(load_error(root + "/m").rfind(file + ": " + tc.message, 0), 0u) << tc.text << "\n" << load_error(root + "/m");
    // Adding to a broken file leaves it as it is and says why.
    EXPECT_THROW(winsim::add_machine_fault(root + "/m", "Z", 1, 5), winsim::MachineError) << tc.text;
    EXPECT_EQ(read_file(file), tc.text);
  }
}

TEST_F(MachineFolder, StateFilesStayWholeUnderConcurrentWriters) {
  winsim::create_machine(root + "/m", {});
  constexpr int kEach = 40;
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    kids[k] = ::fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] == 0) {
      for (int i = 0; i < kEach; ++i) winsim::add_machine_fault(root + "/m", "Api" + std::to_string(k), i, 5);
      ::_exit(0);
    }
  }
  for (pid_t kid : kids) ::waitpid(kid, nullptr, 0);
  auto doc = nlohmann::json::parse(read_file(root + "/m/faults.json"));  // never half-written
  EXPECT_EQ(doc["faults"].size(), 2u * kEach);                           // no update lost
  for (auto& e : std::filesystem::directory_iterator(root + "/m"))
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

class Tool : public MachineFolder {
 protected:
  std::string tool = WINSIM_TOOL;
  CommandResult wsim(const std::string& args) { return run_command(tool + " " + args); }
};

TEST_F(Tool, ProbeInsideAWindows7ChineseMachine) {
  std::string m = root + "/win7zh";
  CommandResult made = wsim("new " + m + " --version 6.1 --bits 64 --lang 2052");
  ASSERT_EQ(made.status, 0) << made.output;
  EXPECT_NE(made.output.find("6.1 build 7601 Service Pack 1, 64-bit"), std::string::npos) << made.output;
  std::filesystem::create_directories(m + "/C/Probe");
  std::filesystem::copy_file(SYSPROBE32, m + "/C/Probe/sysprobe.exe");
  std::filesystem::copy_file(SYSPROBE64, m + "/C/Probe/sysprobe64.exe");

  CommandResult r32 = wsim("run " + m + " 'c:\\probe\\SYSPROBE.EXE'");
  ASSERT_EQ(r32.status, 0) << r32.output;
  for (const char* line : {"version 6.1 build 7601\n", "wow64 1\n", "native architecture 9\n", "language 2052\n",
                           "code page 936\n", "temp folder C:\\Users\\ADMINI~1\\AppData\\Local\\Temp\\\n"})
    EXPECT_NE(r32.output.find(line), std::string::npos) << line << r32.output;
  CommandResult r64 = wsim("run " + m + " 'C:\\Probe\\sysprobe64.exe'");
  ASSERT_EQ(r64.status, 0) << r64.output;
  EXPECT_NE(r64.output.find("wow64 0\n"), std::string::npos) << r64.output;

  // A fault armed in the machine reaches the program.
  ASSERT_EQ(wsim("fault " + m + " GetVersionExW --error 5 --image sysprobe.exe").status, 0);
  CommandResult failed = wsim("run " + m + " 'C:\\Probe\\sysprobe.exe'");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.output, "GetVersionExW failed: 5\n");
  EXPECT_EQ(wsim("run " + m + " 'C:\\Probe\\sysprobe64.exe'").status, 0);
  ASSERT_EQ(wsim("fault " + m + " --clear").status, 0);

  // Mapped drive and current folder.
  std::string pkg = root + "/pkg";
  std::filesystem::create_directories(pkg);
  std::filesystem::copy_file(SYSPROBE32, pkg + "/sysprobe.exe");
  CommandResult mapped = wsim("run " + m + " --map D:=" + pkg + " --cd 'C:\\Windows' 'D:\\sysprobe.exe'");
  EXPECT_EQ(mapped.status, 0) << mapped.output;
}

TEST_F(Tool, PlainErrors) {
  struct Case {
    std::string args;
    int status;
    std::string says;
  } cases[] = {
      {"", 2, "winsim: no command"},
      {"new", 2, "winsim: new needs a folder"},
      {"new " + root + "/x --bits 16", 2, "winsim: --bits takes 32 or 64"},
      {"new " + root + "/x --version seven", 2, "winsim: --version takes X.Y or X.Y.BUILD"},
      {"show " + root + "/none", 1, "winsim: " + root + "/none: the machine folder does not exist"},
      {"run " + root + "/none C:\\x.exe", 1, "winsim: " + root + "/none: the machine folder does not exist"},
  };
  for (auto& tc : cases) {
    CommandResult r = wsim(tc.args);
    EXPECT_EQ(r.status, tc.status) << tc.args;
    EXPECT_EQ(r.output.rfind(tc.says, 0), 0u) << tc.args << "\n" << r.output;
  }
  ASSERT_EQ(wsim("new " + root + "/m").status, 0);
  EXPECT_EQ(wsim("new " + root + "/m").status, 1);  // an existing machine is never overwritten
  CommandResult missing = wsim("run " + root + "/m 'C:\\nothing.exe'");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.output, "winsim: C:\\nothing.exe is not a file in the machine\n");
}

TEST_F(Tool, ProgramWithABrokenMachineStopsWithTheReason) {
  winsim::create_machine(root + "/m", {});
  write_file(root + "/m/system.json", "[1,");
  CommandResult r = run_command("WINSIM_MACHINE=" + root + "/m " SYSPROBE32);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.output.rfind("winsim: " + root + "/m/system.json: not valid JSON", 0), 0u) << r.output;

  // A broken fault file stops a program the same way, at its first call, instead of aborting it.
  winsim::create_machine(root + "/f", {});
  write_file(root + "/f/faults.json", "{\"faults\": [{\"api\": \"X\", \"call\": 1E400}]}");
  r = run_command("WINSIM_MACHINE=" + root + "/f " SYSPROBE32);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.output.rfind("winsim: " + root + "/f/faults.json: not valid JSON", 0), 0u) << r.output;
}

}  // namespace
