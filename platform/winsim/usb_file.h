// Files that are devices: a USB printing interface opened by its path. files.cpp hands such paths
// and handles here.
#pragma once

#include "internal.h"

namespace winsim {

// A device path ("\\?\USB#..." or "\\.\..."), as opposed to a file in the file system.
bool is_device_path(LPCWSTR path);
HANDLE open_device(WStrView path, DWORD access, DWORD disposition, DWORD flags);

// An open device: reads and writes may stay pending (overlapped) until the device answers.
struct DeviceFile : SharedWaitable {
  virtual BOOL read(LPVOID buf, DWORD size, LPDWORD done, LPOVERLAPPED ov) = 0;
  virtual BOOL write(LPCVOID buf, DWORD size, LPDWORD done, LPOVERLAPPED ov) = 0;
};

}  // namespace winsim
