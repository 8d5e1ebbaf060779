// Modules: the executable, the system modules, libraries loaded by path or by the Windows search
// order (shared objects that keep their Windows names), their exports and their resources.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "internal.h"
#include "winsim/resources.h"

namespace winsim {

namespace {

// The system modules and the exports this machine provides for each through GetProcAddress.
struct SystemModule {
  const char16_t* name;
  std::vector<std::string_view> exports;
};

const std::vector<SystemModule>& system_modules() {
  static const std::vector<SystemModule> mods = {
      {u"kernel32.dll",
       {"CancelIo",
        "CloseHandle",
        "CopyFileW",
        "CreateDirectoryW",
        "CreateEventW",
        "CreateFileMappingW",
        "CreateFileW",
        "CreateMutexW",
        "CreatePipe",
        "CreateProcessW",
        "CreateThread",
        "DeleteCriticalSection",
        "DeleteFileW",
        "DeviceIoControl",
        "EnterCriticalSection",
        "FindClose",
        "FindFirstFileW",
        "FindNextFileW",
        "FindResourceW",
        "FormatMessageA",
        "FormatMessageW",
        "FreeLibrary",
        "FreeResource",
        "GetACP",
        "GetCommandLineW",
        "GetCurrentDirectoryW",
        "GetCurrentProcess",
        "GetCurrentProcessId",
        "GetCurrentThreadId",
        "GetEnvironmentVariableW",
        "GetExitCodeProcess",
        "GetExitCodeThread",
        "GetFileAttributesW",
        "GetFileSize",
        "GetFullPathNameA",
        "GetFullPathNameW",
        "GetLastError",
        "GetLocalTime",
        "GetLongPathNameW",
        "GetModuleFileNameW",
        "GetModuleHandleW",
        "GetNativeSystemInfo",
        "GetOverlappedResult",
        "GetOEMCP",
        "GetPrivateProfileIntW",
        "GetPrivateProfileSectionW",
        "GetPrivateProfileStringA",
        "GetPrivateProfileStringW",
        "GetProcAddress",
        "GetShortPathNameW",
        "GetStdHandle",
        "GetSystemDefaultLangID",
        "GetSystemDirectoryW",
        "GetSystemInfo",
        "GetTempFileNameW",
        "GetTempPathW",
        "GetTickCount",
        "GetVersion",
        "GetVersionExW",
        "GetWindowsDirectoryW",
        "InitializeCriticalSection",
        "IsWow64Process",
        "LeaveCriticalSection",
        "LoadLibraryA",
        "LoadLibraryW",
        "LoadResource",
        "LocalAlloc",
        "LocalFree",
        "LockResource",
        "MapViewOfFile",
        "MoveFileExW",
        "MoveFileW",
        "MultiByteToWideChar",
        "OpenEventW",
        "OpenFileMappingW",
        "OpenMutexW",
        "OutputDebugStringA",
        "OutputDebugStringW",
        "PeekNamedPipe",
        "ReadFile",
        "ReleaseMutex",
        "RemoveDirectoryW",
        "ResetEvent",
        "SetCurrentDirectoryW",
        "SetEnvironmentVariableW",
        "SetEvent",
        "SetFileAttributesW",
        "SetFilePointer",
        "SetLastError",
        "SizeofResource",
        "Sleep",
        "TerminateProcess",
        "TryEnterCriticalSection",
        "UnmapViewOfFile",
        "WaitForMultipleObjects",
        "WaitForSingleObject",
        "WideCharToMultiByte",
        "WriteFile",
        "WritePrivateProfileStringW"}},
      {u"ntdll.dll", {}},
      {u"user32.dll",
       {"AppendMenuW",      "CreateMenu",        "CreatePopupMenu", "CreateWindowExW",  "DefWindowProcW",
        "DeleteMenu",       "DestroyMenu",       "DestroyWindow",   "DispatchMessageW", "ExitWindowsEx",
        "FindWindowW",      "GetMenuItemCount",  "GetMenuStringW",  "GetMessageW",      "GetWindowLongPtrW",
        "GetWindowTextW",   "IsWindow",          "IsWindowVisible", "LoadStringW",      "MessageBoxW",
        "ModifyMenuW",      "PeekMessageW",      "PostMessageW",    "PostQuitMessage",  "RegisterClassExW",
        "SendMessageW",     "SetWindowLongPtrW", "SetWindowTextW",  "ShowWindow",       "TranslateMessage",
        "UnregisterClassW", "UpdateWindow"}},
      {u"advapi32.dll",
       {"AdjustTokenPrivileges", "LookupPrivilegeValueW", "OpenProcessToken", "RegCloseKey", "RegCreateKeyExA",
        "RegCreateKeyExW", "RegDeleteKeyW", "RegDeleteTreeW", "RegDeleteValueW", "RegEnumKeyExW", "RegEnumValueW",
        "RegOpenKeyA", "RegOpenKeyExA", "RegOpenKeyExW", "RegOpenKeyW", "RegQueryValueExA", "RegQueryValueExW",
        "RegSetValueExA", "RegSetValueExW"}},
      {u"gdi32.dll", {}},
      {u"shell32.dll", {"SHFileOperationW", "SHGetFolderPathW", "SHGetSpecialFolderPathW", "ShellExecuteW"}},
      {u"winspool.drv",
       {"AddPrinterW",
        "ClosePrinter",
        "DeletePrinter",
        "DeletePrinterDriverExA",
        "DeletePrinterDriverExW",
        "DeletePrinterDriverW",
        "DocumentPropertiesW",
        "EnumJobsW",
        "EnumPortsW",
        "EnumPrinterDriversW",
        "EnumPrintersW",
        "FindClosePrinterChangeNotification",
        "FindFirstPrinterChangeNotification",
        "FindNextPrinterChangeNotification",
        "GetDefaultPrinterA",
        "GetDefaultPrinterW",
        "GetPrinterDataW",
        "GetPrinterDriverW",
        "GetPrinterW",
        "OpenPrinterW",
        "SetDefaultPrinterA",
        "SetDefaultPrinterW",
        "SetPrinterDataW",
        "SetPrinterW",
        "XcvDataW"}},
      {u"setupapi.dll",
       {"CM_Locate_DevNode_ExA", "CM_Reenumerate_DevNode_Ex", "SetupCopyOEMInfA", "SetupCopyOEMInfW",
        "SetupDiClassGuidsFromNameA", "SetupDiClassGuidsFromNameW", "SetupDiDeleteDeviceInfo",
        "SetupDiDestroyDeviceInfoList", "SetupDiEnumDeviceInfo", "SetupDiGetClassDevsA", "SetupDiGetClassDevsW",
        "SetupDiCreateDeviceInterfaceW", "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailW",
        "SetupDiGetDeviceInstanceIdA", "SetupDiGetDeviceInstanceIdW", "SetupDiGetDeviceRegistryPropertyA",
        "SetupDiGetDeviceRegistryPropertyW"}},
      {u"newdev.dll", {"UpdateDriverForPlugAndPlayDevicesA", "UpdateDriverForPlugAndPlayDevicesW"}},
      {u"cfgmgr32.dll", {"CM_Locate_DevNode_ExA", "CM_Reenumerate_DevNode_Ex"}},
  };
  return mods;
}

// A library's DllMain, when it has one.
using EntryPoint = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);
EntryPoint entry_point(void* dl) { return reinterpret_cast<EntryPoint>(::dlsym(dl, "DllMain")); }

const SystemModule* system_module(WStrView name) {
  for (auto& m : system_modules())
    if (iequal(m.name, name)) return &m;
  return nullptr;
}

void* winsim_library() {
  static void* handle = [] {
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&GetProcAddress), &info) || !info.dli_fname)
      return static_cast<void*>(nullptr);
    return ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  }();
  return handle;
}

}  // namespace

int image_bits(const std::string& host) {
  int fd = ::open(host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  int bits = 0;
  auto read_at = [&](void* buf, size_t n, off_t off) { return ::pread(fd, buf, n, off) == static_cast<ssize_t>(n); };
  Elf64_Ehdr eh{};
  if (read_at(&eh, sizeof eh, 0) && std::memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
      eh.e_ident[EI_CLASS] == ELFCLASS64 && eh.e_shentsize == sizeof(Elf64_Shdr) && eh.e_shstrndx < eh.e_shnum) {
    std::vector<Elf64_Shdr> sh(eh.e_shnum);
    if (read_at(sh.data(), sh.size() * sizeof(Elf64_Shdr), static_cast<off_t>(eh.e_shoff))) {
      const Elf64_Shdr& strtab = sh[eh.e_shstrndx];
      std::string names(std::min<size_t>(strtab.sh_size, 1 << 20), '\0');
      if (read_at(names.data(), names.size(), static_cast<off_t>(strtab.sh_offset))) {
        for (auto& s : sh) {
          if (s.sh_name >= names.size() || std::strcmp(names.c_str() + s.sh_name, ".winsim_image") != 0) continue;
          char v[3] = {};
          if (s.sh_size >= 2 && read_at(v, 2, static_cast<off_t>(s.sh_offset))) bits = std::atoi(v);
        }
      }
    }
  }
  ::close(fd);
  return bits == 32 || bits == 64 ? bits : 0;
}

namespace {

// Resource tables by image (the image's link map).
std::mutex g_res_mu;
std::map<const void*, std::pair<const winsim_resource*, unsigned>> g_resources;

const void* link_map_of(const void* anchor) {
  Dl_info info{};
  link_map* lm = nullptr;
  if (!::dladdr1(anchor, &info, reinterpret_cast<void**>(&lm), RTLD_DL_LINKMAP)) return nullptr;
  return lm;
}

const void* resource_key(const Module& m) {
  if (m.kind == Module::kExe) {
    static void* main_map = ::dlopen(nullptr, RTLD_NOW);
    return main_map;
  }
  return m.dl;
}

// Resource names compare ignoring case; "#123" names the number 123.
bool name_matches(LPCWSTR want, const char16_t* name, unsigned id) {
  if (IS_INTRESOURCE(want)) return !name && id == static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(want));
  WStrView w = want;
  if (!w.empty() && w[0] == u'#') {
    unsigned n = 0;
    for (WCHAR c : w.substr(1)) n = n * 10 + static_cast<unsigned>(c - u'0');
    return !name && id == n;
  }
  return name && iequal(w, name);
}

}  // namespace

void init_modules(Process& p) {
  p.modules.clear();
  auto exe = std::make_unique<Module>();
  exe->kind = Module::kExe;
  exe->path = p.image_path;
  exe->name = file_of(p.image_path);
  exe->host = p.image_host;
  exe->bits = p.image_bits;
  p.modules.push_back(std::move(exe));
  for (const char16_t* name : {u"kernel32.dll", u"ntdll.dll"}) {
    auto mod = std::make_unique<Module>();
    mod->kind = Module::kSystem;
    mod->name = name;
    mod->path = machine().system_dir + u"\\" + mod->name;
    mod->bits = p.image_bits;
    p.modules.push_back(std::move(mod));
  }
}

Module* find_module(HMODULE h) {
  Process& p = process();
  std::lock_guard lock(p.mu);
  if (!h) return p.modules[0].get();
  for (auto& m : p.modules)
    if (reinterpret_cast<HMODULE>(m.get()) == h) return m.get();
  return nullptr;
}

void notify_libraries(DWORD reason) {
  Process& p = process();
  std::lock_guard lock(p.mu);  // the loader's lock: no library comes or goes meanwhile
  for (size_t i = 0; i < p.modules.size(); ++i) {
    Module& m = *p.modules[i];
    if (m.kind != Module::kLibrary) continue;
    if (auto entry = entry_point(m.dl)) entry(reinterpret_cast<HINSTANCE>(&m), reason, nullptr);
  }
}

bool is_loaded_image(const std::string& host) {
  Process& p = process();
  std::lock_guard lock(p.mu);
  for (auto& m : p.modules)
    if (!m->host.empty() && same_file(m->host, host)) return true;
  return false;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_CTL void winsim_register_resources(const winsim_resource* table, unsigned count, const void* anchor) {
  const void* key = link_map_of(anchor);
  std::lock_guard lock(g_res_mu);
  g_resources[key] = {table, count};
}

WINSIM_CTL void winsim_unregister_resources(const void* anchor) {
  const void* key = link_map_of(anchor);
  std::lock_guard lock(g_res_mu);
  g_resources.erase(key);
}

WINSIM_API HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
  if (DWORD e = fault("GetModuleHandleW", lpModuleName ? to_utf8(lpModuleName) : "")) {
    SetLastError(e);
    return nullptr;
  }
  Process& p = process();
  std::lock_guard lock(p.mu);
  if (!lpModuleName) return reinterpret_cast<HMODULE>(p.modules[0].get());
  WStr want = lpModuleName;
  bool has_path = want.find_first_of(u"\\/") != WStr::npos;
  if (!has_path && file_of(want).find(u'.') == WStr::npos) want += u".dll";
  if (!has_path && !want.empty() && want.back() == u'.') want.pop_back();  // "name." means no extension
  for (auto& m : p.modules) {
    if (has_path ? iequal(full_path(want), m->path) : iequal(want, m->name)) return reinterpret_cast<HMODULE>(m.get());
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

WINSIM_API HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
  if (DWORD e = fault("LoadLibraryW", lpLibFileName ? to_utf8(lpLibFileName) : "")) {
    SetLastError(e);
    return nullptr;
  }
  if (!lpLibFileName || !*lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  WStr name = lpLibFileName;
  bool has_path = name.find_first_of(u"\\/") != WStr::npos;
  if (file_of(name).find(u'.') == WStr::npos) name += u".dll";
  if (!name.empty() && name.back() == u'.') name.pop_back();
  Process& p = process();
  std::lock_guard lock(p.mu);

  if (!has_path) {
    if (const SystemModule* sys = system_module(name)) {  // known system modules come first
      for (auto& m : p.modules)
        if (m->kind == Module::kSystem && iequal(m->name, sys->name)) {
          ++m->refs;
          return reinterpret_cast<HMODULE>(m.get());
        }
      auto mod = std::make_unique<Module>();
      mod->kind = Module::kSystem;
      mod->name = sys->name;
      mod->path = machine().system_dir + u"\\" + mod->name;
      mod->bits = p.image_bits;
      p.modules.push_back(std::move(mod));
      return reinterpret_cast<HMODULE>(p.modules.back().get());
    }
  }

  // The standard search order: the executable's folder, System32, Windows, the current folder,
  // then the folders of PATH.
  std::vector<WStr> candidates;
  if (has_path) {
    candidates.push_back(full_path(name));
  } else {
    WStr exe_dir = p.image_path.substr(0, p.image_path.find_last_of(u'\\'));
    for (const WStr& d : {exe_dir, machine().system_dir, machine().windows_dir, p.cwd})
      candidates.push_back(d + u"\\" + name);
    WStr path = get_env(u"PATH").value_or(u"");
    size_t start = 0;
    while (start <= path.size()) {
      size_t end = std::min(path.find(u';', start), path.size());
      WStr dir = trim_blanks(WStrView(path).substr(start, end - start));
      if (!dir.empty()) candidates.push_back(dir + (dir.back() == u'\\' ? u"" : u"\\") + name);
      start = end + 1;
    }
  }
  for (const WStr& c : candidates) {
    DWORD err = 0;
    auto r = resolve(c, err);
    struct stat st {};
    if (!r || !r->exists || ::stat(r->host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    for (auto& m : p.modules)
      if (!m->host.empty() && same_file(m->host, r->host)) {
        ++m->refs;
        return reinterpret_cast<HMODULE>(m.get());
      }
    int bits = image_bits(r->host);
    if (bits != p.image_bits) {  // not an image, or one of the other bitness
      SetLastError(ERROR_BAD_EXE_FORMAT);
      return nullptr;
    }
    void* dl = ::dlopen(r->host.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!dl) {
      const char* why = ::dlerror();
      append_event({{"type", "loader"}, {"module", to_utf8(r->full)}, {"error", why ? why : "dlopen failed"}});
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    auto mod = std::make_unique<Module>();
    mod->kind = Module::kLibrary;
    mod->path = r->full;
    mod->name = file_of(r->full);
    mod->host = r->host;
    mod->dl = dl;
    mod->bits = bits;
    p.modules.push_back(std::move(mod));
    auto h = reinterpret_cast<HMODULE>(p.modules.back().get());
    // The loader tells the library it arrived, as Windows does; a library that refuses is gone.
    if (auto entry = entry_point(dl); entry && !entry(h, DLL_PROCESS_ATTACH, nullptr)) {
      p.modules.pop_back();
      ::dlclose(dl);
      SetLastError(ERROR_DLL_INIT_FAILED);
      return nullptr;
    }
    return h;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

WINSIM_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (!lpLibFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadLibraryW(from_acp(lpLibFileName).c_str());
}

WINSIM_API BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  if (DWORD e = fault("FreeLibrary")) {
    SetLastError(e);
    return FALSE;
  }
  Process& p = process();
  void* to_close = nullptr;
  {
    std::lock_guard lock(p.mu);
    auto it = std::find_if(p.modules.begin(), p.modules.end(),
                           [&](auto& m) { return hLibModule && reinterpret_cast<HMODULE>(m.get()) == hLibModule; });
    if (it == p.modules.end()) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    Module& m = **it;
    if (m.kind == Module::kExe) return TRUE;
    if (--m.refs > 0) return TRUE;
    if (m.kind == Module::kSystem && (iequal(m.name, u"kernel32.dll") || iequal(m.name, u"ntdll.dll"))) {
      m.refs = 1;  // never unloaded
      return TRUE;
    }
    to_close = m.dl;
    if (auto entry = entry_point(m.dl)) entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
    p.modules.erase(it);
  }
  if (to_close) {
    {
      std::lock_guard lock(g_res_mu);
      g_resources.erase(to_close);
    }
    ::dlclose(to_close);  // the last reference: the library's static state goes with it
  }
  return TRUE;
}

WINSIM_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  bool by_ordinal = reinterpret_cast<ULONG_PTR>(lpProcName) < 0x10000;
  if (DWORD e = fault("GetProcAddress", by_ordinal ? "" : lpProcName)) {
    SetLastError(e);
    return nullptr;
  }
  Module* mod = hModule ? find_module(hModule) : nullptr;
  if (!mod) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (by_ordinal) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (mod->kind == Module::kLibrary) {
    if (void* sym = ::dlsym(mod->dl, lpProcName)) return reinterpret_cast<FARPROC>(sym);
  } else if (mod->kind == Module::kSystem) {
    const SystemModule* sys = system_module(mod->name);
    std::string_view name = lpProcName;
    bool exported = sys && std::find(sys->exports.begin(), sys->exports.end(), name) != sys->exports.end();
    const auto& missing = machine().missing_exports;
    if (exported && std::find(missing.begin(), missing.end(), name) == missing.end()) {
      if (void* lib = winsim_library())
        if (void* sym = ::dlsym(lib, lpProcName)) return reinterpret_cast<FARPROC>(sym);
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

WINSIM_API DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
  if (DWORD e = fault("GetModuleFileNameW")) {
    SetLastError(e);
    return 0;
  }
  Module* m = find_module(hModule);
  if (!m) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  WStr path = m->path;
  if (!lpFilename || nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() >= nSize) {
    // Cut to the buffer, terminated, and the buffer's size is returned (Vista and later).
    std::memcpy(lpFilename, path.data(), (nSize - 1) * sizeof(WCHAR));
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
  }
  std::memcpy(lpFilename, path.data(), path.size() * sizeof(WCHAR));
  lpFilename[path.size()] = 0;
  return static_cast<DWORD>(path.size());
}

// ---- resources --------------------------------------------------------------------------------

WINSIM_API HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
  if (DWORD e = fault("FindResourceW")) {
    SetLastError(e);
    return nullptr;
  }
  Module* m = find_module(hModule);
  if (!m || !lpName || !lpType) {
    SetLastError(m ? ERROR_INVALID_PARAMETER : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard lock(g_res_mu);
  auto it = g_resources.find(resource_key(*m));
  if (it == g_resources.end()) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  const winsim_resource* best = nullptr;
  int best_rank = 99;
  bool type_seen = false;
  LANGID sys = machine().language;
  for (unsigned i = 0; i < it->second.second; ++i) {
    const winsim_resource& r = it->second.first[i];
    if (!name_matches(lpType, r.type_name, r.type_id)) continue;
    type_seen = true;
    if (!name_matches(lpName, r.name, r.name_id)) continue;
    // The system's language first, then the neutral one, then US English, then any.
    int rank = r.lang == sys ? 0 : r.lang == 0 ? 1 : r.lang == 1033 ? 2 : 3;
    if (rank < best_rank) {
      best = &r;
      best_rank = rank;
    }
  }
  if (!best) {
    SetLastError(type_seen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HRSRC>(const_cast<winsim_resource*>(best));
}

WINSIM_API HGLOBAL WINAPI LoadResource(HMODULE, HRSRC hResInfo) {
  if (DWORD e = fault("LoadResource")) {
    SetLastError(e);
    return nullptr;
  }
  if (!hResInfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return const_cast<unsigned char*>(reinterpret_cast<const winsim_resource*>(hResInfo)->data);
}

WINSIM_API LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

WINSIM_API DWORD WINAPI SizeofResource(HMODULE, HRSRC hResInfo) {
  if (DWORD e = fault("SizeofResource")) {
    SetLastError(e);
    return 0;
  }
  if (!hResInfo) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return reinterpret_cast<const winsim_resource*>(hResInfo)->size;
}

WINSIM_API BOOL WINAPI FreeResource(HGLOBAL) { return FALSE; }

}  // extern "C"
