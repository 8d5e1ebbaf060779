// The sample model installed by Kelvane.exe, then its properties opened as a user opens them
// ("rundll32 printui.dll,PrintUIEntry /p /n ..."): the settings page of the built Dorvel.dll
// inside the simulated properties dialog, driven by a scripted user, in English and Chinese.
#include <nlohmann/json.hpp>

#include <filesystem>

#include "support/machine_fixture.h"
#include "support/picture_compare.h"
#include "support/scenario_fixture.h"
#include "win32/spooler.h"

using namespace testutil;
using nlohmann::json;

namespace {

const std::string kOpenProperties =
    "'C:\\Windows\\System32\\rundll32.exe' printui.dll,PrintUIEntry /p /n 'Kelvane KV-1000'";

class PropertiesScenario : public Scenario, public ::testing::WithParamInterface<unsigned> {
 protected:
  // A 64-bit Windows 7 machine in the parameter's language with a KV-1000 on USB whose five
  // items are OFF ON OFF ON ON, and the sample install done from the window.
  void install() {
    ASSERT_NO_FATAL_FAILURE(make("--version 6.1 --bits 64 --lang " + std::to_string(GetParam())));
    CommandResult plugged = winsim_tool("plug " + machine +
                                        " --device-id 'MFG:Kelvane;MDL:KV-1000;CMD:ESC/P;CLS:PRINTER;DES:Kelvane KV-1000;'"
                                        " --items 0,1,0,1,1");
    ASSERT_EQ(plugged.status, 0) << plugged.output;
    std::filesystem::copy_file(DORVEL64, machine + "/C/Package/Driver/Dorvel.dll");
    std::filesystem::copy_file(TRELLUM64, machine + "/C/Package/Driver/Trellum.dll");
    CommandResult r = kelvane("box YES\nclick Image1\nwait 3000\nclose *\n");
    ASSERT_EQ(r.status, 0) << r.output;
  }

  CommandResult properties(const std::string& script) {
    write_file(root + "/script.txt", script);
    return winsim_tool("run " + machine + " --script " + root + "/script.txt " + kOpenProperties);
  }

  std::vector<json> events(const std::string& type, size_t from) { return events_of_type(machine, type, from); }

  std::string printer_data(const char16_t* name) {
    winsim::use_machine(machine);
    WStr printer = W_("Kelvane KV-1000");
    HANDLE h = nullptr;
    if (!OpenPrinterW(printer.data(), &h, nullptr)) return "<no printer>";
    BYTE data[64] = {};
    DWORD type = 0, needed = 0;
    DWORD e = GetPrinterDataW(h, const_cast<LPWSTR>(name), &type, data, sizeof data, &needed);
    ClosePrinter(h);
    if (e) return "<error " + std::to_string(e) + ">";
    return utf8(WStr(reinterpret_cast<const char16_t*>(data), needed / 2));
  }
};

TEST_P(PropertiesScenario, ReadChangeTwoSaveAndStoreOffsets) {
  ASSERT_NO_FATAL_FAILURE(install());
  size_t from = winsim::read_events(machine).size();
  // Read the printer, switch Auto CR off and Auto wrap on (two changes, marked red), save them,
  // then type and step the image settings and leave with OK.
  CommandResult r = properties(
      "shot page-start.png\n"
      "click 1057\n"
      "box OK\nbox OK\n"
      "choose 1072 \"" + std::string(GetParam() == 2052 ? "关闭" : "OFF") + "\"\n"
      "choose 1073 \"" + std::string(GetParam() == 2052 ? "打开" : "ON") + "\"\n"
      "shot page-changed.png\n"
      "click 1080\n"
      "shot page-saved.png\n"
      "type 1081 \"1.5\"\n"
      "scroll 1086 up\n"
      "type 1089 \"75\"\n"
      "click 1\n");
  ASSERT_EQ(r.status, 0) << r.output;

  auto printui = events("printui", from);
  ASSERT_EQ(printui.size(), 1u);
  EXPECT_EQ(printui[0]["result"], 0);
  EXPECT_EQ(printui[0]["closed_with"], "ok");
  EXPECT_EQ(printui[0]["pages"], json::array({GetParam() == 2052 ? "打印设置" : "Printer settings"}));
  EXPECT_EQ(printui[0]["plugin"], "C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\Dorvel.dll");
  EXPECT_EQ(printui[0]["plugin_can_unload"], true);  // every object and reference given back
  EXPECT_EQ(printui[0]["core_interface_held"], 0);

  std::vector<std::string> boxes;
  for (auto& b : events("messagebox", from)) boxes.push_back(b["text"]);
  if (GetParam() == 2052)
    EXPECT_EQ(boxes, (std::vector<std::string>{"从打印机读取设置成功。", "已成功设置打印机。"}));
  else
    EXPECT_EQ(boxes, (std::vector<std::string>{"Read settings from printer successfully.",
                                               "Printer has been successfully set up."}));

  // Only the two changed items went to the printer, and it holds them.
  std::vector<json> writes;
  for (auto& u : events("usb", from))
    for (auto& c : u.value("commands", json::array()))
      if (c["command"] == "write") writes.push_back(c);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0]["item"], 1);
  EXPECT_EQ(writes[0]["value"], 0);
  EXPECT_EQ(writes[1]["item"], 2);
  EXPECT_EQ(writes[1]["value"], 1);
  EXPECT_NE(winsim::describe_usb(machine).find("items 00 00 01 01 01"), std::string::npos) << winsim::describe_usb(machine);

  // The image settings are in the printer's data store.
  EXPECT_EQ(printer_data(u"MoveXMMTenth"), "150");
  EXPECT_EQ(printer_data(u"MoveYMMTenth"), "1");
  EXPECT_EQ(printer_data(u"UnitType"), "1");
  EXPECT_EQ(printer_data(u"CompressX"), "75");

  // The change markers are drawn in red; before any change and after the save there are none.
  EXPECT_EQ(red_pixels(root + "/page-start.png"), 0u);
  EXPECT_GT(red_pixels(root + "/page-changed.png"), 10u);
  EXPECT_EQ(red_pixels(root + "/page-saved.png"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Languages, PropertiesScenario, ::testing::Values(1033u, 2052u),
                         [](const auto& info) { return info.param == 2052 ? "Chinese" : "English"; });

}  // namespace
