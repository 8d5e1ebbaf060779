// Removal of an older driver version before an install: the printers that use it, the driver
// itself, and what the maker's utilities left behind (their uninstall entry in the registry and
// the driver's INF copies in the system INF folder). The system printer user interface
// (rundll32 printui.dll) is tried first, as a user would; the spooler is asked directly when the
// driver survives it.
#pragma once

#include "common/text.h"

// Outcome codes of DeletePrinterAndDriver.
enum TRemovalCode : int {
  rcDone = 0,                // the printer is gone; its driver too, or it was not to go
  rcJobsQueued = 1,          // the printer still has jobs: nothing was changed
  rcPrinterNotDeleted = 3,   // the printer survived and has been set offline
  rcDriverNotDeleted = 4,    // the printer is gone, its driver survived both attempts
};

// Removes every printer that runs an older GPD version of the driver than `requiredVersion`, the
// last one taking the driver with it. True when nothing had to go or every removal gave rcDone;
// `code` holds the last removal's outcome (untouched when nothing was removed).
bool RemoveOlderVersion(const WStr& driverName, const WStr& requiredVersion, const WStr& makerName, int& code);

// Removes one printer and, when `deleteDriver` is set and no other printer shares it, its driver.
// Returns a TRemovalCode; rcDriverNotDeleted clears `deleteDriver`.
int DeletePrinterAndDriver(const WStr& makerName, const WStr& printerName, bool& deleteDriver);

// Whether a name can stand in quotation marks on the printui command line and arrive there as one
// argument: no quotation mark, no control character and no backslash at its end (which would
// escape the closing quote).
bool NameFitsQuotedArgument(const WStr& name);

// Deletes the printer through printui; `deletedName` is the printer name when it is gone afterwards,
// empty otherwise.
void UIDeletePrinter(const WStr& printerName, WStr& deletedName);
// Deletes the driver through printui; `deletedName` is the driver name when it is gone afterwards
// (and the uninstall entry is then removed when a maker is given), empty otherwise.
void UIDeletePrinterDriver(const WStr& driverName, const WStr& makerName, WStr& deletedName);
// Deletes the driver through the spooler (DeletePrinterDriverExA, tried twice); true when it went.
bool DelSpecPrnDrv(const WStr& driverName, const WStr& makerName);
// When the default printer no longer exists, makes the first printer of the list the default;
// `newDefault` is that printer, empty when the default was not changed.
void ChooseNewDefaultPrinter(WStr& newDefault);
// Removes the driver's key of the utilities' uninstall entry (and the utilities key when no driver
// key is left), deleting the INF copies first unless "Leave OEM INF" is 0. True when the driver's
// key was removed.
bool DelRegUninstallInfo(const WStr& driverName, const WStr& makerName);
// The system INF folder with its trailing "\": the system folder cut before "system32", then
// "inf\"; empty when the system folder has no "system32" in it.
WStr SystemInfFolder();
// Deletes the oem*.inf copies in the system INF folder that describe the driver, each with its
// .pnf; returns how many were found and deleted.
int LeaveOEMInf(const WStr& driverName, const WStr& deviceClass);
// Whether the INF describes the driver: its [Version] Class is exactly `deviceClass`, and the
// section named by [Strings] ProviderName has a key that is the driver name (quoted or not).
bool InfMatchesDriver(const WStr& driverName, const WStr& infPath, const WStr& deviceClass);
