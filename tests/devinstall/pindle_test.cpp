// The device-install library, loaded as its callers load it: by path, its exports looked up by
// name. The 64-bit build runs in a 64-bit process of a simulated machine.
#include <nlohmann/json.hpp>
#include <optional>

#include "support/machine_fixture.h"
#include "win32/registry.h"
#include "win32/setup.h"
#include "win32/user.h"

using namespace testutil;
using nlohmann::json;

namespace {

using SetSwitchFn = void(WINAPI*)(int);
using LastInstallErrorCodeFn = DWORD(WINAPI*)();
using RefreshHWFn = void(WINAPI*)();
using FindExistDeviceFn = BOOL(WINAPI*)(LPCSTR, LPSTR, LPSTR);
using IsInlineDeviceExistFn = DWORD(WINAPI*)(HWND, LPCSTR, LPCSTR, DWORD);
using FuncPindleFn = int(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, HWND);
using RegistryInfFn = BOOL(WINAPI*)(LPCSTR, LPCSTR, LPSTR, DWORD);

const char* const kExports[] = {"SetDebugMode",         "ShowErrorCode",       "EnableRootID",
                                "LastInstallErrorCode", "RefreshHW",           "FuncFindExistDevice",
                                "Pindle_IsInlineDeviceExist", "FuncPindle",    "Pindle_RegistryInf"};

LRESULT CALLBACK OwnerProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) { return DefWindowProcW(h, msg, wp, lp); }

class PindleTest : public MachineTest {
 protected:
  HMODULE lib = nullptr;
  HWND owner = nullptr;

  void SetUp() override {
    MachineTest::SetUp();
    winsim::declare_image(64, "C:\\app\\host64.exe");
    ASSERT_TRUE(SetCurrentDirectoryW(W_("C:\\")));
    std::filesystem::create_directories(c("Staging"));
    std::filesystem::copy_file(PINDLE64, c("Staging/pindle64.dll"));
    std::filesystem::copy(EXAMPLES_DIR "/package/Driver", c("Drivers"), std::filesystem::copy_options::recursive);
    lib = LoadLibraryW(W_("C:\\Staging\\pindle64.dll"));
    ASSERT_NE(lib, nullptr) << GetLastError();
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = OwnerProc;
    wc.lpszClassName = W_("PindleTestOwner");
    ASSERT_NE(RegisterClassExW(&wc), 0);
    owner = CreateWindowExW(0, W_("PindleTestOwner"), W_("Driver Setup"), WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                            nullptr, nullptr);
    ASSERT_NE(owner, nullptr);
  }
  void TearDown() override {
    if (owner) DestroyWindow(owner);
    UnregisterClassW(W_("PindleTestOwner"), nullptr);
    if (lib) FreeLibrary(lib);
    MachineTest::TearDown();
  }

  template <class Fn>
  Fn fn(const char* name) {
    auto f = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
    if (!f) ADD_FAILURE() << "no export " << name;
    return f;
  }
  DWORD last_install_error() { return fn<LastInstallErrorCodeFn>("LastInstallErrorCode")(); }

  std::vector<json> events(const std::string& type) {
    std::vector<json> out;
    for (auto& line : winsim::read_events(dir)) {
      json e = json::parse(line);
      if (e["type"] == type) out.push_back(e);
    }
    return out;
  }
  void clear_events() { std::filesystem::remove(dir + "/events.jsonl"); }

  // The "Device Parameters" key of a device: none when missing, else its "PortName" ("" when unset).
  std::optional<std::string> device_parameters(const std::string& instance) {
    WStr path = W_("SYSTEM\\CurrentControlSet\\Enum\\");
    for (char ch : instance) path += static_cast<WCHAR>(ch);
    path += W_("\\Device Parameters");
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    WCHAR value[64] = {};
    DWORD type = 0, size = sizeof value - sizeof(WCHAR);
    LONG r = RegQueryValueExW(key, W_("PortName"), nullptr, &type, reinterpret_cast<LPBYTE>(value), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) return std::string();
    EXPECT_EQ(type, REG_SZ);
    return utf8(value);
  }

  std::string plug(const std::string& device_id, winsim::PlugSetup::Bus bus = winsim::PlugSetup::kUsb,
                   const std::string& hardware_id = "") {
    winsim::PlugSetup setup;
    setup.bus = bus;
    setup.device_id = device_id;
    setup.hardware_id = hardware_id;
    return winsim::plug_printer(dir, setup);
  }

  std::vector<std::string> inf_folder() {
    std::vector<std::string> names;
    if (!std::filesystem::exists(c("Windows/inf"))) return names;
    for (auto& e : std::filesystem::directory_iterator(c("Windows/inf"))) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST(PindleImages, BothBuildsExportTheNineFunctionsUndecorated) {
  std::string root = make_temp_dir();
  winsim::create_machine(root + "/m", {});
  winsim::use_machine(root + "/m");
  struct Case {
    const char* image;
    int bits;
  } cases[] = {{PINDLE32, 32}, {PINDLE64, 64}};
  for (auto& tc : cases) {
    winsim::declare_image(tc.bits, "C:\\app\\caller.exe");
    std::filesystem::create_directories(root + "/m/C/Staging");
    std::string name = std::filesystem::path(tc.image).filename();
    std::filesystem::copy_file(tc.image, root + "/m/C/Staging/" + name,
                               std::filesystem::copy_options::overwrite_existing);
    WStr path = W_("C:\\Staging\\");
    for (char ch : name) path += static_cast<WCHAR>(ch);
    HMODULE m = LoadLibraryW(path.c_str());
    ASSERT_NE(m, nullptr) << name << " " << GetLastError();
    for (const char* e : kExports) EXPECT_NE(GetProcAddress(m, e), nullptr) << name << " " << e;
    // The string table the error boxes are made from.
    const char* const texts[] = {"%s fail: %s\n", "%s fail: (0x%08X)\n", "Error", "Can not find the INF file!"};
    for (UINT id = 1; id <= 4; ++id) {
      char buf[64] = {};
      LoadStringA(m, id, buf, sizeof buf);
      EXPECT_EQ(std::string(buf), texts[id - 1]) << name << " " << id;
    }
    EXPECT_TRUE(FreeLibrary(m));
  }
  std::filesystem::remove_all(root);
}

TEST_F(PindleTest, MissingInfOrFolderFailsWithoutTouchingTheDriverStore) {
  auto install = fn<FuncPindleFn>("FuncPindle");
  auto show_errors = fn<SetSwitchFn>("ShowErrorCode");
  const char* const paths[] = {"C:\\Drivers", "C:\\Drivers\\none.inf", "Drivers\\none.inf", ""};
  std::vector<std::string> store = inf_folder();
  for (int boxes : {0, 1}) {
    show_errors(boxes);
    for (const char* path : paths) {
      clear_events();
      EXPECT_EQ(install(path, "USBPRINT\\KelvaneKV-1000EAD3", "LPT1:", owner), 2) << path;
      auto shown = events("messagebox");
      ASSERT_EQ(shown.size(), static_cast<size_t>(boxes)) << path;
      if (boxes) {
        EXPECT_EQ(shown[0]["text"], path);
        EXPECT_EQ(shown[0]["caption"], "Error");
        EXPECT_EQ(shown[0]["style"], MB_ICONEXCLAMATION);
        EXPECT_EQ(shown[0]["owner"], reinterpret_cast<ULONG_PTR>(owner));
      }
      EXPECT_TRUE(events("debug").empty()) << path;     // it ended before the install
      EXPECT_TRUE(events("setupapi").empty()) << path;  // and asked the system for nothing
    }
  }
  EXPECT_EQ(inf_folder(), store);
  EXPECT_EQ(last_install_error(), 0u);
}

TEST_F(PindleTest, DebugModeShowsEntryBoxesOwnedByTheStoredWindow) {
  fn<SetSwitchFn>("SetDebugMode")(1);
  EXPECT_EQ(fn<FuncPindleFn>("FuncPindle")("C:\\Drivers\\none.inf", "X", "LPT1:", owner), 2);
  char id[260] = {}, instance[260] = {};
  fn<FindExistDeviceFn>("FuncFindExistDevice")("NoSuchHardwareId", id, instance);
  auto shown = events("messagebox");
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0]["text"], "Pindle()<<<<<<");
  EXPECT_EQ(shown[1]["text"], "FuncFindExistDevice()<<<");
  for (auto& box : shown) {
    EXPECT_EQ(box["caption"], "debug");
    EXPECT_EQ(box["style"], MB_OK);
    EXPECT_EQ(box["owner"], reinterpret_cast<ULONG_PTR>(owner));
  }
}

// ---- finding the device that carries a hardware ID -------------------------------------------

struct Found {
  BOOL found;
  DWORD error;
  std::string hwid, instance;
};

class FindDeviceTest : public PindleTest {
 protected:
  Found find(const std::string& wanted) {
    char hwid[260] = {}, instance[260] = {};
    SetLastError(kMarker);
    BOOL r = fn<FindExistDeviceFn>("FuncFindExistDevice")(wanted.c_str(), hwid, instance);
    return {r, GetLastError(), hwid, instance};
  }
};

TEST_F(FindDeviceTest, AnIdMatchesTheWholeOrTheTailOfAnEntryInItsLetterCase) {
  std::string id = winsim::printer_hardware_id("Kelvane", "KV-1000");
  std::string instance = plug("MFG:Kelvane;MDL:KV-1000;CMD:ESC/P;");
  ASSERT_EQ(instance.rfind("USBPRINT\\", 0), 0u) << instance;
  struct Case {
    std::string wanted;
    bool found;
  } cases[] = {
      {"USBPRINT\\" + id, true},
      {id, true},                                   // the second entry, and the tail of the first
      {id.substr(id.size() - 6), true},             // any tail
      {"usbprint\\" + id, false},                  // another letter case
      {"USBPRINT\\" + id.substr(0, 7), false},     // a head is no tail
      {"USBPRINT\\" + id + "X", false},
  };
  for (auto& tc : cases) {
    Found f = find(tc.wanted);
    EXPECT_EQ(f.found, tc.found ? TRUE : FALSE) << tc.wanted;
    if (tc.found) {
      EXPECT_EQ(f.error, 0u) << tc.wanted;
      EXPECT_EQ(f.hwid, "USBPRINT\\" + id) << tc.wanted;  // the first entry, whatever matched
      EXPECT_EQ(f.instance, instance) << tc.wanted;
    } else {
      EXPECT_EQ(f.error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) << tc.wanted;
      EXPECT_EQ(f.hwid, "") << tc.wanted;
      EXPECT_EQ(f.instance, "") << tc.wanted;
    }
  }
  // The USB printer interface's missing key came back with its port, the instance ID's last six
  // characters.
  EXPECT_EQ(device_parameters(instance), instance.substr(instance.size() - 6));
  EXPECT_EQ(instance.substr(instance.size() - 7, 4), "&USB");
  EXPECT_EQ(last_install_error(), 0u);
}

TEST_F(FindDeviceTest, PortEntriesAreMendedOnlyWhereTheKeyIsMissing) {
  std::string usb1 = plug("MFG:Kelvane;MDL:KV-1000;");
  std::string usb2 = plug("MFG:Kelvane;MDL:KV-2000;");
  std::string lpt = plug("MFG:Kelvane;MDL:KV-3000;", winsim::PlugSetup::kLpt);
  winsim::reg_add(dir, "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + usb1 + "\\Device Parameters");
  ASSERT_EQ(device_parameters(usb2), std::nullopt);
  for (const char* model : {"KV-1000", "KV-2000", "KV-3000"})
    EXPECT_TRUE(find(winsim::printer_hardware_id("Kelvane", model)).found) << model;
  EXPECT_EQ(device_parameters(usb1), "");  // it was there: nothing written
  EXPECT_EQ(device_parameters(usb2), usb2.substr(usb2.size() - 6));
  EXPECT_EQ(device_parameters(lpt), "LPT1:");
}

TEST_F(FindDeviceTest, RootDevicesCountOnlyWithTheRootIdFlagWhichAnInstallResets) {
  std::string root = plug("", winsim::PlugSetup::kRoot, "KelvaneRootPrinter");
  ASSERT_EQ(root.rfind("ROOT\\", 0), 0u) << root;
  Found f = find("KelvaneRootPrinter");
  EXPECT_FALSE(f.found);
  EXPECT_EQ(f.instance, "");
  EXPECT_EQ(device_parameters(root), "");  // mended all the same, with no port for such a device

  fn<SetSwitchFn>("EnableRootID")(1);
  f = find("KelvaneRootPrinter");
  EXPECT_TRUE(f.found);
  EXPECT_EQ(f.hwid, "KelvaneRootPrinter");
  EXPECT_EQ(f.instance, root);

  fn<FuncPindleFn>("FuncPindle")("C:\\Drivers\\KV1000.inf", "KelvaneRootPrinter", "LPT1:", nullptr);
  EXPECT_FALSE(find("KelvaneRootPrinter").found);
}

TEST_F(FindDeviceTest, IdsTooLongForTheCallersBuffersAreNotHandedOut) {
  // An instance ID over 99 characters, or a first hardware ID over 200, does not fit what the
  // caller reserves: such a device does not count as found, but it is mended and the search goes on.
  std::string id = "USBPRINT\\" + winsim::printer_hardware_id("Kelvane", "KV-1000");
  std::string printer = plug("MFG:Kelvane;MDL:KV-1000;");
  std::string file = dir + "/devices.json";
  json doc = json::parse(read_file(file));
  std::string longInstance = "USBPRINT\\KELVANELONG\\7&" + std::string(100, '1') + "&0&USB009";
  doc["devices"].insert(doc["devices"].begin(), json{{"instance", longInstance},
                                                     {"devinst", 900},
                                                     {"hardware_ids", json::array({id})},
                                                     {"present", true}});
  write_file(file, doc.dump());
  Found f = find(id);
  EXPECT_TRUE(f.found);
  EXPECT_EQ(f.instance, printer);
  EXPECT_EQ(device_parameters(longInstance), "USB009");

  std::string longId(230, 'K');
  std::string root = plug("", winsim::PlugSetup::kRoot, longId);
  fn<SetSwitchFn>("EnableRootID")(1);
  f = find(longId);
  EXPECT_FALSE(f.found);
  EXPECT_EQ(f.hwid, "");
  EXPECT_EQ(f.instance, "");
  EXPECT_EQ(device_parameters(root), "");
}

TEST_F(FindDeviceTest, ADeviceWhoseKeyCannotBeMadeLeavesTheSetAndTheNextOneIsStillLookedAt) {
  // A root device carrying the printer's ID comes first, the printer right after it.
  std::string id = "USBPRINT\\" + winsim::printer_hardware_id("Kelvane", "KV-1000");
  std::string printer = plug("MFG:Kelvane;MDL:KV-1000;");
  std::string file = dir + "/devices.json";
  json doc = json::parse(read_file(file));
  json reordered = json::array({json{{"instance", "ROOT\\PRINTER\\0100"},
                                     {"devinst", 900},
                                     {"hardware_ids", json::array({id})},
                                     {"present", true}}});
  for (auto& d : doc["devices"])
    if (d["instance"] == printer) reordered.push_back(d);
  for (auto& d : doc["devices"])
    if (d["instance"] != printer) reordered.push_back(d);
  doc["devices"] = reordered;
  write_file(file, doc.dump());

  winsim::add_fault("RegCreateKeyExA", 1, ERROR_ACCESS_DENIED);
  Found f = find(id);
  EXPECT_TRUE(f.found);
  EXPECT_EQ(f.instance, printer);
  EXPECT_EQ(device_parameters("ROOT\\PRINTER\\0100"), std::nullopt);
  EXPECT_EQ(device_parameters(printer), printer.substr(printer.size() - 6));
}

// ---- the error reporter ---------------------------------------------------------------------

TEST_F(FindDeviceTest, PlatformFailuresAreReportedWithTheSystemsText) {
  plug("MFG:Kelvane;MDL:KV-1000;");
  struct Case {
    const char* api;
    DWORD error;
    std::string text;
  } cases[] = {
      {"SetupDiGetClassDevsA", ERROR_ACCESS_DENIED, "GetClassDevs(All Present Devices) fail: Access is denied.\r\n\n"},
      {"SetupDiGetDeviceRegistryPropertyA", ERROR_NOT_ENOUGH_MEMORY,
       "GetDeviceRegistryProperty fail: Not enough storage is available to process this command.\r\n\n"},
      {"SetupDiEnumDeviceInfo", 0x2028ABCDu, "EnumDeviceInfo fail: (0x2028ABCD)\n"},  // no system text
  };
  fn<SetSwitchFn>("ShowErrorCode")(1);
  for (auto& tc : cases) {
    clear_events();
    winsim::clear_faults();
    winsim::add_fault(tc.api, 1, tc.error);
    Found f = find("KV-1000");
    EXPECT_FALSE(f.found) << tc.api;
    EXPECT_EQ(f.error, tc.error) << tc.api;  // restored for the caller
    EXPECT_EQ(last_install_error(), tc.error) << tc.api;
    auto shown = events("messagebox");
    ASSERT_EQ(shown.size(), 1u) << tc.api;
    EXPECT_EQ(shown[0]["text"], tc.text);
    EXPECT_EQ(shown[0]["caption"], "Error");
    EXPECT_EQ(shown[0]["style"], MB_ICONERROR);
  }
  // Without error boxes the code is still kept.
  fn<SetSwitchFn>("ShowErrorCode")(0);
  clear_events();
  winsim::clear_faults();
  winsim::add_fault("SetupDiGetClassDevsA", 1, ERROR_INVALID_HANDLE);
  EXPECT_FALSE(find("KV-1000").found);
  EXPECT_EQ(last_install_error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(events("messagebox").empty());
}

TEST_F(PindleTest, SwitchesStartAtZeroInEveryFreshlyLoadedCopy) {
  fn<SetSwitchFn>("ShowErrorCode")(1);
  fn<SetSwitchFn>("SetDebugMode")(1);
  EXPECT_EQ(fn<FuncPindleFn>("FuncPindle")("C:\\Drivers\\KV1000.inf", "NoSuchDevice", "LPT1:", owner), 2);
  EXPECT_EQ(last_install_error(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  ASSERT_TRUE(FreeLibrary(lib));
  lib = LoadLibraryW(W_("C:\\Staging\\pindle64.dll"));
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(last_install_error(), 0u);
  clear_events();
  EXPECT_EQ(fn<FuncPindleFn>("FuncPindle")("C:\\Drivers\\KV1000.inf", "NoSuchDevice", "LPT1:", owner), 2);
  EXPECT_TRUE(events("messagebox").empty());  // neither a debug box nor an error box
}

// ---- installing on present devices ------------------------------------------------------------

class ChinesePindleTest : public PindleTest {
  winsim::MachineOptions options() override {
    winsim::MachineOptions o;
    o.language = 2052;
    return o;
  }
};

TEST_F(ChinesePindleTest, InstallResultsAndTheirDebugTexts) {
  const std::string hwid = "USBPRINT\\" + winsim::printer_hardware_id("Kelvane", "KV-1000");
  const std::string fail = "Update Driver For PlugAndPlay Devices fail !!!";
  struct Case {
    bool plugged, restart, no_service;
    int result;
    DWORD error;  // the thread's last error after the call
    DWORD code;   // the last install error code after the call
    std::string outcome;
  } cases[] = {
      {false, false, false, 2, ERROR_NO_SUCH_DEVINST, ERROR_NO_SUCH_DEVINST, fail},
      {true, false, true, -1, ERROR_NO_ASSOCIATED_SERVICE, ERROR_NO_SUCH_DEVINST, fail},  // not reported
      {true, true, false, 1, ERROR_SUCCESS, ERROR_NO_SUCH_DEVINST,
       "Update Driver For PlugAndPlay Devices 聯機安裝成功，需要啟動Windows。"},
      {true, false, false, 0, ERROR_SUCCESS, ERROR_NO_SUCH_DEVINST, "Update Driver For PlugAndPlay Devices 聯機安裝成功。"},
  };
  WCHAR caption[16] = {};
  LoadStringW(lib, 3, caption, 16);  // the library's own table, in the system's language
  EXPECT_EQ(utf8(caption), "错误");
  fn<SetSwitchFn>("ShowErrorCode")(1);
  for (auto& tc : cases) {
    if (tc.plugged && winsim::describe_devices(dir).empty()) plug("MFG:Kelvane;MDL:KV-1000;");
    winsim::set_setup_policy(dir, tc.restart, tc.no_service, false);
    clear_events();
    SetLastError(kMarker);
    // A relative INF path goes to the system as a full one.
    EXPECT_EQ(fn<FuncPindleFn>("FuncPindle")("Drivers\\KV1000.inf", hwid.c_str(), "LPT1:", owner), tc.result)
        << tc.outcome;
    EXPECT_EQ(GetLastError(), tc.error) << tc.result;
    EXPECT_EQ(last_install_error(), tc.code) << tc.result;
    std::vector<std::string> debug;
    for (auto& e : events("debug")) debug.push_back(e["text"]);
    EXPECT_EQ(debug, (std::vector<std::string>{hwid, "C:\\Drivers\\KV1000.inf", tc.outcome})) << tc.result;
    auto shown = events("messagebox");
    ASSERT_EQ(shown.size(), tc.result == 2 ? 1u : 0u) << tc.result;
    if (tc.result == 2) {
      EXPECT_EQ(shown[0]["text"], "Update Driver For PlugAndPlay Devices 失败: 硬件树中不存在此设备实例。\r\n\n");
      EXPECT_EQ(shown[0]["caption"], "错误");
      EXPECT_EQ(shown[0]["owner"], reinterpret_cast<ULONG_PTR>(owner));
    }
  }
}

TEST_F(PindleTest, DeviceCheckInstallsOnPresentDevicesAndAnswersWithTheCode) {
  auto check = fn<IsInlineDeviceExistFn>("Pindle_IsInlineDeviceExist");
  const std::string hwid = "USBPRINT\\" + winsim::printer_hardware_id("Kelvane", "KV-1000");
  EXPECT_EQ(check(nullptr, hwid.c_str(), "C:\\Drivers\\KV1000.inf", INSTALLFLAG_NONINTERACTIVE),
            static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  plug("MFG:Kelvane;MDL:KV-1000;");
  winsim::set_setup_policy(dir, true, false, false);
  EXPECT_EQ(check(nullptr, hwid.c_str(), "C:\\Drivers\\KV1000.inf", INSTALLFLAG_NONINTERACTIVE), 0u);  // restart dropped
  EXPECT_NE(winsim::describe_devices(dir).find("driver Kelvane KV-1000"), std::string::npos)
      << winsim::describe_devices(dir);
  EXPECT_EQ(last_install_error(), 0u);  // the check reports nothing
  EXPECT_TRUE(events("messagebox").empty());
}

// ---- registering an INF -------------------------------------------------------------------------

TEST_F(PindleTest, RegisteredNameGoesOnlyIntoABufferItFits) {
  auto registry_inf = fn<RegistryInfFn>("Pindle_RegistryInf");
  char buf[512];
  std::memset(buf, 'x', sizeof buf);
  ASSERT_TRUE(registry_inf("C:\\Drivers\\KV1000.inf", nullptr, buf, sizeof buf));
  std::string name = buf;
  EXPECT_EQ(name.rfind("C:\\Windows\\inf\\oem", 0), 0u) << name;
  EXPECT_TRUE(std::filesystem::exists(winsim::host_path(name))) << name;
  struct Case {
    DWORD size;
    bool copied;
  } cases[] = {{0, false},
               {static_cast<DWORD>(name.size()), false},
               {static_cast<DWORD>(name.size() + 1), false},  // the required size itself is not enough
               {static_cast<DWORD>(name.size() + 2), true},
               {0x80000000u, false}};
  for (auto& tc : cases) {
    std::memset(buf, 'x', sizeof buf);
    EXPECT_TRUE(registry_inf("C:\\Drivers\\KV1000.inf", nullptr, buf, tc.size)) << tc.size;
    if (tc.copied) {
      EXPECT_EQ(std::string(buf), name) << tc.size;
    } else {
      EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, 'x')) << tc.size;
    }
  }
  std::memset(buf, 'x', sizeof buf);
  SetLastError(kMarker);
  EXPECT_FALSE(registry_inf("C:\\Drivers\\none.inf", nullptr, buf, sizeof buf));
  EXPECT_NE(GetLastError(), kMarker);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, 'x'));
  EXPECT_EQ(last_install_error(), 0u);
}

TEST_F(PindleTest, HardwareRescanBindsARegisteredDriver) {
  std::string instance = plug("MFG:Kelvane;MDL:KV-1000;");
  char buf[512] = {};
  ASSERT_TRUE(fn<RegistryInfFn>("Pindle_RegistryInf")("C:\\Drivers\\KV1000.inf", nullptr, buf, sizeof buf));
  ASSERT_EQ(winsim::describe_devices(dir).find("driver Kelvane KV-1000"), std::string::npos);
  winsim::add_fault("CM_Locate_DevNode_ExA", 1, CR_NO_SUCH_DEVNODE);
  fn<RefreshHWFn>("RefreshHW")();  // the root not found: no rescan
  EXPECT_EQ(winsim::describe_devices(dir).find("driver Kelvane KV-1000"), std::string::npos);
  fn<RefreshHWFn>("RefreshHW")();
  EXPECT_NE(winsim::describe_devices(dir).find("driver Kelvane KV-1000"), std::string::npos)
      << winsim::describe_devices(dir);
}

}  // namespace
