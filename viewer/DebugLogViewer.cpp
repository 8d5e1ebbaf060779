// DebugLogViewer: shows the installer's diagnostic log as it runs and keeps it in files.
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/CommandLine.h"
#include "common/text.h"
#include "viewer/LogViewer.h"

using namespace viewer;

namespace {

constexpr DWORD kIdleWaitMs = 100;  // how soon a typed filter reaches the installer

void write_to(DWORD which, const std::string& s) {
  HANDLE h = GetStdHandle(which);
  DWORD n = 0;
  if (h && h != INVALID_HANDLE_VALUE) WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &n, nullptr);
}

// What the input reader hands to the main loop. The reader is detached and may outlive the loop
// (a read that never ends), so it shares nothing else with it.
struct Commands {
  std::mutex mu;
  TDebugFilter filter;
  bool filter_changed = false;
  std::atomic<bool> quit{false};
};

// Lines typed on the input change the filter the installer applies; "quit" ends the viewer.
void read_commands(std::shared_ptr<Commands> cmds) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  char buf[256];
  DWORD n = 0;
  while (in && in != INVALID_HANDLE_VALUE && ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
    pending.append(buf, n);
    for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
      WStr line = FromAnsi(pending.substr(0, nl));
      pending.erase(0, nl + 1);
      if (UpperAscii(line).find(W_("QUIT")) == 0) {
        cmds->quit = true;
        return;
      }
      std::lock_guard lock(cmds->mu);
      TDebugFilter f = cmds->filter;
      if (ApplyFilterCommand(line, f)) {
        cmds->filter = f;
        cmds->filter_changed = true;
      } else if (!line.empty() && line != W_("\r")) {
        write_to(STD_ERROR_HANDLE, "not a filter command: " + ToUtf8(line) + "\r\n");
      }
    }
  }
}

// The installer that started us waits until we are ready to read.
void signal_started(std::optional<DWORD> installer) {
  if (!installer) return;
  unique_kernel_handle started(OpenEventW(EVENT_MODIFY_STATE, FALSE, DEBUGLOG_START_EVENT_NAME));
  if (started) SetEvent(started.get());
}

std::string hex4(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
  return b;
}

bool console_has_colors() {
#ifdef _WIN32
  DWORD mode = 0;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  return GetConsoleMode(out, &mode) && SetConsoleMode(out, mode | 0x0004 /* virtual terminal processing */);
#else
  return GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_CHAR;
#endif
}

int ViewerMain(const std::vector<WStr>& argv) {
  WStr error;
  std::vector<WStr> args(argv.begin() + (argv.empty() ? 0 : 1), argv.end());
  auto options = ParseOptions(args, error);
  if (!options) {
    write_to(STD_ERROR_HANDLE, "DebugLogViewer: " + ToUtf8(error) + "\r\n" + kUsage);
    return 2;
  }
  if (options->Help) {
    write_to(STD_OUTPUT_HANDLE, kUsage);
    return 0;
  }
  // One viewer at a time: a second one would take records away from the first.
  SetLastError(0);
  unique_kernel_handle stop(CreateEventW(nullptr, TRUE, FALSE, DEBUGLOG_VIEWER_STOP_EVENT_NAME));
  if (!stop || GetLastError() == ERROR_ALREADY_EXISTS) {
    write_to(STD_ERROR_HANDLE, stop ? "DebugLogViewer: another viewer is running\r\n"
                                    : "DebugLogViewer: " + ToUtf8(SystemErrorText(GetLastError())) + "\r\n");
    signal_started(options->AttachPid);  // the installer need not wait for us
    return 1;
  }
  Map map;
  DWORD code = 0;
  if (!map.Create(options->QueueSize, code)) {
    write_to(STD_ERROR_HANDLE, "DebugLogViewer: cannot create the log map: " + ToUtf8(SystemErrorText(code)) + "\r\n");
    return 1;
  }
  Saver saver;
  if (!saver.Open(options->SavePath, options->JsonPath, code)) {
    write_to(STD_ERROR_HANDLE, "DebugLogViewer: cannot write the saved log: " + ToUtf8(SystemErrorText(code)) + "\r\n");
    return 1;
  }
  auto commands = std::make_shared<Commands>();
  commands->filter = options->Filter.value_or(TDebugFilter{});
  if (options->Filter) map.SetFilter(*options->Filter);
  bool colors = options->Colors == Options::Color::kAlways ||
                (options->Colors == Options::Color::kAuto && console_has_colors());
  if (!options->Quiet)
    write_to(STD_ERROR_HANDLE, "DebugLogViewer: waiting for log records (queue of " +
                                   std::to_string(map.QueueSize()) + " bytes)\r\n");
  signal_started(options->AttachPid);
  std::thread(read_commands, commands).detach();

  std::vector<logq::Record> records;
  size_t received = 0, skipped = 0;
  HANDLE waits[2] = {map.QueueEvent(), stop.get()};
  for (bool last = false; !last;) {
    DWORD w = WaitForMultipleObjects(2, waits, FALSE, kIdleWaitMs);
    if (w == WAIT_FAILED) break;
    last = w == WAIT_OBJECT_0 + 1 || commands->quit;
    {
      std::lock_guard lock(commands->mu);
      if (commands->filter_changed) {
        map.SetFilter(commands->filter);
        commands->filter_changed = false;
        const TDebugFilter& f = commands->filter;
        write_to(STD_ERROR_HANDLE, "DebugLogViewer: filter " + std::string(f.FEnabled ? "on" : "off") + ", level " +
                                       std::to_string(f.FLevel) + ", tag \"" + f.FTag + "\", types " +
                                       hex4(f.FMsgTypes) + "\r\n");
      }
    }
    bool corrupt = false;
    // Read until the queue is empty: records written while the last batch was shown do not wait
    // for another event.
    while (map.Drain(records, corrupt) || corrupt) {
      received += records.size();
      if (corrupt) ++skipped;
      saver.Add(records);
      if (!options->Quiet) {
        std::string lines;
        for (auto& r : records) lines += FormatLine(r, colors) + "\r\n";
        write_to(STD_OUTPUT_HANDLE, lines);
      }
      if (corrupt) write_to(STD_ERROR_HANDLE, "DebugLogViewer: a broken record; unread records were skipped\r\n");
      corrupt = false;
    }
  }
  if (!options->Quiet)
    write_to(STD_ERROR_HANDLE, "DebugLogViewer: " + std::to_string(received) + " records received" +
                                   (skipped ? ", queue skipped " + std::to_string(skipped) + " times" : "") + "\r\n");
  return 0;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<WStr> args(argv, argv + argc);
  return ViewerMain(args);
}
#else
int main() {
  LPCWSTR cmd = GetCommandLineW();
  return ViewerMain(SplitCommandLine(cmd ? WStrView(cmd) : WStrView()));
}
#endif
