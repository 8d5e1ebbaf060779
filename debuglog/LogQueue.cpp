#include "debuglog/LogQueue.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace logq {

namespace {

// Whole 32-bit loads and stores of the shared header: the fields are 4-byte aligned in a view
// that starts on a page, so the compiler's atomic builtins make them untorn.
std::uint32_t get_le(const std::uint8_t* at) {
  std::uint32_t v;
  std::memcpy(&v, at, 4);
  return v;
}

void put_le(std::uint8_t* at, std::uint32_t v) { std::memcpy(at, &v, 4); }

// Days from 1 January 1970 to a civil date (proleptic Gregorian).
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

constexpr long long kOleEpochFromUnix = -25569;  // 30 December 1899 in days from 1970

// Copies `n` bytes starting at queue position `pos`, continuing at the queue's start.
void copy_out(const std::uint8_t* queue, std::uint32_t q, std::uint32_t pos, std::uint8_t* out, std::uint32_t n) {
  std::uint32_t first = std::min(n, q - pos);
  std::memcpy(out, queue + pos, first);
  if (n > first) std::memcpy(out + first, queue, n - first);
}

// The length field of the record at `pos`, read across the queue's end when it is split there.
std::uint32_t length_at(const std::uint8_t* queue, std::uint32_t q, std::uint32_t pos) {
  std::uint8_t b[4];
  copy_out(queue, q, pos, b, 4);
  return get_le(b);
}

}  // namespace

std::uint32_t Load32(const std::uint8_t* at) {
  return __atomic_load_n(reinterpret_cast<const std::uint32_t*>(at), __ATOMIC_ACQUIRE);
}

void Store32(std::uint8_t* at, std::uint32_t v) {
  __atomic_store_n(reinterpret_cast<std::uint32_t*>(at), v, __ATOMIC_RELEASE);
}

double OleDate(const SYSTEMTIME& t) {
  long long days = days_from_civil(t.wYear, t.wMonth, t.wDay) - kOleEpochFromUnix;
  double frac = (t.wHour * 3600000.0 + t.wMinute * 60000.0 + t.wSecond * 1000.0 + t.wMilliseconds) / 86400000.0;
  return static_cast<double>(days) + frac;
}

SYSTEMTIME FromOleDate(double d) {
  SYSTEMTIME t{};
  if (!std::isfinite(d) || d < -657434.0 || d > 2958465.0) return t;  // outside years 100 to 9999
  long long ms = std::llround(d * 86400000.0);
  long long days = ms / 86400000 - (ms % 86400000 < 0);
  long long in_day = ms - days * 86400000;
  long long z = days + kOleEpochFromUnix + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  t.wYear = static_cast<WORD>(static_cast<long long>(yoe) + era * 400 + (month <= 2));
  t.wMonth = static_cast<WORD>(month);
  t.wDay = static_cast<WORD>(day);
  t.wDayOfWeek = static_cast<WORD>(((days + kOleEpochFromUnix) % 7 + 11) % 7);  // 1 Jan 1970 was a Thursday
  t.wHour = static_cast<WORD>(in_day / 3600000);
  t.wMinute = static_cast<WORD>(in_day / 60000 % 60);
  t.wSecond = static_cast<WORD>(in_day / 1000 % 60);
  t.wMilliseconds = static_cast<WORD>(in_day % 1000);
  return t;
}

std::uint32_t PackRecord(const TDebugMessage& msg, std::uint8_t* out) {
  std::uint32_t text = static_cast<std::uint32_t>(std::min<size_t>(msg.Text.size(), kMaxTextBytes));
  std::uint32_t size = kRecordHeaderSize + text;
  put_le(out + 0, size);
  put_le(out + 4, static_cast<std::uint32_t>(msg.Level));
  put_le(out + 8, static_cast<std::uint32_t>(msg.Indent));
  put_le(out + 12, msg.ProcessId);
  put_le(out + 16, msg.ThreadId);
  std::memset(out + 20, 0, kTagBytes);
  std::memcpy(out + 20, msg.Tag.data(), std::min<size_t>(msg.Tag.size(), kTagBytes));
  put_le(out + 28, static_cast<std::uint32_t>(msg.MsgType));
  put_le(out + 32, 0);  // CPU period
  put_le(out + 36, static_cast<std::uint32_t>(msg.TimeStampType));
  double stamp = msg.TimeStampType == 1 ? OleDate(msg.TimeStamp) : 0.0;
  std::memcpy(out + 40, &stamp, 8);
  std::memcpy(out + kRecordHeaderSize, msg.Text.data(), text);
  return size;
}

bool UnpackRecord(const std::uint8_t* rec, std::uint32_t size, Record& out) {
  if (size < kRecordHeaderSize || size > kMaxRecordSize || get_le(rec) != size) return false;
  out.Length = size;
  out.Level = static_cast<std::int32_t>(get_le(rec + 4));
  out.Indent = static_cast<std::int32_t>(get_le(rec + 8));
  out.ProcessId = get_le(rec + 12);
  out.ThreadId = get_le(rec + 16);
  const char* tag = reinterpret_cast<const char*>(rec + 20);
  out.Tag.assign(tag, strnlen(tag, kTagBytes));
  out.MsgType = get_le(rec + 28);
  out.CpuPeriod = get_le(rec + 32);
  out.TimeStampType = get_le(rec + 36);
  std::memcpy(&out.Ticks, rec + 40, 8);
  std::memcpy(&out.TimeStamp, rec + 40, 8);
  out.Text.assign(reinterpret_cast<const char*>(rec + kRecordHeaderSize), size - kRecordHeaderSize);
  return true;
}

bool IsReady(const std::uint8_t* view) { return Load32(view + kOffReadyMark) == kReadyMark; }

bool ParseHeader(const std::uint8_t* view, std::size_t view_size, Layout& out) {
  if (view_size < kMapHeaderSize) return false;
  if (std::memcmp(view + kOffSignature, kSignature, sizeof kSignature) != 0 || !IsReady(view)) return false;
  std::uint32_t map_size = Load32(view + kOffMapSize);
  std::uint32_t offset = Load32(view + kOffQueueOffset);
  // The queue must lie after the header and inside the block this process really has.
  if (offset < kMapHeaderSize || map_size > view_size || map_size < offset ||
      map_size - offset < kMinQueueSize)
    return false;
  out.MapSize = map_size;
  out.QueueOffset = offset;
  out.QueueSize = map_size - offset;
  out.Slack = static_cast<std::uint32_t>(std::min<std::size_t>(view_size - map_size, kLengthSlack));
  return true;
}

TDebugFilter ReadFilter(const std::uint8_t* view) {
  TDebugFilter f;
  f.FEnabled = Load32(view + kOffFilterEnabled) != 0;
  f.FLevel = static_cast<int>(Load32(view + kOffFilterLevel));
  char tag[kTagBytes];
  put_le(reinterpret_cast<std::uint8_t*>(tag), Load32(view + kOffFilterTag));
  put_le(reinterpret_cast<std::uint8_t*>(tag) + 4, Load32(view + kOffFilterTag + 4));
  f.FTag.assign(tag, strnlen(tag, kTagBytes));
  f.FMsgTypes = __atomic_load_n(reinterpret_cast<const std::uint16_t*>(view + kOffFilterTypes), __ATOMIC_ACQUIRE);
  return f;
}

bool FilterChanged(const std::uint8_t* view) { return Load32(view + kOffFilterChanged) != 0; }
void ClearFilterChanged(std::uint8_t* view) { Store32(view + kOffFilterChanged, 0); }

void WriteFilter(std::uint8_t* view, const TDebugFilter& f) {
  Store32(view + kOffFilterEnabled, f.FEnabled ? 1 : 0);
  Store32(view + kOffFilterLevel, static_cast<std::uint32_t>(f.FLevel));
  std::uint8_t tag[kTagBytes] = {};
  std::memcpy(tag, f.FTag.data(), std::min<size_t>(f.FTag.size(), kTagBytes));
  Store32(view + kOffFilterTag, get_le(tag));
  Store32(view + kOffFilterTag + 4, get_le(tag + 4));
  __atomic_store_n(reinterpret_cast<std::uint16_t*>(view + kOffFilterTypes), f.FMsgTypes, __ATOMIC_RELEASE);
  Store32(view + kOffFilterChanged, 1);
}

void InitHeader(std::uint8_t* view, std::uint32_t map_size) {
  std::memset(view, 0, kMapHeaderSize);
  std::memcpy(view + kOffSignature, kSignature, sizeof kSignature);
  Store32(view + kOffMapSize, map_size);
  // The queue starts on the next 4-byte boundary so that the header's words stay whole.
  Store32(view + kOffQueueOffset, (kMapHeaderSize + 3) & ~3u);
  Store32(view + kOffFilterLevel, static_cast<std::uint32_t>(kDefaultLevel));
  Store32(view + kOffReadyMark, kReadyMark);  // last: a writer sees a whole header or none
}

PutResult PutRecord(std::uint8_t* queue, const Layout& layout, std::uint32_t& front, std::uint32_t& tail,
                    const std::uint8_t* rec, std::uint32_t size, bool& dropped) {
  dropped = false;
  const std::uint32_t q = layout.QueueSize;
  // A record as long as the whole queue would bring the tail back onto the front, where the
  // reader takes it for an empty queue: it could never be read.
  if (size >= q) return PutResult::kTooLarge;
  if (front >= q || tail >= q) return PutResult::kCorrupt;
  std::uint32_t f = front;
  const std::uint32_t t = tail;
  auto overruns = [&] {
    if (t == f) return false;
    std::uint64_t end = static_cast<std::uint64_t>(t) + size;
    if (t < f) return end >= f;
    return end >= q && end % q >= f;
  };
  // Each unread record is at least a record header long, so the oldest ones are gone after
  // this many steps; more steps mean lengths that do not chain up to the tail.
  std::uint32_t steps = q / kRecordHeaderSize + 2;
  while (overruns()) {
    std::uint32_t len = length_at(queue, q, f);
    if (len < kRecordHeaderSize || len > kMaxRecordSize || len >= q || steps-- == 0) return PutResult::kCorrupt;
    f = static_cast<std::uint32_t>((static_cast<std::uint64_t>(f) + len) % q);
    dropped = true;
  }
  if (static_cast<std::uint64_t>(t) + size < q) {
    std::memcpy(queue + t, rec, size);
  } else {
    std::uint32_t d = q - t;
    if (d < 4 && layout.Slack >= 4 - d) {
      // The length field stays whole at the record's start, in the bytes after the queue.
      std::memcpy(queue + t, rec, 4);
    } else {
      std::memcpy(queue + t, rec, d);
    }
    std::memcpy(queue, rec + d, size - d);
  }
  tail = static_cast<std::uint32_t>((static_cast<std::uint64_t>(t) + size) % q);
  front = f;
  return PutResult::kWritten;
}

PutResult SendToQueue(std::uint8_t* view, const Layout& layout, const std::uint8_t* rec, std::uint32_t size) {
  if (!IsReady(view) || Load32(view + kOffMapSize) != layout.MapSize ||
      Load32(view + kOffQueueOffset) != layout.QueueOffset)
    return PutResult::kCorrupt;
  std::uint32_t front = Load32(view + kOffFront);
  std::uint32_t tail = Load32(view + kOffTail);
  bool dropped = false;
  PutResult r = PutRecord(view + layout.QueueOffset, layout, front, tail, rec, size, dropped);
  if (r == PutResult::kWritten) {
    if (dropped) Store32(view + kOffFront, front);
    Store32(view + kOffTail, tail);
  }
  return r;
}

TakeResult TakeRecord(const std::uint8_t* queue, std::uint32_t queue_size, std::uint32_t& front,
                      std::uint32_t tail, std::uint8_t* out, std::uint32_t& size) {
  const std::uint32_t q = queue_size;
  if (q < kMinQueueSize || front >= q || tail >= q) return TakeResult::kCorrupt;
  if (front == tail) return TakeResult::kEmpty;
  std::uint32_t unread = tail > front ? tail - front : q - front + tail;
  if (unread < 4) return TakeResult::kCorrupt;
  std::uint32_t len = length_at(queue, q, front);
  if (len < kRecordHeaderSize || len > kMaxRecordSize || len > unread) return TakeResult::kCorrupt;
  copy_out(queue, q, front, out, len);
  size = len;
  front = static_cast<std::uint32_t>((static_cast<std::uint64_t>(front) + len) % q);
  return TakeResult::kRecord;
}

bool IsCodePageText(std::string_view bytes, UINT cp) {
  if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return true;
  if (bytes.size() > 0x7FFFFFFF) return false;
  return MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0) > 0;
}

}  // namespace logq
