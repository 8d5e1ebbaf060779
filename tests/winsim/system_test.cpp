// System facts, modules, environment, fault injection and debug output.
#include <nlohmann/json.hpp>

#include "support/machine_fixture.h"

using namespace testutil;

namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);

struct Facts {
  DWORD major, minor, build;
  BOOL wow64;
  WORD native_arch, arch;
  LANGID lang;
  UINT acp;
};

Facts facts() {
  Facts f{};
  OSVERSIONINFOW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  EXPECT_TRUE(GetVersionExW(&v));
  f.major = v.dwMajorVersion;
  f.minor = v.dwMinorVersion;
  f.build = v.dwBuildNumber;
  EXPECT_TRUE(IsWow64Process(GetCurrentProcess(), &f.wow64));
  SYSTEM_INFO si;
  GetNativeSystemInfo(&si);
  f.native_arch = si.wProcessorArchitecture;
  GetSystemInfo(&si);
  f.arch = si.wProcessorArchitecture;
  f.lang = GetSystemDefaultLangID();
  f.acp = GetACP();
  return f;
}

TEST(SystemFacts, AnswersOfEachKindOfMachine) {
  struct Case {
    const char* version;
    bool is64;
    int image_bits;
    unsigned lang;
    Facts expect;
  } cases[] = {
      {"6.1", true, 32, 2052, {6, 1, 7601, TRUE, 9, 0, 2052, 936}},
      {"6.1", true, 64, 2052, {6, 1, 7601, FALSE, 9, 9, 2052, 936}},
      {"6.1", false, 32, 1033, {6, 1, 7601, FALSE, 0, 0, 1033, 1252}},
      {"5.1", false, 32, 1028, {5, 1, 2600, FALSE, 0, 0, 1028, 950}},
      // Without a manifest that names them, Windows 8.1 and 10 report themselves as 6.2.
      {"10.0.19045", true, 32, 4100, {6, 2, 9200, TRUE, 9, 0, 4100, 936}},
  };
  std::string root = make_temp_dir();
  int i = 0;
  for (auto& tc : cases) {
    winsim::MachineOptions o;
    ASSERT_TRUE(winsim::parse_version(tc.version, o));
    o.is64 = tc.is64;
    o.language = tc.lang;
    std::string dir = root + "/m" + std::to_string(i++);
    winsim::create_machine(dir, o);
    winsim::use_machine(dir);
    winsim::declare_image(tc.image_bits);
    SCOPED_TRACE(tc.version);
    Facts f = facts();
    EXPECT_EQ(f.major, tc.expect.major);
    EXPECT_EQ(f.minor, tc.expect.minor);
    EXPECT_EQ(f.build, tc.expect.build);
    EXPECT_EQ(f.wow64, tc.expect.wow64);
    EXPECT_EQ(f.native_arch, tc.expect.native_arch);
    EXPECT_EQ(f.arch, tc.expect.arch);
    EXPECT_EQ(f.lang, tc.expect.lang);
    EXPECT_EQ(f.acp, tc.expect.acp);
  }
  std::filesystem::remove_all(root);
}

using SystemTest = MachineTest;

TEST_F(SystemTest, VersionInfoSizeIsChecked) {
  OSVERSIONINFOW v = {};
  v.dwOSVersionInfoSize = 100;
  SetLastError(kMarker);
  EXPECT_FALSE(GetVersionExW(&v));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(sizeof(OSVERSIONINFOW), 276u);
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(GetVersionExW(&v));
  EXPECT_EQ(WStr(v.szCSDVersion), W_("Service Pack 1"));
}

TEST_F(SystemTest, SystemModulesAndTheirExports) {
  HMODULE k32 = GetModuleHandleW(W_("KERNEL32.DLL"));
  ASSERT_NE(k32, nullptr);
  EXPECT_EQ(GetModuleHandleW(W_("kernel32")), k32);
  auto fn = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(k32, "IsWow64Process")));
  ASSERT_NE(fn, nullptr);
  BOOL wow = FALSE;
  EXPECT_TRUE(fn(GetCurrentProcess(), &wow));
  EXPECT_TRUE(wow);  // the fixture's image is 32-bit on a 64-bit machine
  EXPECT_NE(GetProcAddress(k32, "GetNativeSystemInfo"), nullptr);
  SetLastError(kMarker);
  EXPECT_EQ(GetProcAddress(k32, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  SetLastError(kMarker);
  EXPECT_EQ(GetModuleHandleW(W_("winspool.drv")), nullptr);  // not loaded
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  WCHAR name[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameW(nullptr, name, MAX_PATH), 15u);
  EXPECT_EQ(WStr(name), W_("C:\\app\\test.exe"));
  SetLastError(kMarker);
  EXPECT_EQ(GetModuleFileNameW(nullptr, name, 6), 6u);  // cut, terminated
  EXPECT_EQ(WStr(name), W_("C:\\ap"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(SystemTest, OldSystemWithoutAnExport) {
  auto sys = nlohmann::json::parse(read_file(dir + "/system.json"));
  sys["missing_exports"] = {"IsWow64Process"};
  write_file(dir + "/system.json", sys.dump());
  winsim::use_machine(dir);
  EXPECT_EQ(GetProcAddress(GetModuleHandleW(W_("kernel32.dll")), "IsWow64Process"), nullptr);
  EXPECT_NE(GetProcAddress(GetModuleHandleW(W_("kernel32.dll")), "GetNativeSystemInfo"), nullptr);
}

TEST_F(SystemTest, EnvironmentNamesIgnoreCase) {
  WCHAR buf[MAX_PATH];
  DWORD n = GetEnvironmentVariableW(W_("path"), buf, MAX_PATH);
  EXPECT_EQ(WStr(buf, n), W_("C:\\Windows\\system32;C:\\Windows;C:\\Windows\\system32\\Wbem"));
  n = GetEnvironmentVariableW(W_("ProgramFiles"), buf, MAX_PATH);
  EXPECT_EQ(WStr(buf, n), W_("C:\\Program Files (x86)"));  // what a 32-bit image sees

  EXPECT_TRUE(SetEnvironmentVariableW(W_("PATH"), W_("C:\\x;C:\\stage")));
  EXPECT_EQ(GetEnvironmentVariableW(W_("Path"), nullptr, 0), 14u);  // size with terminator
  EXPECT_EQ(GetEnvironmentVariableW(W_("Path"), buf, 13), 14u);
  EXPECT_EQ(GetEnvironmentVariableW(W_("Path"), buf, 14), 13u);
  EXPECT_EQ(WStr(buf), W_("C:\\x;C:\\stage"));

  EXPECT_TRUE(SetEnvironmentVariableW(W_("Mine"), W_("1")));
  EXPECT_TRUE(SetEnvironmentVariableW(W_("MINE"), nullptr));
  SetLastError(kMarker);
  EXPECT_EQ(GetEnvironmentVariableW(W_("mine"), buf, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));
  SetLastError(kMarker);
  EXPECT_FALSE(SetEnvironmentVariableW(W_("A=B"), W_("1")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SystemTest, FaultsFailTheChosenCall) {
  write_file(c("f.txt"), "x");
  winsim::add_fault("GetFileAttributesW", 2, ERROR_ACCESS_DENIED);
  EXPECT_NE(GetFileAttributesW(W_("C:\\f.txt")), INVALID_FILE_ATTRIBUTES);
  SetLastError(kMarker);
  EXPECT_EQ(GetFileAttributesW(W_("C:\\f.txt")), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_NE(GetFileAttributesW(W_("C:\\f.txt")), INVALID_FILE_ATTRIBUTES);

  winsim::add_fault("GetProcAddress:IsWow64Process", 0, ERROR_PROC_NOT_FOUND);
  HMODULE k32 = GetModuleHandleW(W_("kernel32.dll"));
  EXPECT_EQ(GetProcAddress(k32, "IsWow64Process"), nullptr);
  EXPECT_EQ(GetProcAddress(k32, "IsWow64Process"), nullptr);
  EXPECT_NE(GetProcAddress(k32, "GetNativeSystemInfo"), nullptr);

  winsim::clear_faults();
  winsim::add_fault("CreateDirectoryW", 0, 112);
  EXPECT_FALSE(CreateDirectoryW(W_("C:\\d1"), nullptr));
  EXPECT_FALSE(CreateDirectoryW(W_("C:\\d2"), nullptr));
  EXPECT_EQ(GetLastError(), 112u);
  EXPECT_FALSE(std::filesystem::exists(c("d1")));
}

TEST_F(SystemTest, MachineFaultsReachEveryProcessOfTheImage) {
  winsim::add_machine_fault(dir, "GetVersionExW", 1, ERROR_ACCESS_DENIED, "other.exe");
  winsim::use_machine(dir);  // a new process of this image: the fault is not for it
  OSVERSIONINFOW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  EXPECT_TRUE(GetVersionExW(&v));
  winsim::add_machine_fault(dir, "GetVersionExW", 1, ERROR_ACCESS_DENIED, "TEST.EXE");
  winsim::use_machine(dir);
  SetLastError(kMarker);
  EXPECT_FALSE(GetVersionExW(&v));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(GetVersionExW(&v));
  winsim::clear_machine_faults(dir);
}

TEST_F(SystemTest, DebugOutputIsRecorded) {
  OutputDebugStringW(W_("安装 started"));
  OutputDebugStringA("plain");
  auto events = winsim::read_events(dir);
  ASSERT_EQ(events.size(), 2u);
  auto first = nlohmann::json::parse(events[0]);
  EXPECT_EQ(first["type"], "debug");
  EXPECT_EQ(first["text"], "安装 started");
  EXPECT_EQ(first["image"], "C:\\app\\test.exe");
  EXPECT_EQ(nlohmann::json::parse(events[1])["text"], "plain");
}

TEST_F(SystemTest, TimeMovesOn) {
  DWORD t0 = GetTickCount();
  Sleep(30);
  EXPECT_GE(GetTickCount() - t0, 25u);
  SYSTEMTIME st;
  GetLocalTime(&st);
  EXPECT_GE(st.wYear, 2024);
  EXPECT_GE(st.wMonth, 1);
  EXPECT_LE(st.wMonth, 12);
}

}  // namespace
