#include "debuglog/MapFileChannel.h"

#include <algorithm>

#include "win32/registry.h"
#include "win32/user.h"

using namespace logq;

namespace {

// No viewer makes a map this large; a header that says so is garbage.
constexpr DWORD kMaxMapSize = 256u << 20;
constexpr DWORD kMutexWaitMs = 1000;
constexpr DWORD kFlushWaitMs = 100;
constexpr DWORD kViewerStartWaitMs = 5000;

std::uint8_t* bytes(const unique_view& v) { return static_cast<std::uint8_t*>(v.get()); }

// The viewer's command line as the user configured it, or empty.
WStr configured_viewer() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, W_("Software\\DebugLog\\Viewer"), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return {};
  unique_hkey owner(key);
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, W_("ViewerCommand"), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ) || size < sizeof(WCHAR))
    return {};
  WStr value(size / sizeof(WCHAR), u'\0');
  if (RegQueryValueExW(key, W_("ViewerCommand"), nullptr, &type, reinterpret_cast<LPBYTE>(value.data()), &size) !=
      ERROR_SUCCESS)
    return {};
  value.resize(std::min<size_t>(value.size(), size / sizeof(WCHAR)));
  if (auto nul = value.find(u'\0'); nul != WStr::npos) value.resize(nul);
  return value;
}

}  // namespace

void TMapFileChannel::Close() {
  FMutex.reset();
  FQueueFlush.reset();
  FQueueEvent.reset();
  FMapHeader.reset();
  FMap.reset();
  FMsgBase = nullptr;
  FMapSize = FQueueSize = 0;
  FLayout = {};
}

bool TMapFileChannel::Connect() {
  FMap.reset(OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, DEBUGLOG_MAP_NAME));
  if (!FMap) return false;
  // The header tells the map's size; the view then covers the map and, when the viewer left
  // them, the bytes after the queue that a split record's length field may reach into. Only a
  // view this process really has bounds what it reads and writes.
  DWORD map_size = 0;
  {
    unique_view head(MapViewOfFile(FMap.get(), FILE_MAP_ALL_ACCESS, 0, 0, kMapHeaderSize));
    if (!head) return false;
    map_size = Load32(bytes(head) + kOffMapSize);
  }
  if (map_size < kMapHeaderSize || map_size > kMaxMapSize) return false;
  SIZE_T view_size = map_size + kLengthSlack;
  FMapHeader.reset(MapViewOfFile(FMap.get(), FILE_MAP_ALL_ACCESS, 0, 0, view_size));
  if (!FMapHeader) {
    view_size = map_size;
    FMapHeader.reset(MapViewOfFile(FMap.get(), FILE_MAP_ALL_ACCESS, 0, 0, view_size));
  }
  if (!FMapHeader) return false;
  FQueueEvent.reset(OpenEventW(EVENT_MODIFY_STATE, FALSE, DEBUGLOG_QUEUE_EVENT_NAME));
  if (!FQueueEvent) return false;
  UpdateFlush();
  // The header read again from the view that will be used: a viewer that changed it meanwhile
  // gets checked against what this process can reach.
  if (!ParseHeader(bytes(FMapHeader), view_size, FLayout)) return false;
  FMapSize = FLayout.MapSize;
  FQueueSize = FLayout.QueueSize;
  FMsgBase = bytes(FMapHeader) + FLayout.QueueOffset;
  return true;
}

bool TMapFileChannel::CheckReady() {
  if (Connected()) {
    if (IsReady(bytes(FMapHeader))) return true;
    Close();
    return false;
  }
  if (Connect()) return true;
  Close();
  return false;
}

void TMapFileChannel::UpdateFlush() {
  if (!FAutoFlush) {
    FQueueFlush.reset();
  } else if (!FQueueFlush) {
    FQueueFlush.reset(CreateEventW(nullptr, FALSE, FALSE, DEBUGLOG_FLUSH_EVENT_NAME));
  }
}

bool TMapFileChannel::CheckFilterChanged() { return Connected() && FilterChanged(bytes(FMapHeader)); }

void TMapFileChannel::RefreshFilter(TDebugFilter& filter) {
  if (!CheckFilterChanged()) return;
  filter = ReadFilter(bytes(FMapHeader));
  ClearFilterChanged(bytes(FMapHeader));
}

void TMapFileChannel::SendContent(const TDebugMessage& msg) {
  if (!Connected()) return;
  UINT cp = GetACP();
  if (!IsCodePageText(msg.Text, cp) || !IsCodePageText(msg.Tag, cp)) {
    Close();
    return;
  }
  DWORD size = PackRecord(msg, FRecord);
  SendContent(FRecord, size);
}

void TMapFileChannel::SendContent(const void* record, DWORD size) {
  if (!Connected() || !record || size < kRecordHeaderSize || size > kMaxRecordSize) return;
  if (size >= FQueueSize) return;  // it could never be read; see PutRecord
  // The mutex is opened by name, and kept while records follow each other: opening a named object
  // costs far more than a record. Its name is looked up again after any wait that the viewer
  // left unanswered, so that a viewer that is gone (and its mutex with it) closes the channel.
  if (!FMutex) FMutex.reset(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, DEBUGLOG_QUEUE_MUTEX_NAME));
  if (!FMutex) {
    Close();
    return;
  }
  DWORD waited = WaitForSingleObject(FMutex.get(), kMutexWaitMs);
  // An abandoned mutex is ours all the same; what its dead holder left is checked below.
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    FMutex.reset();
    return;
  }
  bool sound = SendToQueue(bytes(FMapHeader), FLayout, static_cast<const std::uint8_t*>(record), size) ==
               PutResult::kWritten;
  if (!ReleaseMutex(FMutex.get())) sound = false;
  if (waited == WAIT_ABANDONED) FMutex.reset();  // its viewer died: see whether another one is there
  if (!sound || !SetEvent(FQueueEvent.get())) {
    Close();
    return;
  }
  if (FAutoFlush && FQueueFlush) {
    DWORD flushed = WaitForSingleObject(FQueueFlush.get(), kFlushWaitMs);
    if (flushed == WAIT_FAILED) Close();
    if (flushed == WAIT_TIMEOUT) FMutex.reset();
  }
}

void TMapFileChannel::StartDebugViewer() {
  WStr cmd = configured_viewer();
  cmd = (cmd.empty() ? WStr(W_("DebugLogViewer.exe")) : cmd) + W_(" -a ") + IntToStr(GetCurrentProcessId());
  unique_kernel_handle started(CreateEventW(nullptr, FALSE, FALSE, DEBUGLOG_START_EVENT_NAME));
  UINT run = WinExec(ToAnsi(cmd).c_str(), SW_SHOW);
  if (run > 31 && started) WaitForSingleObject(started.get(), kViewerStartWaitMs);
}
