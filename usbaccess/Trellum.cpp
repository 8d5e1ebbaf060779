// The USB access library (Trellum.dll, one source for the 32-bit and the 64-bit build): finds the
// USB printers through the system's device setup, names their spooler ports, reads their IEEE 1284
// device IDs and port status through the USB printing class driver, and exchanges the settings
// commands with them. Each transfer opens the printer anew and closes it before it returns.
#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <variant>
#include <vector>

#include "common/handles.h"
#include "usbaccess/TrellumReply.h"
#include "win32/devio.h"
#include "win32/kernel.h"
#include "win32/registry.h"
#include "win32/setup.h"

// Exported undecorated: the .def files name them on Windows; elsewhere the symbols are the exports.
#ifdef _WIN32
#define TRELLUM_EXPORT extern "C"
#else
#define TRELLUM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using namespace trellum;

// The USB printing class driver's device interface class.
constexpr GUID kUsbPrintInterface = {0x28d78fad, 0x5a12, 0x11d1, {0xae, 0x5b, 0x00, 0x00, 0xf8, 0x03, 0xa8, 0xc2}};
const WCHAR kDeviceClassesKey[] =
    W_("SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");

constexpr DWORD kWriteAttempts = 5;
constexpr DWORD kTransferWaitMs = 1000;
constexpr DWORD kReadDelayMs = 100;
constexpr DWORD kReadAtLeast = 4096;

const BYTE kReadCommand[] = {0x1B, 0x10, 0x02, 0x00, 0x05};

struct TPrinterRecord {
  WStr DevicePath;
  WStr PortName;
  WStr DeviceId;
  BYTE Status = 0;
  WStr InstanceId;
  DWORD Linked = 0;
  DWORD PortNumber = 0;
};

// The list of the last enumeration; every enumeration replaces it.
std::vector<TPrinterRecord> g_Printers;

// ---- debug lines ----

using TArg = std::variant<long long, WStr>;

// printf-style for the library's own lines: %d, %i, %.Nd, %x and %s.
WStr Fmt(WStrView fmt, std::initializer_list<TArg> args) {
  WStr out;
  auto next = args.begin();
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != W_('%') || i + 1 >= fmt.size()) {
      out += fmt[i];
      continue;
    }
    if (fmt[++i] == W_('%')) {
      out += W_('%');
      continue;
    }
    int digits = 0;
    if (fmt[i] == W_('.')) {
      while (++i < fmt.size() && fmt[i] >= W_('0') && fmt[i] <= W_('9')) digits = digits * 10 + (fmt[i] - W_('0'));
      if (i >= fmt.size()) break;
    }
    if (next == args.end()) break;
    const TArg& a = *next++;
    if (fmt[i] == W_('s')) {
      if (auto* s = std::get_if<WStr>(&a)) out += *s;
      continue;
    }
    long long v = std::holds_alternative<long long>(a) ? std::get<long long>(a) : 0;
    char buf[32];
    if (fmt[i] == W_('x'))
      std::snprintf(buf, sizeof buf, "%llx", static_cast<unsigned long long>(static_cast<unsigned>(v)));
    else if (digits > 0)
      std::snprintf(buf, sizeof buf, "%.*lld", digits, v);
    else  // a precision of 0 would print nothing for 0
      std::snprintf(buf, sizeof buf, "%lld", v);
    for (char* p = buf; *p; ++p) out += static_cast<WCHAR>(*p);
  }
  return out;
}

void Trace(WStrView fmt, std::initializer_list<TArg> args = {}) {
  WStr line = W_("Trellum: ") + Fmt(fmt, args);
  OutputDebugStringW(line.c_str());
}

long long Num(long long v) { return v; }

// ---- device setup ----

bool SameAscii(WStrView a, WStrView b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    WCHAR x = a[i], y = b[i];
    if (x >= W_('a') && x <= W_('z')) x = static_cast<WCHAR>(x - 32);
    if (y >= W_('a') && y <= W_('z')) y = static_cast<WCHAR>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// A text property of a device, through a size query first.
WStr DeviceTextProperty(HDEVINFO set, SP_DEVINFO_DATA& dev, DWORD property) {
  DWORD type = 0, size = 0;
  SetupDiGetDeviceRegistryPropertyW(set, &dev, property, &type, nullptr, 0, &size);
  if (size < sizeof(WCHAR)) return {};
  std::vector<WCHAR> buf(size / sizeof(WCHAR) + 1, 0);
  if (!SetupDiGetDeviceRegistryPropertyW(set, &dev, property, &type, reinterpret_cast<PBYTE>(buf.data()),
                                         static_cast<DWORD>((buf.size() - 1) * sizeof(WCHAR)), &size))
    return {};
  return WStr(buf.data());
}

// The class filter: a USB printer is a device of the USB printing service (NT family) or, on
// older Windows, one whose description is the printer class's.
bool IsUsbPrinter(HDEVINFO set, SP_DEVINFO_DATA& dev, bool nt) {
  return nt ? SameAscii(DeviceTextProperty(set, dev, SPDRP_SERVICE), W_("usbprint"))
            : SameAscii(DeviceTextProperty(set, dev, SPDRP_DEVICEDESC), W_("CLASS_07"));
}

WStr InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA& dev) {
  DWORD need = 0;
  SetupDiGetDeviceInstanceIdW(set, &dev, nullptr, 0, &need);
  if (need == 0) return {};
  std::vector<WCHAR> buf(need + 1, 0);
  if (!SetupDiGetDeviceInstanceIdW(set, &dev, buf.data(), need, &need)) return {};
  return WStr(buf.data());
}

// The printing interface's path: created for the device, then its details after a size query.
WStr InterfacePathOf(HDEVINFO set, SP_DEVINFO_DATA& dev) {
  SP_DEVICE_INTERFACE_DATA iface{};
  iface.cbSize = sizeof iface;
  if (!SetupDiCreateDeviceInterfaceW(set, &dev, &kUsbPrintInterface, nullptr, 0, &iface)) return {};
  DWORD need = 0;
  SetupDiGetDeviceInterfaceDetailW(set, &iface, nullptr, 0, &need, nullptr);
  if (need < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return {};
  // Pointer-sized words keep the record aligned; one more word keeps the text terminated.
  std::vector<DWORD_PTR> words(need / sizeof(DWORD_PTR) + 2, 0);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(words.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, need, &need, nullptr)) return {};
  return WStr(detail->DevicePath);
}

bool ReadRegText(HKEY key, LPCWSTR name, WStr& out) {
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ || size < 2) return false;
  std::vector<WCHAR> buf(size / sizeof(WCHAR) + 1, 0);
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buf.data()), &size) != ERROR_SUCCESS) return false;
  out = WStr(buf.data());
  return !out.empty();
}

// Where device setup gives no interface path: the device's own registry values. The kernel's
// "\??\" form of a link opens as "\\?\".
WStr RegistryPathOf(const WStr& instanceId) {
  if (instanceId.empty()) return {};
  WStr keyPath = W_("SYSTEM\\CurrentControlSet\\Enum\\") + instanceId + W_("\\Device Parameters");
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) return {};
  unique_hkey key(raw);
  WStr path;
  if (!ReadRegText(key.get(), W_("SymbolicName"), path) && !ReadRegText(key.get(), W_("PortName"), path)) return {};
  if (path.compare(0, 4, W_("\\??\\")) == 0) path = W_("\\\\?\\") + path.substr(4);
  return path;
}

bool ReadRegDword(const WStr& keyPath, LPCWSTR name, DWORD& value, LONG& result) {
  HKEY raw = nullptr;
  result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &raw);
  if (result != ERROR_SUCCESS) {
    Trace(W_("出錯了！不能打開【%s】"), {keyPath});
    return false;
  }
  unique_hkey key(raw);
  DWORD type = 0, size = sizeof value;
  result = RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
  return result == ERROR_SUCCESS && type == REG_DWORD;
}

// The spooler port of the record: its "Port Number" under the printing interface's registry key.
void GetUSBPrinterPortName(int index, TPrinterRecord& rec) {
  Trace(W_("<GetUSBPrinterPortName> 查詢第%d個序號的USB端口號碼。"), {Num(index)});
  WStr part = PrinterPartOfPath(rec.DevicePath);
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceClassesKey, 0, KEY_READ, &raw) != ERROR_SUCCESS) {
    Trace(W_("出錯了！不能打開【%s】"), {WStr(kDeviceClassesKey)});
    return;
  }
  unique_hkey classes(raw);
  for (DWORD i = 0;; ++i) {
    WCHAR name[512];
    DWORD len = 512;
    LONG r = RegEnumKeyExW(classes.get(), i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_MORE_DATA) continue;
    if (r != ERROR_SUCCESS) break;
    WStr subkey(name, len);
    if (!SubkeyNamesPrinter(subkey, part)) continue;
    Trace(W_("已找到ID號和打印機SN號：%s"), {subkey});
    WStr base = WStr(kDeviceClassesKey) + W_("\\") + subkey + W_("\\#");
    LONG result = 0;
    DWORD linked = 0;
    if (ReadRegDword(base + W_("\\Control"), W_("Linked"), linked, result)) rec.Linked = linked;
    DWORD number = 0;
    if (ReadRegDword(base + W_("\\Device Parameters"), W_("Port Number"), number, result)) {
      Trace(W_("成功找到Port Number: %d"), {Num(number)});
      rec.PortNumber = number;
      rec.PortName = Fmt(W_("USB%.3d"), {Num(number)});
      return;
    }
    Trace(W_("出錯了！查詢Port Number返回<%d>"), {Num(result)});
  }
}

unique_file OpenForQuery(const WStr& path) {
  return unique_file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
}

void ReadStatus(TPrinterRecord& rec) {
  unique_file h = OpenForQuery(rec.DevicePath);
  if (!h) return;
  BYTE status = 0;
  DWORD n = 0;
  if (DeviceIoControl(h.get(), IOCTL_USBPRINT_GET_LPT_STATUS, nullptr, 0, &status, 1, &n, nullptr) && n == 1)
    rec.Status = status;
}

void ReadDeviceId(TPrinterRecord& rec) {
  unique_file h = OpenForQuery(rec.DevicePath);
  if (!h) return;
  std::vector<BYTE> reply(kDeviceIdBuffer, 0);
  DWORD n = 0;
  if (!DeviceIoControl(h.get(), IOCTL_USBPRINT_GET_1284_ID, nullptr, 0, reply.data(), kDeviceIdBuffer, &n, nullptr)) {
    // A reply cut short or damaged (ERROR_MORE_DATA, ERROR_CRC) counts as read, but its text is
    // not trusted: the record keeps no ID.
    Trace(W_("USBPRINT_GET_1284_ID ERROR : %d"), {Num(GetLastError())});
    return;
  }
  rec.DeviceId = DeviceIdFromReply(reply.data(), std::min(n, kDeviceIdBuffer));
}

int Enumerate() {
  g_Printers.clear();
  GUID classes[8];
  DWORD count = 0;
  if (!SetupDiClassGuidsFromNameW(W_("USB"), classes, 8, &count) || count == 0) return 0;
  unique_devinfo set(SetupDiGetClassDevsW(&classes[0], nullptr, nullptr, DIGCF_PRESENT));
  if (!set) return 0;
  bool nt = GetVersion() < 0x80000000u;
  std::vector<SP_DEVINFO_DATA> kept;
  for (DWORD i = 0;; ++i) {
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    if (!SetupDiEnumDeviceInfo(set.get(), i, &dev)) break;
    if (IsUsbPrinter(set.get(), dev, nt)) kept.push_back(dev);
  }
  Trace(W_("*** Filter一共找到%i个项目。 ***"), {Num(static_cast<long long>(kept.size()))});
  for (auto& dev : kept) {
    TPrinterRecord rec;
    rec.InstanceId = InstanceIdOf(set.get(), dev);
    rec.DevicePath = InterfacePathOf(set.get(), dev);
    if (rec.DevicePath.empty()) rec.DevicePath = RegistryPathOf(rec.InstanceId);
    GetUSBPrinterPortName(static_cast<int>(g_Printers.size()), rec);
    ReadStatus(rec);
    ReadDeviceId(rec);
    g_Printers.push_back(std::move(rec));
  }
  return static_cast<int>(g_Printers.size());
}

// ---- transfers ----

unique_file OpenForTransfer(const WStr& path) {
  unique_file h(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) Trace(W_("CreateFile失败，错误值=0x%x"), {Num(GetLastError())});
  return h;
}

// A request that did not finish in time is cancelled, and waited for until the cancel has gone
// through: the system writes into the OVERLAPPED and the buffer until then. Bytes it moved
// before the cancel still count.
DWORD CancelAndCollect(HANDLE h, OVERLAPPED& ov) {
  CancelIo(h);
  DWORD n = 0;
  if (!GetOverlappedResult(h, &ov, &n, TRUE)) return GetLastError() == ERROR_OPERATION_ABORTED ? 0 : n;
  return n;
}

DWORD WritePrinter(const WStr& path, const BYTE* data, DWORD count) {
  unique_file h = OpenForTransfer(path);
  if (!h) return 0;
  DWORD total = 0;
  bool timedOut = false;
  for (DWORD attempt = 1; attempt <= kWriteAttempts && total < count; ++attempt) {
    OVERLAPPED ov{};
    DWORD n = 0;
    timedOut = false;
    BOOL ret = WriteFile(h.get(), data + total, count - total, &n, &ov);
    Trace(W_("WriteFile<%d> 已返回！Ret = %d"), {Num(attempt), Num(ret)});
    if (ret) {
      total += n;
      continue;
    }
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      total += n;
      Trace(W_("Write Error UnKnow: %d / %d 字節。"), {Num(total), Num(count)});
      continue;
    }
    if (WaitForSingleObject(h.get(), kTransferWaitMs) == WAIT_OBJECT_0) {
      if (GetOverlappedResult(h.get(), &ov, &n, FALSE)) {
        total += n;
        Trace(W_("Write WAIT_OBJECT_0: %d / %d 字節。"), {Num(total), Num(count)});
      } else {
        total += n;
        Trace(W_("Write Error UnKnow: %d / %d 字節。"), {Num(total), Num(count)});
      }
      continue;
    }
    total += CancelAndCollect(h.get(), ov);
    timedOut = true;
    Trace(W_("Write ERROR_TIMEOUT: %d / %d 字節。"), {Num(total), Num(count)});
  }
  h.reset();
  if (timedOut) SetLastError(ERROR_TIMEOUT);
  return total;
}

DWORD ReadPrinter(const WStr& path, BYTE* out, DWORD capacity) {
  Sleep(kReadDelayMs);  // the printer needs a moment before its reply is there
  unique_file h = OpenForTransfer(path);
  if (!h) return 0;
  std::vector<BYTE> got(std::max(capacity, kReadAtLeast), 0);
  OVERLAPPED ov{};
  DWORD n = 0;
  bool timedOut = false;
  BOOL ret = ReadFile(h.get(), got.data(), static_cast<DWORD>(got.size()), &n, &ov);
  Trace(W_("ReadFile 已返回！Ret = %d"), {Num(ret)});
  if (!ret) {
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      DWORD wait = WaitForSingleObject(h.get(), kTransferWaitMs);
      if (wait == WAIT_OBJECT_0) {
        if (!GetOverlappedResult(h.get(), &ov, &n, FALSE)) n = 0;
        Trace(W_("Read WAIT_OBJECT_0: %d 字節。"), {Num(n)});
      } else if (wait == WAIT_TIMEOUT) {
        n = CancelAndCollect(h.get(), ov);
        timedOut = n == 0;
        Trace(W_("Read WAIT_TIMEOUT: %d 字節。"), {Num(n)});
      } else {
        n = CancelAndCollect(h.get(), ov);
        Trace(W_("Read Wait UnKnow: %d 字節。"), {Num(n)});
      }
    } else {
      Trace(W_("Read UnKnow: Byte=%d, dwErrCode=0x%x"), {Num(n), Num(error)});
      n = 0;
    }
  }
  DWORD copied = CopyReply(got.data(), std::min<DWORD>(n, static_cast<DWORD>(got.size())), out, capacity);
  h.reset();
  if (timedOut) SetLastError(ERROR_TIMEOUT);
  return copied;
}

std::vector<const TPrinterRecord*> PrintersOnPort(LPCWSTR port) {
  std::vector<const TPrinterRecord*> out;
  if (!port) return out;
  for (auto& rec : g_Printers)
    if (rec.PortName == port) out.push_back(&rec);  // exact, letter case included
  return out;
}

// Copies text with its terminator when the capacity exceeds its length.
bool CopyText(const WStr& text, LPWSTR buffer, int capacity) {
  if (!buffer || capacity <= 0 || static_cast<size_t>(capacity) <= text.size()) return false;
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  return true;
}

}  // namespace

TRELLUM_EXPORT int WINAPI USBPrinterEnum() { return Enumerate(); }

TRELLUM_EXPORT BOOL WINAPI ReadPrinterID(int index, LPWSTR portName, int portCapacity, LPWSTR deviceId, int idCapacity) {
  if (index < 0 || static_cast<size_t>(index) >= g_Printers.size()) return FALSE;
  const TPrinterRecord& rec = g_Printers[static_cast<size_t>(index)];
  CopyText(rec.PortName, portName, portCapacity);
  if (!rec.DeviceId.empty()) CopyText(rec.DeviceId, deviceId, idCapacity);
  return TRUE;
}

TRELLUM_EXPORT BOOL WINAPI GetPrinterFileName(int index, LPWSTR buffer, int* capacity) {
  if (!capacity || index < 0 || static_cast<size_t>(index) >= g_Printers.size()) return FALSE;
  const WStr& path = g_Printers[static_cast<size_t>(index)].DevicePath;
  if (CopyText(path, buffer, *capacity)) return TRUE;
  *capacity = static_cast<int>(path.size() + 1);
  return FALSE;
}

TRELLUM_EXPORT BOOL WINAPI GetPrinterSettingData(LPCWSTR portName, BYTE* buffer, int* length) {
  if (!portName || !buffer || !length || *length <= 0) return FALSE;
  Enumerate();
  BOOL result = FALSE;
  for (const TPrinterRecord* rec : PrintersOnPort(portName)) {
    if (WritePrinter(rec->DevicePath, kReadCommand, sizeof kReadCommand) < sizeof kReadCommand) continue;
    DWORD n = ReadPrinter(rec->DevicePath, buffer, static_cast<DWORD>(*length));
    *length = static_cast<int>(n);
    if (n > 0) result = TRUE;
  }
  return result;
}

TRELLUM_EXPORT BOOL WINAPI SetPrinterSettingItem(LPCWSTR portName, BYTE item, BYTE value) {
  if (!portName) return FALSE;
  Enumerate();
  const BYTE command[] = {0x1B, 0x10, 0x03, 0x00, item, value};
  BOOL result = FALSE;
  for (const TPrinterRecord* rec : PrintersOnPort(portName))
    if (WritePrinter(rec->DevicePath, command, sizeof command) == sizeof command) result = TRUE;
  return result;
}

TRELLUM_EXPORT BOOL WINAPI SavePrinterSettingData(LPCWSTR portName, const BYTE* data, int* count) {
  if (!portName || !data || !count || *count <= 0) return FALSE;
  Enumerate();
  BOOL result = FALSE;
  for (const TPrinterRecord* rec : PrintersOnPort(portName))
    if (WritePrinter(rec->DevicePath, data, static_cast<DWORD>(*count)) == static_cast<DWORD>(*count)) result = TRUE;
  return result;
}
