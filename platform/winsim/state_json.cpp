// JSON state files: field-by-field reading with complaints that name the file and the field, and
// typed values in a form a person can read and edit.
#include "state_json.h"

#include <algorithm>
#include <cstring>

#include "win32/spooler.h"

namespace winsim {

namespace {

constexpr std::pair<const char*, DWORD> kValueTypes[] = {
    {"REG_NONE", REG_NONE},     {"REG_SZ", REG_SZ},       {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY}, {"REG_DWORD", REG_DWORD}, {"REG_MULTI_SZ", REG_MULTI_SZ},
};

std::string type_name(DWORD type) {
  for (auto& [n, t] : kValueTypes)
    if (t == type) return n;
  return std::to_string(type);
}

WStr units_of(const std::vector<BYTE>& bytes) {
  WStr s(bytes.size() / 2, u'\0');
  if (!s.empty()) std::memcpy(s.data(), bytes.data(), s.size() * 2);  // an empty value has no bytes at all
  return s;
}

std::vector<BYTE> bytes_of_units(WStrView s) {
  std::vector<BYTE> out(s.size() * 2);
  if (!out.empty()) std::memcpy(out.data(), s.data(), out.size());
  return out;
}

// A stored value in its readable form where that form gives back the very bytes: text for the
// string types, a number for a four-byte DWORD; hexadecimal otherwise.
std::string join(const std::string& where, const char* key) { return where.empty() ? key : where + "." + key; }


}  // namespace

std::string hex_of(const std::vector<BYTE>& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (BYTE b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::optional<std::vector<BYTE>> bytes_of(const std::string& hex) {
  if (hex.size() % 2) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<BYTE> out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<BYTE>(hi << 4 | lo));
  }
  return out;
}

std::string at(const char* list, size_t i) { return std::string(list) + "[" + std::to_string(i) + "]"; }

// A stored value in its readable form where that form gives back the very bytes: text for the
// string types, a number for a four-byte DWORD; hexadecimal otherwise.
json stored_value_json(const StoredValue& v) {
  json j = {{"name", to_utf8(v.name)}, {"type", type_name(v.type)}};
  bool text_type = v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ;
  if (text_type && v.bytes.size() % 2 == 0) {
    WStr units = units_of(v.bytes);
    std::string text = to_utf8(units);
    if (from_utf8(text) == units) {
      j["text"] = text;
      return j;
    }
  }
  if (v.type == REG_DWORD && v.bytes.size() == 4) {
    DWORD d = 0;
    std::memcpy(&d, v.bytes.data(), 4);
    j["dword"] = d;
    return j;
  }
  j["hex"] = hex_of(v.bytes);
  return j;
}

void StateReader::bad(const std::string& where, const std::string& problem) const {
  throw MachineError(file_ + ": " + (where.empty() ? "" : "\"" + where + "\" ") + problem);
}

const json* StateReader::field(const json& obj, const char* key, const std::string& where) const {
  if (!obj.is_object()) bad(where, "must be an object");
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

WStr StateReader::text(const json& obj, const char* key, const std::string& where, std::optional<WStr> def) const {
  std::string at = join(where, key);
  const json* v = field(obj, key, where);
  if (!v) {
    if (!def) bad(at, "is missing");
    return *def;
  }
  if (!v->is_string()) bad(at, "must be a text");
  return from_utf8(v->get<std::string>());
}

DWORD StateReader::number(const json& obj, const char* key, const std::string& where, DWORD def) const {
  const json* v = field(obj, key, where);
  if (!v) return def;
  if (!v->is_number_unsigned() || v->get<unsigned long long>() > 0xFFFFFFFFull)
    bad(join(where, key), "must be a whole number from 0 to 4294967295");
  return static_cast<DWORD>(v->get<unsigned long long>());
}

const json& StateReader::list(const json& obj, const char* key, const std::string& where) const {
  static const json empty = json::array();
  const json* v = field(obj, key, where);
  if (!v) return empty;
  if (!v->is_array()) bad(join(where, key), "must be a list");
  return *v;
}

std::vector<BYTE> StateReader::hex(const json& obj, const char* key, const std::string& where) const {
  WStr h = text(obj, key, where);
  auto b = bytes_of(to_utf8(h));
  if (!b) bad(join(where, key), "must be hexadecimal digits, two for each byte");
  return *b;
}

std::vector<BYTE> StateReader::devmode(const json& obj, const std::string& where) const {
  std::vector<BYTE> d = hex(obj, "devmode", where);
  if (d.empty()) return d;
  if (d.size() < offsetof(DEVMODEW, dmOrientation)) bad(where + ".devmode", "is too short for a device mode");
  WORD size = 0, extra = 0;
  std::memcpy(&size, d.data() + offsetof(DEVMODEW, dmSize), 2);
  std::memcpy(&extra, d.data() + offsetof(DEVMODEW, dmDriverExtra), 2);
  if (size < offsetof(DEVMODEW, dmOrientation) || size > sizeof(DEVMODEW) || size + extra != d.size())
    bad(where + ".devmode", "holds " + std::to_string(d.size()) + " bytes but says dmSize " + std::to_string(size) +
                                " and dmDriverExtra " + std::to_string(extra));
  return d;
}


StoredValue parse_stored_value(const StateReader& r, const json& j, const std::string& where) {
  StoredValue v;
  v.name = r.text(j, "name", where, std::nullopt);
  const json* t = r.field(j, "type", where);
  if (!t) r.bad(where + ".type", "is missing");
  if (t->is_string()) {
    auto it = std::find_if(std::begin(kValueTypes), std::end(kValueTypes),
                           [&](auto& p) { return p.first == t->get<std::string>(); });
    if (it == std::end(kValueTypes)) r.bad(where + ".type", "must be REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY or REG_NONE");
    v.type = it->second;
  } else {
    v.type = r.number(j, "type", where, 0);
  }
  int forms = r.field(j, "text", where) != nullptr;
  forms += r.field(j, "dword", where) != nullptr;
  forms += r.field(j, "hex", where) != nullptr;
  if (forms != 1) r.bad(where, "must hold exactly one of \"text\", \"dword\" and \"hex\"");
  if (r.field(j, "text", where)) {
    v.bytes = bytes_of_units(r.text(j, "text", where));
  } else if (r.field(j, "dword", where)) {
    DWORD d = r.number(j, "dword", where, 0);
    v.bytes.resize(4);
    std::memcpy(v.bytes.data(), &d, 4);
  } else {
    v.bytes = r.hex(j, "hex", where);
  }
  return v;
}

}  // namespace winsim
