#include "text.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "common/handles.h"
#include "win32/kernel.h"

KelvaneError::KelvaneError(WStr message) : message_(std::move(message)), utf8_(ToUtf8(message_)) {}

WStr UpperAscii(WStrView s) {
  WStr out(s);
  for (auto& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<WCHAR>(c - 0x20);
  return out;
}

bool SameTextAscii(WStrView a, WStrView b) { return a.size() == b.size() && UpperAscii(a) == UpperAscii(b); }

bool StartsWithAscii(WStrView s, WStrView prefix) {
  return !prefix.empty() && s.size() >= prefix.size() && SameTextAscii(s.substr(0, prefix.size()), prefix);
}

static std::string convert_out(WStrView s, UINT cp) {
  if (s.empty()) return {};
  int n = WideCharToMultiByte(cp, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) WideCharToMultiByte(cp, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string ToAnsi(WStrView s) { return convert_out(s, CP_ACP); }
std::string ToUtf8(WStrView s) { return convert_out(s, CP_UTF8); }

WStr FromAnsi(std::string_view s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  WStr out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

WStr ExtractFilePath(WStrView path) {
  size_t p = path.find_last_of(W_("\\:"));
  return p == WStrView::npos ? WStr() : WStr(path.substr(0, p + 1));
}

WStr ExtractFileName(WStrView path) {
  size_t p = path.find_last_of(W_("\\:"));
  return WStr(p == WStrView::npos ? path : path.substr(p + 1));
}

WStr ChangeFileExt(WStrView path, WStrView ext) {
  size_t dot = path.find_last_of(W_(".\\:"));
  WStrView base = (dot != WStrView::npos && path[dot] == u'.') ? path.substr(0, dot) : path;
  return WStr(base) + WStr(ext);
}

WStr ExtractFileExt(WStrView path) {
  size_t dot = path.find_last_of(W_(".\\:"));
  return dot != WStrView::npos && path[dot] == u'.' ? WStr(path.substr(dot)) : WStr();
}

WStr IncludeTrailingPathDelimiter(WStrView path) {
  WStr p(path);
  if (p.empty() || p.back() != u'\\') p += u'\\';
  return p;
}

WStr ExcludeTrailingPathDelimiter(WStrView path) {
  WStr p(path);
  if (!p.empty() && p.back() == u'\\') p.pop_back();
  return p;
}

namespace {

// "C:" or "\\server\share" at the start of a path; empty when there is none.
WStrView FileDrive(WStrView path) {
  if (path.size() >= 2 && path[1] == u':') return path.substr(0, 2);
  if (path.substr(0, 2) != W_("\\\\")) return {};
  size_t server = path.find(u'\\', 2);
  if (server == WStrView::npos) return path;
  size_t share = path.find(u'\\', server + 1);
  return path.substr(0, share == WStrView::npos ? path.size() : share);
}

std::vector<WStr> Folders(WStrView folderPath) {
  std::vector<WStr> out;
  size_t start = 0;
  while (start < folderPath.size()) {
    size_t end = folderPath.find(u'\\', start);
    if (end == WStrView::npos) end = folderPath.size();
    if (end > start) out.emplace_back(folderPath.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

}  // namespace

WStr ExtractRelativePath(WStrView baseName, WStrView destName) {
  WStr basePath = ExtractFilePath(baseName), destPath = ExtractFilePath(destName);
  WStrView baseDrive = FileDrive(basePath), destDrive = FileDrive(destPath);
  if (!SameTextAscii(baseDrive, destDrive)) return WStr(destName);
  std::vector<WStr> base = Folders(WStrView(basePath).substr(baseDrive.size()));
  std::vector<WStr> dest = Folders(WStrView(destPath).substr(destDrive.size()));
  size_t common = 0;
  while (common < base.size() && common < dest.size() && SameTextAscii(base[common], dest[common])) ++common;
  WStr out;
  for (size_t i = common; i < base.size(); ++i) out += W_("..\\");
  for (size_t i = common; i < dest.size(); ++i) out += dest[i] + W_("\\");
  return out + ExtractFileName(destName);
}

WStr IntToStr(long long v) {
  std::string s = std::to_string(v);
  return WStr(s.begin(), s.end());
}

int StrToIntDef(WStrView s, int def) {
  size_t i = 0;
  while (i < s.size() && s[i] == u' ') ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == u'-' || s[i] == u'+')) neg = s[i++] == u'-';
  bool hex = false;
  if (i < s.size() && s[i] == u'$') {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return def;
  unsigned long long v = 0;
  for (; i < s.size(); ++i) {
    WCHAR c = s[i];
    unsigned d = c >= u'0' && c <= u'9'          ? c - u'0'
                 : hex && c >= u'a' && c <= u'f' ? c - u'a' + 10
                 : hex && c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                 : 99;
    if (d >= (hex ? 16u : 10u)) return def;
    v = v * (hex ? 16 : 10) + d;
    if (v > 0xFFFFFFFFull) return def;
  }
  // Hexadecimal fills the 32 bits ($FFFFFFFF is -1) and a sign negates them modulo 2^32, so
  // "-$80000000" is the smallest integer; the arithmetic stays unsigned to keep that defined.
  auto bits = static_cast<std::uint32_t>(v);
  if (!hex && v > (neg ? 2147483648ull : 2147483647ull)) return def;
  if (neg) bits = 0u - bits;
  return static_cast<int>(bits);
}

bool FileExists(WStrView path) {
  WStr p(path);
  DWORD a = GetFileAttributesW(p.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(WStrView path) {
  WStr p(path);
  DWORD a = GetFileAttributesW(p.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

WStr GetModuleFolder() {
  WCHAR buf[MAX_PATH * 2] = {};
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH * 2);
  return ExtractFilePath(WStr(buf, n < MAX_PATH * 2 ? n : 0));
}

WStr SystemErrorText(DWORD code) {
  WCHAR buf[1024] = {};
  DWORD n =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf, 1024, nullptr);
  WStr s(buf, n);
  while (!s.empty() && (s.back() == u'\r' || s.back() == u'\n')) s.pop_back();
  return s;
}

std::optional<WStr> ReadTextFile(const WStr& path, DWORD maxBytes, bool* tooLarge) {
  if (tooLarge) *tooLarge = false;
  unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return std::nullopt;
  DWORD high = 0;
  DWORD size = GetFileSize(file.get(), &high);
  if (size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return std::nullopt;
  if (high != 0 || size > maxBytes) {
    if (tooLarge) *tooLarge = true;
    return std::nullopt;
  }
  std::string bytes(size, '\0');
  DWORD got = 0;
  if (size > 0 && !ReadFile(file.get(), bytes.data(), size, &got, nullptr)) return std::nullopt;
  bytes.resize(got);
  auto starts = [&](std::string_view mark) { return bytes.compare(0, mark.size(), mark) == 0; };
  if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
    bool big = bytes[0] == '\xFE';
    WStr text;
    text.reserve(bytes.size() / 2);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      auto lo = static_cast<unsigned char>(bytes[big ? i + 1 : i]);
      auto hi = static_cast<unsigned char>(bytes[big ? i : i + 1]);
      text += static_cast<WCHAR>(lo | (hi << 8));
    }
    return text;
  }
  if (starts("\xEF\xBB\xBF")) {
    std::string body = bytes.substr(3);
    int n = MultiByteToWideChar(CP_UTF8, 0, body.data(), static_cast<int>(body.size()), nullptr, 0);
    WStr text(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, body.data(), static_cast<int>(body.size()), text.data(), n);
    return text;
  }
  return FromAnsi(bytes);
}
