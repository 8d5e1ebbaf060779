#include "DebugLog.h"

#include <algorithm>
#include <cstdio>

#include "debuglog/LogQueue.h"
#include "debuglog/MapFileChannel.h"

namespace {

constexpr size_t kPieceBytes = 4096;
// The widest field, the longest precision and the highest argument index a format may ask for.
constexpr int kMaxField = 4096;

WStr ascii(const std::string& s) { return WStr(s.begin(), s.end()); }

[[noreturn]] void format_error() { throw KelvaneError(W_("format")); }

WStr pad(WStr s, int width, bool left) {
  if (width > 0 && s.size() < static_cast<size_t>(width)) {
    WStr fill(static_cast<size_t>(width) - s.size(), u' ');
    s = left ? s + fill : fill + s;
  }
  return s;
}

WStr digits(unsigned long long v, unsigned base, int min_digits) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[v % base]);
    v /= base;
  } while (v);
  if (min_digits > 0 && s.size() < static_cast<size_t>(min_digits))
    s.insert(0, static_cast<size_t>(min_digits) - s.size(), '0');
  return ascii(s);
}

}  // namespace

std::uint32_t TVarRec::raw() const {
  switch (kind_) {
    case kInteger:
    case kInt64:
      return static_cast<std::uint32_t>(int_);
    case kText:
      return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(text_ptr_));
    case kFloat:
      return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&float_));
  }
  return 0;
}

WStr Format(WStrView fmt, const TVarRec* args, size_t count) {
  WStr out;
  const TVarRec* arg = args;
  const TVarRec* end = args + count;
  auto next_arg = [&]() -> const TVarRec& {
    if (arg == end) format_error();
    return *arg++;
  };
  // A width, precision or index: digits or "*". Texts come from the language file, so a number
  // beyond any sensible field ("%2000000000s") is a broken format, not a request for gigabytes.
  auto number = [&](size_t& i) {
    if (i < fmt.size() && fmt[i] == u'*') {
      ++i;
      const TVarRec& a = next_arg();
      if (a.kind() != TVarRec::kInteger || a.integer() < -kMaxField || a.integer() > kMaxField) format_error();
      return static_cast<int>(a.integer());
    }
    int n = -1;
    while (i < fmt.size() && fmt[i] >= u'0' && fmt[i] <= u'9') {
      n = (n < 0 ? 0 : n * 10) + (fmt[i++] - u'0');
      if (n > kMaxField) format_error();
    }
    return n;
  };
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] != u'%') {
      out += fmt[i];
      continue;
    }
    if (++i >= fmt.size()) format_error();
    if (fmt[i] == u'%') {
      out += u'%';
      continue;
    }
    // An index ("%1:s") picks the argument to go on from.
    size_t digits_end = i;
    while (digits_end < fmt.size() && fmt[digits_end] >= u'0' && fmt[digits_end] <= u'9') ++digits_end;
    if (digits_end > i && digits_end < fmt.size() && fmt[digits_end] == u':') {
      int index = number(i);
      if (static_cast<size_t>(index) >= count) format_error();
      arg = args + index;
      ++i;
    }
    bool left = false;
    if (i < fmt.size() && fmt[i] == u'-') {
      left = true;
      ++i;
    }
    int width = number(i);
    int prec = -1;
    if (i < fmt.size() && fmt[i] == u'.') {
      ++i;
      prec = std::max(0, number(i));
    }
    if (i >= fmt.size()) format_error();
    WCHAR type = static_cast<WCHAR>(fmt[i] | 0x20);  // directives ignore case
    const TVarRec& a = next_arg();
    bool is_int = a.kind() == TVarRec::kInteger || a.kind() == TVarRec::kInt64;
    WStr piece;
    switch (type) {
      case u'd': {
        if (!is_int) format_error();
        long long v = a.integer();
        unsigned long long mag = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        piece = (v < 0 ? W_("-") : W_("")) + digits(mag, 10, prec);
        break;
      }
      case u'u':
      case u'x': {
        if (!is_int) format_error();
        unsigned long long v = a.kind() == TVarRec::kInteger ? static_cast<std::uint32_t>(a.integer())
                                                             : static_cast<unsigned long long>(a.integer());
        piece = digits(v, type == u'x' ? 16 : 10, prec);
        break;
      }
      case u's':
        if (a.kind() != TVarRec::kText) format_error();
        piece = WStr(a.text());
        if (prec >= 0 && piece.size() > static_cast<size_t>(prec)) piece.resize(static_cast<size_t>(prec));
        break;
      case u'f':
      case u'e':
      case u'g': {
        if (a.kind() != TVarRec::kFloat) format_error();
        char buf[128];
        char spec[8] = {'%', '.', '*', static_cast<char>(type == u'e' ? 'E' : type), 0};
        std::snprintf(buf, sizeof buf, spec, prec < 0 ? (type == u'g' ? 15 : 2) : std::min(prec, 40), a.floating());
        piece = ascii(buf);
        break;
      }
      case u'p':
        piece = digits(a.raw(), 16, 8);
        break;
      default:
        format_error();
    }
    out += pad(piece, width, left);
  }
  return out;
}

bool TDebugFilter::Passes(const std::string& tag, int level, TDebugMsgType type) const {
  if (!FEnabled) return true;
  if (level > FLevel) return false;
  if (FMsgTypes != 0 && (static_cast<int>(type) > 15 || !(FMsgTypes & (1u << type)))) return false;
  if (!FTag.empty()) {
    if (tag.size() > 8 || !SameTextAscii(ascii(tag), ascii(FTag))) return false;
  }
  return true;
}

WStr TDebugLogger::FormatOrExplain(WStrView fmt, TVarRecs args) {
  try {
    return Format(fmt, args);
  } catch (const KelvaneError&) {
    WStr text = W_("Format Error! Format String: ") + WStr(fmt) + W_(". ");
    if (args.size()) {
      text += W_("\r\nHex Params:");
      for (const TVarRec& a : args) text += W_(" ") + digits(a.raw(), 16, 8);
    }
    return text;
  }
}

int TDebugLogger::ThreadIndent(DWORD thread) {
  std::lock_guard lock(FCSThrdId);
  auto it = std::find(FThrdIDList.begin(), FThrdIDList.end(), thread);
  if (it != FThrdIDList.end()) return FIndentList[static_cast<size_t>(it - FThrdIDList.begin())];
  FThrdIDList.push_back(thread);
  FIndentList.push_back(0);
  return 0;
}

void TDebugLogger::ChangeIndent(int delta) {
  DWORD thread = GetCurrentThreadId();
  ThreadIndent(thread);  // a thread seen for the first time starts at 0
  std::lock_guard lock(FCSThrdId);
  auto it = std::find(FThrdIDList.begin(), FThrdIDList.end(), thread);
  int& indent = FIndentList[static_cast<size_t>(it - FThrdIDList.begin())];
  indent = std::max(0, indent + delta);
}

// The length of the next piece of `ansi` from `at`: at most 4096 bytes, and never ending between
// the two bytes of a double-byte character, which would leave both pieces no text.
static size_t piece_length(const std::string& ansi, size_t at, UINT cp) {
  size_t n = std::min(kPieceBytes, ansi.size() - at);
  if (at + n == ansi.size()) return n;
  for (size_t cut = n; cut + 3 >= n && cut > 0; --cut)
    if (logq::IsCodePageText(std::string_view(ansi).substr(at, cut), cp)) return cut;
  return n;
}

void TDebugLogger::SendDebugMessage(WStrView text, WStrView tag, int level, TDebugMsgType type) {
  if (text.empty()) return;
  // Switched off, a message costs the switch test alone once the viewer start was tried.
  if (Off()) return;
  std::string ansi = ToAnsi(text);
  std::string ansi_tag = ToAnsi(tag);
  DWORD thread = GetCurrentThreadId();
  int indent = ThreadIndent(thread);

  std::lock_guard lock(FCSSend);
  if (!FViewerAutoStartCalled && FAutoStart && !FIgnoreViewer) {
    FViewerAutoStartCalled = true;
    if (FChannel) FChannel->StartDebugViewer();
  }
  if (!FActive || !FChannel || !FChannel->Active()) return;
  if (!FChannel->CheckReady()) return;
  UINT cp = GetACP();
  TDebugMessage msg;
  msg.Tag = std::move(ansi_tag);
  msg.Level = level;
  msg.MsgType = type;
  msg.Indent = indent;
  msg.ProcessId = GetCurrentProcessId();
  msg.ThreadId = thread;
  for (size_t at = 0, n = 0; at < ansi.size(); at += n) {
    n = piece_length(ansi, at, cp);
    msg.Text.assign(ansi, at, n);
    GetLocalTime(&msg.TimeStamp);
    FChannel->RefreshFilter(FFilter);
    if (FFilter.Passes(msg.Tag, level, type) && FChannel->CheckReady()) FChannel->SendContent(msg);
  }
}

void TDebugLogger::SendFormatted(WStrView fmt, TVarRecs args, WStrView tag, TDebugMsgType type) {
  SendDebugMessage(FormatOrExplain(fmt, args), tag, kDefaultLevel, type);
}

void TDebugLogger::LogEnter(TLogText procName, TLogText tag) {
  if (!Off()) SendDebugMessage(W_("Enter: ") + WStr(procName.view()), tag.view(), kDefaultLevel, dmtEnterProc);
  ChangeIndent(+1);
}

void TDebugLogger::LogLeave(TLogText procName, TLogText tag) {
  ChangeIndent(-1);
  if (!Off()) SendDebugMessage(W_("Leave: ") + WStr(procName.view()), tag.view(), kDefaultLevel, dmtLeaveProc);
}

TDebugLogger::TDebugLogger() : FChannel(std::make_unique<TMapFileChannel>()) {}

void TDebugLogger::SetChannel(std::unique_ptr<TLogChannel> channel) {
  std::lock_guard lock(FCSSend);
  FChannel = std::move(channel);
}

void TDebugLogger::Reset() {
  {
    std::lock_guard lock(FCSSend);
    FChannel = std::make_unique<TMapFileChannel>();
    FFilter = TDebugFilter{};
    FActive = true;
    FViewerAutoStartCalled = false;
  }
  std::lock_guard lock(FCSThrdId);
  FThrdIDList.clear();
  FIndentList.clear();
}

TDebugFilter TDebugLogger::Filter() {
  std::lock_guard lock(FCSSend);
  return FFilter;
}
