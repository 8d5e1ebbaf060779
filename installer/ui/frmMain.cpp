#include "frmMain.h"

#include <functional>

#include "installer/config/Info.h"
#include "installer/install/InstallDriver.h"
#include "installer/startup/RunState.h"

namespace {
const WCHAR* const kClassName = W_("TFormMain");
constexpr int kClientWidth = 790;
constexpr int kClientHeight = 532;
}  // namespace

TFormMain::TFormMain(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);
  FWindowHandle =
      CreateWindowExW(WS_EX_APPWINDOW, kClassName, W_("Driver Setup"), WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX,
                      CW_USEDEFAULT, CW_USEDEFAULT, kClientWidth, kClientHeight, nullptr, nullptr, instance, this);
  if (!FWindowHandle) throw KelvaneError(W_("CreateWindowEx: ") + SystemErrorText(GetLastError()));
  SetWindowLongPtrW(FWindowHandle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  // The result prompts are owned by this window, and the 64-bit host reports to it.
  MainWindowHandle = FWindowHandle;
}

TFormMain::~TFormMain() {
  if (FWindowHandle && IsWindow(FWindowHandle)) DestroyWindow(FWindowHandle);
  if (MainWindowHandle == FWindowHandle) MainWindowHandle = nullptr;
}

void TFormMain::Show() { ShowWindow(FWindowHandle, SW_SHOW); }

bool TFormMain::CanInstall() const { return InstallInfos().GetCount() > 0; }

LRESULT CALLBACK TFormMain::WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_KELVANE_CALL:  // a call the install run hands to this thread (CallInWindowThread)
      (*reinterpret_cast<const std::function<void()>*>(lp))();
      return 0;
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY: {
      auto* self = reinterpret_cast<TFormMain*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
      if (self) self->FWindowHandle = nullptr;
      if (MainWindowHandle == hwnd) MainWindowHandle = nullptr;
      PostQuitMessage(0);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}
