// The plug-in's diagnostic output and its printf-style formatter.
#include "plugin/debug.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "win32/kernel.h"

namespace dorvel {

INT DebugLevel = DBG_WARNING;

namespace {

constexpr size_t kWideLineChars = 260;
constexpr size_t kNarrowFirstBytes = 1024;
constexpr int kNarrowAttempts = 10;

void AppendAscii(WStr& out, const char* s) {
  for (; *s; ++s) out += static_cast<WCHAR>(static_cast<unsigned char>(*s));
}

// Pads `text` to `width` on the side the flags ask for.
void AppendPadded(WStr& out, WStrView text, int width, bool left) {
  size_t pad = width > 0 && static_cast<size_t>(width) > text.size() ? static_cast<size_t>(width) - text.size() : 0;
  if (!left) out.append(pad, W_(' '));
  out.append(text);
  if (left) out.append(pad, W_(' '));
}

WStr Widen(const char* s) {
  WStr w;
  if (!s) return w;
  int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
  if (n <= 1) return w;
  w.resize(static_cast<size_t>(n));
  MultiByteToWideChar(CP_ACP, 0, s, -1, w.data(), n);
  w.resize(static_cast<size_t>(n - 1));
  return w;
}

std::string Narrow(WStrView s) {
  if (s.empty()) return {};
  int n = WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

WStr FormatW(WStrView fmt, TDbgArgs args) {
  WStr out;
  auto next = args.begin();
  auto take = [&]() -> const TDbgArg* { return next == args.end() ? nullptr : &*next++; };
  size_t i = 0;
  while (i < fmt.size()) {
    WCHAR ch = fmt[i++];
    if (ch != W_('%')) {
      out += ch;
      continue;
    }
    if (i >= fmt.size()) break;
    if (fmt[i] == W_('%')) {
      out += W_('%');
      ++i;
      continue;
    }
    // Flags, width, precision.
    std::string pattern = "%";
    bool left = false;
    while (i < fmt.size() && (fmt[i] == W_('-') || fmt[i] == W_('+') || fmt[i] == W_(' ') || fmt[i] == W_('#') ||
                               fmt[i] == W_('0'))) {
      if (fmt[i] == W_('-')) left = true;
      pattern += static_cast<char>(fmt[i++]);
    }
    int width = -1, precision = -1;
    auto number = [&](int& v) {
      if (i < fmt.size() && fmt[i] == W_('*')) {
        ++i;
        const TDbgArg* a = take();
        v = a && a->kind() == TDbgArg::kInt ? static_cast<int>(a->integer()) : 0;
        if (v < 0 && &v == &width) {
          left = true;
          pattern += '-';
          v = -v;
        }
        v = std::min(v, 4096);
        return;
      }
      int n = 0;
      bool any = false;
      while (i < fmt.size() && fmt[i] >= W_('0') && fmt[i] <= W_('9')) {
        n = std::min(n * 10 + (fmt[i++] - W_('0')), 4096);
        any = true;
      }
      if (any) v = n;
    };
    number(width);
    if (i < fmt.size() && fmt[i] == W_('.')) {
      ++i;
      precision = 0;
      number(precision);
      if (precision < 0) precision = -1;
    }
    if (width >= 0) pattern += std::to_string(width);
    if (precision >= 0) pattern += "." + std::to_string(precision);
    // Length.
    bool wide64 = false, narrowText = false, wideText = false;
    while (i < fmt.size()) {
      if (fmt[i] == W_('l')) {
        if (i + 1 < fmt.size() && fmt[i + 1] == W_('l')) {
          wide64 = true;
          ++i;
        }
        ++i;
      } else if (fmt[i] == W_('h')) {
        narrowText = true;
        ++i;
      } else if (fmt[i] == W_('w')) {
        wideText = true;
        ++i;
      } else if (fmt.substr(i, 3) == W_("I64")) {
        wide64 = true;
        i += 3;
      } else {
        break;
      }
    }
    if (i >= fmt.size()) break;
    WCHAR conv = fmt[i++];
    const TDbgArg* a = take();
    char buf[4200];
    switch (conv) {
      case W_('d'):
      case W_('i'):
      case W_('u'):
      case W_('x'):
      case W_('X'):
      case W_('o'): {
        if (!a || (a->kind() != TDbgArg::kInt && a->kind() != TDbgArg::kPointer)) break;
        std::string s = pattern + "ll" + static_cast<char>(conv);
        if (conv == W_('d') || conv == W_('i')) {
          long long v = wide64 ? a->integer() : static_cast<long long>(static_cast<std::int32_t>(a->integer()));
          std::snprintf(buf, sizeof buf, s.c_str(), v);
        } else {
          unsigned long long v = wide64 ? static_cast<unsigned long long>(a->integer())
                                        : static_cast<unsigned long long>(static_cast<std::uint32_t>(a->integer()));
          std::snprintf(buf, sizeof buf, s.c_str(), v);
        }
        AppendAscii(out, buf);
        break;
      }
      case W_('p'): {
        if (!a) break;
        std::snprintf(buf, sizeof buf, "%0*llX", static_cast<int>(sizeof(void*) * 2),
                      static_cast<unsigned long long>(a->integer()));
        AppendPadded(out, WStr(buf, buf + std::strlen(buf)), width, left);
        break;
      }
      case W_('f'):
      case W_('e'):
      case W_('E'):
      case W_('g'):
      case W_('G'): {
        if (!a || a->kind() != TDbgArg::kFloat) break;
        std::string s = pattern + static_cast<char>(conv);
        std::snprintf(buf, sizeof buf, s.c_str(), a->real());
        AppendAscii(out, buf);
        break;
      }
      case W_('c'):
      case W_('C'): {
        if (!a || a->kind() != TDbgArg::kInt) break;
        WCHAR c = static_cast<WCHAR>(a->integer());
        AppendPadded(out, WStrView(&c, 1), width, left);
        break;
      }
      case W_('s'):
      case W_('S'): {
        if (!a) break;
        // %s is wide in the wide flavour, %S and %hs narrow; %ws always wide.
        bool narrowWanted = (conv == W_('S') || narrowText) && !wideText;
        WStr text;
        if (a->kind() == TDbgArg::kWide && !narrowWanted)
          text = a->wide() ? WStr(a->wide()) : WStr(W_("(null)"));
        else if (a->kind() == TDbgArg::kNarrow && (narrowWanted || !wideText))
          text = a->narrow() ? Widen(a->narrow()) : WStr(W_("(null)"));
        else
          break;
        if (precision >= 0 && text.size() > static_cast<size_t>(precision)) text.resize(static_cast<size_t>(precision));
        AppendPadded(out, text, width, left);
        break;
      }
      default:
        break;
    }
  }
  return out;
}

void DbgPrintW(int level, WStrView fmt, TDbgArgs args) {
  if (DebugLevel > level) return;
  WStr line = FormatW(fmt, args);
  if (line.size() > kWideLineChars) line.resize(kWideLineChars);
  OutputDebugStringW(line.c_str());
}

void DbgPrintA(int level, WStrView fmt, TDbgArgs args) {
  if (DebugLevel > level) return;
  std::string text = Narrow(FormatW(fmt, args));
  // The buffer grows while the text does not fit, for at most ten attempts; the last size cuts.
  size_t capacity = kNarrowFirstBytes;
  for (int attempt = 1; attempt < kNarrowAttempts && text.size() >= capacity; ++attempt) capacity *= 2;
  if (text.size() >= capacity) text.resize(capacity - 1);
  OutputDebugStringA(text.c_str());
}

void DbgRip(const char* file, int line) {
  const char* unit = file ? file : "";
  for (const char* p = unit; *p; ++p)
    if (*p == '\\' || *p == '/') unit = p + 1;
  DbgPrintA(DBG_RIP, W_("%hs %hs (%d): "), {"RIP", unit, line});
  DbgPrintA(DBG_RIP, W_("\n"));
}

}  // namespace dorvel
