// What every fuzz target stands on: one simulated machine for the whole run, made in a temporary
// folder at start and removed at exit, and the input turned into the texts the APIs take.
#pragma once

#include <stdlib.h>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "win32/kernel.h"
#include "winsim/winsim.h"

namespace fuzz {

// The machine's folder; `image` is the Windows path the fuzzed code believes it runs as.
inline const std::string& machine(const char* image = "C:\\Pkg\\Kelvane.exe") {
  // Kept for the whole run, past the static destructors, so that the clean-up at exit has it.
  static const std::string& dir = *new std::string([image] {
    char tmpl[] = "/tmp/kelvane-fuzz-XXXXXX";
    std::string root = ::mkdtemp(tmpl);
    std::string m = root + "/machine";
    winsim::create_machine(m, {});
    ::setenv("WINSIM_MACHINE", m.c_str(), 1);
    winsim::use_machine(m);
    winsim::declare_image(32, image);
    std::filesystem::create_directories(m + "/C/Pkg");
    SetCurrentDirectoryW(W_("C:\\Pkg"));
    std::atexit([] { std::filesystem::remove_all(std::filesystem::path(machine()).parent_path()); });
    return m;
  }());
  return dir;
}

// Writes a file on the machine's C: drive ("Pkg/Kelvane.ini").
inline void put(const std::string& rel, const uint8_t* data, size_t size) {
  std::string path = machine() + "/C/" + rel;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                static_cast<std::streamsize>(size));
}

// The input as UTF-16 code units (little-endian pairs; an odd last byte is dropped).
inline WStr utf16(const uint8_t* data, size_t size) {
  WStr s(size / 2, u'\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<WCHAR>(data[2 * i] | (data[2 * i + 1] << 8));
  return s;
}

// A crash that names what the fuzzer found wrong, so that a finding reads as a failed check.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace fuzz
