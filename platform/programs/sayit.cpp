// sayit.exe, a small program of every simulated machine, for tests and for people:
//   sayit [/exit N] [/sleep MS] [/file PATH] [/env NAME] [/err TEXT] [WORD...]
// writes the words (a line), the file's bytes and the variable's value (a line) to standard
// output, TEXT to standard error, waits MS milliseconds and exits with N.
#include <cstdlib>

#include "args.h"

int main() {
  std::vector<WStr> w = sysprog::words(GetCommandLineW());
  int code = 0;
  DWORD sleep_ms = 0;
  WStr line, file, err, env;
  for (size_t i = 0; i < w.size(); ++i) {
    bool has_value = i + 1 < w.size();
    if (w[i] == W_("/exit") && has_value) {
      code = std::atoi(std::string(w[i + 1].begin(), w[i + 1].end()).c_str());
      ++i;
    } else if (w[i] == W_("/sleep") && has_value) {
      sleep_ms = static_cast<DWORD>(std::atoi(std::string(w[i + 1].begin(), w[i + 1].end()).c_str()));
      ++i;
    } else if (w[i] == W_("/file") && has_value) {
      file = w[++i];
    } else if (w[i] == W_("/env") && has_value) {
      env = w[++i];
    } else if (w[i] == W_("/err") && has_value) {
      err = w[++i];
    } else {
      line += (line.empty() ? W_("") : W_(" ")) + w[i];
    }
  }
  if (!line.empty()) sysprog::write_text(STD_OUTPUT_HANDLE, line + W_("\r\n"));
  if (!file.empty()) {
    HANDLE h = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      sysprog::write_text(STD_ERROR_HANDLE, W_("sayit: cannot open ") + file + W_("\r\n"));
      return 2;
    }
    char buf[4096];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
      sysprog::write_bytes(STD_OUTPUT_HANDLE, std::string(buf, n));
    CloseHandle(h);
  }
  if (!env.empty()) {
    WCHAR value[4096] = {};
    DWORD n = GetEnvironmentVariableW(env.c_str(), value, 4096);
    sysprog::write_text(STD_OUTPUT_HANDLE, WStr(value, n < 4096 ? n : 0) + W_("\r\n"));
  }
  if (!err.empty()) sysprog::write_text(STD_ERROR_HANDLE, err + W_("\r\n"));
  if (sleep_ms) Sleep(sleep_ms);
  return code;
}
