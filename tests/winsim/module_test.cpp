// Libraries: loading by path and by the search order, bitness, reference counts, exports, a
// fresh start after the last unload, mapped files; resources of the running image.
#include "support/machine_fixture.h"
#include "win32/user.h"

using namespace testutil;

namespace {

using CounterFn = int(WINAPI*)();

class ModuleTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    std::filesystem::create_directories(c("app"));
    std::filesystem::create_directories(c("Lib"));
    std::filesystem::copy_file(COUNTER32, c("Lib/counter.dll"));
    std::filesystem::copy_file(COUNTER64, c("Lib/counter64.dll"));
    write_file(c("Lib/readme.dll"), "not an image");
  }
  static int next(HMODULE m) {
    auto fn = reinterpret_cast<CounterFn>(reinterpret_cast<void*>(GetProcAddress(m, "CounterNext")));
    return fn ? fn() : -1;
  }
};

TEST_F(ModuleTest, LoadUseAndFree) {
  HMODULE a = LoadLibraryW(W_("C:\\Lib\\counter.dll"));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(next(a), 1);
  EXPECT_EQ(next(a), 2);
  HMODULE b = LoadLibraryW(W_("c:\\LIB\\COUNTER.DLL"));  // the same file: the same module, one more reference
  EXPECT_EQ(b, a);
  EXPECT_EQ(GetModuleHandleW(W_("counter.dll")), a);
  WCHAR name[MAX_PATH];
  DWORD n = GetModuleFileNameW(a, name, MAX_PATH);
  EXPECT_EQ(WStr(name, n), W_("C:\\Lib\\counter.dll"));
  SetLastError(kMarker);
  EXPECT_EQ(GetProcAddress(a, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  SetLastError(kMarker);
  EXPECT_FALSE(DeleteFileW(W_("C:\\Lib\\counter.dll")));  // mapped: it stays
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(FreeLibrary(b));
  EXPECT_EQ(next(a), 3);  // still loaded once
  EXPECT_TRUE(FreeLibrary(a));
  EXPECT_EQ(GetModuleHandleW(W_("counter.dll")), nullptr);

  HMODULE again = LoadLibraryW(W_("C:\\Lib\\counter.dll"));
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(next(again), 1);  // a freed library loads fresh
  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_TRUE(DeleteFileW(W_("C:\\Lib\\counter.dll")));
}

TEST_F(ModuleTest, LoadFailures) {
  struct Case {
    const WCHAR* name;
    DWORD error;
  } cases[] = {
      {W_("C:\\Lib\\counter64.dll"), ERROR_BAD_EXE_FORMAT},  // 64-bit into this 32-bit process
      {W_("C:\\Lib\\readme.dll"), ERROR_BAD_EXE_FORMAT},
      {W_("C:\\Lib\\missing.dll"), ERROR_MOD_NOT_FOUND},
      {W_("nowhere"), ERROR_MOD_NOT_FOUND},
  };
  for (auto& tc : cases) {
    SetLastError(kMarker);
    EXPECT_EQ(LoadLibraryW(tc.name), nullptr) << utf8(tc.name);
    EXPECT_EQ(GetLastError(), tc.error) << utf8(tc.name);
  }
  SetLastError(kMarker);
  EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(0x1234)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(ModuleTest, SearchOrderReachesPath) {
  EXPECT_EQ(LoadLibraryW(W_("counter")), nullptr);
  ASSERT_TRUE(SetEnvironmentVariableW(W_("PATH"), W_("C:\\Windows\\system32;C:\\Lib")));
  HMODULE m = LoadLibraryW(W_("counter"));  // ".dll" added, found through PATH
  ASSERT_NE(m, nullptr);
  WCHAR name[MAX_PATH];
  DWORD n = GetModuleFileNameW(m, name, MAX_PATH);
  EXPECT_EQ(WStr(name, n), W_("C:\\Lib\\counter.dll"));
  FreeLibrary(m);
  // System modules are known by name, whatever the folders hold.
  HMODULE spool = LoadLibraryW(W_("winspool.drv"));
  ASSERT_NE(spool, nullptr);
  EXPECT_EQ(GetModuleHandleW(W_("WINSPOOL.DRV")), spool);
  EXPECT_TRUE(FreeLibrary(spool));
  EXPECT_EQ(GetModuleHandleW(W_("winspool.drv")), nullptr);
}

TEST_F(ModuleTest, ResourcesOfTheImage) {
  WCHAR buf[64];
  EXPECT_EQ(LoadStringW(nullptr, 19, buf, 64), 16);
  EXPECT_EQ(WStr(buf), W_("Printer settings"));
  EXPECT_EQ(LoadStringW(nullptr, 20, buf, 64), 25);
  EXPECT_EQ(WStr(buf), W_("Save \"all\" settings\r\nnow?"));
  EXPECT_EQ(LoadStringW(nullptr, 19, buf, 8), 7);  // cut to the buffer
  EXPECT_EQ(WStr(buf), W_("Printer"));
  const WCHAR* direct = nullptr;
  EXPECT_EQ(LoadStringW(nullptr, 35, reinterpret_cast<LPWSTR>(&direct), 0), 12);
  EXPECT_EQ(WStr(direct, 12), W_("Second block"));
  EXPECT_EQ(LoadStringW(nullptr, 21, buf, 64), 0);  // a hole in a block

  HRSRC data = FindResourceW(nullptr, W_("datafile"), RT_RCDATA);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(SizeofResource(nullptr, data), 12u);
  EXPECT_EQ(std::string(static_cast<const char*>(LockResource(LoadResource(nullptr, data))), 12),
            std::string("binary\0data\xFF", 12));
  EXPECT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(256), RT_DIALOG), nullptr);
  EXPECT_NE(FindResourceW(nullptr, W_("#160"), RT_GROUP_ICON), nullptr);
  SetLastError(kMarker);
  EXPECT_EQ(FindResourceW(nullptr, W_("NOSUCH"), RT_RCDATA), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  EXPECT_EQ(FindResourceW(nullptr, W_("X"), MAKEINTRESOURCEW(99)), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
}

class ChineseModuleTest : public ModuleTest {
  winsim::MachineOptions options() override {
    winsim::MachineOptions o;
    o.language = 2052;
    return o;
  }
};

TEST_F(ChineseModuleTest, StringsInTheSystemLanguage) {
  WCHAR buf[64];
  EXPECT_EQ(LoadStringW(nullptr, 19, buf, 64), 4);
  EXPECT_EQ(WStr(buf), W_("打印设置"));
  // Languages go by blocks of sixteen: the Chinese block of 16-31 has only string 19.
  EXPECT_EQ(LoadStringW(nullptr, 20, buf, 64), 0);
  EXPECT_EQ(LoadStringW(nullptr, 35, buf, 64), 12);  // a block only in English: that one answers
}

}  // namespace
