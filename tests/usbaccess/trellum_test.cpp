// The USB access library as its callers load it (by path, exports by name), against simulated
// USB printers: enumeration with ports and device IDs, the capacity rules, the settings commands,
// and printers that answer too much, never, refuse an item, take no bytes or are pulled out.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include "support/machine_fixture.h"

using namespace testutil;
using nlohmann::json;

namespace {

using EnumFn = int(WINAPI*)();
using ReadIdFn = BOOL(WINAPI*)(int, LPWSTR, int, LPWSTR, int);
using FileNameFn = BOOL(WINAPI*)(int, LPWSTR, int*);
using GetSettingsFn = BOOL(WINAPI*)(LPCWSTR, BYTE*, int*);
using SetItemFn = BOOL(WINAPI*)(LPCWSTR, BYTE, BYTE);
using SaveFn = BOOL(WINAPI*)(LPCWSTR, const BYTE*, int*);

const std::string kId1 = "MFG:Kelvane;MDL:KV-1000;CMD:ESC/P;";
const std::string kId2 = "MFG:Kelvane;MDL:KV-2000;CMD:ESC/P;DES:Kelvane KV-2000;";
const WStr kPath1 = W_("\\\\?\\USB#VID_1D90&PID_2060#KV1000#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");

// The ID text the library makes of a reply: the zero length byte dropped, the other one kept.
WStr id_text(const std::string& id) {
  WStr t(1, static_cast<WCHAR>(id.size() + 2));
  for (char c : id) t += static_cast<WCHAR>(c);
  return t;
}

class TrellumTest : public MachineTest {
 protected:
  HMODULE lib = nullptr;

  void load(const char* image, int bits) {
    winsim::declare_image(bits, bits == 32 ? "C:\\App\\check.exe" : "C:\\App\\check64.exe");
    std::filesystem::create_directories(c("App"));
    std::filesystem::copy_file(image, c("App/Trellum.dll"), std::filesystem::copy_options::overwrite_existing);
    lib = LoadLibraryW(W_("C:\\App\\Trellum.dll"));
    ASSERT_NE(lib, nullptr) << GetLastError();
  }
  void SetUp() override {
    MachineTest::SetUp();
    load(TRELLUM32, 32);
  }
  void TearDown() override {
    if (lib) FreeLibrary(lib);
    MachineTest::TearDown();
  }
  template <class Fn>
  Fn fn(const char* name) {
    auto f = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(lib, name)));
    if (!f) ADD_FAILURE() << "no export " << name;
    return f;
  }
  void plug(const std::string& id, winsim::UsbPrinterSetup usb = {}) {
    winsim::PlugSetup p;
    p.device_id = id;
    p.usb = usb;
    winsim::plug_printer(dir, p);
  }
  bool logged(const std::string& line) { return debug_logged(dir, line); }
  std::vector<std::string> received() {
    std::vector<std::string> out;
    for (auto& e : events_of_type(dir, "usb")) out.push_back(e["bytes"]);
    return out;
  }
  // GetPrinterSettingData into a 32-byte buffer; the result, the length and the bytes.
  struct Read {
    BOOL ok;
    int length;
    std::vector<BYTE> bytes;
  };
  Read read_settings(const WStr& port, int capacity = 32) {
    std::vector<BYTE> buf(64, 0xAA);
    int length = capacity;
    BOOL ok = fn<GetSettingsFn>("GetPrinterSettingData")(port.c_str(), buf.data(), &length);
    return {ok, length, buf};
  }
};

TEST_F(TrellumTest, TwoPrintersWithTheirPortsAndIds) {
  plug(kId1);
  plug(kId2);
  ASSERT_EQ(fn<EnumFn>("USBPrinterEnum")(), 2);
  auto read_id = fn<ReadIdFn>("ReadPrinterID");
  WCHAR port[64], id[1024];
  ASSERT_TRUE(read_id(0, port, 64, id, 1024));
  EXPECT_EQ(WStr(port), W_("USB001"));
  EXPECT_EQ(WStr(id), id_text(kId1));
  ASSERT_TRUE(read_id(1, port, 64, id, 1024));
  EXPECT_EQ(WStr(port), W_("USB002"));
  EXPECT_EQ(WStr(id), id_text(kId2));
  for (int bad : {2, -1}) {
    std::fill(std::begin(port), std::end(port), u'x');
    std::fill(std::begin(id), std::end(id), u'x');
    EXPECT_FALSE(read_id(bad, port, 64, id, 1024)) << bad;
    EXPECT_EQ(port[0], u'x');
    EXPECT_EQ(id[0], u'x');
  }
  EXPECT_TRUE(logged("Trellum: *** Filter一共找到2个项目。 ***"));
  EXPECT_TRUE(logged("Trellum: <GetUSBPrinterPortName> 查詢第0個序號的USB端口號碼。"));
  EXPECT_TRUE(logged("Trellum: <GetUSBPrinterPortName> 查詢第1個序號的USB端口號碼。"));
  EXPECT_TRUE(logged("Trellum: 已找到ID號和打印機SN號：##?#USB#VID_1D90&PID_2060#KV1002#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"));
  EXPECT_TRUE(logged("Trellum: 成功找到Port Number: 2"));
}

TEST_F(TrellumTest, CapacitiesMustExceedTheLength) {
  plug(kId1);
  ASSERT_EQ(fn<EnumFn>("USBPrinterEnum")(), 1);
  const int id_len = static_cast<int>(kId1.size() + 1);
  struct Case {
    int port_cap, id_cap;
    bool port_copied, id_copied;
  } cases[] = {{6, 1024, false, true},  {7, 1024, true, true},  {64, id_len, true, false}, {64, id_len + 1, true, true},
               {0, 0, false, false},    {-5, -5, false, false}};
  for (auto& k : cases) {
    SCOPED_TRACE(std::to_string(k.port_cap) + " " + std::to_string(k.id_cap));
    std::vector<WCHAR> port(64, u'x'), id(1024, u'x');
    EXPECT_TRUE(fn<ReadIdFn>("ReadPrinterID")(0, port.data(), k.port_cap, id.data(), k.id_cap));
    EXPECT_EQ(port[0] == u'U', k.port_copied);
    EXPECT_EQ(id[0] != u'x', k.id_copied);
    // Nothing lands past what the capacity allows.
    EXPECT_EQ(port[7], u'x');
    EXPECT_EQ(id[id_len + 1], u'x');
  }
  // The device path: the needed capacity when it does not fit.
  auto file_name = fn<FileNameFn>("GetPrinterFileName");
  WCHAR path[128];
  int cap = 10;
  EXPECT_FALSE(file_name(0, path, &cap));
  EXPECT_EQ(cap, static_cast<int>(kPath1.size() + 1));
  EXPECT_TRUE(file_name(0, path, &cap));
  EXPECT_EQ(WStr(path), kPath1);
  cap = 128;
  EXPECT_FALSE(file_name(1, path, &cap));
  EXPECT_EQ(cap, 128);
}

TEST_F(TrellumTest, ReadsAndWritesSettingsItems) {
  plug(kId1, usb_setup([](winsim::UsbPrinterSetup& u) { u.items = std::vector<unsigned>{1, 2, 3, 4, 5}; }));
  plug(kId2);
  Read r = read_settings(W_("USB001"));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.length, 5);
  EXPECT_EQ(std::vector<BYTE>(r.bytes.begin(), r.bytes.begin() + 6), (std::vector<BYTE>{1, 2, 3, 4, 5, 0xAA}));
  EXPECT_TRUE(fn<SetItemFn>("SetPrinterSettingItem")(W_("USB001"), 3, 1));
  EXPECT_EQ(received(), (std::vector<std::string>{"1B 10 02 00 05", "1B 10 03 00 03 01"}));
  r = read_settings(W_("USB001"));
  EXPECT_EQ(r.bytes[3], 1);
  // Raw bytes go out as they are.
  const BYTE raw[] = {0x1B, 0x10, 0x03, 0x00, 0x00, 0x07};
  int count = 6;
  EXPECT_TRUE(fn<SaveFn>("SavePrinterSettingData")(W_("USB002"), raw, &count));
  EXPECT_EQ(received().back(), "1B 10 03 00 00 07");
}

TEST_F(TrellumTest, APortNoPrinterHasLeavesTheBufferAlone) {
  plug(kId1);
  for (const WStr& port : {WStr(W_("USB009")), WStr(W_("usb001"))}) {
    Read r = read_settings(port);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.length, 32);
    EXPECT_EQ(r.bytes[0], 0xAA);
  }
  EXPECT_FALSE(fn<SetItemFn>("SetPrinterSettingItem")(W_("USB009"), 3, 1));
  EXPECT_TRUE(received().empty());
  // A length of zero or less is refused before anything is sent.
  EXPECT_FALSE(read_settings(W_("USB001"), 0).ok);
  EXPECT_FALSE(read_settings(W_("USB001"), -4).ok);
  EXPECT_TRUE(received().empty());
}

TEST_F(TrellumTest, ALongReplyIsCutToTheBuffer) {
  plug(kId1, usb_setup([](winsim::UsbPrinterSetup& u) { u.reply_length = 40; }));
  Read r = read_settings(W_("USB001"));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.length, 32);
  EXPECT_EQ(r.bytes[32], 0xAA);
}

TEST_F(TrellumTest, APrinterThatDoesNotAnswer) {
  plug(kId1, usb_setup([](winsim::UsbPrinterSetup& u) { u.answer_ms = -1; }));
  SetLastError(kMarker);
  Read r = read_settings(W_("USB001"));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.length, 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_EQ(r.bytes[0], 0xAA);
  EXPECT_TRUE(logged("Trellum: ReadFile 已返回！Ret = 0"));
  EXPECT_TRUE(logged("Trellum: Read WAIT_TIMEOUT: 0 字節。"));
}

TEST_F(TrellumTest, ARefusedItemStaysAsItWas) {
  plug(kId1, usb_setup([](winsim::UsbPrinterSetup& u) { u.refuse_item = 3; u.items = std::vector<unsigned>{1, 2, 3, 4, 5}; }));
  EXPECT_TRUE(fn<SetItemFn>("SetPrinterSettingItem")(W_("USB001"), 3, 9));  // the bytes went out
  EXPECT_EQ(read_settings(W_("USB001")).bytes[3], 4);
}

TEST_F(TrellumTest, WritesThatAreNeverTakenTimeOutFiveTimes) {
  plug(kId1, usb_setup([](winsim::UsbPrinterSetup& u) { u.stall_writes = true; }));
  SetLastError(kMarker);
  EXPECT_FALSE(fn<SetItemFn>("SetPrinterSettingItem")(W_("USB001"), 3, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
  EXPECT_TRUE(logged("Trellum: WriteFile<5> 已返回！Ret = 0"));
  EXPECT_FALSE(logged("Trellum: WriteFile<6> 已返回！Ret = 0"));
  EXPECT_TRUE(logged("Trellum: Write ERROR_TIMEOUT: 0 / 6 字節。"));
  EXPECT_TRUE(received().empty());
}

TEST_F(TrellumTest, APrinterPulledOutInTheMiddle) {
  plug(kId1, usb_setup([](winsim::UsbPrinterSetup& u) { u.unplug_after = 2; }));
  EXPECT_FALSE(fn<SetItemFn>("SetPrinterSettingItem")(W_("USB001"), 3, 1));
  EXPECT_EQ(received(), (std::vector<std::string>{"1B 10"}));
  EXPECT_TRUE(logged("Trellum: Write Error UnKnow: 2 / 6 字節。"));
  EXPECT_EQ(fn<EnumFn>("USBPrinterEnum")(), 0);
}

TEST_F(TrellumTest, DeviceIdsTooLongForTheBuffer) {
  plug(kId1 + "DES:" + std::string(1100, 'x') + ";");
  ASSERT_EQ(fn<EnumFn>("USBPrinterEnum")(), 1);
  WCHAR port[64], id[2048];
  id[0] = u'x';
  EXPECT_TRUE(fn<ReadIdFn>("ReadPrinterID")(0, port, 64, id, 2048));
  EXPECT_EQ(WStr(port), W_("USB001"));
  EXPECT_EQ(id[0], u'x');  // no ID text from a reply cut short
  EXPECT_TRUE(logged("Trellum: USBPRINT_GET_1284_ID ERROR : 234"));
}

TEST_F(TrellumTest, ThePathFromTheRegistryWhenSetupGivesNone) {
  plug(kId1);
  winsim::add_fault("SetupDiCreateDeviceInterfaceW", 0, ERROR_ACCESS_DENIED);
  ASSERT_EQ(fn<EnumFn>("USBPrinterEnum")(), 1);
  WCHAR path[128], port[64], id[1024];
  int cap = 128;
  ASSERT_TRUE(fn<FileNameFn>("GetPrinterFileName")(0, path, &cap));
  EXPECT_EQ(WStr(path), W_("\\\\?\\USB#VID_1D90&PID_2060#KV1000#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"));
  ASSERT_TRUE(fn<ReadIdFn>("ReadPrinterID")(0, port, 64, id, 1024));
  EXPECT_EQ(WStr(port), W_("USB001"));
  EXPECT_EQ(WStr(id), id_text(kId1));
}

TEST_F(TrellumTest, TheSixtyFourBitBuildHasTheSameExports) {
  FreeLibrary(lib);
  load(TRELLUM64, 64);
  plug(kId1);
  for (const char* name : {"USBPrinterEnum", "ReadPrinterID", "GetPrinterFileName", "GetPrinterSettingData",
                           "SetPrinterSettingItem", "SavePrinterSettingData"})
    EXPECT_NE(GetProcAddress(lib, name), nullptr) << name;
  EXPECT_EQ(fn<EnumFn>("USBPrinterEnum")(), 1);
  EXPECT_TRUE(read_settings(W_("USB001")).ok);
}

// Two printers plugged in by the tool; a 32-bit program binds the library inside the machine.
TEST_F(TrellumTest, AProgramListsReadsAndWritesThroughTheLibrary) {
  std::string w = WINSIM_TOOL;
  ASSERT_EQ(run_command(w + " plug " + dir + " --device-id '" + kId1 + "' --items 1,0,2,0,1").status, 0);
  ASSERT_EQ(run_command(w + " plug " + dir + " --device-id '" + kId2 + "'").status, 0);
  std::filesystem::copy_file(TRELLUM_CHECK, c("App/trellumcheck.exe"));
  CommandResult r = run_command(w + " run " + dir + " 'C:\\App\\trellumcheck.exe'");
  ASSERT_EQ(r.status, 0) << r.output;
  std::string expected = "printers 2\n"
                         "USB001 [$" + kId1 + "]\n"
                         "USB002 [" + std::string(1, static_cast<char>(kId2.size() + 2)) + kId2 + "]\n"
                         "settings 5: 1 0 2 0 1\n"
                         "write item 3 = 1: 1\n"
                         "settings 5: 1 0 2 1 1\n";
  EXPECT_EQ(r.output, expected);
}

}  // namespace
