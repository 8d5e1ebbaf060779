// The private devmode, the property-sheet hook and PageItemList.
#include "plugin/oemui.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <mutex>

#include "plugin/debug.h"
#include "plugin/intrface.h"
#include "win32/kernel.h"

using namespace dorvel;

namespace {

constexpr DWORD kDefaultDriverData = 0;
constexpr DWORD kDefaultAdvancedData = 100;
constexpr DWORD kMaxData = 100;

// Our private devmode as the defaults make it.
void SetDefaults(POEMDEV p) {
  p->dmOEMExtra.dwSize = sizeof(OEMDEV);
  p->dmOEMExtra.dwSignature = OEM_SIGNATURE;
  p->dmOEMExtra.dwVersion = OEM_VERSION;
  p->dwDriverData = kDefaultDriverData;
  p->dwAdvancedData = kDefaultAdvancedData;
}

void DumpParam(POEMDMPARAM p) {
  VERBOSE(W_("pOemDMParam:\r\n"));
  VERBOSE(W_("\tcbSize = %d\r\n"), {p->cbSize});
  VERBOSE(W_("\tpdriverobj = %#lx\r\n"), {p->pdriverobj});
  VERBOSE(W_("\thPrinter = %#lx\r\n"), {static_cast<const void*>(p->hPrinter)});
  VERBOSE(W_("\thModule = %#lx\r\n"), {static_cast<const void*>(p->hModule)});
  VERBOSE(W_("\tpPublicDMIn = %#lx\r\n"), {static_cast<const void*>(p->pPublicDMIn)});
  VERBOSE(W_("\tpPublicDMOut = %#lx\r\n"), {static_cast<const void*>(p->pPublicDMOut)});
  VERBOSE(W_("\tpOEMDMIn = %#lx\r\n"), {p->pOEMDMIn});
  VERBOSE(W_("\tpOEMDMOut = %#lx\r\n"), {p->pOEMDMOut});
  VERBOSE(W_("\tcbBufSize = %d\r\n"), {p->cbBufSize});
}

void DumpSheetInfo(PPROPSHEETUI_INFO p) {
  VERBOSE(W_("pPSUIInfo:\r\n"));
  VERBOSE(W_("\tcbSize          = %d\r\n"), {p->cbSize});
  VERBOSE(W_("\tVersion         = %#x\r\n"), {p->Version});
  VERBOSE(W_("\tFlags           = %#x\r\n"), {p->Flags});
  VERBOSE(W_("\tReason          = %d\r\n"), {p->Reason});
  VERBOSE(W_("\thComPropSheet   = %#x\r\n"), {static_cast<const void*>(p->hComPropSheet)});
  VERBOSE(W_("\tpfnComPropSheet = %#x\r\n"), {reinterpret_cast<const void*>(p->pfnComPropSheet)});
  VERBOSE(W_("\tlParamInit      = %#x\r\n"), {static_cast<long long>(p->lParamInit)});
  VERBOSE(W_("\tUserData        = %#x\r\n"), {static_cast<unsigned long long>(p->UserData)});
  VERBOSE(W_("\tResult          = %#x\r\n"), {static_cast<unsigned long long>(p->Result)});
}

// The tab's title when the core driver UI asks for the sheet header.
WCHAR g_szPageTitle[] = W_("OEM UI Page");

// PageItemList. A list keeps each record where it is while other threads add and remove theirs,
// so the value arrays handed to a thread stay valid for as long as its record lives.
std::mutex g_PageItemLock;
std::list<PageItem> g_PageItemList;

PageItem* FindItem(DWORD dwThreadId) {
  for (auto& item : g_PageItemList)
    if (item.dwThreadId == dwThreadId) return &item;
  return nullptr;
}

void SetName(PageItem& item, LPCWSTR pName) {
  size_t n = 0;
  if (pName)
    while (n + 1 < PAGE_PRINTER_NAME_CHARS && pName[n]) {
      item.szPrinterName[n] = pName[n];
      ++n;
    }
  item.szPrinterName[n] = W_('\0');
}

}  // namespace

// ---- private devmode ------------------------------------------------------------------------

void Dump(PCOEMDEV p) {
  if (!p || p->dmOEMExtra.dwSize < sizeof(OEMDEV) || p->dmOEMExtra.dwSignature != OEM_SIGNATURE) {
    ERR(W_("ERROR UIDLL:  Dump(POEMDEV) unknown private OEM DEVMODE.\r\n"));
    return;
  }
  VERBOSE(W_("\tdmOEMExtra.dwSize      = %d\r\n"), {p->dmOEMExtra.dwSize});
  VERBOSE(W_("\tdmOEMExtra.dwSignature = %#x\r\n"), {p->dmOEMExtra.dwSignature});
  VERBOSE(W_("\tdmOEMExtra.dwVersion   = %#x\r\n"), {p->dmOEMExtra.dwVersion});
  VERBOSE(W_("\tdwDriverData           = %#x\r\n"), {p->dwDriverData});
  VERBOSE(W_("\tdwAdvancedData         = %#x\r\n"), {p->dwAdvancedData});
}

BOOL ConvertOEMDevmode(PCOEMDEV pOEMDevIn, POEMDEV pOEMDevOut) {
  if (!pOEMDevIn || !pOEMDevOut) {
    ERR(W_("ERROR UIDLL:  ConvertOEMDevmode() invalid parameters.\r\n"));
    return FALSE;
  }
  if (pOEMDevIn->dmOEMExtra.dwSignature == pOEMDevOut->dmOEMExtra.dwSignature) {
    VERBOSE(W_("UIDLL:  Converting private OEM Devmode.\r\n"));
    VERBOSE(W_("UIDLL:  pOEMDevIn:\r\n"));
    Dump(pOEMDevIn);
    // What an older, smaller record does not cover keeps the defaults. Neither size field may
    // take the copy past our 20 bytes: both come from whoever filled the buffers.
    pOEMDevOut->dwDriverData = kDefaultDriverData;
    pOEMDevOut->dwAdvancedData = kDefaultAdvancedData;
    size_t cb = std::min<size_t>({pOEMDevOut->dmOEMExtra.dwSize, pOEMDevIn->dmOEMExtra.dwSize, sizeof(OEMDEV)});
    std::memmove(pOEMDevOut, pOEMDevIn, cb);
    pOEMDevOut->dmOEMExtra.dwSize = sizeof(OEMDEV);
    pOEMDevOut->dmOEMExtra.dwVersion = OEM_VERSION;
  } else {
    WARNING(W_("UIDLL:  Unknown DEVMODE signature, pOEMDMIn ignored.\r\n"));
    SetDefaults(pOEMDevOut);
  }
  return TRUE;
}

void ValidateOEMDevmode(POEMDEV p) {
  p->dmOEMExtra.dwSize = sizeof(OEMDEV);
  p->dmOEMExtra.dwSignature = OEM_SIGNATURE;
  p->dmOEMExtra.dwVersion = OEM_VERSION;
  if (p->dwDriverData > kMaxData) p->dwDriverData = kDefaultDriverData;
  if (p->dwAdvancedData > kMaxData) p->dwAdvancedData = kDefaultAdvancedData;
}

HRESULT hrOEMDevMode(DWORD dwMode, POEMDMPARAM pOemDMParam) {
  // An output buffer smaller than our record would be written past its end: refused like any
  // other bad parameter block.
  bool writes = dwMode == OEMDM_DEFAULT || dwMode == OEMDM_CONVERT || dwMode == OEMDM_MERGE;
  if (!pOemDMParam || dwMode < OEMDM_SIZE || dwMode > OEMDM_MERGE ||
      (writes && pOemDMParam->pOEMDMOut && pOemDMParam->cbBufSize < sizeof(OEMDEV)) ||
      (dwMode == OEMDM_DEFAULT && !pOemDMParam->pOEMDMOut)) {
    ERR(W_("ERROR UIDLL:  DevMode() ERROR_INVALID_PARAMETER.\r\n"));
    VERBOSE(W_("UIDLL:  \tdwMode = %d, pOemDMParam = %#lx.\r\n"), {dwMode, static_cast<const void*>(pOemDMParam)});
    SetLastError(ERROR_INVALID_PARAMETER);
    return E_FAIL;
  }
  auto pOut = static_cast<POEMDEV>(pOemDMParam->pOEMDMOut);
  auto pIn = static_cast<PCOEMDEV>(pOemDMParam->pOEMDMIn);
  switch (dwMode) {
    case OEMDM_SIZE:
      pOemDMParam->cbBufSize = sizeof(OEMDEV);
      break;
    case OEMDM_DEFAULT:
      SetDefaults(pOut);
      VERBOSE(W_("UIDLL:  pOEMDevOut after setting default values:\r\n"));
      Dump(pOut);
      break;
    case OEMDM_CONVERT:
      ConvertOEMDevmode(pIn, pOut);
      break;
    case OEMDM_MERGE:
      ConvertOEMDevmode(pIn, pOut);
      if (pOut) ValidateOEMDevmode(pOut);
      break;
    default:
      break;
  }
  DumpParam(pOemDMParam);
  return S_OK;
}

// ---- property sheet ---------------------------------------------------------------------------

HRESULT hrOEMDevicePropertySheets(PPROPSHEETUI_INFO pPSUIInfo, LPARAM lParam) {
  VERBOSE(W_("UIDLL:  hrOEMDevicePropertySheets(%#x, %#x) entry <<<<<<< \r\n"),
          {static_cast<const void*>(pPSUIInfo), static_cast<long long>(lParam)});
  if (!pPSUIInfo || pPSUIInfo->Version != PROPSHEETUI_INFO_VERSION) {
    ERR(W_("ERROR UIDLL:  hrOEMDevicePropertySheets() ERROR_INVALID_PARAMETER.\r\n"));
    SetLastError(ERROR_INVALID_PARAMETER);
    return E_FAIL;
  }
  DumpSheetInfo(pPSUIInfo);
  LONG_PTR lResult = 0;
  switch (pPSUIInfo->Reason) {
    case PROPSHEETUI_REASON_INIT: {
      PROPSHEETPAGEW page;
      std::memset(&page, 0, sizeof page);
      page.dwSize = static_cast<DWORD>(KELVANE_PROPSHEETPAGEW_V2_SIZE);
      page.dwFlags = PSP_USEICONID;
      page.hInstance = ghInstance;
      page.pszTemplate = MAKEINTRESOURCEW(IDD_PRINTER_PAGE);
      page.pszIcon = MAKEINTRESOURCEW(IDI_PRINTER_PAGE);
      page.pfnDlgProc = OEMPrinterPageProc;
      page.lParam = 0;
      WARNING(W_("UIDLL:  -> 页面图标值为 = %d"), {IDI_PRINTER_PAGE});
      // Without the service there is no sheet to add the page to.
      if (pPSUIInfo->pfnComPropSheet)
        lResult = pPSUIInfo->pfnComPropSheet(pPSUIInfo->hComPropSheet, CPSFUNC_ADD_PROPSHEETPAGEW,
                                             reinterpret_cast<LPARAM>(&page), 0);
      VERBOSE(W_("UIDLL:  hrOEMDevicePropertySheets() pfnComPropSheet returned %d.\r\n"), {static_cast<long long>(lResult)});
      break;
    }
    case PROPSHEETUI_REASON_GET_INFO_HEADER: {
      auto pHeader = reinterpret_cast<PPROPSHEETUI_INFO_HEADER>(lParam);
      if (pHeader) pHeader->pTitle = g_szPageTitle;
      lResult = 1;
      break;
    }
    case PROPSHEETUI_REASON_DESTROY:
      lResult = 1;
      break;
    case PROPSHEETUI_REASON_SET_RESULT: {
      auto pInfo = reinterpret_cast<PSETRESULT_INFO>(lParam);
      lResult = pInfo ? static_cast<LONG_PTR>(pInfo->Result) : 0;
      break;
    }
    default:  // PROPSHEETUI_REASON_GET_ICON and anything newer
      lResult = 0;
      break;
  }
  pPSUIInfo->Result = static_cast<ULONG_PTR>(lResult);
  return S_OK;
}

// ---- PageItemList -------------------------------------------------------------------------------

// The lines are written after the list's lock is released: writing one may wait for the
// system's own locks, which a thread-detach notification holds while it removes a record.
void MySetThreadPrinter(DWORD dwThreadId, LPCWSTR pPrinterName) {
  WCHAR szName[PAGE_PRINTER_NAME_CHARS];
  bool replaced = false;
  {
    std::lock_guard lock(g_PageItemLock);
    PageItem* item = FindItem(dwThreadId);
    replaced = item != nullptr;
    if (!item) {
      PageItem fresh;
      std::memset(&fresh, 0, sizeof fresh);
      fresh.dwThreadId = dwThreadId;
      g_PageItemList.push_back(fresh);
      item = &g_PageItemList.back();
    }
    SetName(*item, pPrinterName);
    std::memcpy(szName, item->szPrinterName, sizeof szName);
  }
  if (replaced)
    WARNING(W_("UIDLL:  -> 替換線程號為(%d)的打印機驅動程序名稱【%ws】！"), {dwThreadId, szName});
  else
    WARNING(W_("UIDLL:  -> 增加線程號為(%d)的打印機驅動程序名稱【%ws】。"), {dwThreadId, szName});
}

BOOL MyGetThreadPrinter(LPWSTR pBuffer, DWORD cchBuffer) {
  std::lock_guard lock(g_PageItemLock);
  PageItem* item = FindItem(GetCurrentThreadId());
  if (!item) return FALSE;
  if (pBuffer && cchBuffer > 0) {
    DWORD n = 0;
    while (n + 1 < cchBuffer && item->szPrinterName[n]) {
      pBuffer[n] = item->szPrinterName[n];
      ++n;
    }
    pBuffer[n] = W_('\0');
  }
  return TRUE;
}

void MyDeleteThreadPrinter(DWORD dwThreadId) {
  WCHAR szName[PAGE_PRINTER_NAME_CHARS];
  {
    std::lock_guard lock(g_PageItemLock);
    auto it = std::find_if(g_PageItemList.begin(), g_PageItemList.end(),
                           [&](const PageItem& item) { return item.dwThreadId == dwThreadId; });
    if (it == g_PageItemList.end()) return;
    std::memcpy(szName, it->szPrinterName, sizeof szName);
    g_PageItemList.erase(it);
  }
  WARNING(W_("UIDLL:  -> 準備刪除線程號為(%d)的打印機驅動程序名稱【%ws】！"), {dwThreadId, szName});
}

INT* MyGetThreadItemValues(BOOL bSelected) {
  std::lock_guard lock(g_PageItemLock);
  PageItem* item = FindItem(GetCurrentThreadId());
  if (!item) return nullptr;
  return bSelected ? item->SelectedValues : item->PrinterValues;
}

INT* MyGetThreadImageValues() {
  std::lock_guard lock(g_PageItemLock);
  PageItem* item = FindItem(GetCurrentThreadId());
  return item ? item->ImageValues : nullptr;
}

size_t MyThreadPrinterCount() {
  std::lock_guard lock(g_PageItemLock);
  return g_PageItemList.size();
}
