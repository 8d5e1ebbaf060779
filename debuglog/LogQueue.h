// The shared-memory protocol between the log channel and a viewer: the record layout, the map
// header, and the ring queue both sides work on. Everything here works on plain memory of a known
// size, so the channel, the viewer, the tests and the fuzzer share one copy of the arithmetic and
// none of it ever touches a byte outside the block it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "debuglog/DebugLog.h"

// The names the installer and the viewer share.
#define DEBUGLOG_MAP_NAME W_("Global\\DebugLogMap")
#define DEBUGLOG_QUEUE_EVENT_NAME W_("Global\\DebugLogQueueEvent")
#define DEBUGLOG_QUEUE_MUTEX_NAME W_("Global\\DebugLogQueueMutex")
#define DEBUGLOG_FLUSH_EVENT_NAME W_("Global\\DebugLogFlushEvent")
#define DEBUGLOG_START_EVENT_NAME W_("Global\\DebugLogStartEvent")
// Our viewer's own: set it to have the viewer read what is left and end.
#define DEBUGLOG_VIEWER_STOP_EVENT_NAME W_("Global\\DebugLogViewerStop")

namespace logq {

// Record layout (little-endian, packed).
constexpr std::uint32_t kRecordHeaderSize = 48;
constexpr std::uint32_t kMaxTextBytes = 4096;
constexpr std::uint32_t kMaxRecordSize = kRecordHeaderSize + kMaxTextBytes;
constexpr std::uint32_t kTagBytes = 8;

// Map header layout.
constexpr std::uint32_t kOffSignature = 0;
constexpr std::uint32_t kOffReadyMark = 8;
constexpr std::uint32_t kOffMapSize = 12;
constexpr std::uint32_t kOffQueueOffset = 16;
constexpr std::uint32_t kOffFront = 20;
constexpr std::uint32_t kOffTail = 24;
constexpr std::uint32_t kOffFilterChanged = 28;
constexpr std::uint32_t kOffFilterEnabled = 32;
constexpr std::uint32_t kOffFilterLevel = 36;
constexpr std::uint32_t kOffFilterTag = 40;
constexpr std::uint32_t kOffFilterTypes = 48;
constexpr std::uint32_t kMapHeaderSize = 50;
constexpr std::uint32_t kReadyMark = 0x7F3D92E0u;
inline constexpr char kSignature[8] = {'D', 'E', 'B', 'U', 'G', 'L', 'G', '\0'};

// The bytes a writer may place after the queue's end: the length field of a record whose split
// leaves 1 to 3 bytes before the end is written whole when the map has room for it.
constexpr std::uint32_t kLengthSlack = 4;

// The smallest queue worth connecting to: one record with a one-byte text and room to tell a
// full queue from an empty one.
constexpr std::uint32_t kMinQueueSize = kRecordHeaderSize + 2;

// The header's 32-bit fields live in memory other processes write at any time: every access is
// one whole, untorn load or store.
std::uint32_t Load32(const std::uint8_t* at);
void Store32(std::uint8_t* at, std::uint32_t v);

// A record's time stamp of type 1: days since 30 December 1899, the time of day as the fraction.
double OleDate(const SYSTEMTIME& t);
SYSTEMTIME FromOleDate(double d);

// Packs `msg` into `out` (kMaxRecordSize bytes) and answers its length; the text is cut to 4096
// bytes, the tag to 8.
std::uint32_t PackRecord(const TDebugMessage& msg, std::uint8_t* out);

// One record as a reader sees it.
struct Record {
  std::uint32_t Length = 0;
  std::int32_t Level = 0;
  std::int32_t Indent = 0;
  std::uint32_t ProcessId = 0;
  std::uint32_t ThreadId = 0;
  std::string Tag;  // up to the first zero byte
  std::uint32_t MsgType = 0;
  std::uint32_t CpuPeriod = 0;
  std::uint32_t TimeStampType = 0;
  double TimeStamp = 0;   // type 1
  std::uint64_t Ticks = 0;  // the same 8 bytes for the other types
  std::string Text;       // ANSI bytes
};
// Unpacks `size` bytes of a record; false when they cannot be one.
bool UnpackRecord(const std::uint8_t* rec, std::uint32_t size, Record& out);

// Where a map's queue lies, once its header was found sound for a block of `view_size` bytes.
struct Layout {
  std::uint32_t MapSize = 0;      // as the header says
  std::uint32_t QueueOffset = 0;
  std::uint32_t QueueSize = 0;    // MapSize - QueueOffset
  std::uint32_t Slack = 0;        // writable bytes after the queue's end, 0 to kLengthSlack
};
// Checks the signature, the readiness mark and that the queue the header describes lies inside
// the block; false on anything else.
bool ParseHeader(const std::uint8_t* view, std::size_t view_size, Layout& out);
bool IsReady(const std::uint8_t* view);

// The viewer's filter in the header.
TDebugFilter ReadFilter(const std::uint8_t* view);
bool FilterChanged(const std::uint8_t* view);
void ClearFilterChanged(std::uint8_t* view);
void WriteFilter(std::uint8_t* view, const TDebugFilter& f);  // and marks it changed

// A fresh header for a map of `map_size` bytes whose queue starts right after the header.
void InitHeader(std::uint8_t* view, std::uint32_t map_size);

enum class PutResult {
  kWritten,
  kTooLarge,  // the record cannot fit the queue at all: dropped, nothing touched
  kCorrupt,   // the positions or the unread records make no sense: nothing written
};

// Writes one record at the tail, dropping the oldest unread records first while the new one
// would overrun them. `front` and `tail` are the header's positions; `dropped` tells whether
// `front` moved. The queue is `layout.QueueSize` bytes at `queue`, with `layout.Slack` bytes
// after it that may be written.
PutResult PutRecord(std::uint8_t* queue, const Layout& layout, std::uint32_t& front, std::uint32_t& tail,
                    const std::uint8_t* rec, std::uint32_t size, bool& dropped);

// What the channel does with the mutex held: checks that the header still describes the queue it
// connected to, then puts the record and writes the positions back. `view` is the map's view
// the layout was parsed from.
PutResult SendToQueue(std::uint8_t* view, const Layout& layout, const std::uint8_t* rec, std::uint32_t size);

enum class TakeResult { kRecord, kEmpty, kCorrupt };
// Reads the record at the front into `out` (kMaxRecordSize bytes) and moves `front` past it.
TakeResult TakeRecord(const std::uint8_t* queue, std::uint32_t queue_size, std::uint32_t& front,
                      std::uint32_t tail, std::uint8_t* out, std::uint32_t& size);

// Whether `bytes` are text in the code page `cp` (no lead byte without its trail byte, no
// byte the code page leaves undefined).
bool IsCodePageText(std::string_view bytes, UINT cp);

}  // namespace logq
