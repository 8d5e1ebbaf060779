// The install run: the worker thread and the sequence it runs for the chosen configuration entry
// (buffer and register the driver, detect the printer, install online or offline, hand the
// outcome to the window), and the check for an older driver before the run starts.
#pragma once

#include <functional>
#include <memory>

#include "common/text.h"
#include "win32/user.h"

// The message record the window's result handlers take; the run fills LParam alone with the
// install code.
struct TMessage {
  UINT Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
};

// What the run needs from the main window. The run calls these from its worker thread through
// `CallInWindowThread`, so each one runs on the window's thread while the worker waits.
class TInstallView {
 public:
  virtual ~TInstallView() = default;
  virtual void AddStatusLine(const WStr& text) = 0;  // the status list (lst1)
  virtual void InstallSuccPrompt(TMessage& message) = 0;
  virtual void InstallFailPrompt(TMessage& message) = 0;
  virtual void StartSetup64Watch() = 0;  // the 64-bit host's watch timer (tmrSetup64Error)
};
// The view the runs report to (none: their reports go nowhere).
void SetInstallView(TInstallView* view);

// Runs `call` on the thread of the main window (MainWindowHandle) and waits until it has
// finished; without a window, or on the window's own thread, it runs at once.
void CallInWindowThread(const std::function<void()>& call);
// The message the main window answers by running a handed-over call (its LParam points to it).
constexpr UINT WM_KELVANE_CALL = WM_USER + 0x200;

class TThreadInstallDriver {
 public:
  explicit TThreadInstallDriver(bool bOnlinePrompt);
  ~TThreadInstallDriver();
  TThreadInstallDriver(const TThreadInstallDriver&) = delete;
  TThreadInstallDriver& operator=(const TThreadInstallDriver&) = delete;

  void Start();
  void WaitFor();  // until the run has ended (tests and shut-down)
  bool OnlinePrompt() const { return FOnlinePrompt; }
  // The error that ended the run early ("DllNotFound :\r\n..." and the like), empty otherwise.
  const WStr& FatalError() const { return FFatalError; }

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);
  void Execute();

  bool FOnlinePrompt;
  HANDLE FThread = nullptr;
  WStr FFatalError;
};

// Creates a run and starts it; the run object stays until the next run or the installer's end.
TThreadInstallDriver& StartInstallDriverThread(bool bOnlinePrompt);
// Waits for every run started so far and releases them (shut-down and tests).
void FinishInstallDriverThreads();

void CheckOldDriverBeforeInstall(bool& proceed);
void DoInstallSelectPrinter(bool onlinePrompt);
bool PrinterOnLineInstall3264(int index);
bool BufferDriverFiles(WStr& bufferedInf);
void ListCatFiles(const WStr& folder, bool skipFolders, TStringList& list, bool recurse);
