// Processes started inside the machine, threads, anonymous pipes, waiting, critical sections,
// process tokens and the end of the session.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "internal.h"
#include "win32/security.h"
#include "win32/user.h"

extern char** environ;

namespace winsim {

namespace {

struct ProcessObject : Waitable {
  pid_t pid = 0;
};

struct ThreadObject : Waitable {};

struct TokenObject : Object {};

// The privileges this machine knows, with the identifiers Windows gives them.
constexpr std::pair<const char*, DWORD> kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2},
    {"SeAssignPrimaryTokenPrivilege", 3},
    {"SeLockMemoryPrivilege", 4},
    {"SeIncreaseQuotaPrivilege", 5},
    {"SeMachineAccountPrivilege", 6},
    {"SeTcbPrivilege", 7},
    {"SeSecurityPrivilege", 8},
    {"SeTakeOwnershipPrivilege", 9},
    {"SeLoadDriverPrivilege", 10},
    {"SeSystemProfilePrivilege", 11},
    {"SeSystemtimePrivilege", 12},
    {"SeProfileSingleProcessPrivilege", 13},
    {"SeIncreaseBasePriorityPrivilege", 14},
    {"SeCreatePagefilePrivilege", 15},
    {"SeCreatePermanentPrivilege", 16},
    {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},
    {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},
    {"SeAuditPrivilege", 21},
    {"SeSystemEnvironmentPrivilege", 22},
    {"SeChangeNotifyPrivilege", 23},
    {"SeRemoteShutdownPrivilege", 24},
    {"SeUndockPrivilege", 25},
};

const char* privilege_name(DWORD luid) {
  for (auto& [n, v] : kPrivileges)
    if (v == luid) return n;
  return nullptr;
}

bool holds(const std::string& privilege) {
  const auto& held = machine().privileges;
  return std::find(held.begin(), held.end(), privilege) != held.end();
}

// The names the program may have, read off the command line's start the way the loader reads it.
std::vector<WStr> program_candidates(const WStr& cmd) {
  std::vector<WStr> out;
  size_t i = 0;
  while (i < cmd.size() && (cmd[i] == u' ' || cmd[i] == u'\t')) ++i;
  if (i < cmd.size() && cmd[i] == u'"') {
    size_t end = cmd.find(u'"', i + 1);
    out.push_back(cmd.substr(i + 1, end == WStr::npos ? WStr::npos : end - i - 1));
    return out;
  }
  // Unquoted: each blank may end the name ("C:\Program Files\x.exe" is tried as "C:\Program"
  // first).
  for (size_t j = i; j <= cmd.size(); ++j) {
    if (j == cmd.size() || cmd[j] == u' ' || cmd[j] == u'\t') {
      if (j > i) out.push_back(cmd.substr(i, j - i));
      if (j == cmd.size()) break;
    }
  }
  return out;
}

std::optional<HostPath> find_file(const WStr& path) {
  DWORD err = 0;
  auto r = resolve(path, err);
  struct stat st {};
  if (r && r->exists && ::stat(r->host.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return r;
  return std::nullopt;
}

// Finds a program: the folder of the running image, the current folder, System32, Windows,
// then PATH; ".exe" is added to a name without an extension.
std::optional<HostPath> find_program(WStr name) {
  if (file_of(name).find(u'.') == WStr::npos) name += u".exe";
  if (name.find_first_of(u"\\/") != WStr::npos || (name.size() > 1 && name[1] == u':')) return find_file(name);
  Process& p = process();
  std::vector<WStr> dirs;
  {
    std::lock_guard lock(p.mu);
    dirs = {p.image_path.substr(0, p.image_path.find_last_of(u'\\')), p.cwd};
  }
  dirs.push_back(machine().system_dir);
  dirs.push_back(machine().windows_dir);
  WStr path = get_env(u"PATH").value_or(u"");
  for (size_t start = 0; start <= path.size();) {
    size_t end = std::min(path.find(u';', start), path.size());
    WStr d = trim_blanks(WStrView(path).substr(start, end - start));
    if (!d.empty()) dirs.push_back(d);
    start = end + 1;
  }
  for (auto& d : dirs)
    if (auto r = find_file(d + (d.back() == u'\\' ? u"" : u"\\") + name)) return r;
  return std::nullopt;
}

// Splits a command line the way the C run-time does for argv.
std::vector<std::string> split_args(const WStr& cmd) {
  std::vector<std::string> args;
  size_t i = 0;
  while (i < cmd.size()) {
    while (i < cmd.size() && (cmd[i] == u' ' || cmd[i] == u'\t')) ++i;
    if (i >= cmd.size()) break;
    WStr arg;
    bool quoted = false;
    for (; i < cmd.size(); ++i) {
      WCHAR c = cmd[i];
      if (c == u'\\') {
        size_t n = 0;
        while (i < cmd.size() && cmd[i] == u'\\') ++n, ++i;
        if (i < cmd.size() && cmd[i] == u'"') {
          arg.append(n / 2, u'\\');
          if (n % 2) {
            arg += u'"';
            continue;
          }
          --i;
          continue;
        }
        arg.append(n, u'\\');
        --i;
      } else if (c == u'"') {
        quoted = !quoted;
      } else if (!quoted && (c == u' ' || c == u'\t')) {
        break;
      } else {
        arg += c;
      }
    }
    args.push_back(to_utf8(arg));
  }
  return args;
}

std::vector<std::pair<WStr, WStr>> parse_env_block(LPVOID block, bool unicode) {
  std::vector<std::pair<WStr, WStr>> env;
  if (unicode) {
    for (auto* p = static_cast<const WCHAR*>(block); *p;) {
      WStr line = p;
      p += line.size() + 1;
      auto eq = line.find(u'=', 1);
      if (eq != WStr::npos) env.push_back({line.substr(0, eq), line.substr(eq + 1)});
    }
  } else {
    for (auto* p = static_cast<const char*>(block); *p;) {
      std::string line = p;
      p += line.size() + 1;
      WStr w = from_acp(line);
      auto eq = w.find(u'=', 1);
      if (eq != WStr::npos) env.push_back({w.substr(0, eq), w.substr(eq + 1)});
    }
  }
  return env;
}

int fd_of(HANDLE h) {
  if (!h || h == INVALID_HANDLE_VALUE) return -1;
  auto f = process().get<FdObject>(h);
  return f ? f->fd : -1;
}

}  // namespace

// The standard handles and the command line of this process, set when the process starts.
void init_process_io(Process& p) {
  ::signal(SIGPIPE, SIG_IGN);  // a closed pipe is an error code here, as on Windows
  for (int fd = 0; fd < 3; ++fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      p.std_handles[fd] = nullptr;
      continue;
    }
    auto obj = std::make_shared<FdObject>();
    obj->fd = fd;
    obj->owns = false;
    obj->pipe = S_ISSOCK(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
    obj->access = fd == 0 ? GENERIC_READ : GENERIC_WRITE;
    ULONG_PTR h = p.next_handle;
    p.next_handle += 4;
    p.handles[h] = obj;
    p.std_handles[fd] = reinterpret_cast<HANDLE>(h);
  }
  const char* cmd = std::getenv("WINSIM_CMDLINE");
  p.command_line = cmd ? from_utf8(cmd) : u"\"" + p.image_path + u"\"";
  p.enabled_privileges = {"SeChangeNotifyPrivilege"};
}

// A system program of System32 started by the machine itself, as Windows starts its own helpers:
// not a child of the caller's Windows process, with nothing inherited but the host environment.
// Reaped by a thread of its own so that it leaves no zombie behind.
bool start_system_program(const std::string& dir, const std::string& name, const std::string& arguments) {
  const std::string full = "C:\\Windows\\System32\\" + name;
  const std::string host = dir + "/C/Windows/System32/" + name;
  if (::access(host.c_str(), X_OK) != 0) return false;
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::string_view(*e).rfind("WINSIM_", 0) != 0) env.emplace_back(*e);
  env.push_back("WINSIM_MACHINE=" + dir);
  env.push_back("WINSIM_SYSTEM_PROGRAM=1");
  env.push_back("WINSIM_IMAGE=" + full);
  env.push_back("WINSIM_IMAGE_HOST=" + host);
  env.push_back("WINSIM_CMDLINE=\"" + full + "\"" + (arguments.empty() ? "" : " " + arguments));
  std::vector<char*> envp, argv{const_cast<char*>(host.c_str()), nullptr};
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_addopen(&fa, fd, "/dev/null", fd ? O_WRONLY : O_RDONLY, 0);
  posix_spawn_file_actions_addchdir_np(&fa, (dir + "/C/Windows/System32").c_str());
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, host.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  std::thread([pid] {
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  if (DWORD e = fault("GetStdHandle")) {
    SetLastError(e);
    return INVALID_HANDLE_VALUE;
  }
  int index = nStdHandle == STD_INPUT_HANDLE    ? 0
              : nStdHandle == STD_OUTPUT_HANDLE ? 1
              : nStdHandle == STD_ERROR_HANDLE  ? 2
                                                : -1;
  if (index < 0) return fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  Process& p = process();
  std::lock_guard lock(p.mu);
  return p.std_handles[index];
}

WINSIM_API LPWSTR WINAPI GetCommandLineW(void) {
  Process& p = process();
  std::lock_guard lock(p.mu);
  return p.command_line.data();
}

WINSIM_API BOOL WINAPI CreatePipe(PHANDLE hReadPipe, PHANDLE hWritePipe, LPSECURITY_ATTRIBUTES, DWORD) {
  if (DWORD e = fault("CreatePipe")) return fail(e, FALSE);
  if (!hReadPipe || !hWritePipe) return fail(ERROR_INVALID_PARAMETER, FALSE);
  // A socket pair, so that the reading end can be peeked at.
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  ::shutdown(fds[0], SHUT_WR);
  ::shutdown(fds[1], SHUT_RD);
  auto r = std::make_shared<FdObject>();
  r->fd = fds[0];
  r->pipe = true;
  r->access = GENERIC_READ;
  auto w = std::make_shared<FdObject>();
  w->fd = fds[1];
  w->pipe = true;
  w->access = GENERIC_WRITE;
  *hReadPipe = process().add(r);
  *hWritePipe = process().add(w);
  return TRUE;
}

WINSIM_API BOOL WINAPI PeekNamedPipe(HANDLE hNamedPipe, LPVOID lpBuffer, DWORD nBufferSize, LPDWORD lpBytesRead,
                                     LPDWORD lpTotalBytesAvail, LPDWORD lpBytesLeftThisMessage) {
  if (DWORD e = fault("PeekNamedPipe")) return fail(e, FALSE);
  auto f = process().get<FdObject>(hNamedPipe);
  if (!f || !f->pipe) return fail(ERROR_INVALID_HANDLE, FALSE);
  int avail = 0;
  if (::ioctl(f->fd, FIONREAD, &avail) != 0) return fail(ERROR_BROKEN_PIPE, FALSE);
  if (avail == 0) {
    char probe;
    ssize_t n = ::recv(f->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) return fail(ERROR_BROKEN_PIPE, FALSE);  // no writer left
  }
  DWORD copied = 0;
  if (lpBuffer && nBufferSize && avail > 0) {
    ssize_t n =
        ::recv(f->fd, lpBuffer, std::min<size_t>(nBufferSize, static_cast<size_t>(avail)), MSG_PEEK | MSG_DONTWAIT);
    copied = n > 0 ? static_cast<DWORD>(n) : 0;
  }
  if (lpBytesRead) *lpBytesRead = copied;
  if (lpTotalBytesAvail) *lpTotalBytesAvail = static_cast<DWORD>(avail);
  if (lpBytesLeftThisMessage) *lpBytesLeftThisMessage = 0;
  return TRUE;
}

WINSIM_API BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                                      LPSECURITY_ATTRIBUTES, BOOL, DWORD dwCreationFlags, LPVOID lpEnvironment,
                                      LPCWSTR lpCurrentDirectory, LPSTARTUPINFOW lpStartupInfo,
                                      LPPROCESS_INFORMATION lpProcessInformation) {
  if (DWORD e = fault("CreateProcessW")) return fail(e, FALSE);
  if ((!lpApplicationName && !lpCommandLine) || !lpStartupInfo || !lpProcessInformation)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (dwCreationFlags & CREATE_SUSPENDED) return fail(ERROR_NOT_SUPPORTED, FALSE);
  WStr cmd = lpCommandLine ? WStr(lpCommandLine) : u"\"" + WStr(lpApplicationName) + u"\"";
  std::optional<HostPath> program;
  if (lpApplicationName) {
    program = find_file(full_path(lpApplicationName));
  } else {
    for (auto& candidate : program_candidates(cmd))
      if ((program = find_program(candidate))) break;
  }
  if (!program) return fail(ERROR_FILE_NOT_FOUND, FALSE);
  if (!image_bits(program->host)) return fail(ERROR_BAD_EXE_FORMAT, FALSE);

  // The folder it starts in.
  std::string host_cwd;
  if (lpCurrentDirectory) {
    DWORD err = 0;
    auto r = resolve(lpCurrentDirectory, err);
    struct stat st {};
    if (!r || !r->exists || ::stat(r->host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return fail(ERROR_DIRECTORY, FALSE);
    host_cwd = r->host;
  } else {
    DWORD err = 0;
    auto r = resolve(full_path(u"."), err);
    host_cwd = r ? r->host : std::string("/");
  }

  // Its environment: the block given, or this process's own.
  std::vector<std::pair<WStr, WStr>> env;
  if (lpEnvironment) {
    env = parse_env_block(lpEnvironment, dwCreationFlags & CREATE_UNICODE_ENVIRONMENT);
  } else {
    Process& p = process();
    std::lock_guard lock(p.mu);
    env = p.env;
  }
  json block = json::array();
  for (auto& [k, v] : env) block.push_back(to_utf8(k + u"=" + v));

  // The host environment carries the machine along; what describes this process stays behind.
  auto own = [](std::string_view kv) {
    for (const char* name : {"WINSIM_IMAGE=", "WINSIM_IMAGE_HOST=", "WINSIM_ENV=", "WINSIM_CMDLINE=", "WINSIM_SHOW="})
      if (kv.rfind(name, 0) == 0) return true;
    return false;
  };
  std::vector<std::string> host_env;
  for (char** e = environ; *e; ++e)
    if (!own(*e)) host_env.emplace_back(*e);
  host_env.push_back("WINSIM_MACHINE=" + machine().dir);
  host_env.push_back("WINSIM_IMAGE=" + to_utf8(program->full));
  host_env.push_back("WINSIM_IMAGE_HOST=" + program->host);
  host_env.push_back("WINSIM_ENV=" + block.dump());
  host_env.push_back("WINSIM_CMDLINE=" + to_utf8(cmd));
  if (lpStartupInfo->dwFlags & STARTF_USESHOWWINDOW)
    host_env.push_back("WINSIM_SHOW=" + std::to_string(lpStartupInfo->wShowWindow));
  std::vector<char*> envp;
  for (auto& e : host_env) envp.push_back(e.data());
  envp.push_back(nullptr);

  std::vector<std::string> args = split_args(cmd);
  if (args.empty()) args.push_back(to_utf8(program->full));
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (lpStartupInfo->dwFlags & STARTF_USESTDHANDLES) {
    HANDLE std[3] = {lpStartupInfo->hStdInput, lpStartupInfo->hStdOutput, lpStartupInfo->hStdError};
    for (int i = 0; i < 3; ++i) {
      int fd = fd_of(std[i]);
      posix_spawn_file_actions_adddup2(&fa, fd >= 0 ? fd : devnull, i);
    }
  }
  posix_spawn_file_actions_addchdir_np(&fa, host_cwd.c_str());
  // Windows runs any file that holds an image; a program a process wrote out itself (an installer
  // unpacking its helper) has no execute permission on the host until it is given one.
  struct stat image_stat {};
  if (::stat(program->host.c_str(), &image_stat) == 0 && (image_stat.st_mode & S_IXUSR) == 0)
    ::chmod(program->host.c_str(), image_stat.st_mode | S_IXUSR | S_IXGRP | S_IXOTH);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program->host.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  if (devnull >= 0) ::close(devnull);
  if (rc != 0) return fail(rc == ENOEXEC ? ERROR_BAD_EXE_FORMAT : ERROR_ACCESS_DENIED, FALSE);

  auto proc = std::make_shared<ProcessObject>();
  proc->pid = pid;
  auto thread = std::make_shared<ThreadObject>();
  thread->state = proc->state;  // the main thread ends with its process
  std::thread([pid, state = proc->state] {
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    DWORD code = WIFEXITED(st) ? static_cast<DWORD>(WEXITSTATUS(st)) : 0xC0000000u | static_cast<DWORD>(WTERMSIG(st));
    std::lock_guard lock(state->mu);
    if (!state->done) {
      state->done = true;
      state->exit_code = code;
    }
    state->cv.notify_all();
  }).detach();
  lpProcessInformation->hProcess = process().add(proc);
  lpProcessInformation->hThread = process().add(thread);
  lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
  lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);
  return TRUE;
}

// The old way to start a program: the command line in the ANSI code page, found and started as
// CreateProcessW does, with nothing to wait on. Above 31 on success, else the reason.
WINSIM_API UINT WINAPI WinExec(LPCSTR lpCmdLine, UINT uCmdShow) {
  if (DWORD e = fault("WinExec")) return fail(e, 0u);
  if (!lpCmdLine) return fail(ERROR_INVALID_PARAMETER, 0u);
  WStr cmd = from_acp(lpCmdLine);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = static_cast<WORD>(uCmdShow);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    DWORD e = GetLastError();
    switch (e) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
        return static_cast<UINT>(e);
      case ERROR_BAD_EXE_FORMAT:
        return ERROR_BAD_FORMAT;
      default:
        return 0;  // out of resources, as the system says for everything else
    }
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return 33;
}

WINSIM_API BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  if (DWORD e = fault("GetExitCodeProcess")) return fail(e, FALSE);
  if (!lpExitCode) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (hProcess == GetCurrentProcess()) {
    *lpExitCode = STILL_ACTIVE;
    return TRUE;
  }
  auto p = process().get<ProcessObject>(hProcess);
  if (!p) return fail(ERROR_INVALID_HANDLE, FALSE);
  std::lock_guard lock(p->state->mu);
  *lpExitCode = p->state->exit_code;
  return TRUE;
}

WINSIM_API BOOL WINAPI TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  if (DWORD e = fault("TerminateProcess")) return fail(e, FALSE);
  auto p = process().get<ProcessObject>(hProcess);
  if (!p) return fail(ERROR_INVALID_HANDLE, FALSE);
  {
    std::lock_guard lock(p->state->mu);
    if (p->state->done) return fail(ERROR_ACCESS_DENIED, FALSE);
    p->state->done = true;
    p->state->exit_code = uExitCode;
  }
  ::kill(p->pid, SIGKILL);
  p->state->cv.notify_all();
  return TRUE;
}

WINSIM_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                                      LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (DWORD e = fault("CreateThread")) return fail(e, static_cast<HANDLE>(nullptr));
  if (!lpStartAddress) return fail(ERROR_INVALID_PARAMETER, static_cast<HANDLE>(nullptr));
  if (dwCreationFlags & CREATE_SUSPENDED) return fail(ERROR_NOT_SUPPORTED, static_cast<HANDLE>(nullptr));
  auto obj = std::make_shared<ThreadObject>();
  auto started = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
  auto tid = std::make_shared<DWORD>(0);
  std::thread([state = obj->state, lpStartAddress, lpParameter, started, tid] {
    {
      std::lock_guard lock(started->first);
      *tid = GetCurrentThreadId();
    }
    started->second.notify_all();
    notify_libraries(DLL_THREAD_ATTACH);
    DWORD code = lpStartAddress(lpParameter);
    notify_libraries(DLL_THREAD_DETACH);
    state->finish(code);
  }).detach();
  std::unique_lock lock(started->first);
  started->second.wait(lock, [&] { return *tid != 0; });
  if (lpThreadId) *lpThreadId = *tid;
  return process().add(obj);
}

WINSIM_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  if (DWORD e = fault("GetExitCodeThread")) {
    SetLastError(e);
    return FALSE;
  }
  auto t = process().get<Waitable>(hThread);
  if (!t || !lpExitCode) return fail(t ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE, FALSE);
  std::lock_guard lock(t->state->mu);
  *lpExitCode = t->state->exit_code;
  return TRUE;
}

WINSIM_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  if (DWORD e = fault("WaitForSingleObject")) return fail(e, WAIT_FAILED);
  if (hHandle == GetCurrentProcess()) {  // never signalled while the caller runs
    if (dwMilliseconds != INFINITE) std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    return WAIT_TIMEOUT;
  }
  if (auto obj = process().get<Syncable>(hHandle))
    return obj->may_wait() ? wait_for(*obj, dwMilliseconds) : fail(ERROR_ACCESS_DENIED, WAIT_FAILED);
  if (auto shared = process().get<SharedWaitable>(hHandle))
    return shared->wait_signalled(dwMilliseconds) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  auto w = process().get<Waitable>(hHandle);
  if (!w) return fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  std::unique_lock lock(w->state->mu);
  if (dwMilliseconds == INFINITE) {
    w->state->cv.wait(lock, [&] { return w->state->done; });
    return WAIT_OBJECT_0;
  }
  return w->state->cv.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), [&] { return w->state->done; })
             ? WAIT_OBJECT_0
             : WAIT_TIMEOUT;
}

// ---- critical sections ------------------------------------------------------------------------

WINSIM_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  std::memset(cs, 0, sizeof *cs);
  cs->DebugInfo = new std::recursive_mutex;
}

WINSIM_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  static_cast<std::recursive_mutex*>(cs->DebugInfo)->lock();
}

WINSIM_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  return static_cast<std::recursive_mutex*>(cs->DebugInfo)->try_lock() ? TRUE : FALSE;
}

WINSIM_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  static_cast<std::recursive_mutex*>(cs->DebugInfo)->unlock();
}

WINSIM_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  delete static_cast<std::recursive_mutex*>(cs->DebugInfo);
  cs->DebugInfo = nullptr;
}

// ---- tokens and privileges --------------------------------------------------------------------

WINSIM_API BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD, PHANDLE TokenHandle) {
  if (DWORD e = fault("OpenProcessToken")) return fail(e, FALSE);
  if (!TokenHandle) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (ProcessHandle != GetCurrentProcess()) return fail(ERROR_ACCESS_DENIED, FALSE);
  *TokenHandle = process().add(std::make_shared<TokenObject>());
  return TRUE;
}

WINSIM_API BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  if (DWORD e = fault("LookupPrivilegeValueW")) return fail(e, FALSE);
  if (!lpName || !lpLuid) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (lpSystemName && *lpSystemName) return fail(ERROR_BAD_NETPATH, FALSE);
  for (auto& [n, v] : kPrivileges) {
    if (iequal(from_utf8(n), lpName)) {
      lpLuid->LowPart = v;
      lpLuid->HighPart = 0;
      return TRUE;
    }
  }
  return fail(ERROR_NO_SUCH_PRIVILEGE, FALSE);
}

WINSIM_API BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges, PTOKEN_PRIVILEGES NewState,
                                             DWORD BufferLength, PTOKEN_PRIVILEGES PreviousState,
                                             LPDWORD ReturnLength) {
  if (DWORD e = fault("AdjustTokenPrivileges")) return fail(e, FALSE);
  if (!process().get<TokenObject>(TokenHandle)) return fail(ERROR_INVALID_HANDLE, FALSE);
  Process& p = process();
  std::lock_guard lock(p.mu);
  if (DisableAllPrivileges) {
    p.enabled_privileges.clear();
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (!NewState) return fail(ERROR_INVALID_PARAMETER, FALSE);
  DWORD needed = static_cast<DWORD>(sizeof(DWORD) + sizeof(LUID_AND_ATTRIBUTES) * NewState->PrivilegeCount);
  if (PreviousState && BufferLength < needed) {
    if (ReturnLength) *ReturnLength = needed;
    return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  bool not_all = false;
  std::vector<LUID_AND_ATTRIBUTES> previous;
  for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& la = NewState->Privileges[i];
    const char* name = la.Luid.HighPart == 0 ? privilege_name(la.Luid.LowPart) : nullptr;
    if (!name) return fail(ERROR_NO_SUCH_PRIVILEGE, FALSE);
    if (!holds(name)) {
      not_all = true;  // the account lacks it: left alone, and said so
      continue;
    }
    bool was = p.enabled_privileges.count(name) > 0;
    bool now = la.Attributes & SE_PRIVILEGE_ENABLED;
    if (was != now) previous.push_back({la.Luid, was ? SE_PRIVILEGE_ENABLED : 0u});
    if (now) {
      p.enabled_privileges.insert(name);
    } else {
      p.enabled_privileges.erase(name);
    }
  }
  if (PreviousState) {
    PreviousState->PrivilegeCount = static_cast<DWORD>(previous.size());
    for (size_t i = 0; i < previous.size(); ++i) PreviousState->Privileges[i] = previous[i];
  }
  if (ReturnLength)
    *ReturnLength =
        PreviousState ? static_cast<DWORD>(sizeof(DWORD) + sizeof(LUID_AND_ATTRIBUTES) * previous.size()) : 0;
  SetLastError(not_all ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}

WINSIM_API BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) {
  if (DWORD e = fault("ExitWindowsEx")) return fail(e, FALSE);
  bool ends_session = uFlags & (EWX_REBOOT | EWX_SHUTDOWN);
  if (ends_session) {
    Process& p = process();
    std::lock_guard lock(p.mu);
    if (!p.enabled_privileges.count("SeShutdownPrivilege")) return fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
  }
  const char* what = (uFlags & EWX_REBOOT) ? "restart" : (uFlags & EWX_SHUTDOWN) ? "shutdown" : "logoff";
  append_event({{"type", "session"}, {"action", what}, {"flags", uFlags}, {"reason", dwReason}});
  return TRUE;
}

}  // extern "C"
