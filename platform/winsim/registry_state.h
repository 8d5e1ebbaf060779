// The registry's state: a tree of keys with typed values under HKEY_LOCAL_MACHINE and
// HKEY_CURRENT_USER, kept in the machine's registry.json and shared by every process.
#pragma once

#include "state_json.h"

namespace winsim {

struct RegKey {
  WStr name;
  std::vector<StoredValue> values;  // in the order they were made
  std::vector<RegKey> keys;         // in name order, ignoring case

  RegKey* find(WStrView child);
  RegKey& make(WStrView child);  // the child, made when missing
  bool remove(WStrView child);
  StoredValue* value(WStrView value_name);
};

struct Registry {
  RegKey machine{u"HKEY_LOCAL_MACHINE", {}, {}};
  RegKey user{u"HKEY_CURRENT_USER", {}, {}};

  // The key at `path` below a root ("SOFTWARE\\Microsoft"), or null.
  static RegKey* walk(RegKey& root, const std::vector<WStr>& path);
  // Made along the way when missing; `created` tells whether the last one is new.
  static RegKey& make_path(RegKey& root, const std::vector<WStr>& path, bool* created = nullptr);
};

// A key path split at its backslashes (empty parts dropped).
std::vector<WStr> split_key_path(WStrView path);

Registry default_registry(const Machine& m);
Registry parse_registry(const json& doc, const std::string& file);
json registry_json(const Registry& r);

// This machine's registry, read under the lock (a broken file stops the process with its fault).
Registry read_registry();
// Changes it under the lock; only a change that returns ERROR_SUCCESS is written.
LONG edit_registry(const std::function<LONG(Registry&)>& change);
// The same for the machine in `dir` (set-up by people and tests; throws MachineError).
void edit_registry_in(const std::string& dir, const std::function<void(Registry&, const Machine&)>& change);

}  // namespace winsim
