// The print spooler's state: printers with their jobs and data, drivers per environment, ports
// with their monitors, print processors, the default printer and the recent changes. It lives in
// the machine's spooler.json, read and written under the machine lock by every process.
#pragma once

#include <deque>

#include "internal.h"
#include "state_json.h"
#include "win32/spooler.h"

namespace winsim {

using PrinterValue = StoredValue;

struct Job {
  DWORD id = 0;
  WStr document;
  WStr user;
  DWORD status = 0;
  DWORD pages = 1;
  long long submitted = 0;  // milliseconds since 1970, UTC
};

struct Printer {
  WStr name, port, driver;
  WStr processor = u"WinPrint";
  WStr datatype = u"RAW";
  WStr share, comment, location, sepfile, parameters;
  DWORD attributes = PRINTER_ATTRIBUTE_LOCAL;
  DWORD status = 0;
  DWORD priority = 1, default_priority = 0, start_time = 0, until_time = 0;
  std::vector<BYTE> devmode;  // empty: the driver's default
  std::vector<PrinterValue> data;
  std::vector<Job> jobs;
};

struct Driver {
  WStr name;
  WStr environment;  // "Windows NT x86" or "Windows x64"
  DWORD version = 3;
  WStr driver_file, data_file, config_file, help_file;  // file names in the environment's folder
  std::vector<WStr> dependent_files;
  WStr monitor, default_datatype;
  std::vector<BYTE> devmode;  // the driver's default device mode; empty: the generic one
};

struct Port {
  WStr name;
  WStr monitor = u"Local Port";
  WStr description;  // empty: the monitor's usual description
};

struct SpoolerChange {
  std::uint32_t seq = 0;
  DWORD what = 0;  // PRINTER_CHANGE_* bits
  WStr printer;    // the printer concerned; empty for ports, drivers and the like
};

struct Spooler {
  std::vector<Printer> printers;
  std::vector<Driver> drivers;
  std::vector<Port> ports;
  std::vector<WStr> processors;
  WStr default_printer;  // the current user's
  DWORD next_job = 1;
  std::uint32_t change_seq = 0;
  std::deque<SpoolerChange> changes;  // the most recent ones, oldest first

  Printer* printer(WStrView name);
  Driver* driver(WStrView name, WStrView environment);
  Port* port(WStrView name);  // exactly as named, as the spooler matches ports
  bool processor(WStrView name) const;
  bool driver_in_use(WStrView name) const;
  void changed(DWORD what, WStrView printer = {});
};

constexpr const char16_t* kEnvX86 = u"Windows NT x86";
constexpr const char16_t* kEnvX64 = u"Windows x64";
constexpr const char16_t* kLocalMonitor = u"Local Port";

// The environment of the machine's own processor architecture.
WStr native_environment(const Machine& m);
// The folder of an environment's driver files under System32\spool\drivers ("W32X86", "x64"),
// empty for an unknown environment (names ignore case).
WStr environment_folder(WStrView environment);
// The canonical spelling of a known environment, empty for an unknown one.
WStr known_environment(WStrView environment);

// The ports of a printer's port list ("LPT1:,LPT2:"), blanks around them dropped.
std::vector<WStr> split_ports(WStrView ports);

// A new machine's spooler: the local ports, WinPrint, nothing else.
Spooler default_spooler();
// Reads spooler.json (an empty document is a new machine's spooler); throws MachineError naming
// `file` and the problem for a document a person broke.
Spooler parse_spooler(const json& doc, const std::string& file, WStrView native_environment);
json spooler_json(const Spooler& s);

// The spooler of this process's machine, read under the lock.
Spooler read_spooler();
// Changes this machine's spooler under the lock: `change` returns a Win32 error code, and only a
// change that returns 0 is written.
DWORD edit_spooler(const std::function<DWORD(Spooler&)>& change);

// The generic device mode of a printer whose driver gives none of its own.
std::vector<BYTE> generic_devmode(const Machine& m);
// The device mode a printer works with: its own, else its driver's, else the generic one; the
// device name is the printer's (cut to fit).
std::vector<BYTE> effective_devmode(const Spooler& s, const Printer& p, const Machine& m);

}  // namespace winsim
