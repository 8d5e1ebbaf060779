// Device setup (setupapi), the configuration manager's device nodes (cfgmgr32) and the driver
// update of newdev, over the machine's device tree. A device information set is a snapshot of
// the devices it was made for; their properties are read from the tree at each call.
#include <algorithm>
#include <cstring>

#include "devices_state.h"
#include "win32/setup.h"

namespace winsim {

namespace {

struct DeviceSet : Object {
  std::vector<WStr> instances;
  std::vector<DWORD> devinsts;
};

std::optional<GUID> parse_guid(WStrView text) {
  std::string t = to_utf8(text);
  GUID g{};
  unsigned d[11] = {};
  if (t.size() != 38 ||
      std::sscanf(t.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5], &d[6],
                  &d[7], &d[8], &d[9], &d[10]) != 11)
    return std::nullopt;
  g.Data1 = d[0];
  g.Data2 = static_cast<WORD>(d[1]);
  g.Data3 = static_cast<WORD>(d[2]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<BYTE>(d[3 + i]);
  return g;
}

bool same_guid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::shared_ptr<DeviceSet> set_of(HDEVINFO h) {
  return h && h != INVALID_HANDLE_VALUE ? process().get<DeviceSet>(h) : nullptr;
}

// The device a caller's SP_DEVINFO_DATA names within the set.
std::optional<Device> member(const DeviceSet& set, PSP_DEVINFO_DATA data, DWORD& error) {
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    error = ERROR_INVALID_USER_BUFFER;
    return std::nullopt;
  }
  if (std::find(set.devinsts.begin(), set.devinsts.end(), data->DevInst) == set.devinsts.end()) {
    error = ERROR_INVALID_PARAMETER;
    return std::nullopt;
  }
  Devices d = read_devices();
  Device* dev = d.by_devinst(data->DevInst);
  if (!dev) {
    error = ERROR_NO_SUCH_DEVINST;
    return std::nullopt;
  }
  return *dev;
}

// A property as the registry would hold it: its type and UTF-16 bytes; none when absent.
std::optional<std::pair<DWORD, WStr>> property(const Device& d, DWORD prop) {
  auto text = [](const WStr& s) -> std::optional<std::pair<DWORD, WStr>> {
    if (s.empty()) return std::nullopt;
    return std::pair<DWORD, WStr>{REG_SZ, s + WStr(1, u'\0')};
  };
  auto multi = [](const std::vector<WStr>& l) -> std::optional<std::pair<DWORD, WStr>> {
    if (l.empty()) return std::nullopt;
    WStr all;
    for (auto& s : l) all += s + WStr(1, u'\0');
    return std::pair<DWORD, WStr>{REG_MULTI_SZ, all + WStr(1, u'\0')};
  };
  switch (prop) {
    case SPDRP_DEVICEDESC:
      return text(d.description);
    case SPDRP_HARDWAREID:
      return multi(d.hardware_ids);
    case SPDRP_COMPATIBLEIDS:
      return multi(d.compatible_ids);
    case SPDRP_SERVICE:
      return text(d.service);
    case SPDRP_CLASS:
      return text(d.cls);
    case SPDRP_CLASSGUID:
      return text(d.class_guid);
    case SPDRP_DRIVER:
      return d.driver && !d.class_guid.empty() ? text(d.class_guid + u"\\0000") : std::nullopt;
    case SPDRP_MFG:
      return text(d.driver ? d.driver->provider : d.mfg);
    case SPDRP_FRIENDLYNAME:
      return std::nullopt;
    case SPDRP_LOCATION_INFORMATION:
      return text(d.location);
    case SPDRP_ENUMERATOR_NAME:
      return text(d.instance.substr(0, d.instance.find(u'\\')));
  }
  return std::nullopt;
}

BOOL get_property(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD prop, PDWORD type, PBYTE buf, DWORD size, PDWORD required,
                  bool narrow) {
  auto set = set_of(h);
  if (!set) return fail(ERROR_INVALID_HANDLE, FALSE);
  DWORD error = 0;
  auto dev = member(*set, data, error);
  if (!dev) return fail(error, FALSE);
  auto p = property(*dev, prop);
  if (!p) return fail(ERROR_INVALID_DATA, FALSE);
  std::string bytes;
  if (narrow)
    bytes = to_acp(p->second);
  else
    bytes.assign(reinterpret_cast<const char*>(p->second.data()), p->second.size() * 2);
  if (type) *type = p->first;
  if (required) *required = static_cast<DWORD>(bytes.size());
  if (!buf || size < bytes.size()) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(buf, bytes.data(), bytes.size());
  return TRUE;
}

HDEVINFO class_devs(const GUID* guid, const WStr* enumerator, DWORD flags) {
  if (!(flags & DIGCF_ALLCLASSES) && !guid) return fail(ERROR_INVALID_PARAMETER, static_cast<HDEVINFO>(INVALID_HANDLE_VALUE));
  auto set = std::make_shared<DeviceSet>();
  for (auto& d : read_devices().devices) {
    if ((flags & DIGCF_PRESENT) && !d.present) continue;
    if (!(flags & DIGCF_ALLCLASSES)) {
      auto g = parse_guid(d.class_guid);
      if (!g || !same_guid(*g, *guid)) continue;
    }
    if (enumerator && !enumerator->empty() && !iequal(d.instance.substr(0, d.instance.find(u'\\')), *enumerator)) continue;
    set->instances.push_back(d.instance);
    set->devinsts.push_back(d.devinst);
  }
  SetLastError(ERROR_SUCCESS);
  return process().add(set);
}

BOOL class_guids(const WStr& name, LPGUID list, DWORD size, PDWORD required) {
  std::vector<GUID> found;
  if (auto g = parse_guid(class_guid_of(name))) found.push_back(*g);
  for (auto& d : read_devices().devices)
    if (iequal(d.cls, name))
      if (auto g = parse_guid(d.class_guid); g && std::none_of(found.begin(), found.end(), [&](const GUID& x) { return same_guid(x, *g); }))
        found.push_back(*g);
  if (required) *required = static_cast<DWORD>(found.size());
  if (size < found.size() || (!list && !found.empty())) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::copy(found.begin(), found.end(), list);
  return TRUE;
}

BOOL copy_oem_inf(const WStr& src, DWORD media_type, DWORD style, WStr& stored) {
  if (media_type > SPOST_URL) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (src.size() < 3 || src[1] != u':') return fail(ERROR_INVALID_PARAMETER, FALSE);  // a full path, as the docs demand
  DWORD e = store_inf(src, read_devices().policy, stored, style & SP_COPY_NOOVERWRITE, style & SP_COPY_REPLACEONLY);
  if (e) return fail(e, FALSE);
  return TRUE;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API BOOL WINAPI SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                                  PDWORD RequiredSize) {
  if (DWORD e = fault("SetupDiClassGuidsFromNameW")) return fail(e, FALSE);
  if (!ClassName) return fail(ERROR_INVALID_PARAMETER, FALSE);
  return class_guids(ClassName, ClassGuidList, ClassGuidListSize, RequiredSize);
}

WINSIM_API BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                                  PDWORD RequiredSize) {
  if (DWORD e = fault("SetupDiClassGuidsFromNameA")) return fail(e, FALSE);
  if (!ClassName) return fail(ERROR_INVALID_PARAMETER, FALSE);
  return class_guids(from_acp(ClassName), ClassGuidList, ClassGuidListSize, RequiredSize);
}

WINSIM_API HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND, DWORD Flags) {
  if (DWORD e = fault("SetupDiGetClassDevsW")) return fail(e, static_cast<HDEVINFO>(INVALID_HANDLE_VALUE));
  WStr en = wstr_or_empty(Enumerator);
  return class_devs(ClassGuid, Enumerator ? &en : nullptr, Flags);
}

WINSIM_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
  if (DWORD e = fault("SetupDiGetClassDevsA")) return fail(e, static_cast<HDEVINFO>(INVALID_HANDLE_VALUE));
  WStr en = Enumerator ? from_acp(Enumerator) : WStr();
  return class_devs(ClassGuid, Enumerator ? &en : nullptr, Flags);
}

WINSIM_API BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
  if (DWORD e = fault("SetupDiEnumDeviceInfo")) return fail(e, FALSE);
  auto set = set_of(DeviceInfoSet);
  if (!set) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (MemberIndex >= set->devinsts.size()) return fail(ERROR_NO_MORE_ITEMS, FALSE);
  Devices d = read_devices();
  Device* dev = d.by_devinst(set->devinsts[MemberIndex]);
  GUID g{};
  if (dev)
    if (auto parsed = parse_guid(dev->class_guid)) g = *parsed;
  DeviceInfoData->ClassGuid = g;
  DeviceInfoData->DevInst = set->devinsts[MemberIndex];
  DeviceInfoData->Reserved = 0;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

WINSIM_API BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                         DWORD Property, PDWORD PropertyRegDataType,
                                                         PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                         PDWORD RequiredSize) {
  if (DWORD e = fault("SetupDiGetDeviceRegistryPropertyW")) return fail(e, FALSE);
  return get_property(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer, PropertyBufferSize,
                      RequiredSize, false);
}

WINSIM_API BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                         DWORD Property, PDWORD PropertyRegDataType,
                                                         PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                         PDWORD RequiredSize) {
  if (DWORD e = fault("SetupDiGetDeviceRegistryPropertyA")) return fail(e, FALSE);
  return get_property(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer, PropertyBufferSize,
                      RequiredSize, true);
}

WINSIM_API BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                                   PDWORD RequiredSize) {
  if (DWORD e = fault("SetupDiGetDeviceInstanceIdW")) return fail(e, FALSE);
  auto set = set_of(DeviceInfoSet);
  if (!set) return fail(ERROR_INVALID_HANDLE, FALSE);
  DWORD error = 0;
  auto dev = member(*set, DeviceInfoData, error);
  if (!dev) return fail(error, FALSE);
  DWORD need = static_cast<DWORD>(dev->instance.size() + 1);
  if (RequiredSize) *RequiredSize = need;
  if (!DeviceInstanceId || DeviceInstanceIdSize < need) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(DeviceInstanceId, dev->instance.c_str(), need * sizeof(WCHAR));
  return TRUE;
}

WINSIM_API BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                                   PDWORD RequiredSize) {
  if (DWORD e = fault("SetupDiGetDeviceInstanceIdA")) return fail(e, FALSE);
  auto set = set_of(DeviceInfoSet);
  if (!set) return fail(ERROR_INVALID_HANDLE, FALSE);
  DWORD error = 0;
  auto dev = member(*set, DeviceInfoData, error);
  if (!dev) return fail(error, FALSE);
  std::string id = to_acp(dev->instance);
  DWORD need = static_cast<DWORD>(id.size() + 1);
  if (RequiredSize) *RequiredSize = need;
  if (!DeviceInstanceId || DeviceInstanceIdSize < need) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(DeviceInstanceId, id.c_str(), need);
  return TRUE;
}

WINSIM_API BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData) {
  if (DWORD e = fault("SetupDiDeleteDeviceInfo")) return fail(e, FALSE);
  auto set = set_of(DeviceInfoSet);
  if (!set) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER, FALSE);
  auto it = std::find(set->devinsts.begin(), set->devinsts.end(), DeviceInfoData->DevInst);
  if (it == set->devinsts.end()) return fail(ERROR_INVALID_PARAMETER, FALSE);
  // Only the set forgets it: the device stays installed.
  set->instances.erase(set->instances.begin() + (it - set->devinsts.begin()));
  set->devinsts.erase(it);
  return TRUE;
}

WINSIM_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (DWORD e = fault("SetupDiDestroyDeviceInfoList")) return fail(e, FALSE);
  if (!set_of(DeviceInfoSet)) return fail(ERROR_INVALID_HANDLE, FALSE);
  process().close(DeviceInfoSet);
  return TRUE;
}

WINSIM_API BOOL WINAPI SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR, DWORD OEMSourceMediaType, DWORD CopyStyle,
                                        PWSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                                        PDWORD RequiredSize, PWSTR* DestinationInfFileNameComponent) {
  if (DWORD e = fault("SetupCopyOEMInfW")) return fail(e, FALSE);
  if (!SourceInfFileName) return fail(ERROR_INVALID_PARAMETER, FALSE);
  WStr stored;
  BOOL ok = copy_oem_inf(full_path(SourceInfFileName), OEMSourceMediaType, CopyStyle, stored);
  DWORD error = GetLastError();
  if (stored.empty()) return FALSE;
  if (RequiredSize) *RequiredSize = static_cast<DWORD>(stored.size() + 1);
  if (DestinationInfFileName) {
    if (DestinationInfFileNameSize < stored.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::memcpy(DestinationInfFileName, stored.c_str(), (stored.size() + 1) * sizeof(WCHAR));
    if (DestinationInfFileNameComponent) *DestinationInfFileNameComponent = DestinationInfFileName + stored.find_last_of(u'\\') + 1;
  }
  if (!ok) SetLastError(error);
  return ok;
}

WINSIM_API BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR, DWORD OEMSourceMediaType, DWORD CopyStyle,
                                        PSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                                        PDWORD RequiredSize, PSTR* DestinationInfFileNameComponent) {
  if (DWORD e = fault("SetupCopyOEMInfA")) return fail(e, FALSE);
  if (!SourceInfFileName) return fail(ERROR_INVALID_PARAMETER, FALSE);
  WStr stored;
  BOOL ok = copy_oem_inf(full_path(from_acp(SourceInfFileName)), OEMSourceMediaType, CopyStyle, stored);
  DWORD error = GetLastError();
  if (stored.empty()) return FALSE;
  std::string name = to_acp(stored);
  if (RequiredSize) *RequiredSize = static_cast<DWORD>(name.size() + 1);
  if (DestinationInfFileName) {
    if (DestinationInfFileNameSize < name.size() + 1) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::memcpy(DestinationInfFileName, name.c_str(), name.size() + 1);
    if (DestinationInfFileNameComponent) *DestinationInfFileNameComponent = DestinationInfFileName + name.find_last_of('\\') + 1;
  }
  if (!ok) SetLastError(error);
  return ok;
}

WINSIM_API CONFIGRET WINAPI CM_Locate_DevNode_ExA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags, HMACHINE) {
  if (DWORD e = fault("CM_Locate_DevNode_ExA")) return e;
  if (!pdnDevInst) return CR_INVALID_POINTER;
  if (ulFlags & ~static_cast<ULONG>(CM_LOCATE_DEVNODE_PHANTOM)) return CR_INVALID_FLAG;
  *pdnDevInst = 0;
  if (!pDeviceID || !*pDeviceID) {
    *pdnDevInst = 1;  // the root of the tree
    return CR_SUCCESS;
  }
  Devices d = read_devices();
  Device* dev = d.find(from_acp(pDeviceID));
  if (!dev || (!dev->present && !(ulFlags & CM_LOCATE_DEVNODE_PHANTOM))) return CR_NO_SUCH_DEVNODE;
  *pdnDevInst = dev->devinst;
  return CR_SUCCESS;
}

WINSIM_API CONFIGRET WINAPI CM_Reenumerate_DevNode_Ex(DEVINST dnDevInst, ULONG, HMACHINE) {
  if (DWORD e = fault("CM_Reenumerate_DevNode_Ex")) return e;
  if (dnDevInst != 1) {
    Devices d = read_devices();
    if (!d.by_devinst(dnDevInst)) return CR_INVALID_DEVNODE;
  }
  rescan_devices();
  return CR_SUCCESS;
}

WINSIM_API BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                                          DWORD InstallFlags, PBOOL bRebootRequired) {
  if (DWORD e = fault("UpdateDriverForPlugAndPlayDevicesW")) return fail(e, FALSE);
  if (InstallFlags & ~static_cast<DWORD>(INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE))
    return fail(ERROR_INVALID_FLAGS, FALSE);
  if (!HardwareId || !*HardwareId || !FullInfPath || !*FullInfPath) return fail(ERROR_INVALID_PARAMETER, FALSE);
  // A 32-bit process on 64-bit Windows cannot install drivers: it must ask a 64-bit one.
  if (is_wow64()) return fail(ERROR_IN_WOW64, FALSE);
  bool reboot = false;
  DWORD e = install_driver(HardwareId, full_path(FullInfPath), InstallFlags & INSTALLFLAG_FORCE, reboot);
  if (e) return fail(e, FALSE);
  if (bRebootRequired) *bRebootRequired = reboot ? TRUE : FALSE;
  // With nowhere to say so, the install restarts Windows itself.
  if (reboot && !bRebootRequired) append_event({{"type", "session"}, {"action", "restart"}, {"by", "UpdateDriverForPlugAndPlayDevices"}});
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

WINSIM_API BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath,
                                                          DWORD InstallFlags, PBOOL bRebootRequired) {
  if (DWORD e = fault("UpdateDriverForPlugAndPlayDevicesA")) return fail(e, FALSE);
  WStr id = HardwareId ? from_acp(HardwareId) : WStr(), inf = FullInfPath ? from_acp(FullInfPath) : WStr();
  return UpdateDriverForPlugAndPlayDevicesW(hwndParent, HardwareId ? id.c_str() : nullptr,
                                            FullInfPath ? inf.c_str() : nullptr, InstallFlags, bRebootRequired);
}

}  // extern "C"
