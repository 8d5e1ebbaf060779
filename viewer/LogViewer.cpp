#include "viewer/LogViewer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/text.h"

namespace viewer {

using namespace logq;

const char kUsage[] =
    "DebugLogViewer [-a <pid>] [-o <file>] [-j <file>] [-s <bytes>] [-l <level>] [-t <tag>] [-m <types>]\r\n"
    "               [--color | --no-color] [-q]\r\n"
    "  -a <pid>    started by that installer: tell it when the viewer is ready\r\n"
    "  -o <file>   save every line received, as text\r\n"
    "  -j <file>   save every record received, one JSON object per line\r\n"
    "  -s <bytes>  size of the queue (default 1048576)\r\n"
    "  -l <level>  show only messages of this level or lower\r\n"
    "  -t <tag>    show only messages with this tag (up to 8 characters, ignoring case)\r\n"
    "  -m <types>  show only these types: info,warning,error,separator,enter,leave or all\r\n"
    "  -q          nothing on the console, only the files\r\n"
    "While it runs, lines typed on its input change the filter: \"level 2\", \"tag abc\",\r\n"
    "\"types error,warning\", \"off\", \"on\".\r\n";

namespace {

constexpr const char* kTypeNames[] = {"info",   "warning",   "error",  "separator", "enter",  "leave",  "markstart",
                                      "markstop", "dump",    "exception", "object", "component", "custom", "system"};
constexpr int kLevelWhenOnlyOtherFilters = 1000;  // a filter of types or tag alone hides no level
constexpr int kMaxShownIndent = 40;

std::optional<long long> number(WStrView s) {
  if (s.empty() || s.size() > 10) return std::nullopt;
  long long v = 0;
  for (WCHAR c : s) {
    if (c < u'0' || c > u'9') return std::nullopt;
    v = v * 10 + (c - u'0');
  }
  return v;
}

WStr trimmed(WStrView s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == u' ' || s[b] == u'\t' || s[b] == u'\r' || s[b] == u'\n')) ++b;
  while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t' || s[e - 1] == u'\r' || s[e - 1] == u'\n')) --e;
  return WStr(s.substr(b, e - b));
}

std::string clock_of(const Record& r, bool with_date) {
  if (r.TimeStampType == 1) {
    SYSTEMTIME t = FromOleDate(r.TimeStamp);
    char b[64];
    if (with_date)
      std::snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                    t.wSecond, t.wMilliseconds);
    else
      std::snprintf(b, sizeof b, "%02u:%02u:%02u.%03u", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return b;
  }
  if (r.TimeStampType == 2) return "+" + std::to_string(static_cast<std::uint32_t>(r.Ticks)) + "ms";
  if (r.TimeStampType == 3) return "tsc " + std::to_string(r.Ticks);
  return with_date ? "" : "            ";
}

// The record's ANSI bytes as UTF-8; bytes that are no text in the code page become U+FFFD.
std::string text_of(const std::string& ansi) { return ToUtf8(FromAnsi(ansi)); }

const char* color_of(std::uint32_t type) {
  switch (type) {
    case dmtWarning:
      return "\x1b[33m";
    case dmtError:
    case dmtException:
      return "\x1b[1;31m";
    case dmtSeparator:
      return "\x1b[2m";
    case dmtEnterProc:
      return "\x1b[32m";
    case dmtLeaveProc:
      return "\x1b[36m";
    default:
      return "";
  }
}

void json_string(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          out += b;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

bool write_all(HANDLE h, const std::string& s) {
  DWORD n = 0;
  return WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &n, nullptr) && n == s.size();
}

}  // namespace

const char* TypeName(std::uint32_t type) {
  static thread_local char other[16];
  if (type < std::size(kTypeNames)) return kTypeNames[type];
  std::snprintf(other, sizeof other, "type%u", type);
  return other;
}

std::optional<TDebugMsgTypes> ParseTypes(WStrView names) {
  TDebugMsgTypes set = 0;
  WStr all(names);
  for (size_t start = 0; start <= all.size();) {
    size_t end = std::min(all.find(u',', start), all.size());
    std::string name = ToUtf8(UpperAscii(trimmed(WStrView(all).substr(start, end - start))));
    start = end + 1;
    if (name.empty()) continue;
    if (name == "ALL") {
      set = 0xFFFF;
      continue;
    }
    bool found = false;
    for (size_t i = 0; i < std::size(kTypeNames); ++i) {
      std::string known = kTypeNames[i];
      for (char& c : known) c = static_cast<char>(c - 32 * (c >= 'a' && c <= 'z'));
      if (name == known) {
        set = static_cast<TDebugMsgTypes>(set | (1u << i));
        found = true;
      }
    }
    if (!found) return std::nullopt;
  }
  return set;
}

std::optional<Options> ParseOptions(const std::vector<WStr>& args, WStr& error) {
  Options o;
  auto filter = [&]() -> TDebugFilter& {
    if (!o.Filter) o.Filter = TDebugFilter{true, kLevelWhenOnlyOtherFilters, "", 0};
    return *o.Filter;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const WStr& a = args[i];
    auto value = [&]() -> const WStr* {
      if (i + 1 >= args.size()) {
        error = a + W_(" needs a value");
        return nullptr;
      }
      return &args[++i];
    };
    if (a == W_("-a")) {
      const WStr* v = value();
      if (!v) return std::nullopt;
      auto n = number(*v);
      if (!n || *n > 0xFFFFFFFFll) {
        error = W_("not a process id: ") + *v;
        return std::nullopt;
      }
      o.AttachPid = static_cast<DWORD>(*n);
    } else if (a == W_("-o") || a == W_("-j")) {
      const WStr* v = value();
      if (!v) return std::nullopt;
      (a == W_("-o") ? o.SavePath : o.JsonPath) = *v;
    } else if (a == W_("-s")) {
      const WStr* v = value();
      if (!v) return std::nullopt;
      auto n = number(*v);
      if (!n || *n < 4096 || *n > (64ll << 20)) {
        error = W_("queue size from 4096 to 67108864 bytes: ") + *v;
        return std::nullopt;
      }
      o.QueueSize = static_cast<std::uint32_t>(*n);
    } else if (a == W_("-l")) {
      const WStr* v = value();
      if (!v) return std::nullopt;
      auto n = number(*v);
      if (!n || *n > 0x7FFFFFFF) {
        error = W_("not a level: ") + *v;
        return std::nullopt;
      }
      filter().FLevel = static_cast<int>(*n);
    } else if (a == W_("-t")) {
      const WStr* v = value();
      if (!v) return std::nullopt;
      std::string tag = ToAnsi(*v);
      if (tag.empty() || tag.size() > kTagBytes) {
        error = W_("a tag has 1 to 8 characters: ") + *v;
        return std::nullopt;
      }
      filter().FTag = tag;
    } else if (a == W_("-m")) {
      const WStr* v = value();
      if (!v) return std::nullopt;
      auto types = ParseTypes(*v);
      if (!types) {
        error = W_("unknown message type in: ") + *v;
        return std::nullopt;
      }
      filter().FMsgTypes = *types;
    } else if (a == W_("--color")) {
      o.Colors = Options::Color::kAlways;
    } else if (a == W_("--no-color")) {
      o.Colors = Options::Color::kNever;
    } else if (a == W_("-q")) {
      o.Quiet = true;
    } else if (a == W_("-h") || a == W_("-?") || a == W_("/?") || a == W_("--help")) {
      o.Help = true;
    } else {
      error = W_("unknown option: ") + a;
      return std::nullopt;
    }
  }
  return o;
}

std::string FormatLine(const Record& r, bool color) {
  std::string line;
  if (color) line += color_of(r.MsgType);
  line += clock_of(r, false);
  char ids[64];
  std::snprintf(ids, sizeof ids, " %6u %6u %d %-9s ", r.ProcessId, r.ThreadId, r.Level, TypeName(r.MsgType));
  line += ids;
  if (!r.Tag.empty()) line += "[" + text_of(r.Tag) + "] ";
  std::string indent(static_cast<size_t>(std::clamp(r.Indent, 0, kMaxShownIndent)) * 2, ' ');
  line += indent;
  size_t text_column = line.size() - (color ? std::strlen(color_of(r.MsgType)) : 0);
  // A text with line breaks goes on under its first line.
  std::string text = text_of(r.Text);
  for (size_t at = 0; at <= text.size();) {
    size_t end = std::min(text.find('\n', at), text.size());
    size_t stop = end > at && text[end - 1] == '\r' ? end - 1 : end;
    if (at > 0) line += "\r\n" + std::string(text_column, ' ');
    line += text.substr(at, stop - at);
    at = end + 1;
  }
  if (color && *color_of(r.MsgType)) line += "\x1b[0m";
  return line;
}

std::string JsonLine(const Record& r) {
  std::string out = "{\"time\":";
  json_string(out, clock_of(r, true));
  out += ",\"pid\":" + std::to_string(r.ProcessId) + ",\"tid\":" + std::to_string(r.ThreadId) +
         ",\"level\":" + std::to_string(r.Level) + ",\"type\":";
  json_string(out, TypeName(r.MsgType));
  out += ",\"indent\":" + std::to_string(r.Indent) + ",\"tag\":";
  json_string(out, text_of(r.Tag));
  out += ",\"text\":";
  json_string(out, text_of(r.Text));
  out += "}";
  return out;
}

bool ApplyFilterCommand(WStrView line, TDebugFilter& f) {
  WStr l = trimmed(line);
  size_t blank = l.find(u' ');
  WStr word = UpperAscii(l.substr(0, blank));
  WStr arg = blank == WStr::npos ? WStr() : trimmed(WStrView(l).substr(blank + 1));
  if (word == W_("OFF") && arg.empty()) {
    f.FEnabled = false;
  } else if (word == W_("ON") && arg.empty()) {
    f.FEnabled = true;
  } else if (word == W_("LEVEL")) {
    auto n = number(arg);
    if (!n || *n > 0x7FFFFFFF) return false;
    f.FLevel = static_cast<int>(*n);
    f.FEnabled = true;
  } else if (word == W_("TAG")) {
    std::string tag = ToAnsi(arg);
    if (tag.size() > kTagBytes) return false;
    f.FTag = tag;
    f.FEnabled = true;
  } else if (word == W_("TYPES")) {
    auto types = arg.empty() ? std::optional<TDebugMsgTypes>(0) : ParseTypes(arg);
    if (!types) return false;
    f.FMsgTypes = *types;
    f.FEnabled = true;
  } else {
    return false;
  }
  return true;
}

bool Map::Create(std::uint32_t queue_size, DWORD& error) {
  const std::uint32_t offset = (kMapHeaderSize + 3) & ~3u;
  const std::uint32_t map_size = offset + queue_size;
  // The section is a little longer than the map the header describes: a record whose split
  // leaves 1 to 3 bytes before the queue's end has its length field written whole there.
  const std::uint32_t section = map_size + kLengthSlack;
  mutex_.reset(CreateMutexW(nullptr, FALSE, DEBUGLOG_QUEUE_MUTEX_NAME));
  queue_event_.reset(CreateEventW(nullptr, FALSE, FALSE, DEBUGLOG_QUEUE_EVENT_NAME));
  // Manual reset, and set once the viewer has read: a writer then waits for the viewer only
  // until it reads for the first time, not after every record, and the queue takes up what the
  // viewer has not read yet. (An installer that came first made it auto-reset: then each of its
  // records waits for a read.)
  flush_event_.reset(CreateEventW(nullptr, TRUE, FALSE, DEBUGLOG_FLUSH_EVENT_NAME));
  if (!mutex_ || !queue_event_ || !flush_event_) {
    error = GetLastError();
    return false;
  }
  SetLastError(0);
  map_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, section, DEBUGLOG_MAP_NAME));
  if (!map_) {
    error = GetLastError();
    return false;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) return Adopt(error);
  view_.reset(MapViewOfFile(map_.get(), FILE_MAP_ALL_ACCESS, 0, 0, section));
  if (!view_) {
    error = GetLastError();
    return false;
  }
  InitHeader(View(), map_size);  // the readiness mark last: writers see a whole header or none
  if (!ParseHeader(View(), section, layout_)) {
    error = ERROR_INVALID_DATA;
    return false;
  }
  return true;
}

bool Map::Adopt(DWORD& error) {
  std::uint32_t map_size = 0;
  {
    unique_view head(MapViewOfFile(map_.get(), FILE_MAP_ALL_ACCESS, 0, 0, kMapHeaderSize));
    if (!head) {
      error = GetLastError();
      return false;
    }
    map_size = Load32(static_cast<std::uint8_t*>(head.get()) + kOffMapSize);
  }
  SIZE_T size = static_cast<SIZE_T>(map_size) + kLengthSlack;
  view_.reset(MapViewOfFile(map_.get(), FILE_MAP_ALL_ACCESS, 0, 0, size));
  if (!view_) view_.reset(MapViewOfFile(map_.get(), FILE_MAP_ALL_ACCESS, 0, 0, size = map_size));
  if (!view_ || !ParseHeader(View(), size, layout_)) {
    error = view_ ? static_cast<DWORD>(ERROR_ALREADY_EXISTS) : GetLastError();
    return false;
  }
  return true;
}

void Map::SetFilter(const TDebugFilter& f) {
  DWORD w = WaitForSingleObject(mutex_.get(), INFINITE);
  WriteFilter(View(), f);
  if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) ReleaseMutex(mutex_.get());
}

size_t Map::Drain(std::vector<Record>& out, bool& corrupt) {
  corrupt = false;
  out.clear();
  taken_.clear();
  std::vector<std::uint32_t> sizes;
  std::uint8_t rec[kMaxRecordSize];
  DWORD w = WaitForSingleObject(mutex_.get(), INFINITE);
  if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) return 0;
  std::uint8_t* view = View();
  std::uint32_t front = Load32(view + kOffFront);
  const std::uint32_t tail = Load32(view + kOffTail);
  std::uint8_t* queue = view + layout_.QueueOffset;
  for (;;) {
    std::uint32_t size = 0;
    TakeResult r = TakeRecord(queue, layout_.QueueSize, front, tail, rec, size);
    if (r == TakeResult::kEmpty) break;
    if (r == TakeResult::kCorrupt) {
      // A broken record makes the rest unreadable: start again at the tail.
      corrupt = true;
      front = tail < layout_.QueueSize ? tail : 0;
      if (tail >= layout_.QueueSize) Store32(view + kOffTail, 0);
      break;
    }
    taken_.insert(taken_.end(), rec, rec + size);
    sizes.push_back(size);
  }
  Store32(view + kOffFront, front);
  ReleaseMutex(mutex_.get());
  // Only a read tells the writers there is room.
  if (!sizes.empty() || corrupt) SetEvent(flush_event_.get());
  size_t at = 0;
  for (std::uint32_t size : sizes) {
    Record r;
    if (UnpackRecord(taken_.data() + at, size, r)) out.push_back(std::move(r));
    at += size;
  }
  return out.size();
}

bool Saver::Open(const WStr& text_path, const WStr& json_path, DWORD& error) {
  auto open = [&](const WStr& path, unique_file& f) {
    if (path.empty()) return true;
    f.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr));
    if (!f) error = GetLastError();
    return static_cast<bool>(f);
  };
  return open(text_path, text_) && open(json_path, json_);
}

void Saver::Add(const std::vector<Record>& records) {
  std::string text, json;
  for (const Record& r : records) {
    if (text_) text += FormatLine(r, false) + "\r\n";
    if (json_) json += JsonLine(r) + "\n";
  }
  if (text_ && !text.empty()) write_all(text_.get(), text);
  if (json_ && !json.empty()) write_all(json_.get(), json);
}

}  // namespace viewer
