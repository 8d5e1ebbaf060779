// Shared pieces of the simulated machine's implementation. Not part of the boundary: product code
// never includes this.
#pragma once

#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <condition_variable>
#include <functional>
#include <set>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/picture.h"
#include "win32/kernel.h"
#include "win32/user.h"
#include "winsim/winsim.h"

namespace winsim {

using json = nlohmann::json;

// ---- text -------------------------------------------------------------------------------------
std::string to_utf8(WStrView s);
WStr from_utf8(std::string_view s);
WCHAR fold_upper(WCHAR c);  // the upcase table used for file names and profile names
WStr folded(WStrView s);    // every character through fold_upper: a key for names that ignore case
bool iequal(WStrView a, WStrView b);
int icompare(WStrView a, WStrView b);
WStr trim_blanks(WStrView s);
// Conversion through a code page (0 = the machine's ANSI code page). Unmappable characters become
// the code page's default character.
std::string to_codepage(WStrView s, UINT cp);
WStr from_codepage(std::string_view s, UINT cp);
inline std::string to_acp(WStrView s) { return to_codepage(s, CP_ACP); }
inline WStr from_acp(std::string_view s) { return from_codepage(s, CP_ACP); }
inline WStr wstr_or_empty(LPCWSTR s) { return s ? WStr(s) : WStr(); }

// Sets the thread's last error and gives back the value a failing call returns.
template <class R>
R fail(DWORD error, R value) {
  SetLastError(error);
  return value;
}

// Copies text into a caller's buffer the way most string APIs do: with room, the length without
// terminator; without room, the size needed including the terminator.
DWORD copy_out(WStrView s, LPWSTR buf, DWORD size);

// ---- the machine ------------------------------------------------------------------------------
struct Machine {
  std::string dir;  // host folder
  json sys;         // system.json as loaded and checked
  unsigned major = 0, minor = 0, build = 0;
  WStr service_pack;
  bool is64 = false;
  LANGID language = 0;
  UINT acp = 0, oemcp = 0;
  WStr user, computer;
  WStr windows_dir, system_dir, program_files, program_files_x86, temp_dir;
  std::map<WCHAR, std::string> drives;  // upper-case letter -> host folder (C included)
  std::vector<std::string> missing_exports;
  std::vector<std::string> privileges;  // held by the user's account
  // The programs documents open in, by extension with its dot (upper-cased): ".TXT" -> "notepad.exe".
  std::map<WStr, WStr> associations;

  static std::shared_ptr<Machine> load(const std::string& dir);  // throws MachineError
};

// The machine of this process, loaded from WINSIM_MACHINE on first use (or the default machine).
const Machine& machine();

// Appends one record to events.jsonl, under the machine's lock.
void append_event(json ev);

// State files: one JSON document per service in the machine folder, read and written under a file
// lock; a write goes to a temporary file that replaces the old one, so no reader ever sees half.
json read_state(const std::string& name);
void update_state(const std::string& name, const std::function<void(json&)>& change);
// The file is written only when `change` returns true; the second form is for the machine in `dir`.
void update_state_if(const std::string& name, const std::function<bool(json&)>& change);
void update_state_in(const std::string& dir, const std::string& name, const std::function<bool(json&)>& change);
json read_state_in(const std::string& dir, const std::string& name);

// Machine-wide change counters: every update of a state file increments its counter, a word in a
// small file under run/ that every process maps shared, and wakes whoever sleeps on it (a futex),
// so that a process learns of another's change without polling.
std::uint32_t state_changes(const std::string& dir, const std::string& name);
void bump_state_changes(const std::string& dir, const std::string& name);
// Sleeps until the counter differs from `seen` or `ms` milliseconds pass (INFINITE: no limit).
void wait_state_change(const std::string& dir, const std::string& name, std::uint32_t seen, DWORD ms);
// Futex words, shared between processes when they live in a shared mapping: `wait_word` sleeps
// while the word equals `seen`, at most `ms` milliseconds (INFINITE: no limit); `wake_word` wakes
// every sleeper.
void wait_word(std::uint32_t* word, std::uint32_t seen, DWORD ms);
void wake_word(std::uint32_t* word);
void write_json_atomically(const std::string& path, const json& doc);

// A process cannot run on a machine whose files are broken: says why once, plainly, and stops.
[[noreturn]] void machine_unusable(const MachineError& e);

// Starts System32\`name` of the machine in `dir` on its own, as the system starts its helpers;
// false when it is not there or cannot start.
bool start_system_program(const std::string& dir, const std::string& name, const std::string& arguments);

// A window of this process went: device-change registrations whose windows are all gone end.
void forget_device_notifications();

// Takes the next number of a machine-wide counter (the word of run/<name>.changes, starting at 0)
// atomically for every process of the machine; none when the machine folder cannot hold it.
std::optional<std::uint32_t> take_machine_number(const std::string& dir, const std::string& name);

// ---- fault injection --------------------------------------------------------------------------
struct MachineFault {
  std::string api;
  unsigned call = 0;
  DWORD error = 31;
  std::string image;  // empty: every program
};
// The faults of a machine's faults.json (throws MachineError naming `file`).
std::vector<MachineFault> parse_machine_faults(const json& doc, const std::string& file);

// Returns the last-error code to fail with when a fault is armed for this call of `api` (also
// matched as "api:detail"), otherwise 0. Every API counts its calls through here.
DWORD fault(const char* api, std::string_view detail = {});

// ---- paths ------------------------------------------------------------------------------------
// GetFullPathName's lexical rules against the process's current folder.
WStr full_path(WStrView path);

struct HostPath {
  std::string host;            // host path (may not exist)
  bool exists = false;         // the whole path exists
  bool parent_exists = false;  // the folder that would hold it exists
  WStr full;                   // the full Windows path
  bool have_stat = false;      // `st` holds the entry's stat(), taken while resolving
  struct stat st {};
};
// A host file changed less than this long ago may change again without its times moving (they
// advance in the file system's coarse steps): copies kept by identity and time must not trust it.
constexpr long long kFileTimeStepNs = 50'000'000;  // well above any file system's time step
inline long long ns_of(const struct timespec& t) { return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }
long long host_now_ns();  // the host's wall clock, the one file times are taken from
// Maps a Windows path onto the host, finding every existing component regardless of case. Fails
// with ERROR_PATH_NOT_FOUND for an unknown drive and ERROR_INVALID_NAME for a malformed name.
std::optional<HostPath> resolve(WStrView path, DWORD& error);
// The Windows form of a host path (through C:, mapped drives, and Z: for the host root).
std::optional<WStr> windows_path_of(const std::string& host);
// The entry of the host folder `dir` that Windows opens for the name `comp`: the exact name, else
// one that differs only in case, else one whose 8.3 name it is.
std::optional<std::string> find_entry(const std::string& dir, WStrView comp);
// 8.3 name of `name` inside the host folder `dir`, or empty when the name is already 8.3.
WStr short_name_in(const std::string& dir, WStrView name);
// The short (8.3) form of an existing full path.
WStr short_path(WStrView full);

// ---- the process ------------------------------------------------------------------------------
struct Object {
  virtual ~Object() = default;
};

// An object read and written through a host file descriptor: files, pipe ends, the standard
// handles.
struct FdObject : Object {
  int fd = -1;
  bool owns = true;
  bool pipe = false;  // at the end of a pipe, reads fail with ERROR_BROKEN_PIPE
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  ~FdObject() override;
};

// What a process or thread handle waits on.
struct WaitState {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  DWORD exit_code = STILL_ACTIVE;
  void finish(DWORD code) {
    {
      std::lock_guard lock(mu);
      done = true;
      exit_code = code;
    }
    cv.notify_all();
  }
};

struct Waitable : Object {
  std::shared_ptr<WaitState> state = std::make_shared<WaitState>();
};

// An object whose signalled state lives outside the process (machine-wide objects).
struct SharedWaitable : Object {
  // True once signalled; false when `ms` milliseconds (INFINITE: no limit) passed first.
  virtual bool wait_signalled(DWORD ms) = 0;
};

// What WaitForSingleObject and WaitForMultipleObjects wait for alike: events, mutexes and the
// objects that signal like them. `word` moves whenever the object may have become signalled, so a
// waiter sleeps on it as a futex between looks.
struct Syncable : Object {
  // Takes the object when it is signalled (an auto-reset event resets, a mutex is owned):
  // WAIT_OBJECT_0, or WAIT_ABANDONED for a mutex whose holder ended; WAIT_TIMEOUT when it is not.
  virtual DWORD take() = 0;
  virtual bool peek() = 0;  // signalled now, without taking it
  virtual std::uint32_t* word() = 0;
  // How long a waiter may sleep before it looks again although nobody woke it.
  virtual DWORD look_again_ms() const { return INFINITE; }
  virtual bool may_wait() const { return true; }  // the handle was opened with SYNCHRONIZE
};
DWORD wait_for(Syncable& obj, DWORD ms);
// Announces that the object whose word this is may have become signalled: wakes its waiters and
// whoever waits for several objects at once.
void signal_syncable(std::uint32_t* word);

struct Module {
  enum Kind { kExe, kSystem, kLibrary } kind = kLibrary;
  WStr path;         // Windows path
  WStr name;         // file name
  std::string host;  // host file (none for system modules)
  void* dl = nullptr;
  int refs = 1;
  int bits = 64;
};

struct Process {
  std::recursive_mutex mu;
  WStr cwd;
  std::vector<std::pair<WStr, WStr>> env;  // kept in insertion order; names compared ignoring case
  WStr image_path;
  std::string image_host;
  int image_bits = 64;
  bool image_declared = false;
  std::map<ULONG_PTR, std::shared_ptr<Object>> handles;
  ULONG_PTR next_handle = 4;
  std::vector<std::unique_ptr<Module>> modules;  // [0] is the executable
  WStr command_line;
  HANDLE std_handles[3] = {nullptr, nullptr, nullptr};
  std::set<std::string> enabled_privileges;

  HANDLE add(std::shared_ptr<Object> obj);
  template <class T>
  std::shared_ptr<T> get(HANDLE h) {
    std::lock_guard lock(mu);
    auto it = handles.find(reinterpret_cast<ULONG_PTR>(h));
    if (it == handles.end()) return nullptr;
    return std::dynamic_pointer_cast<T>(it->second);
  }
  bool close(HANDLE h);
  template <class T>
  std::vector<std::shared_ptr<T>> all() {
    std::lock_guard lock(mu);
    std::vector<std::shared_ptr<T>> out;
    for (auto& [k, v] : handles)
      if (auto p = std::dynamic_pointer_cast<T>(v)) out.push_back(p);
    return out;
  }
};

Process& process();
// Whether this thread is starting the process state (and so must not call process()).
bool process_starting();
void init_modules(Process& p);
void init_process_io(Process& p);  // standard handles, command line, privileges  // the executable and the system
                                   // modules every process has
Module* find_module(HMODULE h);
// Tells every loaded library that a thread of CreateThread starts or ends (DLL_THREAD_ATTACH,
// DLL_THREAD_DETACH), on that thread and under the loader's lock, as Windows does.
void notify_libraries(DWORD reason);
// Whether a host file is mapped as a module of this process (and so cannot be deleted).
bool is_loaded_image(const std::string& host);
bool same_file(const std::string& a, const std::string& b);
WStr file_of(WStrView path);
// The bitness an image file declares (32 or 64); 0 for a file that is no image of this machine.
int image_bits(const std::string& host);
// Whether the running image is a 32-bit image on 64-bit Windows.
bool is_wow64();
std::optional<WStr> get_env(WStrView name);

// ---- windows as drawing sees them (user.cpp) --------------------------------------------------
// Where a window of this process lies in the surface of its top-level window (the top-level
// window's client coordinates, which are its window coordinates here: windows have no frame).
struct WindowPlace {
  HWND top = nullptr;
  LONG x = 0, y = 0, cx = 0, cy = 0;     // the window's rectangle
  LONG clip_l = 0, clip_t = 0, clip_r = 0, clip_b = 0;  // the part inside all its ancestors
  bool shown = false;                    // it and all its ancestors are visible
  DWORD ex_style = 0;
  bool color_keyed = false;              // a layered window with a colour key
  DWORD color_key = 0;                   // as a COLORREF
  HBRUSH background = nullptr;           // its class's background brush
};
std::optional<WindowPlace> window_place(HWND h);
// Marks a window (and with `children` its descendants) as needing WM_PAINT, or painted.
void mark_for_paint(HWND h, bool dirty, bool children);
// The top-level windows of this process that are shown, in creation order.
std::vector<HWND> shown_top_windows();

// The class name of a window of this process ("" for none).
WStr window_class(HWND h);
// The cursor last set with SetCursor, by its resource number (32512 the arrow; 0 none).
ULONG_PTR current_cursor();
// The child windows of a window of this process, in the order they were made.
std::vector<HWND> child_windows(HWND parent);

// ---- the system's controls (controls.cpp) -----------------------------------------------------
// The procedure of a system class (STATIC, LISTBOX, COMBOBOX, msctls_progress32, BUTTON, ...).
WNDPROC system_class_proc(WStrView name);
// The user picks an item of a drop-down list by its text: selected, and the parent told.
bool choose_item(HWND combo, const WStr& item);

// ---- dialogs (dialogs.cpp) --------------------------------------------------------------------
// The procedure of the dialog class "#32770": the dialog procedure first, then the defaults.
WNDPROC dialog_class_proc();

// ---- drawing (gdi.cpp) ------------------------------------------------------------------------
// The top-level window as drawn, colour-keyed parts transparent; none for an unknown window.
std::optional<picture::Picture> snapshot_window(HWND top);
// A message box drawn over a picture of what lies below it (an empty desktop when that is empty).
picture::Picture draw_message_box(const picture::Picture& below, const WStr& caption, const WStr& text,
                                  const std::vector<WStr>& buttons);
// Drops the surface of a top-level window that is gone.
void forget_surface(HWND top);

}  // namespace winsim
