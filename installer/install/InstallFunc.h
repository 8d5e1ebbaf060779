// The install procedures that drive the device-install library: registering an INF, the check for
// a connected printer, finding its device and port, rescanning the hardware, the online install
// (in-process on 32-bit Windows, through the 64-bit install host on 64-bit Windows) and the offline
// install through the system printer command. Each one loads the library by path, calls one
// export and unloads it again, so that no library copy outlives the call.
#pragma once

#include "common/text.h"
#include "win32/user.h"

// Install codes: 0 is success; any other value not named here is a setup or system error code
// passed through from the library.
constexpr DWORD UIAddFailed = 0x20280001;        // the printer command did not add exactly one printer
constexpr DWORD ReqOfflineInstall = 0x20280010;  // connected, but installed online on its port before
constexpr DWORD UIAddNoNewPrinter = 0x20280020;  // one more printer, but no new name to single out

bool RegistryInf(const WStr& libraryPath, const WStr& infPath, WStr& registeredInf);
DWORD ExistReqInlineSetupDevice(HWND owner, const WStr& libraryPath, const WStr& hostPath, const WStr& library64Path,
                                const std::string& hardwareId, const std::string& infPath, const WStr& modelName,
                                bool& installedDuringDetection);
bool FindExistDevice(const WStr& libraryPath, const WStr& hardwareId, WStr& foundHardwareId, bool refreshFirst,
                     WStr& port);
void RefreshSystemHW(const WStr& libraryPath);
void RefreshSystemHW_Thread(const WStr& strPindleDll);  // returns at once; the rescan runs on
DWORD UIAddPrinter(const WStr& modelName, const WStr& infPath, const WStr& port, WStr& newPrinterName);
bool InstallSpecPrinter2k(HWND owner, DWORD& lastErrorCode, const WStr& infPath, WStr& port, const WStr& libraryPath,
                          const WStr& hardwareId);
void PindleShowErrorCode(const WStr& libraryPath, bool show);
DWORD PindleLastInstallErrorCode(HMODULE library);
DWORD IsInlineDeviceExist64(HWND owner, const WStr& hardwareId, const WStr& infPath, DWORD flags,
                            const WStr& library64Path, const WStr& hostPath);
void InstallSpecPrinter64(HWND owner, const WStr& hostPath, const WStr& infPath, WStr& port, HANDLE& process,
                          const WStr& libraryPath, const WStr& library64Path, const WStr& hardwareId);

// The port a device instance ID names: "USB001" from "...&USB001", "LPT1:" from "...&LPT1",
// empty for any other device.
WStr PortOfInstanceId(const WStr& instanceId);
