// Processes started inside the machine, pipes, threads, waiting, critical sections, tokens and
// the end of the session.
#include <thread>
#ifndef _WIN32
#include <nlohmann/json.hpp>
#endif

#include "support/machine_fixture.h"
#include "win32/security.h"
#include "win32/user.h"

using namespace testutil;

namespace {

class ProcessTest : public MachineTest {
 protected:
  // Runs a command line with its standard output on a pipe; returns the exit code and output.
  struct Ran {
    BOOL started;
    DWORD error;
    DWORD exit_code;
    std::string out;
  };
  Ran start(const WCHAR* cmdline, const WCHAR* cwd = nullptr) {
    HANDLE r = nullptr, w = nullptr;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    EXPECT_TRUE(CreatePipe(&r, &w, &sa, 0));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.hStdOutput = w;
    PROCESS_INFORMATION pi{};
    WStr cmd = cmdline;
    SetLastError(kMarker);
    Ran ran{CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, cwd, &si, &pi), GetLastError(), 0,
            ""};
    CloseHandle(w);  // only the child writes now: the end of its output ends the pipe
    if (ran.started) {
      char buf[4096];
      DWORD n = 0;
      while (ReadFile(r, buf, sizeof buf, &n, nullptr)) ran.out.append(buf, n);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
      EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
      EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &ran.exit_code));
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
    }
    CloseHandle(r);
    return ran;
  }
};

TEST_F(ProcessTest, CommandLinesFindTheirProgram) {
  std::filesystem::copy_file(c("Windows/System32/sayit.exe"), c("Program Files/say it.exe"));
  write_file(c("Work/notes.exe"), "not a program");
  struct Case {
    const WCHAR* cmd;
    BOOL started;
    DWORD error;
    const char* out;
  } cases[] = {
      {W_("sayit hello  world"), TRUE, 0, "hello world\r\n"},
      {W_("SAYIT.EXE \"two words\" x"), TRUE, 0, "two words x\r\n"},
      {W_("C:\\Windows\\System32\\sayit.exe /exit 3 done"), TRUE, 0, "done\r\n"},
      {W_("\"C:\\Program Files\\say it.exe\" quoted"), TRUE, 0, "quoted\r\n"},
      // Found through its blanks, but the program itself splits its command line at them.
      {W_("C:\\Program Files\\say it.exe unquoted"), TRUE, 0, "Files\\say it.exe unquoted\r\n"},
      {W_("nosuchprogram /x"), FALSE, ERROR_FILE_NOT_FOUND, ""},
      {W_("C:\\Work\\notes.exe"), FALSE, ERROR_BAD_EXE_FORMAT, ""},
  };
  for (auto& tc : cases) {
    // Wine quotes a program it found through blanks in the child's command line; Windows passes it on as given.
    if (under_wine() && WStr(tc.cmd).find(W_("say it.exe unquoted")) != WStr::npos) continue;
    Ran r = start(tc.cmd);
    EXPECT_EQ(r.started, tc.started) << utf8(tc.cmd);
    if (!tc.started) {
      EXPECT_EQ(r.error, tc.error) << utf8(tc.cmd);
    }
    EXPECT_EQ(r.out, tc.out) << utf8(tc.cmd);
  }
  EXPECT_EQ(start(W_("sayit /exit 3")).exit_code, 3u);
  // A program a process wrote out itself runs like any other (an installer unpacks its helpers so).
  std::string bytes = read_file(c("Windows/System32/sayit.exe"));
  HANDLE h = CreateFileW(W_("C:\\unpacked.exe"), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  CloseHandle(h);
  EXPECT_EQ(start(W_("C:\\unpacked.exe /exit 4")).exit_code, 4u);
}

TEST_F(ProcessTest, TheChildGetsTheEnvironmentAndFolder) {
  ASSERT_TRUE(SetEnvironmentVariableW(W_("KV_TEST"), W_("42")));
  EXPECT_EQ(start(W_("sayit /env kv_test")).out, "42\r\n");
  write_file(c("Work/data.txt"), "file bytes");
  EXPECT_EQ(start(W_("sayit /file data.txt"), W_("C:\\Work")).out, "file bytes");
  Ran bad = start(W_("sayit x"), W_("C:\\NoSuchFolder"));
  EXPECT_FALSE(bad.started);
  EXPECT_EQ(bad.error, static_cast<DWORD>(ERROR_DIRECTORY));
}

TEST_F(ProcessTest, ExitCodesAndWaiting) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  WStr cmd = W_("sayit /sleep 400 /exit 7");
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(pi.hThread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_TRUE(CloseHandle(pi.hThread));
  EXPECT_TRUE(CloseHandle(pi.hProcess));
  SetLastError(kMarker);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ProcessTest, PipesCanBePeekedAt) {
  HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  DWORD avail = 99, peeked = 99;
  char buf[16];
  EXPECT_TRUE(PeekNamedPipe(r, buf, 1, &peeked, &avail, nullptr));
  EXPECT_EQ(avail, 0u);
  EXPECT_EQ(peeked, 0u);
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(w, "abc", 3, &n, nullptr));
  EXPECT_TRUE(PeekNamedPipe(r, buf, 1, &peeked, &avail, nullptr));
  EXPECT_EQ(avail, 3u);
  EXPECT_EQ(peeked, 1u);
  EXPECT_TRUE(ReadFile(r, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "abc");  // peeking took nothing away
  CloseHandle(w);
  SetLastError(kMarker);
  EXPECT_FALSE(PeekNamedPipe(r, buf, 1, &peeked, &avail, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_FALSE(ReadFile(r, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  CloseHandle(r);
}

TEST_F(ProcessTest, WhatAHandleLeadsTo) {
  HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(CreatePipe(&r, &w, nullptr, 0));
  EXPECT_EQ(GetFileType(r), FILE_TYPE_PIPE);
  write_file(c("Work/a.txt"), "x");
  HANDLE f = CreateFileW(W_("C:\\Work\\a.txt"), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileType(f), FILE_TYPE_DISK);
  SetLastError(kMarker);
  EXPECT_EQ(GetFileType(nullptr), FILE_TYPE_UNKNOWN);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(f);
  CloseHandle(w);
  CloseHandle(r);
}

CRITICAL_SECTION cs;
int counter;

// A thread routine is WINAPI: on 32-bit Windows the callee pops its argument.
DWORD WINAPI body(LPVOID p) {
  for (int i = 0; i < 1000; ++i) {
    EnterCriticalSection(&cs);
    ++counter;
    LeaveCriticalSection(&cs);
  }
  return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(p));
}

TEST_F(ProcessTest, ThreadsAndCriticalSections) {
  counter = 0;
  InitializeCriticalSection(&cs);
  DWORD tid = 0;
  HANDLE a = CreateThread(nullptr, 0, body, reinterpret_cast<LPVOID>(11), 0, &tid);
  HANDLE b = CreateThread(nullptr, 0, body, reinterpret_cast<LPVOID>(12), 0, nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_NE(tid, GetCurrentThreadId());
  EXPECT_EQ(WaitForSingleObject(a, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(b, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(b, &code));
  EXPECT_EQ(code, 12u);
  EXPECT_EQ(counter, 2000);
  CloseHandle(a);
  CloseHandle(b);
  DeleteCriticalSection(&cs);
}

#ifndef _WIN32  // the machine's account and its events
TEST_F(ProcessTest, PrivilegesOfTheAccount) {
  auto sys = nlohmann::json::parse(read_file(dir + "/system.json"));
  sys["privileges"] = {"SeBackupPrivilege"};  // an account without the shutdown privilege
  write_file(dir + "/system.json", sys.dump());
  winsim::use_machine(dir);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  auto adjust = [&](const WCHAR* name, DWORD attrs) {
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid));
    tp.Privileges[0].Attributes = attrs;
    TOKEN_PRIVILEGES prev{};
    DWORD len = 0;
    SetLastError(kMarker);
    BOOL ok = AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, &prev, &len);
    return std::pair(ok, GetLastError());
  };
  EXPECT_EQ(adjust(W_("SeBackupPrivilege"), SE_PRIVILEGE_ENABLED), std::pair(TRUE, static_cast<DWORD>(ERROR_SUCCESS)));
  EXPECT_EQ(adjust(W_("SeShutdownPrivilege"), SE_PRIVILEGE_ENABLED),
            std::pair(TRUE, static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED)));
  LUID luid{};
  SetLastError(kMarker);
  EXPECT_FALSE(LookupPrivilegeValueW(nullptr, W_("SeNoSuchPrivilege"), &luid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
  EXPECT_TRUE(LookupPrivilegeValueW(nullptr, W_("seshutdownprivilege"), &luid));
  EXPECT_EQ(luid.LowPart, 19u);

  SetLastError(kMarker);
  EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT | EWX_FORCEIFHUNG, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_TRUE(winsim::read_events(dir).empty());
  CloseHandle(token);

  winsim::create_machine(dir + "2", {});  // a default account holds it
  winsim::use_machine(dir + "2");
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  EXPECT_EQ(adjust(W_("SeShutdownPrivilege"), SE_PRIVILEGE_ENABLED),
            std::pair(TRUE, static_cast<DWORD>(ERROR_SUCCESS)));
  EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT | EWX_FORCEIFHUNG, 0));
  auto events = winsim::read_events(dir + "2");
  ASSERT_EQ(events.size(), 1u);
  auto e = nlohmann::json::parse(events[0]);
  EXPECT_EQ(e["type"], "session");
  EXPECT_EQ(e["action"], "restart");
  EXPECT_EQ(e["flags"], 0x12);
  CloseHandle(token);
  std::filesystem::remove_all(dir + "2");
}
#endif

TEST_F(ProcessTest, CmdEchoAndDel) {
  EXPECT_EQ(start(W_("cmd /c echo Hello, printer")).out, "Hello, printer\r\n");
  write_file(c("Work/a.tmp"), "");
  write_file(c("Work/b.tmp"), "");
  write_file(c("Work/keep.txt"), "");
  Ran r = start(W_("cmd.exe /c del /q C:\\Work\\*.tmp"));
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_FALSE(std::filesystem::exists(c("Work/a.tmp")));
  EXPECT_FALSE(std::filesystem::exists(c("Work/b.tmp")));
  EXPECT_TRUE(std::filesystem::exists(c("Work/keep.txt")));
  if (!under_wine()) {  // Wine's cmd ends with the error level 9009 itself
    EXPECT_EQ(start(W_("cmd /c frobnicate")).exit_code, 1u);
  }
}

TEST_F(ProcessTest, WinExecStartsAProgramOfTheMachine) {
  SKIP_UNDER_WINE("Wine 8's WinExec faults on a null read inside ntdll during this test; not yet narrowed down");
  write_file(c("Work/a.tmp"), "");
  write_file(c("Work/notes.exe"), "not a program");
  // The command line is ANSI text and the program is found as CreateProcessW finds it.
  EXPECT_GT(WinExec("cmd /c del /q C:\\Work\\a.tmp", SW_SHOW), 31u);
  for (int i = 0; i < 500 && std::filesystem::exists(c("Work/a.tmp")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(std::filesystem::exists(c("Work/a.tmp")));
  struct Case {
    const char* cmd;
    UINT result;
  } cases[] = {
      {"nosuchprogram -a 12", ERROR_FILE_NOT_FOUND},
      {"C:\\Work\\notes.exe", ERROR_BAD_FORMAT},
  };
  for (auto& tc : cases) EXPECT_EQ(WinExec(tc.cmd, SW_SHOW), tc.result) << tc.cmd;
  SetLastError(kMarker);
  EXPECT_EQ(WinExec(nullptr, SW_SHOW), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
