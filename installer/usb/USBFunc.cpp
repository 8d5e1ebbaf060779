#include "installer/usb/USBFunc.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "installer/printsys/Spooler.h"
#include "installer/startup/RunState.h"
#include "win32/dbt.h"

namespace {

using TUSBPrinterEnum = int(WINAPI*)();
using TReadPrinterID = BOOL(WINAPI*)(int, LPWSTR, int, LPWSTR, int);

// The bound library: loaded at the first call of either export and kept.
struct TUSBAccessBinding {
  std::mutex m_cs;
  unique_module m_Library;
  TUSBPrinterEnum m_Enum = nullptr;
  TReadPrinterID m_ReadID = nullptr;

  bool Bind() {
    if (m_Library) return m_Enum && m_ReadID;
    m_Library.reset(LoadLibraryW(W_("Trellum.dll")));
    if (!m_Library) return false;
    m_Enum = reinterpret_cast<TUSBPrinterEnum>(reinterpret_cast<void*>(GetProcAddress(m_Library.get(), "USBPrinterEnum")));
    m_ReadID = reinterpret_cast<TReadPrinterID>(reinterpret_cast<void*>(GetProcAddress(m_Library.get(), "ReadPrinterID")));
    return m_Enum && m_ReadID;
  }
};

TUSBAccessBinding& Binding() {
  static TUSBAccessBinding binding;
  return binding;
}

constexpr int kBufferChars = 1024;

bool ContainsText(const WStr& text, const WStr& part) { return text.find(part) != WStr::npos; }

}  // namespace

int USBPrinterEnum() {
  TUSBAccessBinding& b = Binding();
  std::lock_guard lock(b.m_cs);
  return b.Bind() ? b.m_Enum() : 0;
}

BOOL ReadPrinterID(int index, LPWSTR portName, int portCapacity, LPWSTR deviceId, int idCapacity) {
  TUSBAccessBinding& b = Binding();
  std::lock_guard lock(b.m_cs);
  return b.Bind() ? b.m_ReadID(index, portName, portCapacity, deviceId, idCapacity) : FALSE;
}

void UnbindUSBAccessLibrary() {
  TUSBAccessBinding& b = Binding();
  std::lock_guard lock(b.m_cs);
  b.m_Enum = nullptr;
  b.m_ReadID = nullptr;
  b.m_Library.reset();
}

WStr GetDeviceIdField(const WStr& deviceId, const WStr& key) {
  size_t at = deviceId.find(key + W_(":"));
  if (at == WStr::npos) return {};
  size_t start = at + key.size() + 1;
  size_t end = deviceId.find(W_(';'), start);
  return deviceId.substr(start, end == WStr::npos ? WStr::npos : end - start);
}

void DescribeUSBPrinter(int index, const WStr& deviceId, WStr& description, WStr& compatibleId) {
  compatibleId.clear();
  if (deviceId.size() <= kShortestDeviceId) {
    description = Format(W_("USB Printer %d"), {index + 1});
    return;
  }
  WStr mfg = GetDeviceIdField(deviceId, W_("MFG"));
  WStr mdl = GetDeviceIdField(deviceId, W_("MDL"));
  WStr des = GetDeviceIdField(deviceId, W_("DES"));
  compatibleId = GetDeviceIdField(deviceId, W_("CID"));
  std::replace(compatibleId.begin(), compatibleId.end(), W_(' '), W_('_'));
  description = !mdl.empty() && ContainsText(des, mdl) ? des : mfg + mdl;
}

bool USBPrinterMatches(const WStr& modelName, const WStr& hardwareId, const WStr& description, const WStr& compatibleId) {
  if (!modelName.empty() && ContainsText(UpperAscii(description), UpperAscii(modelName))) return true;
  return !compatibleId.empty() && ContainsText(UpperAscii(hardwareId), UpperAscii(compatibleId));
}

void GetOnlineUSBPortForNotInstallDriver(const WStr& modelName, const WStr& hardwareId, const TStringList& printerList,
                                         WStr& port) {
  port.clear();
  std::vector<WCHAR> portBuffer(kBufferChars, 0), idBuffer(kBufferChars, 0);
  int count = USBPrinterEnum();
  for (int i = 0; i < count; ++i) {
    // The library leaves a buffer alone when it has nothing to copy (a printer whose ID could not
    // be read): emptied for each printer, so that none is taken for the one before it.
    portBuffer[0] = 0;
    idBuffer[0] = 0;
    ReadPrinterID(i, portBuffer.data(), kBufferChars, idBuffer.data(), kBufferChars);
    // The library terminates what it copies; the last character stays 0 whatever it did.
    portBuffer.back() = 0;
    idBuffer.back() = 0;
    WStr usbPort(portBuffer.data()), deviceId(idBuffer.data());
    TheDebugger().LogFmt(W_("找到USB打印機，Port = %s，ID = %s"), {usbPort, deviceId});

    WStr description, compatibleId;
    DescribeUSBPrinter(i, deviceId, description, compatibleId);
    bool match = USBPrinterMatches(modelName, hardwareId, description, compatibleId);
    if (!match) continue;

    port = usbPort;
    for (const WStr& printer : printerList) {
      WStr printerPort;
      GetPrinterPort(printer, printerPort);
      if (printerPort == port) {
        port.clear();
        break;
      }
    }
    if (!port.empty()) {
      TheDebugger().LogFmt(W_("GetOnlineUSBPortForNotInstallDriver找到尚未關聯的USB端口：%s"), {port});
      break;
    }
  }
}

// ---- USB arrival and removal watcher ----------------------------------------------------------

namespace {
// The interface classes: the USB printing class driver's, and every USB device's.
constexpr GUID kUsbPrintInterface = {0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};
constexpr GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
const WCHAR* const kUSBWindowClass = W_("TPUtilWindow");
}  // namespace

TComponentUSB::TComponentUSB(bool bUSBPrinterOnly) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = USBWndProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kUSBWindowClass;
  RegisterClassExW(&wc);  // already registered by an earlier component: that class serves
  FWindowHandle.reset(CreateWindowExW(WS_EX_TOOLWINDOW, kUSBWindowClass, W_(""), WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                      wc.hInstance, nullptr));
  if (!FWindowHandle) throw KelvaneError(W_("CreateWindowEx: ") + SystemErrorText(GetLastError()));
  SetWindowLongPtrW(FWindowHandle.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  RegisterUSBNotification(bUSBPrinterOnly);
}

bool TComponentUSB::RegisterUSBNotification(bool restrictToPrinters) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = restrictToPrinters ? kUsbPrintInterface : kUsbDeviceInterface;
  return RegisterDeviceNotificationW(FWindowHandle.get(), &filter, DEVICE_NOTIFY_WINDOW_HANDLE) != nullptr;
}

LRESULT CALLBACK TComponentUSB::USBWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  auto* self = reinterpret_cast<TComponentUSB*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (msg != WM_DEVICECHANGE || !self) return DefWindowProcW(hwnd, msg, wp, lp);
  try {
    self->WMDeviceChange(wp, lp);
  } catch (const KelvaneError& e) {
    ShowApplicationError(e.message());
  }
  return 0;
}

void TComponentUSB::WMDeviceChange(WPARAM event, LPARAM record) {
  if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return;
  auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(record);
  if (!header || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return;
  TNotifyEvent& handler = event == DBT_DEVICEARRIVAL ? OnUSBArrival : OnUSBRemove;
  if (handler) handler(*this);
}
