#include "frmMain.h"

#include <functional>

#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "installer/config/Info.h"
#include "installer/install/InstallFunc.h"
#include "installer/lang/LangStrings.h"
#include "installer/printsys/Spooler.h"
#include "installer/startup/RunState.h"
#include "win32/gdi.h"
#include "win32/shell.h"
#include "win32/spooler.h"

#ifdef _WIN32
#include <commctrl.h>
#endif

namespace {
const WCHAR* const kClassName = W_("TFormMain");
constexpr int kClientWidth = 790;
constexpr int kClientHeight = 532;
// The see-through colour of the skin: red 178, green 28, blue 118 (7740594).
constexpr COLORREF kTransparentColor = 7740594;
// The watcher hands each port listing to the window's thread with this message.
constexpr UINT WM_KELVANE_LISTPORTS = WM_USER + 0x201;
}  // namespace

// ---- creation and life ------------------------------------------------------------------------

TFormMain::TFormMain(HINSTANCE instance) {
#ifdef _WIN32
  // The progress bar's window class comes from the common controls, registered on demand.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
#endif
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
  // Borderless and centred on the desktop; the client area is the whole window.
  int left = (GetSystemMetrics(SM_CXSCREEN) - kClientWidth) / 2;
  int top = (GetSystemMetrics(SM_CYSCREEN) - kClientHeight) / 2;
  Handle = CreateWindowExW(WS_EX_APPWINDOW | WS_EX_LAYERED, kClassName, W_("Driver Setup"),
                           WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX, left > 0 ? left : 0, top > 0 ? top : 0, kClientWidth,
                           kClientHeight, nullptr, nullptr, instance, nullptr);
  if (!Handle) throw KelvaneError(W_("CreateWindowEx: ") + SystemErrorText(GetLastError()));
  SetWindowLongPtrW(Handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetLayeredWindowAttributes(Handle, kTransparentColor, 255, LWA_COLORKEY);
  // The result prompts are owned by this window, and the 64-bit host reports to it.
  MainWindowHandle = Handle;
  SetInstallView(this);

  auto add = [&](const WCHAR* name, TControlKind kind, int l, int t, int w, int h) -> TComponent* {
    return &AddControl(name, kind, {}, {l, t, w, h});
  };
  imgBackGrand = add(W_("imgBackGrand"), TControlKind::Image, 0, 0, 790, 515);
  imgBackGrand->Stretch = true;
  Image1 = add(W_("Image1"), TControlKind::Image, 113, 304, 192, 72);
  Image1->Tag = 1;
  Image1->Hint = W_("Start");
  Image1->HandPointer = Image1->Center = Image1->Stretch = true;
  imgPrinter = add(W_("imgPrinter"), TControlKind::Image, 318, 116, 448, 247);
  imgPrinter->Stretch = true;
  Image2 = add(W_("Image2"), TControlKind::Image, 24, 116, 136, 38);
  Image2->Tag = 2;
  Image2->Hint = W_("Manual");
  Image2->HandPointer = Image2->Center = Image2->Stretch = true;
  imglOGO = add(W_("imglOGO"), TControlKind::Image, 622, 49, 144, 58);
  imglOGO->Stretch = true;
  lblTitle = add(W_("lblTitle"), TControlKind::Label, 72, 8, 637, 42);
  lblTitle->CenterText = true;
  lblTitle->FontHeight = -32;
  imgMin = add(W_("imgMin"), TControlKind::Image, 715, 7, 32, 32);
  imgMin->HandPointer = imgMin->Stretch = true;
  imgClose = add(W_("imgClose"), TControlKind::Image, 753, 7, 32, 32);
  imgClose->HandPointer = imgClose->Stretch = true;
  lst1 = add(W_("lst1"), TControlKind::ListBox, 15, 158, 291, 113);
  SendMessageW(lst1->Handle, LB_SETITEMHEIGHT, 0, 13);
  lblPorts = add(W_("lblPorts"), TControlKind::Label, 15, 260, 105, 13);
  lblPorts->SetCaption(W_("打印机端口： "));
  lblPorts->SetVisible(false);
  cbbPrinterPort = add(W_("cbbPrinterPort"), TControlKind::ComboBox, 125, 257, 180, 21);
  cbbPrinterPort->SetVisible(false);
  pb1 = add(W_("pb1"), TControlKind::ProgressBar, 0, 515, 790, 17);
  pb1->SetRange(0, 100);
  pb1->SetVisible(false);
  cbbPrinterDriver = add(W_("cbbPrinterDriver"), TControlKind::ComboBox, 125, 280, 180, 21);
  lblSelectPrinter = add(W_("lblSelectPrinter"), TControlKind::Label, 15, 283, 105, 13);
  SetTimer(Handle, tmrCloseNewHWWindow, 1000, nullptr);

  // FormCreate.
  PortNameList = std::make_unique<TStringList>();
  TheDebugger().LogMsg(W_("MainForm Create"));
  // Without a configuration start-up has said so and ends: there is no entry to show.
  if (InstallInfos().GetCount() == 0) return;
  TRInstallInfo entry = InstallInfos().Items(SelectedPrinterIndex);
  lblTitle->SetCaption(entry.OEMMainTitle);
  if (entry.OEMMainTitle.empty()) lblTitle->SetVisible(false);
  cbbPrinterDriver->ClearItems();
  for (int i = 0; i < InstallInfos().GetCount(); ++i) cbbPrinterDriver->AddItem(InstallInfos().Items(i).PrinterName);
  cbbPrinterDriver->SetItemIndex(0);
  if (InstallInfos().GetCount() == 1) {
    lblSelectPrinter->SetVisible(false);
    cbbPrinterDriver->SetVisible(false);
  }
  if (FileExists(entry.BGImage)) imgBackGrand->LoadPicture(entry.BGImage);
  if (FileExists(entry.PrinterImage)) imgPrinter->LoadPicture(entry.PrinterImage);
  if (FileExists(entry.OEMLogo)) imglOGO->LoadPicture(entry.OEMLogo);
  ControlEvent(*imgMin, TControlEvent::MouseLeave, {});
  ControlEvent(*imgClose, TControlEvent::MouseLeave, {});
  if (InstallInfos().Items(0).View == 1) {
    RECT s = Image1->Bounds(), list = lst1->Bounds(), logo = imglOGO->Bounds();
    imglOGO->SetBounds(list.left, logo.top, logo.right - logo.left, logo.bottom - logo.top);
    Image2->SetBounds(s.left, s.bottom + 3, s.right - s.left, s.bottom - s.top);
  }
  ShowNormalImage(*Image1);
  if (!entry.Button2Link.empty())
    ShowNormalImage(*Image2);
  else
    Image2->SetVisible(false);
}

TFormMain::~TFormMain() {
  SetInstallView(nullptr);
  if (m_hDetectStop) {
    SetEvent(m_hDetectStop);
    if (m_tDetectPrinter.joinable()) m_tDetectPrinter.join();
    CloseHandle(m_hDetectStop);
  }
  if (Handle && IsWindow(Handle)) DestroyWindow(Handle);
  if (MainWindowHandle == Handle) MainWindowHandle = nullptr;
  // FormDestroy.
  PortNameList.reset();
}

void TFormMain::Show() {
  if (!m_Shown) {
    m_Shown = true;
    FormShow();
  }
  ShowWindow(Handle, SW_SHOW);
  UpdateWindow(Handle);
}

bool TFormMain::CanInstall() const { return InstallInfos().GetCount() > 0; }

void TFormMain::FormShow() {
  TheDebugger().LogMsg(W_("MainForm Show"));
  lblSelectPrinter->SetCaption(LangStrings.SelectPrinter);
  m_slOnlineUSBPort.clear();
  m_USBPort = std::make_unique<TComponentUSB>(true);
  m_bUSBPrinterConnect = false;
  ListPrinterPorts();
  // The watcher lives until the window goes (the process's end, for the installer); the stop
  // event lets a window that goes earlier take its thread with it.
  m_hDetectStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (m_hDetectStop) m_tDetectPrinter = std::thread([this, window = Handle] { WatchPrinterChanges(window); });
}

void TFormMain::FormClose() {
  TheDebugger().LogMsg(W_("MainForm Close"));
  m_slOnlineUSBPort.clear();
  m_USBPort.reset();
}

void TFormMain::WatchPrinterChanges(HWND window) {
  WStr object = W_(",XcvMonitor Local Port");
  PRINTER_DEFAULTSW defaults{};
  defaults.DesiredAccess = SERVER_ACCESS_ADMINISTER;
  HANDLE raw = nullptr;
  if (!OpenPrinterW(object.data(), &raw, &defaults)) return;
  unique_printer printer(raw);
  HANDLE change = FindFirstPrinterChangeNotification(printer.get(), PRINTER_CHANGE_PRINTER, 0, nullptr);
  if (change == INVALID_HANDLE_VALUE || !change) return;
  unique_printer_change notification(change);
  const HANDLE waits[2] = {notification.get(), m_hDetectStop};
  for (;;) {
    DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (w != WAIT_OBJECT_0) return;
    DWORD what = 0;
    if (FindNextPrinterChangeNotification(notification.get(), &what, nullptr, nullptr))
      PostMessageW(window, WM_KELVANE_LISTPORTS, 0, 0);  // the listing runs on the window's thread
  }
}

// ---- messages ---------------------------------------------------------------------------------

LRESULT CALLBACK TFormMain::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<TFormMain*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
  try {
    return self->HandleMessage(msg, wp, lp);
  } catch (const KelvaneError& e) {
    ShowApplicationError(e.message());
    return 0;
  }
}

LRESULT TFormMain::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_KELVANE_CALL:  // a call the install run hands to this thread (CallInWindowThread)
      (*reinterpret_cast<const std::function<void()>*>(lp))();
      return 0;
    case WM_KELVANE_LISTPORTS:
      ListPrinterPorts();
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Handle, &ps);
      if (dc) PaintGraphicControls(dc);
      EndPaint(Handle, &ps);
      return 0;
    }
    case WM_ERASEBKGND: {
      // Where no picture lies the window is see-through.
      RECT r{};
      GetClientRect(Handle, &r);
      unique_gdi_object brush(CreateSolidBrush(kTransparentColor));
      FillRect(reinterpret_cast<HDC>(wp), &r, static_cast<HBRUSH>(brush.get()));
      return 1;
    }
    case WM_SETCURSOR:
      if (Busy) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      return DefWindowProcW(Handle, msg, wp, lp);
    case WM_COMMAND:
      if (HIWORD(wp) == CBN_SELCHANGE && reinterpret_cast<HWND>(lp) == cbbPrinterDriver->Handle)
        cbbPrinterDriverChange();
      return 0;
    case WM_TIMER:
      switch (wp) {
        case tmrInstallStart:
          tmrInstallStartTimer();
          break;
        case tmrSetup64Error:
          tmrSetup64ErrorTimer();
          break;
        case tmrInstallingHints:
          tmrInstallingHintsTimer();
          break;
        case tmrCloseNewHWWindow:
          tmrCloseNewHWWindowTimer();
          break;
        default:
          break;
      }
      return 0;
    case WM_CLOSE:
      FormClose();
      DestroyWindow(Handle);
      return 0;
    case WM_DESTROY:
      if (MainWindowHandle == Handle) MainWindowHandle = nullptr;
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(Handle, GWLP_USERDATA, 0);
      Handle = nullptr;
      return 0;
    default:
      return DefWindowProcW(Handle, msg, wp, lp);
  }
}

void TFormMain::ControlEvent(TComponent& c, TControlEvent event, POINT at) {
  const bool button = &c == Image1 || &c == Image2;
  switch (event) {
    case TControlEvent::MouseEnter:
      if (button) ShowHoverImage(c);
      if (&c == imgMin) ShowButtonImage(c, W_("min2.png"));
      if (&c == imgClose) ShowButtonImage(c, W_("Close2.png"));
      break;
    case TControlEvent::MouseLeave:
      if (button) ShowNormalImage(c);
      if (&c == imgMin) ShowButtonImage(c, W_("min1.png"));
      if (&c == imgClose) ShowButtonImage(c, W_("Close1.png"));
      break;
    case TControlEvent::MouseDown:
      if (&c == imgBackGrand || &c == imglOGO || &c == lblTitle) imgBackGrandMouseDown(c, at);
      break;
    case TControlEvent::Click:
      if (!c.Enabled()) break;
      if (&c == Image1) StartInstall();
      if (&c == Image2) OpenLink(InstallInfos().Items(SelectedPrinterIndex).Button2Link);
      if (&c == imgMin) ShowWindow(Handle, SW_MINIMIZE);
      if (&c == imgClose) PostMessageW(Handle, WM_CLOSE, 0, 0);
      break;
  }
}

void TFormMain::ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));  // for the message loop to see
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// ---- the user's actions -----------------------------------------------------------------------

void TFormMain::cbbPrinterDriverChange() {
  SelectedPrinterIndex = cbbPrinterDriver->ItemIndex();
  TRInstallInfo entry = InstallInfos().Items(SelectedPrinterIndex);
  if (FileExists(entry.PrinterImage)) imgPrinter->LoadPicture(entry.PrinterImage);
}

void TFormMain::imgBackGrandMouseDown(TComponent& /*sender*/, POINT at) {
  RECT logo = imglOGO->Bounds();
  if (at.y > logo.bottom) return;
  // The window follows the pointer as by its title bar.
  ReleaseCapture();
  SendMessageW(Handle, WM_NCLBUTTONDOWN, HTCAPTION, 1);
}

void TFormMain::ShowNormalImage(TComponent& img) {
  if (!img.Enabled()) return;
  ShowButtonImage(img, Format(W_("%s1%s.png"), {img.Hint, TInstallInfos::LangKeySuffix()}));
}

void TFormMain::ShowHoverImage(TComponent& img) {
  if (!img.Enabled()) return;
  ShowButtonImage(img, Format(W_("%s2%s.png"), {img.Hint, TInstallInfos::LangKeySuffix()}));
}

// The skin picture of a button from the staged pictures folder. The Start and Manual buttons
// say when theirs is missing; the window buttons keep their picture quietly.
void TFormMain::ShowButtonImage(TComponent& img, const WStr& fileName) {
  const WStr path = StagingPicturesDir + fileName;
  const bool logged = &img == Image1 || &img == Image2;
  if (!FileExists(path)) {
    if (logged) TheDebugger().LogFmt(W_("沒有找到按鈕的圖片文件：%s"), {path});
    return;
  }
  if (img.Enabled()) img.LoadPicture(path);
}

void TFormMain::StartInstall() {
  cbbPrinterDriver->SetEnabled(false);
  ListPrinterPorts();
  InstallPromptState = 0;
  bool proceed = true;
  CheckOldDriverBeforeInstall(proceed);
  if (!proceed) {
    cbbPrinterDriver->SetEnabled(true);
    return;
  }
  TheDebugger().LogMsg(W_("准备安装打印机驅動程序"));
  TheDebugger().LogFmt(W_("系统版本号：%d，64位标志：%s"), {WinVersion, WStr(IsWin64 ? W_("-1") : W_("0"))});
  const WStr& text = m_bUSBPrinterConnect ? LangStrings.BeforeInstallPrompt : LangStrings.BeforeInstallPromptNoUSB;
  UINT icon = m_bUSBPrinterConnect ? MB_ICONQUESTION : MB_ICONWARNING;
  if (MessageBoxW(Handle, text.c_str(), LangStrings.NoticeTitle.c_str(), MB_YESNO | icon) == IDYES) {
    RefreshSystemHW_Thread(PindleDllPath);
    SetTimer(Handle, tmrInstallStart, 500, nullptr);
    SetTimer(Handle, tmrInstallingHints, 200, nullptr);
  } else {
    cbbPrinterDriver->SetEnabled(true);
  }
}

// An address is handed to the browser inside its command line, as a quoted argument: a double
// quote or a control character in it would end that argument and add others of the link's
// choosing. Percent-encoded they are the same address and stay inside it.
static WStr SafeAddress(const WStr& link) {
  WStr out;
  for (WCHAR ch : link) {
    if (ch == u'"' || ch < 0x20 || ch == 0x7F) {
      static const char kHex[] = "0123456789ABCDEF";
      out += {u'%', static_cast<WCHAR>(kHex[ch >> 4]), static_cast<WCHAR>(kHex[ch & 15])};
    } else {
      out += ch;
    }
  }
  return out;
}

void TFormMain::OpenLink(const WStr& given) {
  const bool address = UpperAscii(given.substr(0, 4)) == W_("HTTP");
  if (!address && !FileExists(given) && !DirectoryExists(given)) {
    MessageBoxW(Handle, LangStrings.FileOrPathNotExist.c_str(), LangStrings.ErrorTitle.c_str(), MB_OK | MB_ICONERROR);
    return;
  }
  const WStr link = address ? SafeAddress(given) : given;
  auto open = [&](const WCHAR* verb, const WStr& file) {
    return static_cast<int>(
        reinterpret_cast<INT_PTR>(ShellExecuteW(Handle, verb, file.c_str(), nullptr, nullptr, SW_SHOW)));
  };
  const int r = open(W_("Open"), link);
  TheDebugger().LogFmt(W_("ShellExecute(%s) Ret = %d"), {link, r});
  const WStr folder = ExtractFilePath(link);
  if (r == SE_ERR_NOASSOC) {
    WStr ext = ExtractFileExt(link);
    if (!ext.empty() && ext[0] == u'.') ext.erase(0, 1);
    if (UpperAscii(ext) != W_("PDF")) {
      MessageBoxW(Handle, Format(LangStrings.NotFileReaderInstall, {ext}).c_str(), LangStrings.ErrorTitle.c_str(),
                  MB_OK | MB_ICONERROR);
      open(W_("open"), folder);
      return;
    }
    const WStr reader = InstallInfos().Items(SelectedPrinterIndex).PDFReader;
    if (FileExists(reader)) {
      if (MessageBoxW(Handle, LangStrings.NotPDFReaderInstall.c_str(), LangStrings.ErrorTitle.c_str(),
                      MB_YESNO | MB_ICONWARNING) == IDYES)
        open(W_("open"), reader);
      else
        open(W_("open"), folder);
    } else {
      MessageBoxW(Handle, LangStrings.NotPDFReaderInstall2.c_str(), LangStrings.ErrorTitle.c_str(),
                  MB_OK | MB_ICONWARNING);
      open(W_("open"), folder);
    }
  } else if (r < 32) {
    open(W_("open"), folder);
  }
}
