// USB printers: the printing class's device interfaces, the interface opened as a file, the class
// driver's two requests, and overlapped transfers with a simulated printer that answers at once,
// late, never, too much, refuses an item or is pulled out in the middle.
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstring>
#include <vector>

#include "support/machine_fixture.h"
#include "win32/devio.h"
#include "win32/setup.h"

using namespace testutil;
using nlohmann::json;

namespace {

const GUID kUsbPrint = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};
const char* const kId = "MFG:Kelvane;MDL:KV-1000;CMD:ESC/P;";
const WStr kPath1 = W_("\\\\?\\USB#VID_1D90&PID_2060#KV1000#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
const std::string kRead("\x1B\x10\x02\x00\x05", 5);

class UsbTest : public MachineTest {
 protected:
  void plug(const std::string& id, winsim::UsbPrinterSetup usb = {}) {
    winsim::PlugSetup p;
    p.device_id = id;
    p.usb = usb;
    winsim::plug_printer(dir, p);
  }
  HANDLE open(const WStr& path, DWORD flags = FILE_FLAG_OVERLAPPED) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, flags, nullptr);
  }
  std::vector<json> usb_events() {
    std::vector<json> out;
    for (auto& line : winsim::read_events(dir))
      if (json e = json::parse(line); e["type"] == "usb") out.push_back(e);
    return out;
  }
  // Writes bytes on an overlapped handle; they are taken at once unless the printer stalls.
  DWORD send(HANDLE h, const std::string& bytes) {
    OVERLAPPED ov{};
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &ov)) << GetLastError();
    return n;
  }
};

TEST_F(UsbTest, InterfacesOfThePrintingClass) {
  plug(kId);
  plug("MFG:Kelvane;MDL:KV-2000;");
  HDEVINFO set = SetupDiGetClassDevsW(&kUsbPrint, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  std::vector<WStr> paths;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbPrint, i, &iface); ++i) {
    EXPECT_EQ(iface.Flags, static_cast<DWORD>(SPINT_ACTIVE));
    DWORD need = 0;
    SetLastError(kMarker);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &need, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<DWORD_PTR> words(need / sizeof(DWORD_PTR) + 1);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(words.data());
    detail->cbSize = 4;  // not the record's size
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, need, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, need - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, need, nullptr, &dev));
    paths.emplace_back(detail->DevicePath);
    EXPECT_EQ(need, 4 + (paths.back().size() + 1) * sizeof(WCHAR));
    EXPECT_NE(dev.DevInst, 0u);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(paths[0], kPath1);
  EXPECT_EQ(paths[1], W_("\\\\?\\USB#VID_1D90&PID_2060#KV1002#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"));
  SetupDiDestroyDeviceInfoList(set);

  // Created for a device of the USB class: the same path, the instance ID's letters kept.
  GUID usb{};
  DWORD n = 0;
  ASSERT_TRUE(SetupDiClassGuidsFromNameW(W_("USB"), &usb, 1, &n));
  set = SetupDiGetClassDevsW(&usb, nullptr, nullptr, DIGCF_PRESENT);
  SP_DEVINFO_DATA dev{};
  dev.cbSize = sizeof dev;
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));
  ASSERT_TRUE(SetupDiCreateDeviceInterfaceW(set, &dev, &kUsbPrint, nullptr, 0, &iface));
  std::vector<DWORD_PTR> words(64);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(words.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, sizeof(DWORD_PTR) * 64, nullptr, nullptr));
  EXPECT_EQ(WStr(detail->DevicePath), kPath1);
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(UsbTest, TheClassDriversRequests) {
  plug(kId, usb_setup([](winsim::UsbPrinterSetup& u) { u.status = 0x10; }));
  SetLastError(kMarker);
  EXPECT_EQ(open(W_("\\\\?\\USB#VID_1D90&PID_2060#NOSUCH#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // No access rights are needed to ask; the path's letters may differ.
  WStr lower = kPath1;
  for (auto& c : lower) c = static_cast<WCHAR>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  HANDLE h = CreateFileW(lower.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  BYTE status = 0;
  DWORD n = 0;
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_USBPRINT_GET_LPT_STATUS, nullptr, 0, &status, 1, &n, nullptr));
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(status, 0x10);
  BYTE id[1024] = {};
  ASSERT_TRUE(DeviceIoControl(h, IOCTL_USBPRINT_GET_1284_ID, nullptr, 0, id, sizeof id, &n, nullptr));
  std::string expected = std::string{0, static_cast<char>(std::strlen(kId) + 2)} + kId;
  EXPECT_EQ(std::string(reinterpret_cast<char*>(id), n), expected);
  // A buffer too small gets what fits.
  SetLastError(kMarker);
  EXPECT_FALSE(DeviceIoControl(h, IOCTL_USBPRINT_GET_1284_ID, nullptr, 0, id, 10, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(n, 10u);
  EXPECT_FALSE(DeviceIoControl(h, 0x220038, nullptr, 0, id, sizeof id, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  // Opened without read or write access: no transfers.
  EXPECT_FALSE(WriteFile(h, kRead.data(), 5, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(h);
}

TEST_F(UsbTest, SettingsCommandsAndTheirRecord) {
  plug(kId, usb_setup([](winsim::UsbPrinterSetup& u) { u.items = std::vector<unsigned>{1, 2, 3, 4, 5}; }));
  HANDLE h = open(kPath1);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(send(h, std::string("\x1B\x10\x03\x00\x03\x09", 6)), 6u);
  // A command split over two writes counts once it is whole.
  EXPECT_EQ(send(h, kRead.substr(0, 2)), 2u);
  EXPECT_EQ(send(h, kRead.substr(2)), 3u);
  BYTE reply[4096] = {};
  OVERLAPPED ov{};
  DWORD n = 0;
  ASSERT_TRUE(ReadFile(h, reply, sizeof reply, &n, &ov));  // there at once
  EXPECT_EQ(std::vector<BYTE>(reply, reply + n), (std::vector<BYTE>{1, 2, 3, 9, 5}));
  CloseHandle(h);
  auto ev = usb_events();
  ASSERT_EQ(ev.size(), 3u);
  EXPECT_EQ(ev[0]["port"], "USB001");
  EXPECT_EQ(ev[0]["bytes"], "1B 10 03 00 03 09");
  EXPECT_EQ(ev[0]["commands"][0]["item"], 3);
  EXPECT_EQ(ev[2]["commands"][0]["command"], "read");
  // The printer keeps its items for every process of the machine.
  EXPECT_NE(winsim::describe_usb(dir).find("items 01 02 03 09 05"), std::string::npos) << winsim::describe_usb(dir);
}

TEST_F(UsbTest, AReplyThatComesLate) {
  plug(kId, usb_setup([](winsim::UsbPrinterSetup& u) { u.answer_ms = 300; u.reply_length = 40; }));
  HANDLE h = open(kPath1);
  send(h, kRead);
  BYTE reply[4096];
  OVERLAPPED ov{};
  DWORD n = 0;
  SetLastError(kMarker);
  EXPECT_FALSE(ReadFile(h, reply, sizeof reply, &n, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(h, 1000), WAIT_OBJECT_0);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 200);
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(n, 40u);  // the five items and zero bytes
  CloseHandle(h);
}

TEST_F(UsbTest, NoReplyUntilCancelled) {
  plug(kId, usb_setup([](winsim::UsbPrinterSetup& u) { u.answer_ms = -1; }));
  HANDLE h = open(kPath1);
  send(h, kRead);
  BYTE reply[16];
  OVERLAPPED ov{};
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h, reply, sizeof reply, &n, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(WaitForSingleObject(h, 150), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CancelIo(h));
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(n, 0u);
  CloseHandle(h);
}

TEST_F(UsbTest, WritesThatStallAndAPrinterPulledOut) {
  plug(kId, usb_setup([](winsim::UsbPrinterSetup& u) { u.stall_writes = true; }));
  HANDLE h = open(kPath1);
  OVERLAPPED ov{};
  DWORD n = 0;
  EXPECT_FALSE(WriteFile(h, kRead.data(), 5, &n, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  // Another process tells the printer to take bytes again: the waiting write completes.
  winsim::set_usb_printer(dir, "USB001", usb_setup([](winsim::UsbPrinterSetup& u) { u.unplug_after = 3; u.stall_writes = false; }));
  EXPECT_EQ(WaitForSingleObject(h, 1000), WAIT_OBJECT_0);
  // It took three bytes and was gone.
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(n, 3u);
  EXPECT_FALSE(WriteFile(h, kRead.data(), 5, &n, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  CloseHandle(h);
  EXPECT_EQ(open(kPath1), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  auto ev = usb_events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0]["bytes"], "1B 10 02");
  EXPECT_EQ(ev[0]["unplugged"], true);
}

TEST_F(UsbTest, APendingReadEndsWhenThePrinterIsUnplugged) {
  plug(kId, usb_setup([](winsim::UsbPrinterSetup& u) { u.answer_ms = -1; }));
  HANDLE h = open(kPath1);
  send(h, kRead);
  BYTE reply[16];
  OVERLAPPED ov{};
  DWORD n = 0;
  EXPECT_FALSE(ReadFile(h, reply, sizeof reply, &n, &ov));
  winsim::unplug_printer(dir, "USB001");
  EXPECT_EQ(WaitForSingleObject(h, 1000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  CloseHandle(h);
}

TEST_F(UsbTest, GetVersionOfTheNtFamily) {
  DWORD v = GetVersion();
  EXPECT_LT(v, 0x80000000u);
  EXPECT_EQ(v & 0xFF, 6u);
  EXPECT_EQ((v >> 8) & 0xFF, 1u);
  EXPECT_EQ(v >> 16, 7601u);
}

TEST_F(UsbTest, BrokenPrinterStates) {
  std::string file = dir + "/usb.json";
  expect_broken_state(dir, file, R"({"printers":[{"device":""}]})", "must not be empty");
  expect_broken_state(dir, file, R"({"printers":[{"device":"USB\\X","items":[1,2,3]}]})", "five numbers");
  expect_broken_state(dir, file, R"({"printers":[{"device":"USB\\X","answer_ms":-2}]})", "whole number");
  expect_broken_state(dir, file, R"({"printers":[{"device":"USB\\X","reply":"1G"}]})", "reply");
}

TEST_F(UsbTest, TheToolChangesAndListsPrinters) {
  plug(kId);
  std::string w = WINSIM_TOOL;
  auto r = run_command(w + " usb " + dir + " USB001 --answer 250 --refuse 2 --items 9,8,7,6,5 --status 0x38");
  EXPECT_EQ(r.status, 0) << r.output;
  r = run_command(w + " usb " + dir);
  EXPECT_NE(r.output.find("usb printer USB001"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("status 0x38, items 09 08 07 06 05"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("answers after 250 ms, refuses item 2"), std::string::npos) << r.output;
  r = run_command(w + " usb " + dir + " USB009 --answer never");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("no USB printer USB009"), std::string::npos) << r.output;
  r = run_command(w + " usb " + dir + " USB001 --items 1,2,3");
  EXPECT_EQ(r.status, 2);
}

}  // namespace

namespace {

// Overlapped requests that carry an event: it is reset when the request starts and set when it
// ends, whoever waits on it alone.
TEST_F(UsbTest, AnEventSignalsTheEndOfARequest) {
  plug(kId, usb_setup([](winsim::UsbPrinterSetup& u) { u.answer_ms = 200; }));
  HANDLE h = open(kPath1);
  HANDLE ev = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(ev, nullptr);
  OVERLAPPED ov{};
  ov.hEvent = ev;
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, kRead.data(), 5, &n, &ov));
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);  // done at once: set
  BYTE reply[64];
  EXPECT_FALSE(ReadFile(h, reply, sizeof reply, &n, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(WaitForSingleObject(ev, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_EQ(WaitForSingleObject(ev, 2000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(n, 5u);

  // A printer that never answers: the cancel sets the event too.
  winsim::set_usb_printer(dir, "USB001", usb_setup([](winsim::UsbPrinterSetup& u) { u.answer_ms = -1; }));
  ASSERT_TRUE(WriteFile(h, kRead.data(), 5, &n, &ov));
  EXPECT_FALSE(ReadFile(h, reply, sizeof reply, &n, &ov));
  HANDLE both[] = {ev, h};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 100), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CancelIo(h));
  EXPECT_EQ(WaitForSingleObject(ev, 1000), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

  // Closing the handle with a request still pending lets its completer go (the sanitizers see
  // that nothing is touched afterwards).
  // The request's OVERLAPPED and buffer must outlive it, as on Windows: kept for the process.
  static OVERLAPPED last{};
  static BYTE tail[64];
  last.hEvent = ev;
  ASSERT_TRUE(WriteFile(h, kRead.data(), 5, &n, &last));
  EXPECT_FALSE(ReadFile(h, tail, sizeof tail, &n, &last));
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(WaitForSingleObject(ev, 50), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(ev);
}

}  // namespace
