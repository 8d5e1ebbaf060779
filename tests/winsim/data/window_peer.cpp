// Another program with windows, for the tests of windows between processes:
//   window_peer TITLE COUNT
// makes COUNT top-level windows of the class "WindowPeer" (the first titled TITLE and visible,
// the others "TITLE N"), prints each handle as a decimal number on a line and then "ready", and
// runs its message loop until the first window is destroyed; then prints "destroyed" and waits for
// its standard input to end. Its windows answer WM_USER+2 with twice the lParam.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "win32/user.h"

namespace {

HWND g_first = nullptr;

LRESULT CALLBACK PeerProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_USER + 2) return lp * 2;
  if (msg == WM_DESTROY && h == g_first) PostQuitMessage(0);
  return DefWindowProcW(h, msg, wp, lp);
}

WStr wide(const std::string& s) { return WStr(s.begin(), s.end()); }  // ASCII titles only

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: window_peer TITLE COUNT\n");
    return 2;
  }
  std::string title = argv[1];
  int count = std::atoi(argv[2]);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = PeerProc;
  wc.lpszClassName = W_("WindowPeer");
  if (!RegisterClassExW(&wc)) return 1;
  for (int i = 0; i < count; ++i) {
    WStr text = wide(i == 0 ? title : title + " " + std::to_string(i + 1));
    HWND h = CreateWindowExW(0, W_("WindowPeer"), text.c_str(), WS_POPUP | (i == 0 ? WS_VISIBLE : 0u), 0, 0, 10, 10,
                             nullptr, nullptr, nullptr, nullptr);
    if (!h) return 1;
    if (i == 0) g_first = h;
    std::printf("%llu\n", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(h)));
  }
  std::printf("ready\n");
  std::fflush(stdout);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  std::printf("destroyed\n");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}
