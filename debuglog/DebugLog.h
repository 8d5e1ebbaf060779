// The diagnostic log: one process-wide logger that turns each call into messages (text, tag,
// level, type, the sending thread's indent) for an external viewer. Nothing is written to disk;
// without a channel, or with the log switched off, messages are dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "win32/kernel.h"

enum TDebugMsgType {
  dmtInformation,
  dmtWarning,
  dmtError,
  dmtSeparator,
  dmtEnterProc,
  dmtLeaveProc,
  dmtTimeMarkStart,
  dmtTimeMarkStop,
  dmtMemoryDump,
  dmtException,
  dmtObject,
  dmtComponent,
  dmtCustom,
  dmtSystem
};
using TDebugMsgTypes = std::uint16_t;  // bit n for type n

constexpr int kDefaultLevel = 3;
constexpr int kDefaultTimeStampType = 1;  // local date and time

struct TDebugFilter {
  bool FEnabled = false;
  int FLevel = 3;
  std::string FTag;  // up to 8 characters
  TDebugMsgTypes FMsgTypes = 0;

  bool Passes(const std::string& tag, int level, TDebugMsgType type) const;
};

// One message as the channel packs it.
struct TDebugMessage {
  std::string Text;  // ANSI, at most 4096 bytes
  std::string Tag;   // ANSI
  int Level = kDefaultLevel;
  TDebugMsgType MsgType = dmtInformation;
  int Indent = 0;
  DWORD ProcessId = 0;
  DWORD ThreadId = 0;
  int TimeStampType = kDefaultTimeStampType;
  SYSTEMTIME TimeStamp{};
};

// The way out to the viewer (the shared-memory channel); tests give a channel that records.
class TLogChannel {
 public:
  virtual ~TLogChannel() = default;
  virtual void StartDebugViewer() = 0;  // one attempt to start the viewer
  virtual bool Active() const = 0;
  virtual bool CheckReady() = 0;  // connects when needed; whether a viewer is connected
  // Copies the viewer's filter into `filter` when the viewer changed it.
  virtual void RefreshFilter(TDebugFilter& filter) = 0;
  virtual void SendContent(const TDebugMessage& msg) = 0;
};

// One format argument, as the installer passes them: integers, texts, floating-point numbers.
class TVarRec {
 public:
  enum Kind { kInteger, kInt64, kText, kFloat };
  TVarRec(int v) : kind_(kInteger), int_(v) {}
  TVarRec(unsigned v) : kind_(kInteger), int_(static_cast<int>(v)) {}
  TVarRec(long v) : kind_(kInt64), int_(v) {}
  TVarRec(long long v) : kind_(kInt64), int_(v) {}
  TVarRec(unsigned long v) : kind_(kInt64), int_(static_cast<long long>(v)) {}
  TVarRec(double v) : kind_(kFloat), float_(v) {}
  // A C string's length is only worked out when the text is used: a log that is off never does.
  TVarRec(const WCHAR* v) : kind_(kText), text_ptr_(v), text_len_(kUnknownLength) {}
  TVarRec(WStrView v) : kind_(kText), text_ptr_(v.data()), text_len_(v.size()) {}
  TVarRec(const WStr& v) : kind_(kText), text_ptr_(v.data()), text_len_(v.size()) {}

  Kind kind() const { return kind_; }
  long long integer() const { return int_; }
  double floating() const { return float_; }
  WStrView text() const {
    if (!text_ptr_) return {};
    return text_len_ == kUnknownLength ? WStrView(text_ptr_) : WStrView(text_ptr_, text_len_);
  }
  // The argument's raw 32 bits: the value of an integer, the address of anything else.
  std::uint32_t raw() const;

 private:
  Kind kind_;
  long long int_ = 0;
  double float_ = 0;
  static constexpr size_t kUnknownLength = static_cast<size_t>(-1);
  const WCHAR* text_ptr_ = nullptr;
  size_t text_len_ = 0;
};

// A text argument of the log: a view, a string, or a C string whose length is only worked out
// when the log is on.
class TLogText {
 public:
  TLogText() = default;
  TLogText(WStrView v) : p_(v.data()), n_(v.size()) {}
  TLogText(const WStr& s) : p_(s.data()), n_(s.size()) {}
  TLogText(const WCHAR* s) : p_(s), n_(s ? kUnknownLength : 0) {}
  WStrView view() const { return n_ == kUnknownLength ? WStrView(p_) : WStrView(p_, n_); }

 private:
  static constexpr size_t kUnknownLength = static_cast<size_t>(-1);
  const WCHAR* p_ = nullptr;
  size_t n_ = 0;
};

using TVarRecs = std::initializer_list<TVarRec>;

// Delphi-style formatting: %s, %d, %u, %x (upper-case digits), %f (two decimals unless told),
// %e, %g, %p, with "-", width and precision ("*" takes them from the arguments) and %%.
// Throws KelvaneError when the format and the arguments do not fit.
WStr Format(WStrView fmt, const TVarRec* args, size_t count);
inline WStr Format(WStrView fmt, TVarRecs args) { return Format(fmt, args.begin(), args.size()); }

class TDebugLogger {
 public:
  TDebugLogger();  // with the viewer channel
  TDebugLogger(const TDebugLogger&) = delete;
  TDebugLogger& operator=(const TDebugLogger&) = delete;

  // Texts are views and the switch is tested here: a call while the log is off costs the test
  // and nothing else (no text is made, no call is taken).
  void LogMsg(TLogText text) {
    if (!Off()) SendDebugMessage(text.view(), {}, kDefaultLevel, dmtInformation);
  }
  void LogMsgWithTag(TLogText text, TLogText tag) {
    if (!Off()) SendDebugMessage(text.view(), tag.view(), kDefaultLevel, dmtInformation);
  }
  void LogMsgWarning(TLogText text) {
    if (!Off()) SendDebugMessage(text.view(), {}, kDefaultLevel, dmtWarning);
  }
  void LogMsgError(TLogText text) {
    if (!Off()) SendDebugMessage(text.view(), {}, kDefaultLevel, dmtError);
  }
  void LogFmt(TLogText fmt, TVarRecs args) {
    if (!Off()) SendFormatted(fmt.view(), args, {}, dmtInformation);
  }
  void LogFmtWithTag(TLogText fmt, TVarRecs args, TLogText tag) {
    if (!Off()) SendFormatted(fmt.view(), args, tag.view(), dmtInformation);
  }
  void LogErrorFmt(TLogText fmt, TVarRecs args) {
    if (!Off()) SendFormatted(fmt.view(), args, {}, dmtError);
  }
  // The indent counts on while the log is off.
  void LogEnter(TLogText procName, TLogText tag = {});
  void LogLeave(TLogText procName, TLogText tag = {});
  void LogSeparator() {
    if (!Off()) SendDebugMessage(W_("-"), {}, kDefaultLevel, dmtSeparator);
  }
  void SetActive(bool active) { FActive = active; }
  bool Active() const { return FActive; }

  // The channel: absent until one is made (the viewer channel, or a test's).
  void SetChannel(std::unique_ptr<TLogChannel> channel);
  // Back to the state of a new logger, with a new viewer channel (for tests).
  void Reset();
  TDebugFilter Filter();

 private:
  bool Off() const { return !FActive.load(std::memory_order_relaxed) && FViewerAutoStartCalled.load(std::memory_order_relaxed); }
  void SendDebugMessage(WStrView text, WStrView tag, int level, TDebugMsgType type);
  void SendFormatted(WStrView fmt, TVarRecs args, WStrView tag, TDebugMsgType type);
  int ThreadIndent(DWORD thread);
  void ChangeIndent(int delta);
  static WStr FormatOrExplain(WStrView fmt, TVarRecs args);

  std::atomic<bool> FActive{true};
  bool FAutoStart = true;
  std::atomic<bool> FViewerAutoStartCalled{false};
  bool FIgnoreViewer = false;
  TDebugFilter FFilter;
  std::unique_ptr<TLogChannel> FChannel;
  std::mutex FCSSend;  // one message at a time through the channel
  std::vector<DWORD> FThrdIDList;
  std::vector<int> FIndentList;
  std::mutex FCSThrdId;
};

// Inline, so that a call while the log is off takes no call to reach the logger either.
inline TDebugLogger& TheDebugger() {
  static TDebugLogger logger;
  return logger;
}
