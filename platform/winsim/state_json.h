// JSON state files: reading them field by field with complaints that name the file and the
// field, and typed values (registry values, printer data) in a form a person can read and edit.
#pragma once

#include "internal.h"

namespace winsim {

struct StoredValue {
  WStr name;
  DWORD type = REG_SZ;
  std::vector<BYTE> bytes;
};

std::string hex_of(const std::vector<BYTE>& bytes);
std::optional<std::vector<BYTE>> bytes_of(const std::string& hex);
// "name[3]"
std::string at(const char* list, size_t i);

class StateReader {
 public:
  explicit StateReader(std::string file) : file_(std::move(file)) {}
  [[noreturn]] void bad(const std::string& where, const std::string& problem) const;
  const json* field(const json& obj, const char* key, const std::string& where) const;
  // A text field; missing gives `def`, or a complaint when there is none.
  WStr text(const json& obj, const char* key, const std::string& where, std::optional<WStr> def = WStr()) const;
  DWORD number(const json& obj, const char* key, const std::string& where, DWORD def) const;
  const json& list(const json& obj, const char* key, const std::string& where) const;
  std::vector<BYTE> hex(const json& obj, const char* key, const std::string& where) const;
  std::vector<BYTE> devmode(const json& obj, const std::string& where) const;
  const std::string& file() const { return file_; }

 private:
  std::string file_;
};

// A value in its readable form where that form gives back the very bytes: text for the string
// types, a number for a four-byte DWORD; hexadecimal otherwise.
json stored_value_json(const StoredValue& v);
StoredValue parse_stored_value(const StateReader& r, const json& j, const std::string& where);

}  // namespace winsim
