// The Windows build's smoke checks, run under Wine by scripts/wine-smoke.sh: loads libraries and
// looks up their exports, finds, reads and closes the windows of another program, and decodes
// pictures with the installer's picture loader. Built as a 32-bit and a 64-bit image. Every command that did its work ends its output with
// "winecheck BITS: ok": a Wine that cannot run the image at all prints nothing and still exits 0,
// and the script must not take that for success.
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "win32/kernel.h"
#include "win32/user.h"

#if KELVANE_PICTURES
#include "common/picture.h"
#endif

namespace {

constexpr unsigned kBits = sizeof(void*) * 8;
// The static control that holds a message box's text.
constexpr int kMessageBoxTextId = 0xFFFF;

std::string utf8(const wchar_t* s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, s, -1, out.data(), n, nullptr, nullptr);
  out.resize(out.size() - 1);
  return out;
}

int ok() {
  std::printf("winecheck %u: ok\n", kBits);
  return 0;
}

int fail(const char* what, const wchar_t* name, DWORD error) {
  std::printf("winecheck %u: %s %s (error %lu)\n", kBits, what, utf8(name).c_str(), static_cast<unsigned long>(error));
  return 1;
}

// Where the window is on the screen, for the script to cut its screenshot out.
void PrintRect(HWND w) {
  RECT r = {};
  GetWindowRect(w, &r);
  std::printf("rect %ld %ld %ld %ld\n", static_cast<long>(r.left), static_cast<long>(r.top),
              static_cast<long>(r.right - r.left), static_cast<long>(r.bottom - r.top));
}

// The top-level window titled `title` (of class `cls` when given), waited for up to `seconds`
// while the other program starts.
HWND WaitForWindow(const wchar_t* cls, const wchar_t* title, int seconds) {
  for (int i = 0; i < seconds * 10; ++i) {
    HWND w = FindWindowW(cls, title);
    if (w && IsWindowVisible(w)) return w;
    Sleep(100);
  }
  return nullptr;
}

int Exports(int argc, wchar_t** argv) {
  HMODULE dll = LoadLibraryW(argv[2]);
  if (!dll) return fail("cannot load", argv[2], GetLastError());
  int missing = 0;
  for (int i = 3; i < argc; ++i) {
    std::string name = utf8(argv[i]);
    bool found = GetProcAddress(dll, name.c_str()) != nullptr;
    std::printf("%s %s: %s\n", utf8(argv[2]).c_str(), name.c_str(), found ? "found" : "MISSING");
    missing += found ? 0 : 1;
  }
  FreeLibrary(dll);
  return missing ? 1 : ok();
}

// A library of the other bitness must be refused with ERROR_BAD_EXE_FORMAT.
int Refuses(wchar_t** argv) {
  SetLastError(0);
  HMODULE dll = LoadLibraryW(argv[2]);
  DWORD error = GetLastError();
  if (dll) {
    FreeLibrary(dll);
    return fail("loaded", argv[2], 0);
  }
  std::printf("%s refused: error %lu\n", utf8(argv[2]).c_str(), static_cast<unsigned long>(error));
  return error == ERROR_BAD_EXE_FORMAT ? ok() : 1;
}

int Wait(wchar_t** argv) {
  HWND w = WaitForWindow(nullptr, argv[2], _wtoi(argv[3]));
  if (!w) return fail("no window", argv[2], GetLastError());
  // Let the window's thread work through its queue before a screenshot is taken.
  DWORD_PTR result = 0;
  SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
  RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  PrintRect(w);
  return ok();
}

int Close(wchar_t** argv) {
  HWND w = FindWindowW(nullptr, argv[2]);
  if (!w) return fail("no window", argv[2], GetLastError());
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(w, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, &result))
    return fail("WM_CLOSE not handled by", argv[2], GetLastError());
  return ok();
}

// Prints the caption and text of the message box captioned argv[2], waited for argv[3] seconds.
int Box(wchar_t** argv) {
  HWND box = WaitForWindow(W_("#32770"), argv[2], _wtoi(argv[3]));
  if (!box) return fail("no message box", argv[2], GetLastError());
  wchar_t caption[512] = {}, text[2048] = {};
  GetWindowTextW(box, caption, 512);
  GetDlgItemTextW(box, kMessageBoxTextId, text, 2048);
  std::printf("caption: %s\ntext: %s\n", utf8(caption).c_str(), utf8(text).c_str());
  PrintRect(box);
  return ok();
}

// Decodes each file with picture::LoadFile and prints one line for it: its size, whether
// it has alpha and the pixel at (1, 1) as AARRGGBB, or why it was refused. A refusal is an answer
// too (the script feeds damaged files); a crash or a hang is what this looks for.
int Pictures(int argc, wchar_t** argv) {
#if KELVANE_PICTURES
  for (int i = 2; i < argc; ++i) {
    picture::Picture pic;
    std::string error;
    std::string name = utf8(argv[i]);
    if (!picture::LoadFile(argv[i], pic, error)) {
      std::printf("%s: refused: %s\n", name.c_str(), error.c_str());
      continue;
    }
    unsigned long pixel = pic.Width > 1 && pic.Height > 1 ? pic.At(1, 1) : 0;
    std::printf("%s: %ux%u %s %08lX\n", name.c_str(), static_cast<unsigned>(pic.Width),
                static_cast<unsigned>(pic.Height), pic.HasAlpha ? "alpha" : "opaque", pixel);
  }
  return ok();
#else
  (void)argc;
  (void)argv;
  std::printf("winecheck %u: built without the picture loader\n", kBits);
  return 1;
#endif
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::string command = argc > 1 ? utf8(argv[1]) : "";
  if (command == "exports" && argc >= 3) return Exports(argc, argv);
  if (command == "refuses" && argc == 3) return Refuses(argv);
  if (command == "wait" && argc == 4) return Wait(argv);
  if (command == "close" && argc == 3) return Close(argv);
  if (command == "box" && argc == 4) return Box(argv);
  if (command == "picture" && argc >= 3) return Pictures(argc, argv);
  std::fprintf(stderr,
               "usage: winecheck exports DLL [NAME...] | refuses DLL | wait TITLE SECONDS | close TITLE |\n"
               "       box CAPTION SECONDS | picture FILE...\n");
  return 2;
}
