// The process: last error, handles, current folder, environment, image and system modules,
// system facts, time and debug output.
#include <dlfcn.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "internal.h"

namespace fs = std::filesystem;

namespace winsim {

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

WStr file_of(WStrView path) {
  auto slash = path.find_last_of(u'\\');
  return WStr(slash == WStrView::npos ? path : path.substr(slash + 1));
}

namespace {

thread_local DWORD t_last_error = 0;

std::mutex g_process_mu;
std::unique_ptr<Process> g_process;
int g_declared_bits = 0;
std::string g_declared_path;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

// The environment a process gets when no parent handed it one: what a fresh logon gives.
std::vector<std::pair<WStr, WStr>> default_environment(const Machine& m, int bits) {
  bool wow = m.is64 && bits == 32;
  WStr profile = m.major >= 6 ? u"C:\\Users\\" + m.user : u"C:\\Documents and Settings\\" + m.user;
  WStr temp = short_path(m.temp_dir);
  std::vector<std::pair<WStr, WStr>> env = {
      {u"ALLUSERSPROFILE", m.major >= 6 ? u"C:\\ProgramData" : u"C:\\Documents and Settings\\All Users"},
      {u"APPDATA", profile + (m.major >= 6 ? u"\\AppData\\Roaming" : u"\\Application Data")},
      {u"COMPUTERNAME", m.computer},
      {u"ComSpec", m.system_dir + u"\\cmd.exe"},
      {u"HOMEDRIVE", u"C:"},
      {u"HOMEPATH", profile.substr(2)},
      {u"NUMBER_OF_PROCESSORS", u"2"},
      {u"OS", u"Windows_NT"},
      {u"Path", m.system_dir + u";" + m.windows_dir + u";" + m.system_dir + u"\\Wbem"},
      {u"PATHEXT", u".COM;.EXE;.BAT;.CMD;.VBS;.JS"},
      {u"PROCESSOR_ARCHITECTURE", m.is64 && !wow ? u"AMD64" : u"x86"},
      {u"ProgramFiles", wow ? m.program_files_x86 : m.program_files},
      {u"SystemDrive", u"C:"},
      {u"SystemRoot", m.windows_dir},
      {u"TEMP", temp},
      {u"TMP", temp},
      {u"USERNAME", m.user},
      {u"USERPROFILE", profile},
      {u"windir", m.windows_dir},
  };
  if (m.major >= 6) env.push_back({u"LOCALAPPDATA", profile + u"\\AppData\\Local"});
  if (m.is64) {
    env.push_back({u"ProgramFiles(x86)", m.program_files_x86});
    env.push_back({u"ProgramW6432", m.program_files});
    if (wow) env.push_back({u"PROCESSOR_ARCHITEW6432", u"AMD64"});
  }
  return env;
}

std::string self_exe() {
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).string();
}

void init_process(Process& p) {
  const Machine& m = machine();
  p.image_bits = g_declared_bits ? g_declared_bits : 64;
  p.image_declared = g_declared_bits != 0;
  // `winsim run` names the image in the machine; a host process that merely inherited that
  // setting (another program) must not take it for its own.
  const char* img = std::getenv("WINSIM_IMAGE");
  const char* img_host = std::getenv("WINSIM_IMAGE_HOST");
  std::string exe = self_exe();
  if (!g_declared_path.empty()) {
    p.image_path = from_utf8(g_declared_path);
  } else if (img && img_host && same_file(img_host, exe)) {
    p.image_path = from_utf8(img);
    p.image_host = img_host;
  } else {
    p.image_path = windows_path_of(exe).value_or(u"C:\\" + from_utf8(fs::path(exe).filename().string()));
    p.image_host = exe;
  }
  std::error_code ec;
  p.cwd = windows_path_of(fs::current_path(ec).string()).value_or(m.windows_dir);
  p.env.clear();
  if (const char* block = std::getenv("WINSIM_ENV")) {
    try {
      for (auto& e : json::parse(block)) {
        WStr line = from_utf8(e.get<std::string>());
        auto eq = line.find(u'=', 1);
        if (eq != WStr::npos) p.env.push_back({line.substr(0, eq), line.substr(eq + 1)});
      }
    } catch (const json::exception&) {
      p.env.clear();
    }
  }
  if (p.env.empty()) p.env = default_environment(m, p.image_bits);
  p.handles.clear();
  init_process_io(p);
  init_modules(p);
}

}  // namespace

namespace {

thread_local bool t_starting = false;

// Runs the start of the process state, marked so that what it calls never asks for the process
// (whose lock this thread holds) again.
void start_process(Process& p) {
  t_starting = true;
  init_process(p);
  t_starting = false;
}

}  // namespace

bool process_starting() { return t_starting; }

Process& process() {
  std::lock_guard lock(g_process_mu);
  if (!g_process) {
    g_process = std::make_unique<Process>();
    start_process(*g_process);
  }
  return *g_process;
}

void reset_process_state() {
  std::lock_guard lock(g_process_mu);
  if (!g_process) g_process = std::make_unique<Process>();
  start_process(*g_process);
}

void declare_image(int bits, const std::string& windows_path) {
  {
    std::lock_guard lock(g_process_mu);
    g_declared_bits = bits;
    if (!windows_path.empty()) g_declared_path = windows_path;
    if (!g_process) return;
  }
  reset_process_state();
}

bool is_wow64() { return machine().is64 && process().image_bits == 32; }

HANDLE Process::add(std::shared_ptr<Object> obj) {
  std::lock_guard lock(mu);
  ULONG_PTR h = next_handle;
  next_handle += 4;
  handles[h] = std::move(obj);
  return reinterpret_cast<HANDLE>(h);
}

bool Process::close(HANDLE h) {
  std::shared_ptr<Object> obj;  // destroyed outside the lock
  std::lock_guard lock(mu);
  auto it = handles.find(reinterpret_cast<ULONG_PTR>(h));
  if (it == handles.end()) return false;
  obj = std::move(it->second);
  handles.erase(it);
  return true;
}

std::optional<WStr> get_env(WStrView name) {
  Process& p = process();
  std::lock_guard lock(p.mu);
  for (auto& [k, v] : p.env)
    if (iequal(k, name)) return v;
  return std::nullopt;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_CTL void winsim_declare_image(int bits) { winsim::declare_image(bits); }

WINSIM_API DWORD WINAPI GetLastError(void) { return t_last_error; }
WINSIM_API void WINAPI SetLastError(DWORD dwErrCode) { t_last_error = dwErrCode; }

WINSIM_API HANDLE WINAPI GetCurrentProcess(void) { return kCurrentProcess; }
WINSIM_API DWORD WINAPI GetCurrentProcessId(void) { return static_cast<DWORD>(::getpid()); }
WINSIM_API DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(::gettid()); }

WINSIM_API BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (DWORD e = fault("CloseHandle")) {
    SetLastError(e);
    return FALSE;
  }
  if (hObject == kCurrentProcess) return TRUE;
  if (!process().close(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// ---- environment ------------------------------------------------------------------------------

WINSIM_API DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  if (DWORD e = fault("GetEnvironmentVariableW")) {
    SetLastError(e);
    return 0;
  }
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto v = get_env(lpName);
  if (!v) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  if (v->empty() && lpBuffer && nSize > 0) SetLastError(ERROR_SUCCESS);  // 0 is also the empty value
  return copy_out(*v, lpBuffer, nSize);
}

WINSIM_API BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  if (DWORD e = fault("SetEnvironmentVariableW")) {
    SetLastError(e);
    return FALSE;
  }
  if (!lpName || !*lpName || WStrView(lpName).find(u'=', 1) != WStrView::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Process& p = process();
  std::lock_guard lock(p.mu);
  auto it = std::find_if(p.env.begin(), p.env.end(), [&](auto& kv) { return iequal(kv.first, lpName); });
  if (!lpValue) {
    if (it == p.env.end()) {
      SetLastError(ERROR_ENVVAR_NOT_FOUND);
      return FALSE;
    }
    p.env.erase(it);
  } else if (it == p.env.end()) {
    p.env.push_back({lpName, lpValue});
  } else {
    it->second = lpValue;  // the name keeps the spelling it was created with
  }
  return TRUE;
}

// ---- system facts -----------------------------------------------------------------------------

WINSIM_API DWORD WINAPI GetVersion(void) {
  const Machine& m = machine();
  unsigned major = m.major, minor = m.minor, build = m.build;
  if (major * 10 + minor > 62) {  // as GetVersionExW tells programs without a manifest
    major = 6;
    minor = 2;
    build = 9200;
  }
  // The NT family: the top bit stays clear, the build number fills the high word.
  return ((build & 0x7FFF) << 16) | (minor << 8) | major;
}

WINSIM_API BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation) {
  if (DWORD e = fault("GetVersionExW")) {
    SetLastError(e);
    return FALSE;
  }
  if (!lpVersionInformation || (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW) &&
                                lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW))) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const Machine& m = machine();
  unsigned major = m.major, minor = m.minor, build = m.build;
  WStr csd = m.service_pack;
  // Programs whose manifest names no supported versions are told 6.2 on Windows 8.1 and later.
  if (major * 10 + minor > 62) {
    major = 6;
    minor = 2;
    build = 9200;
    csd.clear();
  }
  auto* v = lpVersionInformation;
  v->dwMajorVersion = major;
  v->dwMinorVersion = minor;
  v->dwBuildNumber = build;
  v->dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(v->szCSDVersion, 0, sizeof v->szCSDVersion);
  std::memcpy(v->szCSDVersion, csd.data(), std::min<size_t>(csd.size(), 127) * sizeof(WCHAR));
  if (v->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXW)) {
    auto* ex = reinterpret_cast<OSVERSIONINFOEXW*>(v);
    unsigned sp = 0;
    if (!csd.empty()) sp = static_cast<unsigned>(csd.back() - u'0');
    ex->wServicePackMajor = static_cast<WORD>(sp < 10 ? sp : 0);
    ex->wServicePackMinor = 0;
    ex->wSuiteMask = 0x100;  // single user
    ex->wProductType = 1;    // workstation
    ex->wReserved = 0;
  }
  return TRUE;
}

WINSIM_API LANGID WINAPI GetSystemDefaultLangID(void) {
  fault("GetSystemDefaultLangID");
  return machine().language;
}

static void fill_system_info(LPSYSTEM_INFO si, bool native) {
  const Machine& m = machine();
  bool amd64 = m.is64 && (native || !is_wow64());
  std::memset(si, 0, sizeof *si);
  si->wProcessorArchitecture = amd64 ? PROCESSOR_ARCHITECTURE_AMD64 : PROCESSOR_ARCHITECTURE_INTEL;
  si->dwPageSize = 4096;
  si->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(0x10000);
  si->lpMaximumApplicationAddress = reinterpret_cast<LPVOID>(amd64 ? 0x7FFFFFEFFFFull : 0x7FFEFFFFull);
  si->dwActiveProcessorMask = 3;
  si->dwNumberOfProcessors = 2;
  si->dwProcessorType = amd64 ? 8664 : 586;
  si->dwAllocationGranularity = 65536;
  si->wProcessorLevel = 6;
  si->wProcessorRevision = 0x3A09;
}

WINSIM_API void WINAPI GetSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
  fault("GetSystemInfo");
  if (lpSystemInfo) fill_system_info(lpSystemInfo, false);
}

WINSIM_API void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO lpSystemInfo) {
  fault("GetNativeSystemInfo");
  if (lpSystemInfo) fill_system_info(lpSystemInfo, true);
}

WINSIM_API BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process) {
  if (DWORD e = fault("IsWow64Process")) {
    SetLastError(e);
    return FALSE;
  }
  if (hProcess != kCurrentProcess) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!Wow64Process) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *Wow64Process = is_wow64() ? TRUE : FALSE;
  return TRUE;
}

// ---- memory, time, debug output ---------------------------------------------------------------

WINSIM_API HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (DWORD e = fault("LocalAlloc")) {
    SetLastError(e);
    return nullptr;
  }
  void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

WINSIM_API HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  std::free(hMem);
  return nullptr;
}

WINSIM_API void WINAPI Sleep(DWORD dwMilliseconds) {
  fault("Sleep");
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

WINSIM_API DWORD WINAPI GetTickCount(void) {
  fault("GetTickCount");
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<DWORD>(static_cast<unsigned long long>(ts.tv_sec) * 1000ull +
                            static_cast<unsigned long long>(ts.tv_nsec) / 1000000ull);
}

WINSIM_API void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  fault("GetLocalTime");
  if (!lpSystemTime) return;
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  ::localtime_r(&ts.tv_sec, &t);
  lpSystemTime->wYear = static_cast<WORD>(t.tm_year + 1900);
  lpSystemTime->wMonth = static_cast<WORD>(t.tm_mon + 1);
  lpSystemTime->wDayOfWeek = static_cast<WORD>(t.tm_wday);
  lpSystemTime->wDay = static_cast<WORD>(t.tm_mday);
  lpSystemTime->wHour = static_cast<WORD>(t.tm_hour);
  lpSystemTime->wMinute = static_cast<WORD>(t.tm_min);
  lpSystemTime->wSecond = static_cast<WORD>(t.tm_sec);
  lpSystemTime->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

WINSIM_API void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
  fault("OutputDebugStringW");
  if (lpOutputString) append_event({{"type", "debug"}, {"text", to_utf8(lpOutputString)}});
}

WINSIM_API void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  fault("OutputDebugStringA");
  if (lpOutputString) append_event({{"type", "debug"}, {"text", to_utf8(from_acp(lpOutputString))}});
}

}  // extern "C"
