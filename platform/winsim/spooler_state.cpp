// The spooler's state file: reading it with plain errors for what a person broke, writing it
// back readable, the default spooler of a new machine, and the set-up calls of the winsim tool.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "state_cache.h"
#include "spooler_state.h"

namespace winsim {

namespace {

constexpr size_t kRecentChanges = 64;
constexpr const char* kStateName = "spooler";



// The folder of one machine, its spooler read, changed and written back under the lock; for the
// set-up calls, which throw MachineError with a reason a person understands.
void edit_machine_spooler(const std::string& dir, const std::function<void(Spooler&, const Machine&)>& change) {
  auto m = Machine::load(dir);
  update_state_in(dir, kStateName, [&](json& doc) {
    Spooler s = parse_spooler(doc, dir + "/spooler.json", native_environment(*m));
    change(s, *m);
    doc = spooler_json(s);
    return true;
  });
}

[[noreturn]] void refuse(const std::string& why) { throw MachineError(why); }

// The host folder of a folder of machine `m`, made where it is missing; existing components are
// found regardless of case, as Windows finds them.
std::string make_host_folder(const Machine& m, WStrView path) {
  auto drive = m.drives.find(fold_upper(path.empty() ? u'C' : path[0]));
  if (drive == m.drives.end() || path.size() < 3) return {};
  std::string host = drive->second;
  size_t start = 3;
  while (start < path.size()) {
    size_t end = path.find(u'\\', start);
    WStrView comp = path.substr(start, end == WStrView::npos ? WStrView::npos : end - start);
    if (!comp.empty()) {
      auto found = find_entry(host, comp);
      host += "/" + (found ? *found : to_utf8(comp));
      if (!found) ::mkdir(host.c_str(), 0755);
    }
    if (end == WStrView::npos) break;
    start = end + 1;
  }
  return host;
}

}  // namespace

// ---- the model ----

std::vector<WStr> split_ports(WStrView ports) {
  std::vector<WStr> out;
  size_t start = 0;
  while (start <= ports.size()) {
    size_t comma = ports.find(u',', start);
    WStr one(ports.substr(start, comma == WStrView::npos ? WStrView::npos : comma - start));
    one = trim_blanks(one);
    if (!one.empty()) out.push_back(one);
    if (comma == WStrView::npos) break;
    start = comma + 1;
  }
  return out;
}

Printer* Spooler::printer(WStrView name) {
  for (auto& p : printers)
    if (iequal(p.name, name)) return &p;
  return nullptr;
}

Driver* Spooler::driver(WStrView name, WStrView environment) {
  for (auto& d : drivers)
    if (iequal(d.name, name) && iequal(d.environment, environment)) return &d;
  return nullptr;
}

Port* Spooler::port(WStrView name) {
  for (auto& p : ports)
    if (iequal(p.name, name)) return &p;
  return nullptr;
}

bool Spooler::processor(WStrView name) const {
  return std::any_of(processors.begin(), processors.end(), [&](const WStr& p) { return iequal(p, name); });
}

bool Spooler::driver_in_use(WStrView name) const {
  return std::any_of(printers.begin(), printers.end(), [&](const Printer& p) { return iequal(p.driver, name); });
}

void Spooler::changed(DWORD what, WStrView printer) {
  changes.push_back({++change_seq, what, WStr(printer)});
  while (changes.size() > kRecentChanges) changes.pop_front();
}

WStr native_environment(const Machine& m) { return m.is64 ? kEnvX64 : kEnvX86; }

WStr environment_folder(WStrView environment) {
  if (iequal(environment, kEnvX86)) return u"W32X86";
  if (iequal(environment, kEnvX64)) return u"x64";
  return {};
}

WStr known_environment(WStrView environment) {
  if (iequal(environment, kEnvX86)) return kEnvX86;
  if (iequal(environment, kEnvX64)) return kEnvX64;
  return {};
}

Spooler default_spooler() {
  Spooler s;
  for (const char16_t* p : {u"COM1:", u"COM2:", u"COM3:", u"COM4:", u"FILE:", u"LPT1:", u"LPT2:", u"LPT3:"})
    s.ports.push_back({p, kLocalMonitor, {}});
  s.processors = {u"WinPrint"};
  return s;
}

Spooler parse_spooler(const json& doc, const std::string& file, WStrView native_env) {
  if (doc.is_object() && doc.empty()) return default_spooler();  // a machine from before the spooler
  StateReader r(file);
  if (!doc.is_object()) r.bad("", "must hold an object");
  // A list left out is the new machine's.
  Spooler s = default_spooler();
  if (r.field(doc, "ports", "")) s.ports.clear();
  if (r.field(doc, "processors", "")) s.processors.clear();
  for (size_t i = 0; const json& j : r.list(doc, "ports", "")) {
    std::string w = at("ports", i++);
    Port p;
    p.name = r.text(j, "name", w, std::nullopt);
    if (p.name.empty()) r.bad(w + ".name", "must not be empty");
    if (s.port(p.name)) r.bad(w + ".name", "repeats the port " + to_utf8(p.name));
    p.monitor = r.text(j, "monitor", w, WStr(kLocalMonitor));
    p.description = r.text(j, "description", w);
    s.ports.push_back(std::move(p));
  }
  for (size_t i = 0; const json& j : r.list(doc, "processors", "")) {
    std::string w = at("processors", i++);
    if (!j.is_string()) r.bad(w, "must be a text");
    s.processors.push_back(from_utf8(j.get<std::string>()));
  }
  if (!s.processor(u"WinPrint")) r.bad("processors", "must hold WinPrint, the system's own print processor");
  for (size_t i = 0; const json& j : r.list(doc, "drivers", "")) {
    std::string w = at("drivers", i++);
    Driver d;
    d.name = r.text(j, "name", w, std::nullopt);
    if (d.name.empty()) r.bad(w + ".name", "must not be empty");
    d.environment = known_environment(r.text(j, "environment", w, std::nullopt));
    if (d.environment.empty()) r.bad(w + ".environment", "must be \"Windows NT x86\" or \"Windows x64\"");
    if (s.driver(d.name, d.environment)) r.bad(w + ".name", "repeats the driver " + to_utf8(d.name) + " of " + to_utf8(d.environment));
    d.version = r.number(j, "version", w, 3);
    d.driver_file = r.text(j, "driver", w);
    d.data_file = r.text(j, "data", w);
    d.config_file = r.text(j, "config", w);
    d.help_file = r.text(j, "help", w);
    for (size_t k = 0; const json& f : r.list(j, "dependent", w)) {
      if (!f.is_string()) r.bad(w + "." + at("dependent", k), "must be a text");
      ++k;
      d.dependent_files.push_back(from_utf8(f.get<std::string>()));
    }
    d.monitor = r.text(j, "monitor", w);
    d.default_datatype = r.text(j, "datatype", w);
    d.devmode = r.devmode(j, w);
    s.drivers.push_back(std::move(d));
  }
  for (size_t i = 0; const json& j : r.list(doc, "printers", "")) {
    std::string w = at("printers", i++);
    Printer p;
    p.name = r.text(j, "name", w, std::nullopt);
    if (p.name.empty()) r.bad(w + ".name", "must not be empty");
    if (s.printer(p.name)) r.bad(w + ".name", "repeats the printer " + to_utf8(p.name));
    p.port = r.text(j, "port", w, std::nullopt);
    for (auto& one : split_ports(p.port))
      if (!s.port(one)) r.bad(w + ".port", "names the port " + to_utf8(one) + ", which is not in \"ports\"");
    p.driver = r.text(j, "driver", w, std::nullopt);
    if (!s.driver(p.driver, native_env))
      r.bad(w + ".driver", "names the driver " + to_utf8(p.driver) + ", which \"drivers\" does not hold for " +
                               to_utf8(WStr(native_env)));
    p.processor = r.text(j, "processor", w, WStr(u"WinPrint"));
    if (!s.processor(p.processor)) r.bad(w + ".processor", "names a print processor that \"processors\" does not hold");
    p.datatype = r.text(j, "datatype", w, WStr(u"RAW"));
    p.share = r.text(j, "share", w);
    p.comment = r.text(j, "comment", w);
    p.location = r.text(j, "location", w);
    p.sepfile = r.text(j, "sepfile", w);
    p.parameters = r.text(j, "parameters", w);
    p.attributes = r.number(j, "attributes", w, PRINTER_ATTRIBUTE_LOCAL);
    p.status = r.number(j, "status", w, 0);
    p.priority = r.number(j, "priority", w, 1);
    p.default_priority = r.number(j, "default_priority", w, 0);
    p.start_time = r.number(j, "start_time", w, 0);
    p.until_time = r.number(j, "until_time", w, 0);
    p.devmode = r.devmode(j, w);
    for (size_t k = 0; const json& v : r.list(j, "data", w)) {
      std::string vw = w + "." + at("data", k++);
      PrinterValue value = parse_stored_value(r, v, vw);
      for (auto& other : p.data)
        if (iequal(other.name, value.name)) r.bad(vw + ".name", "repeats the value " + to_utf8(value.name));
      p.data.push_back(std::move(value));
    }
    for (size_t k = 0; const json& jj : r.list(j, "jobs", w)) {
      std::string jw = w + "." + at("jobs", k++);
      Job job;
      job.id = r.number(jj, "id", jw, 0);
      if (job.id == 0) r.bad(jw + ".id", "must be a job number from 1");
      for (auto& p2 : s.printers)
        for (auto& other : p2.jobs)
          if (other.id == job.id) r.bad(jw + ".id", "repeats the job number " + std::to_string(job.id));
      for (auto& other : p.jobs)
        if (other.id == job.id) r.bad(jw + ".id", "repeats the job number " + std::to_string(job.id));
      job.document = r.text(jj, "document", jw);
      job.user = r.text(jj, "user", jw);
      job.status = r.number(jj, "status", jw, 0);
      job.pages = r.number(jj, "pages", jw, 1);
      const json* sub = r.field(jj, "submitted", jw);
      if (sub && !sub->is_number_unsigned()) r.bad(jw + ".submitted", "must be milliseconds since 1970");
      job.submitted = sub ? static_cast<long long>(sub->get<unsigned long long>() & 0x7FFFFFFFFFFFull) : 0;
      p.jobs.push_back(std::move(job));
    }
    s.printers.push_back(std::move(p));
  }
  s.default_printer = r.text(doc, "default", "");
  if (!s.default_printer.empty()) {
    Printer* p = s.printer(s.default_printer);
    if (!p) r.bad("default", "names the printer " + to_utf8(s.default_printer) + ", which is not in \"printers\"");
    s.default_printer = p->name;
  }
  s.next_job = std::max<DWORD>(r.number(doc, "next_job", "", 1), 1);
  for (auto& p : s.printers)
    for (auto& j : p.jobs)
      if (j.id >= s.next_job) s.next_job = j.id == 0xFFFFFFFF ? 1 : j.id + 1;
  if (const json* c = r.field(doc, "changes", "")) {
    s.change_seq = r.number(*c, "seq", "changes", 0);
    for (size_t i = 0; const json& j : r.list(*c, "recent", "changes")) {
      std::string w = "changes." + at("recent", i++);
      SpoolerChange ch;
      ch.seq = r.number(j, "seq", w, 0);
      ch.what = r.number(j, "what", w, 0);
      ch.printer = r.text(j, "printer", w);
      s.changes.push_back(std::move(ch));
    }
  }
  return s;
}

json spooler_json(const Spooler& s) {
  json printers = json::array();
  for (auto& p : s.printers) {
    json data = json::array();
    for (auto& v : p.data) data.push_back(stored_value_json(v));
    json jobs = json::array();
    for (auto& j : p.jobs)
      jobs.push_back({{"id", j.id},
                      {"document", to_utf8(j.document)},
                      {"user", to_utf8(j.user)},
                      {"status", j.status},
                      {"pages", j.pages},
                      {"submitted", j.submitted}});
    printers.push_back({{"name", to_utf8(p.name)},
                        {"port", to_utf8(p.port)},
                        {"driver", to_utf8(p.driver)},
                        {"processor", to_utf8(p.processor)},
                        {"datatype", to_utf8(p.datatype)},
                        {"share", to_utf8(p.share)},
                        {"comment", to_utf8(p.comment)},
                        {"location", to_utf8(p.location)},
                        {"sepfile", to_utf8(p.sepfile)},
                        {"parameters", to_utf8(p.parameters)},
                        {"attributes", p.attributes},
                        {"status", p.status},
                        {"priority", p.priority},
                        {"default_priority", p.default_priority},
                        {"start_time", p.start_time},
                        {"until_time", p.until_time},
                        {"devmode", hex_of(p.devmode)},
                        {"data", data},
                        {"jobs", jobs}});
  }
  json drivers = json::array();
  for (auto& d : s.drivers) {
    json dep = json::array();
    for (auto& f : d.dependent_files) dep.push_back(to_utf8(f));
    drivers.push_back({{"name", to_utf8(d.name)},
                       {"environment", to_utf8(d.environment)},
                       {"version", d.version},
                       {"driver", to_utf8(d.driver_file)},
                       {"data", to_utf8(d.data_file)},
                       {"config", to_utf8(d.config_file)},
                       {"help", to_utf8(d.help_file)},
                       {"dependent", dep},
                       {"monitor", to_utf8(d.monitor)},
                       {"datatype", to_utf8(d.default_datatype)},
                       {"devmode", hex_of(d.devmode)}});
  }
  json ports = json::array();
  for (auto& p : s.ports)
    ports.push_back({{"name", to_utf8(p.name)}, {"monitor", to_utf8(p.monitor)}, {"description", to_utf8(p.description)}});
  json processors = json::array();
  for (auto& p : s.processors) processors.push_back(to_utf8(p));
  json recent = json::array();
  for (auto& c : s.changes) recent.push_back({{"seq", c.seq}, {"what", c.what}, {"printer", to_utf8(c.printer)}});
  return {{"printers", printers},
          {"drivers", drivers},
          {"ports", ports},
          {"processors", processors},
          {"default", to_utf8(s.default_printer)},
          {"next_job", s.next_job},
          {"changes", {{"seq", s.change_seq}, {"recent", recent}}}};
}

Spooler read_spooler() {
  const Machine& m = machine();
  try {
    auto parsed = read_state_parsed(m.dir, kStateName, [&](const json& doc) -> std::shared_ptr<const void> {
      return std::make_shared<const Spooler>(parse_spooler(doc, m.dir + "/spooler.json", native_environment(m)));
    });
    return *std::static_pointer_cast<const Spooler>(parsed);
  } catch (const MachineError& e) {
    machine_unusable(e);
  }
}

DWORD edit_spooler(const std::function<DWORD(Spooler&)>& change) {
  const Machine& m = machine();
  DWORD error = 0;
  try {
    update_state_if(kStateName, [&](json& doc) {
      Spooler s = parse_spooler(doc, m.dir + "/spooler.json", native_environment(m));
      error = change(s);
      if (error) return false;
      doc = spooler_json(s);
      return true;
    });
  } catch (const MachineError& e) {
    machine_unusable(e);
  }
  return error;
}

std::vector<BYTE> generic_devmode(const Machine& m) {
  DEVMODEW dm{};
  dm.dmSpecVersion = DM_SPECVERSION;
  dm.dmDriverVersion = 0x0100;
  dm.dmSize = sizeof(DEVMODEW);
  dm.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES | DM_DEFAULTSOURCE | DM_PRINTQUALITY | DM_COLOR |
                DM_YRESOLUTION | DM_TTOPTION | DM_COLLATE | DM_FORMNAME | DM_NUP;
  dm.dmOrientation = DMORIENT_PORTRAIT;
  bool letter = m.language == 1033;  // the United States print on Letter, the rest of the world on A4
  dm.dmPaperSize = letter ? DMPAPER_LETTER : DMPAPER_A4;
  dm.dmPaperLength = letter ? 2794 : 2970;
  dm.dmPaperWidth = letter ? 2159 : 2100;
  dm.dmScale = 100;
  dm.dmCopies = 1;
  dm.dmDefaultSource = DMBIN_FORMSOURCE;
  dm.dmPrintQuality = 180;
  dm.dmColor = DMCOLOR_MONOCHROME;
  dm.dmDuplex = DMDUP_SIMPLEX;
  dm.dmYResolution = 180;
  dm.dmTTOption = DMTT_DOWNLOAD;
  dm.dmCollate = DMCOLLATE_TRUE;
  const char16_t* form = letter ? u"Letter" : u"A4";
  std::memcpy(dm.dmFormName, form, std::char_traits<char16_t>::length(form) * 2);
  dm.dmNup = DMNUP_SYSTEM;
  std::vector<BYTE> out(sizeof dm);
  std::memcpy(out.data(), &dm, sizeof dm);
  return out;
}

std::vector<BYTE> effective_devmode(const Spooler& s, const Printer& p, const Machine& m) {
  std::vector<BYTE> dm = p.devmode;
  if (dm.empty()) {
    for (auto& d : s.drivers)
      if (iequal(d.name, p.driver) && iequal(d.environment, native_environment(m))) dm = d.devmode;
  }
  if (dm.empty()) dm = generic_devmode(m);
  WCHAR name[CCHDEVICENAME] = {};
  std::memcpy(name, p.name.data(), std::min<size_t>(p.name.size(), CCHDEVICENAME - 1) * 2);
  std::memcpy(dm.data() + offsetof(DEVMODEW, dmDeviceName), name, sizeof name);
  return dm;
}

// ---- set-up by people and tests ----

void add_printer(const std::string& dir, const PrinterSetup& setup) {
  edit_machine_spooler(dir, [&](Spooler& s, const Machine& m) {
    Printer p;
    p.name = from_utf8(setup.name);
    if (p.name.empty() || p.name.size() > MAX_PRINTER_NAME || p.name.find_first_of(u",\\") != WStr::npos)
      refuse("a printer name must hold 1 to 220 characters and no \",\" or \"\\\": " + setup.name);
    if (s.printer(p.name)) refuse("a printer named " + setup.name + " exists already");
    p.driver = from_utf8(setup.driver);
    if (!s.driver(p.driver, native_environment(m)))
      refuse("no driver " + setup.driver + " for " + to_utf8(native_environment(m)) + " (add it with winsim driver add)");
    p.port = from_utf8(setup.port);
    auto ports = split_ports(p.port);
    if (ports.empty()) refuse("a printer needs a port");
    for (auto& one : ports)
      if (!s.port(one)) refuse("no port " + to_utf8(one) + " (add it with winsim port add)");
    p.processor = from_utf8(setup.processor);
    if (!s.processor(p.processor)) refuse("no print processor " + setup.processor);
    p.datatype = from_utf8(setup.datatype);
    p.share = from_utf8(setup.share);
    if (!p.share.empty()) p.attributes |= PRINTER_ATTRIBUTE_SHARED;
    if (setup.offline) p.attributes |= PRINTER_ATTRIBUTE_WORK_OFFLINE;
    p.comment = from_utf8(setup.comment);
    p.location = from_utf8(setup.location);
    s.printers.push_back(p);
    if (s.default_printer.empty()) s.default_printer = p.name;  // as Windows makes its first printer the default
    s.changed(PRINTER_CHANGE_ADD_PRINTER, p.name);
  });
}

void delete_printer(const std::string& dir, const std::string& name) {
  edit_machine_spooler(dir, [&](Spooler& s, const Machine&) {
    Printer* p = s.printer(from_utf8(name));
    if (!p) refuse("no printer named " + name);
    WStr gone = p->name;
    s.printers.erase(s.printers.begin() + (p - s.printers.data()));
    if (iequal(s.default_printer, gone)) s.default_printer.clear();
    s.changed(PRINTER_CHANGE_DELETE_PRINTER, gone);
  });
}

void set_printer_offline(const std::string& dir, const std::string& name, bool offline) {
  edit_machine_spooler(dir, [&](Spooler& s, const Machine&) {
    Printer* p = s.printer(from_utf8(name));
    if (!p) refuse("no printer named " + name);
    if (offline)
      p->attributes |= PRINTER_ATTRIBUTE_WORK_OFFLINE;
    else
      p->attributes &= ~static_cast<DWORD>(PRINTER_ATTRIBUTE_WORK_OFFLINE);
    s.changed(PRINTER_CHANGE_SET_PRINTER, p->name);
  });
}

void set_default_printer(const std::string& dir, const std::string& name) {
  edit_machine_spooler(dir, [&](Spooler& s, const Machine&) {
    if (name.empty()) {
      s.default_printer.clear();
      return;
    }
    Printer* p = s.printer(from_utf8(name));
    if (!p) refuse("no printer named " + name);
    s.default_printer = p->name;
    s.changed(PRINTER_CHANGE_SET_PRINTER, p->name);
  });
}

void add_driver(const std::string& dir, const DriverSetup& setup) {
  std::vector<std::string> files;
  edit_machine_spooler(dir, [&](Spooler& s, const Machine& m) {
    Driver d;
    d.name = from_utf8(setup.name);
    if (d.name.empty() || d.name.find(u',') != WStr::npos) refuse("a driver name must not be empty or hold \",\"");
    d.environment = setup.environment.empty() ? native_environment(m) : known_environment(from_utf8(setup.environment));
    if (d.environment.empty()) refuse("the environment must be \"Windows NT x86\" or \"Windows x64\"");
    if (s.driver(d.name, d.environment)) refuse("the driver " + setup.name + " of " + to_utf8(d.environment) + " exists already");
    d.version = setup.version;
    d.driver_file = from_utf8(setup.driver_file);
    d.data_file = from_utf8(setup.data_file.empty() ? setup.name + ".GPD" : setup.data_file);
    d.config_file = from_utf8(setup.config_file);
    s.drivers.push_back(d);
    s.changed(PRINTER_CHANGE_ADD_PRINTER_DRIVER);
    std::string folder = make_host_folder(m, m.system_dir + u"\\spool\\drivers\\" + environment_folder(d.environment) + u"\\3");
    for (const WStr* f : {&d.driver_file, &d.data_file, &d.config_file})
      if (!f->empty()) files.push_back(folder + "/" + to_utf8(*f));
  });
  // The driver's files, where the spooler keeps them; an existing file is left as it is.
  for (auto& f : files) {
    std::error_code ec;
    if (!std::filesystem::exists(f, ec)) std::ofstream(f, std::ios::binary);
  }
}

void delete_driver(const std::string& dir, const std::string& name, const std::string& environment) {
  edit_machine_spooler(dir, [&](Spooler& s, const Machine& m) {
    WStr env = environment.empty() ? native_environment(m) : known_environment(from_utf8(environment));
    Driver* d = s.driver(from_utf8(name), env);
    if (!d) refuse("no driver " + name + " for " + (env.empty() ? environment : to_utf8(env)));
    if (iequal(env, native_environment(m)) && s.driver_in_use(d->name)) refuse("the driver " + name + " is in use by a printer");
    s.drivers.erase(s.drivers.begin() + (d - s.drivers.data()));
    s.changed(PRINTER_CHANGE_DELETE_PRINTER_DRIVER);
  });
}

void add_port(const std::string& dir, const std::string& name, const std::string& monitor) {
  edit_machine_spooler(dir, [&](Spooler& s, const Machine&) {
    WStr n = from_utf8(name);
    if (n.empty() || n.size() >= MAX_PATH || n.find(u',') != WStr::npos)
      refuse("a port name must hold 1 to 259 characters and no \",\"");
    if (s.port(n)) refuse("the port " + name + " exists already");
    s.ports.push_back({n, from_utf8(monitor), {}});
    s.changed(PRINTER_CHANGE_ADD_PORT);
  });
}

void delete_port(const std::string& dir, const std::string& name) {
  edit_machine_spooler(dir, [&](Spooler& s, const Machine&) {
    Port* p = s.port(from_utf8(name));
    if (!p) refuse("no port " + name);
    for (auto& pr : s.printers)
      for (auto& one : split_ports(pr.port))
        if (iequal(one, p->name)) refuse("the printer " + to_utf8(pr.name) + " uses the port " + name);
    s.ports.erase(s.ports.begin() + (p - s.ports.data()));
    s.changed(PRINTER_CHANGE_DELETE_PORT);
  });
}

unsigned add_job(const std::string& dir, const std::string& printer, const std::string& document, unsigned status) {
  unsigned id = 0;
  edit_machine_spooler(dir, [&](Spooler& s, const Machine& m) {
    Printer* p = s.printer(from_utf8(printer));
    if (!p) refuse("no printer named " + printer);
    Job j;
    j.id = id = s.next_job;
    s.next_job = s.next_job == 0xFFFFFFFF ? 1 : s.next_job + 1;
    j.document = from_utf8(document);
    j.user = m.user;
    j.status = status;
    j.submitted = host_now_ns() / 1'000'000;
    p->jobs.push_back(j);
    s.changed(PRINTER_CHANGE_ADD_JOB, p->name);
  });
  return id;
}

void delete_job(const std::string& dir, const std::string& printer, unsigned id) {
  edit_machine_spooler(dir, [&](Spooler& s, const Machine&) {
    Printer* p = s.printer(from_utf8(printer));
    if (!p) refuse("no printer named " + printer);
    auto it = std::find_if(p->jobs.begin(), p->jobs.end(), [&](const Job& j) { return j.id == id; });
    if (it == p->jobs.end()) refuse("the printer " + printer + " has no job " + std::to_string(id));
    p->jobs.erase(it);
    WStr name = p->name;
    // A printer deleted while it still held jobs goes with its last one.
    if (p->jobs.empty() && (p->status & PRINTER_STATUS_PENDING_DELETION)) {
      s.printers.erase(s.printers.begin() + (p - s.printers.data()));
      if (iequal(s.default_printer, name)) s.default_printer.clear();
      s.changed(PRINTER_CHANGE_DELETE_JOB | PRINTER_CHANGE_DELETE_PRINTER, name);
      return;
    }
    s.changed(PRINTER_CHANGE_DELETE_JOB, name);
  });
}

std::string describe_spooler(const std::string& dir) {
  auto m = Machine::load(dir);
  Spooler s = parse_spooler(read_state_in(dir, kStateName), dir + "/spooler.json", native_environment(*m));
  std::ostringstream out;
  auto attrs = [](DWORD a) {
    std::string t;
    for (auto [bit, name] : {std::pair{PRINTER_ATTRIBUTE_LOCAL, "local"},
                             {PRINTER_ATTRIBUTE_SHARED, "shared"},
                             {PRINTER_ATTRIBUTE_WORK_OFFLINE, "offline"},
                             {PRINTER_ATTRIBUTE_RAW_ONLY, "raw only"},
                             {PRINTER_ATTRIBUTE_HIDDEN, "hidden"},
                             {PRINTER_ATTRIBUTE_NETWORK, "network"}})
      if (a & static_cast<DWORD>(bit)) t += (t.empty() ? "" : ", ") + std::string(name);
    return t;
  };
  for (auto& p : s.printers) {
    out << "printer     " << to_utf8(p.name) << (iequal(p.name, s.default_printer) ? " (default)" : "") << "\n"
        << "  port " << to_utf8(p.port) << ", driver " << to_utf8(p.driver) << ", processor " << to_utf8(p.processor)
        << ", data type " << to_utf8(p.datatype) << "\n"
        << "  attributes " << attrs(p.attributes);
    if (!p.share.empty()) out << "; share name " << to_utf8(p.share);
    if (p.status) out << "; status 0x" << std::hex << p.status << std::dec;
    out << "\n";
    for (auto& j : p.jobs)
      out << "  job " << j.id << ": " << to_utf8(j.document) << " (status " << j.status << ")\n";
  }
  if (s.printers.empty()) out << "printer     none\n";
  if (s.default_printer.empty()) out << "default     none\n";
  for (auto& d : s.drivers)
    out << "driver      " << to_utf8(d.name) << " (" << to_utf8(d.environment) << ", version " << d.version
        << "): " << to_utf8(d.driver_file) << ", " << to_utf8(d.data_file) << ", " << to_utf8(d.config_file) << "\n";
  out << "ports      ";
  for (auto& p : s.ports) out << " " << to_utf8(p.name) << (p.monitor == kLocalMonitor ? "" : " (" + to_utf8(p.monitor) + ")");
  out << "\n";
  return out.str();
}

}  // namespace winsim
