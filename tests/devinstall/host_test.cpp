// The 64-bit install host: its command line, its detection mode with the exchange file and its
// install mode with the result message, run as a process of a simulated machine.
#include <nlohmann/json.hpp>
#include <thread>

#include "common/CommandLine.h"
#include "common/handles.h"
#include "installhost/HostOptions.h"
#include "support/machine_fixture.h"
#include "win32/user.h"

using namespace testutil;
using nlohmann::json;

namespace {

TEST(HostCommandLine, SplitsWithTheRunTimeRules) {
  struct Case {
    const WCHAR* line;
    std::vector<WStr> args;
  } cases[] = {
      {W_("\"C:\\Program Files\\K\\Ralto64.exe\" /Inf x"), {W_("C:\\Program Files\\K\\Ralto64.exe"), W_("/Inf"), W_("x")}},
      {W_("Ralto64.exe \"a b c\" d e"), {W_("Ralto64.exe"), W_("a b c"), W_("d"), W_("e")}},
      {W_("Ralto64.exe \"ab\\\"c\" \"\\\\\" d"), {W_("Ralto64.exe"), W_("ab\"c"), W_("\\"), W_("d")}},
      {W_("Ralto64.exe a\\\\\\b d\"e f\"g h"), {W_("Ralto64.exe"), W_("a\\\\\\b"), W_("de fg"), W_("h")}},
      {W_("Ralto64.exe a\\\\\\\"b c d"), {W_("Ralto64.exe"), W_("a\\\"b"), W_("c"), W_("d")}},
      {W_("Ralto64.exe a\\\\\\\\\"b c\" d e"), {W_("Ralto64.exe"), W_("a\\\\b c"), W_("d"), W_("e")}},
      {W_("Ralto64.exe a\"b\"\" c d"), {W_("Ralto64.exe"), W_("ab\""), W_("c"), W_("d")}},
      // The program name takes no escapes; a folder ending in a backslash keeps it when quoted.
      {W_("C:\\K\\\\Ralto64.exe /Dll \"C:\\Staging\\\\\"\t\"\""), {W_("C:\\K\\\\Ralto64.exe"), W_("/Dll"), W_("C:\\Staging\\"), W_("")}},
      {W_("Ralto64.exe   "), {W_("Ralto64.exe")}},
  };
  for (auto& tc : cases) EXPECT_EQ(SplitCommandLine(tc.line), tc.args) << utf8(tc.line);
}

TEST(HostCommandLine, OptionGrammar) {
  struct Case {
    std::vector<WStr> args;  // after the program name
    WStr dll, inf, hwid, find, handle;
  } cases[] = {
      {{W_("/Dll"), W_("pindle64.dll"), W_("/Handle"), W_("65552"), W_("/Inf"), W_("Driver\\KV1000.inf"), W_("/HWID"),
        W_("USBPRINT\\KelvaneKV-1000EAD3")},
       W_("pindle64.dll"), W_("Driver\\KV1000.inf"), W_("USBPRINT\\KelvaneKV-1000EAD3"), W_(""), W_("65552")},
      // Option names in any letter case.
      {{W_("/dLL"), W_("a.dll"), W_("/findhwid"), W_("C:\\t\\x.ini"), W_("/HANDLE"), W_("0")},
       W_("a.dll"), W_(""), W_(""), W_("C:\\t\\x.ini"), W_("0")},
      // A later value replaces an earlier one.
      {{W_("/Inf"), W_("first.inf"), W_("second.inf")}, W_(""), W_("second.inf"), W_(""), W_(""), W_("")},
      // An unknown option makes the values after it ignored until the next known one.
      {{W_("/Inf"), W_("a.inf"), W_("/X"), W_("b.inf"), W_("/HWID"), W_("ID")}, W_(""), W_("a.inf"), W_("ID"), W_(""), W_("")},
      // A value that begins with "/" is an option token of its own.
      {{W_("/Inf"), W_("/Drivers/a.inf"), W_("b.inf")}, W_(""), W_(""), W_(""), W_(""), W_("")},
      // Values before any option, and options without values.
      {{W_("stray"), W_("/Dll"), W_("/Inf")}, W_(""), W_(""), W_(""), W_(""), W_("")},
      {{W_("/Dll"), W_("d.dll"), W_("/Dllx"), W_("e.dll")}, W_("d.dll"), W_(""), W_(""), W_(""), W_("")},
  };
  for (auto& tc : cases) {
    std::vector<WStr> args{W_("Ralto64.exe")};
    args.insert(args.end(), tc.args.begin(), tc.args.end());
    THostOptions o = ParseHostOptions(args);
    std::string line;
    for (auto& a : tc.args) line += utf8(a) + " ";
    EXPECT_EQ(o.Dll, tc.dll) << line;
    EXPECT_EQ(o.Inf, tc.inf) << line;
    EXPECT_EQ(o.HWID, tc.hwid) << line;
    EXPECT_EQ(o.FindHWID, tc.find) << line;
    EXPECT_EQ(o.Handle, tc.handle) << line;
    EXPECT_EQ(o.DetectionMode(), !tc.find.empty()) << line;
  }
}

TEST(HostCommandLine, HandleIsADecimalWindowHandle) {
  struct Case {
    const WCHAR* text;
    LONG value;
  } cases[] = {
      {W_("65552"), 65552}, {W_("+17"), 17},          {W_("-5"), -5},         {W_("12abc"), 12},
      {W_("abc"), 0},       {W_(""), 0},              {W_("0"), 0},           {W_("4294967295"), -1},
      {W_("2147483648"), static_cast<LONG>(0x80000000u)},
  };
  for (auto& tc : cases) {
    EXPECT_EQ(DecimalToLong(tc.text), tc.value) << utf8(tc.text);
    THostOptions o;
    o.Handle = tc.text;
    EXPECT_EQ(o.ResultWindow(), reinterpret_cast<HWND>(static_cast<LONG_PTR>(tc.value))) << utf8(tc.text);
  }
}

// ---- the host run inside a machine --------------------------------------------------------------

constexpr UINT kHostDone = WM_USER + 100;

struct Received {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};
std::vector<Received> g_received;

LRESULT CALLBACK InstallerProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kHostDone) {
    PostQuitMessage(0);
    return 0;
  }
  if (msg == WM_USER + 1 || msg == WM_USER + 2) {
    g_received.push_back({msg, wp, lp});
    return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

class HostTest : public MachineTest {
 protected:
  HWND window = nullptr;
  WStr hwnd;  // the window handle as the installer writes it

  void SetUp() override {
    MachineTest::SetUp();
    winsim::declare_image(64, "C:\\app\\installer64.exe");
    ASSERT_TRUE(SetCurrentDirectoryW(W_("C:\\")));
    g_received.clear();
    std::filesystem::create_directories(c("Staging"));
    std::filesystem::copy_file(RALTO64, c("Staging/Ralto64.exe"));
    std::filesystem::copy_file(PINDLE64, c("Staging/pindle64.dll"));
    std::filesystem::copy_file(PINDLE32, c("Staging/pindle.dll"));
    std::filesystem::copy_file(STUBPINDLE64, c("Staging/stubpindle64.dll"));
    std::filesystem::copy(EXAMPLES_DIR "/package/Driver", c("Drivers"), std::filesystem::copy_options::recursive);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = InstallerProc;
    wc.lpszClassName = W_("HostTestInstaller");
    ASSERT_NE(RegisterClassExW(&wc), 0);
    window = CreateWindowExW(0, W_("HostTestInstaller"), W_("Driver Setup"), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                             nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    for (char ch : std::to_string(reinterpret_cast<ULONG_PTR>(window))) hwnd += static_cast<WCHAR>(ch);
  }
  void TearDown() override {
    if (window) DestroyWindow(window);
    UnregisterClassW(W_("HostTestInstaller"), nullptr);
    MachineTest::TearDown();
  }

  // Runs the host from the staging folder, as the installer starts it, while this thread runs the
  // window's message loop. Returns the host's exit code.
  DWORD host(const WStr& args) {
    WStr cmd = W_("C:\\Staging\\Ralto64.exe ") + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr, W_("C:\\Staging"), &si,
                        &pi)) {
      ADD_FAILURE() << "the host did not start: " << GetLastError();
      return 0xFFFFFFFFu;
    }
    unique_kernel_handle process(pi.hProcess), thread(pi.hThread);
    std::thread waiter([&] {
      if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the host did not end";
        TerminateProcess(process.get(), 99);
      }
      PostMessageW(window, kHostDone, 0, 0);
    });
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    waiter.join();
    DWORD code = 0xFFFFFFFFu;
    GetExitCodeProcess(process.get(), &code);
    return code;
  }

  std::vector<json> events(const std::string& type) {
    std::vector<json> out;
    for (auto& line : winsim::read_events(dir)) {
      json e = json::parse(line);
      if (e["type"] == type) out.push_back(e);
    }
    return out;
  }
  std::vector<std::string> debug_texts() {
    std::vector<std::string> out;
    for (auto& e : events("debug")) out.push_back(e["text"]);
    return out;
  }
  void expect_one_box(const std::string& text) {
    auto boxes = events("messagebox");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0]["text"], text);
    EXPECT_EQ(boxes[0]["caption"], "错误");
    EXPECT_EQ(boxes[0]["style"], MB_ICONERROR);
    EXPECT_EQ(boxes[0]["owner"], 0);
  }

  // The exchange file as the installer makes it: empty, or with the check's flags.
  WStr exchange_file(const std::string& content) {
    write_file(c("Temp/tmp1A2B.tmp"), content);
    return W_("C:\\Temp\\tmp1A2B.tmp");
  }
  std::string ret_of(const WStr& file) {
    WCHAR buf[64] = {};
    GetPrivateProfileStringW(W_("Data"), W_("Ret"), W_("<none>"), buf, 64, file.c_str());
    return utf8(buf);
  }
};

TEST_F(HostTest, CheckPassesTheFlagsAndTheAnsiTextsAndWritesRet) {
  struct Case {
    std::string exchange;
    std::string ret;
  } cases[] = {{"", "4"}, {"[Data]\r\nFlag=7\r\n", "7"}};
  for (auto& tc : cases) {
    WStr file = exchange_file(tc.exchange);
    EXPECT_EQ(host(W_("/Handle ") + hwnd + W_(" /Dll \"stubpindle64.dll\" /Inf \"..\\Drivers\\KV1000.inf\" /HWID "
                                             "USBPRINT\\KelvaneKV-1000EAD3 /FindHWID \"") +
                   file + W_("\"")),
              0u);
    EXPECT_EQ(ret_of(file), tc.ret);
  }
  EXPECT_TRUE(g_received.empty());  // a check answers through the file only
  EXPECT_EQ(debug_texts(), (std::vector<std::string>{"..\\Drivers\\KV1000.inf", "USBPRINT\\KelvaneKV-1000EAD3",
                                                     "..\\Drivers\\KV1000.inf", "USBPRINT\\KelvaneKV-1000EAD3"}));
  EXPECT_TRUE(events("messagebox").empty());
}

TEST_F(HostTest, CheckThatCannotRunLeavesRetUnwritten) {
  WStr file = exchange_file("");
  EXPECT_EQ(host(W_("/Dll missing64.dll /Inf a.inf /HWID X /FindHWID ") + file), 0u);
  EXPECT_EQ(ret_of(file), "<none>");
  expect_one_box("装载DLL失败！");

  std::filesystem::remove(dir + "/events.jsonl");
  winsim::add_machine_fault(dir, "GetProcAddress:Pindle_IsInlineDeviceExist", 0, ERROR_PROC_NOT_FOUND, "Ralto64.exe");
  EXPECT_EQ(host(W_("/Dll pindle64.dll /Inf a.inf /HWID X /FindHWID ") + file), 0u);
  EXPECT_EQ(ret_of(file), "<none>");
  expect_one_box("在DLL中查找不到函數：Pindle_IsInlineDeviceExist");
}

TEST_F(HostTest, InstallWithTheOlderExportName) {
  EXPECT_EQ(host(W_("/Handle ") + hwnd + W_(" /Dll stubpindle64.dll /Inf \"C:\\Drivers\\KV1000.inf\" /HWID ") +
                 W_("USBPRINT\\KelvaneKV-1000EAD3")),
            0u);
  EXPECT_EQ(debug_texts(),
            (std::vector<std::string>{"C:\\Drivers\\KV1000.inf", "USBPRINT\\KelvaneKV-1000EAD3", "LPT1:"}));
  ASSERT_EQ(g_received.size(), 1u);
  EXPECT_EQ(g_received[0].message, WM_USER + 2u);  // 1: installed, restart needed
  EXPECT_EQ(g_received[0].wParam, 0u);
  // No error code to ask such a library for: the thread's last error after the call stands in.
  EXPECT_EQ(g_received[0].lParam, static_cast<LPARAM>(ERROR_SUCCESS_REBOOT_REQUIRED));
  EXPECT_TRUE(events("messagebox").empty());
}

TEST_F(HostTest, InstallThatCannotRunSendsTheFailureWithTheReason) {
  struct Case {
    const char* fault;  // a GetProcAddress fault of the host, or none
    const WCHAR* dll;
    std::string box;
    LPARAM code;
  } cases[] = {
      {nullptr, W_("missing64.dll"), "装载DLL失败！", ERROR_MOD_NOT_FOUND},
      {nullptr, W_("pindle.dll"), "装载DLL失败！", ERROR_BAD_EXE_FORMAT},  // the 32-bit build
      {"GetProcAddress:FuncPindle", W_("pindle64.dll"), "装载Pindle()失败！", ERROR_PROC_NOT_FOUND},
  };
  for (auto& tc : cases) {
    g_received.clear();
    std::filesystem::remove(dir + "/events.jsonl");
    winsim::clear_machine_faults(dir);
    if (tc.fault) winsim::add_machine_fault(dir, tc.fault, 0, ERROR_PROC_NOT_FOUND, "Ralto64.exe");
    EXPECT_EQ(host(W_("/Handle ") + hwnd + W_(" /Dll ") + tc.dll + W_(" /Inf C:\\Drivers\\KV1000.inf /HWID X")), 0u);
    expect_one_box(tc.box);
    ASSERT_EQ(g_received.size(), 1u) << tc.box;
    EXPECT_EQ(g_received[0].message, WM_USER + 1u);
    EXPECT_EQ(g_received[0].lParam, tc.code);
  }
}

TEST_F(HostTest, ResultGoesOnlyToANonZeroHandle) {
  // A missing INF: the library answers 2 without a code of its own.
  struct Case {
    WStr handle;
    size_t messages;
  } cases[] = {{W_("/Handle ") + hwnd, 1}, {W_("/Handle 0"), 0}, {W_(""), 0}, {W_("/Handle"), 0}};
  for (auto& tc : cases) {
    g_received.clear();
    EXPECT_EQ(host(tc.handle + W_(" /Dll pindle64.dll /Inf C:\\Drivers\\none.inf /HWID X")), 0u);
    ASSERT_EQ(g_received.size(), tc.messages) << utf8(tc.handle);
    if (tc.messages) {
      EXPECT_EQ(g_received[0].message, WM_USER + 1u);
      EXPECT_EQ(g_received[0].lParam, 0);
    }
  }
  EXPECT_TRUE(events("messagebox").empty());  // the host switched the library's error boxes off
}

// ---- with the real library and the machine's devices ------------------------------------------

const std::string kModelId = "MFG:Kelvane;MDL:KV-1000;";

WStr HardwareId() {
  WStr id = W_("USBPRINT\\");
  for (char ch : winsim::printer_hardware_id("Kelvane", "KV-1000")) id += static_cast<WCHAR>(ch);
  return id;
}

void Plug(const std::string& dir) {
  winsim::PlugSetup setup;
  setup.device_id = kModelId;
  winsim::plug_printer(dir, setup);
}

TEST_F(HostTest, CheckWritesTheCodeAsAnUnsignedNumber) {
  WStr file = exchange_file("");
  WStr args = W_("/Dll pindle64.dll /Inf ..\\Drivers\\KV1000.inf /HWID ") + HardwareId() + W_(" /FindHWID ") + file;
  EXPECT_EQ(host(args), 0u);
  EXPECT_EQ(ret_of(file), "3758096907");  // ERROR_NO_SUCH_DEVINST: nothing carries the ID
  Plug(dir);
  EXPECT_EQ(host(args), 0u);
  EXPECT_EQ(ret_of(file), "0");
  EXPECT_NE(winsim::describe_devices(dir).find("driver Kelvane KV-1000"), std::string::npos);
  winsim::unplug_printer(dir, "USB001");  // gone again: the check finds nothing to install on
  EXPECT_EQ(host(args), 0u);
  EXPECT_EQ(ret_of(file), "3758096907");
}

TEST_F(HostTest, InstallResultsReachTheWindow) {
  struct Case {
    bool plugged, restart, no_service;
    UINT message;
    LPARAM code;
  } cases[] = {
      {false, false, false, WM_USER + 1, static_cast<LPARAM>(static_cast<DWORD>(ERROR_NO_SUCH_DEVINST))},  // 2
      {true, false, true, WM_USER + 2, 0},  // -1: no function driver, still the success message
      {true, true, false, WM_USER + 2, 0},  // 1: restart needed
      {true, false, false, WM_USER + 2, 0},
  };
  for (auto& tc : cases) {
    if (tc.plugged && winsim::describe_devices(dir).empty()) Plug(dir);
    winsim::set_setup_policy(dir, tc.restart, tc.no_service, false);
    g_received.clear();
    EXPECT_EQ(host(W_("/Handle ") + hwnd + W_(" /Dll pindle64.dll /Inf \"..\\Drivers\\KV1000.inf\" /HWID ") +
                   HardwareId()),
              0u);
    ASSERT_EQ(g_received.size(), 1u);
    EXPECT_EQ(g_received[0].message, tc.message) << tc.plugged << tc.restart << tc.no_service;
    EXPECT_EQ(g_received[0].lParam, tc.code) << tc.plugged << tc.restart << tc.no_service;
  }
  EXPECT_TRUE(events("messagebox").empty());
  // The driver went on the plugged printer: the spooler lists the model's printer on its port.
  std::string spooler = winsim::describe_spooler(dir);
  EXPECT_NE(spooler.find("printer     Kelvane KV-1000"), std::string::npos) << spooler;
  EXPECT_NE(spooler.find("port USB001, driver Kelvane KV-1000"), std::string::npos) << spooler;
}

TEST_F(HostTest, InstallPathsPassOnlyWithCharactersUpToCode255) {
  Plug(dir);
  std::filesystem::create_directories(c("Drivers/Café"));
  std::filesystem::create_directories(c("Drivers/打印"));
  std::filesystem::copy(c("Drivers/KV1000.inf"), c("Drivers/Café/KV1000.inf"));
  std::filesystem::copy(c("Drivers/KV1000.GPD"), c("Drivers/Café/KV1000.GPD"));
  std::filesystem::copy(c("Drivers/KV1000.inf"), c("Drivers/打印/KV1000.inf"));
  std::filesystem::copy(c("Drivers/KV1000.GPD"), c("Drivers/打印/KV1000.GPD"));
  WStr deep = W_("C:\\Drivers");  // more than the 259 characters the library's paths hold
  while (deep.size() < 300) deep += W_("\\folder");
  struct Case {
    WStr inf;
    UINT message;
  } cases[] = {
      {W_("C:\\Drivers\\Café\\KV1000.inf"), WM_USER + 2},  // é is code 233: it passes
      {W_("C:\\Drivers\\打印\\KV1000.inf"), WM_USER + 1},   // the install sees an empty path
      {deep + W_("\\KV1000.inf"), WM_USER + 1},
  };
  for (auto& tc : cases) {
    g_received.clear();
    EXPECT_EQ(host(W_("/Handle ") + hwnd + W_(" /Dll pindle64.dll /Inf \"") + tc.inf + W_("\" /HWID ") + HardwareId()),
              0u);
    ASSERT_EQ(g_received.size(), 1u) << utf8(tc.inf);
    EXPECT_EQ(g_received[0].message, tc.message) << utf8(tc.inf);
    EXPECT_EQ(g_received[0].lParam, 0) << utf8(tc.inf);  // a missing INF is not the platform's error
  }
}

class ChineseHostTest : public HostTest {
  winsim::MachineOptions options() override {
    winsim::MachineOptions o;
    o.language = 2052;
    return o;
  }
};

TEST_F(ChineseHostTest, CheckTextsGoThroughTheAnsiCodePage) {
  WStr file = exchange_file("");
  EXPECT_EQ(host(W_("/Dll stubpindle64.dll /Inf \"C:\\驱动\\KV1000.inf\" /HWID ") + HardwareId() + W_(" /FindHWID ") +
                 file),
            0u);
  EXPECT_EQ(debug_texts(), (std::vector<std::string>{"C:\\驱动\\KV1000.inf", utf8(HardwareId())}));
  EXPECT_EQ(ret_of(file), "4");
}

}  // namespace
