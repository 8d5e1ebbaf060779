// Text: UTF-8/UTF-16, the file-name upcase table, and the ANSI code pages 936, 950 and 1252.
#include <iconv.h>

#include <array>
#include <cstring>

#include "internal.h"

namespace winsim {

std::string to_utf8(WStrView s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Decodes UTF-8; `ok` turns false at the first malformed sequence (which becomes U+FFFD).
static WStr decode_utf8(std::string_view s, bool* ok) {
  WStr out;
  out.reserve(s.size());
  size_t i = 0;
  auto bad = [&] {
    if (ok) *ok = false;
    out += u'\xFFFD';
    ++i;
  };
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
      bad();
      continue;
    }
    uint32_t c = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    bool good = true;
    for (int k = 1; k < len; ++k) {
      auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) good = false;
      c = (c << 6) | (t & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (!good || c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
      bad();
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<WCHAR>(0xD800 + (c >> 10));
      out += static_cast<WCHAR>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<WCHAR>(c);
    }
    i += len;
  }
  return out;
}

WStr from_utf8(std::string_view s) { return decode_utf8(s, nullptr); }

WCHAR fold_upper(WCHAR c) {
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) || (c >= 0x430 && c <= 0x44F) ||
      (c >= 0xFF41 && c <= 0xFF5A))
    return static_cast<WCHAR>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
  if (c >= 0x100 && c <= 0x17F && (c & 1) && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F)
    return static_cast<WCHAR>(c - 1);  // Latin Extended-A pairs
  return c;
}

int icompare(WStrView a, WStrView b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    WCHAR x = fold_upper(a[i]), y = fold_upper(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

WStr folded(WStrView s) {
  WStr out(s);
  for (auto& c : out) c = fold_upper(c);
  return out;
}

bool iequal(WStrView a, WStrView b) { return a.size() == b.size() && icompare(a, b) == 0; }

WStr trim_blanks(WStrView s) {
  auto blank = [](WCHAR c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
  size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return WStr(s.substr(b, e - b));
}

DWORD copy_out(WStrView s, LPWSTR buf, DWORD size) {
  if (!buf || size <= s.size()) return static_cast<DWORD>(s.size() + 1);
  std::memcpy(buf, s.data(), s.size() * sizeof(WCHAR));
  buf[s.size()] = 0;
  return static_cast<DWORD>(s.size());
}

// ---- code pages -------------------------------------------------------------------------------

namespace {

// Windows 1252: 0x80-0x9F differ from Latin-1; the five undefined bytes map to their C1 controls.
constexpr std::array<WCHAR, 32> k1252High = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                             0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                             0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                             0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// A code page as two tables: bytes to UTF-16 and UTF-16 to bytes. DBCS tables are built once
// from iconv, so that every later conversion is a lookup.
struct CodePage {
  UINT id = 0;
  bool dbcs = false;
  std::array<bool, 256> lead{};
  std::vector<WCHAR> to_wide;      // single bytes at [b], pairs at [lead << 8 | trail]; 0 = none
  std::vector<uint16_t> to_bytes;  // per UTF-16 unit: the byte or the pair; 0 = unmappable
  WCHAR wide_default = u'?';
  char byte_default = '?';
};

WCHAR iconv_one(iconv_t cd, const char* in, size_t len) {
  char16_t out[4] = {};
  char* ip = const_cast<char*>(in);
  char* op = reinterpret_cast<char*>(out);
  size_t il = len, ol = sizeof out;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  if (iconv(cd, &ip, &il, &op, &ol) == static_cast<size_t>(-1) || il != 0) return 0;
  if (sizeof out - ol != 2) return 0;  // nothing, or outside the BMP
  return out[0];
}

std::unique_ptr<CodePage> build(UINT id) {
  auto cp = std::make_unique<CodePage>();
  cp->id = id;
  cp->to_bytes.assign(0x10000, 0);
  if (id == 1252) {
    cp->to_wide.assign(256, 0);
    for (int b = 0; b < 256; ++b) {
      WCHAR w = (b >= 0x80 && b < 0xA0) ? k1252High[b - 0x80] : static_cast<WCHAR>(b);
      cp->to_wide[b] = w;
      if (!cp->to_bytes[w] || w == b) cp->to_bytes[w] = static_cast<uint16_t>(b);
    }
    cp->to_bytes[0] = 0;
    return cp;
  }
  if (id == 437 || id == 850) {  // the OEM pages of Western systems, single bytes
    cp->to_wide.assign(256, 0);
    iconv_t cd = iconv_open("UTF-16LE", id == 437 ? "CP437" : "CP850");
    if (cd == reinterpret_cast<iconv_t>(-1)) return cp;
    for (int b = 1; b < 256; ++b) {
      char in = static_cast<char>(b);
      cp->to_wide[b] = b < 0x80 ? static_cast<WCHAR>(b) : iconv_one(cd, &in, 1);
    }
    iconv_close(cd);
    for (int b = 255; b > 0; --b)
      if (WCHAR w = cp->to_wide[b]) cp->to_bytes[w] = static_cast<uint16_t>(b);
    return cp;
  }
  cp->dbcs = true;
  cp->wide_default = 0x30FB;
  cp->to_wide.assign(0x10000, 0);
  iconv_t cd = iconv_open("UTF-16LE", id == 936 ? "CP936" : "CP950");
  if (cd == reinterpret_cast<iconv_t>(-1)) return cp;
  for (int b = 1; b < 0x80; ++b) cp->to_wide[b] = static_cast<WCHAR>(b);
  if (id == 936) cp->to_wide[0x80] = 0x20AC;
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    cp->lead[lead] = true;
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;
      char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      if (WCHAR w = iconv_one(cd, in, 2)) cp->to_wide[(lead << 8) | trail] = w;
    }
  }
  iconv_close(cd);
  for (int i = 0x10000 - 1; i > 0; --i) {
    if (WCHAR w = cp->to_wide[i]) cp->to_bytes[w] = static_cast<uint16_t>(i);
  }
  return cp;
}

const CodePage* codepage(UINT id) {
  static std::mutex mu;
  static std::map<UINT, std::unique_ptr<CodePage>> pages;
  if (id != 936 && id != 950 && id != 1252 && id != 437 && id != 850) return nullptr;
  std::lock_guard lock(mu);
  auto& p = pages[id];
  if (!p) p = build(id);
  return p.get();
}

UINT real_cp(UINT cp) {
  if (cp == CP_ACP) return machine().acp;
  if (cp == CP_OEMCP) return machine().oemcp;
  return cp;
}

// Bytes to UTF-16 through a table; `ok` turns false on a byte sequence the page does not define.
WStr decode(const CodePage& cp, std::string_view s, bool* ok) {
  WStr out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b == 0) {
      out += u'\0';
      continue;
    }
    if (cp.dbcs && cp.lead[b]) {
      auto t = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
      if (t >= 0x40 && t != 0x7F && t != 0xFF) {
        ++i;
        WCHAR w = cp.to_wide[(b << 8) | t];
        if (!w && ok) *ok = false;
        out += w ? w : cp.wide_default;
        continue;
      }
      if (ok) *ok = false;
      out += cp.wide_default;
      continue;
    }
    WCHAR w = cp.to_wide[b];
    if (!w && ok) *ok = false;
    out += w ? w : cp.wide_default;
  }
  return out;
}

std::string encode(const CodePage& cp, WStrView s, char def, bool* used_default) {
  std::string out;
  out.reserve(s.size() * 2);
  for (WCHAR w : s) {
    if (w == 0) {
      out += '\0';
      continue;
    }
    uint16_t v = cp.to_bytes[w];
    if (!v) {
      out += def;
      if (used_default) *used_default = true;
    } else if (v > 0xFF) {
      out += static_cast<char>(v >> 8);
      out += static_cast<char>(v & 0xFF);
    } else {
      out += static_cast<char>(v);
    }
  }
  return out;
}

}  // namespace

std::string to_codepage(WStrView s, UINT cp) {
  cp = real_cp(cp);
  if (cp == CP_UTF8) return to_utf8(s);
  const CodePage* page = codepage(cp);
  return page ? encode(*page, s, page->byte_default, nullptr) : to_utf8(s);
}

WStr from_codepage(std::string_view s, UINT cp) {
  cp = real_cp(cp);
  if (cp == CP_UTF8) return from_utf8(s);
  const CodePage* page = codepage(cp);
  return page ? decode(*page, s, nullptr) : from_utf8(s);
}

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API UINT WINAPI GetACP(void) {
  fault("GetACP");
  return machine().acp;
}

WINSIM_API UINT WINAPI GetOEMCP(void) {
  fault("GetOEMCP");
  return machine().oemcp;
}

WINSIM_API int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar) {
  if (DWORD e = fault("MultiByteToWideChar")) {
    SetLastError(e);
    return 0;
  }
  UINT cp = real_cp(CodePage);
  const winsim::CodePage* page = cp == CP_UTF8 ? nullptr : codepage(cp);
  if ((cp != CP_UTF8 && !page) || !lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
      (cchWideChar > 0 && !lpWideCharStr) || (dwFlags & ~MB_ERR_INVALID_CHARS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t len = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  bool ok = true;
  std::string_view in(lpMultiByteStr, len);
  WStr out = page ? decode(*page, in, &ok) : decode_utf8(in, &ok);
  if (!ok && (dwFlags & MB_ERR_INVALID_CHARS)) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (cchWideChar == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(cchWideChar)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpWideCharStr, out.data(), out.size() * sizeof(WCHAR));
  return static_cast<int>(out.size());
}

WINSIM_API int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                          PBOOL lpUsedDefaultChar) {
  if (DWORD e = fault("WideCharToMultiByte")) {
    SetLastError(e);
    return 0;
  }
  UINT cp = real_cp(CodePage);
  const winsim::CodePage* page = cp == CP_UTF8 ? nullptr : codepage(cp);
  bool bad = (cp != CP_UTF8 && !page) || !lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
             (cbMultiByte > 0 && !lpMultiByteStr) || (dwFlags & ~WC_NO_BEST_FIT_CHARS) ||
             (cp == CP_UTF8 && (lpDefaultChar || lpUsedDefaultChar));
  if (bad) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t len = 0;
  if (cchWideChar == -1) {
    while (lpWideCharStr[len]) ++len;
    ++len;
  } else {
    len = static_cast<size_t>(cchWideChar);
  }
  WStrView in(lpWideCharStr, len);
  bool used = false;
  std::string out = page ? encode(*page, in, lpDefaultChar ? *lpDefaultChar : page->byte_default, &used) : to_utf8(in);
  if (lpUsedDefaultChar) *lpUsedDefaultChar = used ? TRUE : FALSE;
  if (cbMultiByte == 0) return static_cast<int>(out.size());
  if (out.size() > static_cast<size_t>(cbMultiByte)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpMultiByteStr, out.data(), out.size());
  return static_cast<int>(out.size());
}

}  // extern "C"
