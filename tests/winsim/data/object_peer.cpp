// Another process of the machine for the tests of named kernel objects:
//   object_peer OP NAME [TEXT] ...
// runs each operation in turn and prints one line for each: "ok" or "error N". Operations:
//   lock NAME          create or open the mutex NAME and wait for it; it is never released
//   set NAME           open the event NAME for EVENT_MODIFY_STATE and set it
//   write NAME TEXT    open the mapping NAME for writing and put TEXT at its start
//   read NAME          open the mapping NAME for reading and print what it holds ("ok TEXT")
//   make NAME TEXT     create the mapping NAME (4096 bytes) and put TEXT at its start
// The process then ends, with whatever it still holds.
#include <cstdio>
#include <cstring>
#include <string>

#include "win32/kernel.h"

namespace {

WStr wide(const char* s) { return WStr(s, s + std::strlen(s)); }  // ASCII names only

void report(bool ok, const std::string& what = {}) {
  if (ok)
    std::printf("ok%s%s\n", what.empty() ? "" : " ", what.c_str());
  else
    std::printf("error %lu\n", static_cast<unsigned long>(GetLastError()));
}

bool put(HANDLE map, const char* text) {
  void* view = map ? MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, 0) : nullptr;
  if (!view) return false;
  std::memcpy(view, text, std::strlen(text) + 1);
  return UnmapViewOfFile(view) != FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string op = argv[i];
    WStr name = wide(argv[i + 1]);
    if (op == "lock") {
      HANDLE m = CreateMutexW(nullptr, FALSE, name.c_str());
      report(m && WaitForSingleObject(m, 5000) == WAIT_OBJECT_0);
    } else if (op == "set") {
      HANDLE e = OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
      report(e && SetEvent(e));
      if (e) CloseHandle(e);
    } else if ((op == "write" || op == "make") && i + 2 < argc) {
      HANDLE m = op == "write" ? OpenFileMappingW(FILE_MAP_WRITE, FALSE, name.c_str())
                               : CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str());
      report(put(m, argv[i + 2]));
      ++i;
    } else if (op == "read") {
      HANDLE m = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
      const char* view = m ? static_cast<const char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0)) : nullptr;
      report(view != nullptr, view ? std::string(view) : std::string());
      if (m) CloseHandle(m);
    } else {
      std::fprintf(stderr, "object_peer: unknown operation %s\n", op.c_str());
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
