// Profile files read and written with the Windows reader's rules.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#endif

#include "support/machine_fixture.h"

using namespace testutil;

namespace {

class ProfileTest : public MachineTest {
 protected:
  const WCHAR* ini = W_("C:\\Work\\test.ini");
  void put(const std::string& bytes) { write_file(c("Work/test.ini"), bytes); }
#ifndef _WIN32
  // Dates a host file `seconds` back, as if it had been written that long ago.
  static void set_age(const std::string& host, int seconds) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    now.tv_sec -= seconds;
    struct timespec times[2] = {now, now};
    ASSERT_EQ(::utimensat(AT_FDCWD, host.c_str(), times, 0), 0);
  }
#endif

  WStr get(const WCHAR* section, const WCHAR* key, const WCHAR* def, DWORD size = 2048, DWORD* ret = nullptr) {
    std::vector<WCHAR> buf(size + 1, u'#');
    DWORD n = GetPrivateProfileStringW(section, key, def, buf.data(), size, ini);
    if (ret) *ret = n;
    return WStr(buf.data(), n);
  }
};

TEST_F(ProfileTest, ValueRules) {
  put("; a comment line\r\n"
      "[Resource]\r\n"
      "Name=Tillpoint\r\n"
      "  Spaced   =   spaced value   \r\n"
      "Double=\"quoted\"\r\n"
      "Single='single'\r\n"
      "Unbalanced=\"open\r\n"
      "Inner=a \"b\" c\r\n"
      "Empty=\r\n"
      ";Commented=yes\r\n"
      "Dup=first\r\n"
      "dup=second\r\n"
      "NoEquals\r\n"
      "\n"
      "[MiXeD Case]\n"
      "KeY=found\r"
      "[Resource]\r\n"
      "Later=ignored, the first section of a name wins\r\n");
  struct Case {
    const WCHAR* section;
    const WCHAR* key;
    const WCHAR* value;
  } cases[] = {
      {W_("Resource"), W_("Name"), W_("Tillpoint")},
      {W_("RESOURCE"), W_("name"), W_("Tillpoint")},
      {W_("Resource"), W_("Spaced"), W_("spaced value")},
      {W_("Resource"), W_("Double"), W_("quoted")},
      {W_("Resource"), W_("Single"), W_("single")},
      {W_("Resource"), W_("Unbalanced"), W_("\"open")},
      {W_("Resource"), W_("Inner"), W_("a \"b\" c")},
      {W_("Resource"), W_("Empty"), W_("")},
      {W_("Resource"), W_("Missing"), W_("dflt")},
      {W_("Resource"), W_(";Commented"), W_("dflt")},
      {W_("Resource"), W_("Dup"), W_("first")},
      {W_("Resource"), W_("NoEquals"), W_("dflt")},
      {W_("mixed case"), W_("KEY"), W_("found")},
      {W_("Resource"), W_("Later"), W_("dflt")},
      {W_("Nowhere"), W_("Name"), W_("dflt")},
  };
  for (auto& tc : cases) {
    if (under_wine() && tc.key[0] == u';') continue;  // Wine: a comment line is a key like any other
    EXPECT_EQ(get(tc.section, tc.key, W_("dflt")), WStr(tc.value)) << utf8(tc.key);
  }

  // The last error tells a missing key from a present one; trailing blanks of a default go.
  SetLastError(kMarker);
  EXPECT_EQ(get(W_("Resource"), W_("Missing"), W_("dflt  ")), W_("dflt"));
  if (!under_wine()) {  // Wine: 0
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
  EXPECT_EQ(get(W_("Resource"), W_("Missing"), nullptr), W_(""));
  SetLastError(kMarker);
  EXPECT_EQ(get(W_("Resource"), W_("Empty"), W_("dflt")), W_(""));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(ProfileTest, ValuesAreCutToTheBuffer) {
  put("[S]\r\nLong=" + std::string(3000, 'x') + "\r\nShort=abc\r\n");
  DWORD n = 0;
  EXPECT_EQ(get(W_("S"), W_("Long"), W_(""), 2048, &n), WStr(2047, u'x'));
  EXPECT_EQ(n, 2047u);
  EXPECT_EQ(get(W_("S"), W_("Short"), W_(""), 3, &n), W_("ab"));
  EXPECT_EQ(n, 2u);
  WCHAR one[1] = {u'#'};
  EXPECT_EQ(GetPrivateProfileStringW(W_("S"), W_("Short"), W_(""), one, 1, ini), 0u);
  EXPECT_EQ(one[0], 0);
}

TEST_F(ProfileTest, SectionAndKeyListings) {
  put("[One]\r\na=1\r\nbb=2\r\n[Two]\r\n[Three]\r\nc=3\r\n");
  WCHAR buf[64];
  DWORD n = GetPrivateProfileStringW(nullptr, nullptr, nullptr, buf, 64, ini);
  EXPECT_EQ(WStr(buf, n + 1), WStr(W_("One\0Two\0Three\0\0"), 15));
  n = GetPrivateProfileStringW(W_("one"), nullptr, nullptr, buf, 64, ini);
  EXPECT_EQ(WStr(buf, n + 1), WStr(W_("a\0bb\0\0"), 6));
  // Cut listings end in two terminators and report size - 2.
  n = GetPrivateProfileStringW(nullptr, nullptr, nullptr, buf, 7, ini);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(WStr(buf, 7), WStr(W_("One\0T\0\0"), 7));
  n = GetPrivateProfileSectionW(W_("One"), buf, 64, ini);
  EXPECT_EQ(WStr(buf, n + 1), WStr(W_("a=1\0bb=2\0\0"), 10));
  n = GetPrivateProfileSectionW(W_("Two"), buf, 64, ini);
  EXPECT_EQ(n, 0u);
}

TEST_F(ProfileTest, Integers) {
  put("[S]\r\nDec=42\r\nHex=0x1F\r\nNeg=-3\r\nTail=12abc\r\nWord=abc\r\nEmpty=\r\nQuoted=\"7\"\r\n");
  struct Case {
    const WCHAR* key;
    UINT value;
  } cases[] = {{W_("Dec"), 42},     {W_("Hex"), 31},  {W_("Neg"), static_cast<UINT>(-3)},
               {W_("Tail"), 12},    {W_("Word"), 0},  {W_("Empty"), 99},
               {W_("Missing"), 99}, {W_("Quoted"), 7}};
  for (auto& tc : cases) EXPECT_EQ(GetPrivateProfileIntW(W_("S"), tc.key, 99, ini), tc.value) << utf8(tc.key);
}

TEST_F(ProfileTest, MissingFile) {
  SKIP_UNDER_WINE("a missing folder gives PATH_NOT_FOUND, and a listing leaves the buffer as it was");
  SetLastError(kMarker);
  EXPECT_EQ(get(W_("S"), W_("K"), W_("dflt")), W_("dflt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  WCHAR buf[8] = {u'#', u'#'};
  EXPECT_EQ(GetPrivateProfileStringW(nullptr, nullptr, nullptr, buf, 8, ini), 0u);
  EXPECT_EQ(buf[0], 0);
}

TEST_F(ProfileTest, Utf16FileWithByteOrderMark) {
  put(utf16_file(u"[DialogText]\r\nNoticeTitle = 注意\r\nQuoted = '选择“是”'\r\n"));
  EXPECT_EQ(get(W_("dialogtext"), W_("NoticeTitle"), W_("")), W_("注意"));
  EXPECT_EQ(get(W_("DialogText"), W_("Quoted"), W_("")), W_("选择“是”"));
}

TEST_F(ProfileTest, WritingKeepsTheRestOfTheFile) {
  SKIP_UNDER_WINE("it writes the whole file anew: blank lines go, a key keeps its first spelling");
  put("; header\r\n[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
  EXPECT_TRUE(WritePrivateProfileStringW(W_("a"), W_("X"), W_("changed"), ini));
  EXPECT_TRUE(WritePrivateProfileStringW(W_("A"), W_("new"), W_("v"), ini));
  EXPECT_TRUE(WritePrivateProfileStringW(W_("C"), W_("z"), W_("3"), ini));
  EXPECT_TRUE(WritePrivateProfileStringW(W_("B"), W_("y"), nullptr, ini));
  EXPECT_EQ(read_file(c("Work/test.ini")), "; header\r\n[A]\r\nX=changed\r\nnew=v\r\n\r\n[B]\r\n[C]\r\nz=3\r\n");
  EXPECT_TRUE(WritePrivateProfileStringW(W_("B"), nullptr, nullptr, ini));
  EXPECT_EQ(read_file(c("Work/test.ini")), "; header\r\n[A]\r\nX=changed\r\nnew=v\r\n\r\n[C]\r\nz=3\r\n");

  // A new file, then a UTF-16 file that stays UTF-16.
  EXPECT_TRUE(WritePrivateProfileStringW(W_("Data"), W_("Ret"), W_("3758096907"), W_("C:\\Work\\new.ini")));
  EXPECT_EQ(read_file(c("Work/new.ini")), "[Data]\r\nRet=3758096907\r\n");
  put(utf16_file(u"[S]\r\nk=旧\r\n"));
  EXPECT_TRUE(WritePrivateProfileStringW(W_("S"), W_("k"), W_("新"), ini));
  EXPECT_EQ(read_file(c("Work/test.ini")), utf16_file(u"[S]\r\nk=新\r\n"));

  SetLastError(kMarker);
  EXPECT_FALSE(WritePrivateProfileStringW(W_("S"), W_("k"), W_("v"), W_("C:\\NoDir\\x.ini")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

#ifndef _WIN32  // winsim's parsed copies of profile files
TEST_F(ProfileTest, OneParseServesEveryReadOfAnUnchangedFile) {
  std::string text = "[S]\r\n";
  for (int i = 0; i < 50; ++i) text += "k" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
  put(text);
  set_age(c("Work/test.ini"), 10);
  unsigned long before = winsim::profile_parses();
  for (int i = 0; i < 50; ++i) {
    std::string k = "k" + std::to_string(i), v = std::to_string(i);
    EXPECT_EQ(get(W_("S"), WStr(k.begin(), k.end()).c_str(), W_("")), WStr(v.begin(), v.end()));
  }
  EXPECT_EQ(GetPrivateProfileIntW(W_("S"), W_("k7"), 0, W_("c:\\WORK\\.\\Test.ini")), 7u);  // the same file
  EXPECT_EQ(winsim::profile_parses() - before, 1u);
}

class ProfileCacheTest : public ProfileTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    ProfileTest::SetUp();
    winsim::watch_profiles(GetParam());
  }
  void TearDown() override {
    winsim::watch_profiles(true);
    ProfileTest::TearDown();
  }
};

INSTANTIATE_TEST_SUITE_P(WatchedOrCompared, ProfileCacheTest, ::testing::Bool());

TEST_P(ProfileCacheTest, TheParsedCopyFollowsEveryChange) {
  // Changed in place at once, same size, maybe within the same tick of the file clock.
  put("[S]\r\nk=1\r\n");
  EXPECT_EQ(get(W_("S"), W_("k"), W_("")), W_("1"));
  put("[S]\r\nk=2\r\n");
  EXPECT_EQ(get(W_("S"), W_("k"), W_("")), W_("2"));
  // Changed long after it was read: the file time tells.
  set_age(c("Work/test.ini"), 20);
  EXPECT_EQ(get(W_("S"), W_("k"), W_("")), W_("2"));
  put("[S]\r\nk=3\r\n");
  set_age(c("Work/test.ini"), 10);
  EXPECT_EQ(get(W_("S"), W_("k"), W_("")), W_("3"));
  // Written through the profile functions, here and in another process.
  EXPECT_TRUE(WritePrivateProfileStringW(W_("S"), W_("k"), W_("4"), ini));
  EXPECT_EQ(get(W_("S"), W_("k"), W_("")), W_("4"));
  pid_t kid = ::fork();
  ASSERT_GE(kid, 0);
  if (kid == 0) ::_exit(WritePrivateProfileStringW(W_("S"), W_("k"), W_("5"), ini) ? 0 : 1);
  int status = 0;
  ::waitpid(kid, &status, 0);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(get(W_("S"), W_("k"), W_("")), W_("5"));
  // Removed.
  std::filesystem::remove(c("Work/test.ini"));
  EXPECT_EQ(get(W_("S"), W_("k"), W_("gone")), W_("gone"));
}
#endif

#ifndef _WIN32  // a machine with another system language
class ChineseProfileTest : public ProfileTest {
  winsim::MachineOptions options() override {
    winsim::MachineOptions o;
    o.language = 2052;
    return o;
  }
};

TEST_F(ChineseProfileTest, AnsiFileInCodePage936) {
  put("[Resource]\r\nMainTitle=\xB4\xF2\xD3\xA1\xBB\xFA\r\n");  // 打印机 in GBK
  EXPECT_EQ(get(W_("Resource"), W_("MainTitle"), W_("")), W_("打印机"));
  char buf[16];
  DWORD n = GetPrivateProfileStringA("Resource", "MainTitle", "", buf, sizeof buf, "C:\\Work\\test.ini");
  EXPECT_EQ(std::string(buf, n), "\xB4\xF2\xD3\xA1\xBB\xFA");
}
#endif

}  // namespace
