// The 64-bit Dorvel.dll as the core driver UI activates it, run under Wine by
// scripts/wine-smoke.sh: the class through DllGetClassObject, IPrintOemUI from its factory,
// GetInfo's signature and version, DllCanUnloadNow before, during and after, and the page's
// embedded template and string table. Ends with "dorvelcheck: ok" when every check held.
#include <cstdio>

#include "win32/com.h"
#include "win32/kernel.h"
#include "win32/printoem.h"
#include "win32/user.h"

namespace {

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, LPVOID*);
using CanUnloadFn = HRESULT(WINAPI*)();

constexpr CLSID kClassId = {0xABCE80D7, 0x9F46, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};

int failures = 0;
void check(bool ok, const char* what, long long got) {
  if (ok) return;
  std::printf("dorvelcheck: %s (got 0x%llx)\n", what, static_cast<unsigned long long>(got));
  ++failures;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::printf("usage: dorvelcheck DORVEL.DLL\n");
    return 2;
  }
  HMODULE dll = LoadLibraryW(argv[1]);
  if (!dll) {
    std::printf("dorvelcheck: cannot load (error %lu)\n", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  auto get_class = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  auto can_unload = reinterpret_cast<CanUnloadFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  if (!get_class || !can_unload) {
    std::printf("dorvelcheck: exports missing\n");
    return 1;
  }
  check(can_unload() == S_OK, "DllCanUnloadNow before", can_unload());
  void* p = nullptr;
  CLSID other = kClassId;
  other.Data1 ^= 1;
  HRESULT hr = get_class(other, IID_IClassFactory, &p);
  check(hr == static_cast<HRESULT>(0x80040111) && !p, "another class id", hr);
  hr = get_class(kClassId, IID_IClassFactory, &p);
  check(hr == S_OK && p, "DllGetClassObject", hr);
  if (!p) return 1;
  auto* factory = static_cast<IClassFactory*>(p);
  void* ui_ptr = nullptr;
  hr = factory->CreateInstance(nullptr, IID_IPrintOemUI, &ui_ptr);
  factory->Release();
  check(hr == S_OK && ui_ptr, "CreateInstance", hr);
  if (!ui_ptr) return 1;
  auto* ui = static_cast<IPrintOemUI*>(ui_ptr);
  check(can_unload() == S_FALSE, "DllCanUnloadNow while an object lives", can_unload());
  DWORD value = 0, needed = 0;
  hr = ui->GetInfo(OEMGI_GETSIGNATURE, &value, sizeof value, &needed);
  check(hr == S_OK && value == 0x4D534654 && needed == 4, "GetInfo signature", value);
  hr = ui->GetInfo(OEMGI_GETVERSION, &value, sizeof value, &needed);
  check(hr == S_OK && value == 1, "GetInfo version", value);
  SetLastError(0);
  hr = ui->GetInfo(OEMGI_GETINTERFACEVERSION, &value, sizeof value, &needed);
  check(hr == E_FAIL && GetLastError() == ERROR_INVALID_PARAMETER, "GetInfo interface version", GetLastError());
  check(ui->Release() == 0, "last Release", 0);
  check(can_unload() == S_OK, "DllCanUnloadNow after", can_unload());
  // The embedded page template and string table.
  check(FindResourceW(dll, MAKEINTRESOURCEW(256), MAKEINTRESOURCEW(5)) != nullptr, "dialog 256", GetLastError());
  wchar_t text[64] = {};
  int n = LoadStringW(dll, 29, text, 64);
  check(n > 0, "string 29", n);
  FreeLibrary(dll);
  if (failures) return 1;
  std::printf("dorvelcheck: ok\n");
  return 0;
}
