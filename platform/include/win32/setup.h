// Device setup: setup classes, device information sets and their properties, the driver store
// (SetupCopyOEMInf), the configuration manager's device nodes and the driver update of newdev.
#pragma once

#include "win32/base.h"
#include "win32/user.h"

#ifdef _WIN32

#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#else

typedef PVOID HDEVINFO;
typedef DWORD DEVINST;
typedef DEVINST* PDEVINST;
typedef DWORD CONFIGRET;
typedef HANDLE HMACHINE;
typedef CHAR* DEVINSTID_A;
typedef WCHAR* DEVINSTID_W;
typedef const CHAR* PCSTR;
typedef const WCHAR* PCWSTR;
typedef CHAR* PSTR;
typedef WCHAR* PWSTR;

typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

// A variable-length record: the path runs on past the declared single character.
typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W {
  DWORD cbSize;
  WCHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_W, *PSP_DEVICE_INTERFACE_DETAIL_DATA_W;

#define SPINT_ACTIVE 0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_LOCATION_INFORMATION 0x0000000D
#define SPDRP_ENUMERATOR_NAME 0x00000016

#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2
#define SP_COPY_REPLACEONLY 0x0000002
#define SP_COPY_NOOVERWRITE 0x0000008
#define SP_COPY_OEMINF_CATALOG_ONLY 0x0040000

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004

#define CR_SUCCESS 0x00000000
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CM_LOCATE_DEVNODE_NORMAL 0x00000000
#define CM_LOCATE_DEVNODE_PHANTOM 0x00000001
#define CM_REENUMERATE_NORMAL 0x00000000

extern "C" {
WINSIM_API BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                                  PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                                  PDWORD RequiredSize);
WINSIM_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
WINSIM_API HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags);
WINSIM_API BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                         DWORD Property, PDWORD PropertyRegDataType,
                                                         PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                         PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                         DWORD Property, PDWORD PropertyRegDataType,
                                                         PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                         PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                                   PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                                   PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
WINSIM_API BOOL WINAPI SetupDiCreateDeviceInterfaceW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                     const GUID* InterfaceClassGuid, PCWSTR ReferenceString,
                                                     DWORD CreationFlags,
                                                     PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet,
                                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                                        DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                        PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiDeleteDeviceInfo(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
WINSIM_API BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation, DWORD OEMSourceMediaType,
                                        DWORD CopyStyle, PSTR DestinationInfFileName,
                                        DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                                        PSTR* DestinationInfFileNameComponent);
WINSIM_API BOOL WINAPI SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation,
                                        DWORD OEMSourceMediaType, DWORD CopyStyle, PWSTR DestinationInfFileName,
                                        DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                                        PWSTR* DestinationInfFileNameComponent);
WINSIM_API CONFIGRET WINAPI CM_Locate_DevNode_ExA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags,
                                                  HMACHINE hMachine);
WINSIM_API CONFIGRET WINAPI CM_Reenumerate_DevNode_Ex(DEVINST dnDevInst, ULONG ulFlags, HMACHINE hMachine);
WINSIM_API BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath,
                                                          DWORD InstallFlags, PBOOL bRebootRequired);
WINSIM_API BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                                          DWORD InstallFlags, PBOOL bRebootRequired);
}

#endif  // _WIN32

namespace win32_layout {
static_assert(sizeof(SP_DEVINFO_DATA) == (sizeof(void*) == 8 ? 32 : 28));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (sizeof(void*) == 8 ? 32 : 28));
// Callers set cbSize to the record's own size: 8 in 64-bit images, 6 in packed 32-bit ones.
static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
}  // namespace win32_layout
