// Plug and Play: plugged printers in the device tree, device information sets and their
// properties, the driver store, driver installs with their codes and the printer they make, a
// hardware rescan, and INFs that are malformed.
#include <cstring>

#include "support/machine_fixture.h"
#include "win32/dbt.h"
#include "win32/registry.h"
#include "win32/setup.h"
#include "win32/spooler.h"

using namespace testutil;

namespace {

const char* kDeviceId = "MFG:Kelvane;MDL:KV-1000;CMD:ESC/P;";
const WCHAR* kHardwareId = W_("USBPRINT\\KelvaneKV-1000EAD3");

class DevicesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    winsim::declare_image(64);
    std::filesystem::create_directories(c("Pkg"));
    std::filesystem::copy(EXAMPLES_DIR "/package/Driver", c("Pkg/Driver"), std::filesystem::copy_options::recursive);
  }

  std::string plug(winsim::PlugSetup::Bus bus = winsim::PlugSetup::kUsb) {
    winsim::PlugSetup p;
    p.bus = bus;
    p.device_id = kDeviceId;
    return winsim::plug_printer(dir, p);
  }

  static DWORD install(const WStr& inf, DWORD flags = INSTALLFLAG_NONINTERACTIVE, BOOL* reboot = nullptr) {
    SetLastError(kMarker);
    if (UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, inf.c_str(), flags, reboot)) return 0;
    return GetLastError();
  }

  std::vector<std::pair<WStr, WStr>> printers() {  // name and port
    DWORD need = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 5, nullptr, 0, &need, &count);
    std::vector<BYTE> buf(need);
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 5, buf.data(), need, &need, &count);
    std::vector<std::pair<WStr, WStr>> out;
    for (DWORD i = 0; i < count; ++i) {
      auto& p = reinterpret_cast<PRINTER_INFO_5W*>(buf.data())[i];
      out.push_back({p.pPrinterName, p.pPortName});
    }
    return out;
  }
};

TEST_F(DevicesTest, PluggedPrinterInDeviceSets) {
  EXPECT_EQ(winsim::printer_hardware_id("Hewlett Packard", "HP Color LaserJet 550").substr(0, 20), "Hewlett_PackardHP_Co");
  std::string instance = plug();
  EXPECT_EQ(instance, "USBPRINT\\KELVANEKV-1000EAD3\\7&1A2B3C00&0&USB001");

  GUID usb[2];
  DWORD n = kMarker;
  ASSERT_TRUE(SetupDiClassGuidsFromNameA("usb", usb, 2, &n));
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(SetupDiClassGuidsFromNameA("NoSuchClass", usb, 2, &n));  // no class of that name
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(SetupDiClassGuidsFromNameA("USB", usb, 0, &n));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  ASSERT_NE(all, INVALID_HANDLE_VALUE);
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  std::vector<std::string> ids;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(all, i, &data); ++i) {
    char id[100];
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(all, &data, id, sizeof id, nullptr));
    ids.push_back(id);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[1], instance);

  // The hardware IDs: size query, one short, exact; an absent property is ERROR_INVALID_DATA.
  ASSERT_TRUE(SetupDiEnumDeviceInfo(all, 1, &data));
  DWORD type = 0, need = 0;
  SetLastError(kMarker);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(all, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &need));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  const char expected[] = "USBPRINT\\KelvaneKV-1000EAD3\0KelvaneKV-1000EAD3\0";
  EXPECT_EQ(need, sizeof expected);
  std::vector<BYTE> buf(need);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(all, &data, SPDRP_HARDWAREID, &type, buf.data(), need - 1, &need));
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(all, &data, SPDRP_HARDWAREID, &type, buf.data(), need, &need));
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(std::memcmp(buf.data(), expected, sizeof expected), 0);
  SetLastError(kMarker);
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(all, &data, SPDRP_FRIENDLYNAME, &type, buf.data(), need, &need));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  char shortid[8];
  EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(all, &data, shortid, sizeof shortid, &need));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(need, instance.size() + 1);

  // Deleting from the set leaves the device installed.
  EXPECT_TRUE(SetupDiDeleteDeviceInfo(all, &data));
  EXPECT_FALSE(SetupDiEnumDeviceInfo(all, 1, &data));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));
  SetLastError(kMarker);
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(all));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  // Unplugged: present-only sets and the configuration manager no longer see it.
  winsim::unplug_printer(dir, "USB001");
  HDEVINFO present = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(present, 0, &data));
  SetupDiDestroyDeviceInfoList(present);
  DEVINST node = 0;
  EXPECT_EQ(CM_Locate_DevNode_ExA(&node, instance.data(), CM_LOCATE_DEVNODE_NORMAL, nullptr), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
  EXPECT_EQ(CM_Locate_DevNode_ExA(&node, nullptr, CM_LOCATE_DEVNODE_NORMAL, nullptr), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(CM_Reenumerate_DevNode_Ex(node, 0, nullptr), static_cast<CONFIGRET>(CR_SUCCESS));
}

TEST_F(DevicesTest, TheDriverStore) {
  const WStr inf = W_("C:\\Pkg\\Driver\\KV1000.inf");
  WCHAR name[MAX_PATH];
  DWORD need = 0;
  PWSTR component = nullptr;
  ASSERT_TRUE(SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_PATH, 0, name, MAX_PATH, &need, &component));
  EXPECT_EQ(WStr(name), W_("C:\\Windows\\inf\\oem0.inf"));
  EXPECT_EQ(WStr(component), W_("oem0.inf"));
  EXPECT_EQ(need, 24u);
  EXPECT_TRUE(std::filesystem::exists(c("Windows/inf/oem0.pnf")));
  char narrow[MAX_PATH];
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\Pkg\\Driver\\KV1000.inf", nullptr, SPOST_PATH, 0, narrow, MAX_PATH, nullptr, nullptr));
  EXPECT_STREQ(narrow, "C:\\Windows\\inf\\oem0.inf");  // the same INF keeps its name
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\Pkg\\Driver\\KV2000.inf", nullptr, SPOST_PATH, 0, narrow, MAX_PATH, nullptr, nullptr));
  EXPECT_STREQ(narrow, "C:\\Windows\\inf\\oem1.inf");
  SetLastError(kMarker);
  EXPECT_FALSE(SetupCopyOEMInfA("C:\\Pkg\\Driver\\KV1000.inf", nullptr, SPOST_PATH, 0, narrow, 10, &need, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(need, 24u);
  SetLastError(kMarker);
  EXPECT_FALSE(SetupCopyOEMInfA("C:\\Pkg\\Driver\\None.inf", nullptr, SPOST_PATH, 0, narrow, MAX_PATH, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // A machine that demands catalogs refuses an INF whose catalog is not beside it.
  winsim::set_setup_policy(dir, false, false, true);
  std::filesystem::remove(c("Pkg/Driver/kv2000.cat"));
  EXPECT_TRUE(SetupCopyOEMInfA("C:\\Pkg\\Driver\\KV1000.inf", nullptr, SPOST_PATH, 0, narrow, MAX_PATH, nullptr, nullptr));
  SetLastError(kMarker);
  EXPECT_FALSE(SetupCopyOEMInfA("C:\\Pkg\\Driver\\KV2000.inf", nullptr, SPOST_PATH, 0, narrow, MAX_PATH, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_CATALOG_FOR_OEM_INF));
}

TEST_F(DevicesTest, InstallingADriverOnAPluggedPrinter) {
  const WStr inf = W_("C:\\Pkg\\Driver\\KV1000.inf");
  EXPECT_EQ(install(inf), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));  // nothing plugged in
  plug();
  EXPECT_EQ(install(inf, 8), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  BOOL reboot = TRUE;
  ASSERT_EQ(install(inf, INSTALLFLAG_NONINTERACTIVE, &reboot), 0u);
  EXPECT_FALSE(reboot);
  EXPECT_EQ(printers(), (std::vector<std::pair<WStr, WStr>>{{W_("Kelvane KV-1000"), W_("USB001")}}));
  EXPECT_TRUE(std::filesystem::exists(c("Windows/System32/spool/drivers/x64/3/KV1000.GPD")));
  EXPECT_EQ(install(inf), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));  // what is bound is not older
  winsim::set_setup_policy(dir, true, false, false);
  EXPECT_EQ(install(inf, INSTALLFLAG_FORCE, &reboot), 0u);
  EXPECT_TRUE(reboot);
  EXPECT_EQ(printers().size(), 1u);  // the printer on that port is kept
  winsim::set_setup_policy(dir, false, true, false);
  EXPECT_EQ(install(inf, INSTALLFLAG_FORCE), static_cast<DWORD>(ERROR_NO_ASSOCIATED_SERVICE));
  winsim::set_setup_policy(dir, false, false, false);
  winsim::declare_image(32);  // a 32-bit process must ask a 64-bit one
  EXPECT_EQ(install(inf, INSTALLFLAG_FORCE), static_cast<DWORD>(ERROR_IN_WOW64));
  winsim::declare_image(64);
  EXPECT_EQ(install(W_("C:\\Pkg\\Driver\\KV2000.inf")), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
}

// An INF registered first is installed by the rescan that follows, as Windows does when the
// store holds a driver for a device that has none.
TEST_F(DevicesTest, ARescanInstallsFromTheStore) {
  plug();
  EXPECT_TRUE(printers().empty());
  ASSERT_TRUE(SetupCopyOEMInfA("C:\\Pkg\\Driver\\KV1000.inf", nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr));
  DEVINST root = 0;
  ASSERT_EQ(CM_Locate_DevNode_ExA(&root, nullptr, 0, nullptr), static_cast<CONFIGRET>(CR_SUCCESS));
  ASSERT_EQ(CM_Reenumerate_DevNode_Ex(root, 0, nullptr), static_cast<CONFIGRET>(CR_SUCCESS));
  EXPECT_EQ(printers(), (std::vector<std::pair<WStr, WStr>>{{W_("Kelvane KV-1000"), W_("USB001")}}));
  // A second printer of the model plugged in later gets its driver at once, on its own port.
  plug();
  auto now = printers();
  ASSERT_EQ(now.size(), 2u);
  EXPECT_EQ(now[1], (std::pair<WStr, WStr>{W_("Kelvane KV-1000 (Copy 1)"), W_("USB002")}));
}

TEST_F(DevicesTest, MalformedInfsGiveSetupErrors) {
  plug();
  const std::string good = read_file(c("Pkg/Driver/KV1000.inf"));
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string s = good;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  struct Case {
    const char* what;
    std::string text;
    DWORD error;
  } cases[] = {
      {"no [Version]", replaced("[Version]", "[Versions]"), ERROR_WRONG_INF_STYLE},
      {"missing model section", replaced("[Kelvane.NTamd64]", "[Other.NTamd64]"), ERROR_SECTION_NOT_FOUND},
      {"maker line without =", replaced("%Maker%=Kelvane,NTx86,NTamd64", "Kelvane"), ERROR_GENERAL_SYNTAX},
      {"overlong line", good + "\r\n; " + std::string(5000, 'x') + "\r\n", ERROR_GENERAL_SYNTAX},
      {"unclosed section name", replaced("[Strings]", "[Strings"), ERROR_GENERAL_SYNTAX},
      {"empty file", "", ERROR_WRONG_INF_STYLE},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(this->c("Pkg/Driver/bad.inf"), c.text);
    EXPECT_EQ(install(W_("C:\\Pkg\\Driver\\bad.inf")), c.error);
  }
  EXPECT_TRUE(printers().empty());
  // The same INF in UTF-16 is a good INF.
  std::u16string wide(good.begin(), good.end());
  write_file(c("Pkg/Driver/wide.inf"), utf16_file(wide));
  EXPECT_EQ(install(W_("C:\\Pkg\\Driver\\wide.inf")), 0u);
  EXPECT_EQ(printers().size(), 1u);
}

}  // namespace

namespace {

// What a registered window was told: the event and the interface's class and link.
struct Told {
  WPARAM event;
  GUID cls;
  WStr link;
};
std::vector<Told> g_told;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DEVICECHANGE && lp) {
    auto* r = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lp);
    g_told.push_back({wp, r->dbcc_classguid, r->dbcc_name});
    PostMessageW(hwnd, WM_NULL, 0, 0);  // the message loop below looks again
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

TEST_F(DevicesTest, RegisteredWindowsAreToldOfArrivalsAndRemovalsByAnotherProcess) {
  g_told.clear();
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = RecordingProc;
  wc.lpszClassName = W_("DeviceWatch");
  RegisterClassExW(&wc);
  HWND window = CreateWindowExW(0, W_("DeviceWatch"), W_(""), WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);

  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  // Refused: a filter too short or of another kind, a window that does not exist, a service.
  filter.dbcc_size = 12;
  EXPECT_EQ(RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  filter.dbcc_size = sizeof filter;
  EXPECT_EQ(RegisterDeviceNotificationW(reinterpret_cast<HWND>(0x7777), &filter, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_SERVICE_HANDLE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  HDEVNOTIFY all = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_ALL_INTERFACE_CLASSES);
  ASSERT_NE(all, nullptr);
  // The machine's tool, another process, plugs a USB printer: its USB device and its printing
  // interface arrive.
  CommandResult r = run_command(std::string(WINSIM_TOOL) + " plug " + dir + " --device-id \"" + kDeviceId + "\"");
  ASSERT_EQ(r.status, 0) << r.output;
  MSG msg;
  while (g_told.size() < 2 && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  ASSERT_EQ(g_told.size(), 2u);
  // The USB device's interface first, then the printing interface on the same device.
  std::sort(g_told.begin(), g_told.end(), [](const Told& a, const Told& b) { return a.cls.Data1 > b.cls.Data1; });
  EXPECT_EQ(g_told[0].cls.Data1, 0xA5DCBF10u);
  EXPECT_EQ(g_told[1].cls.Data1, 0x28D78FADu);
  for (const Told& t : g_told) {
    EXPECT_EQ(t.event, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
    EXPECT_EQ(utf8(t.link).substr(0, 8), "\\\\?\\USB#");
  }
  const std::string printLink = utf8(g_told[1].link);
  EXPECT_EQ(printLink.substr(printLink.size() - 38), "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
  EXPECT_TRUE(UnregisterDeviceNotification(all));
  EXPECT_FALSE(UnregisterDeviceNotification(all));

  // Restricted to the printing class: the removal of the printer, once.
  g_told.clear();
  filter.dbcc_classguid = GUID{0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};
  ASSERT_NE(RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
  winsim::unplug_printer(dir, "USB001");
  while (g_told.empty() && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  ASSERT_EQ(g_told.size(), 1u);
  EXPECT_EQ(g_told[0].event, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
  DestroyWindow(window);  // the registration goes with the window
}

}  // namespace

namespace {

// Before Vista a device without a driver in the store brings up the Found New Hardware Wizard, a
// window of its own process that stays until someone closes it.
class WindowsXPDevicesTest : public DevicesTest {
 protected:
  winsim::MachineOptions options() override {
    winsim::MachineOptions o;
    o.major = 5;
    o.minor = 1;
    o.build = 2600;
    o.service_pack = "Service Pack 3";
    o.is64 = false;
    return o;
  }
};

TEST_F(WindowsXPDevicesTest, ADeviceWithoutDriverBringsUpTheWizardUntilItIsClosed) {
  plug();
  HWND wizard = nullptr;
  for (int i = 0; i < 500 && !wizard; ++i) {
    wizard = FindWindowW(nullptr, W_("Found New Hardware Wizard"));
    if (!wizard) Sleep(10);
  }
  ASSERT_NE(wizard, nullptr);
  SendMessageW(wizard, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindow(wizard));
}

// The printing interface of an unplugged printer is no longer linked.
TEST_F(DevicesTest, UnpluggingUnlinksThePrintingInterface) {
  plug();
  auto linked = [&]() -> DWORD {
    HKEY classes = nullptr;
    const WStr path = W_("SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &classes) != ERROR_SUCCESS) return 99;
    WCHAR name[512] = {};
    DWORD n = 512;
    DWORD value = 99, size = sizeof value;
    if (RegEnumKeyExW(classes, 0, name, &n, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
      HKEY control = nullptr;
      if (RegOpenKeyExW(classes, (WStr(name) + W_("\\#\\Control")).c_str(), 0, KEY_READ, &control) == ERROR_SUCCESS) {
        RegQueryValueExW(control, W_("Linked"), nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size);
        RegCloseKey(control);
      }
    }
    RegCloseKey(classes);
    return value;
  };
  EXPECT_EQ(linked(), 1u);
  winsim::unplug_printer(dir, "USB001");
  EXPECT_EQ(linked(), 0u);
}

}  // namespace
