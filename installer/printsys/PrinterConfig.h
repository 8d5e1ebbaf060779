// Final settings of an installed printer: default printer, port (a local port made first when
// asked), sharing, print processor, default form and name; plus the fallback that creates a
// printer on "LPT1:" when an install left none behind.
#pragma once

#include "common/text.h"
#include "win32/spooler.h"

// Changes to apply to an installed printer.
struct TChangePrinterInfo {
  WStr OrgName;    // current name of the printer
  WStr NewName;    // empty: keep the name
  WStr ShareName;  // empty: not shared
  WStr Port;       // "ADDLOCAL:NAME" (any letter case): make the local port NAME first
  bool bSetDefault = false;
  WStr Process;      // print processor; empty or exactly "WinPrint": the standard one
  WStr DefaultForm;  // empty: keep the form
};

// Longest port name the local port monitor is given, and longest form or device name that fits
// a DEVMODE (its 32-character fields hold the terminator too).
constexpr size_t kMaxLocalPortChars = 255;
constexpr size_t kMaxDevModeNameChars = CCHFORMNAME - 1;

// Makes the printer the default through the narrow function of winspool.drv.
bool SetDefaultPrinterName(const WStr& printerName);
// Asks the local port monitor to add the port. True when the request reached the monitor; the
// monitor's own status (0, ERROR_ALREADY_EXISTS, ...) is then the thread's last error. A name
// longer than kMaxLocalPortChars is refused (false, ERROR_INVALID_PARAMETER). Raises KelvaneError
// when winspool.drv has no XcvDataW.
bool AddLocalPort(const WStr& portName);
// Moves the printer to the port; true when the change was written.
bool SetPrinterPort(const WStr& printerName, const WStr& portName);
// The device mode the fallback printer is created with: A4 portrait, 180 dpi, monochrome, the
// printer name (cut to kMaxDevModeNameChars) as device name.
DEVMODEW FallbackDevMode(const WStr& printerName);
// Creates a local printer on "LPT1:" with the driver, WinPrint and RAW; true when it was created.
bool AddPrinterOnLPT1(const WStr& driverName, const WStr& printerName);
// Applies the changes; true when the printer's settings were written. A failed default-printer
// change, device-mode read or port creation is logged and the other settings are still written.
bool ApplyChangePrinterInfo(const TChangePrinterInfo& info);
