// What the diagnostic log costs: a call while the log is switched off, and records of 100
// characters from the installer's side to a viewer that keeps up, none of them lost.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "debuglog/DebugLog.h"
#include "debuglog/MapFileChannel.h"
#include "viewer/LogViewer.h"
#include "winsim/winsim.h"

namespace {

// One machine for the whole run, removed at exit.
void use_machine() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/kelvane-bench-XXXXXX";
    std::string root = ::mkdtemp(tmpl);
    std::string m = root + "/machine";
    winsim::create_machine(m, {});
    ::setenv("WINSIM_MACHINE", m.c_str(), 1);
    winsim::use_machine(m);
    winsim::declare_image(32, "C:\\Pkg\\Kelvane.exe");
    std::atexit([] { std::filesystem::remove_all(std::filesystem::path(dir).parent_path()); });
    return m;
  }();
}

void BM_LogCallWhileSwitchedOff(benchmark::State& state) {
  use_machine();
  TDebugLogger& d = TheDebugger();
  d.Reset();
  d.SetActive(false);
  d.LogMsg(W_("the first message tries to start the viewer"));
  for (auto _ : state) TheDebugger().LogMsg(W_("Enter: DoInstallSelectPrinter"));
}
BENCHMARK(BM_LogCallWhileSwitchedOff);


void BM_FormattedLogCallWhileSwitchedOff(benchmark::State& state) {
  use_machine();
  TDebugLogger& d = TheDebugger();
  d.Reset();
  d.SetActive(false);
  d.LogMsg(W_("the first message tries to start the viewer"));
  for (auto _ : state) TheDebugger().LogFmt(W_("port %s, code %d"), {W_("USB001"), 5});
}
BENCHMARK(BM_FormattedLogCallWhileSwitchedOff);

// The installer logs as fast as it can; a viewer thread reads as the real viewer does (wait for
// the queue event, take everything under the mutex, signal the flush event).
void BM_RecordsToAnAttachedViewer(benchmark::State& state) {
  use_machine();
  viewer::Map map;
  DWORD error = 0;
  if (!map.Create(1u << 20, error)) {
    state.SkipWithError("cannot create the log map");
    return;
  }
  std::atomic<bool> stop{false};
  std::atomic<size_t> received{0};
  std::atomic<bool> broken{false};
  std::thread reader([&] {
    std::vector<logq::Record> records;
    while (!stop) {
      WaitForSingleObject(map.QueueEvent(), 20);
      bool corrupt = false;
      while (map.Drain(records, corrupt) || corrupt) {
        received += records.size();
        if (corrupt) broken = true;
        corrupt = false;
      }
    }
  });
  TDebugLogger& d = TheDebugger();
  d.Reset();
  WStr text(100, u'x');
  text.replace(0, 12, W_("Install step"));
  d.LogMsg(W_("connect"));
  size_t before = 0;
  size_t sent = 0;
  for (auto _ : state) {
    d.LogMsg(text);
    ++sent;
  }
  // Everything sent must arrive.
  for (int i = 0; i < 500 && received - before < sent + 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  reader.join();
  size_t got = received - before;
  state.counters["records"] = static_cast<double>(sent);
  state.counters["lost"] = static_cast<double>(sent + 1 > got ? sent + 1 - got : 0);
  state.counters["records/s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
  if (got != sent + 1 || broken) {
    static std::string why;
    why = "records were lost: sent " + std::to_string(sent + 1) + ", received " + std::to_string(got) +
          (broken ? ", queue broken" : "");
    state.SkipWithError(why.c_str());
  }
  d.Reset();
}
BENCHMARK(BM_RecordsToAnAttachedViewer)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
