#include "RunState.h"

#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "installer/config/Info.h"
#include "installer/lang/LangStrings.h"
#include "installer/ui/frmMain.h"
#include "installer/usb/USBFunc.h"

TFormMain* FormMain = nullptr;

namespace {

std::unique_ptr<TInstallInfos> g_InstallInfos;
std::unique_ptr<TLangOptions> g_LangOptions;
// The empty file GetTempFileNameW made to reserve the staging folder's name. It is only a
// reservation: it goes at shut-down with the staging folder, so that no run leaves a file behind.
WStr g_StagingReservation;

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
using GetNativeSystemInfoFn = void(WINAPI*)(LPSYSTEM_INFO);

// Writes one embedded RCDATA file, replacing a file of that name.
void WriteResourceFile(const WCHAR* name, const WStr& path) {
  HRSRC res = FindResourceW(nullptr, name, RT_RCDATA);
  HGLOBAL data = res ? LoadResource(nullptr, res) : nullptr;
  const void* bytes = data ? LockResource(data) : nullptr;
  if (!bytes) throw KelvaneError(W_("Resource ") + WStr(name) + W_(" not found"));
  DWORD size = SizeofResource(nullptr, res);
  unique_file file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!file || !WriteFile(file.get(), bytes, size, &written, nullptr) || written != size)
    throw KelvaneError(W_("Cannot create file \"") + path + W_("\". ") + SystemErrorText(GetLastError()));
}

// Creates a folder with every missing level above it.
void ForceDirectories(const WStr& dir) {
  WStr d = ExcludeTrailingPathDelimiter(dir);
  if (d.size() < 3 || DirectoryExists(d)) return;
  ForceDirectories(ExtractFilePath(d));
  CreateDirectoryW(d.c_str(), nullptr);
}

template <class F>
void ForEachEntry(const WStr& dir, F&& f) {
  WIN32_FIND_DATAW fd;
  unique_find find(FindFirstFileW((dir + W_("\\*")).c_str(), &fd));
  if (!find) return;
  do {
    WStr name = fd.cFileName;
    if (name == W_(".") || name == W_("..")) continue;
    f(name, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (FindNextFileW(find.get(), &fd));
}

void CopyFolder(const WStr& from, const WStr& to) {
  ForceDirectories(to);
  ForEachEntry(from, [&](const WStr& name, bool isDir) {
    if (isDir) {
      CopyFolder(from + W_("\\") + name, to + W_("\\") + name);
    } else {
      CopyFileW((from + W_("\\") + name).c_str(), (to + W_("\\") + name).c_str(), FALSE);
    }
  });
}

// Removes a folder with everything in it. Whatever cannot go now (a library this process still
// has loaded) is left to be deleted when Windows next starts, so that no run leaves files behind.
void RemoveFolder(const WStr& dir) {
  ForEachEntry(dir, [&](const WStr& name, bool isDir) {
    WStr path = dir + W_("\\") + name;
    if (isDir) {
      RemoveFolder(path);
    } else {
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileW(path.c_str())) MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
  });
  SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (!RemoveDirectoryW(dir.c_str())) MoveFileExW(dir.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

WStr TempFolder() {
  WCHAR temp[MAX_PATH] = {}, longTemp[MAX_PATH] = {};
  DWORD n = GetTempPathW(MAX_PATH, temp);
  if (n == 0 || n >= MAX_PATH) throw KelvaneError(W_("GetTempPath: ") + SystemErrorText(GetLastError()));
  DWORD m = GetLongPathNameW(temp, longTemp, MAX_PATH);
  return IncludeTrailingPathDelimiter(m > 0 && m < MAX_PATH ? WStr(longTemp, m) : WStr(temp, n));
}

WStr ApplicationTitle() {
  WCHAR buf[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  return ChangeFileExt(ExtractFileName(WStr(buf, n < MAX_PATH ? n : 0)), W_(""));
}

}  // namespace

TInstallInfos& InstallInfos() {
  if (!g_InstallInfos) g_InstallInfos = std::make_unique<TInstallInfos>();
  return *g_InstallInfos;
}

TLangOptions& LangOptions() {
  if (!g_LangOptions) g_LangOptions = std::make_unique<TLangOptions>();
  return *g_LangOptions;
}

void InitializeRunState() {
  TheDebugger();
  g_LangOptions = std::make_unique<TLangOptions>();
  g_InstallInfos = std::make_unique<TInstallInfos>();
  UILanguageId = GetSystemDefaultLangID();
}

void FinalizeRunState() {
  g_InstallInfos.reset();
  for (WStr* s : {&StagingDir, &StagingPicturesDir, &ConfigFilePath, &LangFilePath, &PindleDllPath, &Pindle64DllPath,
                  &RaltoExePath, &TrellumDllPath, &InstallPort, &InstalledPrinterName, &InstalledPrinterPort})
    s->clear();
  g_LangOptions.reset();
  LangStrings = strInstaller{};
}

int GetWinVersion() {
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;  // 276
  GetVersionExW(&v);
  return static_cast<int>(v.dwMajorVersion * 10 + v.dwMinorVersion);
}

bool DetectWin64() {
  HMODULE kernel = GetModuleHandleW(W_("KERNEL32.DLL"));
  if (!kernel) kernel = LoadLibraryW(W_("KERNEL32.DLL"));
  if (!kernel) return false;
  auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
  auto nativeInfo =
      reinterpret_cast<GetNativeSystemInfoFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetNativeSystemInfo")));
  if (!isWow64) return false;
  BOOL wow = FALSE;
  if (!isWow64(GetCurrentProcess(), &wow) || !wow || !nativeInfo) return false;
  SYSTEM_INFO si{};
  nativeInfo(&si);
  return si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
         si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_IA64;
}

WStr LanguageSuffix(const WStr& prefix, const WStr& explicitCode) {
  if (!explicitCode.empty()) return prefix + explicitCode;
  LANGID lang = GetSystemDefaultLangID();
  return prefix + (lang == 2052 || lang == 4100 ? W_("CN") : W_("EN"));
}

void _ResLoad(const WStr& languageCode) {
  WinVersion = GetWinVersion();
  IsWin64 = DetectWin64();

  WCHAR exe[MAX_PATH] = {}, full[MAX_PATH] = {};
  DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
  WStr configName = ChangeFileExt(ExtractFileName(WStr(exe, n < MAX_PATH ? n : 0)), W_(".ini"));
  DWORD m = GetFullPathNameW(configName.c_str(), MAX_PATH, full, nullptr);
  ConfigFilePath = m > 0 && m < MAX_PATH ? WStr(full, m) : configName;
  if (!FileExists(ConfigFilePath)) {
    MessageBoxW(nullptr, Format(W_("安装配置文件（%s）不存在，程序退出！"), {ConfigFilePath}).c_str(), W_("出錯了"),
                MB_ICONERROR);
    ApplicationTerminated = true;
  }
  InstallInfos().LoadFromFile(ConfigFilePath);

  TDebugLogger& log = TheDebugger();
  log.LogEnter(W_("_ResLoad()"));
  WCHAR tempName[MAX_PATH] = {};
  WStr temp = TempFolder();
  if (!GetTempFileNameW(temp.c_str(), W_("tmp"), 0, tempName))
    throw KelvaneError(W_("GetTempFileName: ") + SystemErrorText(GetLastError()));
  g_StagingReservation = tempName;
  StagingDir = temp + W_("PrinterSetup\\") + ChangeFileExt(ExtractFileName(tempName), W_(""));
  log.LogFmtWithTag(W_("准备創建臨時文件夾：%s"), {StagingDir}, W_("加载"));
  ForceDirectories(StagingDir);

  WStr pictures = GetModuleFolder() + W_("Pictures\\");
  if (DirectoryExists(pictures)) {
    StagingPicturesDir = StagingDir + W_("\\Pictures\\");
    CopyFolder(ExcludeTrailingPathDelimiter(pictures), ExcludeTrailingPathDelimiter(StagingPicturesDir));
  }
  PrintersBeforeInstall = std::make_unique<TStringList>();
  PrintersAfterInstall = std::make_unique<TStringList>();
  CreateDirectoryW((StagingDir + W_("\\Lang")).c_str(), nullptr);

  // The staged USB access library is found by name through PATH.
  WCHAR path[32767] = {};
  DWORD len = GetEnvironmentVariableW(W_("path"), path, 32767);
  SetEnvironmentVariableW(W_("path"), (WStr(path, len < 32767 ? len : 0) + W_(";") + StagingDir).c_str());

  WStr langResource = W_("RC_STRINGS_INI") + LanguageSuffix(W_("_"), languageCode);
  LangFilePath = StagingDir + W_("\\Lang") + W_("\\Strings.ini");
  WriteResourceFile(langResource.c_str(), LangFilePath);
  PindleDllPath = StagingDir + W_("\\pindle.dll");
  TrellumDllPath = StagingDir + W_("\\Trellum.dll");
  Pindle64DllPath = StagingDir + W_("\\pindle64.dll");
  RaltoExePath = StagingDir + W_("\\Ralto64.exe");
  WriteResourceFile(W_("PINDLEDLL"), PindleDllPath);
  WriteResourceFile(W_("TRELLUM"), TrellumDllPath);
  WriteResourceFile(W_("PINDLE64DLL"), Pindle64DllPath);
  WriteResourceFile(W_("RALTO64EXE"), RaltoExePath);

  log.LogFmtWithTag(W_("准备从文件%s加载界面字符串資源文件"), {LangFilePath}, W_("加载"));
  LangOptions().LoadFromFile(LangFilePath);
  log.LogLeave(W_("_ResLoad()"));
}

void StagingCleanup() {
  PrintersBeforeInstall.reset();
  PrintersAfterInstall.reset();
  TDebugLogger& log = TheDebugger();
  if (!StagingDir.empty() && DirectoryExists(StagingDir)) {
    log.LogFmtWithTag(W_("准备刪除臨時文件夾：%s"), {StagingDir}, W_("清理"));
    RemoveFolder(StagingDir);
    // The common parent goes too once no other run stages into it; RemoveDirectoryW leaves a
    // folder that still holds anything.
    RemoveDirectoryW(ExcludeTrailingPathDelimiter(ExtractFilePath(StagingDir)).c_str());
  }
  if (!g_StagingReservation.empty()) {
    DeleteFileW(g_StagingReservation.c_str());
    g_StagingReservation.clear();
  }
  log.LogMsg(W_("程序將退出，byby ！"));
  log.LogSeparator();
}

void ShowApplicationError(const WStr& message) {
  MessageBoxW(nullptr, message.c_str(), ApplicationTitle().c_str(), MB_OK | MB_ICONERROR);
}

int KelvaneMain(HINSTANCE instance) {
  InitializeRunState();
  int exitCode = 0;
  try {
    _ResLoad(LanguageCode);
    TFormMain form(instance);
    FormMain = &form;
    if (!ApplicationTerminated) {
      form.Show();
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    FormMain = nullptr;
  } catch (const KelvaneError& e) {
    FormMain = nullptr;
    ShowApplicationError(e.message());
    exitCode = 1;
  }
  // The USB library the window bound stays loaded, and so locked, until it is let go: let go of
  // it first, or its staged copy would stay behind in the temporary folder.
  UnbindUSBAccessLibrary();
  // Also after a failed start-up, so that a half-staged folder does not stay behind.
  StagingCleanup();
  FinalizeRunState();
  return exitCode;
}
