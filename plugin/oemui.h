// The plug-in's private devmode (OEMDEV), the DevMode and DevicePropertySheets work of IOemUI,
// and PageItemList: which printer each thread's property sheet shows, with the settings page's
// working values.
#pragma once

#include <cstddef>

#include "win32/base.h"
#include "win32/printoem.h"

// Identity of the private devmode: its bytes read "TFSM" and its version is 1.
#define OEM_SIGNATURE 0x4D534654u
#define OEM_VERSION 1u

// Stored after the public devmode of every document and of the printer's defaults.
typedef struct tagOEMDEV {
  OEM_DMEXTRAHEADER dmOEMExtra;
  DWORD dwDriverData;    // 0 to 100, default 0
  DWORD dwAdvancedData;  // 0 to 100, default 100
} OEMDEV, *POEMDEV;
typedef const OEMDEV* PCOEMDEV;

static_assert(sizeof(OEMDEV) == 20, "the private devmode is 20 bytes");
static_assert(offsetof(OEMDEV, dmOEMExtra.dwSignature) == 4);
static_assert(offsetof(OEMDEV, dmOEMExtra.dwVersion) == 8);
static_assert(offsetof(OEMDEV, dwDriverData) == 12);
static_assert(offsetof(OEMDEV, dwAdvancedData) == 16);

#define PAGE_ITEM_COUNT 5
#define IMAGE_VALUE_COUNT 8
#define PAGE_PRINTER_NAME_CHARS 260

#include "plugin/resource.h"

// One thread's printer and the settings page's working values.
typedef struct tagPageItem {
  DWORD dwThreadId;
  WCHAR szPrinterName[PAGE_PRINTER_NAME_CHARS];
  INT SelectedValues[PAGE_ITEM_COUNT];
  INT PrinterValues[PAGE_ITEM_COUNT];
  INT ImageValues[IMAGE_VALUE_COUNT];
} PageItem;

// IOemUI::DevMode: sizes, defaults, converts and validates the private devmode.
HRESULT hrOEMDevMode(DWORD dwMode, POEMDMPARAM pOemDMParam);
// Copies what fits of a private devmode of our signature, else writes the defaults.
BOOL ConvertOEMDevmode(PCOEMDEV pOEMDevIn, POEMDEV pOEMDevOut);
// Brings a record into range (mode OEMDM_MERGE).
void ValidateOEMDevmode(POEMDEV pOEMDev);
// The verbose dump of a record (an error line when it is not ours).
void Dump(PCOEMDEV pOEMDev);

// IOemUI::DevicePropertySheets: adds the printer settings page.
HRESULT hrOEMDevicePropertySheets(PPROPSHEETUI_INFO pPSUIInfo, LPARAM lParam);

// The settings page's dialog procedure (dialog template 256).
INT_PTR CALLBACK OEMPrinterPageProc(HWND hDlg, UINT uMessage, WPARAM wParam, LPARAM lParam);

// PageItemList: one record per thread, looked up by thread id.
void MySetThreadPrinter(DWORD dwThreadId, LPCWSTR pPrinterName);
BOOL MyGetThreadPrinter(LPWSTR pBuffer, DWORD cchBuffer);
void MyDeleteThreadPrinter(DWORD dwThreadId);
// The current thread's device items: SelectedValues when bSelected, else PrinterValues; null
// when the thread has no record. The array lives as long as the thread's record.
INT* MyGetThreadItemValues(BOOL bSelected);
// The current thread's ImageValues, or null.
INT* MyGetThreadImageValues();
// How many threads have a record (for diagnostics and tests).
size_t MyThreadPrinterCount();
