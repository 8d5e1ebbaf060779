// Code pages and system messages.
#include "support/machine_fixture.h"
#include "win32/setup.h"  // the device-install error codes

using namespace testutil;

namespace {

std::string to_cp(UINT cp, const WStr& s, BOOL* used = nullptr) {
  char buf[256];
  BOOL u = FALSE;
  int n = WideCharToMultiByte(cp, 0, s.data(), static_cast<int>(s.size()), buf, sizeof buf, nullptr,
                              cp == CP_UTF8 ? nullptr : &u);
  if (used) *used = u;
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

WStr from_cp(UINT cp, const std::string& s) {
  WCHAR buf[256];
  int n = MultiByteToWideChar(cp, 0, s.data(), static_cast<int>(s.size()), buf, 256);
  return WStr(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

using CodePageTest = MachineTest;

TEST_F(CodePageTest, RoundTripsAndSubstitution) {
  struct Case {
    UINT cp;
    const WCHAR* text;
    const char* bytes;
    bool substituted;
  } cases[] = {
      {936, W_("中文打印机"), "\xD6\xD0\xCE\xC4\xB4\xF2\xD3\xA1\xBB\xFA", false},
      {936, W_("A€"), "A\x80", false},
      {936, W_("한x"), "?x", true},
      {950, W_("中文"), "\xA4\xA4\xA4\xE5", false},
      {950, W_("打印驱动"), "\xA5\xB4\xA6\x4C??", true},  // 驱动 are simplified only
      {1252, W_("é€ü"), "\xE9\x80\xFC", false},
      {1252, W_("中x"), "?x", true},
      {CP_UTF8, W_("中é"), "\xE4\xB8\xAD\xC3\xA9", false},
  };
  for (auto& tc : cases) {
    BOOL used = FALSE;
    SCOPED_TRACE(utf8(tc.text));
    EXPECT_EQ(to_cp(tc.cp, tc.text, &used), tc.bytes);
    EXPECT_EQ(used != FALSE, tc.substituted);
    if (!tc.substituted) {
      EXPECT_EQ(from_cp(tc.cp, tc.bytes), WStr(tc.text));
    }
  }
  // The five bytes that Windows 1252 leaves undefined come back as their C1 controls.
  EXPECT_EQ(from_cp(1252, "\x81\x8D"), WStr(W_("\u0081\u008D")));
  // A DBCS lead byte without its trail byte becomes the code page's default character (Wine: "?").
  if (!under_wine()) {
    EXPECT_EQ(from_cp(936, "a\xD6"), WStr(W_("a\u30FB")));
  }
}

#ifndef _WIN32  // a machine with another system language
TEST_F(CodePageTest, AnsiCodePageFollowsTheMachine) {
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_EQ(to_cp(CP_ACP, W_("é")), "\xE9");
  winsim::MachineOptions o;
  o.language = 2052;
  std::string zh = std::filesystem::path(dir).parent_path().string() + "/zh";
  winsim::create_machine(zh, o);
  winsim::use_machine(zh);
  EXPECT_EQ(GetACP(), 936u);
  EXPECT_EQ(to_cp(CP_ACP, W_("中")), "\xD6\xD0");
}
#endif

TEST_F(CodePageTest, BufferSizesAndBadArguments) {
  const WCHAR* text = W_("中文");
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), 7);  // with terminator
  char small[3];
  SetLastError(kMarker);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, small, 3, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0), 4);
  WCHAR two[2];
  SetLastError(kMarker);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, two, 2), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  SetLastError(kMarker);
  EXPECT_EQ(MultiByteToWideChar(12345, 0, "abc", 3, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SetLastError(kMarker);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xFF", 2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  BOOL used = FALSE;
  SetLastError(kMarker);
  // Wine ignores the flag.
  if (!under_wine()) {
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, &used), 0);  // UTF-8 takes no default
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

WStr message(DWORD id, DWORD lang = 0) {
  WCHAR buf[512];
  DWORD n =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, id, lang, buf, 512, nullptr);
  return WStr(buf, n);
}

TEST_F(CodePageTest, SystemMessages) {
  SKIP_UNDER_WINE("its system message texts are its own");
  EXPECT_EQ(message(ERROR_FILE_NOT_FOUND), W_("The system cannot find the file specified.\r\n"));
  EXPECT_EQ(message(ERROR_NOT_ALL_ASSIGNED, 0x400),
            W_("Not all privileges or groups referenced are assigned to the caller.\r\n"));
  EXPECT_EQ(message(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST)),
            W_("The device instance does not exist in the hardware tree.\r\n"));
  EXPECT_EQ(message(ERROR_BAD_EXE_FORMAT), W_("%1 is not a valid Win32 application.\r\n"));  // inserts left alone
  EXPECT_EQ(message(ERROR_FILE_NOT_FOUND, 2052), W_("系统找不到指定的文件。\r\n"));

  WCHAR buf[8];
  SetLastError(kMarker);
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 0, buf, 8, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  SetLastError(kMarker);
  EXPECT_EQ(message(0x12345678), W_(""));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  SetLastError(kMarker);
  EXPECT_EQ(message(2, 1041), W_(""));  // no Japanese texts on this machine
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));

  LPWSTR allocated = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, 5, 0,
                           reinterpret_cast<LPWSTR>(&allocated), 0, nullptr);
  ASSERT_NE(allocated, nullptr);
  EXPECT_EQ(WStr(allocated, n), W_("Access is denied.\r\n"));
  EXPECT_EQ(LocalFree(allocated), nullptr);
}

#ifndef _WIN32  // a machine with another system language
class ChineseTextTest : public MachineTest {
  winsim::MachineOptions options() override {
    winsim::MachineOptions o;
    o.language = 2052;
    return o;
  }
};

TEST_F(ChineseTextTest, MessagesInTheSystemLanguageAndCodePage) {
  EXPECT_EQ(message(ERROR_ACCESS_DENIED), W_("拒绝访问。\r\n"));
  char buf[200];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0x400, buf, sizeof buf, nullptr);
  EXPECT_EQ(std::string(buf, n), "\xBE\xDC\xBE\xF8\xB7\xC3\xCE\xCA\xA1\xA3\r\n");  // 拒绝访问。 in GBK
}
#endif

}  // namespace
