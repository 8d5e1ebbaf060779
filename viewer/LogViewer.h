// The diagnostic viewer: it creates the shared map the installer's log writes to, shows each
// record as a line and keeps everything it received in a file. What can be tested without a
// console lives here; DebugLogViewer.cpp is the program around it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/handles.h"
#include "debuglog/LogQueue.h"

namespace viewer {

struct Options {
  std::optional<DWORD> AttachPid;  // -a <pid>: the installer that started us waits for a sign
  WStr SavePath;                   // -o <file>: plain text
  WStr JsonPath;                   // -j <file>: one JSON object per line
  std::uint32_t QueueSize = 1u << 20;  // -s <bytes>
  std::optional<TDebugFilter> Filter;  // -l <level>, -t <tag>, -m <types>
  enum class Color { kAuto, kAlways, kNever } Colors = Color::kAuto;
  bool Quiet = false;  // -q: nothing on the console, only the files
  bool Help = false;
};

// Parses the arguments after the program name; an error text when they make no sense.
std::optional<Options> ParseOptions(const std::vector<WStr>& args, WStr& error);
extern const char kUsage[];

// A type set from its names: "error,warning" or "all"; nullopt for an unknown name.
std::optional<TDebugMsgTypes> ParseTypes(WStrView names);
const char* TypeName(std::uint32_t type);  // "info", "warning", ... "type17"

// One record as a line: time, process, thread, level, type, indent, tag and text (UTF-8; the
// record's ANSI text converted from the machine's code page). With colour, the type decides it.
std::string FormatLine(const logq::Record& r, bool color);
// The same record as one JSON object, without the line end.
std::string JsonLine(const logq::Record& r);

// A filter command typed while the viewer runs: "level 2", "tag abc", "types error", "off",
// "on". Changes `f` and answers whether the command was one.
bool ApplyFilterCommand(WStrView line, TDebugFilter& f);

// The shared map and its named objects, as the viewer owns them.
class Map {
 public:
  // Creates the map with a queue of `queue_size` bytes, the mutex and the events; false with
  // the system's error when any of them cannot be made. A map that still exists (an installer
  // holds the one of a viewer that ended) is taken over when its header is sound.
  bool Create(std::uint32_t queue_size, DWORD& error);
  void SetFilter(const TDebugFilter& f);
  // Takes every unread record under the mutex, then, when there were any, tells the writers it
  // has read. Answers the number of records; `corrupt` when the queue had to be skipped to its
  // tail.
  size_t Drain(std::vector<logq::Record>& out, bool& corrupt);
  // Waits for the queue event or `stop`; true when the queue event came.
  HANDLE QueueEvent() const { return queue_event_.get(); }
  std::uint8_t* View() const { return static_cast<std::uint8_t*>(view_.get()); }
  std::uint32_t QueueSize() const { return layout_.QueueSize; }

 private:
  bool Adopt(DWORD& error);

  unique_kernel_handle map_;
  unique_view view_;
  unique_kernel_handle mutex_;
  unique_kernel_handle queue_event_;
  unique_kernel_handle flush_event_;
  logq::Layout layout_;
  std::vector<std::uint8_t> taken_;  // the raw bytes of the records of one drain
};

// The files the viewer keeps: every line appended as it arrives.
class Saver {
 public:
  bool Open(const WStr& text_path, const WStr& json_path, DWORD& error);
  void Add(const std::vector<logq::Record>& records);  // one write per file

 private:
  unique_file text_;
  unique_file json_;
};

}  // namespace viewer
