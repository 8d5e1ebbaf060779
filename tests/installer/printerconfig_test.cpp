// Printer and port configuration: default printer, local ports through the port monitor, the
// printer's port, the fallback printer on LPT1: with its fixed device mode, and the whole change
// record. Checked through the spooler API on a Simplified Chinese machine (code page 936).
#include <algorithm>
#include <cstring>

#include "installer/printsys/PrinterConfig.h"
#include "installer/printsys/Spooler.h"
#include "support/installer_fixture.h"

using namespace testutil;

namespace {

// What the spooler says about a printer, read with the plain API.
struct PrinterState {
  bool found = false;
  WStr name, share, port, driver, processor, datatype;
  DWORD attributes = 0;
  std::vector<BYTE> devMode;  // the public part, when the printer has one
};

PrinterState ReadPrinter(const WStr& printerName) {
  PrinterState s;
  WStr name = printerName;
  HANDLE h = nullptr;
  if (!OpenPrinterW(name.data(), &h, nullptr)) return s;
  DWORD needed = 0;
  GetPrinterW(h, 2, nullptr, 0, &needed);
  std::vector<DWORD_PTR> buffer(needed / sizeof(DWORD_PTR) + 1);
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  if (GetPrinterW(h, 2, reinterpret_cast<LPBYTE>(buffer.data()), needed, &needed)) {
    auto text = [](const WCHAR* p) { return p ? WStr(p) : WStr(); };
    s.found = true;
    s.name = text(info->pPrinterName);
    s.share = text(info->pShareName);
    s.port = text(info->pPortName);
    s.driver = text(info->pDriverName);
    s.processor = text(info->pPrintProcessor);
    s.datatype = text(info->pDatatype);
    s.attributes = info->Attributes;
    if (info->pDevMode) {
      auto* bytes = reinterpret_cast<const BYTE*>(info->pDevMode);
      s.devMode.assign(bytes, bytes + std::min<size_t>(info->pDevMode->dmSize, sizeof(DEVMODEW)));
    }
  }
  ClosePrinter(h);
  return s;
}

WStr DefaultPrinter() {
  WCHAR name[512] = {};
  DWORD chars = 512;
  return GetDefaultPrinterW(name, &chars) ? WStr(name) : WStr();
}

// The ports with their monitors, as "NAME|MONITOR".
std::vector<WStr> Ports() {
  DWORD needed = 0, returned = 0;
  EnumPortsW(nullptr, 2, nullptr, 0, &needed, &returned);
  std::vector<DWORD_PTR> buffer(needed / sizeof(DWORD_PTR) + 1);
  std::vector<WStr> out;
  if (!EnumPortsW(nullptr, 2, reinterpret_cast<LPBYTE>(buffer.data()), needed, &needed, &returned)) return out;
  auto* ports = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i)
    out.push_back(WStr(ports[i].pPortName) + W_("|") + (ports[i].pMonitorName ? ports[i].pMonitorName : W_("")));
  return out;
}

WStr FormName(const std::vector<BYTE>& devMode) {
  if (devMode.size() < offsetof(DEVMODEW, dmFormName) + sizeof(WCHAR) * CCHFORMNAME) return W_("<no devmode>");
  WCHAR form[CCHFORMNAME];
  std::memcpy(form, devMode.data() + offsetof(DEVMODEW, dmFormName), sizeof form);
  return WStr(form, std::find(form, form + CCHFORMNAME, WCHAR{}) - form);
}

class PrinterConfigTest : public ChineseInstallerTest {
 protected:

  void SetUp() override {
    InstallerTest::SetUp();
    winsim::DriverSetup d;
    d.name = "Kelvane KV1000";
    winsim::add_driver(dir, d);
  }

  void printer(const WStr& name, const std::string& port = "LPT1:", const std::string& share = "") {
    winsim::PrinterSetup p;
    p.name = utf8(name);
    p.driver = "Kelvane KV1000";
    p.port = port;
    p.share = share;
    winsim::add_printer(dir, p);
  }
  std::vector<std::string> texts() { return LogTexts(log); }
};

const WStr kDriver = W_("Kelvane KV1000");

TEST_F(PrinterConfigTest, SetDefaultPrinterName) {
  printer(W_("Office"));  // the first printer: the default
  printer(W_("標籤打印機"));
  printer(W_("Lab"));
  ASSERT_EQ(DefaultPrinter(), W_("Office"));
  EXPECT_TRUE(SetDefaultPrinterName(W_("標籤打印機")));  // through the ANSI code page and back
  EXPECT_EQ(DefaultPrinter(), W_("標籤打印機"));
  EXPECT_TRUE(SetDefaultPrinterName(W_("Lab")));
  EXPECT_EQ(DefaultPrinter(), W_("Lab"));
  EXPECT_FALSE(SetDefaultPrinterName(W_("Ghost")));
  EXPECT_EQ(DefaultPrinter(), W_("Lab"));
}

TEST_F(PrinterConfigTest, AddLocalPortLeavesTheMonitorsStatus) {
  auto before = Ports();
  SetLastError(kMarker);
  EXPECT_TRUE(AddLocalPort(W_("COM7")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(PortExists(W_("COM7")));
  auto after = Ports();
  EXPECT_EQ(after.size(), before.size() + 1);
  EXPECT_NE(std::find(after.begin(), after.end(), W_("COM7|Local Port")), after.end());

  SetLastError(kMarker);
  EXPECT_TRUE(AddLocalPort(W_("COM7")));  // reached the monitor, which refused
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  // 255 characters go to the monitor; a longer name is refused rather than cut.
  EXPECT_TRUE(AddLocalPort(WStr(255, u'P')));
  auto count = Ports().size();
  SetLastError(kMarker);
  EXPECT_FALSE(AddLocalPort(WStr(256, u'Q')));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Ports().size(), count);
  EXPECT_TRUE(texts().empty());
}

TEST_F(PrinterConfigTest, AddLocalPortWithoutXcvDataRaises) {
  winsim::add_fault("GetProcAddress:XcvDataW", 0, ERROR_PROC_NOT_FOUND);
  try {
    AddLocalPort(W_("COM7"));
    FAIL() << "no error";
  } catch (const KelvaneError& e) {
    EXPECT_EQ(e.message(), W_("Function not found : winspool.drv -> XcvDataW"));
  }
  EXPECT_FALSE(PortExists(W_("COM7")));
}

TEST_F(PrinterConfigTest, SetPrinterPort) {
  printer(W_("Office"));
  winsim::add_port(dir, "USB001");
  struct Case {
    WStr port;
    bool ok;
    WStr after;
  } cases[] = {
      {W_(""), false, W_("LPT1:")},
      {W_("USB009"), false, W_("LPT1:")},  // no such port
      {W_("USB001"), true, W_("USB001")},
      {W_("COM3:"), true, W_("COM3:")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SetPrinterPort(W_("Office"), c.port), c.ok) << utf8(c.port);
    EXPECT_EQ(ReadPrinter(W_("Office")).port, c.after) << utf8(c.port);
  }
  EXPECT_FALSE(SetPrinterPort(W_("Ghost"), W_("COM3:")));
}

// Little-endian bytes of the fallback device mode, written from the field table by offset.
std::vector<BYTE> ExpectedFallbackBytes(const WStr& deviceName) {
  std::vector<BYTE> b(220, 0);
  auto put = [&](size_t offset, unsigned long long value, size_t size) {
    for (size_t i = 0; i < size; ++i) b[offset + i] = static_cast<BYTE>(value >> (8 * i));
  };
  auto text = [&](size_t offset, const WStr& s) {
    for (size_t i = 0; i < s.size(); ++i) put(offset + 2 * i, s[i], 2);
  };
  text(offsetof(DEVMODEW, dmDeviceName), deviceName);
  put(offsetof(DEVMODEW, dmSpecVersion), 0x0401, 2);
  put(offsetof(DEVMODEW, dmDriverVersion), 0x0100, 2);
  put(offsetof(DEVMODEW, dmSize), 220, 2);
  put(offsetof(DEVMODEW, dmDriverExtra), 0, 2);
  put(offsetof(DEVMODEW, dmFields), 0x0581CF43, 4);
  put(offsetof(DEVMODEW, dmOrientation), 1, 2);
  put(offsetof(DEVMODEW, dmPaperSize), 9, 2);
  put(offsetof(DEVMODEW, dmPaperLength), 2970, 2);
  put(offsetof(DEVMODEW, dmPaperWidth), 2100, 2);
  put(offsetof(DEVMODEW, dmScale), 100, 2);
  put(offsetof(DEVMODEW, dmCopies), 1, 2);
  put(offsetof(DEVMODEW, dmDefaultSource), 15, 2);
  put(offsetof(DEVMODEW, dmPrintQuality), 180, 2);
  put(offsetof(DEVMODEW, dmColor), 1, 2);
  put(offsetof(DEVMODEW, dmDuplex), 1, 2);
  put(offsetof(DEVMODEW, dmYResolution), 180, 2);
  put(offsetof(DEVMODEW, dmTTOption), 2, 2);
  put(offsetof(DEVMODEW, dmCollate), 1, 2);
  text(offsetof(DEVMODEW, dmFormName), W_("A4"));
  put(offsetof(DEVMODEW, dmNup), 1, 4);
  put(offsetof(DEVMODEW, dmICMMethod), 1, 4);
  put(offsetof(DEVMODEW, dmICMIntent), 2, 4);
  put(offsetof(DEVMODEW, dmMediaType), 1, 4);
  put(offsetof(DEVMODEW, dmDitherType), 0xFFFFFFFF, 4);
  return b;
}

std::vector<BYTE> Bytes(const DEVMODEW& dm) {
  auto* p = reinterpret_cast<const BYTE*>(&dm);
  return std::vector<BYTE>(p, p + sizeof dm);
}

TEST(FallbackDevModeTest, EveryByteAsTheTableSays) {
  EXPECT_EQ(Bytes(FallbackDevMode(W_("KV1000"))), ExpectedFallbackBytes(W_("KV1000")));
  // The device name field holds 31 characters and the terminator: a longer name is cut.
  WStr longName = W_("Kelvane KV1000 dot-matrix printer on the second floor");
  ASSERT_GT(longName.size(), 31u);
  EXPECT_EQ(Bytes(FallbackDevMode(longName)), ExpectedFallbackBytes(longName.substr(0, 31)));
}

TEST_F(PrinterConfigTest, AddPrinterOnLPT1) {
  EXPECT_FALSE(AddPrinterOnLPT1(W_(""), W_("Fallback")));
  EXPECT_FALSE(AddPrinterOnLPT1(kDriver, W_("")));
  EXPECT_FALSE(AddPrinterOnLPT1(W_("No Such Driver"), W_("Fallback")));
  EXPECT_TRUE(ReadPrinterList().empty());

  EXPECT_TRUE(AddPrinterOnLPT1(kDriver, W_("Fallback")));
  PrinterState s = ReadPrinter(W_("Fallback"));
  ASSERT_TRUE(s.found);
  EXPECT_EQ(s.port, W_("LPT1:"));
  EXPECT_EQ(s.driver, kDriver);
  EXPECT_EQ(s.processor, W_("WinPrint"));
  EXPECT_EQ(s.datatype, W_("RAW"));
  EXPECT_EQ(s.share, W_(""));
  EXPECT_NE(s.attributes & PRINTER_ATTRIBUTE_LOCAL, 0u);
  EXPECT_EQ(s.attributes & PRINTER_ATTRIBUTE_SHARED, 0u);
  EXPECT_EQ(FormName(s.devMode), W_("A4"));
  EXPECT_FALSE(AddPrinterOnLPT1(kDriver, W_("Fallback")));  // the name is taken
  EXPECT_TRUE(texts().empty());
}

TEST_F(PrinterConfigTest, NewLocalPortDefaultAndWinPrint) {
  printer(W_("Office"));  // the first printer: the default
  printer(W_("KV1000"), "LPT1:");
  ASSERT_EQ(DefaultPrinter(), W_("Office"));
  TChangePrinterInfo info;
  info.OrgName = W_("KV1000");
  info.Port = W_("addlocal:COM7");
  info.bSetDefault = true;
  info.Process = W_("WinPrint");
  ASSERT_FALSE(PortExists(W_("COM7")));
  EXPECT_TRUE(ApplyChangePrinterInfo(info));

  PrinterState s = ReadPrinter(W_("KV1000"));
  EXPECT_EQ(s.port, W_("COM7"));
  EXPECT_EQ(s.processor, W_("WinPrint"));
  EXPECT_EQ(s.attributes & PRINTER_ATTRIBUTE_RAW_ONLY, 0u);
  EXPECT_EQ(DefaultPrinter(), W_("KV1000"));
  auto ports = Ports();
  EXPECT_NE(std::find(ports.begin(), ports.end(), W_("COM7|Local Port")), ports.end());
  std::string spooler = winsim::describe_spooler(dir);
  EXPECT_NE(spooler.find("COM7"), std::string::npos) << spooler;
  EXPECT_TRUE(texts().empty());
}

TEST_F(PrinterConfigTest, PortValuesOfTheChangeRecord) {
  winsim::add_port(dir, "USB001");
  struct Case {
    WStr port;
    WStr after;
  } cases[] = {
      {W_("ADDLOCAL:COM1:"), W_("COM1:")},  // exists: nothing made, just assigned
      {W_("AddLocal:USB001"), W_("USB001")},
      {W_("COM2:"), W_("COM2:")},
      {W_("com2:"), W_("LPT1:")},   // port names match exactly
      {W_("USB009"), W_("LPT1:")},  // no such port: the printer keeps its own
      {W_(""), W_("LPT1:")},
  };
  int n = 0;
  for (const Case& c : cases) {
    WStr name = W_("P") + IntToStr(n++);
    printer(name, "LPT1:");
    auto ports = Ports();
    TChangePrinterInfo info;
    info.OrgName = name;
    info.Port = c.port;
    EXPECT_TRUE(ApplyChangePrinterInfo(info)) << utf8(c.port);
    EXPECT_EQ(ReadPrinter(name).port, c.after) << utf8(c.port);
    EXPECT_EQ(Ports(), ports) << utf8(c.port);
  }
  EXPECT_TRUE(texts().empty());
}

TEST_F(PrinterConfigTest, PortThatCannotBeMadeIsLoggedAndTheRestStillWritten) {
  printer(W_("KV1000"), "LPT1:", "KV");
  TChangePrinterInfo info;
  info.OrgName = W_("KV1000");
  WStr tooLong(256, u'X');
  info.Port = W_("ADDLOCAL:") + tooLong;
  info.Process = W_("WinPrint");
  EXPECT_TRUE(ApplyChangePrinterInfo(info));
  EXPECT_EQ(texts(), std::vector<std::string>{ToAnsi(W_("未能添加指定的本地端口：") + tooLong)});
  EXPECT_EQ(log->records[0].MsgType, dmtWarning);
  PrinterState s = ReadPrinter(W_("KV1000"));
  EXPECT_EQ(s.port, W_("LPT1:"));
  EXPECT_EQ(s.attributes & PRINTER_ATTRIBUTE_SHARED, 0u);  // the empty share name still applied
}

TEST_F(PrinterConfigTest, ProcessorAndSharing) {
  printer(W_("KV1000"), "LPT1:", "KV");
  ASSERT_NE(ReadPrinter(W_("KV1000")).attributes & PRINTER_ATTRIBUTE_SHARED, 0u);
  TChangePrinterInfo info;
  info.OrgName = W_("KV1000");

  info.Process = W_("winprint");  // not exactly "WinPrint": a processor of its own, written as given
  EXPECT_TRUE(ApplyChangePrinterInfo(info));
  PrinterState s = ReadPrinter(W_("KV1000"));
  EXPECT_EQ(s.processor, W_("winprint"));
  EXPECT_NE(s.attributes & PRINTER_ATTRIBUTE_RAW_ONLY, 0u);
  EXPECT_EQ(s.attributes & PRINTER_ATTRIBUTE_SHARED, 0u);  // empty share name: sharing off

  info.Process = W_("");
  info.ShareName = W_("KVNEW");
  EXPECT_TRUE(ApplyChangePrinterInfo(info));
  s = ReadPrinter(W_("KV1000"));
  EXPECT_EQ(s.processor, W_("WinPrint"));
  EXPECT_EQ(s.attributes & PRINTER_ATTRIBUTE_RAW_ONLY, 0u);
  EXPECT_NE(s.attributes & PRINTER_ATTRIBUTE_SHARED, 0u);
  EXPECT_EQ(s.share, W_("KVNEW"));
  EXPECT_TRUE(texts().empty());

  info.Process = W_("KvProc");  // not installed: the spooler refuses the whole record
  EXPECT_FALSE(ApplyChangePrinterInfo(info));
  EXPECT_EQ(texts(), std::vector<std::string>{
                         ToAnsi(W_("設置打印機屬性失敗：(") + IntToStr(ERROR_UNKNOWN_PRINTPROCESSOR) + W_(")！"))});
  EXPECT_EQ(ReadPrinter(W_("KV1000")).processor, W_("WinPrint"));
}

TEST_F(PrinterConfigTest, NewNameAndDefaultForm) {
  printer(W_("Old Name"));
  TChangePrinterInfo info;
  info.OrgName = W_("Old Name");
  info.NewName = W_("New Name");
  info.DefaultForm = W_("Letter");
  EXPECT_TRUE(ApplyChangePrinterInfo(info));
  EXPECT_FALSE(ReadPrinter(W_("Old Name")).found);
  PrinterState s = ReadPrinter(W_("New Name"));
  ASSERT_TRUE(s.found);
  EXPECT_EQ(FormName(s.devMode), W_("Letter"));

  // The form field holds 31 characters and the terminator: a longer name is cut.
  info.OrgName = W_("New Name");
  info.NewName = W_("New Name");  // the same name: no rename
  info.DefaultForm = W_("A form name longer than thirty-one characters");
  EXPECT_TRUE(ApplyChangePrinterInfo(info));
  EXPECT_EQ(FormName(ReadPrinter(W_("New Name")).devMode), info.DefaultForm.substr(0, 31));
  EXPECT_TRUE(texts().empty());
}

TEST_F(PrinterConfigTest, DeviceModeThatCannotBeReadIsLoggedAndTheRestStillWritten) {
  // The size query failing, then the filling call failing.
  for (unsigned call : {1u, 2u}) {
    WStr name = W_("P") + IntToStr(call);
    printer(name);
    auto form = FormName(ReadPrinter(name).devMode);
    log->records.clear();
    winsim::add_fault("DocumentPropertiesW", call, ERROR_NOT_ENOUGH_MEMORY);
    TChangePrinterInfo info;
    info.OrgName = name;
    info.NewName = name + W_(" renamed");
    info.DefaultForm = W_("Letter");
    info.ShareName = W_("S") + IntToStr(call);
    EXPECT_TRUE(ApplyChangePrinterInfo(info));
    winsim::clear_faults();
    EXPECT_EQ(texts(), std::vector<std::string>{ToAnsi(W_("DocumentProperties獲取DevMode失敗：(") +
                                                       IntToStr(ERROR_NOT_ENOUGH_MEMORY) + W_(")！"))});
    PrinterState s = ReadPrinter(info.NewName);
    ASSERT_TRUE(s.found);
    EXPECT_EQ(s.share, info.ShareName);
    EXPECT_EQ(FormName(s.devMode), form);
  }
}

TEST_F(PrinterConfigTest, DefaultForAMissingPrinterIsLoggedThenTheOpenFails) {
  printer(W_("Office"));
  winsim::set_default_printer(dir, "Office");
  TChangePrinterInfo info;
  info.OrgName = W_("Ghost");
  info.bSetDefault = true;
  info.Port = W_("addlocal:COM8");
  EXPECT_FALSE(ApplyChangePrinterInfo(info));
  EXPECT_EQ(texts(), std::vector<std::string>{ToAnsi(W_("設置默認打印機失敗！Ghost"))});
  EXPECT_EQ(log->records[0].MsgType, dmtWarning);
  EXPECT_EQ(DefaultPrinter(), W_("Office"));
  EXPECT_FALSE(PortExists(W_("COM8")));  // nothing after the failed open
}

}  // namespace
