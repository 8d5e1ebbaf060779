// The log's way out to an external viewer: records in a ring queue of shared memory that the
// viewer creates, guarded by a named mutex, with events for the hand-over and the viewer's filter
// in the map's header.
#pragma once

#include <cstdint>

#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "debuglog/LogQueue.h"

// A channel that never connects: the base of the real one, and what the log has without one.
class TDebugChannel : public TLogChannel {
 public:
  virtual void SetActive(bool active) { FActive = active; }
  bool Active() const override { return FActive; }
  bool CheckReady() override { return false; }
  virtual void UpdateFlush() {}
  void StartDebugViewer() override {}
  virtual bool CheckFilterChanged() { return false; }
  void RefreshFilter(TDebugFilter&) override {}
  void SendContent(const TDebugMessage&) override {}
  virtual void SendContent(const void*, DWORD) {}

 protected:
  bool FActive = true;
};

class TMapFileChannel : public TDebugChannel {
 public:
  TMapFileChannel() = default;
  ~TMapFileChannel() override { Close(); }
  TMapFileChannel(const TMapFileChannel&) = delete;
  TMapFileChannel& operator=(const TMapFileChannel&) = delete;

  bool CheckReady() override;
  void UpdateFlush() override;
  void StartDebugViewer() override;
  bool CheckFilterChanged() override;
  void RefreshFilter(TDebugFilter& filter) override;
  // Packs the message in place and sends it; a tag or text that is no text in the code page
  // means a broken caller or a broken conversion: the channel closes and drops it.
  void SendContent(const TDebugMessage& msg) override;
  void SendContent(const void* record, DWORD size) override;

  bool AutoFlush() const { return FAutoFlush; }
  void SetAutoFlush(bool v) { FAutoFlush = v; }
  bool Connected() const { return FMap && FMapHeader && FQueueEvent; }

 private:
  bool Connect();
  void Close();  // everything goes; the next message tries again

  unique_kernel_handle FMap;
  unique_view FMapHeader;
  unique_kernel_handle FQueueEvent;
  unique_kernel_handle FQueueFlush;
  unique_kernel_handle FMutex;  // the queue's mutex while records follow each other
  DWORD FMapSize = 0;
  DWORD FQueueSize = 0;
  std::uint8_t* FMsgBase = nullptr;
  bool FAutoFlush = true;
  logq::Layout FLayout;
  std::uint8_t FRecord[logq::kMaxRecordSize];  // the record being sent, packed in place
};
