// The whole install of each scenario on a fresh simulated machine with the sample package, the
// real device-install library, 64-bit host and printer command: its wall time against the pauses
// and time-outs the install itself must make on that path ("mandated_ms"). Only the install is
// timed; making the machine and tearing it down are not.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "debuglog/DebugLog.h"
#include "installer/config/Info.h"
#include "installer/install/InstallDriver.h"
#include "installer/lang/LangStrings.h"
#include "installer/printsys/Spooler.h"
#include "installer/startup/RunState.h"
#include "support/sample_install.h"
#include "winsim/winsim.h"

namespace {

namespace fs = std::filesystem;

struct QuietView : TInstallView {
  int outcomes = 0;
  void AddStatusLine(const WStr&) override {}
  void InstallSuccPrompt(TMessage&) override { ++outcomes; }
  void InstallFailPrompt(TMessage&) override { ++outcomes; }
  void StartSetup64Watch() override {}
};

// A machine of the kind with the package in C:\Pkg and the run state as the installer has it when
// the user presses Start.
class Machine {
 public:
  explicit Machine(bool is64) {
    char tmpl[] = "/tmp/kelvane-install-bench-XXXXXX";
    root_ = ::mkdtemp(tmpl);
    dir_ = root_ + "/machine";
    winsim::MachineOptions o;
    o.is64 = is64;
    o.language = 2052;
    winsim::create_machine(dir_, o);
    ::setenv("WINSIM_MACHINE", dir_.c_str(), 1);
    winsim::use_machine(dir_);
    winsim::declare_image(32, "C:\\Pkg\\Kelvane.exe");
    InitializeRunState();
    TheDebugger().SetActive(false);
    PrepareSampleInstall(c("Pkg"));
    SetCurrentDirectoryW(W_("C:\\Pkg"));
    SetInstallView(&view);
  }
  ~Machine() {
    FinishInstallDriverThreads();
    SetInstallView(nullptr);
    if (HostProcessHandle) {
      WaitForSingleObject(HostProcessHandle, INFINITE);
      CloseHandle(HostProcessHandle);
      HostProcessHandle = nullptr;
    }
    FinalizeRunState();
    TheDebugger().Reset();
    winsim::clear_faults();
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  void Plug() {
    winsim::PlugSetup setup;
    setup.device_id = "MFG:Kelvane;MDL:KV-1000;";
    winsim::plug_printer(dir_, setup);
  }
  std::string c(const std::string& rel) const { return dir_ + "/C/" + rel; }
  const std::string& dir() const { return dir_; }
  QuietView view;

 private:
  std::string root_, dir_;
};

struct Scenario {
  bool is64;
  double mandatedMs;                        // the pauses the path must make
  std::function<void(Machine&)> prepare;    // untimed
  std::function<void(Machine&)> install;    // timed
};

void Run(benchmark::State& state, const Scenario& s) {
  for (auto _ : state) {
    Machine m(s.is64);
    if (s.prepare) s.prepare(m);
    auto start = std::chrono::steady_clock::now();
    s.install(m);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    if (m.view.outcomes != 1 && !state.error_occurred()) state.SkipWithError("the install ended without one prompt");
  }
  state.counters["mandated_ms"] = s.mandatedMs;
}

void InstallRun(Machine&) { DoInstallSelectPrinter(true); }

void RemovalThenInstall(Machine&) {
  bool proceed = false;
  CheckOldDriverBeforeInstall(proceed);  // the user's default answer: Yes
  if (proceed) DoInstallSelectPrinter(true);
}

// An older driver of the model with one printer, which the entry demands be removed first.
void OlderDriverPresent(Machine& m) {
  winsim::DriverSetup d;
  d.name = "Kelvane KV-1000";
  d.data_file = "KV1000.GPD";
  winsim::add_driver(m.dir(), d);
  fs::path gpd = m.c(std::string("Windows/System32/spool/drivers/") + (IsWin64 ? "x64" : "W32X86") + "/3/KV1000.GPD");
  fs::create_directories(gpd.parent_path());
  std::FILE* f = std::fopen(gpd.c_str(), "wb");
  if (f) {
    std::fputs("*GPDFileVersion: \"1.0.1\"\r\n", f);
    std::fclose(f);
  }
  winsim::PrinterSetup p;
  p.name = p.driver = "Kelvane KV-1000";
  p.port = "LPT1:";
  winsim::add_printer(m.dir(), p);
}

// The printer was installed online once and its printer deleted since: the driver stays bound to
// the device, so the check finds nothing newer to bind and the online install runs.
void BoundBeforePrinterDeleted(Machine& m) {
  m.Plug();
  DoInstallSelectPrinter(true);
  winsim::delete_printer(m.dir(), "Kelvane KV-1000");
  m.view.outcomes = 0;
}

// Installed online before, printer still there, the platform refusing to bind again.
void InstalledOnlineBefore(Machine& m) {
  m.Plug();
  DoInstallSelectPrinter(true);
  m.view.outcomes = 0;
  if (IsWin64)
    winsim::add_machine_fault(m.dir(), "UpdateDriverForPlugAndPlayDevicesA", 0, ERROR_ACCESS_DENIED, "Ralto64.exe");
  else
    winsim::add_fault("UpdateDriverForPlugAndPlayDevicesA", 0, ERROR_ACCESS_DENIED);
}

void Register(const char* name, const Scenario& s) {
  benchmark::RegisterBenchmark(name, [s](benchmark::State& st) { Run(st, s); })
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond)
      ->Iterations(10);
}

// The pauses of the paths: the rescan before the online install's device search waits 100 ms,
// a successful online install on 32-bit Windows 200 ms, the removal of a driver 120 ms before its
// command. Every other step waits only for the work it started.
const int kRegistered = [] {
  auto plugged = [](Machine& m) { m.Plug(); };
  Register("Win7x86/plugged/installed_during_check", {false, 0, plugged, InstallRun});
  Register("Win7x64/plugged/installed_during_check_in_host", {true, 0, plugged, InstallRun});
  Register("Win7x86/plugged/online_install_in_process", {false, 100 + 200, BoundBeforePrinterDeleted, InstallRun});
  Register("Win7x86/not_plugged/offline_on_LPT1", {false, 0, nullptr, InstallRun});
  Register("Win7x64/not_plugged/offline_on_LPT1", {true, 0, nullptr, InstallRun});
  Register("Win7x86/installed_online_before/offline", {false, 0, InstalledOnlineBefore, InstallRun});
  Register("Win7x64/installed_online_before/offline", {true, 0, InstalledOnlineBefore, InstallRun});
  Register("Win7x86/older_driver_removed_first", {false, 120, OlderDriverPresent, RemovalThenInstall});
  Register("Win7x64/older_driver_removed_first", {true, 120, OlderDriverPresent, RemovalThenInstall});
  Register("Win7x86/library_missing", {false, 0, [](Machine&) { PindleDllPath = W_("C:\\Pkg\\gone.dll"); },
                                       [](Machine& m) {
                                         TThreadInstallDriver& run = StartInstallDriverThread(true);
                                         run.WaitFor();
                                         m.view.outcomes = run.FatalError().empty() ? 0 : 1;
                                       }});
  Register("Win7x86/inf_not_registered", {false, 0,
                                          [](Machine&) { winsim::add_fault("SetupCopyOEMInfA", 0, ERROR_ACCESS_DENIED); },
                                          InstallRun});
  return 0;
}();

}  // namespace

BENCHMARK_MAIN();
