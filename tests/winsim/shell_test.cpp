// Shell services: the program-files folder by image and machine bitness, and SHFileOperationW
// copying and deleting whole trees with its FOF_ flags, confirmations and error boxes.
#include <nlohmann/json.hpp>

#include "support/machine_fixture.h"
#include "win32/shell.h"

using namespace testutil;

namespace {

class ShellTest : public MachineTest {
 protected:
  void TearDown() override {
    ::unsetenv("WINSIM_USER_SCRIPT");
    MachineTest::TearDown();
  }
  WStr folder(int csidl, HRESULT expect = S_OK) {
    WCHAR buf[MAX_PATH] = {u'?'};
    EXPECT_EQ(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buf), expect);
    return buf;
  }
  // A list of paths as the shell takes it: each terminated, one more terminator at the end.
  static WStr list(std::initializer_list<const char16_t*> paths) {
    WStr out;
    for (auto* p : paths) out += WStr(p) + WStr(1, u'\0');
    return out + WStr(1, u'\0');
  }
  int op(UINT func, const WStr& from, const WStr& to, FILEOP_FLAGS flags, BOOL* aborted = nullptr) {
    SHFILEOPSTRUCTW s{};
    s.wFunc = func;
    s.pFrom = from.c_str();
    s.pTo = to.empty() ? nullptr : to.c_str();
    s.fFlags = flags;
    s.fAnyOperationsAborted = 7;
    int r = SHFileOperationW(&s);
    if (aborted) *aborted = s.fAnyOperationsAborted;
    return r;
  }
  size_t boxes() {
    size_t n = 0;
    for (auto& line : winsim::read_events(dir))
      if (nlohmann::json::parse(line)["type"] == "messagebox") ++n;
    return n;
  }
  void tree() {
    write_file(c("Src/a.txt"), "A");
    write_file(c("Src/b.log"), "B");
    write_file(c("Src/sub/deep/c.txt"), "C");
  }
  static constexpr FILEOP_FLAGS kQuiet = FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_SILENT | FOF_NOERRORUI;
};

class Shell32BitTest : public ShellTest {
 protected:
  winsim::MachineOptions options() override {
    winsim::MachineOptions o;
    o.is64 = false;
    return o;
  }
};

TEST_F(ShellTest, ProgramFilesFollowsTheImagesBitness) {
  EXPECT_EQ(folder(CSIDL_PROGRAM_FILES), W_("C:\\Program Files (x86)"));  // a 32-bit image on 64-bit Windows
  EXPECT_EQ(folder(CSIDL_PROGRAM_FILESX86), W_("C:\\Program Files (x86)"));
  EXPECT_EQ(folder(CSIDL_WINDOWS), W_("C:\\Windows"));
  EXPECT_EQ(folder(0x7777, E_INVALIDARG), W_(""));
  WCHAR buf[MAX_PATH];
  EXPECT_TRUE(SHGetSpecialFolderPathW(nullptr, buf, CSIDL_PROGRAM_FILES, FALSE));
  EXPECT_EQ(WStr(buf), W_("C:\\Program Files (x86)"));
  winsim::declare_image(64, "C:\\app\\test64.exe");
  EXPECT_EQ(folder(CSIDL_PROGRAM_FILES), W_("C:\\Program Files"));
  EXPECT_EQ(folder(CSIDL_PROGRAM_FILESX86), W_("C:\\Program Files (x86)"));
  // Through the module, as a program finds it.
  HMODULE shell = LoadLibraryW(W_("shell32.dll"));
  ASSERT_NE(shell, nullptr);
  for (const char* name : {"SHFileOperationW", "SHGetFolderPathW", "SHGetSpecialFolderPathW"})
    EXPECT_NE(GetProcAddress(shell, name), nullptr) << name;
  FreeLibrary(shell);
}

TEST_F(Shell32BitTest, ProgramFilesOnA32BitMachine) {
  EXPECT_EQ(folder(CSIDL_PROGRAM_FILES), W_("C:\\Program Files"));
  EXPECT_EQ(folder(CSIDL_PROGRAM_FILESX86), W_("C:\\Program Files"));
}

TEST_F(ShellTest, CopiesTreesPatternsAndCollisions) {
  tree();
  EXPECT_EQ(op(FO_COPY, list({u"C:\\Src"}), list({u"C:\\Dst"}), kQuiet), 0);  // the folder becomes C:\Dst
  EXPECT_EQ(read_file(c("Dst/sub/deep/c.txt")), "C");
  EXPECT_EQ(read_file(c("Dst/a.txt")), "A");
  EXPECT_EQ(op(FO_COPY, list({u"C:\\Src"}), list({u"C:\\Dst"}), kQuiet), 0);  // into the existing folder
  EXPECT_EQ(read_file(c("Dst/Src/b.log")), "B");

  // A pattern goes into a folder made for it; files only leaves the subfolder out.
  EXPECT_EQ(op(FO_COPY, list({u"C:\\Src\\*"}), list({u"C:\\Flat"}), kQuiet | FOF_FILESONLY), 0);
  EXPECT_TRUE(std::filesystem::exists(c("Flat/a.txt")));
  EXPECT_TRUE(std::filesystem::exists(c("Flat/b.log")));
  EXPECT_FALSE(std::filesystem::exists(c("Flat/sub")));

  write_file(c("Src/a.txt"), "A2");
  EXPECT_EQ(op(FO_COPY, list({u"C:\\Src\\a.txt"}), list({u"C:\\Flat"}), kQuiet), 0);  // replaced
  EXPECT_EQ(read_file(c("Flat/a.txt")), "A2");
  EXPECT_EQ(op(FO_COPY, list({u"C:\\Src\\a.txt"}), list({u"C:\\Flat"}), kQuiet | FOF_RENAMEONCOLLISION), 0);
  EXPECT_EQ(read_file(c("Flat/a - Copy.txt")), "A2");
  EXPECT_EQ(op(FO_COPY, list({u"C:\\Src\\a.txt"}), list({u"C:\\Flat"}), kQuiet | FOF_RENAMEONCOLLISION), 0);
  EXPECT_TRUE(std::filesystem::exists(c("Flat/a - Copy (2).txt")));

  // Two sources to two names.
  EXPECT_EQ(op(FO_COPY, list({u"C:\\Src\\a.txt", u"C:\\Src\\b.log"}), list({u"C:\\One.txt", u"C:\\Two.txt"}),
               kQuiet | FOF_MULTIDESTFILES),
            0);
  EXPECT_EQ(read_file(c("Two.txt")), "B");

  EXPECT_EQ(op(FO_COPY, list({u"C:\\Src"}), list({u"C:\\Src\\sub"}), kQuiet), 0x76);  // into itself
  EXPECT_EQ(op(FO_COPY, list({u"C:\\Src\\a.txt"}), list({u"C:\\Src\\a.txt"}), kQuiet), 0x71);
  EXPECT_EQ(op(FO_COPY, list({u"C:\\Nothing"}), list({u"C:\\Dst"}), kQuiet), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(op(FO_COPY, list({}), list({u"C:\\Dst"}), kQuiet), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(boxes(), 0u);
}

TEST_F(ShellTest, DeletesTreesReadOnlyFilesIncluded) {
  tree();
  SetFileAttributesW(W_("C:\\Src\\sub\\deep\\c.txt"), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(op(FO_DELETE, list({u"C:\\Src\\*.log"}), W_(""), kQuiet), 0);
  EXPECT_FALSE(std::filesystem::exists(c("Src/b.log")));
  EXPECT_TRUE(std::filesystem::exists(c("Src/a.txt")));
  EXPECT_EQ(op(FO_DELETE, list({u"C:\\Src\\*.none"}), W_(""), kQuiet), 0);  // a pattern matching nothing
  EXPECT_EQ(op(FO_DELETE, list({u"C:\\Src"}), W_(""), kQuiet), 0);
  EXPECT_FALSE(std::filesystem::exists(c("Src")));
  EXPECT_EQ(op(FO_DELETE, list({u"C:\\Src"}), W_(""), kQuiet), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(boxes(), 0u);
  // Without FOF_NOERRORUI the failure is shown.
  EXPECT_EQ(op(FO_DELETE, list({u"C:\\Src"}), W_(""), FOF_NOCONFIRMATION), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(boxes(), 1u);
}

TEST_F(ShellTest, AUserWhoSaysNoAbortsTheDeletion) {
  tree();
  write_file(dir + "/../script.txt", "box NO *permanently delete*\n");
  ::setenv("WINSIM_USER_SCRIPT", (dir + "/../script.txt").c_str(), 1);
  winsim::use_machine(dir);
  BOOL aborted = FALSE;
  EXPECT_EQ(op(FO_DELETE, list({u"C:\\Src\\a.txt", u"C:\\Src\\b.log"}), W_(""), FOF_SILENT, &aborted), ERROR_CANCELLED);
  EXPECT_TRUE(aborted);
  EXPECT_TRUE(std::filesystem::exists(c("Src/a.txt")));
  ASSERT_EQ(boxes(), 1u);
  // The next box takes its default button: Yes.
  EXPECT_EQ(op(FO_DELETE, list({u"C:\\Src\\a.txt"}), W_(""), FOF_SILENT, &aborted), 0);
  EXPECT_FALSE(aborted);
  EXPECT_FALSE(std::filesystem::exists(c("Src/a.txt")));
}

}  // namespace

namespace {

TEST_F(ShellTest, ShellExecuteStartsProgramsAndRecordsDocuments) {
  write_file(c("Pkg/Doc/Guide.txt"), "guide");
  auto result = [](HINSTANCE h) { return reinterpret_cast<ULONG_PTR>(h); };
  // A document opens in the user's program for it: the machine records what was opened.
  EXPECT_GT(result(ShellExecuteW(nullptr, W_("open"), W_("Doc\\Guide.txt"), nullptr, W_("C:\\Pkg"), SW_SHOWNORMAL)), 32u);
  EXPECT_GT(result(ShellExecuteW(nullptr, nullptr, W_("http://www.example.com/kv"), nullptr, nullptr, SW_SHOWNORMAL)), 32u);
  std::vector<std::string> opened;
  for (auto& line : winsim::read_events(dir)) {
    auto ev = nlohmann::json::parse(line);
    if (ev["type"] == "shellexecute") opened.push_back(ev["file"]);
  }
  EXPECT_EQ(opened, (std::vector<std::string>{"C:\\Pkg\\Doc\\Guide.txt", "http://www.example.com/kv"}));
  // A program runs; a missing file is SE_ERR_FNF.
  EXPECT_GT(result(ShellExecuteW(nullptr, W_("open"), W_("C:\\Windows\\System32\\sayit.exe"), W_("/exit 0"), nullptr,
                                 SW_HIDE)),
            32u);
  EXPECT_EQ(result(ShellExecuteW(nullptr, W_("open"), W_("C:\\Pkg\\none.txt"), nullptr, nullptr, SW_SHOWNORMAL)),
            static_cast<ULONG_PTR>(SE_ERR_FNF));
}

TEST_F(ShellTest, DocumentsOpenOnlyInAProgramForTheirKind) {
  write_file(c("Pkg/Doc/Guide.pdf"), "%PDF");
  write_file(c("Pkg/Doc/Notes.xyz"), "?");
  auto result = [](const WCHAR* file) {
    return reinterpret_cast<ULONG_PTR>(ShellExecuteW(nullptr, W_("open"), file, nullptr, nullptr, SW_SHOW));
  };
  // A fresh machine has no PDF reader and nothing for .xyz; a folder opens in the explorer.
  EXPECT_EQ(result(W_("C:\\Pkg\\Doc\\Guide.pdf")), static_cast<ULONG_PTR>(SE_ERR_NOASSOC));
  EXPECT_EQ(result(W_("C:\\Pkg\\Doc\\Notes.xyz")), static_cast<ULONG_PTR>(SE_ERR_NOASSOC));
  EXPECT_GT(result(W_("C:\\Pkg\\Doc\\")), 32u);
  // The user installs a reader.
  auto sys = nlohmann::json::parse(read_file(dir + "/system.json"));
  sys["associations"][".PDF"] = "AcroRd32.exe";
  write_file(dir + "/system.json", sys.dump());
  winsim::use_machine(dir);
  EXPECT_GT(result(W_("C:\\Pkg\\Doc\\Guide.pdf")), 32u);
  std::vector<std::string> programs;
  for (auto& line : winsim::read_events(dir)) {
    auto ev = nlohmann::json::parse(line);
    if (ev["type"] == "shellexecute") programs.push_back(ev["program"]);
  }
  EXPECT_EQ(programs, (std::vector<std::string>{"explorer.exe", "AcroRd32.exe"}));
}

}  // namespace
