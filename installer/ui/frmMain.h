// The installer's main window: a borderless skinned window with the model list, the status list,
// the hidden port list, the progress bar and the image buttons; it runs the install through the
// install sequence and shows its outcome.
#pragma once

#include <memory>
#include <thread>

#include "common/text.h"
#include "installer/install/InstallDriver.h"
#include "installer/ui/Controls.h"
#include "installer/usb/USBFunc.h"
#include "win32/user.h"

class TFormMain : public TForm, public TInstallView {
 public:
  // Makes the window and its components (FormCreate).
  explicit TFormMain(HINSTANCE instance);
  ~TFormMain() override;
  TFormMain(const TFormMain&) = delete;
  TFormMain& operator=(const TFormMain&) = delete;

  // Shows the window (FormShow runs first).
  void Show();
  // Whether the window offers an install: only with at least one configured printer.
  bool CanInstall() const;

  // The port list and the USB status (rebuilt from the USB library and the spooler).
  void ListPrinterPorts();
  void RefreshOnlineUSBPorts();

  // The install run's reports, on the window's thread.
  void AddStatusLine(const WStr& text) override;
  void InstallSuccPrompt(TMessage& message) override;
  void InstallFailPrompt(TMessage& message) override;
  void StartSetup64Watch() override;
  // Opens a manual or link of an entry: a file or folder in its program, an address in the
  // browser, or says why it cannot.
  void OpenLink(const WStr& link);

  // The components, in declaration order.
  TComponent* imgBackGrand = nullptr;
  TComponent* Image1 = nullptr;
  TComponent* imgPrinter = nullptr;
  TComponent* Image2 = nullptr;
  TComponent* imglOGO = nullptr;
  TComponent* lblTitle = nullptr;
  TComponent* imgMin = nullptr;
  TComponent* imgClose = nullptr;
  TComponent* lst1 = nullptr;
  TComponent* lblPorts = nullptr;
  TComponent* cbbPrinterPort = nullptr;
  TComponent* pb1 = nullptr;
  TComponent* cbbPrinterDriver = nullptr;
  TComponent* lblSelectPrinter = nullptr;

  // What the window found at the last port listing (tests read them).
  const TStringList& OnlineUSBPorts() const { return m_slOnlineUSBPort; }
  bool USBPrinterConnect() const { return m_bUSBPrinterConnect; }

 private:
  enum TTimerId : UINT_PTR { tmrInstallStart = 1, tmrSetup64Error, tmrInstallingHints, tmrCloseNewHWWindow };

  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
  void ControlEvent(TComponent& c, TControlEvent event, POINT at) override;

  // Published event handlers.
  void FormShow();
  void FormClose();
  void cbbPrinterDriverChange();
  void imgBackGrandMouseDown(TComponent& sender, POINT at);
  void tmrInstallStartTimer();
  void tmrInstallingHintsTimer();
  void tmrCloseNewHWWindowTimer();
  void tmrSetup64ErrorTimer();

  // Runs on its own thread; `window` is the form's window, taken before the thread starts.
  void WatchPrinterChanges(HWND window);
  void StartInstall();
  void ShowNormalImage(TComponent& img);
  void ShowHoverImage(TComponent& img);
  void ShowButtonImage(TComponent& img, const WStr& fileName);
  void BeginInstallUI();
  void EndInstallUI();
  // Runs the messages waiting for this thread (the prompts let the window catch up first).
  void ProcessMessages();

  bool m_Shown = false;
  std::unique_ptr<TComponentUSB> m_USBPort;
  TStringList m_slOnlineUSBPort;  // "port=model"
  bool m_bUSBPrinterConnect = false;
  std::thread m_tDetectPrinter;
  HANDLE m_hDetectStop = nullptr;  // ends the watcher when the window goes (an event)
  unsigned m_iPassTime = 0;
  int m_iHintsCounter = 0;  // the install animation's step, 0 to 6 (the timer's tag)
};
