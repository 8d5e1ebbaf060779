// The registry: keys and values with their codes, buffers at 0, one short and exact, the narrow
// functions, enumeration, deletion, the WOW64 view of a 32-bit image, and a broken state file.
#include <cstring>

#include "support/machine_fixture.h"
#include "win32/registry.h"

using namespace testutil;

namespace {

class RegistryTest : public MachineTest {
 protected:
  static HKEY create(HKEY root, const WStr& path, REGSAM sam = KEY_ALL_ACCESS) {
    HKEY k = nullptr;
    DWORD how = 0;
    EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, sam, nullptr, &k, &how), ERROR_SUCCESS);
    return k;
  }
  static LONG set_sz(HKEY k, const WStr& name, const WStr& text) {
    return RegSetValueExW(k, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * 2));
  }
};

TEST_F(RegistryTest, KeysAndValuesWithTheirCodes) {
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W_("SOFTWARE\\Kelvane"), 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  DWORD how = 0;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W_("SOFTWARE\\Kelvane\\Printer Utilities"), 0, nullptr, 0,
                            KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &k, &how),
            ERROR_SUCCESS);
  EXPECT_EQ(how, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  EXPECT_EQ(set_sz(k, W_("Path"), W_("C:\\Kelvane")), ERROR_SUCCESS);
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(k, W_("Leave OEM INF"), 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);

  HKEY again = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W_("software\\KELVANE\\printer utilities"), 0, nullptr, 0,
                            KEY_READ | KEY_WOW64_64KEY, nullptr, &again, &how),
            ERROR_SUCCESS);  // names ignore case
  EXPECT_EQ(how, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  // The buffer protocol: size only, one short, exact.
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(again, W_("path"), nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 22u);
  BYTE buf[64];
  DWORD short_size = size - 1;
  EXPECT_EQ(RegQueryValueExW(again, W_("Path"), nullptr, &type, buf, &short_size), ERROR_MORE_DATA);
  EXPECT_EQ(short_size, 22u);
  EXPECT_EQ(RegQueryValueExW(again, W_("Path"), nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(WStr(reinterpret_cast<WCHAR*>(buf)), W_("C:\\Kelvane"));
  EXPECT_EQ(RegQueryValueExW(again, W_("Missing"), nullptr, &type, buf, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(again, W_("Path"), nullptr, &type, buf, nullptr), ERROR_INVALID_PARAMETER);
  // The narrow functions speak the machine's code page.
  char narrow[32];
  DWORD n = sizeof narrow;
  EXPECT_EQ(RegQueryValueExA(again, "Path", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &n), ERROR_SUCCESS);
  EXPECT_EQ(n, 11u);
  EXPECT_STREQ(narrow, "C:\\Kelvane");
  // Opened for reading: writing is denied.
  EXPECT_EQ(set_sz(again, W_("Path"), W_("x")), ERROR_ACCESS_DENIED);
  RegCloseKey(again);
  EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), nullptr, 0, KEY_READ, &k),
            ERROR_INVALID_HANDLE);

  // RegOpenKeyA and RegCreateKeyExA, as the device-install library uses them.
  HKEY a = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "system\\CurrentControlSet\\Enum\\USB\\X\\Device Parameters", 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &a, &how),
            ERROR_SUCCESS);
  const char port[] = "USB001";
  EXPECT_EQ(RegSetValueExA(a, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(port), sizeof port), ERROR_SUCCESS);
  RegCloseKey(a);
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\USB\\X\\Device Parameters", &a), ERROR_SUCCESS);
  WCHAR wide[16];
  size = sizeof wide;
  EXPECT_EQ(RegQueryValueExW(a, W_("PortName"), nullptr, &type, reinterpret_cast<BYTE*>(wide), &size), ERROR_SUCCESS);
  EXPECT_EQ(WStr(wide), W_("USB001"));  // kept as UTF-16 with its terminator
  EXPECT_EQ(size, 14u);
  RegCloseKey(a);
}

TEST_F(RegistryTest, EnumerationAndDeletion) {
  HKEY base = create(HKEY_CURRENT_USER, W_("Software\\Test"));
  for (const WCHAR* name : {W_("beta"), W_("Alpha"), W_("gamma")}) RegCloseKey(create(base, name));
  RegCloseKey(create(base, W_("Alpha\\Deep")));
  set_sz(base, W_("z"), W_("1"));
  set_sz(base, W_("a"), W_("2"));
  std::vector<WStr> keys;
  WCHAR name[8];
  for (DWORD i = 0;; ++i) {
    DWORD n = 8;
    LONG r = RegEnumKeyExW(base, i, name, &n, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(r, ERROR_SUCCESS);
    EXPECT_EQ(n, std::char_traits<WCHAR>::length(name));
    keys.push_back(name);
  }
  EXPECT_EQ(keys, (std::vector<WStr>{W_("Alpha"), W_("beta"), W_("gamma")}));  // in name order
  DWORD tiny = 5;  // "Alpha" needs 6 with its terminator
  EXPECT_EQ(RegEnumKeyExW(base, 0, name, &tiny, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  DWORD n = 8, type = 0, size = 0;
  EXPECT_EQ(RegEnumValueW(base, 0, name, &n, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  if (!under_wine()) {  // in the order they were made (Wine: by name)
    EXPECT_EQ(WStr(name), W_("z"));
  }
  EXPECT_EQ(size, 4u);
  n = 8;
  EXPECT_EQ(RegEnumValueW(base, 2, name, &n, nullptr, &type, nullptr, &size), ERROR_NO_MORE_ITEMS);

  EXPECT_EQ(RegDeleteKeyW(base, W_("Alpha")), ERROR_ACCESS_DENIED);  // it has a subkey
  EXPECT_EQ(RegDeleteKeyW(base, W_("beta")), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(base, W_("beta")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(base, W_("z")), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(base, W_("z")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteTreeW(base, W_("Alpha")), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(base, nullptr), ERROR_SUCCESS);  // everything below, the key stays
  n = 8;
  EXPECT_EQ(RegEnumKeyExW(base, 0, name, &n, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumValueW(base, 0, name, &n, nullptr, &type, nullptr, &size), ERROR_NO_MORE_ITEMS);
  HKEY gone = create(HKEY_CURRENT_USER, W_("Software\\Gone"));
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, W_("Software\\Gone")), ERROR_SUCCESS);
  EXPECT_EQ(set_sz(gone, W_("x"), W_("y")), ERROR_KEY_DELETED);
  RegCloseKey(gone);
  RegCloseKey(base);
}

#ifndef _WIN32  // images of both bitnesses in one process, and winsim's own state file
// A 32-bit image on a 64-bit machine sees HKLM\SOFTWARE through Wow6432Node unless it asks for
// the 64-bit view; HKCU is the same in both.
TEST_F(RegistryTest, TheViewOfA32BitImage) {
  winsim::declare_image(32);
  RegCloseKey(create(HKEY_LOCAL_MACHINE, W_("SOFTWARE\\Vendor")));
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W_("SOFTWARE\\Wow6432Node\\Vendor"), 0, KEY_READ | KEY_WOW64_64KEY, &k),
            ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W_("SOFTWARE\\Vendor"), 0, KEY_READ | KEY_WOW64_64KEY, &k),
            ERROR_FILE_NOT_FOUND);
  // Opened through SOFTWARE first, the view still applies below it.
  HKEY software = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W_("SOFTWARE"), 0, KEY_READ, &software), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExW(software, W_("Vendor"), 0, KEY_READ, &k), ERROR_SUCCESS);
  RegCloseKey(k);
  RegCloseKey(software);
  winsim::declare_image(64);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W_("SOFTWARE\\Vendor"), 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, W_("SOFTWARE\\Vendor"), 0, KEY_READ | KEY_WOW64_32KEY, &k), ERROR_SUCCESS);
  RegCloseKey(k);
  auto shown = winsim::reg_query(dir, "HKLM\\SOFTWARE\\Wow6432Node");
  EXPECT_NE(shown.find("HKLM\\SOFTWARE\\Wow6432Node\\Vendor"), std::string::npos) << shown;
}

TEST_F(RegistryTest, ABrokenStateFileIsNamed) {
  const std::string file = dir + "/registry.json";
  struct Case {
    const char* text;
    const char* complaint;
  } cases[] = {
      {"{\"HKEY_USERS\": {}}", "is not a root key"},
      {"{\"HKEY_LOCAL_MACHINE\": {\"keys\": {\"A\": {\"values\": [{\"name\": \"v\", \"type\": \"REG_SZ\"}]}}}}",
       "exactly one of"},
      {"{\"HKEY_LOCAL_MACHINE\": {\"keys\": {\"a\\\\b\": {}}}}", "is not a key name"},
      {"{\"HKEY_LOCAL_MACHINE\": {\"keys\": {\"A\": {}, \"a\": {}}}}", "differs only in case"},
  };
  for (auto& c : cases) expect_broken_state(dir, file, c.text, c.complaint);
  // Nesting deeper than the registry allows is refused, not followed into the stack.
  std::string deep = "{\"HKEY_CURRENT_USER\": ";
  for (int i = 0; i < 600; ++i) deep += "{\"keys\": {\"k\": ";
  deep += "{}";
  for (int i = 0; i < 600; ++i) deep += "}}";
  write_file(file, deep + "}");
  EXPECT_THROW(winsim::check_machine(dir), winsim::MachineError);
}

#endif

}  // namespace
