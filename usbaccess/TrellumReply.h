// The pieces of the USB access library that read what a printer or the registry hands it: the
// device ID out of a class driver's reply, the part of an interface path that names the printer,
// and the copy of a reply into a caller's buffer. Kept apart so that they can be tried on any
// bytes.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "win32/kernel.h"

namespace trellum {

// Device ID replies are read into this many bytes.
constexpr DWORD kDeviceIdBuffer = 1024;

// The reply's text: every zero byte dropped (the two length bytes stay unless they are zero),
// the rest converted with the thread's ANSI code page.
inline WStr DeviceIdFromReply(const BYTE* reply, DWORD count) {
  std::string bytes;
  bytes.reserve(count);
  for (DWORD i = 0; i < count; ++i)
    if (reply[i]) bytes += static_cast<char>(reply[i]);
  if (bytes.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  if (n <= 0) return {};
  WStr text(static_cast<size_t>(n), WCHAR{});
  n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

// Vendor id, product id and serial number out of an interface path: from the first "VID" up to,
// not including, the "#{" that starts the interface class. Empty when the path has no "VID".
inline WStr PrinterPartOfPath(WStrView path) {
  size_t start = path.find(W_("VID"));
  if (start == WStrView::npos) return {};
  size_t end = path.find(W_("#{"), start);
  return WStr(path.substr(start, end == WStrView::npos ? WStrView::npos : end - start));
}

// A DeviceClasses subkey belongs to the printer when it holds the part after its first character
// (letter case counts). An empty part names no printer.
inline bool SubkeyNamesPrinter(WStrView subkey, WStrView part) {
  return !part.empty() && subkey.size() > 1 && subkey.find(part, 1) != WStrView::npos;
}

// Copies at most `capacity` bytes of what was read into the caller's buffer; the count copied.
inline DWORD CopyReply(const BYTE* got, DWORD count, BYTE* out, DWORD capacity) {
  DWORD n = std::min(count, capacity);
  if (n) std::memcpy(out, got, n);
  return n;
}

}  // namespace trellum
