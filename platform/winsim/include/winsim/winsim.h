// Control interface of the simulated Windows machine, for the winsim tool and for tests. Product
// code never uses it: it sees only the Win32 boundary.
#pragma once

#include <optional>
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

// ---- the print spooler of a machine, set up and inspected by people (the `winsim` tool) and tests.
// Names are UTF-8. Each call checks its arguments as the spooler would and throws MachineError
// with a plain reason (unknown driver, port or printer, a name in use, ...); the change wakes the
// machine's printer change notifications like any spooler call.
struct PrinterSetup {
  std::string name, driver, port;
  std::string processor = "WinPrint";
  std::string datatype = "RAW";
  std::string share;  // shared under this name when not empty
  std::string comment, location;
  bool offline = false;  // works offline (PRINTER_ATTRIBUTE_WORK_OFFLINE)
};
struct DriverSetup {
  std::string name;
  std::string environment;  // "Windows NT x86" or "Windows x64"; empty: the machine's own
  unsigned version = 3;
  std::string driver_file = "UNIDRV.DLL", data_file, config_file = "UNIDRVUI.DLL";  // data file: NAME.GPD when empty
};
WINSIM_CTL void add_printer(const std::string& dir, const PrinterSetup& printer);
WINSIM_CTL void delete_printer(const std::string& dir, const std::string& name);
WINSIM_CTL void set_printer_offline(const std::string& dir, const std::string& name, bool offline);
WINSIM_CTL void set_default_printer(const std::string& dir, const std::string& name);  // "": none
WINSIM_CTL void add_driver(const std::string& dir, const DriverSetup& driver);
WINSIM_CTL void delete_driver(const std::string& dir, const std::string& name, const std::string& environment = "");
WINSIM_CTL void add_port(const std::string& dir, const std::string& name, const std::string& monitor = "Local Port");
WINSIM_CTL void delete_port(const std::string& dir, const std::string& name);
// Queues a job (status: JOB_STATUS_* bits) and returns its id.
WINSIM_CTL unsigned add_job(const std::string& dir, const std::string& printer, const std::string& document,
                            unsigned status = 0);
WINSIM_CTL void delete_job(const std::string& dir, const std::string& printer, unsigned id);
// Printers, drivers, ports, jobs and the default printer, as `winsim show` lists them.
WINSIM_CTL std::string describe_spooler(const std::string& dir);

// ---- the registry of a machine. KEY is "HKLM\\...", "HKCU\\..." or "HKCR\\..." (or the long root
// names); names are UTF-8.
// The key's values and subkeys, as `reg query` shows them (throws MachineError for a missing key).
WINSIM_CTL std::string reg_query(const std::string& dir, const std::string& key);
// Makes the key and those above it; with a value name, type or data also sets that value: REG_SZ
// by default, REG_EXPAND_SZ, REG_DWORD (a number), REG_BINARY (hex digits) or REG_MULTI_SZ (texts
// separated by "\0").
WINSIM_CTL void reg_add(const std::string& dir, const std::string& key, const std::string& value = "",
                        const std::string& type = "", const std::string& data = "");
// Deletes the key with everything below it, or only the named value.
WINSIM_CTL void reg_delete(const std::string& dir, const std::string& key, const std::string* value = nullptr);

// ---- Plug and Play devices of a machine.
// How the printer behind a USB printing device answers; what is not set stays as it was (a new
// printer: status 0x18, items 0 0 0 0 0, answers at once with the five items).
struct UsbPrinterSetup {
  std::optional<long> answer_ms;                // the reply to a read command comes this late; -1: never
  std::optional<unsigned> reply_length;         // 0: the five items; else that many bytes, cut or zero-padded
  std::optional<int> refuse_item;               // writes of this item change nothing; -1: none
  std::optional<long> unplug_after;             // pulled out after taking this many more bytes; -1: never
  std::optional<bool> stall_writes;             // takes no bytes, so every write waits
  std::optional<unsigned> status;               // the port status byte
  std::optional<std::vector<unsigned>> items;   // the five settings items (bytes)
};
struct PlugSetup {
  enum Bus { kUsb, kLpt, kRoot } bus = kUsb;
  std::string device_id;    // the printer's IEEE 1284 ID, "MFG:Kelvane;MDL:KV-1000;CMD:ESC/P;"
  std::string hardware_id;  // a root-enumerated device's own hardware ID
  UsbPrinterSetup usb;      // a USB printer's answers
};
// Attaches a printer the way Windows sees one and returns its instance ID. On USB: a USB device
// node and its USBPRINT child whose hardware IDs come from the 1284 ID (manufacturer and model,
// blanks as underscores, cut to 20 characters, then the 4-digit CRC-16 of the two), the next free
// port "USB001", "USB002", ... of the USB monitor, and the USB printing interface's registry keys.
// On LPT an LPTENUM device on "LPT1:"; on the root a ROOT\PRINTER device. A driver in the store
// that fits is installed at once, as a rescan would.
WINSIM_CTL std::string plug_printer(const std::string& dir, const PlugSetup& setup);
// Marks the device (by instance ID or by its port) as no longer present; its port stays.
WINSIM_CTL void unplug_printer(const std::string& dir, const std::string& instance_or_port);
// Changes how the USB printer on that port (or of that instance ID, USB or USBPRINT) answers
// (throws MachineError for an unknown printer or a value out of range).
WINSIM_CTL void set_usb_printer(const std::string& dir, const std::string& port_or_instance, const UsbPrinterSetup& setup);
// The USB printers and how they answer, as `winsim usb` lists them.
WINSIM_CTL std::string describe_usb(const std::string& dir);
// The hardware ID a printer of that manufacturer and model gets ("KelvaneKV-1000EAD3").
WINSIM_CTL std::string printer_hardware_id(const std::string& manufacturer, const std::string& model);
// How the machine's device installs answer: restart needed, no function driver service, INFs
// refused without their catalog.
WINSIM_CTL void set_setup_policy(const std::string& dir, bool restart_needed, bool no_service, bool require_catalog);
// What the system printer user interface does with an INF for "/if": the model (by its
// description, ignoring case) of the INF's section for this machine's platform enters the driver
// store (oemN.inf) and the spooler with its files, in the current machine. 0 or a Win32 error
// code (the file missing or no INF, no printer INF, the model not in it, the store's refusal).
WINSIM_CTL unsigned install_inf_printer_driver(const std::u16string& inf_path, const std::u16string& model_name);
// The devices, as `winsim show` lists them.
WINSIM_CTL std::string describe_devices(const std::string& dir);

// Records what a system program of the machine did (a JSON object) in the current machine's
// events.jsonl, with the time, process and image added (throws MachineError for other text).
WINSIM_CTL void record_event(const std::string& json_object);
// The records of events.jsonl, one JSON text each.
WINSIM_CTL std::vector<std::string> read_events(const std::string& dir);

// The host folder of a Windows path in the current machine ("" when it cannot be mapped).
WINSIM_CTL std::string host_path(const std::u16string& windows_path);
WINSIM_CTL std::string host_path(const std::string& windows_path_utf8);

}  // namespace winsim

extern "C" WINSIM_CTL void winsim_declare_image(int bits);
