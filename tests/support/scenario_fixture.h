// Kelvane.exe run by the winsim tool inside a machine of its own, with the sample package in
// C:\Package and a scripted user; the machine's record and state read back afterwards.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

#include "support/machine_fixture.h"

class Scenario : public ::testing::Test {
 protected:
  std::string root = testutil::make_temp_dir();
  std::string machine = root + "/machine";

  void TearDown() override { std::filesystem::remove_all(root); }

  // A new machine (winsim tool options such as "--version 6.1 --bits 64 --lang 1033") with the
  // sample package and the installer in C:\Package.
  void make(const std::string& options) {
    testutil::CommandResult r = winsim_tool("new " + machine + " " + options);
    ASSERT_EQ(r.status, 0) << r.output;
    std::filesystem::copy(EXAMPLES_DIR "/package", machine + "/C/Package", std::filesystem::copy_options::recursive);
    std::filesystem::copy_file(KELVANE_EXE, machine + "/C/Package/Kelvane.exe");
  }

  testutil::CommandResult winsim_tool(const std::string& args) {
    return testutil::run_command(std::string(WINSIM_TOOL) + " " + args);
  }

  // The command line that runs the installer from the package folder with `script` as its user.
  std::string kelvane_command(const std::string& script, const std::string& extra = "") {
    testutil::write_file(root + "/script.txt", script);
    return std::string(WINSIM_TOOL) + " run " + machine + " --cd 'C:\\Package' --script " + root + "/script.txt " +
           extra + " 'C:\\Package\\Kelvane.exe'";
  }
  testutil::CommandResult kelvane(const std::string& script, const std::string& extra = "") {
    return testutil::run_command(kelvane_command(script, extra));
  }

  std::vector<nlohmann::json> events(const std::string& type) { return testutil::events_of_type(machine, type); }

  // The machine's printers as "name on port", and the default printer.
  std::vector<std::string> printers() {
    nlohmann::json doc = nlohmann::json::parse(testutil::read_file(machine + "/spooler.json"));
    std::vector<std::string> out;
    for (auto& p : doc["printers"]) out.push_back(p["name"].get<std::string>() + " on " + p["port"].get<std::string>());
    return out;
  }
  std::string default_printer() {
    return nlohmann::json::parse(testutil::read_file(machine + "/spooler.json"))["default"];
  }
};
