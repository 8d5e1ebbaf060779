// The device tree's state file, the driver store and driver installation, and the plugging of
// printers by people and tests.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <fstream>
#include <sstream>

#include "state_cache.h"
#include "devices_state.h"
#include "registry_state.h"
#include "spooler_state.h"
#include "usb_state.h"

namespace winsim {

namespace {

constexpr const char* kStateName = "devices";

const std::pair<const char16_t*, const char16_t*> kClasses[] = {
    {u"USB", u"{36fc9e60-c465-11cf-8056-444553540000}"},     {u"Printer", u"{4d36e979-e325-11ce-bfc1-08002be10318}"},
    {u"Ports", u"{4d36e978-e325-11ce-bfc1-08002be10318}"},   {u"System", u"{4d36e97d-e325-11ce-bfc1-08002be10318}"},
    {u"USBDevice", u"{88bae032-5a81-49f0-bc3d-a4ff138216d6}"},
};

std::vector<WStr> texts(const StateReader& r, const json& j, const char* key, const std::string& where) {
  std::vector<WStr> out;
  for (size_t i = 0; const json& t : r.list(j, key, where)) {
    if (!t.is_string()) r.bad(where + "." + at(key, i), "must be a text");
    ++i;
    out.push_back(from_utf8(t.get<std::string>()));
  }
  return out;
}

json texts_json(const std::vector<WStr>& list) {
  json out = json::array();
  for (auto& t : list) out.push_back(to_utf8(t));
  return out;
}

bool carries(const Device& d, WStrView id) {
  auto has = [&](const std::vector<WStr>& l) { return std::any_of(l.begin(), l.end(), [&](const WStr& x) { return iequal(x, id); }); };
  return has(d.hardware_ids) || has(d.compatible_ids);
}

std::optional<std::string> read_whole(const std::string& host) {
  std::ifstream in(host, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

WStr inf_folder() { return machine().windows_dir + u"\\inf"; }

std::string host_of(const WStr& windows_path) {
  DWORD e = 0;
  auto r = resolve(windows_path, e);
  return r ? r->host : std::string();
}

void setup_event(const std::string& action, json detail) {
  detail["type"] = "setupapi";
  detail["action"] = action;
  append_event(std::move(detail));
}

WStr platform_decoration() { return machine().is64 ? u"NTamd64" : u"NTx86"; }

// The printer driver of a printer-class install enters the spooler with its files, and a printer
// named after the model appears on each device's port.
void install_printer_driver(const Inf& inf, const InfModel& model, const WStr& inf_dir, const std::vector<WStr>& ports) {
  const Machine& m = machine();
  WStr env = native_environment(m);
  WStr data = inf.value(model.section, u"DataFile").value_or(WStr());
  WStr folder = m.system_dir + u"\\spool\\drivers\\" + environment_folder(env) + u"\\3";
  // Where a list of files goes: its [DestinationDirs] entry, else the default; the driver's own
  // folder (66000) unless the entry names the system folder (11).
  auto destination = [&](WStrView list) {
    auto dirid = inf.value(u"DestinationDirs", list);
    if (!dirid) dirid = inf.value(u"DestinationDirs", u"DefaultDestDir");
    return dirid && trim_blanks(*dirid) == u"11" ? m.system_dir : folder;
  };
  std::vector<std::pair<WStr, WStr>> copies;  // file, folder
  if (auto* lines = inf.section(model.section))
    for (auto& l : *lines)
      if (l.key && iequal(*l.key, u"CopyFiles"))
        for (auto& v : l.values) {
          if (!v.empty() && v[0] == u'@') {
            copies.push_back({v.substr(1), destination(u"DefaultDestDir")});
          } else if (auto* list = inf.section(v)) {
            for (auto& f : *list)
              if (!f.values.empty() && !f.key) copies.push_back({f.values.front(), destination(v)});
          }
        }
  std::vector<WStr> files;  // the driver's own
  for (auto& [f, to] : copies)
    if (to == folder) files.push_back(f);
  if (data.empty() && !files.empty()) data = files.front();
  for (auto& [f, to] : copies) {
    std::string from = host_of(inf_dir + u"\\" + f), host_folder = host_of(to);
    if (from.empty() || host_folder.empty()) continue;
    std::ifstream in(from, std::ios::binary);
    if (!in) continue;
    std::ofstream(host_folder + "/" + to_utf8(f), std::ios::binary | std::ios::trunc) << in.rdbuf();
  }
  edit_spooler([&](Spooler& s) -> DWORD {
    Driver d;
    d.name = model.description;
    d.environment = env;
    d.driver_file = u"UNIDRV.DLL";
    d.data_file = data;
    d.config_file = u"UNIDRVUI.DLL";
    // Whatever else the model copies travels with the driver: its plug-ins and their settings.
    for (auto& f : files)
      if (!iequal(f, data)) d.dependent_files.push_back(f);
    if (Driver* old = s.driver(d.name, env)) {
      d.devmode = old->devmode;
      *old = d;
    } else {
      s.drivers.push_back(d);
    }
    s.changed(PRINTER_CHANGE_ADD_PRINTER_DRIVER);
    for (auto& port : ports) {
      if (port.empty() || !s.port(port)) continue;
      bool there = std::any_of(s.printers.begin(), s.printers.end(),
                               [&](const Printer& p) { return iequal(p.port, port) && iequal(p.driver, d.name); });
      if (there) continue;
      Printer p;
      p.name = d.name;
      for (int copy = 1; s.printer(p.name); ++copy) p.name = d.name + u" (Copy " + from_utf8(std::to_string(copy)) + u")";
      p.driver = d.name;
      p.port = port;
      s.printers.push_back(p);
      if (s.default_printer.empty()) s.default_printer = p.name;
      s.changed(PRINTER_CHANGE_ADD_PRINTER, p.name);
    }
    return 0;
  });
}

// Binds the INF's model to the devices; the INF is already known to be good.
DWORD bind_driver(const Inf& inf, const InfModel& model, const WStr& inf_path, const std::vector<WStr>& instances) {
  WStr stored;
  Devices snapshot = read_devices();
  DWORD e = store_inf(inf_path, snapshot.policy, stored, false, false);
  if (e) return e;
  WStr cls = inf.value(u"Version", u"Class").value_or(WStr());
  WStr guid = inf.value(u"Version", u"ClassGUID").value_or(class_guid_of(cls));
  DriverVersion ver = driver_version(inf);
  std::vector<WStr> ports;
  edit_devices([&](Devices& d) {
    for (auto& inst : instances) {
      Device* dev = d.find(inst);
      if (!dev) continue;
      dev->driver = BoundDriver{file_of(stored), model.section, model.description,
                                inf.value(u"Version", u"Provider").value_or(WStr()), ver.date, ver.version};
      dev->cls = cls;
      dev->class_guid = guid;
      dev->description = model.description;
      if (iequal(cls, u"Printer")) ports.push_back(dev->port);
    }
  });
  if (iequal(cls, u"Printer")) {
    WStr dir = inf_path.substr(0, inf_path.find_last_of(u'\\'));
    install_printer_driver(inf, model, dir, ports);
  }
  return 0;
}

std::optional<Inf> load_inf(const WStr& path, DWORD& error) {
  std::string host = host_of(path);
  auto bytes = host.empty() ? std::nullopt : read_whole(host);
  struct stat st {};
  if (!bytes || ::stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    error = ERROR_FILE_NOT_FOUND;
    return std::nullopt;
  }
  return parse_inf(*bytes, error);
}

}  // namespace

Device* Devices::find(WStrView instance) {
  for (auto& d : devices)
    if (iequal(d.instance, instance)) return &d;
  return nullptr;
}

Device* Devices::by_devinst(DWORD devinst) {
  for (auto& d : devices)
    if (d.devinst == devinst) return &d;
  return nullptr;
}

std::optional<GUID> parse_guid(WStrView text) {
  std::string t = to_utf8(text);
  GUID g{};
  unsigned d[11] = {};
  if (t.size() != 38 ||
      std::sscanf(t.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5], &d[6],
                  &d[7], &d[8], &d[9], &d[10]) != 11)
    return std::nullopt;
  g.Data1 = d[0];
  g.Data2 = static_cast<WORD>(d[1]);
  g.Data3 = static_cast<WORD>(d[2]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<BYTE>(d[3 + i]);
  return g;
}

bool same_guid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

WStr interface_path(WStrView instance, WStrView interface_class) {
  WStr link(instance);
  std::replace(link.begin(), link.end(), u'\\', u'#');
  return u"\\\\?\\" + link + u"#" + WStr(interface_class);
}

std::vector<WStr> device_interface_classes(const Device& d) {
  std::vector<WStr> out;
  if (iequal(d.service, u"usbprint")) out.push_back(kUsbPrintInterface);
  if (iequal(d.instance.substr(0, 4), u"USB\\")) out.push_back(kUsbDeviceInterface);
  return out;
}

std::optional<Device> device_of_interface(WStrView path, const Devices& tree) {
  if (path.size() < 4 || (path.substr(0, 4) != u"\\\\?\\" && path.substr(0, 4) != u"\\\\.\\")) return std::nullopt;
  WStr asked = u"\\\\?\\" + WStr(path.substr(4));
  for (auto& d : tree.devices) {
    if (!d.present) continue;
    for (auto& cls : device_interface_classes(d))
      if (iequal(interface_path(d.instance, cls), asked)) return d;
  }
  return std::nullopt;
}

WStr class_guid_of(WStrView cls) {
  for (auto& [name, guid] : kClasses)
    if (iequal(name, cls)) return guid;
  return {};
}

Devices parse_devices(const json& doc, const std::string& file) {
  Devices d;
  if (doc.is_object() && doc.empty()) return d;
  StateReader r(file);
  if (!doc.is_object()) r.bad("", "must hold an object");
  for (size_t i = 0; const json& j : r.list(doc, "devices", "")) {
    std::string w = at("devices", i++);
    Device dev;
    dev.instance = r.text(j, "instance", w, std::nullopt);
    if (dev.instance.empty()) r.bad(w + ".instance", "must not be empty");
    if (d.find(dev.instance)) r.bad(w + ".instance", "repeats the device " + to_utf8(dev.instance));
    dev.devinst = r.number(j, "devinst", w, 0);
    if (dev.devinst < 2 || d.by_devinst(dev.devinst)) r.bad(w + ".devinst", "must be a number from 2 used by no other device");
    dev.parent = r.text(j, "parent", w);
    dev.cls = r.text(j, "class", w);
    dev.class_guid = r.text(j, "class_guid", w);
    dev.description = r.text(j, "description", w);
    dev.mfg = r.text(j, "mfg", w);
    dev.location = r.text(j, "location", w);
    dev.service = r.text(j, "service", w);
    dev.hardware_ids = texts(r, j, "hardware_ids", w);
    dev.compatible_ids = texts(r, j, "compatible_ids", w);
    if (const json* p = r.field(j, "present", w)) {
      if (!p->is_boolean()) r.bad(w + ".present", "must be true or false");
      dev.present = p->get<bool>();
    }
    if (const json* drv = r.field(j, "driver", w); drv && !drv->is_null()) {
      std::string dw = w + ".driver";
      BoundDriver b;
      b.inf = r.text(*drv, "inf", dw, std::nullopt);
      b.section = r.text(*drv, "section", dw);
      b.description = r.text(*drv, "description", dw);
      b.provider = r.text(*drv, "provider", dw);
      const json* date = r.field(*drv, "date", dw);
      const json* version = r.field(*drv, "version", dw);
      if ((date && !date->is_number_unsigned()) || (version && !version->is_number_unsigned()))
        r.bad(dw, "\"date\" and \"version\" must be whole numbers");
      b.date = date ? date->get<unsigned long long>() : 0;
      b.version = version ? version->get<unsigned long long>() : 0;
      dev.driver = b;
    }
    dev.device_id = r.text(j, "device_id", w);
    dev.port = r.text(j, "port", w);
    d.devices.push_back(std::move(dev));
  }
  d.next_devinst = std::max<DWORD>(r.number(doc, "next_devinst", "", 2), 2);
  for (auto& dev : d.devices) d.next_devinst = std::max(d.next_devinst, dev.devinst + 1);
  if (const json* p = r.field(doc, "policy", "")) {
    auto flag = [&](const char* key) {
      const json* f = r.field(*p, key, "policy");
      if (f && !f->is_boolean()) r.bad(std::string("policy.") + key, "must be true or false");
      return f && f->get<bool>();
    };
    d.policy = {flag("restart_needed"), flag("no_service"), flag("require_catalog")};
  }
  return d;
}

json devices_json(const Devices& d) {
  json list = json::array();
  for (auto& dev : d.devices) {
    json j = {{"instance", to_utf8(dev.instance)},
              {"devinst", dev.devinst},
              {"parent", to_utf8(dev.parent)},
              {"class", to_utf8(dev.cls)},
              {"class_guid", to_utf8(dev.class_guid)},
              {"description", to_utf8(dev.description)},
              {"mfg", to_utf8(dev.mfg)},
              {"location", to_utf8(dev.location)},
              {"service", to_utf8(dev.service)},
              {"hardware_ids", texts_json(dev.hardware_ids)},
              {"compatible_ids", texts_json(dev.compatible_ids)},
              {"present", dev.present},
              {"device_id", to_utf8(dev.device_id)},
              {"port", to_utf8(dev.port)}};
    if (dev.driver)
      j["driver"] = {{"inf", to_utf8(dev.driver->inf)},
                     {"section", to_utf8(dev.driver->section)},
                     {"description", to_utf8(dev.driver->description)},
                     {"provider", to_utf8(dev.driver->provider)},
                     {"date", dev.driver->date},
                     {"version", dev.driver->version}};
    list.push_back(j);
  }
  return {{"devices", list},
          {"next_devinst", d.next_devinst},
          {"policy",
           {{"restart_needed", d.policy.restart_needed},
            {"no_service", d.policy.no_service},
            {"require_catalog", d.policy.require_catalog}}}};
}

Devices read_devices() {
  try {
    const std::string dir = machine().dir;
    auto parsed = read_state_parsed(dir, kStateName, [&](const json& doc) -> std::shared_ptr<const void> {
      return std::make_shared<const Devices>(parse_devices(doc, dir + "/devices.json"));
    });
    return *std::static_pointer_cast<const Devices>(parsed);
  } catch (const MachineError& e) {
    machine_unusable(e);
  }
}

void edit_devices(const std::function<void(Devices&)>& change) {
  const Machine& m = machine();
  try {
    update_state_if(kStateName, [&](json& doc) {
      Devices d = parse_devices(doc, m.dir + "/devices.json");
      change(d);
      doc = devices_json(d);
      return true;
    });
  } catch (const MachineError& e) {
    machine_unusable(e);
  }
}

DWORD store_inf(const WStr& inf_path, const SetupPolicy& policy, WStr& stored, bool no_overwrite, bool replace_only) {
  std::string src = host_of(inf_path);
  auto bytes = src.empty() ? std::nullopt : read_whole(src);
  struct stat st {};
  if (!bytes || ::stat(src.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  DWORD e = 0;
  auto inf = parse_inf(*bytes, e);
  if (!inf) return e;
  if (policy.require_catalog) {
    auto cat = inf->value(u"Version", u"CatalogFile." + platform_decoration()).value_or(inf->value(u"Version", u"CatalogFile").value_or(WStr()));
    WStr dir = inf_path.substr(0, inf_path.find_last_of(u'\\'));
    if (cat.empty() || host_of(dir + u"\\" + cat).empty() || ::access(host_of(dir + u"\\" + cat).c_str(), F_OK) != 0)
      return ERROR_NO_CATALOG_FOR_OEM_INF;
  }
  std::string store = host_of(inf_folder());
  if (store.empty()) return ERROR_PATH_NOT_FOUND;
  // The same INF keeps the name it was given the first time.
  std::set<unsigned> taken;
  std::optional<unsigned> same;
  if (DIR* d = ::opendir(store.c_str())) {
    while (dirent* ent = ::readdir(d)) {
      std::string n = ent->d_name;
      unsigned k = 0;
      char tail[8] = {};
      if (n.size() < 8 || std::sscanf(n.c_str(), "%*1[oO]%*1[eE]%*1[mM]%u.%4s", &k, tail) != 2 || !iequal(from_utf8(tail), u"inf")) continue;
      taken.insert(k);
      if (!same && read_whole(store + "/" + n) == bytes) same = k;
    }
    ::closedir(d);
  }
  if (same && no_overwrite) {
    stored = inf_folder() + u"\\oem" + from_utf8(std::to_string(*same)) + u".inf";
    return ERROR_FILE_EXISTS;
  }
  if (!same && replace_only) return ERROR_FILE_NOT_FOUND;
  unsigned n = 0;
  if (same) {
    n = *same;
  } else {
    while (taken.count(n)) ++n;
  }
  std::string base = store + "/oem" + std::to_string(n);
  std::ofstream(base + ".inf", std::ios::binary | std::ios::trunc) << *bytes;
  // The precompiled companion remembers where the driver's files come from.
  std::ofstream(base + ".pnf", std::ios::binary | std::ios::trunc) << "PNF\n" << to_utf8(inf_path) << "\n";
  stored = inf_folder() + u"\\oem" + from_utf8(std::to_string(n)) + u".inf";
  setup_event("SetupCopyOEMInf", {{"inf", to_utf8(inf_path)}, {"stored", to_utf8(stored)}, {"again", same.has_value()}});
  return 0;
}

DWORD install_driver(const WStr& hardware_id, const WStr& inf_path, bool force, bool& reboot) {
  reboot = false;
  DWORD e = 0;
  auto inf = load_inf(inf_path, e);
  json detail = {{"hardware_id", to_utf8(hardware_id)}, {"inf", to_utf8(inf_path)}, {"force", force}};
  auto done = [&](DWORD code) {
    detail["result"] = code;
    setup_event("UpdateDriverForPlugAndPlayDevices", detail);
    return code;
  };
  if (!inf) return done(e);
  auto models = inf_models(*inf, platform_decoration(), e);
  if (!models) return done(e);
  Devices devices = read_devices();
  std::vector<Device*> targets;
  for (auto& d : devices.devices)
    if (d.present && carries(d, hardware_id)) targets.push_back(&d);
  if (targets.empty()) return done(ERROR_NO_SUCH_DEVINST);
  auto model = std::find_if(models->begin(), models->end(), [&](const InfModel& m) {
    return std::any_of(m.ids.begin(), m.ids.end(), [&](const WStr& id) { return iequal(id, hardware_id); });
  });
  if (model == models->end()) return done(ERROR_NO_DRIVER_SELECTED);
  if (devices.policy.no_service) return done(ERROR_NO_ASSOCIATED_SERVICE);
  DriverVersion ver = driver_version(*inf);
  std::vector<WStr> instances;
  for (Device* d : targets) {
    bool newer = !d->driver || DriverVersion{d->driver->date, d->driver->version} < ver;
    if (force || newer) instances.push_back(d->instance);
  }
  if (instances.empty()) return done(ERROR_NO_MORE_ITEMS);  // what is bound is not older
  if (DWORD b = bind_driver(*inf, *model, inf_path, instances)) return done(b);
  reboot = devices.policy.restart_needed;
  detail["devices"] = texts_json(instances);
  detail["reboot"] = reboot;
  return done(0);
}

unsigned install_inf_printer_driver(const std::u16string& inf_path, const std::u16string& model_name) {
  WStr path = full_path(inf_path);
  DWORD e = 0;
  auto inf = load_inf(path, e);
  if (!inf) return e;
  if (!iequal(inf->value(u"Version", u"Class").value_or(WStr()), u"Printer")) return ERROR_UNKNOWN_PRINTER_DRIVER;
  auto models = inf_models(*inf, platform_decoration(), e);
  if (!models) return e;
  auto model = std::find_if(models->begin(), models->end(),
                            [&](const InfModel& m) { return iequal(m.description, model_name); });
  if (model == models->end()) return ERROR_UNKNOWN_PRINTER_DRIVER;
  WStr stored;
  if (DWORD s = store_inf(path, read_devices().policy, stored, false, false)) return s;
  install_printer_driver(*inf, *model, path.substr(0, path.find_last_of(u'\\')), {});
  return 0;
}

void rescan_devices() {
  Devices devices = read_devices();
  std::string store = host_of(inf_folder());
  std::vector<std::string> infs;
  if (DIR* d = ::opendir(store.c_str())) {
    while (dirent* ent = ::readdir(d)) {
      std::string n = ent->d_name;
      if (n.size() > 7 && iequal(from_utf8(n.substr(0, 3)), u"oem") && iequal(from_utf8(n.substr(n.size() - 4)), u".inf")) infs.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(infs.begin(), infs.end());
  json bound = json::array();
  for (auto& dev : devices.devices) {
    if (!dev.present || dev.driver) continue;
    for (auto& name : infs) {
      DWORD e = 0;
      auto bytes = read_whole(store + "/" + name);
      auto inf = bytes ? parse_inf(*bytes, e) : std::nullopt;
      auto models = inf ? inf_models(*inf, platform_decoration(), e) : std::nullopt;
      if (!models) continue;
      auto model = std::find_if(models->begin(), models->end(), [&](const InfModel& m) {
        return std::any_of(m.ids.begin(), m.ids.end(), [&](const WStr& id) { return carries(dev, id); });
      });
      if (model == models->end()) continue;
      // The stored copy's companion says where the driver's files are.
      WStr source = inf_folder() + u"\\" + from_utf8(name);
      if (auto pnf = read_whole(store + "/" + name.substr(0, name.size() - 4) + ".pnf")) {
        std::istringstream lines(*pnf);
        std::string magic, original;
        std::getline(lines, magic);
        std::getline(lines, original);
        if (!original.empty() && !host_of(from_utf8(original)).empty()) source = from_utf8(original);
      }
      if (bind_driver(*inf, *model, source, {dev.instance}) == 0) bound.push_back(to_utf8(dev.instance));
      break;
    }
  }
  setup_event("Rescan", {{"bound", bound}});
}

// ---- people and tests ----

namespace {

// The IEEE 1284 ID's field of that name (MFG, MANUFACTURER, MDL, MODEL, ...).
std::string field_of(const std::string& id, std::initializer_list<const char*> names) {
  size_t start = 0;
  while (start < id.size()) {
    size_t end = id.find(';', start);
    if (end == std::string::npos) end = id.size();
    std::string part = id.substr(start, end - start);
    size_t colon = part.find(':');
    if (colon != std::string::npos)
      for (const char* n : names)
        if (iequal(from_utf8(part.substr(0, colon)), from_utf8(n))) return part.substr(colon + 1);
    start = end + 1;
  }
  return {};
}

}  // namespace

std::string printer_hardware_id(const std::string& manufacturer, const std::string& model) {
  // Manufacturer and model, blanks made underscores, cut to 20 characters, then the CRC-16 of the
  // two as they stand.
  std::string both = manufacturer + model;
  std::uint16_t crc = 0;
  for (unsigned char c : both) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
  }
  std::string name = both.substr(0, 20);
  std::replace(name.begin(), name.end(), ' ', '_');
  char hex[5];
  std::snprintf(hex, sizeof hex, "%04X", crc);
  return name + hex;
}

std::string plug_printer(const std::string& dir, const PlugSetup& setup) {
  auto m = Machine::load(dir);
  std::string mfg = field_of(setup.device_id, {"MFG", "MANUFACTURER"});
  std::string mdl = field_of(setup.device_id, {"MDL", "MODEL"});
  if (setup.bus != PlugSetup::kRoot && (mfg.empty() || mdl.empty()))
    throw MachineError("a printer's device ID needs MFG: and MDL: fields, e.g. \"MFG:Kelvane;MDL:KV-1000;\"");
  if (setup.bus == PlugSetup::kRoot && setup.hardware_id.empty()) throw MachineError("a root device needs a hardware ID");
  std::string id = setup.bus == PlugSetup::kRoot ? setup.hardware_id : printer_hardware_id(mfg, mdl);
  std::string upper = id;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // A USB printer takes the first free USB port of the USB monitor.
  std::string port;
  if (setup.bus == PlugSetup::kUsb) {
    update_state_in(dir, "spooler", [&](json& doc) {
      Spooler s = parse_spooler(doc, dir + "/spooler.json", native_environment(*m));
      for (int n = 1; n < 1000 && port.empty(); ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "USB%03d", n);
        if (!s.port(from_utf8(name))) port = name;
      }
      if (port.empty()) throw MachineError("every USB port is taken");
      s.ports.push_back({from_utf8(port), u"USB Monitor", {}});
      s.changed(PRINTER_CHANGE_ADD_PORT);
      doc = spooler_json(s);
      return true;
    });
  } else if (setup.bus == PlugSetup::kLpt) {
    port = "LPT1:";
  }
  std::string instance;
  std::string usb_parent;
  std::vector<WStr> child_ids;
  update_state_in(dir, kStateName, [&](json& doc) {
    Devices d = parse_devices(doc, dir + "/devices.json");
    int n = static_cast<int>(d.devices.size());
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08X", 0x1A2B3C00u + static_cast<unsigned>(n));
    if (setup.bus == PlugSetup::kUsb) {
      std::string serial = "KV" + std::to_string(1000 + n);
      usb_parent = "USB\\VID_1D90&PID_2060\\" + serial;
      Device usb;
      usb.instance = from_utf8(usb_parent);
      usb.devinst = d.next_devinst++;
      usb.cls = u"USB";
      usb.class_guid = class_guid_of(u"USB");
      usb.description = u"USB Printing Support";
      usb.service = u"usbprint";
      usb.hardware_ids = {u"USB\\VID_1D90&PID_2060&REV_0100", u"USB\\VID_1D90&PID_2060"};
      usb.compatible_ids = {u"USB\\Class_07&SubClass_01&Prot_02", u"USB\\Class_07&SubClass_01", u"USB\\Class_07"};
      usb.driver = BoundDriver{u"usbprint.inf", u"NO_DRV", u"USB Printing Support", u"Microsoft", 0, 0};
      usb.location = from_utf8("Port_#000" + std::to_string(1 + n % 9) + ".Hub_#0001");
      d.devices.push_back(usb);
      instance = "USBPRINT\\" + upper + "\\7&" + tag + "&0&" + port;
    } else if (setup.bus == PlugSetup::kLpt) {
      instance = "LPTENUM\\" + upper + "\\1&" + tag + "&0&LPT1";
    } else {
      instance = "ROOT\\PRINTER\\" + std::string(4 - std::min<size_t>(4, std::to_string(n).size()), '0') + std::to_string(n);
    }
    Device dev;
    dev.instance = from_utf8(instance);
    dev.devinst = d.next_devinst++;
    dev.parent = from_utf8(usb_parent);
    dev.mfg = from_utf8(mfg);
    dev.description = from_utf8(mdl.empty() ? id : mdl);
    std::string bus = setup.bus == PlugSetup::kUsb ? "USBPRINT\\" : setup.bus == PlugSetup::kLpt ? "LPTENUM\\" : "";
    dev.hardware_ids = {from_utf8(bus + id)};
    if (!bus.empty()) dev.hardware_ids.push_back(from_utf8(id));
    dev.device_id = from_utf8(setup.device_id);
    dev.port = from_utf8(port);
    child_ids = dev.hardware_ids;
    d.devices.push_back(dev);
    doc = devices_json(d);
    return true;
  });
  // Where Windows keeps the devices and the USB printing interface in the registry.
  edit_registry_in(dir, [&](Registry& r, const Machine&) {
    auto enum_key = [&](const std::string& inst, const std::vector<WStr>& hwids) {
      RegKey& k = Registry::make_path(r.machine, split_key_path(u"SYSTEM\\CurrentControlSet\\Enum\\" + from_utf8(inst)));
      WStr multi;
      for (auto& h : hwids) multi += h + WStr(1, u'\0');
      multi += u'\0';
      StoredValue v{u"HardwareID", REG_MULTI_SZ, std::vector<BYTE>(reinterpret_cast<const BYTE*>(multi.data()), reinterpret_cast<const BYTE*>(multi.data()) + multi.size() * 2)};
      k.values = {v};
      return &k;
    };
    if (!usb_parent.empty()) {
      auto sz = [](const WStr& s) { return std::vector<BYTE>(reinterpret_cast<const BYTE*>(s.c_str()), reinterpret_cast<const BYTE*>(s.c_str()) + (s.size() + 1) * 2); };
      auto dword = [](DWORD v) {
        std::vector<BYTE> b(4);
        std::memcpy(b.data(), &v, 4);
        return b;
      };
      RegKey* parent = enum_key(usb_parent, {u"USB\\VID_1D90&PID_2060&REV_0100", u"USB\\VID_1D90&PID_2060"});
      // The USB device's own interface link, in the kernel's "\??\" form.
      WStr usb_link = interface_path(from_utf8(usb_parent), kUsbDeviceInterface);
      usb_link = u"\\??\\" + usb_link.substr(4);
      Registry::make_path(*parent, {u"Device Parameters"}).values = {{u"SymbolicName", REG_SZ, sz(usb_link)}};
      WStr link = interface_path(from_utf8(usb_parent), kUsbPrintInterface);
      WStr iface = u"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + WStr(kUsbPrintInterface) + u"\\##?#" + link.substr(4);
      Registry::make_path(r.machine, split_key_path(iface)).values = {{u"DeviceInstance", REG_SZ, sz(from_utf8(usb_parent))}};
      Registry::make_path(r.machine, split_key_path(iface + u"\\#")).values = {{u"SymbolicLink", REG_SZ, sz(link)}};
      Registry::make_path(r.machine, split_key_path(iface + u"\\#\\Control")).values = {{u"Linked", REG_DWORD, dword(1)}};
      RegKey& params = Registry::make_path(r.machine, split_key_path(iface + u"\\#\\Device Parameters"));
      DWORD number = static_cast<DWORD>(std::stoul(port.substr(3)));
      WStr base = u"USB", desc = u"Virtual printer port for USB";
      params.values = {{u"Port Number", REG_DWORD, dword(number)}, {u"Base Name", REG_SZ, sz(base)}, {u"Port Description", REG_SZ, sz(desc)}};
    }
    enum_key(instance, child_ids);
  });
  if (!usb_parent.empty()) add_usb_printer(dir, from_utf8(usb_parent), setup.usb);
  // Windows installs a matching driver from its store at once.
  if (same_file(machine().dir, dir)) rescan_devices();
  // Before Vista, a device left without a driver brings up the Found New Hardware Wizard.
  if (m->major < 6) {
    Devices d = parse_devices(read_state_in(dir, kStateName), dir + "/devices.json");
    const Device* dev = d.find(from_utf8(instance));
    if (dev && !dev->driver) start_system_program(dir, "newdev.exe", "\"" + instance + "\"");
  }
  return instance;
}

}  // namespace winsim

namespace winsim {

void unplug_printer(const std::string& dir, const std::string& which) {
  Machine::load(dir);
  std::vector<WStr> usb_parents;
  update_state_in(dir, kStateName, [&](json& doc) {
    Devices d = parse_devices(doc, dir + "/devices.json");
    WStr w = from_utf8(which);
    bool found = false;
    for (auto& dev : d.devices) {
      if (!iequal(dev.instance, w) && !(iequal(dev.port, w) && !dev.port.empty())) continue;
      dev.present = false;
      found = true;
      if (Device* parent = d.find(dev.parent)) {
        parent->present = false;
        usb_parents.push_back(parent->instance);
      }
    }
    if (!found) throw MachineError("no device " + which);
    doc = devices_json(d);
    return true;
  });
  // The printing interface of a device that went is no longer linked.
  if (!usb_parents.empty()) {
    edit_registry_in(dir, [&](Registry& r, const Machine&) {
      for (const WStr& parent : usb_parents) {
        WStr link = interface_path(parent, kUsbPrintInterface);
        WStr control = u"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + WStr(kUsbPrintInterface) + u"\\##?#" +
                       link.substr(4) + u"\\#\\Control";
        std::vector<BYTE> zero(4, 0);
        Registry::make_path(r.machine, split_key_path(control)).values = {{u"Linked", REG_DWORD, zero}};
      }
    });
  }
  // Transfers waiting on a printer that is gone end now.
  bump_state_changes(dir, "usb");
}

void set_setup_policy(const std::string& dir, bool restart_needed, bool no_service, bool require_catalog) {
  Machine::load(dir);
  update_state_in(dir, kStateName, [&](json& doc) {
    Devices d = parse_devices(doc, dir + "/devices.json");
    d.policy = {restart_needed, no_service, require_catalog};
    doc = devices_json(d);
    return true;
  });
}

std::string describe_devices(const std::string& dir) {
  Machine::load(dir);
  Devices d = parse_devices(read_state_in(dir, kStateName), dir + "/devices.json");
  std::ostringstream out;
  for (auto& dev : d.devices) {
    out << "device      " << to_utf8(dev.instance) << (dev.present ? "" : " (not present)") << "\n";
    out << "  hardware IDs";
    for (auto& h : dev.hardware_ids) out << " " << to_utf8(h);
    out << "\n";
    if (!dev.port.empty()) out << "  port " << to_utf8(dev.port) << "\n";
    if (dev.driver) out << "  driver " << to_utf8(dev.driver->description) << " from " << to_utf8(dev.driver->inf) << "\n";
  }
  if (d.policy.restart_needed || d.policy.no_service || d.policy.require_catalog)
    out << "policy     " << (d.policy.restart_needed ? " restart-needed" : "") << (d.policy.no_service ? " no-service" : "")
        << (d.policy.require_catalog ? " require-catalog" : "") << "\n";
  return out.str();
}

}  // namespace winsim
