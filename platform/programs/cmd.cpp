// cmd.exe of the simulated machine: "cmd /c COMMAND" with the commands the product uses,
// "echo TEXT" and "del [/q] [/f] PATH...".
#include "args.h"

namespace {

bool same(WStrView a, const WCHAR* b) {
  WStrView bb = b;
  if (a.size() != bb.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    WCHAR x = a[i] >= u'a' && a[i] <= u'z' ? static_cast<WCHAR>(a[i] - 32) : a[i];
    WCHAR y = bb[i] >= u'a' && bb[i] <= u'z' ? static_cast<WCHAR>(bb[i] - 32) : bb[i];
    if (x != y) return false;
  }
  return true;
}

int del(const std::vector<WStr>& args) {
  bool force = false;
  std::vector<WStr> paths;
  for (auto& a : args) {
    if (same(a, W_("/q"))) continue;
    if (same(a, W_("/f"))) {
      force = true;
      continue;
    }
    paths.push_back(a);
  }
  for (auto& path : paths) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(path.c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) {
      WCHAR full[MAX_PATH] = {};
      GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
      sysprog::write_text(STD_ERROR_HANDLE, W_("Could Not Find ") + WStr(full) + W_("\r\n"));
      continue;
    }
    WStr dir = path.substr(0, path.find_last_of(W_("\\/")) + 1);
    do {
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      WStr file = dir + fd.cFileName;
      if (force && (fd.dwFileAttributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (!DeleteFileW(file.c_str())) sysprog::write_text(STD_ERROR_HANDLE, file + W_("\r\nAccess is denied.\r\n"));
    } while (FindNextFileW(find, &fd));
    FindClose(find);
  }
  return 0;
}

}  // namespace

int main() {
  WStr rest = sysprog::rest_of(GetCommandLineW());
  std::vector<WStr> w = sysprog::words(W_("cmd ") + rest);
  if (w.empty() || !(same(w[0], W_("/c")) || same(w[0], W_("/k")))) return 0;  // no command: nothing to do here
  WStr command = sysprog::rest_of(rest);                                       // after "/c"
  std::vector<WStr> parts = sysprog::words(W_("cmd ") + command);
  if (parts.empty()) return 0;
  if (same(parts[0], W_("echo")) || same(parts[0], W_("echo."))) {
    WStr text = same(parts[0], W_("echo.")) ? WStr() : sysprog::rest_of(command);
    sysprog::write_text(STD_OUTPUT_HANDLE, text + W_("\r\n"));
    return 0;
  }
  if (same(parts[0], W_("del")) || same(parts[0], W_("erase"))) return del({parts.begin() + 1, parts.end()});
  sysprog::write_text(STD_ERROR_HANDLE, W_("'") + parts[0] +
                                            W_("' is not recognized as an internal or external command,\r\n"
                                               "operable program or batch file.\r\n"));
  return 1;
}
