// A fresh machine with an installer package folder C:\Pkg, the installer's image declared as
// C:\Pkg\Kelvane.exe, and the run state and log made anew.
#pragma once

#include "installer/config/Info.h"
#include "installer/lang/LangStrings.h"
#include "installer/startup/RunState.h"
#include "support/capture_channel.h"
#include "support/machine_fixture.h"

class InstallerTest : public MachineTest {
 protected:
  std::shared_ptr<CaptureChannel::State> log;

  void SetUp() override {
    MachineTest::SetUp();
    std::filesystem::create_directories(pkg(""));
    winsim::declare_image(32, "C:\\Pkg\\Kelvane.exe");
    ASSERT_TRUE(SetCurrentDirectoryW(W_("C:\\Pkg")));
    log = CaptureLog();
    InitializeRunState();
    WinVersion = 61;
    IsWin64 = true;
    ApplicationTerminated = false;
  }

  void TearDown() override {
    FinalizeRunState();
    TheDebugger().Reset();
    MachineTest::TearDown();
  }

  std::string pkg(const std::string& rel) const { return c("Pkg/" + rel); }
  void put(const std::string& rel, const std::string& text) const { testutil::write_file(pkg(rel), text); }
};

// The same on a Chinese machine (code page 936), where the log's Chinese texts keep their letters.
using ChineseInstallerTest = OnChineseMachine<InstallerTest>;
