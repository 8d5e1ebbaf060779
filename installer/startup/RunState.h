// The installer's run state: the process-wide variables that the other parts read and write,
// and the start-up and shut-down routines that set them.
#pragma once

#include <memory>

#include "common/text.h"
#include "win32/kernel.h"
#include "win32/user.h"

class TInstallInfos;
class TLangOptions;
class TFormMain;

inline WStr StagingDir;
inline WStr StagingPicturesDir;
inline WStr ConfigFilePath;
inline WStr LangFilePath;
inline WStr PindleDllPath;
inline WStr Pindle64DllPath;
inline WStr RaltoExePath;
inline WStr TrellumDllPath;
inline int WinVersion = 0;
inline bool IsWin64 = false;
inline LANGID UILanguageId = 0;
inline WStr LanguageCode;
inline int SelectedPrinterIndex = 0;
inline std::unique_ptr<TStringList> PrintersBeforeInstall;
inline std::unique_ptr<TStringList> PrintersAfterInstall;
inline std::unique_ptr<TStringList> PortNameList;
inline WStr InstallPort;
inline WStr InstalledPrinterName;
inline WStr InstalledPrinterPort;
inline bool OnlineInstall = false;
inline DWORD InstallErrorCode = 0;
inline BYTE InstallPromptState = 0;
inline HANDLE HostProcessHandle = nullptr;
inline HWND MainWindowHandle = nullptr;

TInstallInfos& InstallInfos();
TLangOptions& LangOptions();
extern TFormMain* FormMain;

// Whether start-up asked the application to end (the message loop then ends at once).
inline bool ApplicationTerminated = false;

int GetWinVersion();
bool DetectWin64();
WStr LanguageSuffix(const WStr& prefix, const WStr& explicitCode);
void _ResLoad(const WStr& languageCode);
void StagingCleanup();

// The process-wide objects, created before the entry sequence and released after it.
void InitializeRunState();
void FinalizeRunState();

// The whole program: initialisation, the entry sequence and the shutdown. Returns the exit code.
int KelvaneMain(HINSTANCE instance);
// What the application does with an error that reached its message loop: tells the user (the
// program's name as caption, error icon) and goes on.
void ShowApplicationError(const WStr& message);
