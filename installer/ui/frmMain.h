// The installer's main window. For now the bare window: the layout, controls and actions come
// with the window's own work.
#pragma once

#include "common/text.h"
#include "win32/user.h"

class TFormMain {
 public:
  explicit TFormMain(HINSTANCE instance);
  ~TFormMain();
  TFormMain(const TFormMain&) = delete;
  TFormMain& operator=(const TFormMain&) = delete;

  HWND Handle() const { return FWindowHandle; }
  void Show();
  // Whether the window offers an install: only with at least one configured printer.
  bool CanInstall() const;

 private:
  static LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  HWND FWindowHandle = nullptr;
};
