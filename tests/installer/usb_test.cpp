// USB printer detection: the fields of a device ID, the description and compatible ID made of
// it, and the free USB port of a connected printer that matches an entry of the sample package.
#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <thread>

#include "installer/printsys/Spooler.h"
#include "installer/usb/USBFunc.h"
#include "win32/dbt.h"
#include "support/installer_fixture.h"

namespace {

TEST(DeviceIdFields, AnyOrderAndLetterCase) {
  struct Case {
    const WCHAR* id;
    const WCHAR* key;
    const WCHAR* value;
  } cases[] = {
      {W_("MFG:ABC;MDL:Model 7;DES:ABC Model 7 Printer;"), W_("MFG"), W_("ABC")},
      {W_("MFG:ABC;MDL:Model 7;DES:ABC Model 7 Printer;"), W_("MDL"), W_("Model 7")},
      {W_("MFG:ABC;MDL:Model 7;DES:ABC Model 7 Printer;"), W_("DES"), W_("ABC Model 7 Printer")},
      {W_("MFG:ABC;MDL:Model 7"), W_("MDL"), W_("Model 7")},              // no final ";"
      {W_("CID:X;DES:Y;MDL:Z;MFG:W;"), W_("MFG"), W_("W")},               // any order
      {W_("MFG:ABC;MDL:Model 7;"), W_("CID"), W_("")},                    // absent
      {W_("mfg:abc;MDL:;"), W_("MFG"), W_("")},                           // the key's case counts
      {W_("MFG:ABC;MDL:;DES:x"), W_("MDL"), W_("")},                      // empty value
      {W_("$MFG:A;XMFG:B;"), W_("MFG"), W_("A")},                         // the first occurrence
      {W_("MFG:"), W_("MFG"), W_("")},
  };
  for (auto& k : cases) EXPECT_EQ(GetDeviceIdField(k.id, k.key), WStr(k.value)) << ToUtf8(k.id) << " " << ToUtf8(k.key);
}

TEST(DeviceIdFields, DescriptionAndCompatibleId) {
  WStr des, cid;
  DescribeUSBPrinter(0, W_("MFG:ABC;MDL:Model 7;DES:Receipt printer;CMD:ESC/P;"), des, cid);
  EXPECT_EQ(des, W_("ABCModel 7"));
  DescribeUSBPrinter(0, W_("MFG:ABC;MDL:Model 7;DES:ABC Model 7 Printer;CID:ABC Model 7;"), des, cid);
  EXPECT_EQ(des, W_("ABC Model 7 Printer"));
  EXPECT_EQ(cid, W_("ABC_Model_7"));
  EXPECT_TRUE(USBPrinterMatches(W_("Other"), W_("usbprint\\abc_model_7f00"), W_("x"), cid));
  DescribeUSBPrinter(1, W_("MFG:ABC;MDL:Model 7;CID:Z;"), des, cid);  // 20 characters: no ID
  EXPECT_EQ(des, W_("USB Printer 2"));
  EXPECT_EQ(cid, W_(""));
  EXPECT_FALSE(USBPrinterMatches(W_(""), W_("X"), W_("ANY"), W_("")));
  EXPECT_TRUE(USBPrinterMatches(W_("kelvane kv-1000"), W_(""), W_("Kelvane KV-1000 Printer"), W_("")));
}

class USBDetectTest : public ChineseInstallerTest {
 protected:
  void SetUp() override {
    ChineseInstallerTest::SetUp();
    // The library sits where start-up stages it: a folder on the search path.
    std::filesystem::copy_file(KELVANE_BIN "/Trellum.dll", pkg("Trellum.dll"));
    std::filesystem::copy(EXAMPLES_DIR "/package", pkg(""), std::filesystem::copy_options::recursive);
    InstallInfos().LoadFromFile(W_("C:\\Pkg\\Kelvane.ini"));
  }
  void TearDown() override {
    UnbindUSBAccessLibrary();
    ChineseInstallerTest::TearDown();
  }
  // An installed printer of that model on the port.
  void install(const std::string& model, const std::string& port) {
    winsim::DriverSetup d;
    d.name = model;
    winsim::add_driver(dir, d);
    winsim::PrinterSetup p;
    p.name = p.driver = model;
    p.port = port;
    winsim::add_printer(dir, p);
  }
  void plug(const std::string& id) {
    winsim::PlugSetup p;
    p.device_id = id;
    winsim::plug_printer(dir, p);
  }
  // The port the install sequence would use for the configuration entry.
  WStr port_for(int entry, const TStringList& printers = {}) {
    TRInstallInfo info = InstallInfos().Items(entry);
    WStr port;
    GetOnlineUSBPortForNotInstallDriver(info.PrinterName, info.PrinterHWID, printers, port);
    return port;
  }
  bool logged(const WStr& line) {
    auto texts = LogTexts(log);
    return std::find(texts.begin(), texts.end(), ToAnsi(line)) != texts.end();
  }
};

TEST_F(USBDetectTest, NamesTheSamplePackagesModelAndPort) {
  EXPECT_EQ(port_for(0), W_(""));  // nothing plugged in
  // The KV-2000 on USB001 describes itself; the KV-1000 on USB002 is known by its compatible ID.
  plug("MFG:Kelvane;MDL:KV-2000;CMD:ESC/P;CLS:PRINTER;DES:Kelvane KV-2000;");
  plug("MFG:Kelvane;MDL:KV-1000;CMD:ESC/P;CLS:PRINTER;CID:KelvaneKV-1000EAD3;");
  ASSERT_EQ(InstallInfos().Items(0).PrinterName, W_("Kelvane KV-1000"));
  EXPECT_EQ(port_for(0), W_("USB002"));
  EXPECT_EQ(port_for(1), W_("USB001"));
  EXPECT_TRUE(logged(W_("GetOnlineUSBPortForNotInstallDriver找到尚未關聯的USB端口：USB001")));
  EXPECT_TRUE(logged(W_("找到USB打印機，Port = USB001，ID = DMFG:Kelvane;MDL:KV-2000;CMD:ESC/P;CLS:PRINTER;DES:Kelvane KV-2000;")));
}

TEST_F(USBDetectTest, APortAnInstalledPrinterUsesIsSkipped) {
  plug("MFG:Kelvane;MDL:KV-1000;DES:Kelvane KV-1000;");
  plug("MFG:Kelvane;MDL:KV-1000;DES:Kelvane KV-1000;");
  install("Kelvane KV-1000", "USB001");
  EXPECT_EQ(port_for(0, {W_("Kelvane KV-1000")}), W_("USB002"));
  EXPECT_EQ(port_for(0, {}), W_("USB001"));  // a list without it: the first one
}

TEST_F(USBDetectTest, APrinterWithoutAReadableIdIsNotTakenForThePreviousOne) {
  plug("MFG:Kelvane;MDL:KV-2000;DES:Kelvane KV-2000;");
  // Its ID does not fit the library's buffer: the library gives no text for it.
  plug("MFG:Kelvane;MDL:KV-9;DES:" + std::string(1100, 'x') + ";");
  install("Kelvane KV-2000", "USB001");
  EXPECT_EQ(port_for(1, {W_("Kelvane KV-2000")}), W_(""));
  EXPECT_TRUE(logged(W_("找到USB打印機，Port = USB002，ID = ")));
}

}  // namespace

namespace {

// The watcher's events run inside this thread's message loop: the notifications come from the
// machine's device changes, made here with plug and unplug.
constexpr UINT kWatchdogMessage = WM_USER + 100;

class USBWatcherTest : public InstallerTest {
 protected:
  // Runs this thread's messages until `done` holds or five seconds pass; false on the time-out.
  // Each event handler posts WM_NULL so that the loop looks again.
  bool PumpUntil(HWND window, const std::function<bool()>& done) {
    std::mutex mu;
    std::condition_variable cv;
    bool finished = false;
    std::thread watchdog([&] {
      std::unique_lock lock(mu);
      if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return finished; })) PostMessageW(window, kWatchdogMessage, 0, 0);
    });
    MSG msg;
    bool met = done();
    while (!met && GetMessageW(&msg, nullptr, 0, 0) > 0 && msg.message != kWatchdogMessage) {
      DispatchMessageW(&msg);
      met = done();
    }
    {
      std::lock_guard lock(mu);
      finished = true;
    }
    cv.notify_all();
    watchdog.join();
    return met;
  }
  static void Count(TComponentUSB& sender, int& counter) {
    ++counter;
    PostMessageW(sender.Handle(), WM_NULL, 0, 0);
  }
  std::string Plug(const std::string& id, winsim::PlugSetup::Bus bus = winsim::PlugSetup::kUsb) {
    winsim::PlugSetup p;
    p.device_id = id;
    p.bus = bus;
    return winsim::plug_printer(dir, p);
  }
};

TEST_F(USBWatcherTest, PrinterOnlyWatcherSeesUSBPrintersComeAndGo) {
  TComponentUSB usb(true);
  TComponentUSB silent(true);  // no handlers: its notifications are ignored
  int arrivals = 0, removals = 0;
  usb.OnUSBArrival = [&](TComponentUSB& s) { Count(s, arrivals); };
  usb.OnUSBRemove = [&](TComponentUSB& s) { Count(s, removals); };

  Plug("MFG:Kelvane;MDL:KV-2000;", winsim::PlugSetup::kLpt);  // not a USB device: nothing
  Plug("MFG:Kelvane;MDL:KV-1000;");
  ASSERT_TRUE(PumpUntil(usb.Handle(), [&] { return arrivals == 1; }));
  winsim::unplug_printer(dir, "USB001");
  ASSERT_TRUE(PumpUntil(usb.Handle(), [&] { return removals == 1; }));
  EXPECT_EQ(arrivals, 1);

  // Other device-change messages: no event.
  SendMessageW(usb.Handle(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), 2 /* a volume */, 0};
  SendMessageW(usb.Handle(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume));
  EXPECT_EQ(arrivals, 1);
  EXPECT_EQ(removals, 1);
}

TEST_F(USBWatcherTest, UnrestrictedWatcherSeesTheUSBDevice) {
  TComponentUSB usb(false);
  int arrivals = 0;
  usb.OnUSBArrival = [&](TComponentUSB& s) { Count(s, arrivals); };
  Plug("MFG:Kelvane;MDL:KV-1000;");
  ASSERT_TRUE(PumpUntil(usb.Handle(), [&] { return arrivals == 1; }));
}

TEST_F(USBWatcherTest, AFailingHandlerDoesNotStopLaterNotifications) {
  TComponentUSB usb(true);
  int arrivals = 0;
  usb.OnUSBArrival = [&](TComponentUSB& s) {
    Count(s, arrivals);
    if (arrivals == 1) throw KelvaneError(W_("handler failed"));
  };
  Plug("MFG:Kelvane;MDL:KV-1000;");
  ASSERT_TRUE(PumpUntil(usb.Handle(), [&] { return arrivals == 1; }));
  Plug("MFG:Kelvane;MDL:KV-2000;");
  ASSERT_TRUE(PumpUntil(usb.Handle(), [&] { return arrivals == 2; }));
  bool told = false;
  for (auto& line : winsim::read_events(dir))
    told = told || line.find("\"handler failed\"") != std::string::npos;
  EXPECT_TRUE(told);
}

}  // namespace
