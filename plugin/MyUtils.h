// The printer settings page's data side: the printer-data values of the image settings, the
// driver's settings file, the speed/resolution in the printer's default devmode, and the five
// device items exchanged with the printer through Trellum.dll. The page reaches its controls
// through TPageControls, so that each operation runs the same against the dialog and in a test.
#pragma once

#include "win32/base.h"
#include "win32/user.h"

// The controls of page 256 as the operations use them, by control id.
class TPageControls {
 public:
  virtual ~TPageControls() = default;
  virtual HWND Window() = 0;  // owner of the message boxes
  virtual void SetText(int id, LPCWSTR text) = 0;
  virtual WStr GetText(int id, int cchMax) = 0;
  virtual bool HasControl(int id) = 0;
  virtual void AddComboItem(int id, LPCWSTR text) = 0;
  virtual void SelectComboItem(int id, int index) = 0;
  virtual int GetComboSelection(int id) = 0;
  virtual void EnableControl(int id, BOOL enable) = 0;
  virtual void CheckButton(int id, BOOL checked) = 0;
};

// ImageValues of the thread's PageItem.
enum { IMAGE_OFFSET_X = 0, IMAGE_OFFSET_Y = 1, IMAGE_UNIT = 2, IMAGE_COMPRESS = 3 };
#define UNIT_CM 0
#define UNIT_INCH 1
#define OFFSET_LIMIT 254
#define COMPRESS_MIN 50
#define COMPRESS_MAX 100
#define RESOLUTION_NORMAL 180
#define RESOLUTION_HIGH_SPEED 120

// The settings file: the first dependent file of the printer's driver whose path holds
// "_Setting" (case-sensitive); empty when none. FALSE, buffer untouched, when the printer does
// not open.
BOOL MyGetIniFileName(LPCWSTR pPrinterName, LPWSTR pBuffer, DWORD cchBuffer);
// [UISettings] UIVersion of the current thread's printer's settings file (10 without one).
INT GetUIVersion();
// [section] key of the settings file of an open printer, default "0": nonzero when a value was
// read; *pcchBuffer is the buffer's capacity on entry and the value's length plus one on return.
BOOL MyGetDatValue(HANDLE hPrinter, LPCWSTR pSection, LPCWSTR pKey, LPWSTR pBuffer, DWORD* pcchBuffer);
// One stored image value ("MoveXMMTenth", "MoveYMMTenth", "CompressX"): the printer's data, else
// the settings file's [ImageSetting], else 0.
INT MyReadImageValue(HANDLE hPrinter, LPCWSTR pValueName);
// Writes one image value (IMAGE_OFFSET_X, IMAGE_OFFSET_Y or IMAGE_COMPRESS) into the printer's
// data as decimal text; an offset also writes "UnitType" = "1". FALSE when the printer does not
// open.
BOOL MySaveImageValue(LPCWSTR pPrinterName, INT iWhich, INT iValue);

// The printer's port and whether it works online: FALSE, outputs untouched, when the printer
// does not open.
BOOL MyGetPrinterPort(LPCWSTR pPrinterName, LPWSTR pPort, DWORD cchPort, BOOL* pbOnline);
// The dmPrintQuality of the printer's default devmode; 0 when it cannot be read.
INT MyGetPrinterResolution(LPCWSTR pPrinterName);
// Writes `iResolution` into dmPrintQuality of the printer's default devmode when it differs.
void MySetPrinterResolution(LPCWSTR pPrinterName, INT iResolution);

// The page's operations.
BOOL OEMLoadControlResource(TPageControls& page);
void OemPrinterResoutionChange(TPageControls& page);
void MyItemChange(TPageControls& page, int iItem);
void MyReadPrinterSetting(TPageControls& page);
// The image settings. Setting an edit's text raises its EN_CHANGE, which runs the edit rule on
// the text just set, so a page wires EN_CHANGE of 1081, 1082 and 1089 to the edit operations.
void MyUnitChange(TPageControls& page, INT iUnit);
void MyOffsetStep(TPageControls& page, INT iWhich, BOOL bUp);  // IMAGE_OFFSET_X or IMAGE_OFFSET_Y
void MyOffsetEdit(TPageControls& page, INT iWhich);
void MyCompressionStep(TPageControls& page, BOOL bUp);
void MyCompressionEdit(TPageControls& page);
void MySavePrinterSetting(TPageControls& page);

// The number a stored value's text starts with (its first 64 bytes, as UTF-16).
INT MyStoredNumber(const BYTE* pData, DWORD cbData);
// The trace text of a printer's reply: its byte count and each byte as two hex digits and a
// blank; bytes outside 0 to 32 are not read.
WStr MyReplyText(const BYTE* bysData, int iData);

// The text of a string resource of the module, at most cchMax characters.
WStr MyLoadString(UINT uId, int cchMax);
