// USB printer detection: the installer's side of the USB access library (its two enumeration
// exports, bound by name at their first call), the fields of an IEEE 1284 device ID, and the
// search for the free USB port of a connected printer that matches a configuration entry.
#pragma once

#include <functional>

#include "common/handles.h"
#include "common/text.h"
#include "win32/kernel.h"

// The library's exports. The library is found through the search path (start-up puts the staging
// folder on it) and stays loaded once bound; a library that cannot be bound gives 0 and FALSE.
int USBPrinterEnum();
BOOL ReadPrinterID(int index, LPWSTR portName, int portCapacity, LPWSTR deviceId, int idCapacity);
// Lets the library go (a test's machine ends; the next call binds it anew).
void UnbindUSBAccessLibrary();

// A device ID this short (IEEE 1284 length bytes and little else) names no printer.
constexpr size_t kShortestDeviceId = 32;

// The value of a device ID field (MFG, MDL, DES, CID): after the first "KEY:" anywhere in the ID
// (letter case counts) up to the next ";" or the end; empty when absent or empty.
WStr GetDeviceIdField(const WStr& deviceId, const WStr& key);

// What the installer makes of a connected printer (the index-th of the enumeration): its
// description (DES when it names the model, else MFG and MDL run together; "USB Printer n" for an
// ID of 32 characters or fewer) and its compatible ID (CID with blanks as "_").
void DescribeUSBPrinter(int index, const WStr& deviceId, WStr& description, WStr& compatibleId);
// A printer fits an entry when its description holds the model name, or the entry's hardware ID
// holds its compatible ID (both ignoring the case of a to z).
bool USBPrinterMatches(const WStr& modelName, const WStr& hardwareId, const WStr& description, const WStr& compatibleId);

// The USB port of the first connected printer, in the library's order, that matches the model
// name (its description) or the hardware ID (its compatible ID) and that no printer of
// `printerList` (the printer list as the install sequence last read it) uses yet; empty when
// there is none.
void GetOnlineUSBPortForNotInstallDriver(const WStr& modelName, const WStr& hardwareId, const TStringList& printerList,
                                         WStr& port);

// Tells its owner when a USB printer (or, unrestricted, any USB device) is plugged in or pulled
// out: a hidden window registered for the device-interface notifications of the class turns
// arrivals and removals into two events, run on the thread that created the component.
class TComponentUSB {
 public:
  using TNotifyEvent = std::function<void(TComponentUSB& sender)>;

  explicit TComponentUSB(bool bUSBPrinterOnly);
  TComponentUSB(const TComponentUSB&) = delete;
  TComponentUSB& operator=(const TComponentUSB&) = delete;

  TNotifyEvent OnUSBArrival;
  TNotifyEvent OnUSBRemove;
  HWND Handle() const { return FWindowHandle.get(); }

 private:
  bool RegisterUSBNotification(bool restrictToPrinters);
  static LRESULT CALLBACK USBWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  void WMDeviceChange(WPARAM event, LPARAM record);

  unique_window FWindowHandle;  // the registration lasts as long as the window
};
