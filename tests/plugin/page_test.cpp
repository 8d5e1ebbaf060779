// The settings page's operations against a simulated printer: the printer-data values and their
// fallbacks, the driver's settings file, the offset and compression rules at and past their
// limits, the speed/resolution in the default devmode, and the five device items read from and
// saved to a simulated USB printer through the 64-bit Trellum.dll, with every message box.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "common/handles.h"
#include "plugin/MyUtils.h"
#include "plugin/debug.h"
#include "plugin/intrface.h"
#include "plugin/oemui.h"
#include "plugin/resource.h"
#include "support/machine_fixture.h"
#include "win32/spooler.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

using namespace testutil;
using nlohmann::json;

namespace {

const std::string kPrinter = "Kelvane KV-1000";
const WStr kPrinterW = W_("Kelvane KV-1000");
const std::string kDriverDir = "Windows/System32/spool/DRIVERS/x64/3/";

// The page's controls as a dialog keeps them; setting an edit's text raises its EN_CHANGE.
struct FakePage : TPageControls {
  std::map<int, WStr> texts;
  std::map<int, std::vector<WStr>> combos;
  std::map<int, int> selection;
  std::map<int, BOOL> enabled, checked;
  std::set<int> absent;

  HWND Window() override { return nullptr; }
  void SetText(int id, LPCWSTR text) override {
    texts[id] = text;
    if (id == IDC_OFFSET_X) MyOffsetEdit(*this, IMAGE_OFFSET_X);
    if (id == IDC_OFFSET_Y) MyOffsetEdit(*this, IMAGE_OFFSET_Y);
    if (id == IDC_COMPRESS) MyCompressionEdit(*this);
  }
  WStr GetText(int id, int cchMax) override { return texts[id].substr(0, static_cast<size_t>(cchMax)); }
  bool HasControl(int id) override { return !absent.count(id); }
  void AddComboItem(int id, LPCWSTR text) override { combos[id].push_back(text); }
  void SelectComboItem(int id, int index) override {
    if (index >= 0 && static_cast<size_t>(index) < combos[id].size()) selection[id] = index;
  }
  int GetComboSelection(int id) override { return selection.count(id) ? selection[id] : -1; }
  void EnableControl(int id, BOOL enable) override { enabled[id] = enable; }
  void CheckButton(int id, BOOL check) override { checked[id] = check; }
  // The user picks a combo item: the page hears CBN_SELCHANGE.
  void Choose(int item, int index) {
    selection[IDC_ITEM_COMBO0 + item] = index;
    MyItemChange(*this, item);
  }
  void Type(int id, const WStr& text) { SetText(id, text.c_str()); }
};

class PageTest : public MachineTest {
 protected:
  FakePage page;

  void SetUp() override {
    MachineTest::SetUp();
    winsim::declare_image(64, "C:\\App\\printui.exe");
    std::filesystem::create_directories(c("App"));
    std::filesystem::copy_file(TRELLUM64, c("App/Trellum.dll"), std::filesystem::copy_options::overwrite_existing);
    DllMain(GetModuleHandleW(nullptr), DLL_PROCESS_ATTACH, nullptr);
    dorvel::DebugLevel = dorvel::DBG_VERBOSE;
    winsim::DriverSetup d;
    d.name = kPrinter;
    winsim::add_driver(dir, d);
    MySetThreadPrinter(GetCurrentThreadId(), kPrinterW.c_str());
  }
  void TearDown() override {
    MyDeleteThreadPrinter(GetCurrentThreadId());
    dorvel::DebugLevel = dorvel::DBG_WARNING;
    MachineTest::TearDown();
  }

  // The printer on a USB port of a plugged-in printer (USB001) or on another port.
  void add_usb_printer(winsim::UsbPrinterSetup usb = {}, bool offline = false) {
    winsim::PlugSetup p;
    p.device_id = "MFG:Kelvane;MDL:KV-1000;CMD:ESC/P;";
    p.usb = usb;
    winsim::plug_printer(dir, p);
    add_on_port("USB001", offline);
  }
  void add_on_port(const std::string& port, bool offline = false) {
    winsim::PrinterSetup s;
    s.name = kPrinter;
    s.driver = kPrinter;
    s.port = port;
    s.offline = offline;
    winsim::add_printer(dir, s);
  }
  void set_dependent_files(const std::vector<std::string>& files) {
    std::string path = dir + "/spooler.json";
    json j = json::parse(read_file(path));
    for (auto& d : j["drivers"])
      if (d["name"] == kPrinter) d["dependent"] = files;
    write_file(path, j.dump());
  }
  void write_settings(const std::string& name, const std::string& text) { write_file(c(kDriverDir + name), text); }

  unique_printer open_admin() {
    WStr name = kPrinterW;
    WCHAR raw[] = W_("RAW");
    PRINTER_DEFAULTSW defaults = {raw, nullptr, PRINTER_ALL_ACCESS};
    HANDLE h = nullptr;
    EXPECT_TRUE(OpenPrinterW(name.data(), &h, &defaults));
    return unique_printer(h);
  }
  void set_data(const WStr& value, DWORD type, const std::vector<BYTE>& bytes) {
    unique_printer p = open_admin();
    WStr name = value;
    std::vector<BYTE> copy = bytes;
    ASSERT_EQ(SetPrinterDataW(p.get(), name.data(), type, copy.data(), static_cast<DWORD>(copy.size())), 0u);
  }
  void set_text(const WStr& value, const WStr& text) {
    std::vector<BYTE> bytes(text.size() * 2);
    if (!text.empty()) std::memcpy(bytes.data(), text.data(), bytes.size());
    set_data(value, REG_SZ, bytes);
  }
  // A stored value as its text; "<none>" when missing.
  std::string stored(const WStr& value) {
    unique_printer p = open_admin();
    WStr name = value;
    BYTE buf[256];
    DWORD type = 0, needed = 0;
    if (GetPrinterDataW(p.get(), name.data(), &type, buf, sizeof buf, &needed) != 0) return "<none>";
    EXPECT_EQ(type, REG_SZ);
    return utf8(WStr(reinterpret_cast<const WCHAR*>(buf), needed / 2));
  }

  std::vector<json> events(const std::string& type) { return events_of_type(dir, type); }
  bool logged(const std::string& text) { return debug_logged(dir, text); }
  // The message boxes shown, as "caption|text|style".
  std::vector<std::string> boxes() {
    std::vector<std::string> out;
    for (auto& e : events("messagebox"))
      out.push_back(e["caption"].get<std::string>() + "|" + e["text"].get<std::string>() + "|" +
                    std::to_string(e["style"].get<unsigned>()));
    return out;
  }
  std::vector<std::string> usb_bytes() {
    std::vector<std::string> out;
    for (auto& e : events("usb")) out.push_back(e["bytes"]);
    return out;
  }
  INT* image() { return MyGetThreadImageValues(); }
  std::vector<INT> values(BOOL selected) {
    INT* v = MyGetThreadItemValues(selected);
    return v ? std::vector<INT>(v, v + 5) : std::vector<INT>{};
  }
};

// ---- stored values and the settings file --------------------------------------------------------

TEST_F(PageTest, StoredValuesFallBackToTheSettingsFileThenZero) {
  add_on_port("LPT1:");
  set_dependent_files({"UNIDRV.HLP", "KV1000_Setting.ini"});
  write_settings("KV1000_Setting.ini", "[ImageSetting]\r\nMoveXMMTenth=-12\r\nCompressX=88\r\n");
  set_text(W_("MoveYMMTenth"), W_("25"));
  unique_printer p = open_admin();
  EXPECT_EQ(MyReadImageValue(p.get(), W_("MoveYMMTenth")), 25);
  EXPECT_EQ(MyReadImageValue(p.get(), W_("MoveXMMTenth")), -12);
  EXPECT_TRUE(logged("GetPrinterData Fail<MoveXMMTenth>: 2"));
  std::string ini = "C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\KV1000_Setting.ini";
  EXPECT_TRUE(logged("UIDLL:  -> Prompt.2 MyGetDatValue: 读配置文件(" + ini + ")返回: ImageSetting -> MoveXMMTenth 值 = -12"));
  // A value of another type is no number: the settings file's.
  set_data(W_("CompressX"), REG_DWORD, {0x19, 0, 0, 0});
  EXPECT_EQ(MyReadImageValue(p.get(), W_("CompressX")), 88);
  EXPECT_TRUE(logged("GetPrinterData Fail<CompressX>: 1804"));
  // Texts: leading digits with a sign; no digits 0; longer than the 64-byte buffer: the fallback.
  struct Case {
    WStr text;
    INT value;
  } cases[] = {{W_("-30"), -30}, {W_("17abc"), 17}, {W_("abc"), 0}, {W_(""), 0}, {W_("99999999999"), 2147483647},
               {WStr(40, u'7'), -12}};
  for (auto& k : cases) {
    set_text(W_("MoveXMMTenth"), k.text);
    EXPECT_EQ(MyReadImageValue(p.get(), W_("MoveXMMTenth")), k.value) << utf8(k.text);
  }
  // Without the file: 0.
  std::filesystem::remove(c(kDriverDir + "KV1000_Setting.ini"));
  EXPECT_EQ(MyReadImageValue(p.get(), W_("MoveYMMTenth")), 25);
  set_dependent_files({});
  EXPECT_EQ(MyReadImageValue(p.get(), W_("CompressX")), 0);
}

TEST_F(PageTest, SettingsFileIsFoundByItsCaseSensitiveMarkAndGatesThePage) {
  add_on_port("LPT1:");
  WCHAR buf[260];
  // No settings file: version 10, the page works.
  EXPECT_EQ(GetUIVersion(), 10);
  set_dependent_files({"abc_setting.ini"});
  write_settings("abc_setting.ini", "[UISettings]\r\nUIVersion=9\r\n");
  std::fill(std::begin(buf), std::end(buf), u'x');
  ASSERT_TRUE(MyGetIniFileName(kPrinterW.c_str(), buf, 260));
  EXPECT_EQ(WStr(buf), W_(""));
  EXPECT_EQ(GetUIVersion(), 10);
  set_dependent_files({"abc_setting.ini", "ABC_Setting.ini"});
  write_settings("ABC_Setting.ini", "[UISettings]\r\nUIVersion=9\r\n");
  ASSERT_TRUE(MyGetIniFileName(kPrinterW.c_str(), buf, 260));
  const std::string ini = "C:\\Windows\\system32\\spool\\DRIVERS\\x64\\3\\ABC_Setting.ini";
  EXPECT_EQ(utf8(buf), ini);
  EXPECT_EQ(GetUIVersion(), 9);
  EXPECT_TRUE(logged("UIDLL:  -> 注意，<GetUIVersion> iVersion = 9, Setting file = " + ini));
  // The page reacts to nothing, not even its initialisation.
  EXPECT_EQ(OEMPrinterPageProc(nullptr, 0x0110, 0, 0), FALSE);
  // A small buffer gets the name cut, never more.
  std::fill(std::begin(buf), std::end(buf), u'x');
  ASSERT_TRUE(MyGetIniFileName(kPrinterW.c_str(), buf, 5));
  EXPECT_EQ(WStr(buf), W_("C:\\W"));
  EXPECT_EQ(buf[5], u'x');
  // An empty or broken file: version 10.
  write_settings("ABC_Setting.ini", "");
  EXPECT_EQ(GetUIVersion(), 10);
  write_settings("ABC_Setting.ini", std::string("\0\xFF[UISettings\nUIVersion", 24));
  EXPECT_EQ(GetUIVersion(), 10);
  // A huge one is read whole: its last section counts.
  write_settings("ABC_Setting.ini", std::string(1 << 20, ';') + "\r\n[UISettings]\r\nUIVersion=9\r\n");
  EXPECT_EQ(GetUIVersion(), 9);
  // A printer that does not open leaves the buffer as it was.
  std::fill(std::begin(buf), std::end(buf), u'x');
  EXPECT_FALSE(MyGetIniFileName(W_("No such printer"), buf, 260));
  EXPECT_EQ(buf[0], u'x');
}

TEST_F(PageTest, LoadShowsStoredValuesAndTheDefaults) {
  add_on_port("LPT1:");
  set_text(W_("MoveXMMTenth"), W_("25"));
  set_text(W_("MoveYMMTenth"), W_("-130"));
  ASSERT_TRUE(OEMLoadControlResource(page));
  EXPECT_EQ(utf8(page.texts[IDC_OFFSET_X]), "0.25");
  EXPECT_EQ(utf8(page.texts[IDC_OFFSET_Y]), "-1.30");
  // Neither data nor file: compression loads as 0 ("00"), which the edit rule makes 100, stored.
  EXPECT_EQ(utf8(page.texts[IDC_COMPRESS]), "100");
  EXPECT_EQ(stored(W_("CompressX")), "100");
  EXPECT_EQ(image()[IMAGE_OFFSET_X], 25);
  EXPECT_EQ(image()[IMAGE_OFFSET_Y], -130);
  EXPECT_EQ(image()[IMAGE_COMPRESS], 100);
  EXPECT_EQ(page.combos[IDC_RESOLUTION], (std::vector<WStr>{W_("Normal 180*180 DPI"), W_("High speed 120*180 DPI")}));
  EXPECT_EQ(page.selection[IDC_RESOLUTION], 0);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(page.combos[IDC_ITEM_COMBO0 + i], (std::vector<WStr>{W_("OFF"), W_("ON")}));
    EXPECT_EQ(page.texts[IDC_ITEM_MARK0 + i], W_(""));
    EXPECT_EQ(page.texts[IDC_ITEM_TEXT0 + i], W_(""));
  }
  std::vector<int> shown;
  for (int i = 0; i < 5; ++i) shown.push_back(page.selection[IDC_ITEM_COMBO0 + i]);
  EXPECT_EQ(shown, (std::vector<int>{0, 1, 0, 0, 1}));
  EXPECT_EQ(values(TRUE), (std::vector<INT>{0, 1, 0, 0, 1}));
  EXPECT_EQ(values(FALSE), (std::vector<INT>{0, 1, 0, 0, 1}));
  EXPECT_TRUE(page.checked[IDC_UNIT_CM]);
  EXPECT_FALSE(page.checked[IDC_UNIT_INCH]);
  EXPECT_TRUE(logged("準備加載偏移量到界面顯示：25, -130"));
}

// ---- offsets and compression ------------------------------------------------------------------

// The page as its dialog: made from template 256 of the module, its procedure wired to the
// operations, and left as the template has it when the gate says no.
class DialogPageTest : public PageTest {
 protected:
  HWND dlg = nullptr;
  void TearDown() override {
    if (dlg) DestroyWindow(dlg);
    PageTest::TearDown();
  }
  void open() {
    dlg = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_PRINTER_PAGE), nullptr, OEMPrinterPageProc, 0);
    ASSERT_NE(dlg, nullptr);
  }
  std::string text(int id) {
    WCHAR buf[128] = {};
    GetDlgItemTextW(dlg, id, buf, 128);
    return utf8(buf);
  }
  LRESULT send(int id, UINT msg, WPARAM wp = 0, LPARAM lp = 0) { return SendDlgItemMessageW(dlg, id, msg, wp, lp); }
  void notify(int id, WORD code) {
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
  }
};

TEST_F(DialogPageTest, MessagesReachTheOperations) {
  add_on_port("LPT1:");
  set_text(W_("MoveXMMTenth"), W_("25"));
  ASSERT_NO_FATAL_FAILURE(open());
  EXPECT_EQ(text(IDC_OFFSET_X), "0.25");
  EXPECT_EQ(text(IDC_ITEM_TEXT0 + 1), "");
  EXPECT_EQ(text(IDC_ITEM_MARK0 + 1), "");
  EXPECT_EQ(send(IDC_ITEM_COMBO0 + 1, CB_GETCOUNT), 2);
  EXPECT_EQ(send(IDC_ITEM_COMBO0 + 1, CB_GETCURSEL), 1);
  EXPECT_EQ(send(IDC_RESOLUTION, CB_GETCURSEL), 0);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dlg, IDC_SAVE_PRINTER)));
  EXPECT_TRUE(logged("WM_INITDIALOG >>>>>>>>>>>>>>>"));

  // The up arrow of the X offset, named by the scroll bar window it comes from.
  SendMessageW(dlg, WM_VSCROLL, MAKEWPARAM(SB_LINEUP, 0), reinterpret_cast<LPARAM>(GetDlgItem(dlg, IDC_OFFSET_X_SPIN)));
  EXPECT_EQ(stored(W_("MoveXMMTenth")), "26");
  EXPECT_EQ(text(IDC_OFFSET_X), "0.26");
  // An item changed by the user: marked, and the save button takes input.
  send(IDC_ITEM_COMBO0 + 2, CB_SETCURSEL, 1);
  notify(IDC_ITEM_COMBO0 + 2, CBN_SELCHANGE);
  EXPECT_EQ(text(IDC_ITEM_MARK0 + 2), "*");
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, IDC_SAVE_PRINTER)));
  // Typing into the compression field, and the inch unit.
  SetDlgItemTextW(dlg, IDC_COMPRESS, W_("75"));
  EXPECT_EQ(stored(W_("CompressX")), "75");
  notify(IDC_UNIT_INCH, BN_CLICKED);
  EXPECT_EQ(text(IDC_OFFSET_X_RANGE), "[ -1.00 ... 1.00 ]");
  EXPECT_EQ(text(IDC_OFFSET_X), "0.10");
}

TEST_F(DialogPageTest, AGatedPageKeepsItsTemplate) {
  add_on_port("LPT1:");
  set_dependent_files({"KV_Setting.ini"});
  write_settings("KV_Setting.ini", "[UISettings]\r\nUIVersion=9\r\n");
  ASSERT_NO_FATAL_FAILURE(open());
  EXPECT_EQ(text(IDC_ITEM_TEXT0 + 1), "102      ");
  EXPECT_EQ(text(IDC_ITEM_MARK0 + 1), "v");
  EXPECT_EQ(send(IDC_ITEM_COMBO0 + 1, CB_GETCOUNT), 0);
  SetDlgItemTextW(dlg, IDC_COMPRESS, W_("75"));
  EXPECT_EQ(stored(W_("CompressX")), "<none>");
  DestroyWindow(std::exchange(dlg, nullptr));

  // A thread the core driver UI never named a printer for: the same, with the assertion line.
  MyDeleteThreadPrinter(GetCurrentThreadId());
  write_settings("KV_Setting.ini", "[UISettings]\r\nUIVersion=10\r\n");
  ASSERT_NO_FATAL_FAILURE(open());
  EXPECT_EQ(text(IDC_ITEM_TEXT0 + 1), "102      ");
  auto lines = debug_lines(dir);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("RIP MyUtils.cpp (", 0) == 0; }));
}

TEST_F(PageTest, OffsetStepsStopAtTheirLimits) {
  add_on_port("LPT1:");
  set_text(W_("MoveXMMTenth"), W_("25"));
  ASSERT_TRUE(OEMLoadControlResource(page));
  MyOffsetStep(page, IMAGE_OFFSET_X, TRUE);
  EXPECT_EQ(stored(W_("MoveXMMTenth")), "26");
  EXPECT_EQ(stored(W_("UnitType")), "1");
  EXPECT_EQ(utf8(page.texts[IDC_OFFSET_X]), "0.26");
  struct Case {
    INT from;
    bool up;
    int steps;
    INT to;
  } cases[] = {{253, true, 2, 254}, {254, true, 1, 254}, {-254, false, 1, -254}, {-253, false, 3, -254}, {0, false, 1, -1}};
  for (auto& k : cases) {
    image()[IMAGE_OFFSET_Y] = k.from;
    for (int i = 0; i < k.steps; ++i) MyOffsetStep(page, IMAGE_OFFSET_Y, k.up);
    EXPECT_EQ(image()[IMAGE_OFFSET_Y], k.to) << k.from;
    EXPECT_EQ(stored(W_("MoveYMMTenth")), std::to_string(k.to)) << k.from;
  }
  // In inches one step is 0.01 inch: from 0 the step gives 3, shows 0.01, and the edit rule
  // turns that into 2.
  image()[IMAGE_OFFSET_X] = 0;
  MyUnitChange(page, UNIT_INCH);
  EXPECT_EQ(utf8(page.texts[IDC_OFFSET_X_RANGE]), "[ -1.00 ... 1.00 ]");
  MyOffsetStep(page, IMAGE_OFFSET_X, TRUE);
  EXPECT_EQ(utf8(page.texts[IDC_OFFSET_X]), "0.01");
  EXPECT_EQ(image()[IMAGE_OFFSET_X], 2);
  EXPECT_EQ(stored(W_("MoveXMMTenth")), "2");
  MyUnitChange(page, UNIT_CM);
  EXPECT_EQ(utf8(page.texts[IDC_OFFSET_X_RANGE]), "[ -2.54 ... 2.54 ]");
  EXPECT_EQ(utf8(page.texts[IDC_OFFSET_X]), "0.02");
}

TEST_F(PageTest, TypedOffsetsAndCompressionsEndInRange) {
  add_on_port("LPT1:");
  ASSERT_TRUE(OEMLoadControlResource(page));
  struct Case {
    int id;
    WStr text;
    std::string value;
  } cases[] = {
      {IDC_OFFSET_X, W_("1.5"), "150"}, {IDC_OFFSET_X, W_("3"), "0"},     {IDC_OFFSET_X, W_("2.54"), "254"},
      {IDC_OFFSET_X, W_("1.2.3"), "0"}, {IDC_OFFSET_X, W_("x"), "0"},     {IDC_OFFSET_X, W_("-0.5"), "-50"},
      {IDC_OFFSET_X, W_("5-"), "0"},    {IDC_OFFSET_X, W_("-"), "0"},     {IDC_OFFSET_X, W_("99999999999999999999"), "0"},
      {IDC_COMPRESS, W_("75"), "75"},   {IDC_COMPRESS, W_("7"), "75"},    {IDC_COMPRESS, W_("150"), "100"},
      {IDC_COMPRESS, W_("50"), "50"},   {IDC_COMPRESS, W_("30"), "100"},  {IDC_COMPRESS, W_("60"), "60"},
      {IDC_COMPRESS, W_("7a"), "100"},  {IDC_COMPRESS, W_("99999999999999"), "100"},
  };
  for (auto& k : cases) {
    page.Type(k.id, k.text);
    EXPECT_EQ(stored(k.id == IDC_COMPRESS ? W_("CompressX") : W_("MoveXMMTenth")), k.value) << utf8(k.text);
  }
  EXPECT_TRUE(logged("有效输入 3 = 300"));
  EXPECT_TRUE(logged("有效输入 30 = 30"));
  // Compression steps stop at 50 and 100.
  image()[IMAGE_COMPRESS] = 50;
  MyCompressionStep(page, FALSE);
  EXPECT_EQ(stored(W_("CompressX")), "50");
  EXPECT_EQ(utf8(page.texts[IDC_COMPRESS]), "50");
  image()[IMAGE_COMPRESS] = 100;
  MyCompressionStep(page, TRUE);
  EXPECT_EQ(stored(W_("CompressX")), "100");
}

TEST_F(PageTest, ResolutionGoesIntoTheDefaultDevmodeOnce) {
  add_on_port("LPT1:");
  ASSERT_EQ(MyGetPrinterResolution(kPrinterW.c_str()), 180);
  page.selection[IDC_RESOLUTION] = 1;
  OemPrinterResoutionChange(page);
  EXPECT_EQ(MyGetPrinterResolution(kPrinterW.c_str()), 120);
  EXPECT_TRUE(logged("驅動程序分辨率（180）將改爲：120"));
  size_t lines = events("debug").size();
  OemPrinterResoutionChange(page);
  auto after = events("debug");
  EXPECT_FALSE(std::any_of(after.begin() + static_cast<long>(lines), after.end(),
                           [](const json& e) { return e["text"] == "驅動程序分辨率（120）將改爲：120"; }));
  // The page shows the high-speed choice on load now.
  FakePage again;
  ASSERT_TRUE(OEMLoadControlResource(again));
  EXPECT_EQ(again.selection[IDC_RESOLUTION], 1);
  page.selection[IDC_RESOLUTION] = 0;
  OemPrinterResoutionChange(page);
  EXPECT_EQ(MyGetPrinterResolution(kPrinterW.c_str()), 180);
}

// ---- device items -----------------------------------------------------------------------------

const std::string kErrorCaption = "Error";
const unsigned kIconError = 0x10, kIconInformation = 0x40;
std::string box(const std::string& caption, const std::string& text, unsigned style) {
  return caption + "|" + text + "|" + std::to_string(style);
}

TEST_F(PageTest, ReadShowsThePrintersItems) {
  add_usb_printer([] {
    winsim::UsbPrinterSetup u;
    u.items = std::vector<unsigned>{0, 1, 0, 1, 1};
    u.reply_length = 6;
    return u;
  }());
  ASSERT_TRUE(OEMLoadControlResource(page));
  page.Choose(2, 1);
  EXPECT_EQ(page.texts[IDC_ITEM_MARK0 + 2], W_("*"));
  EXPECT_TRUE(page.enabled[IDC_SAVE_PRINTER]);
  MyReadPrinterSetting(page);
  EXPECT_EQ(values(TRUE), (std::vector<INT>{0, 1, 0, 1, 1}));
  EXPECT_EQ(values(FALSE), (std::vector<INT>{0, 1, 0, 1, 1}));
  std::vector<int> shown;
  for (int i = 0; i < 5; ++i) shown.push_back(page.selection[IDC_ITEM_COMBO0 + i]);
  EXPECT_EQ(shown, (std::vector<int>{0, 1, 0, 1, 1}));
  EXPECT_FALSE(page.enabled[IDC_SAVE_PRINTER]);
  EXPECT_EQ(page.texts[IDC_ITEM_MARK0 + 2], W_(""));
  EXPECT_TRUE(logged("打印机返回6个字节：00 01 00 01 01 00 "));
  EXPECT_EQ(boxes(), (std::vector<std::string>{box("OK", "Read settings from printer successfully.", kIconInformation)}));
  EXPECT_EQ(usb_bytes(), (std::vector<std::string>{"1B 10 02 00 05"}));
}

TEST_F(PageTest, ReadFailuresSayWhatWentWrongAndKeepThePage) {
  struct Case {
    std::string name;
    winsim::UsbPrinterSetup usb;
    std::string text;
  };
  winsim::UsbPrinterSetup shortReply, silent;
  shortReply.reply_length = 4;
  silent.answer_ms = -1;
  std::vector<Case> cases = {{"short", shortReply, "The data returned from the printer is incorrect!"},
                             {"silent", silent, "Failed to read printer settings:1460"}};
  add_usb_printer();
  ASSERT_TRUE(OEMLoadControlResource(page));
  page.Choose(0, 1);
  for (auto& k : cases) {
    SCOPED_TRACE(k.name);
    winsim::set_usb_printer(dir, "USB001", k.usb);
    size_t before = boxes().size();
    MyReadPrinterSetting(page);
    auto b = boxes();
    ASSERT_EQ(b.size(), before + 1);
    EXPECT_EQ(b.back(), box(kErrorCaption, k.text, kIconError));
    EXPECT_EQ(values(TRUE), (std::vector<INT>{1, 1, 0, 0, 1}));
    EXPECT_EQ(values(FALSE), (std::vector<INT>{0, 1, 0, 0, 1}));
    EXPECT_TRUE(page.enabled[IDC_SAVE_PRINTER]);
  }
  EXPECT_TRUE(logged("Failed to read printer settings:1460"));
}

TEST_F(PageTest, OnlyAnOnlineUsbPrinterIsAsked) {
  add_usb_printer({}, true);
  MyReadPrinterSetting(page);
  MySavePrinterSetting(page);
  const std::string offline =
      "Printer offline, connect to the printer with the corresponding interface and turn on the power supply!";
  EXPECT_EQ(boxes(), (std::vector<std::string>{box(kErrorCaption, offline, kIconError), box(kErrorCaption, offline, kIconError)}));
  winsim::set_printer_offline(dir, kPrinter, false);
  winsim::delete_printer(dir, kPrinter);
  // The port must begin with "USB" itself.
  winsim::add_port(dir, "NUSB001");
  for (std::string port : {"LPT1:", "NUSB001"}) {
    add_on_port(port);
    MyReadPrinterSetting(page);
    EXPECT_EQ(boxes().back(),
              box(kErrorCaption,
                  "Read only data support the USB interface, please connect the printer driver installed after the "
                  "operation using the corresponding driver!",
                  kIconError))
        << port;
    winsim::delete_printer(dir, kPrinter);
  }
  EXPECT_TRUE(usb_bytes().empty());
}

TEST_F(PageTest, SaveWritesOnlyChangedItemsAndCountsFailures) {
  add_usb_printer();
  ASSERT_TRUE(OEMLoadControlResource(page));
  // Nothing changed: the button goes off, nothing is said or sent.
  page.enabled[IDC_SAVE_PRINTER] = TRUE;
  MySavePrinterSetting(page);
  EXPECT_FALSE(page.enabled[IDC_SAVE_PRINTER]);
  EXPECT_TRUE(boxes().empty());
  EXPECT_TRUE(usb_bytes().empty());

  // A printer that takes no bytes: every write fails.
  winsim::UsbPrinterSetup stall;
  stall.stall_writes = true;
  winsim::set_usb_printer(dir, "USB001", stall);
  page.Choose(1, 0);
  page.Choose(3, 1);
  EXPECT_TRUE(page.enabled[IDC_SAVE_PRINTER]);
  MySavePrinterSetting(page);
  EXPECT_EQ(boxes(), (std::vector<std::string>{box(kErrorCaption, "Set printer failed!", kIconError)}));
  EXPECT_TRUE(logged("写入打印机设置失败：1460"));
  EXPECT_FALSE(page.enabled[IDC_SAVE_PRINTER]);
  EXPECT_EQ(page.texts[IDC_ITEM_MARK0 + 1], W_("*"));

  // A printer that takes the commands but refuses item 3: the writes went out whole, so the page
  // reports success; the next read shows what the printer really holds.
  winsim::UsbPrinterSetup refuse;
  refuse.stall_writes = false;
  refuse.refuse_item = 3;
  winsim::set_usb_printer(dir, "USB001", refuse);
  MySavePrinterSetting(page);
  EXPECT_EQ(boxes().back(), box("OK", "Printer has been successfully set up.", 0));
  EXPECT_EQ(page.texts[IDC_ITEM_MARK0 + 1], W_(""));
  auto sent = usb_bytes();
  EXPECT_EQ(std::vector<std::string>(sent.end() - 2, sent.end()),
            (std::vector<std::string>{"1B 10 03 00 01 00", "1B 10 03 00 03 01"}));
  MyReadPrinterSetting(page);
  EXPECT_EQ(values(FALSE), (std::vector<INT>{0, 0, 0, 0, 0}));

  // A printer pulled out after the first write: one written, one failed.
  winsim::UsbPrinterSetup pulled;
  pulled.unplug_after = 6;
  winsim::set_usb_printer(dir, "USB001", pulled);
  page.Choose(2, 1);
  page.Choose(4, 1);
  MySavePrinterSetting(page);
  EXPECT_EQ(boxes().back(),
            box(kErrorCaption, "Successfully set the1 settings, but there are1 settings to save the failed!", kIconError));
  EXPECT_TRUE(logged("修改2个项目，成功设置1个设置项，但有1个设置项保存失败！"));
  EXPECT_EQ(page.texts[IDC_ITEM_MARK0 + 2], W_("*"));  // markers stay when not every write went out
}

TEST_F(PageTest, WithoutTheLibraryTheUserHearsItOnce) {
  add_usb_printer();
  ASSERT_TRUE(OEMLoadControlResource(page));
  std::filesystem::remove(c("App/Trellum.dll"));
  MyReadPrinterSetting(page);
  page.Choose(2, 1);
  page.Choose(3, 1);
  MySavePrinterSetting(page);
  const std::string missing = "File deletion, load driven DLL file failed!";
  EXPECT_EQ(boxes(), (std::vector<std::string>{box(kErrorCaption, missing, kIconError), box(kErrorCaption, missing, kIconError),
                                               box(kErrorCaption, "Set printer failed!", kIconError)}));
}

}  // namespace

namespace {

// On a Simplified Chinese machine the page speaks Chinese.
using ChinesePageTest = OnChineseMachine<PageTest>;

TEST_F(ChinesePageTest, TextsComeInTheMachinesLanguage) {
  add_usb_printer({}, true);
  MyReadPrinterSetting(page);
  EXPECT_EQ(boxes(), (std::vector<std::string>{box("出错了", "打印机脱机，请接上对应接口的打印机并打开电源！", kIconError)}));
  winsim::set_printer_offline(dir, kPrinter, false);
  MyReadPrinterSetting(page);
  EXPECT_EQ(boxes().back(), box("OK", "从打印机读取设置成功。", kIconInformation));
  FakePage fresh;
  ASSERT_TRUE(OEMLoadControlResource(fresh));
  EXPECT_EQ(utf8(fresh.combos[IDC_RESOLUTION][1]), "高速 120*180 DPI");
  EXPECT_EQ(utf8(fresh.combos[IDC_ITEM_COMBO0 + 1][1]), "打开");
}

}  // namespace

namespace {

// ---- diagnostic output --------------------------------------------------------------------------

TEST(PluginDebugTest, FormatsAsThePlatformsWidePrintf) {
  using dorvel::FormatW;
  struct Case {
    WStr got;
    WStr want;
  } cases[] = {
      {FormatW(W_("%#x|%#x|%x"), {0x4D534654u, 0u, -1}), W_("0x4d534654|0|ffffffff")},
      {FormatW(W_("%d|%d|%u"), {0xFFFFFFFFu, -5, -1}), W_("-1|-5|4294967295")},
      {FormatW(W_("%2.2f|%2.2f|%.2d|%2d|%.2X"), {0.25, -1.3, 0, 7, 10}), W_("0.25|-1.30|00| 7|0A")},
      {FormatW(W_("%s|%ws|%hs|%.3s|%5s|%-5s|"), {W_("wide"), W_("ws"), "narrow", W_("abcdef"), W_("ab"), W_("ab")}),
       W_("wide|ws|narrow|abc|   ab|ab   |")},
      {FormatW(W_("%lld|%I64x|%%|%c"), {1LL << 40, 1ULL << 36, static_cast<int>(u'Z')}),
       W_("1099511627776|1000000000|%|Z")},
      // Missing or mismatched arguments write nothing, a dangling % ends the text.
      {FormatW(W_("a%db%sc%"), {W_("text")}), W_("abc")},
      {FormatW(W_("%*d|%.*f"), {4, 7, 1, 2.25}), W_("   7|2.2")},
  };
  for (auto& k : cases) EXPECT_EQ(utf8(k.got), utf8(k.want));
}

class PluginDebugLines : public MachineTest {
 protected:
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    for (auto& line : winsim::read_events(dir))
      if (json e = json::parse(line); e["type"] == "debug") out.push_back(e["text"]);
    return out;
  }
};

TEST_F(PluginDebugLines, LevelsCutsAndAssertionLines) {
  using namespace dorvel;
  DebugLevel = DBG_WARNING;
  DbgPrintW(DBG_VERBOSE, W_("verbose"));
  DbgPrintW(DBG_TRACE, W_("trace"));
  DbgPrintW(DBG_WARNING, W_("warning %d"), {3});
  DbgPrintW(DBG_ERROR, W_("error"));
  DbgPrintW(DBG_WARNING, W_("%s"), {WStr(300, u'w')});
  DbgPrintA(DBG_WARNING, W_("%s"), {WStr(5000, u'n')});
  DbgPrintA(DBG_WARNING, W_("%s"), {WStr(600000, u'm')});
  DbgRip("C:\\src\\plugin\\intrface.cpp", 42);
  auto l = lines();
  ASSERT_EQ(l.size(), 7u);
  EXPECT_EQ(l[0], "warning 3");
  EXPECT_EQ(l[1], "error");
  EXPECT_EQ(l[2], std::string(260, 'w'));
  EXPECT_EQ(l[3], std::string(5000, 'n'));         // the narrow buffer grew to fit
  EXPECT_EQ(l[4], std::string(524287, 'm'));       // ten sizes from 1 KB: the last one cuts
  EXPECT_EQ(l[5], "RIP intrface.cpp (42): ");
  EXPECT_EQ(l[6], "\n");
}

// PageItemList from many threads at once: each keeps its own record and its values.
TEST_F(PluginDebugLines, ThreadRecordsStayApart) {
  dorvel::DebugLevel = dorvel::DBG_ERROR;
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t, &wrong] {
      for (int round = 0; round < 20; ++round) {
        WStr name = W_("Printer ") + WStr(1, static_cast<WCHAR>(u'A' + t));
        MySetThreadPrinter(GetCurrentThreadId(), name.c_str());
        INT* values = MyGetThreadItemValues(TRUE);
        if (values) values[0] = t;
        WCHAR buf[260];
        if (!MyGetThreadPrinter(buf, 260) || WStr(buf) != name || !values || MyGetThreadItemValues(TRUE)[0] != t) ++wrong;
        MyDeleteThreadPrinter(GetCurrentThreadId());
        if (MyGetThreadPrinter(buf, 260)) ++wrong;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  dorvel::DebugLevel = dorvel::DBG_WARNING;
}

}  // namespace
