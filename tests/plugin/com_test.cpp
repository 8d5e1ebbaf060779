// The plug-in's COM frame as the core driver UI meets it: Dorvel.dll loaded into a 64-bit
// process, DllGetClassObject and DllCanUnloadNow by name, the class factory and the IPrintOemUI
// object through their interfaces, the private devmode, the property-sheet hook and the
// entry point's notifications with the diagnostic lines they write.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include "support/machine_fixture.h"
#include "win32/printoem.h"

using namespace testutil;
using nlohmann::json;

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadFn = HRESULT(WINAPI*)();
using EntryFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

constexpr CLSID kClassId = {0xABCE80D7, 0x9F46, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};
constexpr DWORD kSignature = 0x4D534654;

struct OemDev {
  DWORD dwSize, dwSignature, dwVersion, dwDriverData, dwAdvancedData;
};
static_assert(sizeof(OemDev) == 20);

// A core driver interface that counts its references.
struct FakeDriverUI : IPrintOemDriverUI {
  LONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPrintOemDriverUI)) {
      *ppv = this;
      ++refs;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
  HRESULT STDMETHODCALLTYPE DrvGetDriverSetting(PVOID, LPCSTR, PVOID, DWORD, PDWORD, PDWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DrvUpgradeRegistrySetting(HANDLE, LPCSTR, LPCSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DrvUpdateUISetting(PVOID, PVOID, DWORD, DWORD) override { return E_NOTIMPL; }
};

// An object that offers no core driver interface.
struct PlainUnknown : IUnknown {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class PluginComTest : public MachineTest {
 protected:
  HMODULE lib = nullptr;
  GetClassObjectFn get_class = nullptr;
  CanUnloadFn can_unload = nullptr;
  EntryFn entry = nullptr;

  void SetUp() override {
    MachineTest::SetUp();
    winsim::declare_image(64, "C:\\Windows\\System32\\spoolsv.exe");
    std::filesystem::create_directories(c("App"));
    std::filesystem::copy_file(DORVEL64, c("App/Dorvel.dll"), std::filesystem::copy_options::overwrite_existing);
    lib = LoadLibraryW(W_("C:\\App\\Dorvel.dll"));
    ASSERT_NE(lib, nullptr) << GetLastError();
    get_class = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(lib, "DllGetClassObject")));
    can_unload = reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(lib, "DllCanUnloadNow")));
    // The loader's own entry into the library, found here the way the simulated loader finds it.
    entry = reinterpret_cast<EntryFn>(reinterpret_cast<void*>(GetProcAddress(lib, "DllMain")));
    ASSERT_TRUE(get_class && can_unload && entry);
  }
  void TearDown() override {
    if (lib) FreeLibrary(lib);
    MachineTest::TearDown();
  }

  bool logged(const std::string& line) { return debug_logged(dir, line); }

  IPrintOemUI* create() {
    void* factory = nullptr;
    EXPECT_EQ(get_class(kClassId, IID_IClassFactory, &factory), S_OK);
    if (!factory) return nullptr;
    auto* cf = static_cast<IClassFactory*>(factory);
    void* ui = nullptr;
    EXPECT_EQ(cf->CreateInstance(nullptr, IID_IPrintOemUI, &ui), S_OK);
    cf->Release();
    return static_cast<IPrintOemUI*>(ui);
  }
};

TEST_F(PluginComTest, ServesOnlyItsClassAndTheFactoryInterfaces) {
  void* p = reinterpret_cast<void*>(1);
  CLSID other = kClassId;
  other.Data4[7] ^= 1;
  EXPECT_EQ(get_class(other, IID_IClassFactory, &p), static_cast<HRESULT>(0x80040111));
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(get_class(kClassId, IID_IClassFactory, nullptr), E_POINTER);
  // The factory does not hand out the plug-in interface; the factory it made is gone again.
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(get_class(kClassId, IID_IPrintOemUI, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(can_unload(), S_OK);
  ASSERT_EQ(get_class(kClassId, IID_IUnknown, &p), S_OK);
  auto* unk = static_cast<IUnknown*>(p);
  void* cf = nullptr;
  ASSERT_EQ(unk->QueryInterface(IID_IClassFactory, &cf), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(cf)->Release(), 1u);
  EXPECT_EQ(can_unload(), S_FALSE);
  EXPECT_EQ(unk->Release(), 0u);
  EXPECT_EQ(can_unload(), S_OK);
}

TEST_F(PluginComTest, CreateInstanceRefusesAggregationAndUnknownInterfaces) {
  void* p = nullptr;
  ASSERT_EQ(get_class(kClassId, IID_IClassFactory, &p), S_OK);
  auto* cf = static_cast<IClassFactory*>(p);
  PlainUnknown outer;
  void* ui = reinterpret_cast<void*>(1);
  EXPECT_EQ(cf->CreateInstance(&outer, IID_IPrintOemUI, &ui), static_cast<HRESULT>(0x80040110));
  EXPECT_EQ(ui, nullptr);
  EXPECT_EQ(cf->CreateInstance(nullptr, IID_IPrintOemUI, nullptr), E_POINTER);
  ui = reinterpret_cast<void*>(1);
  EXPECT_EQ(cf->CreateInstance(nullptr, IID_IClassFactory, &ui), E_NOINTERFACE);
  EXPECT_EQ(ui, nullptr);
  // A lock keeps the module, as a live object does.
  EXPECT_EQ(cf->LockServer(TRUE), S_OK);
  cf->Release();
  EXPECT_EQ(can_unload(), S_FALSE);
  // The lock count is the module's, not the factory's: another factory drops it.
  ASSERT_EQ(get_class(kClassId, IID_IClassFactory, &p), S_OK);
  cf = static_cast<IClassFactory*>(p);
  EXPECT_EQ(cf->LockServer(FALSE), S_OK);
  cf->Release();
  EXPECT_EQ(can_unload(), S_OK);
}

TEST_F(PluginComTest, UnknownInterfaceIsNamedInTheVerboseLine) {
  IPrintOemUI* ui = create();
  ASSERT_NE(ui, nullptr);
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(ui->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  // Verbose lines are below the load level of 3: nothing of them reaches the debugger.
  EXPECT_FALSE(logged("UIDLL:  IOemUI::QueryInterface {00000001-0000-0000-C000-000000000046} not supported.\r\n"));
  EXPECT_EQ(ui->Release(), 0u);
  EXPECT_EQ(can_unload(), S_OK);
}

TEST_F(PluginComTest, GetInfoBufferRules) {
  IPrintOemUI* ui = create();
  ASSERT_NE(ui, nullptr);
  struct Case {
    DWORD mode, size;
    HRESULT hr;
    DWORD needed, error, value;
  } cases[] = {
      {1, 4, S_OK, 4, kMarker, kSignature}, {3, 4, S_OK, 4, kMarker, 1},  {3, 8, S_OK, 4, kMarker, 1},
      {2, 4, E_FAIL, 0xAA, 87, 0xAAAAAAAA}, {4, 4, E_FAIL, 0, 50, 0xAAAAAAAA}, {1, 3, E_FAIL, 4, 122, 0xAAAAAAAA},
      {0, 4, E_FAIL, 0xAA, 87, 0xAAAAAAAA}, {1, 0, E_FAIL, 4, 122, 0xAAAAAAAA},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(std::to_string(k.mode) + "/" + std::to_string(k.size));
    DWORD buf[2] = {0xAAAAAAAA, 0xAAAAAAAA}, needed = 0xAA;
    SetLastError(kMarker);
    EXPECT_EQ(ui->GetInfo(k.mode, buf, k.size, &needed), k.hr);
    EXPECT_EQ(needed, k.needed);
    EXPECT_EQ(GetLastError(), k.error);
    EXPECT_EQ(buf[0], k.value);
    EXPECT_EQ(buf[1], 0xAAAAAAAAu);
  }
  SetLastError(kMarker);
  EXPECT_EQ(ui->GetInfo(1, nullptr, 4, nullptr), E_FAIL);
  EXPECT_EQ(GetLastError(), 87u);
  DWORD needed = 0;
  EXPECT_EQ(ui->GetInfo(1, nullptr, 4, &needed), E_FAIL);  // no buffer at all
  EXPECT_EQ(needed, 4u);
  // The signature's bytes read T F S M.
  BYTE bytes[4] = {};
  ASSERT_EQ(ui->GetInfo(1, bytes, 4, &needed), S_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 4), "TFSM");
  EXPECT_TRUE(logged("UIDLL:  IOemUI::GetInfo() exit pcbNeeded is NULL! ERROR_INVALID_PARAMETER\r\r\n"));
  EXPECT_TRUE(logged("UIDLL:  IOemUI::GetInfo() exit insufficient buffer!\r\r\n"));
  EXPECT_TRUE(logged("UIDLL:  IOemUI::GetInfo() exit mode not supported.\r\r\n"));
  ui->Release();
}

TEST_F(PluginComTest, MethodsThatDoNothingAnswerAsTheCoreExpects) {
  IPrintOemUI* ui = create();
  ASSERT_NE(ui, nullptr);
  EXPECT_EQ(ui->DocumentPropertySheets(nullptr, 0), E_FAIL);
  EXPECT_EQ(ui->DevQueryPrintEx(nullptr, nullptr, nullptr, nullptr), E_NOTIMPL);
  EXPECT_EQ(ui->DeviceCapabilities(nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr), E_NOTIMPL);
  EXPECT_EQ(ui->UpgradePrinter(1, nullptr), E_NOTIMPL);
  EXPECT_EQ(ui->PrinterEvent(nullptr, 0, 0, 0), E_NOTIMPL);
  EXPECT_EQ(ui->DriverEvent(0, 0, nullptr, 0), E_NOTIMPL);
  EXPECT_EQ(ui->FontInstallerDlgProc(nullptr, 0, 0, 0), E_NOTIMPL);
  EXPECT_EQ(ui->UpdateExternalFonts(nullptr, nullptr, nullptr), E_NOTIMPL);
  ui->Release();
}

TEST_F(PluginComTest, QueryColorProfileNamesTheProfileFile) {
  IPrintOemUI* ui = create();
  ASSERT_NE(ui, nullptr);
  WCHAR buf[20];
  std::fill(std::begin(buf), std::end(buf), u'x');
  ULONG size = 30;
  FLONG flags = 7;
  SetLastError(kMarker);
  EXPECT_EQ(ui->QueryColorProfile(nullptr, nullptr, nullptr, nullptr, 0, buf, &size, &flags), E_FAIL);
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(GetLastError(), 122u);
  EXPECT_EQ(buf[0], u'x');
  EXPECT_EQ(flags, 7u);
  EXPECT_EQ(ui->QueryColorProfile(nullptr, nullptr, nullptr, nullptr, 0, buf, &size, &flags), S_OK);
  EXPECT_EQ(WStr(buf), W_("OEMPROFILE.icm"));
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(flags, 2u);
  EXPECT_EQ(buf[16], u'x');  // nothing past the 32 bytes
  // Another query mode touches nothing.
  size = 99;
  buf[0] = u'x';
  EXPECT_EQ(ui->QueryColorProfile(nullptr, nullptr, nullptr, nullptr, 1, buf, &size, &flags), E_FAIL);
  EXPECT_EQ(size, 99u);
  EXPECT_EQ(buf[0], u'x');
  ui->Release();
}

TEST_F(PluginComTest, KeepsTheFirstCoreDriverInterfaceUntilItGoes) {
  IPrintOemUI* ui = create();
  ASSERT_NE(ui, nullptr);
  PlainUnknown none;
  EXPECT_EQ(ui->PublishDriverInterface(&none), E_FAIL);
  EXPECT_EQ(ui->PublishDriverInterface(nullptr), E_FAIL);
  FakeDriverUI first, second;
  EXPECT_EQ(ui->PublishDriverInterface(&first), S_OK);
  EXPECT_EQ(ui->PublishDriverInterface(&second), S_OK);
  EXPECT_EQ(first.refs, 2);
  EXPECT_EQ(second.refs, 1);
  EXPECT_EQ(ui->AddRef(), 2u);
  EXPECT_EQ(ui->Release(), 1u);
  EXPECT_EQ(can_unload(), S_FALSE);
  EXPECT_EQ(ui->Release(), 0u);
  EXPECT_EQ(first.refs, 1);  // released with the object
  EXPECT_EQ(can_unload(), S_OK);
}

TEST_F(PluginComTest, DevModeSizesDefaultsConvertsAndMerges) {
  IPrintOemUI* ui = create();
  ASSERT_NE(ui, nullptr);
  OEMDMPARAM param{};
  param.cbSize = sizeof param;
  EXPECT_EQ(ui->DevMode(1, &param), S_OK);
  EXPECT_EQ(param.cbBufSize, 20u);

  OemDev out{};
  param.pOEMDMOut = &out;
  param.cbBufSize = 20;
  ASSERT_EQ(ui->DevMode(2, &param), S_OK);
  const BYTE want[20] = {0x14, 0, 0, 0, 0x54, 0x46, 0x53, 0x4D, 1, 0, 0, 0, 0, 0, 0, 0, 0x64, 0, 0, 0};
  EXPECT_EQ(std::memcmp(&out, want, 20), 0);

  // A smaller record of ours: only its header is taken, the rest keeps the defaults.
  struct {
    OemDev dev;
    DWORD beyond;
  } in = {{12, kSignature, 7, 55, 66}, 0};
  out = {20, kSignature, 1, 9, 9};
  param.pOEMDMIn = &in;
  ASSERT_EQ(ui->DevMode(3, &param), S_OK);
  EXPECT_EQ(out.dwSize, 20u);
  EXPECT_EQ(out.dwVersion, 1u);
  EXPECT_EQ(out.dwDriverData, 0u);
  EXPECT_EQ(out.dwAdvancedData, 100u);
  // A whole one is copied; one that claims to be larger copies no more than 20 bytes.
  in = {{400, kSignature, 1, 42, 43}, 0xEEEEEEEE};
  struct {
    OemDev dev;
    DWORD guard;
  } big = {{400, kSignature, 1, 0, 0}, 0x12345678};
  param.pOEMDMOut = &big.dev;
  ASSERT_EQ(ui->DevMode(3, &param), S_OK);
  EXPECT_EQ(big.dev.dwDriverData, 42u);
  EXPECT_EQ(big.dev.dwAdvancedData, 43u);
  EXPECT_EQ(big.dev.dwSize, 20u);
  EXPECT_EQ(big.guard, 0x12345678u);
  // A foreign record is ignored: the defaults.
  in = {{20, 0x11223344, 1, 42, 43}, 0};
  out = {20, kSignature, 1, 5, 5};
  param.pOEMDMOut = &out;
  ASSERT_EQ(ui->DevMode(3, &param), S_OK);
  EXPECT_EQ(std::memcmp(&out, want, 20), 0);
  EXPECT_TRUE(logged("UIDLL:  Unknown DEVMODE signature, pOEMDMIn ignored.\r\n"));

  // Merge brings the values into range.
  struct Merge {
    DWORD driver, advanced, driver_out, advanced_out;
  } merges[] = {{101, 0xFFFFFFFF, 0, 100}, {100, 0, 100, 0}, {0, 100, 0, 100}, {50, 101, 50, 100}};
  for (auto& m : merges) {
    in = {{20, kSignature, 1, m.driver, m.advanced}, 0};
    out = {20, kSignature, 1, 0, 0};
    ASSERT_EQ(ui->DevMode(4, &param), S_OK);
    EXPECT_EQ(out.dwDriverData, m.driver_out) << m.driver;
    EXPECT_EQ(out.dwAdvancedData, m.advanced_out) << m.advanced;
  }
  // Conversion without a record to read: the error line, nothing written, still S_OK.
  param.pOEMDMIn = nullptr;
  out = {1, 2, 3, 4, 5};
  EXPECT_EQ(ui->DevMode(3, &param), S_OK);
  EXPECT_EQ(out.dwSize, 1u);
  EXPECT_TRUE(logged("ERROR UIDLL:  ConvertOEMDevmode() invalid parameters.\r\n"));
  ui->Release();
}

TEST_F(PluginComTest, DevModeRefusesBadParameterBlocks) {
  IPrintOemUI* ui = create();
  ASSERT_NE(ui, nullptr);
  OemDev out = {1, 2, 3, 4, 5};
  OEMDMPARAM param{};
  param.pOEMDMOut = &out;
  param.cbBufSize = 20;
  for (DWORD mode : {0u, 5u}) {
    SetLastError(kMarker);
    EXPECT_EQ(ui->DevMode(mode, &param), E_FAIL);
    EXPECT_EQ(GetLastError(), 87u);
  }
  SetLastError(kMarker);
  EXPECT_EQ(ui->DevMode(1, nullptr), E_FAIL);
  EXPECT_EQ(GetLastError(), 87u);
  // An output buffer smaller than the record is never written.
  param.cbBufSize = 19;
  EXPECT_EQ(ui->DevMode(2, &param), E_FAIL);
  param.pOEMDMOut = nullptr;
  param.cbBufSize = 20;
  EXPECT_EQ(ui->DevMode(2, &param), E_FAIL);
  EXPECT_EQ(out.dwSize, 1u);
  EXPECT_TRUE(logged("ERROR UIDLL:  DevMode() ERROR_INVALID_PARAMETER.\r\n"));
  ui->Release();
}

// What the common property-sheet services got.
PROPSHEETPAGEW g_page;
LONG_PTR WINAPI AddPage(HANDLE sheet, UINT function, LPARAM page, LPARAM) {
  if (function != CPSFUNC_ADD_PROPSHEETPAGEW || !sheet) return 0;
  std::memcpy(&g_page, reinterpret_cast<const void*>(page), std::min<size_t>(sizeof g_page, 88));
  return 77;
}

TEST_F(PluginComTest, DevicePropertySheetsAddsPage256) {
  IPrintOemUI* ui = create();
  ASSERT_NE(ui, nullptr);
  PROPSHEETUI_INFO info{};
  info.cbSize = sizeof info;
  info.Version = 0x0101;
  SetLastError(kMarker);
  EXPECT_EQ(ui->DevicePropertySheets(&info, 0), E_FAIL);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(ui->DevicePropertySheets(nullptr, 0), E_FAIL);

  info.Version = 0x0100;
  info.Reason = PROPSHEETUI_REASON_INIT;
  info.hComPropSheet = reinterpret_cast<HANDLE>(5);
  info.pfnComPropSheet = AddPage;
  std::memset(&g_page, 0xCC, sizeof g_page);
  ASSERT_EQ(ui->DevicePropertySheets(&info, 0), S_OK);
  EXPECT_EQ(info.Result, 77u);
  EXPECT_EQ(g_page.dwSize, 88u);
  EXPECT_EQ(g_page.dwFlags, 4u);
  EXPECT_EQ(g_page.hInstance, reinterpret_cast<HINSTANCE>(lib));
  EXPECT_EQ(g_page.pszTemplate, MAKEINTRESOURCEW(256));
  EXPECT_EQ(g_page.pszIcon, MAKEINTRESOURCEW(160));
  EXPECT_NE(g_page.pfnDlgProc, nullptr);
  EXPECT_EQ(g_page.lParam, 0);
  EXPECT_EQ(g_page.pszTitle, nullptr);
  EXPECT_TRUE(logged("UIDLL:  IOemUI:DevicePropertySheets entry.\r\n"));
  EXPECT_TRUE(logged("UIDLL:  -> 页面图标值为 = 160"));

  PROPSHEETUI_INFO_HEADER header{};
  info.Reason = PROPSHEETUI_REASON_GET_INFO_HEADER;
  ASSERT_EQ(ui->DevicePropertySheets(&info, reinterpret_cast<LPARAM>(&header)), S_OK);
  EXPECT_EQ(WStr(header.pTitle), W_("OEM UI Page"));
  EXPECT_EQ(info.Result, 1u);
  SETRESULT_INFO result{};
  result.Result = 3;
  info.Reason = PROPSHEETUI_REASON_SET_RESULT;
  ASSERT_EQ(ui->DevicePropertySheets(&info, reinterpret_cast<LPARAM>(&result)), S_OK);
  EXPECT_EQ(info.Result, 3u);
  for (WORD reason : {WORD{2}, WORD{4}, WORD{9}}) {
    info.Reason = reason;
    ASSERT_EQ(ui->DevicePropertySheets(&info, 0), S_OK);
    EXPECT_EQ(info.Result, reason == 2 ? 1u : 0u) << reason;
  }
  ui->Release();
}

TEST_F(PluginComTest, CommonUIPropRecordsThePrinterPerThreadUntilTheThreadEnds) {
  IPrintOemUI* ui = create();
  ASSERT_NE(ui, nullptr);
  WCHAR first[] = W_("Kelvane KV-1000");
  WCHAR second[] = W_("Kelvane KV-2000");
  OEMCUIPPARAM param{};
  param.cbSize = sizeof param;
  param.pPrinterName = first;
  EXPECT_EQ(ui->CommonUIProp(OEMCUIP_PRNPROP, &param), E_FAIL);
  param.pPrinterName = second;
  EXPECT_EQ(ui->CommonUIProp(OEMCUIP_DOCPROP, &param), E_FAIL);
  EXPECT_EQ(ui->CommonUIProp(OEMCUIP_PRNPROP, nullptr), E_FAIL);
  const std::string tid = std::to_string(GetCurrentThreadId());
  EXPECT_TRUE(logged("UIDLL:  -> 增加線程號為(" + tid + ")的打印機驅動程序名稱【Kelvane KV-1000】。"));
  EXPECT_TRUE(logged("UIDLL:  -> 替換線程號為(" + tid + ")的打印機驅動程序名稱【Kelvane KV-2000】！"));

  // Another thread gets its own record, and its end removes it: the loader tells the library.
  struct Work {
    IPrintOemUI* ui;
    DWORD id = 0;
  } work{ui};
  HANDLE th = CreateThread(
      nullptr, 0,
      [](LPVOID param) -> DWORD {
        auto* w = static_cast<Work*>(param);
        WStr name(300, u'n');
        OEMCUIPPARAM p{};
        p.pPrinterName = name.data();
        w->ui->CommonUIProp(OEMCUIP_PRNPROP, &p);
        w->id = GetCurrentThreadId();
        return 0;
      },
      &work, 0, nullptr);
  ASSERT_NE(th, nullptr);
  ASSERT_EQ(WaitForSingleObject(th, 10000), WAIT_OBJECT_0);
  CloseHandle(th);
  const std::string other = std::to_string(work.id);
  const std::string cut(259, 'n');
  auto lines = debug_lines(dir);
  // The name is kept to 259 characters; the line itself is cut at 260.
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.rfind("UIDLL:  -> 增加線程號為(" + other + ")的打印機驅動程序名稱【" + cut.substr(0, 200), 0) == 0;
  }));
  bool removed = std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.rfind("UIDLL:  -> 準備刪除線程號為(" + other + ")", 0) == 0;
  });
  EXPECT_TRUE(removed);
  entry(reinterpret_cast<HINSTANCE>(lib), DLL_THREAD_DETACH, nullptr);
  EXPECT_TRUE(logged("UIDLL:  -> 準備刪除線程號為(" + tid + ")的打印機驅動程序名稱【Kelvane KV-2000】！"));
  ui->Release();
}

}  // namespace
