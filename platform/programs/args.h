// Shared by the machine's system programs: their command line as words, and output to the
// standard handles in the OEM code page, as console programs write it.
#pragma once

#include <string>
#include <vector>

#include "win32/kernel.h"

namespace sysprog {

// The words of the command line after the program's own name, with the C run-time's quoting.
inline std::vector<WStr> words(WStrView cmd) {
  std::vector<WStr> out;
  size_t i = 0;
  bool first = true;
  while (i < cmd.size()) {
    while (i < cmd.size() && (cmd[i] == u' ' || cmd[i] == u'\t')) ++i;
    if (i >= cmd.size()) break;
    WStr w;
    bool quoted = false;
    for (; i < cmd.size() && (quoted || (cmd[i] != u' ' && cmd[i] != u'\t')); ++i) {
      if (cmd[i] == u'"') {
        quoted = !quoted;
      } else {
        w += cmd[i];
      }
    }
    if (!first) out.push_back(w);
    first = false;
  }
  return out;
}

// The text after the program's own name, as typed.
inline WStr rest_of(WStrView cmd) {
  size_t i = 0;
  while (i < cmd.size() && cmd[i] == u' ') ++i;
  bool quoted = false;
  for (; i < cmd.size() && (quoted || cmd[i] != u' '); ++i)
    if (cmd[i] == u'"') quoted = !quoted;
  while (i < cmd.size() && cmd[i] == u' ') ++i;
  return WStr(cmd.substr(i));
}

inline void write_bytes(DWORD which, const std::string& bytes) {
  HANDLE h = GetStdHandle(which);
  DWORD n = 0;
  if (h && h != INVALID_HANDLE_VALUE && !bytes.empty())
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
}

inline void write_text(DWORD which, WStrView text) {
  if (text.empty()) return;
  int len = WideCharToMultiByte(CP_OEMCP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(len > 0 ? len : 0), '\0');
  if (len > 0)
    WideCharToMultiByte(CP_OEMCP, 0, text.data(), static_cast<int>(text.size()), out.data(), len, nullptr, nullptr);
  write_bytes(which, out);
}

}  // namespace sysprog
