// Kelvane.exe from the user's side: started from the package folder of a fresh machine, the
// scripted user presses Start and answers the prompts; the run ends with the result prompt and a
// configured printer. Also the system's new-hardware wizard, which the open window closes.
#include <chrono>
#include <thread>

#include "support/picture_compare.h"
#include "support/scenario_fixture.h"
#include "win32/user.h"

using namespace testutil;
using nlohmann::json;

namespace {

const char* const kRestart = "\r\nNote: Some components would take effects only after restarting the computer.";
const char* const kConnectPrompt =
    "Please connect the PC interface cable to the printer and power ON the printer. When the printer indicates it is "
    "READY, click on the Yes button.";

std::string plug_args(const std::string& model) {
  return "--device-id 'MFG:Kelvane;MDL:" + model + ";CMD:ESC/P;CLS:PRINTER;DES:Kelvane " + model + ";'";
}

struct InstallCase {
  const char* name;
  int bits;
  const char* plugged;  // the model on USB; nullptr: nothing plugged in
  const char* printer;  // the printer the install leaves, and the default
  const char* port;
  bool restart_note;  // the model names a print processor
};

void PrintTo(const InstallCase& c, std::ostream* os) { *os << c.name; }

class WindowInstall : public Scenario, public ::testing::WithParamInterface<InstallCase> {};

// Start, Yes, the install, the result box: with a printer plugged in the window picks its model and
// the printer ends on its USB port; without one the user is warned first and the printer is made
// on "LPT1:". Either way the new printer is the default one.
TEST_P(WindowInstall, StartYesAndTheResultBox) {
  const InstallCase& c = GetParam();
  make("--version 6.1 --bits " + std::to_string(c.bits) + " --lang 1033");
  if (c.plugged) {
    ASSERT_EQ(winsim_tool("plug " + machine + " " + plug_args(c.plugged)).status, 0);
  }
  CommandResult r = kelvane("box YES\nclick Image1\nwait 4000\n");
  ASSERT_EQ(r.status, 0) << r.output;

  auto boxes = events("messagebox");
  ASSERT_EQ(boxes.size(), 2u);
  if (c.plugged) {
    EXPECT_EQ(boxes[0]["text"], kConnectPrompt);
    EXPECT_EQ(boxes[0]["style"], MB_YESNO | MB_ICONQUESTION);
  } else {
    EXPECT_NE(boxes[0]["text"].get<std::string>().find("Printer access is not detected at the USB port"),
              std::string::npos);
    EXPECT_EQ(boxes[0]["style"], MB_YESNO | MB_ICONWARNING);
  }
  EXPECT_EQ(boxes[1]["text"], std::string("Printer driver (") + c.printer +
                                  ") has been successfully installed to print port " + c.port + "." +
                                  (c.restart_note ? kRestart : ""));
  EXPECT_EQ(boxes[1]["style"], MB_OK | MB_ICONINFORMATION);
  EXPECT_EQ(printers(), std::vector<std::string>{std::string(c.printer) + " on " + c.port});
  EXPECT_EQ(default_printer(), c.printer);
}

const InstallCase kInstallCases[] = {
    {"Win7x86_KV1000_On_USB", 32, "KV-1000", "Kelvane KV-1000", "USB001", true},
    {"Win7x64_KV1000_On_USB", 64, "KV-1000", "Kelvane KV-1000", "USB001", true},
    {"Win7x86_KV2000_On_USB", 32, "KV-2000", "Kelvane KV-2000", "USB001", false},  // chosen by its model
    {"Win7x86_Nothing_Plugged", 32, nullptr, "Kelvane KV-1000", "LPT1:", true},
    {"Win7x64_Nothing_Plugged", 64, nullptr, "Kelvane KV-1000", "LPT1:", true},
};
INSTANTIATE_TEST_SUITE_P(Cases, WindowInstall, ::testing::ValuesIn(kInstallCases),
                         [](const auto& info) { return std::string(info.param.name); });

// On Windows XP a printer plugged in without a driver in the store brings up the system's
// Found New Hardware Wizard; the open installer window closes it within a second (its timer looks
// every second). The install then goes on as usual, and the printer, plugged in after the window
// first looked, ends on its USB port.
TEST_F(Scenario, TheWindowClosesTheNewHardwareWizardWithinASecond) {
  make("--version 5.1 --bits 32 --lang 1033");
  CommandResult run;
  std::thread installer([&] { run = kelvane("wait 2500\nbox YES\nclick Image1\nwait 4000\n"); });
  auto painted = [&] {
    for (auto& e : events("window"))
      if (e["action"] == "painted" && e["title"] == "Driver Setup") return true;
    return false;
  };
  for (int i = 0; i < 1000 && !painted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  CommandResult plugged = winsim_tool("plug " + machine + " " + plug_args("KV-1000"));
  installer.join();
  ASSERT_EQ(plugged.status, 0) << plugged.output;
  ASSERT_EQ(run.status, 0) << run.output;

  long long shown = 0, closed = 0;
  for (auto& e : events("window")) {
    if (e["title"] != "Found New Hardware Wizard") continue;
    if (e["action"] == "show") shown = e["time"];
    if (e["action"] == "destroy") closed = e["time"];
  }
  ASSERT_GT(shown, 0);
  ASSERT_GT(closed, 0) << "the wizard stayed open";
  // One timer period, and a little for the message to arrive on a busy machine.
  EXPECT_LE(closed - shown, 1250);
  auto boxes = events("messagebox");
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1]["style"], MB_OK | MB_ICONINFORMATION);
  EXPECT_EQ(printers(), std::vector<std::string>{"Kelvane KV-1000 on USB001"});
}

// The window at start on a fixed machine (Windows 7 64-bit, English, nothing plugged in) as the
// user sees it, against the stored picture; KELVANE_UPDATE_REFERENCE=1 stores a new one.
TEST_F(Scenario, TheWindowAtStartMatchesTheReference) {
  make("--version 6.1 --bits 64 --lang 1033");
  CommandResult r = kelvane("shot start.png\n");
  ASSERT_EQ(r.status, 0) << r.output;
  expect_matches_reference(root + "/start.png", INSTALLER_DATA "/mainwindow_reference.png", "KELVANE_UPDATE_REFERENCE");
}

}  // namespace
