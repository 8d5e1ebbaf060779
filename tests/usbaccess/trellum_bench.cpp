// Settings reads through the USB access library on a simulated machine: from a printer that
// answers at once (the library's own 100 ms wait plus what the transfer costs) and from one that
// never answers (one 1000 ms wait on top). Reported per read, in milliseconds.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "win32/kernel.h"
#include "winsim/winsim.h"

namespace {

using GetSettingsFn = BOOL(WINAPI*)(LPCWSTR, BYTE*, int*);
GetSettingsFn g_Get = nullptr;

void Read(benchmark::State& state, const WCHAR* port, bool answers) {
  for (auto _ : state) {
    BYTE items[32];
    int length = 32;
    BOOL ok = g_Get(port, items, &length);
    if ((ok != FALSE) != answers) state.SkipWithError("unexpected result");
    benchmark::DoNotOptimize(items);
  }
}

void BM_SettingsReadAnswersAtOnce(benchmark::State& state) { Read(state, W_("USB001"), true); }
void BM_SettingsReadNoAnswer(benchmark::State& state) { Read(state, W_("USB002"), false); }

BENCHMARK(BM_SettingsReadAnswersAtOnce)->Iterations(50)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SettingsReadNoAnswer)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/trellum-bench-XXXXXX";
  std::string root = ::mkdtemp(tmpl);
  std::string dir = root + "/machine";
  winsim::create_machine(dir, {});
  winsim::use_machine(dir);
  winsim::declare_image(32, "C:\\App\\bench.exe");
  winsim::PlugSetup at_once, never;
  at_once.device_id = "MFG:Kelvane;MDL:KV-1000;CMD:ESC/P;";
  never.device_id = "MFG:Kelvane;MDL:KV-2000;CMD:ESC/P;";
  never.usb.answer_ms = -1;
  winsim::plug_printer(dir, at_once);
  winsim::plug_printer(dir, never);
  std::filesystem::create_directories(dir + "/C/App");
  std::filesystem::copy_file(TRELLUM32, dir + "/C/App/Trellum.dll");
  HMODULE lib = LoadLibraryW(W_("C:\\App\\Trellum.dll"));
  if (!lib) return 1;
  g_Get = reinterpret_cast<GetSettingsFn>(reinterpret_cast<void*>(GetProcAddress(lib, "GetPrinterSettingData")));
  if (!g_Get) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  FreeLibrary(lib);
  std::filesystem::remove_all(root);
  return 0;
}
