// The device-install library (pindle.dll for 32-bit processes, pindle64.dll for 64-bit ones): a
// thin layer over the system's device setup that registers an INF, installs a driver on present
// Plug and Play devices, finds the device that carries a hardware ID (and mends its port entry)
// and rescans the hardware. All texts are 8-bit, in the system's ANSI code page.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"
#include "devinstall/pindle_res.h"
#include "win32/kernel.h"
#include "win32/registry.h"
#include "win32/setup.h"
#include "win32/user.h"

// Exported undecorated: the .def files name them on Windows; elsewhere the symbols are the exports.
#ifdef _WIN32
#define PINDLE_EXPORT extern "C"
#else
#define PINDLE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Process-wide switches of this loaded copy; all start at 0 and go with the unload.
int g_DebugMode = 0;
int g_ShowErrorCode = 0;
int g_EnableRootID = 0;
HWND g_OwnerWindow = nullptr;
DWORD g_LastInstallErrorCode = 0;
HINSTANCE g_Module = nullptr;

// The caller's out buffers: a first hardware ID of at most 200 characters and its zero byte, and
// an instance ID read into 100 characters.
constexpr size_t kHardwareIdChars = 201;
constexpr DWORD kInstanceIdChars = 100;
constexpr DWORD kSystemMessageBytes = 200;
constexpr DWORD kPathChars = MAX_PATH;
constexpr int kStringChars = 256;

// What the installer looks for and how it reads the debug output is fixed by earlier releases:
// these two lines go out as GBK bytes whatever the system's code page is.
// "Update Driver For PlugAndPlay Devices 聯機安裝成功，需要啟動Windows。"
constexpr char kInstalledRestartText[] =
    "Update Driver For PlugAndPlay Devices "
    "\xC2\x93\x99"
    "C"
    "\xB0\xB2\xD1"
    "b"
    "\xB3\xC9\xB9\xA6\xA3\xAC\xD0\xE8\xD2\xAA\x86\xA2\x84\xD3"
    "Windows"
    "\xA1\xA3";
// "Update Driver For PlugAndPlay Devices 聯機安裝成功。"
constexpr char kInstalledText[] =
    "Update Driver For PlugAndPlay Devices "
    "\xC2\x93\x99"
    "C"
    "\xB0\xB2\xD1"
    "b"
    "\xB3\xC9\xB9\xA6\xA1\xA3";

std::string LoadText(UINT id) {
  char buf[kStringChars] = {};
  int n = LoadStringA(g_Module, id, buf, kStringChars);
  return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// printf-style filling of a text from the string table (its own, trusted formats).
std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, again);
    out.resize(static_cast<size_t>(n));
  }
  va_end(again);
  return out;
}

// The zero-ended text at the start of a buffer, never reading past its end.
std::string_view ZeroEnded(const char* buffer, size_t size) {
  const void* zero = std::memchr(buffer, '\0', size);
  return std::string_view(buffer, zero ? static_cast<size_t>(static_cast<const char*>(zero) - buffer) : size);
}

// Copies `text` into a caller's buffer of `size` bytes, cut to fit and always zero-ended.
void CopyBounded(char* buffer, size_t size, std::string_view text) {
  if (!buffer || size == 0) return;
  size_t n = text.size() < size ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

// Records the thread's last error as the last install error code and, when error boxes are on,
// shows it with the system's text for it. The thread's last error is left as it was found, so
// the caller can still read it.
DWORD ReportSetupError(const char* operation, HWND window) {
  DWORD code = GetLastError();
  g_LastInstallErrorCode = code;
  char message[kSystemMessageBytes] = {};
  DWORD got = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             message, kSystemMessageBytes, nullptr);
  std::string text = got > 0 ? FormatText(LoadText(IDS_SETUP_FAILED_TEXT).c_str(), operation, message)
                             : FormatText(LoadText(IDS_SETUP_FAILED_CODE).c_str(), operation, static_cast<unsigned>(code));
  if (g_ShowErrorCode) {
    std::string caption = LoadText(IDS_ERROR_CAPTION);
    MessageBoxA(window ? window : g_OwnerWindow, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
  }
  SetLastError(code);
  return code;
}

// Whether `wanted` equals the zero-ended text that starts at some byte position of the list: the
// whole or the tail of one of its entries. Every byte position counts, also one inside a
// double-byte character, and the bytes compare exactly.
bool ListHasTail(const std::vector<char>& list, std::string_view wanted) {
  if (wanted.size() >= list.size()) return false;
  const size_t end = list.size() - wanted.size();
  for (size_t p = 0; p < end; ++p)
    if (list[p + wanted.size()] == '\0' && std::memcmp(&list[p], wanted.data(), wanted.size()) == 0) return true;
  return false;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 0x20);
    if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 0x20);
    if (a != b) return false;
  }
  return true;
}

enum class ReadResult { kRead, kNoHardwareIds, kFailed };

// The device's hardware-ID list (REG_MULTI_SZ), in a buffer grown to the size the system asks for.
ReadResult ReadHardwareIds(HDEVINFO set, SP_DEVINFO_DATA& device, std::vector<char>& list) {
  list.clear();
  DWORD required = 0;
  while (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, nullptr,
                                            reinterpret_cast<PBYTE>(list.data()), static_cast<DWORD>(list.size()),
                                            &required)) {
    DWORD error = GetLastError();
    if (error == ERROR_INVALID_DATA) return ReadResult::kNoHardwareIds;
    if (error != ERROR_INSUFFICIENT_BUFFER || required <= list.size()) return ReadResult::kFailed;
    list.assign(required, '\0');
  }
  return ReadResult::kRead;
}

// The device's instance ID, whole; empty when it cannot be read.
std::string ReadInstanceId(HDEVINFO set, SP_DEVINFO_DATA& device) {
  std::vector<char> id(kInstanceIdChars, '\0');
  DWORD required = 0;
  if (!SetupDiGetDeviceInstanceIdA(set, &device, id.data(), static_cast<DWORD>(id.size()), &required)) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= id.size()) return {};
    id.assign(required, '\0');
    if (!SetupDiGetDeviceInstanceIdA(set, &device, id.data(), static_cast<DWORD>(id.size()), nullptr)) return {};
  }
  return std::string(ZeroEnded(id.data(), id.size()));
}

// A printer whose "Device Parameters" key is missing gets it back with the port the spooler's port
// monitor expects: "LPT1:" for a parallel device, the last six characters of the instance ID (the
// USB00n of a printer interface) for a USB one. Returns false when the key could not be created;
// the device is then dropped from the set.
bool RepairPortEntry(const std::string& instanceId) {
  std::string path = "system\\CurrentControlSet\\Enum\\" + instanceId + "\\Device Parameters";
  HKEY raw = nullptr;
  if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &raw) == ERROR_SUCCESS) {
    unique_hkey existing(raw);
    return true;
  }
  raw = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &raw, &disposition) != ERROR_SUCCESS)
    return false;
  unique_hkey key(raw);
  std::string port;
  if (instanceId.compare(0, 3, "LPT") == 0) {
    port = "LPT1:";
  } else if (instanceId.compare(0, 3, "USB") == 0) {
    port = instanceId.size() > 6 ? instanceId.substr(instanceId.size() - 6) : instanceId;
  } else {
    return true;
  }
  RegSetValueExA(key.get(), "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                 static_cast<DWORD>(port.size() + 1));
  return true;
}

}  // namespace

// The loader tells the library its module handle, which the string table is loaded from.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD, LPVOID) {
  g_Module = instance;
  return TRUE;
}

PINDLE_EXPORT void WINAPI SetDebugMode(int value) { g_DebugMode = value; }

PINDLE_EXPORT void WINAPI ShowErrorCode(int value) { g_ShowErrorCode = value; }

PINDLE_EXPORT void WINAPI EnableRootID(int value) { g_EnableRootID = value; }

PINDLE_EXPORT DWORD WINAPI LastInstallErrorCode() { return g_LastInstallErrorCode; }

PINDLE_EXPORT void WINAPI RefreshHW() {
  DEVINST root = 0;
  if (CM_Locate_DevNode_ExA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL, nullptr) == CR_SUCCESS)
    CM_Reenumerate_DevNode_Ex(root, CM_REENUMERATE_NORMAL, nullptr);
}

PINDLE_EXPORT BOOL WINAPI FuncFindExistDevice(LPCSTR hardwareId, LPSTR foundHardwareId, LPSTR foundInstanceId) {
  if (g_DebugMode) MessageBoxA(g_OwnerWindow, "FuncFindExistDevice()<<<", "debug", MB_OK);
  if (!hardwareId) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  GUID usbClass{};
  DWORD classes = 0;
  if (!SetupDiClassGuidsFromNameA("USB", &usbClass, 1, &classes) && GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return FALSE;
  if (classes == 0) return FALSE;

  unique_devinfo set(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  if (!set) {
    ReportSetupError("GetClassDevs(All Present Devices)", nullptr);
    return FALSE;
  }

  const std::string_view wanted(hardwareId);
  bool found = false;
  DWORD stopError = ERROR_SUCCESS;
  std::vector<char> ids;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD index = 0;; ++index) {
    if (!SetupDiEnumDeviceInfo(set.get(), index, &device)) {
      stopError = GetLastError();
      if (stopError != ERROR_NO_MORE_ITEMS) stopError = ReportSetupError("EnumDeviceInfo", nullptr);
      break;
    }
    ReadResult read = ReadHardwareIds(set.get(), device, ids);
    if (read == ReadResult::kNoHardwareIds) continue;
    if (read == ReadResult::kFailed) {
      stopError = ReportSetupError("GetDeviceRegistryProperty", nullptr);
      break;
    }
    if (!ListHasTail(ids, wanted)) continue;

    // A device whose IDs do not fit the caller's buffers cannot be handed back whole; it is not
    // taken as found, but its port entry is mended like any other.
    std::string instanceId = ReadInstanceId(set.get(), device);
    if (instanceId.empty()) continue;
    std::string_view firstId = ZeroEnded(ids.data(), ids.size());
    bool fits = instanceId.size() < kInstanceIdChars && firstId.size() < kHardwareIdChars;
    bool isFound = fits && (g_EnableRootID || !StartsWithNoCase(instanceId, "Root"));
    if (isFound && foundHardwareId) {
      CopyBounded(foundHardwareId, kHardwareIdChars, firstId);
      CopyBounded(foundInstanceId, kInstanceIdChars, instanceId);
    }
    if (!RepairPortEntry(instanceId) && SetupDiDeleteDeviceInfo(set.get(), &device)) {
      // The set closed up behind the dropped device: the next one now has this index.
      if (!isFound) --index;
    }
    if (isFound) {
      found = true;
      break;
    }
  }
  set.reset();
  SetLastError(found ? ERROR_SUCCESS : stopError);
  return found ? TRUE : FALSE;
}

PINDLE_EXPORT DWORD WINAPI Pindle_IsInlineDeviceExist(HWND owner, LPCSTR hardwareId, LPCSTR infPath, DWORD flags) {
  // The caller learns only whether the driver went on; a needed restart is its own business, so
  // the system is never left to restart by itself.
  BOOL restart = FALSE;
  if (UpdateDriverForPlugAndPlayDevicesA(owner, hardwareId, infPath, flags, &restart)) return 0;
  return GetLastError();
}

PINDLE_EXPORT int WINAPI FuncPindle(LPCSTR infPath, LPCSTR hardwareId, LPCSTR /*port*/, HWND owner) {
  g_OwnerWindow = owner;
  if (g_DebugMode) MessageBoxA(g_OwnerWindow, "Pindle()<<<<<<", "debug", MB_OK);

  char fullInf[kPathChars] = {};
  DWORD len = infPath ? GetFullPathNameA(infPath, kPathChars, fullInf, nullptr) : 0;
  DWORD attributes = len > 0 && len < kPathChars ? GetFileAttributesA(fullInf) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (g_ShowErrorCode) {
      std::string caption = LoadText(IDS_ERROR_CAPTION);
      MessageBoxA(owner, infPath ? infPath : "", caption.c_str(), MB_OK | MB_ICONEXCLAMATION);
    }
    return 2;
  }

  g_EnableRootID = 0;
  char hardwareIdCopy[kPathChars] = {};
  CopyBounded(hardwareIdCopy, sizeof hardwareIdCopy, hardwareId ? hardwareId : "");
  OutputDebugStringA(hardwareIdCopy);
  OutputDebugStringA(fullInf);

  BOOL restart = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesA(owner, hardwareId, fullInf, INSTALLFLAG_FORCE, &restart)) {
    DWORD error = GetLastError();
    OutputDebugStringA("Update Driver For PlugAndPlay Devices fail !!!");
    SetLastError(error);
    if (error == static_cast<DWORD>(ERROR_NO_ASSOCIATED_SERVICE)) return -1;
    ReportSetupError("Update Driver For PlugAndPlay Devices", owner);
    return 2;
  }
  if (restart) {
    OutputDebugStringA(kInstalledRestartText);
    return 1;
  }
  OutputDebugStringA(kInstalledText);
  return 0;
}

PINDLE_EXPORT BOOL WINAPI Pindle_RegistryInf(LPCSTR infPath, LPCSTR mediaLocation, LPSTR buffer, DWORD size) {
  char registered[kPathChars] = {};
  DWORD required = 0;
  BOOL ok = SetupCopyOEMInfA(infPath, mediaLocation, SPOST_PATH, 0, registered, kPathChars, &required, nullptr);
  // Only a name the system gave whole is handed on, and only into a buffer it fits.
  if (ok && buffer && size != 0 && size <= 0x7FFFFFFFu && required < size)
    CopyBounded(buffer, size, ZeroEnded(registered, kPathChars));
  return ok;
}
