#include "installhost/HostOptions.h"

namespace {

bool SameOption(WStrView token, WStrView option) {
  if (token.size() != option.size()) return false;
  for (size_t i = 0; i < token.size(); ++i) {
    WCHAR a = token[i], b = option[i];
    if (a >= u'a' && a <= u'z') a = static_cast<WCHAR>(a - 0x20);
    if (b >= u'a' && b <= u'z') b = static_cast<WCHAR>(b - 0x20);
    if (a != b) return false;
  }
  return true;
}

}  // namespace

THostOptions ParseHostOptions(const std::vector<WStr>& args) {
  THostOptions o;
  const struct {
    const WCHAR* name;
    WStr THostOptions::*field;
  } options[] = {{W_("/Dll"), &THostOptions::Dll},
                 {W_("/Handle"), &THostOptions::Handle},
                 {W_("/Inf"), &THostOptions::Inf},
                 {W_("/HWID"), &THostOptions::HWID},
                 {W_("/FindHWID"), &THostOptions::FindHWID}};
  WStr THostOptions::*current = nullptr;
  for (size_t i = 1; i < args.size(); ++i) {
    const WStr& token = args[i];
    if (!token.empty() && token[0] == u'/') {
      current = nullptr;
      for (const auto& option : options)
        if (SameOption(token, option.name)) current = option.field;
    } else if (current) {
      o.*current = token;
    }
  }
  return o;
}

LONG DecimalToLong(WStrView text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
  // Unsigned arithmetic: a handle written as an unsigned number comes back as the same 32 bits.
  DWORD value = 0;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) value = value * 10u + (text[i] - u'0');
  if (negative) value = 0u - value;
  return static_cast<LONG>(value);
}

HWND THostOptions::ResultWindow() const {
  // Window handles are 32-bit values in every process; a 64-bit one sign-extends them.
  return reinterpret_cast<HWND>(static_cast<LONG_PTR>(DecimalToLong(Handle)));
}
