// Fault injection: the N-th call (or every call) of a named API fails with a chosen last error.
// Faults come from the machine's faults.json (for whole scenarios, optionally limited to one
// image) and from tests in the same process.
#include "internal.h"

namespace winsim {

namespace {

struct Fault {
  std::string api;  // "Name" or "Name:detail"
  unsigned call;    // 1-based, counted from when the fault was armed; 0 = every call
  DWORD error;
  unsigned seen = 0;
};

struct Faults {
  std::mutex mu;
  bool loaded = false;
  std::vector<Fault> list;
};

Faults& faults() {
  static Faults f;
  return f;
}

void load_machine_faults(Faults& f) {
  f.loaded = true;
  std::vector<MachineFault> all;
  try {
    all = parse_machine_faults(read_state("faults"), machine().dir + "/faults.json");
  } catch (const MachineError& e) {
    machine_unusable(e);
  }
  std::string image = to_utf8(process().image_path);
  auto slash = image.find_last_of('\\');
  std::string image_name = slash == std::string::npos ? image : image.substr(slash + 1);
  for (auto& e : all) {
    if (!e.image.empty() && !iequal(from_utf8(e.image), from_utf8(image_name))) continue;
    f.list.push_back({e.api, e.call, e.error, 0});
  }
}

}  // namespace

std::vector<MachineFault> parse_machine_faults(const json& doc, const std::string& file) {
  std::vector<MachineFault> out;
  if (doc.is_object() && doc.empty()) return out;  // no faults.json yet
  auto bad = [&](const std::string& why) { throw MachineError(file + ": " + why); };
  if (!doc.is_object() || !doc.contains("faults") || !doc["faults"].is_array())
    bad("must hold an object with a list \"faults\"");
  size_t i = 0;
  for (auto& e : doc["faults"]) {
    std::string where = "\"faults[" + std::to_string(i++) + "]";
    if (!e.is_object() || !e.contains("api") || !e["api"].is_string()) bad(where + ".api\" must be a text");
    MachineFault f;
    f.api = e["api"].get<std::string>();
    auto number = [&](const char* key, unsigned def) -> unsigned {
      auto it = e.find(key);
      if (it == e.end()) return def;
      if (!it->is_number_unsigned() || it->get<unsigned long long>() > 0xFFFFFFFFull)
        bad(where + "." + key + "\" must be a whole number from 0 to 4294967295");
      return static_cast<unsigned>(it->get<unsigned long long>());
    };
    f.call = number("call", 0);
    f.error = number("error", 31);
    if (e.contains("image")) {
      if (!e["image"].is_string()) bad(where + ".image\" must be a text");
      f.image = e["image"].get<std::string>();
    }
    out.push_back(std::move(f));
  }
  return out;
}

void reset_faults() {
  Faults& f = faults();
  std::lock_guard lock(f.mu);
  f.list.clear();
  f.loaded = false;
}

DWORD fault(const char* api, std::string_view detail) {
  Faults& f = faults();
  std::unique_lock lock(f.mu);
  if (!f.loaded) {
    f.loaded = true;  // before loading: the load itself makes API calls
    lock.unlock();
    Faults tmp;
    load_machine_faults(tmp);
    lock.lock();
    f.list.insert(f.list.end(), tmp.list.begin(), tmp.list.end());
  }
  if (f.list.empty()) return 0;
  std::string_view name = api;
  DWORD hit = 0;
  for (auto& e : f.list) {
    std::string_view want = e.api;
    bool match = want == name;
    if (!match && !detail.empty() && want.size() == name.size() + 1 + detail.size())
      match = want.substr(0, name.size()) == name && want[name.size()] == ':' && want.substr(name.size() + 1) == detail;
    if (!match) continue;
    ++e.seen;
    if (!hit && (e.call == 0 || e.call == e.seen)) hit = e.error;
  }
  return hit;
}

void add_fault(const std::string& api, unsigned call, unsigned error) {
  Faults& f = faults();
  std::lock_guard lock(f.mu);
  f.list.push_back({api, call, error, 0});
}

void clear_faults() {
  Faults& f = faults();
  std::lock_guard lock(f.mu);
  f.list.clear();
}

}  // namespace winsim
