// The main window from the user's confirmation to the result: the timers that start the run and
// animate the progress bar, the busy and idle states, the closing of the system's new-hardware
// wizard, and the success and failure prompts.
#include "debuglog/DebugLog.h"
#include "installer/config/Info.h"
#include "installer/install/InstallFunc.h"
#include "installer/lang/LangStrings.h"
#include "installer/printsys/PrinterConfig.h"
#include "installer/printsys/RunCmd.h"
#include "installer/printsys/Spooler.h"
#include "installer/startup/RunState.h"
#include "installer/ui/frmMain.h"
#include "win32/shell.h"

namespace {
const WCHAR* const kCRLF = W_("\r\n");
}  // namespace

void TFormMain::AddStatusLine(const WStr& text) { lst1->AddItem(text); }

void TFormMain::StartSetup64Watch() { SetTimer(Handle, tmrSetup64Error, 5000, nullptr); }

// ---- timers -----------------------------------------------------------------------------------

void TFormMain::tmrInstallStartTimer() {
  m_iPassTime = 0;
  pb1->SetPosition(0);
  BeginInstallUI();
  KillTimer(Handle, tmrInstallStart);
  StartInstallDriverThread(true);
}

void TFormMain::tmrInstallingHintsTimer() {
  m_iPassTime += 200;
  if (++m_iHintsCounter > 6) m_iHintsCounter = 0;
  pb1->SetPosition(m_iHintsCounter * 20);
}

void TFormMain::tmrCloseNewHWWindowTimer() {
  for (const WCHAR* title : {W_("找到新的硬件向导"), W_("Found New Hardware Wizard")}) {
    HWND wizard = FindWindowW(nullptr, title);
    if (wizard) SendMessageW(wizard, WM_CLOSE, 0, 0);
  }
}

void TFormMain::tmrSetup64ErrorTimer() {
  if (InstallPromptState != 2 || !IsWin64 || IsWindowVisible(Handle) || !HostProcessHandle) return;
  DWORD code = 0;
  if (!GetExitCodeProcess(HostProcessHandle, &code) || code == STILL_ACTIVE) return;
  CloseHandle(HostProcessHandle);
  HostProcessHandle = nullptr;
  TMessage message;
  InstallFailPrompt(message);
}

// ---- busy and idle ----------------------------------------------------------------------------

void TFormMain::BeginInstallUI() {
  lst1->ClearItems();
  lst1->AddItem(LangStrings.PrepareInstall);
  pb1->SetVisible(true);
  Image1->SetEnabled(false);
  cbbPrinterPort->SetEnabled(false);
  imgMin->SetEnabled(false);
  imgClose->SetEnabled(false);
  Busy = true;
  SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  cbbPrinterDriver->SetEnabled(false);
}

void TFormMain::EndInstallUI() {
  Image1->SetEnabled(true);
  cbbPrinterPort->SetEnabled(true);
  imgMin->SetEnabled(true);
  imgClose->SetEnabled(true);
  KillTimer(Handle, tmrInstallingHints);
  pb1->SetPosition(100);
  lst1->AddItem(LangStrings.InstallEnd);
  pb1->SetVisible(false);
  Busy = false;
  SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  cbbPrinterDriver->SetEnabled(true);
}

// ---- the prompts ------------------------------------------------------------------------------

void TFormMain::InstallSuccPrompt(TMessage& /*message*/) {
  ProcessMessages();
  TRInstallInfo entry = InstallInfos().Items(SelectedPrinterIndex);
  TheDebugger().LogEnter(W_("Succ"));
  TheDebugger().LogFmt(W_("已經为驅動【%s】成功地安裝打印機。"), {entry.PrinterName});

  *PrintersAfterInstall = ReadPrinterList();
  KeepNamesWithPrefix(*PrintersAfterInstall, entry.PrinterName);
  if (!InstalledPrinterName.empty()) {
    TheDebugger().LogMsg(W_("聯機安装打印機，名稱：") + InstalledPrinterName);
  } else {
    TheDebugger().LogMsg(W_("安装成功，準備確定打印機名稱。"));
    RemoveListedNames(*PrintersAfterInstall, *PrintersBeforeInstall);
    const TStringList& added = *PrintersAfterInstall;
    if (added.empty()) {
      TheDebugger().LogMsgError(W_("安装後找不到打印機！"));
    } else {
      InstalledPrinterName = added.back();
      if (added.size() == 1) {
        TheDebugger().LogMsg(W_("已成功地聯機安装打印機：") + InstalledPrinterName);
      } else {
        WStr names;
        for (const WStr& n : added) names += (names.empty() ? W_("") : W_(",")) + n;
        TheDebugger().LogMsg(W_("已成功安装多個打印機：") + names);
        for (const WStr& n : added) {
          WStr port;
          GetPrinterPort(n, port);
          if (port == InstalledPrinterPort) {
            InstalledPrinterName = n;
            TheDebugger().LogMsg(W_("正式安裝的打印機副本為：") + n);
            break;
          }
        }
      }
    }
  }
  TheDebugger().LogFmt(W_("已安裝：%s, 端口：%s"), {InstalledPrinterName, InstalledPrinterPort});
  const WStr name = InstalledPrinterName;
  bool restartNote = false;

  if (!name.empty() && !PrinterExists(name)) {
    AddPrinterOnLPT1(entry.PrinterName, name);
    if (!InstalledPrinterPort.empty()) SetPrinterPort(name, InstalledPrinterPort);
  }
  InstallPromptState = 3;

  WStr port;
  if (!InstalledPrinterName.empty()) {
    TChangePrinterInfo info;
    info.OrgName = InstalledPrinterName;
    port = entry.DefaultPort;
    if (!PortExists(port) && UpperAscii(port).find(W_("ADDLOCAL:")) == WStr::npos) port = InstallPort;
    info.Port = port;
    info.bSetDefault = OnlineInstall || entry.AlwaysSetDefault;
    info.Process = entry.PrintProcess;
    if (info.Process.empty())
      info.Process = W_("WinPrint");
    else
      restartNote = true;
    TheDebugger().LogMsgWithTag(Format(W_("準備為打印機 %s 進行其它設置"), {InstalledPrinterName}), W_("設置"));
    ApplyChangePrinterInfo(info);
  }
  TheDebugger().LogMsgWithTag(Format(W_("Install PrinterName 为(%s)"), {InstalledPrinterName}), W_("提示"));

  if (!entry.AfterRun.empty() && FileExists(entry.AfterRun)) {
    ShellExecuteW(MainWindowHandle, W_("open"), entry.AfterRun.c_str(), W_(""), nullptr, SW_SHOW);
    TheDebugger().LogMsg(W_("After Run 已創建完成：") + entry.AfterRun);
  }

  GetPrinterPort(InstalledPrinterName, InstalledPrinterPort);
  if (InstalledPrinterPort.empty()) {
    TheDebugger().LogMsgWarning(Format(W_("能告訴我爲什麽檢測不到打印機【%s】的端口嗎？錯誤代碼：0x%.8x"),
                                       {InstalledPrinterName, GetLastError()}));
    InstalledPrinterPort = port.empty() ? WStr(W_("LPT1:")) : port;
  }
  EndInstallUI();

  WStr text = Format(LangStrings.InstallSuccessStr, {name, InstalledPrinterPort});
  if (restartNote) text += kCRLF + LangStrings.RestartPrompt;
  MessageBoxW(MainWindowHandle, text.c_str(), LangStrings.NoticeTitle.c_str(), MB_OK | MB_ICONINFORMATION);
  InstalledPrinterName.clear();
  InstalledPrinterPort.clear();
  TheDebugger().LogLeave(W_("Succ"));
}

void TFormMain::InstallFailPrompt(TMessage& message) {
  TheDebugger().LogEnter(W_("InstallFail"));
  InstallPromptState = 3;
  InstallErrorCode = static_cast<DWORD>(message.LParam);
  const WCHAR* caption = LangStrings.NoticeTitle.c_str();
  bool newRun = false;
  switch (InstallErrorCode) {
    case 0:
      break;
    case UIAddFailed:
    case UIAddNoNewPrinter: {
      TheDebugger().LogMsg(W_("UI添加失敗，原因未知！"));
      WStr text = LangStrings.InstallFailReasonUnknow + kCRLF + LangStrings.InstallRetry;
      MessageBoxW(MainWindowHandle, text.c_str(), caption, MB_OK | MB_ICONWARNING);
      break;
    }
    case ERROR_NO_SUCH_DEVINST:  // detected online before, offline now
      TheDebugger().LogMsg(W_("檢測到打印機曾經聯機，但目前已脫機！"));
      if (InstallPort == W_("LPT1:")) {
        TheDebugger().LogMsg(W_("由於檢測到打印機的聯機端口是並口，現直接進入脫機安裝！"));
        StartInstallDriverThread(false);
        newRun = true;
      } else {
        WStr text = Format(LangStrings.InstallOnline, {InstallPort});
        switch (MessageBoxW(MainWindowHandle, text.c_str(), caption, MB_YESNOCANCEL | MB_ICONWARNING)) {
          case IDYES:
            StartInstallDriverThread(true);
            newRun = true;
            break;
          case IDNO:
            StartInstallDriverThread(false);
            newRun = true;
            break;
          default:
            break;
        }
      }
      break;
    case ERROR_NO_CATALOG_FOR_OEM_INF:  // the user cancelled the driver's registration
      TheDebugger().LogMsg(W_("用戶已選擇取消安裝驅動程序！"));
      MessageBoxW(MainWindowHandle, LangStrings.InstallCancelStr.c_str(), caption, MB_OK);
      break;
    default: {
      const WStr systemText = SystemErrorText(InstallErrorCode);
      TheDebugger().LogMsgError(
          Format(W_("注意，安裝出錯了，原因未知。（%.8X）：\r\n%s"), {InstallErrorCode, systemText}));
      WStr text = Format(LangStrings.InstallFailStr, {systemText}) + kCRLF + LangStrings.InstallRetry;
      MessageBoxW(MainWindowHandle, text.c_str(), caption, MB_OK | MB_ICONINFORMATION);
      break;
    }
  }
  // A new run keeps the window busy; its own prompt returns it to idle.
  if (newRun) return;
  EndInstallUI();
  TheDebugger().LogLeave(W_("InstallFail"));
}
