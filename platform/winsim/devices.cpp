// Device setup (setupapi), the configuration manager's device nodes (cfgmgr32) and the driver
// update of newdev, over the machine's device tree. A device information set is a snapshot of
// the devices it was made for; their properties are read from the tree at each call.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "devices_state.h"
#include "win32/setup.h"

namespace winsim {

namespace {

struct DeviceSet : Object {
  std::vector<WStr> instances;
  std::vector<DWORD> devinsts;
  // Device interfaces the set holds: listed by a DIGCF_DEVICEINTERFACE set or created for it.
  struct Interface {
    DWORD devinst;
    GUID guid;
    WStr path;
    bool active;
  };
  std::vector<Interface> interfaces;
};

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
    if (flags & DIGCF_DEVICEINTERFACE) {
      // The GUID names an interface class: the devices that expose one, with their interfaces.
      bool any = false;
      for (auto& cls : device_interface_classes(d)) {
        auto g = parse_guid(cls);
        if (!g || (!(flags & DIGCF_ALLCLASSES) && !same_guid(*g, *guid))) continue;
        set->interfaces.push_back({d.devinst, *g, interface_path(d.instance, cls), d.present});
        any = true;
      }
      if (!any) continue;
    } else if (!(flags & DIGCF_ALLCLASSES)) {
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

std::string guid_text(const GUID& g) {
  char t[40];
  std::snprintf(t, sizeof t, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", static_cast<unsigned>(g.Data1), g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return t;
}

void fill_interface(const DeviceSet& set, size_t index, PSP_DEVICE_INTERFACE_DATA data) {
  const auto& i = set.interfaces[index];
  data->InterfaceClassGuid = i.guid;
  data->Flags = i.active ? SPINT_ACTIVE : 0;
  data->Reserved = index + 1;  // which of the set's interfaces it is
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

WINSIM_API BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  if (DWORD e = fault("SetupDiEnumDeviceInterfaces")) return fail(e, FALSE);
  auto set = set_of(DeviceInfoSet);
  if (!set) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!InterfaceClassGuid) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return fail(ERROR_INVALID_USER_BUFFER, FALSE);
  std::optional<DWORD> only;
  if (DeviceInfoData) {
    DWORD error = 0;
    if (!member(*set, DeviceInfoData, error)) return fail(error, FALSE);
    only = DeviceInfoData->DevInst;
  }
  DWORD seen = 0;
  for (size_t i = 0; i < set->interfaces.size(); ++i) {
    const auto& f = set->interfaces[i];
    if (!same_guid(f.guid, *InterfaceClassGuid) || (only && f.devinst != *only)) continue;
    if (seen++ == MemberIndex) {
      fill_interface(*set, i, DeviceInterfaceData);
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
  }
  return fail(ERROR_NO_MORE_ITEMS, FALSE);
}

WINSIM_API BOOL WINAPI SetupDiCreateDeviceInterfaceW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                     const GUID* InterfaceClassGuid, PCWSTR ReferenceString, DWORD CreationFlags,
                                                     PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  if (DWORD e = fault("SetupDiCreateDeviceInterfaceW")) return fail(e, FALSE);
  auto set = set_of(DeviceInfoSet);
  if (!set) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!InterfaceClassGuid || CreationFlags != 0) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (DeviceInterfaceData && DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return fail(ERROR_INVALID_USER_BUFFER, FALSE);
  DWORD error = 0;
  auto dev = member(*set, DeviceInfoData, error);
  if (!dev) return fail(error, FALSE);
  // The link keeps the instance ID's letters; a reference string follows it behind a "\".
  WStr path = interface_path(dev->instance, from_utf8(guid_text(*InterfaceClassGuid)));
  if (ReferenceString && *ReferenceString) path += u"\\" + WStr(ReferenceString);
  size_t index = set->interfaces.size();
  for (size_t i = 0; i < set->interfaces.size(); ++i)
    if (set->interfaces[i].devinst == dev->devinst && iequal(set->interfaces[i].path, path)) index = i;
  if (index == set->interfaces.size()) {
    auto classes = device_interface_classes(*dev);
    bool exposed = std::any_of(classes.begin(), classes.end(), [&](const WStr& c) {
      auto g = parse_guid(c);
      return g && same_guid(*g, *InterfaceClassGuid);
    });
    set->interfaces.push_back({dev->devinst, *InterfaceClassGuid, path, exposed && dev->present});
  }
  if (DeviceInterfaceData) fill_interface(*set, index, DeviceInterfaceData);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

WINSIM_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                                        DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                        PSP_DEVINFO_DATA DeviceInfoData) {
  if (DWORD e = fault("SetupDiGetDeviceInterfaceDetailW")) return fail(e, FALSE);
  auto set = set_of(DeviceInfoSet);
  if (!set) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return fail(ERROR_INVALID_USER_BUFFER, FALSE);
  ULONG_PTR which = DeviceInterfaceData->Reserved;
  if (which == 0 || which > set->interfaces.size()) return fail(ERROR_INVALID_PARAMETER, FALSE);
  const auto& f = set->interfaces[which - 1];
  if (DeviceInterfaceDetailData && DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
    return fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (!DeviceInterfaceDetailData && DeviceInterfaceDetailDataSize != 0) return fail(ERROR_INVALID_USER_BUFFER, FALSE);
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER, FALSE);
  DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (f.path.size() + 1) * sizeof(WCHAR));
  if (RequiredSize) *RequiredSize = need;
  if (DeviceInfoData) {
    Devices d = read_devices();
    Device* dev = d.by_devinst(f.devinst);
    GUID g{};
    if (dev)
      if (auto parsed = parse_guid(dev->class_guid)) g = *parsed;
    DeviceInfoData->ClassGuid = g;
    DeviceInfoData->DevInst = f.devinst;
    DeviceInfoData->Reserved = 0;
  }
  if (!DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < need) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  // The path runs past the record's declared one character, into the caller's bytes.
  std::memcpy(reinterpret_cast<BYTE*>(DeviceInterfaceDetailData) + offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath),
              f.path.c_str(), (f.path.size() + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
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
