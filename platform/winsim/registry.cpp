// The registry API (advapi32). Keys are opened by path and re-found at each call in the machine's
// registry, which every process shares under the machine lock. A 32-bit image on a 64-bit machine
// sees HKEY_LOCAL_MACHINE\SOFTWARE through SOFTWARE\Wow6432Node unless it asks for the 64-bit view.
// The functions answer with a code and leave the thread's last error alone, as Windows does.
#include <algorithm>
#include <cstring>

#include "registry_state.h"
#include "win32/registry.h"

namespace winsim {

namespace {

enum class Root { kMachine, kUser, kClasses };

// An open key: where it is, with which rights, and through which view.
struct KeyHandle : Object {
  Root root = Root::kMachine;
  std::vector<WStr> path;
  REGSAM access = 0;
  bool view32 = false;
};

struct Opened {
  Root root;
  std::vector<WStr> path;
  bool view32;
  REGSAM access;
};

std::optional<Root> predefined(HKEY h) {
  auto v = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(h));
  if ((reinterpret_cast<ULONG_PTR>(h) >> 32) != 0 && (reinterpret_cast<ULONG_PTR>(h) >> 32) != 0xFFFFFFFFu) return std::nullopt;
  if (v == 0x80000000u) return Root::kClasses;
  if (v == 0x80000001u) return Root::kUser;
  if (v == 0x80000002u) return Root::kMachine;
  return std::nullopt;
}

bool own_view_is_32() { return machine().is64 && is_wow64(); }

// What a handle stands for; null for a handle that is no key.
std::optional<Opened> opened(HKEY h) {
  if (auto root = predefined(h)) return Opened{*root, {}, own_view_is_32(), KEY_ALL_ACCESS};
  auto k = process().get<KeyHandle>(reinterpret_cast<HANDLE>(h));
  if (!k) return std::nullopt;
  return Opened{k->root, k->path, k->view32, k->access};
}

bool view_for(REGSAM sam, bool inherited) {
  if (!machine().is64) return false;
  if (sam & KEY_WOW64_64KEY) return false;
  if (sam & KEY_WOW64_32KEY) return true;
  return inherited;
}

// The key's place in the stored tree: the classes live under SOFTWARE\Classes, and the 32-bit
// view of SOFTWARE is its Wow6432Node.
std::pair<RegKey*, std::vector<WStr>> physical(Registry& r, Root root, std::vector<WStr> path, bool view32) {
  RegKey* base = root == Root::kUser ? &r.user : &r.machine;
  if (root == Root::kClasses) path.insert(path.begin(), {u"SOFTWARE", u"Classes"});
  if (root != Root::kUser && view32 && path.size() >= 2 && iequal(path[0], u"SOFTWARE") && !iequal(path[1], u"Wow6432Node"))
    path.insert(path.begin() + 1, u"Wow6432Node");
  return {base, path};
}

RegKey* find_key(Registry& r, const Opened& o) {
  auto [base, path] = physical(r, o.root, o.path, o.view32);
  return Registry::walk(*base, path);
}

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

// Appends a relative path to an opened key; false for a path Windows refuses.
bool join(std::vector<WStr>& path, LPCWSTR sub) {
  if (!sub) return true;
  for (auto& part : split_key_path(sub)) {
    if (part.size() > kMaxKeyNameChars) return false;
    path.push_back(part);
  }
  return true;
}

HKEY add_handle(const Opened& o, REGSAM access) {
  auto k = std::make_shared<KeyHandle>();
  k->root = o.root;
  k->path = o.path;
  k->view32 = o.view32;
  k->access = access;
  return reinterpret_cast<HKEY>(process().add(k));
}

REGSAM rights(REGSAM sam) {
  REGSAM r = sam & ~static_cast<REGSAM>(KEY_WOW64_64KEY | KEY_WOW64_32KEY);
  if (r & 0x02000000) r |= KEY_ALL_ACCESS;  // MAXIMUM_ALLOWED
  if (r & GENERIC_ALL) r |= KEY_ALL_ACCESS;
  if (r & GENERIC_READ) r |= KEY_READ;
  if (r & GENERIC_WRITE) r |= KEY_WRITE;
  return r;
}

// The key a relative path names below an open one, through the view `sam` asks for.
LONG target_of(HKEY hKey, LPCWSTR sub, REGSAM sam, PHKEY result, Opened& parent, Opened& target) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  auto o = opened(hKey);
  if (!o) return ERROR_INVALID_HANDLE;
  parent = target = *o;
  target.view32 = view_for(sam, o->view32);
  return join(target.path, sub) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

LONG open_key(HKEY hKey, LPCWSTR sub, REGSAM sam, PHKEY result) {
  Opened parent{}, target{};
  if (LONG e = target_of(hKey, sub, sam, result, parent, target)) return e;
  const Opened* o = &parent;
  Registry r = read_registry();
  if (!find_key(r, target)) return find_key(r, *o) || predefined(hKey) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  *result = add_handle(target, rights(sam));
  return ERROR_SUCCESS;
}

LONG create_key(HKEY hKey, LPCWSTR sub, REGSAM sam, PHKEY result, LPDWORD disposition) {
  Opened parent{}, target{};
  if (LONG e = target_of(hKey, sub, sam, result, parent, target)) return e;
  const Opened* o = &parent;
  bool created = false;
  LONG e = edit_registry([&](Registry& r) -> LONG {
    if (!predefined(hKey) && !find_key(r, *o)) return ERROR_KEY_DELETED;
    auto [base, path] = physical(r, target.root, target.path, target.view32);
    if (!Registry::walk(*base, path) && !predefined(hKey) && !(o->access & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
    Registry::make_path(*base, path, &created);
    return created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;  // nothing to write when it was there
  });
  if (e != ERROR_SUCCESS && e != ERROR_ALREADY_EXISTS) return e;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = add_handle(target, rights(sam));
  return ERROR_SUCCESS;
}

// Text values cross to the narrow functions in the machine's ANSI code page.
bool is_text(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<BYTE> narrow_bytes(const StoredValue& v) {
  if (!is_text(v.type)) return v.bytes;
  WStr units(v.bytes.size() / 2, u'\0');
  std::memcpy(units.data(), v.bytes.data(), units.size() * 2);
  std::string text = to_acp(units);
  return std::vector<BYTE>(text.begin(), text.end());
}

LONG query_value(HKEY hKey, const WStr& name, LPDWORD type, LPBYTE data, LPDWORD cb, bool narrow) {
  auto o = opened(hKey);
  if (!o) return ERROR_INVALID_HANDLE;
  if (data && !cb) return ERROR_INVALID_PARAMETER;
  if (!(o->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Registry r = read_registry();
  RegKey* k = find_key(r, *o);
  if (!k) return predefined(hKey) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  StoredValue* v = k->value(name);
  if (!v) return ERROR_FILE_NOT_FOUND;
  std::vector<BYTE> bytes = narrow ? narrow_bytes(*v) : v->bytes;
  if (type) *type = v->type;
  if (!cb) return ERROR_SUCCESS;
  DWORD room = *cb;
  *cb = static_cast<DWORD>(bytes.size());
  if (!data) return ERROR_SUCCESS;
  if (room < bytes.size()) return ERROR_MORE_DATA;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

LONG set_value(HKEY hKey, const WStr& name, DWORD type, std::vector<BYTE> bytes) {
  auto o = opened(hKey);
  if (!o) return ERROR_INVALID_HANDLE;
  if (!(o->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (name.size() > kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
  return edit_registry([&](Registry& r) -> LONG {
    RegKey* k = find_key(r, *o);
    if (!k) return predefined(hKey) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    StoredValue v{name, type, std::move(bytes)};
    if (StoredValue* old = k->value(name))
      *old = std::move(v);
    else
      k->values.push_back(std::move(v));
    return ERROR_SUCCESS;
  });
}

LONG delete_key(HKEY hKey, LPCWSTR sub, bool tree) {
  auto o = opened(hKey);
  if (!o) return ERROR_INVALID_HANDLE;
  if (!tree && !sub) return ERROR_INVALID_PARAMETER;
  Opened target = *o;
  if (!join(target.path, sub)) return ERROR_INVALID_PARAMETER;
  return edit_registry([&](Registry& r) -> LONG {
    auto [base, path] = physical(r, target.root, target.path, target.view32);
    RegKey* k = Registry::walk(*base, path);
    if (!k) return ERROR_FILE_NOT_FOUND;
    if (tree && (!sub || !*sub)) {  // everything below the key, the key stays
      k->keys.clear();
      k->values.clear();
      return ERROR_SUCCESS;
    }
    if (!tree && !k->keys.empty()) return ERROR_ACCESS_DENIED;  // a key with subkeys is not deleted alone
    if (path.empty()) return ERROR_ACCESS_DENIED;
    WStr last = path.back();
    path.pop_back();
    Registry::walk(*base, path)->remove(last);
    return ERROR_SUCCESS;
  });
}

WStr wide(LPCSTR s) { return s ? from_acp(s) : WStr(); }

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (DWORD e = fault("RegOpenKeyExW")) return static_cast<LONG>(e);
  return open_key(hKey, lpSubKey, samDesired, phkResult);
}

WINSIM_API LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
  if (DWORD e = fault("RegOpenKeyExA")) return static_cast<LONG>(e);
  WStr sub = wide(lpSubKey);
  return open_key(hKey, lpSubKey ? sub.c_str() : nullptr, samDesired, phkResult);
}

WINSIM_API LONG WINAPI RegOpenKeyW(HKEY hKey, LPCWSTR lpSubKey, PHKEY phkResult) {
  if (DWORD e = fault("RegOpenKeyW")) return static_cast<LONG>(e);
  if (phkResult && (!lpSubKey || !*lpSubKey) && opened(hKey)) {  // the same key back
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return open_key(hKey, lpSubKey, KEY_ALL_ACCESS, phkResult);
}

WINSIM_API LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
  if (DWORD e = fault("RegOpenKeyA")) return static_cast<LONG>(e);
  WStr sub = wide(lpSubKey);
  return RegOpenKeyW(hKey, lpSubKey ? sub.c_str() : nullptr, phkResult);
}

WINSIM_API LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                                       LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (DWORD e = fault("RegCreateKeyExW")) return static_cast<LONG>(e);
  return create_key(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition);
}

WINSIM_API LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                                       LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (DWORD e = fault("RegCreateKeyExA")) return static_cast<LONG>(e);
  WStr sub = wide(lpSubKey);
  return create_key(hKey, lpSubKey ? sub.c_str() : nullptr, samDesired, phkResult, lpdwDisposition);
}

WINSIM_API LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                        LPDWORD lpcbData) {
  if (DWORD e = fault("RegQueryValueExW")) return static_cast<LONG>(e);
  return query_value(hKey, wstr_or_empty(lpValueName), lpType, lpData, lpcbData, false);
}

WINSIM_API LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                                        LPDWORD lpcbData) {
  if (DWORD e = fault("RegQueryValueExA")) return static_cast<LONG>(e);
  return query_value(hKey, wide(lpValueName), lpType, lpData, lpcbData, true);
}

WINSIM_API LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                                      DWORD cbData) {
  if (DWORD e = fault("RegSetValueExW")) return static_cast<LONG>(e);
  if (!lpData && cbData) return ERROR_NOACCESS;
  std::vector<BYTE> bytes(lpData, lpData + (lpData ? cbData : 0));
  return set_value(hKey, wstr_or_empty(lpValueName), dwType, std::move(bytes));
}

WINSIM_API LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                                      DWORD cbData) {
  if (DWORD e = fault("RegSetValueExA")) return static_cast<LONG>(e);
  if (!lpData && cbData) return ERROR_NOACCESS;
  std::vector<BYTE> bytes(lpData, lpData + (lpData ? cbData : 0));
  if (is_text(dwType)) {  // stored as UTF-16, as the wide function would have been given it
    WStr units = from_acp(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    bytes.assign(reinterpret_cast<const BYTE*>(units.data()), reinterpret_cast<const BYTE*>(units.data()) + units.size() * 2);
  }
  return set_value(hKey, wide(lpValueName), dwType, std::move(bytes));
}

WINSIM_API LONG WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                                     LPDWORD lpcchClass, LPFILETIME lpftLastWriteTime) {
  if (DWORD e = fault("RegEnumKeyExW")) return static_cast<LONG>(e);
  auto o = opened(hKey);
  if (!o) return ERROR_INVALID_HANDLE;
  if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  if (!(o->access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  Registry r = read_registry();
  RegKey* k = find_key(r, *o);
  if (!k) return predefined(hKey) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  if (dwIndex >= k->keys.size()) return ERROR_NO_MORE_ITEMS;
  const WStr& name = k->keys[dwIndex].name;
  if (*lpcchName <= name.size()) return ERROR_MORE_DATA;
  std::memcpy(lpName, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpClass && lpcchClass && *lpcchClass) *lpClass = 0;
  if (lpcchClass) *lpcchClass = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

WINSIM_API LONG WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                                     LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (DWORD e = fault("RegEnumValueW")) return static_cast<LONG>(e);
  auto o = opened(hKey);
  if (!o) return ERROR_INVALID_HANDLE;
  if (!lpValueName || !lpcchValueName || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  if (!(o->access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  Registry r = read_registry();
  RegKey* k = find_key(r, *o);
  if (!k) return predefined(hKey) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
  if (dwIndex >= k->values.size()) return ERROR_NO_MORE_ITEMS;
  const StoredValue& v = k->values[dwIndex];
  if (*lpcchValueName <= v.name.size()) return ERROR_MORE_DATA;
  std::memcpy(lpValueName, v.name.c_str(), (v.name.size() + 1) * sizeof(WCHAR));
  *lpcchValueName = static_cast<DWORD>(v.name.size());
  if (lpType) *lpType = v.type;
  if (lpcbData) {
    DWORD room = *lpcbData;
    *lpcbData = static_cast<DWORD>(v.bytes.size());
    if (lpData) {
      if (room < v.bytes.size()) return ERROR_MORE_DATA;
      if (!v.bytes.empty()) std::memcpy(lpData, v.bytes.data(), v.bytes.size());
    }
  }
  return ERROR_SUCCESS;
}

WINSIM_API LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (DWORD e = fault("RegDeleteKeyW")) return static_cast<LONG>(e);
  return delete_key(hKey, lpSubKey, false);
}

WINSIM_API LONG WINAPI RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey) {
  if (DWORD e = fault("RegDeleteTreeW")) return static_cast<LONG>(e);
  return delete_key(hKey, lpSubKey, true);
}

WINSIM_API LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  if (DWORD e = fault("RegDeleteValueW")) return static_cast<LONG>(e);
  auto o = opened(hKey);
  if (!o) return ERROR_INVALID_HANDLE;
  if (!(o->access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  WStr name = wstr_or_empty(lpValueName);
  return edit_registry([&](Registry& r) -> LONG {
    RegKey* k = find_key(r, *o);
    if (!k) return predefined(hKey) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    auto it = std::find_if(k->values.begin(), k->values.end(), [&](const StoredValue& v) { return iequal(v.name, name); });
    if (it == k->values.end()) return ERROR_FILE_NOT_FOUND;
    k->values.erase(it);
    return ERROR_SUCCESS;
  });
}

WINSIM_API LONG WINAPI RegCloseKey(HKEY hKey) {
  if (DWORD e = fault("RegCloseKey")) return static_cast<LONG>(e);
  if (predefined(hKey)) return ERROR_SUCCESS;
  if (!process().get<KeyHandle>(reinterpret_cast<HANDLE>(hKey))) return ERROR_INVALID_HANDLE;
  process().close(reinterpret_cast<HANDLE>(hKey));
  return ERROR_SUCCESS;
}

}  // extern "C"
