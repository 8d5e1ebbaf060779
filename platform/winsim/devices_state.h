// Plug and Play devices: the device tree of the machine (devices.json) with instance IDs, setup
// classes, hardware and compatible IDs, presence and the bound driver, plus the machine's device
// installation policy; and the driver installation that binds an INF's driver to devices.
#pragma once

#include "inf.h"
#include "state_json.h"

namespace winsim {

struct BoundDriver {
  WStr inf;  // the store's name for it, "oem3.inf"
  WStr section, description, provider;
  unsigned long long date = 0, version = 0;
};

struct Device {
  WStr instance;  // "USBPRINT\\KELVANEKV-1000EAD3\\7&1A2B3C4D&0&USB001"
  DWORD devinst = 0;
  WStr parent;
  WStr cls;  // setup class name; empty until a driver gives one
  WStr class_guid;
  WStr description, mfg, location, service;
  std::vector<WStr> hardware_ids, compatible_ids;
  bool present = true;
  std::optional<BoundDriver> driver;
  WStr device_id;  // a printer's IEEE 1284 ID
  WStr port;       // the printer port it drives ("USB001", "LPT1:")
};

struct SetupPolicy {
  bool restart_needed = false;   // installs answer that Windows must restart
  bool no_service = false;       // installs fail with ERROR_NO_ASSOCIATED_SERVICE
  bool require_catalog = false;  // INFs without their catalog are refused
};

struct Devices {
  std::vector<Device> devices;
  DWORD next_devinst = 2;  // 1 is the root of the tree
  SetupPolicy policy;

  Device* find(WStrView instance);
  Device* by_devinst(DWORD devinst);
};

Devices parse_devices(const json& doc, const std::string& file);
json devices_json(const Devices& d);
Devices read_devices();
void edit_devices(const std::function<void(Devices&)>& change);

// Device interface classes: the USB printing class driver's and the USB device's.
inline constexpr const char16_t* kUsbPrintInterface = u"{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
inline constexpr const char16_t* kUsbDeviceInterface = u"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// A GUID from its registry text "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (letters in any case).
std::optional<GUID> parse_guid(WStrView text);
bool same_guid(const GUID& a, const GUID& b);

// The symbolic link of a device's interface: "\\?\" and the instance ID with "#" for "\", then
// "#" and the interface class ("\\?\USB#VID_1D90&PID_2060#KV1000#{28d78fad-...}").
WStr interface_path(WStrView instance, WStrView interface_class);
// The interface classes a device exposes: the printing class on a device that the USB printing
// service drives, the USB device class on every USB device.
std::vector<WStr> device_interface_classes(const Device& d);
// The present device of the tree behind an interface path ("\\?\" or "\\.\" form, letters in any case).
std::optional<Device> device_of_interface(WStrView path, const Devices& tree);

// The class GUID of a known setup class ("" for an unknown one), and the name of a known GUID.
WStr class_guid_of(WStrView cls);

// Registers an INF in the driver store (C:\Windows\inf\oemN.inf and its .pnf): the same INF
// registered twice keeps its name. Returns the store name's full path, or an error code.
DWORD store_inf(const WStr& inf_path, const SetupPolicy& policy, WStr& stored, bool no_overwrite, bool replace_only);

// Installs the INF's driver on every present device that carries `hardware_id`; with `force`
// also where the bound driver is not older. Fills `reboot` from the policy.
DWORD install_driver(const WStr& hardware_id, const WStr& inf_path, bool force, bool& reboot);
// What a hardware rescan does: present devices without a driver get one from the driver store.
void rescan_devices();

}  // namespace winsim
