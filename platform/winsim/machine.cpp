// The machine folder: system.json, the C: drive, events.jsonl and the state files.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "internal.h"
#include "state_cache.h"
#include "devices_state.h"
#include "usb_state.h"
#include "registry_state.h"
#include "spooler_state.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

std::mutex g_machine_mu;
std::shared_ptr<Machine> g_machine;

// An exclusive (or shared) lock on the machine's lock file, held for one operation.
class MachineLock {
 public:
  MachineLock(const std::string& dir, bool exclusive) {
    fd_ = ::open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0) ::flock(fd_, exclusive ? LOCK_EX : LOCK_SH);
  }
  ~MachineLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  MachineLock(const MachineLock&) = delete;
  MachineLock& operator=(const MachineLock&) = delete;

 private:
  int fd_ = -1;
};

[[noreturn]] void bad(const std::string& file, const std::string& problem) {
  throw MachineError(file + ": " + problem);
}

const json& need(const json& obj, const char* key, json::value_t type, const std::string& file,
                 const std::string& where = "") {
  auto it = obj.find(key);
  std::string name = where.empty() ? key : where + "." + key;
  if (it == obj.end()) bad(file, "missing \"" + name + "\"");
  bool ok = it->type() == type ||
            (type == json::value_t::number_unsigned && it->is_number_integer() && it->get<long long>() >= 0);
  if (!ok) {
    const char* want = type == json::value_t::string    ? "a text"
                       : type == json::value_t::boolean ? "true or false"
                       : type == json::value_t::object  ? "an object"
                                                        : "a whole number";
    bad(file, "\"" + name + "\" must be " + want);
  }
  return *it;
}

unsigned need_uint(const json& obj, const char* key, const std::string& file, const std::string& where, unsigned max) {
  auto v = need(obj, key, json::value_t::number_unsigned, file, where).get<unsigned long long>();
  if (v > max) bad(file, "\"" + (where.empty() ? std::string(key) : where + "." + key) + "\" is out of range");
  return static_cast<unsigned>(v);
}

WStr need_wstr(const json& obj, const char* key, const std::string& file, const std::string& where = "") {
  return from_utf8(need(obj, key, json::value_t::string, file, where).get<std::string>());
}

// An optional list of texts; absent is empty.
std::vector<std::string> need_texts(const json& obj, const char* key, const std::string& file) {
  std::vector<std::string> out;
  auto it = obj.find(key);
  if (it == obj.end()) return out;
  if (!it->is_array()) bad(file, "\"" + std::string(key) + "\" must be a list of texts");
  for (auto& e : *it) {
    if (!e.is_string()) bad(file, "\"" + std::string(key) + "\" must be a list of texts");
    out.push_back(e.get<std::string>());
  }
  return out;
}

bool is_drive_name(const std::string& k) {  // "D:"
  return k.size() == 2 && k[1] == ':' && std::isalpha(static_cast<unsigned char>(k[0]));
}

std::string default_machine_dir() {
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.winsim/default";
}

unsigned acp_for(unsigned lang) {
  switch (lang) {
    case 2052:
    case 4100:
      return 936;
    case 1028:
    case 3076:
    case 5124:
      return 950;
    default:
      return 1252;
  }
}

std::string win_to_rel(const std::string& winpath) {  // "C:\\a\\b" -> "a/b"
  std::string rel = winpath.size() > 3 ? winpath.substr(3) : "";
  for (auto& c : rel)
    if (c == '\\') c = '/';
  return rel;
}

}  // namespace

std::shared_ptr<Machine> Machine::load(const std::string& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) throw MachineError(dir + ": the machine folder does not exist");
  std::string file = dir + "/system.json";
  std::ifstream in(file, std::ios::binary);
  if (!in) throw MachineError(file + ": missing (not a machine folder)");
  json sys;
  try {
    sys = json::parse(in);
  } catch (const json::exception& e) {  // out-of-range numbers ("1E400") included
    bad(file, std::string("not valid JSON: ") + e.what());
  }
  if (!sys.is_object()) bad(file, "must hold a JSON object");

  auto m = std::make_shared<Machine>();
  m->dir = fs::absolute(dir).lexically_normal().string();
  if (m->dir.size() > 1 && m->dir.back() == '/') m->dir.pop_back();
  const json& ver = need(sys, "version", json::value_t::object, file);
  m->major = need_uint(ver, "major", file, "version", 99);
  m->minor = need_uint(ver, "minor", file, "version", 99);
  m->build = need_uint(ver, "build", file, "version", 0xFFFF);
  if (ver.contains("service_pack")) m->service_pack = need_wstr(ver, "service_pack", file, "version");
  m->is64 = need(sys, "is64", json::value_t::boolean, file).get<bool>();
  m->language = static_cast<LANGID>(need_uint(sys, "language", file, "", 0xFFFF));
  m->acp = need_uint(sys, "ansi_code_page", file, "", 0xFFFF);
  if (m->acp != 936 && m->acp != 950 && m->acp != 1252) bad(file, "\"ansi_code_page\" must be 936, 950 or 1252");
  m->oemcp = sys.contains("oem_code_page") ? need_uint(sys, "oem_code_page", file, "", 0xFFFF) : m->acp;
  m->user = need_wstr(sys, "user", file);
  m->computer = sys.contains("computer") ? need_wstr(sys, "computer", file) : WStr(u"KELVANE-PC");
  const json& folders = need(sys, "folders", json::value_t::object, file);
  m->windows_dir = need_wstr(folders, "windows", file, "folders");
  m->system_dir = need_wstr(folders, "system32", file, "folders");
  m->program_files = need_wstr(folders, "program_files", file, "folders");
  if (folders.contains("program_files_x86"))
    m->program_files_x86 = need_wstr(folders, "program_files_x86", file, "folders");
  m->temp_dir = need_wstr(folders, "temp", file, "folders");
  m->drives[u'C'] = m->dir + "/C";
  if (sys.contains("drives")) {
    const json& drives = need(sys, "drives", json::value_t::object, file);
    for (auto& [k, v] : drives.items()) {
      if (!is_drive_name(k) || !v.is_string()) bad(file, "drive \"" + k + "\" must look like \"D:\": \"/host/folder\"");
      std::string target = v.get<std::string>();
      if (!target.empty() && target[0] != '/') target = m->dir + "/" + target;
      m->drives[fold_upper(static_cast<WCHAR>(k[0]))] = target;
    }
  }
  // Drives given for one run (winsim run --map) come through the environment.
  if (const char* extra = std::getenv("WINSIM_DRIVES")) {
    json parsed;
    try {
      parsed = json::parse(extra);
    } catch (const json::exception&) {
    }
    if (!parsed.is_object()) throw MachineError("WINSIM_DRIVES: not a JSON object of drive mappings");
    for (auto& [k, v] : parsed.items()) {
      if (!is_drive_name(k) || !v.is_string())
        throw MachineError("WINSIM_DRIVES: drive \"" + k + "\" must look like \"D:\": \"/host/folder\"");
      m->drives[fold_upper(static_cast<WCHAR>(k[0]))] = v.get<std::string>();
    }
  }
  // Every process resolves these folders while it starts: they must be full paths on a drive the
  // machine has, or nothing could run.
  for (const WStr* f : {&m->windows_dir, &m->system_dir, &m->program_files, &m->program_files_x86, &m->temp_dir}) {
    if (f == &m->program_files_x86 && f->empty()) continue;
    if (f->size() < 3 || (*f)[1] != u':' || (*f)[2] != u'\\' || !is_drive_name(to_utf8(f->substr(0, 2))))
      bad(file, "folder \"" + to_utf8(*f) + "\" is not a full path such as C:\\Windows");
    if (!m->drives.count(fold_upper((*f)[0])))
      bad(file, "folder \"" + to_utf8(*f) + "\" is on a drive the machine does not have");
  }
  m->missing_exports = need_texts(sys, "missing_exports", file);
  m->privileges = need_texts(sys, "privileges", file);
  if (sys.contains("associations")) {
    for (auto& [ext, program] : need(sys, "associations", json::value_t::object, file).items()) {
      if (ext.size() < 2 || ext[0] != '.' || !program.is_string() || program.get<std::string>().empty())
        bad(file, "association \"" + ext + "\" must look like \".pdf\": \"AcroRd32.exe\"");
      m->associations[folded(from_utf8(ext))] = from_utf8(program.get<std::string>());
    }
  }
  m->sys = std::move(sys);
  return m;
}

const Machine& machine() {
  std::lock_guard lock(g_machine_mu);
  if (!g_machine) {
    const char* env = std::getenv("WINSIM_MACHINE");
    std::string dir = env && *env ? env : default_machine_dir();
    try {
      if (!(env && *env) && !fs::exists(dir + "/system.json")) create_machine(dir, MachineOptions{});
      g_machine = Machine::load(dir);
    } catch (const MachineError& e) {
      machine_unusable(e);
    }
  }
  return *g_machine;
}

void machine_unusable(const MachineError& e) {
  std::fprintf(stderr, "winsim: %s\n", e.what());
  std::_Exit(3);
}

void reset_process_state();  // process.cpp
void reset_faults();         // faults.cpp
void reset_user();           // user.cpp

void use_machine(const std::string& dir) {
  auto m = Machine::load(dir);
  {
    std::lock_guard lock(g_machine_mu);
    g_machine = m;
  }
  reset_faults();
  reset_user();
  reset_process_state();
}

// ---- events and state files -------------------------------------------------------------------

void append_event(json ev) {
  const Machine& m = machine();
  using namespace std::chrono;
  ev["time"] = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  ev["pid"] = static_cast<int>(::getpid());
  ev["image"] = to_utf8(process().image_path);
  std::string line = ev.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  MachineLock lock(m.dir, true);
  int fd = ::open((m.dir + "/events.jsonl").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::close(fd);
}

// Replaced by rename, so that no reader ever sees half a file. Not flushed to the disk: the state
// files are the running machine's memory, which its processes share through the page cache, and
// a flush on every change made each device request several milliseconds slower.
void write_json_atomically(const std::string& path, const json& doc) {
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  std::string text = doc.dump(2) + "\n";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw MachineError(path + ": cannot be written");
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw MachineError(path + ": cannot be written");
  }
}

static json read_json_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return json::object();
  try {
    return json::parse(in);
  } catch (const json::exception& e) {
    throw MachineError(path + ": not valid JSON: " + e.what());
  }
}

json read_state_in(const std::string& dir, const std::string& name) {
  MachineLock lock(dir, false);
  return read_json_file(dir + "/" + name + ".json");
}

json read_state(const std::string& name) { return read_state_in(machine().dir, name); }

std::shared_ptr<const void> read_state_parsed(const std::string& dir, const std::string& name,
                                              const std::function<std::shared_ptr<const void>(const json&)>& parse) {
  struct Entry {
    std::uint32_t changes = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};
    std::shared_ptr<const void> parsed;
  };
  // Never destroyed, as the change counters: a detached thread may read state while the process exits.
  static std::mutex& mu = *new std::mutex;
  static std::map<std::string, Entry>& cache = *new std::map<std::string, Entry>;
  const std::string path = dir + "/" + name + ".json";
  // Every write bumps the file's change counter, and replaces the file: both must be as they were
  // (the counter alone misses a person's edit, the file's identity alone a reused inode).
  const std::uint32_t changes = state_changes(dir, name);
  MachineLock lock(dir, false);
  struct stat st {};
  const bool known = ::stat(path.c_str(), &st) == 0;
  auto same = [&](const Entry& e) {
    return e.changes == changes && e.dev == st.st_dev && e.ino == st.st_ino && e.size == st.st_size && e.mtime.tv_sec == st.st_mtim.tv_sec &&
           e.mtime.tv_nsec == st.st_mtim.tv_nsec && e.ctime.tv_sec == st.st_ctim.tv_sec &&
           e.ctime.tv_nsec == st.st_ctim.tv_nsec;
  };
  if (known) {
    std::lock_guard guard(mu);
    auto it = cache.find(path);
    if (it != cache.end() && same(it->second)) return it->second.parsed;
  }
  std::shared_ptr<const void> parsed = parse(read_json_file(path));
  if (known) {
    std::lock_guard guard(mu);
    cache[path] = Entry{changes, st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, parsed};
  }
  return parsed;
}

static void locked_update(const std::string& dir, const std::string& name, const std::function<bool(json&)>& change) {
  {
    MachineLock lock(dir, true);
    std::string path = dir + "/" + name + ".json";
    json doc = read_json_file(path);
    if (!change(doc)) return;
    write_json_atomically(path, doc);
  }
  bump_state_changes(dir, name);
}

void update_state(const std::string& name, const std::function<void(json&)>& change) {
  locked_update(machine().dir, name, [&](json& doc) {
    change(doc);
    return true;
  });
}

void update_state_if(const std::string& name, const std::function<bool(json&)>& change) {
  locked_update(machine().dir, name, change);
}

void update_state_in(const std::string& dir, const std::string& name, const std::function<bool(json&)>& change) {
  Machine::load(dir);  // a clear error for a folder that is no machine
  locked_update(dir, name, change);
}

void add_machine_fault(const std::string& dir, const std::string& api, unsigned call, unsigned error,
                       const std::string& image) {
  update_state_in(dir, "faults", [&](json& doc) {
    parse_machine_faults(doc, dir + "/faults.json");  // never add to a file that is already broken
    json f = {{"api", api}, {"call", call}, {"error", error}};
    if (!image.empty()) f["image"] = image;
    doc["faults"].push_back(f);
    return true;
  });
}

void clear_machine_faults(const std::string& dir) {
  update_state_in(dir, "faults", [](json& doc) {
    doc = {{"faults", json::array()}};
    return true;
  });
}

void record_event(const std::string& json_object) {
  json ev = json::parse(json_object, nullptr, false);
  if (!ev.is_object()) throw MachineError("an event must be a JSON object: " + json_object);
  append_event(std::move(ev));
}

std::vector<std::string> read_events(const std::string& dir) {
  MachineLock lock(dir, false);
  std::vector<std::string> out;
  std::ifstream in(dir + "/events.jsonl", std::ios::binary);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) out.push_back(line);
  return out;
}

// ---- making and describing machines -----------------------------------------------------------

bool parse_version(const std::string& text, MachineOptions& o) {
  unsigned a = 0, b = 0, c = 0;
  char extra = 0;
  int n = std::sscanf(text.c_str(), "%u.%u.%u%c", &a, &b, &c, &extra);
  if (n < 2 || n > 3 || a > 99 || b > 99 || c > 0xFFFF) return false;
  o.major = a;
  o.minor = b;
  if (n == 3) {
    o.build = c;
  } else {
    // The released build of each version the product meets.
    static const std::map<unsigned, unsigned> builds = {{50, 2195}, {51, 2600}, {52, 3790}, {60, 6002},
                                                        {61, 7601}, {62, 9200}, {63, 9600}, {100, 19045}};
    auto it = builds.find(a * 10 + b);
    o.build = it == builds.end() ? 0 : it->second;
  }
  if (a * 10 + b != 61) o.service_pack = a * 10 + b == 51 ? "Service Pack 3" : "";
  return true;
}

void create_machine(const std::string& dir, const MachineOptions& o) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw MachineError(dir + ": cannot create the machine folder: " + ec.message());
  bool nt6 = o.major >= 6;
  std::string profile = nt6 ? "C:\\Users\\" + o.user : "C:\\Documents and Settings\\" + o.user;
  std::string temp = nt6 ? profile + "\\AppData\\Local\\Temp" : profile + "\\Local Settings\\Temp";
  unsigned acp = o.acp ? o.acp : acp_for(o.language);
  json folders = {{"windows", "C:\\Windows"},
                  {"system32", "C:\\Windows\\system32"},
                  {"program_files", "C:\\Program Files"},
                  {"temp", temp}};
  if (o.is64) folders["program_files_x86"] = "C:\\Program Files (x86)";
  json sys = {
      {"version", {{"major", o.major}, {"minor", o.minor}, {"build", o.build}, {"service_pack", o.service_pack}}},
      {"is64", o.is64},
      {"language", o.language},
      {"ansi_code_page", acp},
      {"oem_code_page", acp == 1252 ? 437 : acp},
      {"user", o.user},
      {"computer", o.computer},
      {"folders", folders},
      {"privileges",
       {"SeShutdownPrivilege", "SeBackupPrivilege", "SeRestorePrivilege", "SeDebugPrivilege", "SeLoadDriverPrivilege",
        "SeSecurityPrivilege", "SeTakeOwnershipPrivilege", "SeChangeNotifyPrivilege"}},
      // What a fresh Windows opens documents with; a PDF reader is the user's to install.
      {"associations", {{".txt", "notepad.exe"}, {".htm", "iexplore.exe"}, {".html", "iexplore.exe"}}},
      // As under Wine, Z: reaches the host's root, so that host programs can be run inside.
      {"drives", {{"Z:", "/"}}},
      {"missing_exports", json::array()},
  };
  std::string c = dir + "/C";
  std::vector<std::string> tree = {"Windows/System32",
                                   "Windows/System32/spool/PRINTERS",
                                   "Windows/System32/spool/drivers/W32X86/3",
                                   "Windows/inf",
                                   "Windows/Temp",
                                   "Program Files",
                                   "ProgramData",
                                   win_to_rel(temp),
                                   win_to_rel(profile) + "/Desktop"};
  if (o.is64) {
    tree.push_back("Program Files (x86)");
    tree.push_back("Windows/SysWOW64");
    tree.push_back("Windows/System32/spool/drivers/x64/3");
  }
  for (auto& t : tree) fs::create_directories(c + "/" + t, ec);
  // The system programs (cmd.exe, sayit.exe, ...).
  const char* programs = std::getenv("WINSIM_PROGRAMS");
  std::string from = programs && *programs ? programs : WINSIM_PROGRAMS_DIR;
  for (auto it = fs::directory_iterator(from, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    if (it->path().extension() == ".exe")
      fs::copy_file(it->path(), c + "/Windows/System32/" + it->path().filename().string(),
                    fs::copy_options::overwrite_existing, ec);
  write_json_atomically(dir + "/system.json", sys);
  write_json_atomically(dir + "/spooler.json", spooler_json(default_spooler()));
  write_json_atomically(dir + "/registry.json", registry_json(default_registry(*Machine::load(dir))));
  std::ofstream(dir + "/events.jsonl", std::ios::app);
}

// Each state file with the reader that checks it; a new service adds its file here.
static void check_state_files(const Machine& m) {
  MachineLock lock(m.dir, false);
  std::string faults = m.dir + "/faults.json";
  parse_machine_faults(read_json_file(faults), faults);
  std::string spooler = m.dir + "/spooler.json";
  parse_spooler(read_json_file(spooler), spooler, native_environment(m));
  std::string registry = m.dir + "/registry.json";
  parse_registry(read_json_file(registry), registry);
  std::string devices = m.dir + "/devices.json";
  parse_devices(read_json_file(devices), devices);
  std::string usb = m.dir + "/usb.json";
  parse_usb(read_json_file(usb), usb);
}

void check_machine(const std::string& dir) { check_state_files(*Machine::load(dir)); }

std::string describe_machine(const std::string& dir) {
  auto m = Machine::load(dir);
  check_state_files(*m);
  std::ostringstream out;
  out << "machine     " << m->dir << "\n"
      << "windows     " << m->major << "." << m->minor << " build " << m->build;
  if (!m->service_pack.empty()) out << " " << to_utf8(m->service_pack);
  out << (m->is64 ? ", 64-bit" : ", 32-bit") << "\n"
      << "language    " << m->language << ", ANSI code page " << m->acp << ", OEM code page " << m->oemcp << "\n"
      << "user        " << to_utf8(m->user) << " on " << to_utf8(m->computer) << "\n"
      << "windows dir " << to_utf8(m->windows_dir) << "\n"
      << "system dir  " << to_utf8(m->system_dir) << "\n"
      << "programs    " << to_utf8(m->program_files);
  if (!m->program_files_x86.empty()) out << " and " << to_utf8(m->program_files_x86);
  out << "\n"
      << "temp        " << to_utf8(m->temp_dir) << "\n";
  for (auto& [letter, host] : m->drives) out << "drive       " << to_utf8(WStr(1, letter)) << ": -> " << host << "\n";
  out << describe_spooler(dir);
  out << describe_devices(dir);
  out << describe_usb(dir);
  out << "events      " << read_events(dir).size() << " recorded in " << m->dir << "/events.jsonl\n";
  return out.str();
}

}  // namespace winsim
