// The sample package staged for an install run inside the test's own process: the package in
// C:\Pkg (`pkg` is its folder on the host), the built device-install libraries and 64-bit host in
// "Setup Files", the Chinese texts, and the run state an install of the package's first entry
// starts with. The machine is in use and the run state initialised already.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "installer/config/Info.h"
#include "installer/lang/LangStrings.h"
#include "installer/startup/RunState.h"

inline void PrepareSampleInstall(const std::string& pkg) {
  namespace fs = std::filesystem;
  fs::copy(EXAMPLES_DIR "/package", pkg, fs::copy_options::recursive);
  fs::create_directories(pkg + "/Setup Files");
  for (const char* file : {"pindle.dll", "pindle64.dll", "Ralto64.exe"})
    fs::copy_file(std::string(KELVANE_BIN) + "/" + file, pkg + "/Setup Files/" + file);
  fs::copy_file(KELVANE_LANG "/Strings_CN.ini", pkg + "/Strings.ini");
  PindleDllPath = W_("C:\\Pkg\\Setup Files\\pindle.dll");
  Pindle64DllPath = W_("C:\\Pkg\\Setup Files\\pindle64.dll");
  RaltoExePath = W_("C:\\Pkg\\Setup Files\\Ralto64.exe");
  IsWin64 = DetectWin64();
  WinVersion = GetWinVersion();
  InstallInfos().LoadFromFile(W_("C:\\Pkg\\Kelvane.ini"));
  LangOptions().LoadFromFile(W_("C:\\Pkg\\Strings.ini"));
  SelectedPrinterIndex = 0;
  PrintersBeforeInstall = std::make_unique<TStringList>();
  PrintersAfterInstall = std::make_unique<TStringList>();
}
