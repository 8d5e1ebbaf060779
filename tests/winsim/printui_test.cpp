// The system printer user interface of the machine: rundll32 printui.dll,PrintUIEntry with /if,
// /dl, /dd, /h and /q, its exit codes and its events, and its command line split as Windows
// splits it.
#include <nlohmann/json.hpp>

#include "support/machine_fixture.h"
#include "win32/spooler.h"

using namespace testutil;

namespace {

class PrintUITest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    std::filesystem::create_directories(c("Pkg/Driver"));
    for (const char* f : {"KV1000.inf", "KV1000.GPD", "kv1000.cat"})
      std::filesystem::copy_file(std::string(EXAMPLES_DIR) + "/package/Driver/" + f, c(std::string("Pkg/Driver/") + f),
                                 std::filesystem::copy_options::overwrite_existing);
  }
  // Runs the command line inside the machine; gives the result it recorded (0 or the Windows
  // error code) after checking that its exit code says the same (0 or 1).
  DWORD run(const WStr& cmdline) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    WStr cmd = cmdline;
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      ADD_FAILURE() << "not started: " << GetLastError();
      return 0xFFFFFFFF;
    }
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    auto ev = events("printui");
    if (ev.empty()) {
      ADD_FAILURE() << "nothing recorded";
      return 0xFFFFFFFF;
    }
    DWORD result = ev.back()["result"].get<DWORD>();
    EXPECT_EQ(code, result ? 1u : 0u);
    EXPECT_EQ(ev.back()["exit_code"], code);
    return result;
  }
  DWORD printui(const WStr& options) { return run(W_("rundll32 printui.dll,PrintUIEntry ") + options); }
  std::vector<nlohmann::json> events(const std::string& type) {
    std::vector<nlohmann::json> out;
    for (auto& line : winsim::read_events(dir)) {
      auto ev = nlohmann::json::parse(line);
      if (ev["type"] == type) out.push_back(ev);
    }
    return out;
  }
  std::string printerDriver(const WStr& name) {
    WStr n = name;
    HANDLE h = nullptr;
    if (!OpenPrinterW(n.data(), &h, nullptr)) return "";
    DWORD needed = 0;
    GetPrinterW(h, 2, nullptr, 0, &needed);
    std::vector<BYTE> buf(needed);
    std::string out;
    if (GetPrinterW(h, 2, buf.data(), needed, &needed)) {
      auto* p = reinterpret_cast<PRINTER_INFO_2W*>(buf.data());
      out = utf8(p->pDriverName) + " on " + utf8(p->pPortName);
    }
    ClosePrinter(h);
    return out;
  }
  size_t oemInfs() {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(c("Windows/inf")))
      if (e.path().filename().string().rfind("oem", 0) == 0 && e.path().extension() == ".inf") ++n;
    return n;
  }
};

const WStr kInstall = W_("/if /b \"Front Desk\" /f \"C:\\Pkg\\Driver\\KV1000.inf\" /r \"LPT1:\" /m \"Kelvane KV-1000\" /q");

TEST_F(PrintUITest, InstallsTheModelsDriverAndAddsThePrinter) {
  EXPECT_EQ(printui(kInstall), 0u);
  EXPECT_EQ(printerDriver(W_("Front Desk")), "Kelvane KV-1000 on LPT1:");
  EXPECT_EQ(oemInfs(), 1u);  // the INF entered the driver store
  EXPECT_TRUE(std::filesystem::exists(c("Windows/System32/spool/drivers/x64/3/KV1000.GPD")));
  auto ev = events("printui");
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0]["action"], "if");
  EXPECT_EQ(ev[0]["command"], "rundll32 printui.dll,PrintUIEntry " + utf8(kInstall));
  EXPECT_EQ(ev[0]["printer"], "Front Desk");
  EXPECT_EQ(ev[0]["driver"], "Kelvane KV-1000");
  EXPECT_EQ(ev[0]["inf"], "C:\\Pkg\\Driver\\KV1000.inf");
  EXPECT_EQ(ev[0]["port"], "LPT1:");
  EXPECT_EQ(ev[0]["quiet"], true);
  EXPECT_EQ(ev[0]["result"], 0);

  struct Case {
    const char16_t* options;
    DWORD code;
  } cases[] = {
      {kInstall.c_str(), ERROR_PRINTER_ALREADY_EXISTS},  // not replaced
      {u"/if /b Back /f C:\\Pkg\\Driver\\KV1000.inf /r LPT1: /m \"Kelvane KV-9\" /q", ERROR_UNKNOWN_PRINTER_DRIVER},
      {u"/if /b Back /f C:\\Pkg\\Driver\\KV1000.inf /r USB009 /m \"Kelvane KV-1000\" /q", ERROR_UNKNOWN_PORT},
      {u"/if /b Back /f C:\\Pkg\\Driver\\None.inf /r LPT1: /m \"Kelvane KV-1000\" /q", ERROR_FILE_NOT_FOUND},
      {u"/if /b Back /f C:\\Pkg\\Driver\\KV1000.inf /r LPT1: /q", ERROR_INVALID_PARAMETER},
      {u"/if /b Back /f C:\\Pkg\\Driver\\KV1000.inf /r LPT1: /m \"Kelvane KV-1000\" /h x86 /q", ERROR_INVALID_ENVIRONMENT},
  };
  for (const Case& k : cases) EXPECT_EQ(printui(k.options), k.code) << utf8(k.options);
  EXPECT_EQ(printerDriver(W_("Back")), "");
  EXPECT_EQ(oemInfs(), 1u);
}

TEST_F(PrintUITest, DeletesPrintersAndDriversButNoDriverInUse) {
  ASSERT_EQ(printui(kInstall), 0u);
  EXPECT_EQ(printui(W_("/dd /m \"Kelvane KV-1000\" /q")), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  EXPECT_EQ(printui(W_("/dl /n \"No Such\" /q")), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(printui(W_("/dl /n \"Front Desk\" /h \"intel\" /q")), 0u);
  EXPECT_EQ(printerDriver(W_("Front Desk")), "");
  // "intel" is the x86 architecture: on this 64-bit machine the driver is an x64 one.
  EXPECT_EQ(printui(W_("/dd /m \"Kelvane KV-1000\" /h \"intel\" /q")), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));
  EXPECT_EQ(printui(W_("/dd /m\"Kelvane KV-1000\" /h x64 /q")), 0u);  // a value stuck to its option
  DWORD needed = 0, returned = 0;
  EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &returned);
  EXPECT_EQ(needed, 0u);
}

TEST_F(PrintUITest, ANameWithQuotesAndBlanksArrivesWhole) {
  winsim::DriverSetup d;
  d.name = "Generic";
  winsim::add_driver(dir, d);
  add_printer(dir, "Say \"Hi\" there", "Generic", "LPT1:");
  add_printer(dir, "Other", "Generic", "LPT1:");
  // Escaped as the C run-time reads it: \" is a quote inside the argument.
  EXPECT_EQ(printui(W_("/dl /n \"Say \\\"Hi\\\" there\" /q")), 0u);
  EXPECT_EQ(printerDriver(W_("Say \"Hi\" there")), "");
  EXPECT_EQ(events("printui").back()["printer"], "Say \"Hi\" there");
  // Text that breaks out of its quotes brings a second action: refused as a whole.
  EXPECT_EQ(printui(W_("/dl /n \"x\" /dd /m \"Generic\" /q")), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(printui(W_("/dl /n Other /zz /q")), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(printerDriver(W_("Other")), "Generic on LPT1:");
}

TEST_F(PrintUITest, FailuresAreShownUnlessQuiet) {
  EXPECT_EQ(printui(W_("/dl /n Nobody /q")), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_TRUE(events("messagebox").empty());
  EXPECT_EQ(printui(W_("/dl /n Nobody")), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  auto boxes = events("messagebox");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0]["text"].get<std::string>().find("0x00000709"), std::string::npos) << boxes[0].dump();
  EXPECT_EQ(run(W_("rundll32 shell32.dll,Control_RunDLL")), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(run(W_("rundll32 printui.dll,NoSuchEntry")), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(events("messagebox").size(), 3u);
}

}  // namespace
