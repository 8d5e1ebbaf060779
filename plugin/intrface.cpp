// The plug-in's COM frame: the two exports, the entry point's notifications, the class factory
// IOemCF and the plug-in object IOemUI with its interface methods in the core driver UI's slot
// order. Only GetInfo, DevMode, PublishDriverInterface, CommonUIProp, DevicePropertySheets and
// QueryColorProfile do work; the rest answer "not implemented" or "failed" as the core driver UI
// expects of a plug-in that adds nothing there.
#include "plugin/intrface.h"

#include <cstring>
#include <new>

#include "plugin/debug.h"
#include "plugin/oemui.h"
#include "win32/kernel.h"

using namespace dorvel;

#ifdef _WIN32
#define DORVEL_EXPORT extern "C"
#else
#define DORVEL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

HINSTANCE ghInstance = nullptr;

namespace {

LONG g_cComponents = 0;  // live IOemUI and IOemCF objects
LONG g_cServerLocks = 0;

constexpr DWORD kInfoBytes = sizeof(DWORD);
constexpr ULONG kProfileBytes = 32;
const WCHAR kProfileName[] = W_("OEMPROFILE.icm");

#ifndef STRSAFE_E_INSUFFICIENT_BUFFER
#define STRSAFE_E_INSUFFICIENT_BUFFER (static_cast<HRESULT>(0x8007007AL))
#endif
#ifndef STRSAFE_E_INVALID_PARAMETER
#define STRSAFE_E_INVALID_PARAMETER (static_cast<HRESULT>(0x80070057L))
#endif

// A copy bounded by the destination's size in bytes: the text, cut when it does not fit, always
// terminated; the result says whether it was cut.
HRESULT CopyTextBounded(LPWSTR pDest, size_t cbDest, LPCWSTR pSrc) {
  constexpr size_t kMaxChars = 2147483647;
  size_t cchDest = cbDest / sizeof(WCHAR);
  if (cchDest == 0 || cchDest > kMaxChars) return STRSAFE_E_INVALID_PARAMETER;
  size_t n = 0;
  while (pSrc[n] && n + 1 < cchDest) {
    pDest[n] = pSrc[n];
    ++n;
  }
  pDest[n] = W_('\0');
  return pSrc[n] ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

}  // namespace

LONG ModuleObjectCount() { return __atomic_load_n(&g_cComponents, __ATOMIC_SEQ_CST); }
LONG ModuleLockCount() { return __atomic_load_n(&g_cServerLocks, __ATOMIC_SEQ_CST); }

// ---- IOemUI ---------------------------------------------------------------------------------

IOemUI::IOemUI() { InterlockedIncrement(&g_cComponents); }

IOemUI::~IOemUI() {
  if (m_pOEMHelp) {
    m_pOEMHelp->Release();
    m_pOEMHelp = nullptr;
  }
  InterlockedDecrement(&g_cComponents);
}

HRESULT STDMETHODCALLTYPE IOemUI::QueryInterface(REFIID riid, void** ppv) {
  VERBOSE(W_("UIDLL:  IOemUI:QueryInterface entry.\r\n\r\n"));
  if (!ppv) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown)) {
    *ppv = static_cast<IUnknown*>(this);
    VERBOSE(W_("UIDLL:  IOemUI:Return pointer to IUnknown.\r\n\r\n"));
  } else if (IsEqualGUID(riid, IID_IPrintOemUI)) {
    *ppv = static_cast<IPrintOemUI*>(this);
    VERBOSE(W_("UIDLL:  IOemUI:Return pointer to IPrintOemUI.\r\n"));
  } else {
    WCHAR szIID[80] = {};
    StringFromGUID2(riid, szIID, 80);
    VERBOSE(W_("UIDLL:  IOemUI::QueryInterface %s not supported.\r\n"), {szIID});
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE IOemUI::AddRef() {
  VERBOSE(W_("UIDLL:  IOemUI:AddRef entry.\r\n"));
  return static_cast<ULONG>(InterlockedIncrement(&m_cRef));
}

ULONG STDMETHODCALLTYPE IOemUI::Release() {
  VERBOSE(W_("UIDLL:  IOemUI:Release entry.\r\n"));
  DORVEL_ASSERT(__atomic_load_n(&m_cRef, __ATOMIC_SEQ_CST) != 0);
  LONG cRef = InterlockedDecrement(&m_cRef);
  if (cRef == 0) delete this;
  return static_cast<ULONG>(cRef);
}

HRESULT STDMETHODCALLTYPE IOemUI::GetInfo(DWORD dwMode, PVOID pBuffer, DWORD cbSize, PDWORD pcbNeeded) {
  VERBOSE(W_("UIDLL:  IOemUI::GetInfo(%d) entry.\r\r\n"), {dwMode});
  if (!pcbNeeded || (dwMode != OEMGI_GETSIGNATURE && dwMode != OEMGI_GETVERSION && dwMode != OEMGI_GETPUBLISHERINFO)) {
    WARNING(W_("UIDLL:  IOemUI::GetInfo() exit pcbNeeded is NULL! ERROR_INVALID_PARAMETER\r\r\n"));
    SetLastError(ERROR_INVALID_PARAMETER);
    return E_FAIL;
  }
  *pcbNeeded = kInfoBytes;
  if (cbSize < kInfoBytes || !pBuffer) {
    WARNING(W_("UIDLL:  IOemUI::GetInfo() exit insufficient buffer!\r\r\n"));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return E_FAIL;
  }
  DWORD value = 0;
  switch (dwMode) {
    case OEMGI_GETSIGNATURE:
      value = OEM_SIGNATURE;
      break;
    case OEMGI_GETVERSION:
      value = OEM_VERSION;
      break;
    default:  // OEMGI_GETPUBLISHERINFO
      WARNING(W_("UIDLL:  IOemUI::GetInfo() exit mode not supported.\r\r\n"));
      *pcbNeeded = 0;
      SetLastError(ERROR_NOT_SUPPORTED);
      return E_FAIL;
  }
  std::memcpy(pBuffer, &value, sizeof value);  // the caller's buffer need not be aligned
  VERBOSE(W_("UIDLL:  IOemUI::GetInfo() exit S_OK, (*pBuffer is %#x).\r\r\n"), {value});
  return S_OK;
}

HRESULT STDMETHODCALLTYPE IOemUI::DevMode(DWORD dwMode, POEMDMPARAM pOemDMParam) {
  VERBOSE(W_("UIDLL:  IOemUI:DevMode(%d, %#x) entry.\r\n"), {dwMode, static_cast<const void*>(pOemDMParam)});
  return hrOEMDevMode(dwMode, pOemDMParam);
}

HRESULT STDMETHODCALLTYPE IOemUI::PublishDriverInterface(IUnknown* pIUnknown) {
  VERBOSE(W_("UIDLL:  IOemUI:PublishDriverInterface entry.\r\n"));
  if (m_pOEMHelp) return S_OK;  // the first core driver interface stays
  if (!pIUnknown) return E_FAIL;
  void* p = nullptr;
  HRESULT hr = pIUnknown->QueryInterface(IID_IPrintOemDriverUI, &p);
  if (!SUCCEEDED(hr) || !p) {
    m_pOEMHelp = nullptr;
    return E_FAIL;
  }
  m_pOEMHelp = static_cast<IPrintOemDriverUI*>(p);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE IOemUI::CommonUIProp(DWORD dwMode, POEMCUIPPARAM pOemCUIPParam) {
  VERBOSE(W_("UIDLL:  IOemUI:CommonUIProp entry.\r\n"));
  (void)dwMode;
  // The page shown later on this thread works on this printer; no common items are added.
  if (pOemCUIPParam) MySetThreadPrinter(GetCurrentThreadId(), pOemCUIPParam->pPrinterName);
  return E_FAIL;
}

HRESULT STDMETHODCALLTYPE IOemUI::DocumentPropertySheets(PPROPSHEETUI_INFO, LPARAM) {
  VERBOSE(W_("UIDLL:  IOemUI:DocumentPropertySheets entry.\r\n"));
  return E_FAIL;
}

HRESULT STDMETHODCALLTYPE IOemUI::DevicePropertySheets(PPROPSHEETUI_INFO pPSUIInfo, LPARAM lParam) {
  WARNING(W_("UIDLL:  IOemUI:DevicePropertySheets entry.\r\n"));
  return hrOEMDevicePropertySheets(pPSUIInfo, lParam);
}

HRESULT STDMETHODCALLTYPE IOemUI::DevQueryPrintEx(POEMUIOBJ, PVOID, PDEVMODEW, PVOID) {
  VERBOSE(W_("UIDLL:  IOemUI:DevQueryPrintEx entry.\r\n"));
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE IOemUI::DeviceCapabilities(POEMUIOBJ, HANDLE, LPWSTR, WORD, PVOID, PDEVMODEW, PVOID, DWORD,
                                                     DWORD*) {
  VERBOSE(W_("UIDLL:  IOemUI:DeviceCapabilities entry.\r\n"));
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE IOemUI::UpgradePrinter(DWORD, PBYTE) {
  VERBOSE(W_("UIDLL:  IOemUI:UpgradePrinter entry.\r\n"));
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE IOemUI::PrinterEvent(LPWSTR, INT, DWORD, LPARAM) {
  VERBOSE(W_("UIDLL:  IOemUI:PrinterEvent entry.\r\n"));
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE IOemUI::DriverEvent(DWORD, DWORD, LPBYTE, LPARAM) {
  VERBOSE(W_("UIDLL:  IOemUI:DriverEvent entry.\r\n"));
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE IOemUI::QueryColorProfile(HANDLE, POEMUIOBJ, PDEVMODEW, PVOID, ULONG ulQueryMode,
                                                    VOID* pvProfileData, ULONG* pcbProfileData,
                                                    FLONG* pflProfileData) {
  VERBOSE(W_("UIDLL:  IOemUI:QueryColorProfile entry.\r\n"));
  if (ulQueryMode != QCP_DEVICEPROFILE) return E_FAIL;
  if (!pcbProfileData) {  // nowhere to say how much is needed
    SetLastError(ERROR_INVALID_PARAMETER);
    return E_FAIL;
  }
  if (!pvProfileData || *pcbProfileData < kProfileBytes) {
    *pcbProfileData = kProfileBytes;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return E_FAIL;
  }
  HRESULT hr = CopyTextBounded(static_cast<LPWSTR>(pvProfileData), *pcbProfileData, kProfileName);
  *pcbProfileData = kProfileBytes;
  if (pflProfileData) *pflProfileData = QCP_PROFILEDISK;
  if (FAILED(hr)) SetLastError(static_cast<DWORD>(hr));
  return hr;
}

HRESULT STDMETHODCALLTYPE IOemUI::FontInstallerDlgProc(HWND, UINT, WPARAM, LPARAM) {
  VERBOSE(W_("UIDLL:  IOemUI:FontInstallerDlgProc entry.\r\n"));
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE IOemUI::UpdateExternalFonts(HANDLE, HANDLE, LPWSTR) {
  VERBOSE(W_("UIDLL:  IOemUI:UpdateExternalFonts entry.\r\n"));
  return E_NOTIMPL;
}

// ---- IOemCF ---------------------------------------------------------------------------------

IOemCF::IOemCF() { InterlockedIncrement(&g_cComponents); }
IOemCF::~IOemCF() { InterlockedDecrement(&g_cComponents); }

HRESULT STDMETHODCALLTYPE IOemCF::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE IOemCF::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

ULONG STDMETHODCALLTYPE IOemCF::Release() {
  DORVEL_ASSERT(__atomic_load_n(&m_cRef, __ATOMIC_SEQ_CST) != 0);
  LONG cRef = InterlockedDecrement(&m_cRef);
  if (cRef == 0) delete this;
  return static_cast<ULONG>(cRef);
}

HRESULT STDMETHODCALLTYPE IOemCF::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;  // no aggregation
  IOemUI* pOemUI = new (std::nothrow) IOemUI;
  if (!pOemUI) return E_OUTOFMEMORY;
  HRESULT hr = pOemUI->QueryInterface(riid, ppv);
  pOemUI->Release();  // the caller holds the only reference, or a failed query destroyed it
  return hr;
}

HRESULT STDMETHODCALLTYPE IOemCF::LockServer(BOOL bLock) {
  if (bLock)
    InterlockedIncrement(&g_cServerLocks);
  else
    InterlockedDecrement(&g_cServerLocks);
  return S_OK;
}

// ---- exports and the entry point ------------------------------------------------------------

DORVEL_EXPORT HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  VERBOSE(W_("UIDLL:  DllGetClassObject:Create class factory.\r\n"));
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualGUID(rclsid, CLSID_OEMUI)) return CLASS_E_CLASSNOTAVAILABLE;
  IOemCF* pFactory = new (std::nothrow) IOemCF;
  if (!pFactory) return E_OUTOFMEMORY;
  HRESULT hr = pFactory->QueryInterface(riid, ppv);
  pFactory->Release();
  return hr;
}

DORVEL_EXPORT HRESULT WINAPI DllCanUnloadNow() {
  return ModuleObjectCount() == 0 && ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hInst, DWORD wReason, LPVOID) {
  switch (wReason) {
    case DLL_PROCESS_ATTACH:
      VERBOSE(W_("UIDLL:  Process attach.\r\n"));
      ghInstance = hInst;
      break;
    case DLL_THREAD_ATTACH:
      VERBOSE(W_("UIDLL:  Thread attach.\r\n"));
      break;
    case DLL_PROCESS_DETACH:
      VERBOSE(W_("UIDLL:  Process detach.\r\n"));
      break;
    case DLL_THREAD_DETACH:
      VERBOSE(W_("UIDLL:  Thread detach.\r\n"));
      MyDeleteThreadPrinter(GetCurrentThreadId());
      break;
    default:
      break;
  }
  return TRUE;
}
