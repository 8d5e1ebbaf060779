// newdev.exe, the Found New Hardware Wizard of Windows before Vista: the system starts it when a
// device arrives for which its driver store has nothing, and its window stays until someone
// closes it (a person, or an installer that knows it is in the way).
#include <thread>

#include "win32/kernel.h"
#include "win32/user.h"

namespace {

LRESULT CALLBACK WizardProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

int main() {
  const bool chinese = PRIMARYLANGID(GetSystemDefaultLangID()) == 0x04;  // LANG_CHINESE
  const WCHAR* title = chinese ? W_("找到新的硬件向导") : W_("Found New Hardware Wizard");
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WizardProc;
  wc.lpszClassName = W_("NewDevWizard");
  RegisterClassExW(&wc);
  HWND wizard = CreateWindowExW(0, W_("NewDevWizard"), title, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, 100,
                                100, 503, 386, nullptr, nullptr, nullptr, nullptr);
  if (!wizard) return 1;
  // Nobody answers a simulated wizard forever: it gives up as a person would walk away.
  std::thread([wizard] {
    Sleep(120000);
    PostMessageW(wizard, WM_CLOSE, 0, 0);
  }).detach();
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
