// INF files: any bytes registered in the driver store and installed on a plugged printer. Each
// call either succeeds or answers with a setup or system code; nothing else may happen.
#include "fuzz_machine.h"
#include "win32/setup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool plugged = [] {
    winsim::declare_image(64, "C:\\Pkg\\Ralto64.exe");
    winsim::PlugSetup p;
    p.device_id = "MFG:Kelvane;MDL:KV-1000;";
    winsim::plug_printer(fuzz::machine("C:\\Pkg\\Ralto64.exe"), p);
    return true;
  }();
  (void)plugged;
  fuzz::put("Pkg/fuzz.inf", data, size);
  WCHAR stored[MAX_PATH];
  SetupCopyOEMInfW(W_("C:\\Pkg\\fuzz.inf"), nullptr, SPOST_PATH, 0, stored, MAX_PATH, nullptr, nullptr);
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, W_("USBPRINT\\KelvaneKV-1000EAD3"), W_("C:\\Pkg\\fuzz.inf"),
                                          INSTALLFLAG_FORCE, &reboot)) {
    DWORD e = GetLastError();
    if (e == 0) fuzz::fail("a failed install without its reason");
  }
  // The store must not grow without end: what the run registered goes again.
  for (const auto& f : std::filesystem::directory_iterator(fuzz::machine() + "/C/Windows/inf"))
    std::filesystem::remove(f.path());
  return 0;
}
