// The spooler queries: case rules, the printer list, ports, drivers, jobs and the default printer,
// on a Simplified Chinese machine (code page 936) so that the Chinese log lines arrive intact.
#include <algorithm>

#include "installer/printsys/Spooler.h"
#include "support/installer_fixture.h"

using namespace testutil;

namespace {

class SpoolerQueryTest : public InstallerTest {
 protected:
  winsim::MachineOptions options() override {
    winsim::MachineOptions o;
    o.language = 2052;
    return o;
  }

  void driver(const WStr& name) {
    winsim::DriverSetup d;
    d.name = utf8(name);
    winsim::add_driver(dir, d);
  }
  void printer(const WStr& name, const WStr& driverName, const std::string& port = "LPT1:") {
    winsim::PrinterSetup p;
    p.name = utf8(name);
    p.driver = utf8(driverName);
    p.port = port;
    winsim::add_printer(dir, p);
  }
  std::vector<std::string> texts() { return LogTexts(log); }
};

const WStr kDriver = W_("Kelvane KV1000");

TEST_F(SpoolerQueryTest, PrinterAndDriverNamesIgnoreAsciiCaseOnly) {
  EXPECT_FALSE(PrinterExists(W_("ABC")));  // no printers at all
  EXPECT_FALSE(PrinterDriverExists(kDriver));
  driver(kDriver);
  printer(W_("ABC"), kDriver);
  printer(W_("Élan 2"), kDriver);
  struct Case {
    WStr asked;
    bool printer, driver;
  } cases[] = {
      {W_("abc"), true, false},
      {W_("ABC"), true, false},
      {W_("AB"), false, false},
      {W_("Élan 2"), true, false},
      {W_("élan 2"), false, false},  // only a to z fold
      {W_("kelvane kv1000"), false, true},
      {W_("KELVANE KV1000"), false, true},
      {W_("Kelvane KV100"), false, false},
      {W_(""), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PrinterExists(c.asked), c.printer) << utf8(c.asked);
    EXPECT_EQ(PrinterDriverExists(c.asked), c.driver) << utf8(c.asked);
  }
  EXPECT_TRUE(texts().empty());
}

TEST_F(SpoolerQueryTest, DriverListThatCannotBeReadIsLoggedAsAWarning) {
  driver(kDriver);
  winsim::add_fault("EnumPrinterDriversW", 0, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(PrinterDriverExists(kDriver));
  ASSERT_EQ(texts(), std::vector<std::string>{ToAnsi(W_("列舉系統打印機驅動程序失敗！"))});
  EXPECT_EQ(log->records[0].MsgType, dmtWarning);
}

TEST_F(SpoolerQueryTest, PortNamesMatchExactlyAndOnlyWithin2000Bytes) {
  winsim::add_port(dir, "USB001");
  EXPECT_TRUE(PortExists(W_("LPT1:")));
  EXPECT_TRUE(PortExists(W_("USB001")));
  EXPECT_FALSE(PortExists(W_("lpt1:")));
  EXPECT_FALSE(PortExists(W_("usb001")));
  EXPECT_FALSE(PortExists(W_("USB002")));
  EXPECT_FALSE(PortExists(W_("")));

  // A port list that no longer fits the buffer reads as no port at all.
  DWORD needed = 0, returned = 0;
  for (int i = 0; needed <= 2000 && i < 500; ++i) {
    winsim::add_port(dir, "IP_192.168.100." + std::to_string(i));
    EnumPortsW(nullptr, 2, nullptr, 0, &needed, &returned);
  }
  ASSERT_GT(needed, 2000u);
  EXPECT_FALSE(PortExists(W_("LPT1:")));
}

TEST_F(SpoolerQueryTest, ListPrinterNamesCutsAtOnAndFindsTheDefault) {
  TStringList target = {W_("kept")};
  EXPECT_EQ(ListPrinterNames(&target), -1);  // no printers: the target stays
  EXPECT_EQ(target, TStringList{W_("kept")});

  driver(kDriver);
  printer(W_("Label on desk"), kDriver);
  printer(W_("Office"), kDriver);
  printer(W_("Front on a on b"), kDriver);
  printer(W_("Longbow"), kDriver);  // "on" inside a word is no " on "
  EXPECT_EQ(ListPrinterNames(nullptr), -1);

  TStringList list = ReadPrinterList();
  TStringList expected;
  for (const WStr& name : list) expected.push_back(name.substr(0, name.find(W_(" on "))));
  TStringList sorted = expected;
  std::sort(sorted.begin(), sorted.end());
  ASSERT_EQ(sorted, (TStringList{W_("Front"), W_("Label"), W_("Longbow"), W_("Office")}));

  winsim::set_default_printer(dir, "");  // the first printer became the default: take that back
  EXPECT_EQ(ListPrinterNames(&target), -1);
  EXPECT_EQ(target, expected);
  for (const WStr def : {W_("Office"), W_("Label on desk")}) {
    winsim::set_default_printer(dir, utf8(def));
    target.clear();
    int index = ListPrinterNames(&target);
    ASSERT_GE(index, 0);
    EXPECT_EQ(list[static_cast<size_t>(index)], def);
    EXPECT_EQ(target, expected);
  }
}

TEST_F(SpoolerQueryTest, GetPrinterPortLogsWhatItFound) {
  driver(kDriver);
  printer(W_("Office"), kDriver, "COM2:");
  WStr port = W_("old");
  GetPrinterPort(W_("Office"), port);
  EXPECT_EQ(port, W_("COM2:"));
  GetPrinterPort(W_("Missing"), port);  // cannot be opened: nothing logged
  EXPECT_EQ(port, W_(""));
  port = W_("old");
  GetPrinterPort(W_(""), port);
  EXPECT_EQ(port, W_(""));

  ASSERT_EQ(texts(), (std::vector<std::string>{ToAnsi(W_("你要檢測的打印機【Office】端口為：COM2:")),
                                               ToAnsi(W_("在檢查打印機【】的時候出錯了：0x00000000"))}));
  EXPECT_EQ(log->records[0].MsgType, dmtInformation);
  EXPECT_EQ(log->records[1].MsgType, dmtError);
}

TEST_F(SpoolerQueryTest, DefaultPrinterNameThroughTheAnsiFunction) {
  WStr name = W_("old");
  SetLastError(kMarker);
  EXPECT_FALSE(GetDefaultPrinterName(name));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));  // no default printer set
  EXPECT_EQ(name, W_(""));

  driver(kDriver);
  const WStr chinese = W_("標籤打印機 KV1000");  // survives code page 936
  printer(chinese, kDriver);
  winsim::set_default_printer(dir, utf8(chinese));
  EXPECT_TRUE(GetDefaultPrinterName(name));
  EXPECT_EQ(name, chinese);

  winsim::add_fault("GetProcAddress:GetDefaultPrinterA", 0, ERROR_PROC_NOT_FOUND);
  EXPECT_FALSE(GetDefaultPrinterName(name));
  EXPECT_EQ(name, W_(""));
}

TEST_F(SpoolerQueryTest, OnlineStateAndDriverOfAPrinter) {
  driver(kDriver);
  printer(W_("Office"), kDriver);
  bool online = false;
  WStr driverName = W_("old");
  EXPECT_TRUE(IsPrinterOnline(W_("Office"), online));
  EXPECT_TRUE(online);
  winsim::set_printer_offline(dir, "Office", true);
  EXPECT_TRUE(IsPrinterOnline(W_("Office"), online));
  EXPECT_FALSE(online);
  online = true;
  EXPECT_FALSE(IsPrinterOnline(W_("Missing"), online));
  EXPECT_TRUE(online);  // untouched

  GetPrinterDriverName(W_("Office"), driverName);
  EXPECT_EQ(driverName, kDriver);
  GetPrinterDriverName(W_("Missing"), driverName);
  EXPECT_EQ(driverName, W_(""));
}

TEST_F(SpoolerQueryTest, DriverUsageCountsOtherPrintersOnTheSameDriver) {
  WStr driverName = W_("old");
  bool shared = true;
  EXPECT_TRUE(GetPrinterDriverUsage(W_("Office"), driverName, shared));  // no printers: no error
  EXPECT_EQ(driverName, W_(""));
  EXPECT_FALSE(shared);

  driver(kDriver);
  driver(W_("Other Driver"));
  printer(W_("Office"), kDriver);
  printer(W_("Lab"), W_("Other Driver"));
  EXPECT_TRUE(GetPrinterDriverUsage(W_("Office"), driverName, shared));
  EXPECT_EQ(driverName, kDriver);
  EXPECT_FALSE(shared);

  printer(W_("Office (Copy 1)"), kDriver);
  EXPECT_TRUE(GetPrinterDriverUsage(W_("Office"), driverName, shared));
  EXPECT_EQ(driverName, kDriver);
  EXPECT_TRUE(shared);

  EXPECT_TRUE(GetPrinterDriverUsage(W_("office"), driverName, shared));  // the name must match exactly
  EXPECT_EQ(driverName, W_(""));
  EXPECT_FALSE(shared);
}

TEST_F(SpoolerQueryTest, CountPrinterJobsListsDocumentsWithTheirStatus) {
  TStringList jobs = {W_("kept")};
  EXPECT_EQ(CountPrinterJobs(W_("Missing"), &jobs, W_("  ")), 0);
  EXPECT_EQ(jobs, TStringList{W_("kept")});

  driver(kDriver);
  printer(W_("Office"), kDriver);
  EXPECT_EQ(CountPrinterJobs(W_("Office"), &jobs, W_("  ")), 0);  // idle
  EXPECT_TRUE(jobs.empty());

  winsim::add_job(dir, "Office", "Report.txt", JOB_STATUS_PAUSED | JOB_STATUS_PRINTING);
  winsim::add_job(dir, "Office", "報告.doc", 0);
  winsim::add_job(dir, "Office", "Odd", 3);
  EXPECT_EQ(CountPrinterJobs(W_("Office"), &jobs, W_("Job: ")), 3);
  EXPECT_EQ(jobs, (TStringList{W_("Job: Report.txt(Paused Printing)"), W_("Job: 報告.doc(Waiting)"),
                               W_("Job: Odd(Status 3)")}));
  EXPECT_EQ(CountPrinterJobs(W_("Office"), nullptr, W_("")), 3);

  // A queue that no longer fits the 64000-byte buffer reads as an idle printer.
  HANDLE h = nullptr;
  WStr name = W_("Office");
  ASSERT_TRUE(OpenPrinterW(name.data(), &h, nullptr));
  DWORD needed = 0, returned = 0;
  for (int i = 0; needed <= 64000 && i < 2000; ++i) {
    winsim::add_job(dir, "Office", std::string(4000, 'x') + std::to_string(i));
    EnumJobsW(h, 0, 1000, 1, nullptr, 0, &needed, &returned);
  }
  ClosePrinter(h);
  ASSERT_GT(needed, 64000u);
  EXPECT_EQ(CountPrinterJobs(W_("Office"), &jobs, W_("")), 0);
}

TEST(JobStatusTextTest, StatusValuesMatchAsAWhole) {
  struct Case {
    DWORD status;
    WStr text;
  } cases[] = {
      {0, W_("Waiting")},
      {JOB_STATUS_PAUSED, W_("Paused")},
      {JOB_STATUS_ERROR, W_("Error")},
      {JOB_STATUS_DELETING, W_("Deleting")},
      {JOB_STATUS_SPOOLING, W_("Spooling")},
      {JOB_STATUS_PRINTING, W_("Printing")},
      {JOB_STATUS_PAUSED | JOB_STATUS_PRINTING, W_("Paused Printing")},
      {JOB_STATUS_OFFLINE, W_("Offline")},
      {JOB_STATUS_PAPEROUT, W_("Paper Out")},
      {JOB_STATUS_PRINTED, W_("Printed")},
      {JOB_STATUS_DELETED, W_("Deleted")},
      {JOB_STATUS_BLOCKED_DEVQ, W_("Blocked")},
      {JOB_STATUS_USER_INTERVENTION, W_("User Intervention")},
      {JOB_STATUS_RESTART, W_("Restart")},
      {3, W_("Status 3")},  // two bits: not "Paused" nor "Error"
      {JOB_STATUS_PRINTING | JOB_STATUS_PRINTED, W_("Status 144")},
      {0x80000000u, W_("Status 2147483648")},
  };
  for (const Case& c : cases) EXPECT_EQ(JobStatusText(c.status), c.text) << c.status;
}

}  // namespace
