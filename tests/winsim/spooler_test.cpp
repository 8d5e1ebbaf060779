// The print spooler: the buffer protocol of its enumerations, its refusals with their codes,
// printers, drivers, ports, jobs, printer data, the default printer, device modes, the local port
// monitor, change notifications across processes and a state file that a person broke.
#include <cstring>
#include <thread>

#include "support/machine_fixture.h"
#include "win32/spooler.h"

using namespace testutil;

namespace {

class SpoolerTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    winsim::DriverSetup d;
    d.name = "KV-1000";
    winsim::add_driver(dir, d);
  }

  void printer(const std::string& name, const std::string& port = "LPT1:") {
    winsim::PrinterSetup p;
    p.name = name;
    p.driver = "KV-1000";
    p.port = port;
    winsim::add_printer(dir, p);
  }

  static HANDLE open(const WStr& name, ACCESS_MASK access = 0) {
    PRINTER_DEFAULTSW defaults{nullptr, nullptr, access};
    HANDLE h = nullptr;
    return OpenPrinterW(const_cast<LPWSTR>(name.c_str()), &h, access ? &defaults : nullptr) ? h : nullptr;
  }

  // A PRINTER_INFO_2 for a new printer on the test driver.
  static PRINTER_INFO_2W info2(LPCWSTR name, LPCWSTR port = W_("LPT1:")) {
    PRINTER_INFO_2W pi{};
    pi.pPrinterName = const_cast<LPWSTR>(name);
    pi.pPortName = const_cast<LPWSTR>(port);
    pi.pDriverName = const_cast<LPWSTR>(W_("KV-1000"));
    pi.pPrintProcessor = const_cast<LPWSTR>(W_("WinPrint"));
    pi.pDatatype = const_cast<LPWSTR>(W_("RAW"));
    pi.Attributes = PRINTER_ATTRIBUTE_LOCAL;
    pi.Priority = 1;
    return pi;
  }

  // The level-2 record of a printer, through the two-call protocol.
  static std::vector<BYTE> get2(HANDLE h) {
    DWORD need = 0;
    EXPECT_FALSE(GetPrinterW(h, 2, nullptr, 0, &need));
    std::vector<BYTE> buf(need);
    EXPECT_TRUE(GetPrinterW(h, 2, buf.data(), need, &need));
    return buf;
  }

  std::vector<WStr> printer_names() {
    DWORD need = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, nullptr, 0, &need, &count);
    std::vector<BYTE> buf(need);
    EXPECT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 4, buf.data(), need, &need, &count));
    std::vector<WStr> out;
    for (DWORD i = 0; i < count; ++i) out.push_back(reinterpret_cast<PRINTER_INFO_4W*>(buf.data())[i].pPrinterName);
    return out;
  }
};

TEST_F(SpoolerTest, EnumerationsFollowTheTwoCallProtocolAtEveryLevel) {
  DWORD need = kMarker, count = kMarker;
  EXPECT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &need, &count));  // nothing to list
  EXPECT_EQ(need, 0u);
  EXPECT_EQ(count, 0u);
  printer("Office");
  printer("Label on desk", "COM1:");
  for (DWORD level : {1u, 2u, 4u, 5u}) {
    SCOPED_TRACE(level);
    SetLastError(kMarker);
    EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, nullptr, 0, &need, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(count, 0u);
    std::vector<BYTE> buf(need + 16, 0xCC);
    SetLastError(kMarker);
    DWORD again = 0;
    EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, buf.data(), need - 1, &again, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(again, need);
    EXPECT_TRUE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, level, buf.data(), need, &again, &count));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(buf[need], 0xCC);  // nothing written past the size it asked for
    // Every string lies inside the buffer, after the records.
    LPWSTR second = level == 1   ? reinterpret_cast<PRINTER_INFO_1W*>(buf.data())[1].pName
                    : level == 2 ? reinterpret_cast<PRINTER_INFO_2W*>(buf.data())[1].pPrinterName
                    : level == 4 ? reinterpret_cast<PRINTER_INFO_4W*>(buf.data())[1].pPrinterName
                                 : reinterpret_cast<PRINTER_INFO_5W*>(buf.data())[1].pPrinterName;
    EXPECT_EQ(WStr(second), W_("Label on desk"));
    EXPECT_GT(reinterpret_cast<BYTE*>(second), buf.data());
    EXPECT_LT(reinterpret_cast<BYTE*>(second), buf.data() + need);
  }
  SetLastError(kMarker);
  EXPECT_FALSE(EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 3, nullptr, 0, &need, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));

  // Ports and drivers the same way.
  EXPECT_FALSE(EnumPortsW(nullptr, 2, nullptr, 0, &need, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<BYTE> ports(need);
  ASSERT_TRUE(EnumPortsW(nullptr, 2, ports.data(), need, &need, &count));
  ASSERT_EQ(count, 8u);
  auto* pi = reinterpret_cast<PORT_INFO_2W*>(ports.data());
  EXPECT_EQ(WStr(pi[5].pPortName), W_("LPT1:"));
  EXPECT_EQ(WStr(pi[5].pMonitorName), W_("Local Port"));
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, nullptr, 3, nullptr, 0, &need, &count));
  std::vector<BYTE> drivers(need);
  ASSERT_TRUE(EnumPrinterDriversW(nullptr, nullptr, 3, drivers.data(), need, &need, &count));
  ASSERT_EQ(count, 1u);
  auto* di = reinterpret_cast<DRIVER_INFO_3W*>(drivers.data());
  EXPECT_EQ(WStr(di->pEnvironment), W_("Windows x64"));
  EXPECT_EQ(WStr(di->pDataFile), W_("C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\KV-1000.GPD"));
  EXPECT_EQ(di->pDependentFiles[0], 0);  // an empty list
  EXPECT_TRUE(EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(W_("Windows NT x86")), 1, nullptr, 0, &need, &count));
  EXPECT_EQ(count, 0u);
  SetLastError(kMarker);
  EXPECT_FALSE(EnumPrinterDriversW(nullptr, const_cast<LPWSTR>(W_("Windows 95")), 1, nullptr, 0, &need, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ENVIRONMENT));
}

TEST_F(SpoolerTest, OpeningNamesAndHandles) {
  printer("Office");
  HANDLE h = open(W_("OFFICE"));  // printer names ignore case
  ASSERT_NE(h, nullptr);
  auto buf = get2(h);
  auto* pi = reinterpret_cast<PRINTER_INFO_2W*>(buf.data());
  EXPECT_EQ(WStr(pi->pPrinterName), W_("Office"));
  EXPECT_EQ(WStr(pi->pPortName), W_("LPT1:"));
  EXPECT_EQ(WStr(pi->pPrintProcessor), W_("WinPrint"));
  EXPECT_EQ(pi->pServerName, nullptr);
  ASSERT_NE(pi->pDevMode, nullptr);
  EXPECT_EQ(pi->pDevMode->dmSize, 220);
  EXPECT_EQ(WStr(pi->pDevMode->dmDeviceName), W_("Office"));
  EXPECT_TRUE(ClosePrinter(h));
  SetLastError(kMarker);
  EXPECT_FALSE(ClosePrinter(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  for (const WStr& bad : {WStr(W_("Nobody")), WStr(W_("Office,Job 1")), WStr(W_(",XcvMonitor Other Port")),
                          WStr(W_("\\\\ELSEWHERE\\Office"))}) {
    SCOPED_TRACE(utf8(bad));
    SetLastError(kMarker);
    EXPECT_EQ(open(bad), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  }
  HANDLE server = open(WStr(), SERVER_ACCESS_ADMINISTER);
  EXPECT_NE(server, nullptr);
  HANDLE remote_name = open(W_("\\\\KELVANE-PC\\Office"));
  EXPECT_NE(remote_name, nullptr);
  DWORD need = 0;
  SetLastError(kMarker);
  EXPECT_FALSE(GetPrinterW(server, 2, nullptr, 0, &need));  // the server is no printer
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ClosePrinter(server);
  ClosePrinter(remote_name);
}

TEST_F(SpoolerTest, AddingAPrinterIsRefusedWithTheRealCodes) {
  winsim::add_port(dir, "USB001", "USB Monitor");
  const WStr longest(MAX_PRINTER_NAME, u'n'), too_long(MAX_PRINTER_NAME + 1, u'n');
  struct Case {
    const char* what;
    PRINTER_INFO_2W pi;
    DWORD level, error;
  } cases[] = {
      {"exists in another case", info2(W_("OFFICE")), 2, ERROR_PRINTER_ALREADY_EXISTS},
      {"unknown driver", [] { auto p = info2(W_("A")); p.pDriverName = const_cast<LPWSTR>(W_("No Such")); return p; }(), 2, ERROR_UNKNOWN_PRINTER_DRIVER},
      {"unknown port", info2(W_("A"), W_("LPT9:")), 2, ERROR_UNKNOWN_PORT},
      {"unknown processor", [] { auto p = info2(W_("A")); p.pPrintProcessor = const_cast<LPWSTR>(W_("Fancy")); return p; }(), 2, ERROR_UNKNOWN_PRINTPROCESSOR},
      {"empty name", info2(W_("")), 2, ERROR_INVALID_PRINTER_NAME},
      {"comma in the name", info2(W_("a,b")), 2, ERROR_INVALID_PRINTER_NAME},
      {"name one past the limit", info2(too_long.c_str()), 2, ERROR_INVALID_PRINTER_NAME},
      {"shared without a share name", [] { auto p = info2(W_("A")); p.Attributes |= PRINTER_ATTRIBUTE_SHARED; return p; }(), 2, ERROR_INVALID_SHARENAME},
      {"level 1", info2(W_("A")), 1, ERROR_INVALID_LEVEL},
  };
  printer("Office");
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(kMarker);
    EXPECT_EQ(AddPrinterW(nullptr, c.level, reinterpret_cast<LPBYTE>(&c.pi)), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(printer_names(), std::vector<WStr>{W_("Office")});

  auto pi = info2(longest.c_str(), W_("USB001"));
  pi.pPrintProcessor = const_cast<LPWSTR>(W_("winprint"));  // processors ignore case and keep their spelling
  HANDLE h = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&pi));
  ASSERT_NE(h, nullptr);
  auto buf = get2(h);  // the new printer's handle administers it
  EXPECT_EQ(WStr(reinterpret_cast<PRINTER_INFO_2W*>(buf.data())->pPrintProcessor), W_("winprint"));
  EXPECT_TRUE(DeletePrinter(h));
  ClosePrinter(h);
  EXPECT_EQ(printer_names(), std::vector<WStr>{W_("Office")});
}

TEST_F(SpoolerTest, SettingAPrinter) {
  printer("Office");
  printer("Other");
  HANDLE user = open(W_("Office"));
  auto buf = get2(user);
  auto* pi = reinterpret_cast<PRINTER_INFO_2W*>(buf.data());
  SetLastError(kMarker);
  EXPECT_FALSE(SetPrinterW(user, 2, buf.data(), 0));  // opened to print, not to administer
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ClosePrinter(user);

  HANDLE h = open(W_("Office"), PRINTER_ALL_ACCESS);
  ASSERT_NE(h, nullptr);
  struct Case {
    const char* what;
    void (*change)(PRINTER_INFO_2W&);
    DWORD error;
  } refusals[] = {
      {"unknown port", [](PRINTER_INFO_2W& p) { p.pPortName = const_cast<LPWSTR>(W_("USB009")); }, ERROR_UNKNOWN_PORT},
      {"name of another printer", [](PRINTER_INFO_2W& p) { p.pPrinterName = const_cast<LPWSTR>(W_("other")); }, ERROR_PRINTER_ALREADY_EXISTS},
      {"unknown processor", [](PRINTER_INFO_2W& p) { p.pPrintProcessor = const_cast<LPWSTR>(W_("Fancy")); }, ERROR_UNKNOWN_PRINTPROCESSOR},
  };
  for (auto& c : refusals) {
    SCOPED_TRACE(c.what);
    PRINTER_INFO_2W changed = *pi;
    c.change(changed);
    SetLastError(kMarker);
    EXPECT_FALSE(SetPrinterW(h, 2, reinterpret_cast<LPBYTE>(&changed), 0));
    EXPECT_EQ(GetLastError(), c.error);
  }
  SetLastError(kMarker);
  EXPECT_FALSE(SetPrinterW(h, 3, buf.data(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_FALSE(SetPrinterW(h, 0, nullptr, 9));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_COMMAND));

  PRINTER_INFO_2W changed = *pi;
  changed.pPortName = const_cast<LPWSTR>(W_("COM2:"));
  changed.pShareName = const_cast<LPWSTR>(W_("office"));
  changed.Attributes |= PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_WORK_OFFLINE;
  changed.pDevMode->dmOrientation = DMORIENT_LANDSCAPE;
  EXPECT_TRUE(SetPrinterW(h, 2, reinterpret_cast<LPBYTE>(&changed), 0));
  auto after = get2(h);
  auto* now = reinterpret_cast<PRINTER_INFO_2W*>(after.data());
  EXPECT_EQ(WStr(now->pPortName), W_("COM2:"));
  EXPECT_EQ(WStr(now->pShareName), W_("office"));
  EXPECT_EQ(now->Attributes, static_cast<DWORD>(PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_SHARED | PRINTER_ATTRIBUTE_WORK_OFFLINE));
  EXPECT_EQ(now->pDevMode->dmOrientation, DMORIENT_LANDSCAPE);

  // The status comes as the value itself or as the address of a DWORD holding it.
  DWORD offline = PRINTER_STATUS_OFFLINE;
  EXPECT_TRUE(SetPrinterW(h, 0, reinterpret_cast<LPBYTE>(&offline), PRINTER_CONTROL_SET_STATUS));
  EXPECT_EQ(reinterpret_cast<PRINTER_INFO_2W*>(get2(h).data())->Status, static_cast<DWORD>(PRINTER_STATUS_OFFLINE));
  EXPECT_TRUE(SetPrinterW(h, 0, reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(PRINTER_STATUS_PAUSED)), PRINTER_CONTROL_SET_STATUS));
  EXPECT_EQ(reinterpret_cast<PRINTER_INFO_2W*>(get2(h).data())->Status, static_cast<DWORD>(PRINTER_STATUS_PAUSED));

  // A rename through the handle: the handle follows, and so does the default printer.
  ASSERT_TRUE(SetDefaultPrinterW(W_("Office")));
  auto latest = get2(h);
  auto* renamed = reinterpret_cast<PRINTER_INFO_2W*>(latest.data());
  renamed->pPrinterName = const_cast<LPWSTR>(W_("Front desk"));
  EXPECT_TRUE(SetPrinterW(h, 2, latest.data(), 0));
  EXPECT_EQ(WStr(reinterpret_cast<PRINTER_INFO_2W*>(get2(h).data())->pPrinterName), W_("Front desk"));
  WCHAR name[64];
  DWORD size = 64;
  ASSERT_TRUE(GetDefaultPrinterW(name, &size));
  EXPECT_EQ(WStr(name), W_("Front desk"));
  ClosePrinter(h);
}

TEST_F(SpoolerTest, TheDefaultPrinter) {
  WCHAR wide[8];
  char narrow[8];
  DWORD size = 8;
  SetLastError(kMarker);
  EXPECT_FALSE(GetDefaultPrinterW(wide, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(GetDefaultPrinterA(narrow, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(SetDefaultPrinterW(W_("Nobody")));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));

  printer("First printer");  // the first printer of a machine becomes its default
  printer("Second");
  size = 0;
  SetLastError(kMarker);
  EXPECT_FALSE(GetDefaultPrinterW(nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, 14u);  // characters with the terminator
  size = 13;
  EXPECT_FALSE(GetDefaultPrinterW(wide, &size));
  std::vector<WCHAR> exact(14);
  size = 14;
  ASSERT_TRUE(GetDefaultPrinterW(exact.data(), &size));
  EXPECT_EQ(WStr(exact.data()), W_("First printer"));
  EXPECT_TRUE(SetDefaultPrinterA("SECOND"));
  char name[32];
  size = 32;
  ASSERT_TRUE(GetDefaultPrinterA(name, &size));
  EXPECT_STREQ(name, "Second");
  EXPECT_EQ(size, 7u);

  HANDLE h = open(W_("Second"), PRINTER_ALL_ACCESS);
  EXPECT_TRUE(DeletePrinter(h));  // deleting the default leaves none
  ClosePrinter(h);
  size = 32;
  EXPECT_FALSE(GetDefaultPrinterA(name, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(SetDefaultPrinterW(nullptr));  // none: the first printer there is
  size = 32;
  ASSERT_TRUE(GetDefaultPrinterA(name, &size));
  EXPECT_STREQ(name, "First printer");
}

TEST_F(SpoolerTest, DriversAreNotDeletedWhileInUse) {
  printer("Office");
  std::string gpd = c("Windows/System32/spool/drivers/x64/3/KV-1000.GPD");
  ASSERT_TRUE(std::filesystem::exists(gpd));
  SetLastError(kMarker);
  EXPECT_FALSE(DeletePrinterDriverW(nullptr, nullptr, const_cast<LPWSTR>(W_("KV-1000"))));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PRINTER_DRIVER_IN_USE));
  EXPECT_FALSE(DeletePrinterDriverExA(nullptr, nullptr, const_cast<LPSTR>("No Such"), DPD_DELETE_UNUSED_FILES, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));

  HANDLE h = open(W_("Office"), PRINTER_ALL_ACCESS);
  DWORD need = 0;
  EXPECT_FALSE(GetPrinterDriverW(h, nullptr, 2, nullptr, 0, &need));
  std::vector<BYTE> buf(need);
  ASSERT_TRUE(GetPrinterDriverW(h, nullptr, 2, buf.data(), need, &need));
  EXPECT_EQ(WStr(reinterpret_cast<DRIVER_INFO_2W*>(buf.data())->pName), W_("KV-1000"));
  EXPECT_EQ(reinterpret_cast<DRIVER_INFO_2W*>(buf.data())->cVersion, 3u);
  SetLastError(kMarker);
  EXPECT_FALSE(GetPrinterDriverW(h, const_cast<LPWSTR>(W_("Windows NT x86")), 1, nullptr, 0, &need));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PRINTER_DRIVER));
  EXPECT_TRUE(DeletePrinter(h));
  ClosePrinter(h);

  EXPECT_TRUE(DeletePrinterDriverExA(nullptr, nullptr, const_cast<LPSTR>("KV-1000"), DPD_DELETE_UNUSED_FILES, 0));
  EXPECT_FALSE(std::filesystem::exists(gpd));
  DWORD count = kMarker;
  EXPECT_TRUE(EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &need, &count));
  EXPECT_EQ(count, 0u);
}

TEST_F(SpoolerTest, TheLocalPortMonitor) {
  HANDLE xcv = open(W_(",XcvMonitor Local Port"), SERVER_ACCESS_ADMINISTER);
  ASSERT_NE(xcv, nullptr);
  auto call = [&](HANDLE h, LPCWSTR what, const WStr& port) {
    BYTE out[512];
    DWORD need = kMarker, status = kMarker;
    EXPECT_TRUE(XcvDataW(h, what, reinterpret_cast<PBYTE>(const_cast<WCHAR*>(port.c_str())),
                         static_cast<DWORD>((port.size() + 1) * 2), out, 0, &need, &status));
    return status;
  };
  EXPECT_EQ(call(xcv, W_("AddPort"), W_("COM7")), 0u);
  EXPECT_EQ(call(xcv, W_("AddPort"), W_("com7")), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(call(xcv, W_("AddPort"), WStr(MAX_PATH - 1, u'p')), 0u);
  EXPECT_EQ(call(xcv, W_("AddPort"), WStr(MAX_PATH, u'q')), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(call(xcv, W_("AddPort"), W_("")), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  printer("Office", "COM7");
  EXPECT_EQ(call(xcv, W_("DeletePort"), W_("COM7")), static_cast<DWORD>(ERROR_BUSY));
  EXPECT_EQ(call(xcv, W_("DeletePort"), W_("LPT2:")), 0u);

  HANDLE weak = open(W_(",XcvMonitor Local Port"), SERVER_ACCESS_ENUMERATE);
  EXPECT_EQ(call(weak, W_("AddPort"), W_("COM8")), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ClosePrinter(weak);
  HANDLE printer_handle = open(W_("Office"));
  DWORD need = 0, status = 0;
  SetLastError(kMarker);
  EXPECT_FALSE(XcvDataW(printer_handle, W_("AddPort"), nullptr, 0, nullptr, 0, &need, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ClosePrinter(printer_handle);
  ClosePrinter(xcv);

  DWORD count = 0;
  std::vector<BYTE> buf(4000);
  ASSERT_TRUE(EnumPortsW(nullptr, 1, buf.data(), 4000, &need, &count));
  std::vector<WStr> names;
  for (DWORD i = 0; i < count; ++i) names.push_back(reinterpret_cast<PORT_INFO_1W*>(buf.data())[i].pName);
  EXPECT_NE(std::find(names.begin(), names.end(), W_("COM7")), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), W_("LPT2:")), names.end());
}

TEST_F(SpoolerTest, JobsAndAPrinterDeletedWhileItHasThem) {
  printer("Office");
  unsigned first = winsim::add_job(dir, "Office", "report.txt", JOB_STATUS_PAUSED | JOB_STATUS_PRINTING);
  unsigned second = winsim::add_job(dir, "Office", "报告.doc");
  HANDLE h = open(W_("Office"), PRINTER_ALL_ACCESS);
  DWORD need = 0, count = kMarker;
  SetLastError(kMarker);
  EXPECT_FALSE(EnumJobsW(h, 0, 1000, 1, nullptr, 0, &need, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<BYTE> buf(need);
  ASSERT_TRUE(EnumJobsW(h, 0, 1000, 1, buf.data(), need, &need, &count));
  ASSERT_EQ(count, 2u);
  auto* jobs = reinterpret_cast<JOB_INFO_1W*>(buf.data());
  EXPECT_EQ(jobs[0].JobId, first);
  EXPECT_EQ(WStr(jobs[0].pDocument), W_("report.txt"));
  EXPECT_EQ(jobs[0].Status, static_cast<DWORD>(JOB_STATUS_PAUSED | JOB_STATUS_PRINTING));
  EXPECT_EQ(WStr(jobs[1].pDocument), W_("报告.doc"));
  EXPECT_EQ(jobs[1].Position, 2u);
  ASSERT_TRUE(EnumJobsW(h, 1, 1000, 1, buf.data(), static_cast<DWORD>(buf.size()), &need, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_FALSE(EnumJobsW(h, 0, 10, 2, buf.data(), static_cast<DWORD>(buf.size()), &need, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));

  // Deleting a printer that still holds jobs marks it; it goes with its last job.
  EXPECT_TRUE(DeletePrinter(h));
  EXPECT_EQ(reinterpret_cast<PRINTER_INFO_2W*>(get2(h).data())->Status, static_cast<DWORD>(PRINTER_STATUS_PENDING_DELETION));
  winsim::delete_job(dir, "Office", first);
  EXPECT_EQ(printer_names().size(), 1u);
  winsim::delete_job(dir, "Office", second);
  EXPECT_TRUE(printer_names().empty());
  SetLastError(kMarker);
  EXPECT_FALSE(EnumJobsW(h, 0, 10, 1, buf.data(), static_cast<DWORD>(buf.size()), &need, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  ClosePrinter(h);
}

TEST_F(SpoolerTest, PrinterDataKeepsTypesAndBytes) {
  printer("Office");
  HANDLE user = open(W_("Office"));
  DWORD value = 7;
  EXPECT_EQ(SetPrinterDataW(user, const_cast<LPWSTR>(W_("Speed")), REG_DWORD, reinterpret_cast<LPBYTE>(&value), 4),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));
  DWORD type = 0, need = kMarker;
  BYTE buf[64];
  EXPECT_EQ(GetPrinterDataW(user, const_cast<LPWSTR>(W_("Speed")), &type, buf, sizeof buf, &need),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ClosePrinter(user);

  HANDLE h = open(W_("Office"), PRINTER_ALL_ACCESS);
  const WStr digits = W_("-120");  // written without its terminator
  struct Value {
    const WCHAR* name;
    DWORD type;
    std::vector<BYTE> bytes;
  } values[] = {
      {W_("MoveX"), REG_SZ, std::vector<BYTE>(reinterpret_cast<const BYTE*>(digits.data()), reinterpret_cast<const BYTE*>(digits.data()) + 8)},
      {W_("Speed"), REG_DWORD, {7, 0, 0, 0}},
      {W_("Blob"), REG_BINARY, {0, 0xFF, 1}},
      {W_("Odd"), REG_SZ, {'a', 'b', 'c'}},
  };
  for (auto& v : values)
    EXPECT_EQ(SetPrinterDataW(h, const_cast<LPWSTR>(v.name), v.type, v.bytes.data(), static_cast<DWORD>(v.bytes.size())), 0u);
  ClosePrinter(h);
  h = open(W_("Office"));  // reading needs no administration
  for (auto& v : values) {
    SCOPED_TRACE(utf8(v.name));
    EXPECT_EQ(GetPrinterDataW(h, const_cast<LPWSTR>(v.name), &type, buf, 1, &need), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(need, v.bytes.size());
    WStr upper = v.name;
    for (auto& ch : upper) ch = static_cast<WCHAR>(std::toupper(ch));  // names ignore case
    ASSERT_EQ(GetPrinterDataW(h, const_cast<LPWSTR>(upper.c_str()), &type, buf, sizeof buf, &need), 0u);
    EXPECT_EQ(type, v.type);
    EXPECT_EQ(std::vector<BYTE>(buf, buf + need), v.bytes);
  }
  ClosePrinter(h);
  EXPECT_NE(read_file(dir + "/spooler.json").find("\"text\": \"-120\""), std::string::npos);  // readable by a person
}

TEST_F(SpoolerTest, DocumentPropertiesMergesIntoThePrintersDeviceMode) {
  printer("Office");
  HANDLE h = open(W_("Office"), PRINTER_ALL_ACCESS);
  LONG size = DocumentPropertiesW(nullptr, h, const_cast<LPWSTR>(W_("Office")), nullptr, nullptr, 0);
  ASSERT_EQ(size, 220);
  std::vector<BYTE> buf(static_cast<size_t>(size));
  auto* dm = reinterpret_cast<DEVMODEW*>(buf.data());
  ASSERT_EQ(DocumentPropertiesW(nullptr, h, nullptr, dm, nullptr, DM_OUT_BUFFER), IDOK);
  EXPECT_EQ(WStr(dm->dmDeviceName), W_("Office"));
  EXPECT_EQ(WStr(dm->dmFormName), W_("Letter"));  // an English machine prints on Letter
  // The very buffer as input and output: only the fields it marks are taken.
  const WStr a4 = W_("A4");
  std::memset(dm->dmFormName, 0, sizeof dm->dmFormName);
  std::memcpy(dm->dmFormName, a4.c_str(), a4.size() * 2);
  dm->dmFields = DM_FORMNAME;
  dm->dmOrientation = DMORIENT_LANDSCAPE;  // not marked: ignored
  ASSERT_EQ(DocumentPropertiesW(nullptr, h, nullptr, dm, dm, DM_IN_BUFFER | DM_OUT_BUFFER), IDOK);
  EXPECT_EQ(WStr(dm->dmFormName), W_("A4"));
  EXPECT_EQ(dm->dmOrientation, DMORIENT_PORTRAIT);
  EXPECT_TRUE(dm->dmFields & DM_ORIENTATION);
  SetLastError(kMarker);
  EXPECT_LT(DocumentPropertiesW(nullptr, nullptr, nullptr, dm, nullptr, DM_OUT_BUFFER), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ClosePrinter(h);
}

// Two processes change printers while this one waits on a notification for the server.
TEST_F(SpoolerTest, ChangeNotificationsReachAWaiterFromOtherProcesses) {
  HANDLE server = open(WStr());
  HANDLE change = FindFirstPrinterChangeNotification(server, PRINTER_CHANGE_PRINTER, 0, nullptr);
  ASSERT_NE(change, INVALID_HANDLE_VALUE);
  EXPECT_EQ(WaitForSingleObject(change, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  winsim::add_port(dir, "COM9");  // not a printer change
  EXPECT_EQ(WaitForSingleObject(change, 50), static_cast<DWORD>(WAIT_TIMEOUT));

  DWORD woke = WAIT_FAILED;
  std::thread waiter([&] { woke = WaitForSingleObject(change, 20000); });
  // Two other programs add a printer each, at the same time.
  std::string add = std::string(WINSIM_TOOL) + " printer " + dir + " add ";
  auto r = run_command("(" + add + "'From one' --driver KV-1000 --port LPT1: & " + add +
                       "'From two' --driver KV-1000 --port LPT2: & wait)");
  EXPECT_EQ(r.status, 0) << r.output;
  waiter.join();
  EXPECT_EQ(woke, static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD what = 0;
  EXPECT_TRUE(FindNextPrinterChangeNotification(change, &what, nullptr, nullptr));
  EXPECT_EQ(what, static_cast<DWORD>(PRINTER_CHANGE_ADD_PRINTER));
  EXPECT_EQ(WaitForSingleObject(change, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // both seen at once
  EXPECT_EQ(printer_names().size(), 2u);
  EXPECT_TRUE(FindClosePrinterChangeNotification(change));
  SetLastError(kMarker);
  EXPECT_FALSE(FindClosePrinterChangeNotification(change));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ClosePrinter(server);
}

TEST_F(SpoolerTest, ABrokenStateFileIsNamedAndLeftAsItWas) {
  const std::string file = dir + "/spooler.json";
  struct Case {
    const char* text;
    const char* complaint;
  } cases[] = {
      {"{\"printers\": 3}", "\"printers\" must be a list"},
      {"{\"printers\": [{\"name\": \"A\", \"port\": \"LPT1:\", \"driver\": \"Nope\"}]}", "names the driver Nope"},
      {"{\"ports\": [{\"name\": \"LPT1:\"}], \"printers\": [{\"name\": \"A\", \"port\": \"LPT7:\", \"driver\": \"x\"}]}",
       "names the port LPT7:"},
      {"{\"default\": \"Ghost\"}", "names the printer Ghost"},
      {"{\"processors\": []}", "must hold WinPrint"},
      {"{\"printers\": [{\"name\": \"\"}]}", "\"printers[0].name\" must not be empty"},
      {"[1, 2", "not valid JSON"},
  };
  for (auto& c : cases) expect_broken_state(dir, file, c.text, c.complaint);
  // A program on that machine stops with the complaint; the file stays as the person left it.
  auto r = run_command("WINSIM_MACHINE=" + dir + " " + WINSIM_TOOL + " printer " + dir + " add X --driver KV-1000 --port LPT1:");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("spooler.json"), std::string::npos) << r.output;
  EXPECT_EQ(read_file(file), "[1, 2");
}

}  // namespace
