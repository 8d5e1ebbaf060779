// The install configuration: any Kelvane.ini loads into entries or ends with the one error that
// names the faulty entry; nothing else may escape.
#include "fuzz_machine.h"
#include "installer/config/Info.h"
#include "installer/startup/RunState.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    fuzz::machine();
    static const uint8_t none[] = "";
    for (const char* f : {"Pkg/Driver/KV1000.inf", "Pkg/Driver/KV2000.inf", "Pkg/Compat/KV2000C.inf", "Pkg/kv.inf"})
      fuzz::put(f, none, 0);
    InitializeRunState();
    WinVersion = 61;
    IsWin64 = true;
    return true;
  }();
  (void)ready;
  fuzz::put("Pkg/Kelvane.ini", data, size);
  TInstallInfos infos;
  try {
    infos.LoadFromFile(W_("C:\\Pkg\\Kelvane.ini"));
  } catch (const KelvaneError&) {
    return 0;
  }
  for (int i = 0; i < infos.GetCount(); ++i) {
    TRInstallInfo e = infos.Items(i);
    if (e.PrinterName.empty()) fuzz::fail("an entry loaded without its printer name");
  }
  try {
    infos.Items(infos.GetCount());
    fuzz::fail("an index past the entries was answered");
  } catch (const KelvaneError&) {
  }
  return 0;
}
