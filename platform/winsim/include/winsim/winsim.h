// Control interface of the simulated Windows machine, for the winsim tool and for tests. Product
// code never uses it: it sees only the Win32 boundary.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#if defined(WINSIM_BUILDING)
#define WINSIM_CTL __attribute__((visibility("default")))
#else
#define WINSIM_CTL
#endif

namespace winsim {

// A machine folder that is missing or malformed. The message names the file and the problem.
struct WINSIM_CTL MachineError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct MachineOptions {
  unsigned major = 6, minor = 1, build = 7601;
  std::string service_pack = "Service Pack 1";
  bool is64 = true;
  unsigned language = 1033;  // system default language id
  unsigned acp = 0;          // 0: the code page that goes with the language
  std::string user = "Administrator";
  std::string computer = "KELVANE-PC";
};

// Creates a machine folder: system.json, the C: drive tree, an empty events.jsonl.
WINSIM_CTL void create_machine(const std::string& dir, const MachineOptions& options);
// Checks system.json and every state file of a machine (throws MachineError naming the first
// file that is broken and how).
WINSIM_CTL void check_machine(const std::string& dir);
// A readable summary of a machine (throws MachineError).
WINSIM_CTL std::string describe_machine(const std::string& dir);
// Parses "6.1" or "6.1.7601" into the options; false when malformed.
WINSIM_CTL bool parse_version(const std::string& text, MachineOptions& options);

// In-process use (tests): switch this process to another machine and start its process state
// afresh (current folder, environment, handles, fault counters).
WINSIM_CTL void use_machine(const std::string& dir);
// Declares the running image's bitness (each image does this when it loads) and, for tests, its
// Windows path.
WINSIM_CTL void declare_image(int bits, const std::string& windows_path = "");

// Fault injection for this process: the `call`-th call (1-based; 0 = every call) of `api` fails
// with `error`. `api` may be "Name" or "Name:detail" (e.g. "GetProcAddress:IsWow64Process").
WINSIM_CTL void add_fault(const std::string& api, unsigned call, unsigned error);
WINSIM_CTL void clear_faults();
// The same for every process started in a machine afterwards (its faults.json); `image`, when
// given, limits the fault to the program of that file name.
WINSIM_CTL void add_machine_fault(const std::string& dir, const std::string& api, unsigned call, unsigned error,
                                  const std::string& image = "");
WINSIM_CTL void clear_machine_faults(const std::string& dir);

// How many times this process has parsed a profile file (each read of an unchanged file after
// the first is answered from the parsed copy).
WINSIM_CTL unsigned long profile_parses();
// Whether this process may watch the profile files it keeps parsed (on by default); without
// watching, each use compares the file's identity, size and time instead.
WINSIM_CTL void watch_profiles(bool on);

// The records of events.jsonl, one JSON text each.
WINSIM_CTL std::vector<std::string> read_events(const std::string& dir);

// The host folder of a Windows path in the current machine ("" when it cannot be mapped).
WINSIM_CTL std::string host_path(const std::u16string& windows_path);
WINSIM_CTL std::string host_path(const std::string& windows_path_utf8);

}  // namespace winsim

extern "C" WINSIM_CTL void winsim_declare_image(int bits);
