// A fresh simulated machine per test, and the helpers the conformance tests share. Built for
// Windows (the conformance tests run under Wine), the fixture is the real system's C: drive
// instead, tidied after each test; tests of winsim's own machinery are left out of that build.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "win32/kernel.h"
#include "win32/profile.h"
#ifndef _WIN32
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "winsim/winsim.h"
#endif

namespace testutil {

// Set before a call so that a test sees whether the call touched the last error.
constexpr DWORD kMarker = 0xDEADBEEF;

// Whether the tests run under Wine, whose gaps some tests skip with the reason.
inline bool under_wine() {
#ifdef _WIN32
  HMODULE ntdll = GetModuleHandleW(W_("ntdll.dll"));
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
  return false;
#endif
}

#ifndef _WIN32
inline std::string make_temp_dir() {
  char tmpl[] = "/tmp/winsim-test-XXXXXX";
  const char* d = ::mkdtemp(tmpl);
  if (!d) throw std::runtime_error("mkdtemp failed");
  return d;
}
#endif

inline void write_file(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string utf8(const WStr& s) {
  std::string out(s.size() * 4 + 1, '\0');
  int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(),
                              static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// UTF-16LE bytes with a byte-order mark.
inline std::string utf16_file(const std::u16string& text) {
  std::string out = "\xFF\xFE";
  for (char16_t c : text) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

#ifndef _WIN32
// A state file a person broke: with `text` as `file`, the machine is refused with one error that
// names the file and says `complaint`.
inline void expect_broken_state(const std::string& dir, const std::string& file, const std::string& text,
                                const std::string& complaint) {
  SCOPED_TRACE(text);
  write_file(file, text);
  try {
    winsim::check_machine(dir);
    ADD_FAILURE() << "accepted";
  } catch (const winsim::MachineError& e) {
    EXPECT_NE(std::string(e.what()).find(file), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(complaint), std::string::npos) << e.what();
  }
}

// A printer of the machine's spooler on `driver` and `port`, with the other settings as usual.
inline void add_printer(const std::string& dir, const std::string& name, const std::string& driver,
                        const std::string& port) {
  winsim::PrinterSetup p;
  p.name = name;
  p.driver = driver;
  p.port = port;
  winsim::add_printer(dir, p);
}

struct CommandResult {
  int status;
  std::string output;
};

// The machine's recorded events of one type ("messagebox", "debug", "usb", ...), in order, from
// the `from`-th event of the whole record on.
inline std::vector<nlohmann::json> events_of_type(const std::string& dir, const std::string& type, size_t from = 0) {
  std::vector<nlohmann::json> out;
  auto all = winsim::read_events(dir);
  for (size_t i = from; i < all.size(); ++i)
    if (auto e = nlohmann::json::parse(all[i]); e["type"] == type) out.push_back(std::move(e));
  return out;
}

// The lines programs of the machine wrote with OutputDebugString, in order, and whether one was.
inline std::vector<std::string> debug_lines(const std::string& dir) {
  std::vector<std::string> out;
  for (auto& e : events_of_type(dir, "debug")) out.push_back(e["text"]);
  return out;
}
inline bool debug_logged(const std::string& dir, const std::string& line) {
  auto lines = debug_lines(dir);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Runs a shell command, capturing standard output and standard error together.
inline CommandResult run_command(const std::string& cmd) {
  CommandResult r{-1, ""};
  FILE* p = ::popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}
#endif

#ifndef _WIN32
// A USB printer's answers, set field by field.
template <class F>
winsim::UsbPrinterSetup usb_setup(F set) {
  winsim::UsbPrinterSetup u;
  set(u);
  return u;
}
#endif

}  // namespace testutil

// A Wine gap: the test says what Windows does, Wine does otherwise.
#define SKIP_UNDER_WINE(reason)                                  \
  do {                                                           \
    if (testutil::under_wine()) GTEST_SKIP() << "Wine: " reason; \
  } while (0)

#ifdef _WIN32
class MachineTest : public ::testing::Test {
 protected:
  std::string dir = "C:/";
  std::set<std::filesystem::path> before;

  void SetUp() override {
    for (auto& e : std::filesystem::directory_iterator("C:/")) before.insert(e.path());
    ASSERT_TRUE(SetCurrentDirectoryW(W_("C:\\")));
  }

  // What a test made at the top of C: goes, so that the next test starts from the same drive.
  void TearDown() override {
    SetCurrentDirectoryW(W_("C:\\"));
    std::vector<std::filesystem::path> made;
    for (auto& e : std::filesystem::directory_iterator("C:/"))
      if (!before.count(e.path())) made.push_back(e.path());
    for (auto& p : made) {
      std::error_code ec;
      for (auto& e : std::filesystem::recursive_directory_iterator(p, ec))
        SetFileAttributesW(e.path().wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
      std::filesystem::remove_all(p, ec);
    }
  }

  std::string c(const std::string& rel) const { return "C:/" + rel; }
};
#else
class MachineTest : public ::testing::Test {
 protected:
  std::string dir;

  virtual winsim::MachineOptions options() { return {}; }

  void SetUp() override {
    dir = testutil::make_temp_dir() + "/machine";
    winsim::create_machine(dir, options());
    winsim::use_machine(dir);
    winsim::declare_image(32, "C:\\app\\test.exe");
    ASSERT_TRUE(SetCurrentDirectoryW(W_("C:\\")));
  }

  void TearDown() override {
    winsim::clear_faults();
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(dir).parent_path(), ec);
  }

  // The host path of a file on the machine's C: drive ("Windows/inf/x.inf").
  std::string c(const std::string& rel) const { return dir + "/C/" + rel; }
};

// A machine fixture on a Chinese machine (code page 936), where Chinese texts keep their letters.
template <class Fixture>
class OnChineseMachine : public Fixture {
 protected:
  winsim::MachineOptions options() override {
    winsim::MachineOptions o = Fixture::options();
    o.language = 2052;
    return o;
  }
};
#endif
