// The registry's state file: the key tree read with plain complaints for what a person broke,
// written back readable; a new machine's keys; the set-up calls of the winsim tool.
#include <algorithm>
#include <sstream>

#include "state_cache.h"
#include "registry_state.h"

namespace winsim {

namespace {

constexpr const char* kStateName = "registry";
constexpr size_t kMaxDepth = 512;        // the registry's own nesting limit
constexpr size_t kMaxKeyNameChars = 255;

RegKey parse_key(const StateReader& r, const json& j, const std::string& where, WStr name, size_t depth) {
  if (depth > kMaxDepth) r.bad(where, "nests keys deeper than " + std::to_string(kMaxDepth));
  if (!j.is_object()) r.bad(where, "must be an object");
  RegKey k;
  k.name = std::move(name);
  for (size_t i = 0; const json& v : r.list(j, "values", where)) {
    std::string w = where + "." + at("values", i++);
    StoredValue value = parse_stored_value(r, v, w);
    if (k.value(value.name)) r.bad(w + ".name", "repeats the value " + to_utf8(value.name));
    k.values.push_back(std::move(value));
  }
  if (const json* keys = r.field(j, "keys", where)) {
    if (!keys->is_object()) r.bad(where + ".keys", "must be an object of keys by name");
    for (auto& [n, sub] : keys->items()) {
      std::string w = where + "\\" + n;
      WStr child = from_utf8(n);
      if (child.empty() || child.size() > kMaxKeyNameChars || child.find(u'\\') != WStr::npos)
        r.bad(w, "is not a key name (1 to 255 characters, no backslash)");
      if (k.find(child)) r.bad(w, "repeats a key name that differs only in case");
      k.keys.push_back(parse_key(r, sub, w, child, depth + 1));
      std::sort(k.keys.begin(), k.keys.end(), [](const RegKey& a, const RegKey& b) { return icompare(a.name, b.name) < 0; });
    }
  }
  return k;
}

json key_json(const RegKey& k) {
  json values = json::array();
  for (auto& v : k.values) values.push_back(stored_value_json(v));
  json keys = json::object();
  for (auto& sub : k.keys) keys[to_utf8(sub.name)] = key_json(sub);
  json j = json::object();
  if (!values.empty()) j["values"] = values;
  if (!keys.empty()) j["keys"] = keys;
  return j;
}

}  // namespace

RegKey* RegKey::find(WStrView child) {
  for (auto& k : keys)
    if (iequal(k.name, child)) return &k;
  return nullptr;
}

RegKey& RegKey::make(WStrView child) {
  if (RegKey* k = find(child)) return *k;
  auto at = std::lower_bound(keys.begin(), keys.end(), child,
                             [](const RegKey& a, WStrView b) { return icompare(a.name, b) < 0; });
  return *keys.insert(at, RegKey{WStr(child), {}, {}});
}

bool RegKey::remove(WStrView child) {
  auto it = std::find_if(keys.begin(), keys.end(), [&](const RegKey& k) { return iequal(k.name, child); });
  if (it == keys.end()) return false;
  keys.erase(it);
  return true;
}

StoredValue* RegKey::value(WStrView value_name) {
  for (auto& v : values)
    if (iequal(v.name, value_name)) return &v;
  return nullptr;
}

RegKey* Registry::walk(RegKey& root, const std::vector<WStr>& path) {
  RegKey* k = &root;
  for (auto& part : path)
    if (!(k = k->find(part))) return nullptr;
  return k;
}

RegKey& Registry::make_path(RegKey& root, const std::vector<WStr>& path, bool* created) {
  RegKey* k = &root;
  bool made = false;
  for (auto& part : path) {
    made = !k->find(part);
    k = &k->make(part);
  }
  if (created) *created = made;
  return *k;
}

std::vector<WStr> split_key_path(WStrView path) {
  std::vector<WStr> out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == WStrView::npos) end = path.size();
    if (end > start) out.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

Registry default_registry(const Machine& m) {
  Registry r;
  for (const char16_t* k : {u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
                            u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"SOFTWARE\\Classes",
                            u"SYSTEM\\CurrentControlSet\\Enum", u"SYSTEM\\CurrentControlSet\\Control\\Class",
                            u"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses", u"SYSTEM\\CurrentControlSet\\Services"})
    Registry::make_path(r.machine, split_key_path(k));
  if (m.is64)
    Registry::make_path(r.machine, split_key_path(u"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall"));
  Registry::make_path(r.user, split_key_path(u"Software\\Microsoft\\Windows\\CurrentVersion"));
  return r;
}

Registry parse_registry(const json& doc, const std::string& file) {
  Registry r;
  if (doc.is_object() && doc.empty()) return r;
  StateReader reader(file);
  if (!doc.is_object()) reader.bad("", "must hold an object");
  for (auto& [name, j] : doc.items()) {
    if (name == "HKEY_LOCAL_MACHINE")
      r.machine = parse_key(reader, j, name, u"HKEY_LOCAL_MACHINE", 0);
    else if (name == "HKEY_CURRENT_USER")
      r.user = parse_key(reader, j, name, u"HKEY_CURRENT_USER", 0);
    else
      reader.bad(name, "is not a root key (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER)");
  }
  return r;
}

json registry_json(const Registry& r) {
  return {{"HKEY_LOCAL_MACHINE", key_json(r.machine)}, {"HKEY_CURRENT_USER", key_json(r.user)}};
}

Registry read_registry() {
  const Machine& m = machine();
  try {
    auto parsed = read_state_parsed(m.dir, kStateName, [&](const json& doc) -> std::shared_ptr<const void> {
      return std::make_shared<const Registry>(parse_registry(doc, m.dir + "/registry.json"));
    });
    return *std::static_pointer_cast<const Registry>(parsed);
  } catch (const MachineError& e) {
    machine_unusable(e);
  }
}

LONG edit_registry(const std::function<LONG(Registry&)>& change) {
  const Machine& m = machine();
  LONG error = ERROR_SUCCESS;
  try {
    update_state_if(kStateName, [&](json& doc) {
      Registry r = parse_registry(doc, m.dir + "/registry.json");
      error = change(r);
      if (error != ERROR_SUCCESS) return false;
      doc = registry_json(r);
      return true;
    });
  } catch (const MachineError& e) {
    machine_unusable(e);
  }
  return error;
}

void edit_registry_in(const std::string& dir, const std::function<void(Registry&, const Machine&)>& change) {
  auto m = Machine::load(dir);
  update_state_in(dir, kStateName, [&](json& doc) {
    Registry r = parse_registry(doc, dir + "/registry.json");
    change(r, *m);
    doc = registry_json(r);
    return true;
  });
}

// ---- people and tests ----

namespace {

// "HKLM\\SOFTWARE\\X" -> the root and the path below it.
std::pair<RegKey*, std::vector<WStr>> locate(Registry& r, const std::string& path) {
  auto parts = split_key_path(from_utf8(path));
  if (parts.empty()) throw MachineError("no key given");
  WStr root = parts.front();
  parts.erase(parts.begin());
  if (iequal(root, u"HKLM") || iequal(root, u"HKEY_LOCAL_MACHINE")) return {&r.machine, parts};
  if (iequal(root, u"HKCU") || iequal(root, u"HKEY_CURRENT_USER")) return {&r.user, parts};
  if (iequal(root, u"HKCR") || iequal(root, u"HKEY_CLASSES_ROOT")) {
    parts.insert(parts.begin(), {u"SOFTWARE", u"Classes"});
    return {&r.machine, parts};
  }
  throw MachineError("a key starts with HKLM, HKCU or HKCR: " + path);
}

std::string value_text(const StoredValue& v) {
  json j = stored_value_json(v);
  if (j.contains("text")) {
    std::string t = j["text"].get<std::string>();
    while (!t.empty() && t.back() == '\0') t.pop_back();
    for (size_t at = 0; (at = t.find('\0', at)) != std::string::npos;) t.replace(at, 1, "\\0");
    return t;
  }
  return j.contains("dword") ? j["dword"].dump() : j["hex"].get<std::string>();
}

}  // namespace

std::string reg_query(const std::string& dir, const std::string& key) {
  Machine::load(dir);
  Registry r = parse_registry(read_state_in(dir, kStateName), dir + "/registry.json");
  auto [root, parts] = locate(r, key);
  RegKey* k = Registry::walk(*root, parts);
  if (!k) throw MachineError("no key " + key);
  std::ostringstream out;
  out << key << "\n";
  for (auto& v : k->values)
    out << "    " << (v.name.empty() ? "(Default)" : to_utf8(v.name)) << "    "
        << stored_value_json(v)["type"].get<std::string>() << "    " << value_text(v) << "\n";
  for (auto& sub : k->keys) out << key << "\\" << to_utf8(sub.name) << "\n";
  return out.str();
}

void reg_add(const std::string& dir, const std::string& key, const std::string& value, const std::string& type,
             const std::string& data) {
  edit_registry_in(dir, [&](Registry& r, const Machine&) {
    auto [root, parts] = locate(r, key);
    if (parts.empty()) throw MachineError("a value needs a key below the root");
    for (auto& p : parts)
      if (p.size() > kMaxKeyNameChars) throw MachineError("a key name holds at most 255 characters");
    RegKey& k = Registry::make_path(*root, parts);
    if (type.empty() && value.empty() && data.empty()) return;  // the key alone
    json j = {{"name", value}, {"type", type.empty() ? "REG_SZ" : type}};
    if (type == "REG_DWORD") {
      try {
        size_t used = 0;
        unsigned long long n = std::stoull(data, &used, 0);
        if (used != data.size() || n > 0xFFFFFFFFull) throw std::out_of_range("dword");
        j["dword"] = n;
      } catch (const std::logic_error&) {
        throw MachineError("a REG_DWORD value takes a number from 0 to 4294967295: " + data);
      }
    } else if (type == "REG_BINARY") {
      j["hex"] = data;
    } else if (type == "REG_MULTI_SZ") {
      // "\0" separates the texts, as reg.exe takes them; the list ends with an empty one.
      std::string list = data;
      for (size_t at = 0; (at = list.find("\\0", at)) != std::string::npos;) list.replace(at, 2, std::string(1, '\0'));
      j["text"] = list + std::string(2, '\0');
    } else {
      j["text"] = data + std::string(1, '\0');
    }
    StoredValue v = parse_stored_value(StateReader(dir + "/registry.json"), j, "the value");
    if (StoredValue* old = k.value(v.name))
      *old = v;
    else
      k.values.push_back(v);
  });
}

void reg_delete(const std::string& dir, const std::string& key, const std::string* value) {
  edit_registry_in(dir, [&](Registry& r, const Machine&) {
    auto [root, parts] = locate(r, key);
    RegKey* k = Registry::walk(*root, parts);
    if (!k) throw MachineError("no key " + key);
    if (value) {
      auto it = std::find_if(k->values.begin(), k->values.end(), [&](const StoredValue& v) { return iequal(v.name, from_utf8(*value)); });
      if (it == k->values.end()) throw MachineError("no value " + *value + " in " + key);
      k->values.erase(it);
      return;
    }
    if (parts.empty()) throw MachineError("a root key cannot be deleted");
    WStr last = parts.back();
    parts.pop_back();
    Registry::walk(*root, parts)->remove(last);
  });
}

}  // namespace winsim
