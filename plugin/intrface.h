// The plug-in's COM frame: the module's state and counters, the class factory IOemCF and the
// plug-in object IOemUI that implements the core driver UI's IPrintOemUI.
#pragma once

#include "win32/base.h"
#include "win32/com.h"
#include "win32/printoem.h"

// The only class the module serves.
inline constexpr CLSID CLSID_OEMUI = {0xABCE80D7, 0x9F46, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};

// Set at process attach; every resource is loaded from it.
extern HINSTANCE ghInstance;

// The module's live objects and server locks, both changed only by interlocked operations.
LONG ModuleObjectCount();
LONG ModuleLockCount();

class IOemUI final : public IPrintOemUI {
 public:
  IOemUI();
  ~IOemUI();
  IOemUI(const IOemUI&) = delete;
  IOemUI& operator=(const IOemUI&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetInfo(DWORD dwMode, PVOID pBuffer, DWORD cbSize, PDWORD pcbNeeded) override;
  HRESULT STDMETHODCALLTYPE DevMode(DWORD dwMode, POEMDMPARAM pOemDMParam) override;

  HRESULT STDMETHODCALLTYPE PublishDriverInterface(IUnknown* pIUnknown) override;
  HRESULT STDMETHODCALLTYPE CommonUIProp(DWORD dwMode, POEMCUIPPARAM pOemCUIPParam) override;
  HRESULT STDMETHODCALLTYPE DocumentPropertySheets(PPROPSHEETUI_INFO pPSUIInfo, LPARAM lParam) override;
  HRESULT STDMETHODCALLTYPE DevicePropertySheets(PPROPSHEETUI_INFO pPSUIInfo, LPARAM lParam) override;
  HRESULT STDMETHODCALLTYPE DevQueryPrintEx(POEMUIOBJ poemuiobj, PVOID pDQPInfo, PDEVMODEW pPublicDM,
                                            PVOID pOEMDM) override;
  HRESULT STDMETHODCALLTYPE DeviceCapabilities(POEMUIOBJ poemuiobj, HANDLE hPrinter, LPWSTR pDeviceName,
                                               WORD wCapability, PVOID pOutput, PDEVMODEW pPublicDM, PVOID pOEMDM,
                                               DWORD dwOld, DWORD* dwResult) override;
  HRESULT STDMETHODCALLTYPE UpgradePrinter(DWORD dwLevel, PBYTE pDriverUpgradeInfo) override;
  HRESULT STDMETHODCALLTYPE PrinterEvent(LPWSTR pPrinterName, INT iDriverEvent, DWORD dwFlags, LPARAM lParam) override;
  HRESULT STDMETHODCALLTYPE DriverEvent(DWORD dwDriverEvent, DWORD dwLevel, LPBYTE pDriverInfo,
                                        LPARAM lParam) override;
  HRESULT STDMETHODCALLTYPE QueryColorProfile(HANDLE hPrinter, POEMUIOBJ poemuiobj, PDEVMODEW pPublicDM, PVOID pOEMDM,
                                              ULONG ulQueryMode, VOID* pvProfileData, ULONG* pcbProfileData,
                                              FLONG* pflProfileData) override;
  HRESULT STDMETHODCALLTYPE FontInstallerDlgProc(HWND hWnd, UINT usMsg, WPARAM wParam, LPARAM lParam) override;
  HRESULT STDMETHODCALLTYPE UpdateExternalFonts(HANDLE hPrinter, HANDLE hHeap, LPWSTR pwstrCartridges) override;

 private:
  LONG m_cRef = 1;
  IPrintOemDriverUI* m_pOEMHelp = nullptr;  // the core driver interface, one reference held
};

class IOemCF final : public IClassFactory {
 public:
  IOemCF();
  ~IOemCF();
  IOemCF(const IOemCF&) = delete;
  IOemCF& operator=(const IOemCF&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL bLock) override;

 private:
  LONG m_cRef = 1;
};
