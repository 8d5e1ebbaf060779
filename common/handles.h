// RAII owners for the handles product code takes from the system, so that every path out of an
// operation, early returns and exceptions included, gives back what it took.
#pragma once

#include <utility>

#include "win32/gdi.h"
#include "win32/kernel.h"
#include "win32/registry.h"
#include "win32/setup.h"
#include "win32/spooler.h"
#include "win32/user.h"

template <class Traits>
class unique_handle {
 public:
  using value_type = typename Traits::value_type;

  unique_handle() = default;
  explicit unique_handle(value_type v) : v_(v) {}
  ~unique_handle() { reset(); }
  unique_handle(unique_handle&& o) noexcept : v_(o.release()) {}
  unique_handle& operator=(unique_handle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  unique_handle(const unique_handle&) = delete;
  unique_handle& operator=(const unique_handle&) = delete;

  value_type get() const { return v_; }
  explicit operator bool() const { return v_ != Traits::invalid(); }
  value_type release() { return std::exchange(v_, Traits::invalid()); }
  void reset(value_type v = Traits::invalid()) {
    if (v_ != Traits::invalid()) Traits::close(v_);
    v_ = v;
  }

 private:
  value_type v_ = Traits::invalid();
};

struct FileHandleTraits {  // CreateFileW
  using value_type = HANDLE;
  static value_type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(value_type h) { CloseHandle(h); }
};
using unique_file = unique_handle<FileHandleTraits>;

struct KernelHandleTraits {  // processes, threads, events: null when absent
  using value_type = HANDLE;
  static value_type invalid() { return nullptr; }
  static void close(value_type h) { CloseHandle(h); }
};
using unique_kernel_handle = unique_handle<KernelHandleTraits>;

struct FindHandleTraits {  // FindFirstFileW
  using value_type = HANDLE;
  static value_type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(value_type h) { FindClose(h); }
};
using unique_find = unique_handle<FindHandleTraits>;

struct ModuleHandleTraits {  // LoadLibraryW: the library is unloaded when its owner goes
  using value_type = HMODULE;
  static value_type invalid() { return nullptr; }
  static void close(value_type h) { FreeLibrary(h); }
};
using unique_module = unique_handle<ModuleHandleTraits>;

struct PrinterHandleTraits {  // OpenPrinterW, AddPrinterW
  using value_type = HANDLE;
  static value_type invalid() { return nullptr; }
  static void close(value_type h) { ClosePrinter(h); }
};
using unique_printer = unique_handle<PrinterHandleTraits>;

struct PrinterChangeTraits {  // FindFirstPrinterChangeNotification
  using value_type = HANDLE;
  static value_type invalid() { return INVALID_HANDLE_VALUE; }
  static void close(value_type h) { FindClosePrinterChangeNotification(h); }
};
using unique_printer_change = unique_handle<PrinterChangeTraits>;

struct RegistryKeyTraits {  // RegOpenKey*, RegCreateKeyEx*
  using value_type = HKEY;
  static value_type invalid() { return nullptr; }
  static void close(value_type h) { RegCloseKey(h); }
};
using unique_hkey = unique_handle<RegistryKeyTraits>;

struct DeviceInfoSetTraits {  // SetupDiGetClassDevs*
  using value_type = HDEVINFO;
  static value_type invalid() { return static_cast<HDEVINFO>(INVALID_HANDLE_VALUE); }
  static void close(value_type h) { SetupDiDestroyDeviceInfoList(h); }
};
using unique_devinfo = unique_handle<DeviceInfoSetTraits>;

struct MappedViewTraits {  // MapViewOfFile
  using value_type = LPVOID;
  static value_type invalid() { return nullptr; }
  static void close(value_type v) { UnmapViewOfFile(v); }
};
using unique_view = unique_handle<MappedViewTraits>;

struct WindowTraits {  // CreateWindowExW: the window is destroyed when its owner goes
  using value_type = HWND;
  static value_type invalid() { return nullptr; }
  static void close(value_type h) { DestroyWindow(h); }
};
using unique_window = unique_handle<WindowTraits>;

struct MemoryDcTraits {  // CreateCompatibleDC
  using value_type = HDC;
  static value_type invalid() { return nullptr; }
  static void close(value_type h) { DeleteDC(h); }
};
using unique_memory_dc = unique_handle<MemoryDcTraits>;

struct GdiObjectTraits {  // CreateDIBSection, CreateSolidBrush, CreateFontW: deselect before it goes
  using value_type = HGDIOBJ;
  static value_type invalid() { return nullptr; }
  static void close(value_type h) { DeleteObject(h); }
};
using unique_gdi_object = unique_handle<GdiObjectTraits>;
