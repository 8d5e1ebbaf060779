// Windows paths on the simulated machine: full-path rules, case-insensitive lookup, drives, short
// names.
#include <cstdlib>

#include "support/machine_fixture.h"

using namespace testutil;

namespace {

class PathTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    std::filesystem::create_directories(c("Work/Sub"));
    ASSERT_TRUE(SetCurrentDirectoryW(W_("C:\\Work\\Sub")));
  }
};

WStr full(const WCHAR* in) {
  WCHAR buf[MAX_PATH];
  DWORD n = GetFullPathNameW(in, MAX_PATH, buf, nullptr);
  return WStr(buf, n);
}

TEST_F(PathTest, FullPathRules) {
  struct Case {
    const WCHAR* in;
    const WCHAR* out;
  } cases[] = {
      {W_("a.txt"), W_("C:\\Work\\Sub\\a.txt")},
      {W_("..\\b"), W_("C:\\Work\\b")},
      {W_("..\\..\\..\\..\\x"), W_("C:\\x")},
      {W_("\\x\\y"), W_("C:\\x\\y")},
      {W_("C:rel"), W_("C:\\Work\\Sub\\rel")},
      {W_("D:rel"), W_("D:\\rel")},
      {W_("c:/a//b/./c/../d"), W_("c:\\a\\b\\d")},
      {W_("C:\\a\\b\\"), W_("C:\\a\\b\\")},
      {W_("C:\\a\\file. "), W_("C:\\a\\file")},
      {W_("\\\\?\\C:\\x\\..\\y"), W_("\\\\?\\C:\\y")},  // the prefix is a root of its own
      {W_("//?/C:/x/./y/"), W_("\\\\?\\C:\\x\\y\\")},
      {W_("."), W_("C:\\Work\\Sub")},
  };
  for (auto& tc : cases) EXPECT_EQ(full(tc.in), WStr(tc.out)) << utf8(tc.in);
}

TEST_F(PathTest, FullPathBufferSizes) {
  const WStr expect = W_("C:\\Work\\Sub\\name.ini");  // 20 characters
  WCHAR buf[64];
  LPWSTR part = nullptr;
  EXPECT_EQ(GetFullPathNameW(W_("name.ini"), 0, nullptr, nullptr), expect.size() + 1);
  EXPECT_EQ(GetFullPathNameW(W_("name.ini"), static_cast<DWORD>(expect.size()), buf, nullptr), expect.size() + 1);
  EXPECT_EQ(GetFullPathNameW(W_("name.ini"), static_cast<DWORD>(expect.size() + 1), buf, &part), expect.size());
  EXPECT_EQ(WStr(buf), expect);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(WStr(part), W_("name.ini"));

  char abuf[64];
  LPSTR apart = nullptr;
  EXPECT_EQ(GetFullPathNameA("x\\y.txt", sizeof abuf, abuf, &apart), 19u);
  EXPECT_STREQ(abuf, "C:\\Work\\Sub\\x\\y.txt");
  EXPECT_STREQ(apart, "y.txt");
}

TEST_F(PathTest, ComponentsMatchIgnoringCaseWithEitherSlash) {
  write_file(c("Windows/inf/oem3.inf"), "[Version]\r\n");
  for (const WCHAR* p :
       {W_("C:\\WINDOWS\\INF\\OEM3.INF"), W_("c:/windows/inf/Oem3.Inf"), W_("\\windows\\inf\\oem3.inf")}) {
    SetLastError(kMarker);
    EXPECT_EQ(GetFileAttributesW(p), FILE_ATTRIBUTE_ARCHIVE) << utf8(p);
  }
#ifndef _WIN32
  EXPECT_EQ(winsim::host_path(u"C:\\WINDOWS\\INF\\OEM3.INF"), c("Windows/inf/oem3.inf"));
  // A name that does not exist keeps the spelling it was given.
  EXPECT_EQ(winsim::host_path(u"C:\\windows\\INF\\New.Inf"), c("Windows/inf/New.Inf"));
#endif
}

TEST_F(PathTest, MissingAndMalformedPaths) {
  struct Case {
    const WCHAR* path;
    DWORD error;
  } cases[] = {
      {W_("C:\\Work\\missing.txt"), ERROR_FILE_NOT_FOUND},
      {W_("C:\\NoFolder\\missing.txt"), ERROR_PATH_NOT_FOUND},
      {W_("Q:\\x.txt"), ERROR_PATH_NOT_FOUND},
      {W_("C:\\Work\\a<b.txt"), ERROR_INVALID_NAME},
      {W_(""), ERROR_PATH_NOT_FOUND},
  };
  for (auto& tc : cases) {
    SetLastError(kMarker);
    EXPECT_EQ(GetFileAttributesW(tc.path), INVALID_FILE_ATTRIBUTES) << utf8(tc.path);
    if (under_wine() && tc.path[0] == u'Q') continue;  // Wine: a drive it lacks gives FILE_NOT_FOUND
    EXPECT_EQ(GetLastError(), tc.error) << utf8(tc.path);
  }
}

#ifndef _WIN32  // the machine's drive mappings
TEST_F(PathTest, MappedDriveAndHostRoot) {
  std::string pkg = std::filesystem::path(dir).parent_path().string() + "/package";
  write_file(pkg + "/Driver/X.INF", "x");
  ::setenv("WINSIM_DRIVES", ("{\"D:\":\"" + pkg + "\"}").c_str(), 1);
  winsim::use_machine(dir);
  ::unsetenv("WINSIM_DRIVES");
  EXPECT_EQ(GetFileAttributesW(W_("d:\\driver\\x.inf")), FILE_ATTRIBUTE_ARCHIVE);
  ASSERT_TRUE(SetCurrentDirectoryW(W_("D:\\Driver")));
  WCHAR buf[MAX_PATH];
  ASSERT_EQ(GetCurrentDirectoryW(MAX_PATH, buf), 9u);
  EXPECT_EQ(WStr(buf), W_("D:\\Driver"));
  // The host's root is Z:, so a host file is reachable by its Z: path.
  std::string z = "Z:" + pkg + "/Driver/X.INF";
  std::u16string zw(z.begin(), z.end());
  EXPECT_EQ(winsim::host_path(zw), pkg + "/Driver/X.INF");
}
#endif

TEST_F(PathTest, ShortNamesOfTheTemporaryFolder) {
  SKIP_UNDER_WINE("no 8.3 short names, and the account is named after the Unix user");
  const WStr expect = W_("C:\\Users\\ADMINI~1\\AppData\\Local\\Temp\\");
  WCHAR temp[MAX_PATH];
  ASSERT_EQ(GetTempPathW(MAX_PATH, temp), expect.size());
  EXPECT_EQ(WStr(temp), expect);

  WCHAR lng[MAX_PATH];
  SetLastError(kMarker);
  DWORD n = GetLongPathNameW(temp, lng, MAX_PATH);
  EXPECT_EQ(WStr(lng, n), W_("C:\\Users\\Administrator\\AppData\\Local\\Temp\\"));
  EXPECT_EQ(GetLongPathNameW(temp, lng, 10), n + 1);  // too small: the size needed

  WCHAR shrt[MAX_PATH];
  n = GetShortPathNameW(W_("C:\\Program Files"), shrt, MAX_PATH);
  EXPECT_EQ(WStr(shrt, n), W_("C:\\PROGRA~1"));
  n = GetShortPathNameW(W_("C:\\Program Files (x86)"), shrt, MAX_PATH);
  EXPECT_EQ(WStr(shrt, n), W_("C:\\PROGRA~2"));
  EXPECT_EQ(GetFileAttributesW(W_("C:\\progra~2")), FILE_ATTRIBUTE_DIRECTORY);

  SetLastError(kMarker);
  EXPECT_EQ(GetLongPathNameW(W_("C:\\Users\\NOBODY~1"), lng, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(PathTest, CurrentFolderBuffersAndErrors) {
  WCHAR buf[MAX_PATH];
  EXPECT_EQ(GetCurrentDirectoryW(0, nullptr), 12u);
  EXPECT_EQ(GetCurrentDirectoryW(11, buf), 12u);
  EXPECT_EQ(GetCurrentDirectoryW(12, buf), 11u);
  EXPECT_EQ(WStr(buf), W_("C:\\Work\\Sub"));
  write_file(c("Work/file.txt"), "");
  SetLastError(kMarker);
  EXPECT_FALSE(SetCurrentDirectoryW(W_("C:\\Work\\file.txt")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(SetCurrentDirectoryW(W_("C:\\Nowhere")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(SetCurrentDirectoryW(W_("..")));
  EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, buf), 7u);
}

}  // namespace
