#include "VersionCompare.h"

#include <optional>
#include <string>
#include <vector>

#include "Spooler.h"
#include "common/handles.h"
#include "debuglog/DebugLog.h"
#include "win32/kernel.h"
#include "win32/profile.h"

namespace {

constexpr DWORD kDriverVerChars = 2048;
const WStr kCompareTag = W_("InfCompareVersion");

bool IsBlankOrControl(WCHAR c) { return c <= u' '; }

WStr TrimBlanks(WStrView s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlankOrControl(s[b])) ++b;
  while (e > b && IsBlankOrControl(s[e - 1])) --e;
  return WStr(s.substr(b, e - b));
}

// A text that is only decimal digits, within 32 bits; none otherwise.
std::optional<int> StrictDecimal(WStrView s) {
  if (s.empty()) return std::nullopt;
  long long v = 0;
  for (WCHAR c : s) {
    if (c < u'0' || c > u'9') return std::nullopt;
    v = v * 10 + (c - u'0');
    if (v > 2147483647) return std::nullopt;
  }
  return static_cast<int>(v);
}

// A version part as an integer: an optional sign and decimal digits within 32 bits.
std::optional<int> DecimalPart(WStrView s) {
  bool negative = !s.empty() && s[0] == u'-';
  if (!s.empty() && (s[0] == u'-' || s[0] == u'+')) s.remove_prefix(1);
  auto v = StrictDecimal(s);
  if (!v) return std::nullopt;
  return negative ? -*v : *v;
}

TStringList SplitAt(WStrView s, WCHAR sep) {
  TStringList parts;
  size_t start = 0;
  for (;;) {
    size_t end = s.find(sep, start);
    parts.emplace_back(s.substr(start, end == WStrView::npos ? WStrView::npos : end - start));
    if (end == WStrView::npos) break;
    start = end + 1;
  }
  return parts;
}

// Days from 1 January of year 1 to the date, or none when the date does not exist.
std::optional<long long> DayNumber(int month, int day, int year) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return std::nullopt;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int inMonth = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day > inMonth) return std::nullopt;
  long long y = year - 1;
  long long days = y * 365 + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < month; ++m) days += kDays[m - 1] + (m == 2 && leap ? 1 : 0);
  return days + day - 1;
}

// "month/day/year" as a day number, or none when it is not such a date.
std::optional<long long> DriverVerDate(WStrView date) {
  TStringList parts = SplitAt(date, u'/');
  if (parts.size() != 3) return std::nullopt;
  auto m = StrictDecimal(parts[0]), d = StrictDecimal(parts[1]), y = StrictDecimal(parts[2]);
  if (!m || !d || !y) return std::nullopt;
  return DayNumber(*m, *d, *y);
}

// The whole file as text, or none when it cannot be read or is larger than a GPD file can
// sensibly be.
std::optional<WStr> ReadTextFile(const WStr& path) {
  bool tooLarge = false;
  std::optional<WStr> text = ::ReadTextFile(path, kMaxGPDFileBytes, &tooLarge);
  if (tooLarge) TheDebugger().LogMsgWarning(W_("GPD文件過大，不讀取：") + path);
  return text;
}

// Applies every *GPDFileVersion line of the text in order; the last one decides.
void ScanGPDText(WStrView text, WStr& version) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(W_("\r\n"), start);
    if (end == WStrView::npos) end = text.size();
    WStr lineVersion;
    if (GPDVersionOfLine(text.substr(start, end - start), lineVersion)) version = lineVersion;
    start = end + 1;
    if (end < text.size() && text[end] == u'\r' && start < text.size() && text[start] == u'\n') ++start;
  }
}

WStr ReadDriverVer(const WStr& inf) {
  std::vector<WCHAR> buf(kDriverVerChars, u'\0');
  DWORD n = GetPrivateProfileStringW(W_("Version"), W_("DriverVer"), W_(""), buf.data(), kDriverVerChars, inf.c_str());
  return WStr(buf.data(), std::min<DWORD>(n, kDriverVerChars - 1));
}

}  // namespace

bool GPDVersionOfLine(WStrView line, WStr& version) {
  static const WStrView kPrefix = W_("*GPDFileVersion: \"");
  static_assert(kGPDVersionPrefixChars == 18);
  if (line.substr(0, kGPDVersionPrefixChars) != kPrefix) return false;
  WStrView after = line.substr(kGPDVersionPrefixChars, kGPDVersionChars);
  size_t quote = after.find(u'"');
  version = quote == WStrView::npos ? WStr() : WStr(after.substr(0, quote));
  return true;
}

TDriverVer SplitDriverVer(WStrView value) {
  TDriverVer v;
  size_t comma = value.find(u',');
  if (comma == WStrView::npos) {
    v.Version = TrimBlanks(value.substr(0, kDriverVerVersionChars));
  } else {
    v.Date = WStr(value.substr(0, comma));
    v.Version = TrimBlanks(value.substr(comma + 1, kDriverVerVersionChars));
  }
  return v;
}

TStringList DriverVerParts(WStrView version) {
  TStringList parts;
  // Dots separate one by one; a run of blanks inside a dotted part separates once.
  for (const WStr& dotted : SplitAt(version, u'.')) {
    size_t before = parts.size();
    size_t i = 0;
    while (i < dotted.size()) {
      while (i < dotted.size() && dotted[i] == u' ') ++i;
      size_t end = dotted.find(u' ', i);
      if (end == WStr::npos) end = dotted.size();
      if (end > i) parts.push_back(dotted.substr(i, end - i));
      i = end;
    }
    if (parts.size() == before) parts.emplace_back();
  }
  while (parts.size() < 4) parts.push_back(W_("0"));
  return parts;
}

int CompareDriverVer(WStrView first, WStrView second) {
  TDriverVer a = SplitDriverVer(first), b = SplitDriverVer(second);
  TStringList pa = DriverVerParts(a.Version), pb = DriverVerParts(b.Version);
  size_t n = std::min(pa.size(), pb.size());
  TheDebugger().LogFmtWithTag(W_("準備比較版本號，長度（1 - %d）！"), {static_cast<long long>(n)}, kCompareTag);
  for (size_t i = 0; i < n; ++i) {
    int x = DecimalPart(pa[i]).value_or(0), y = DecimalPart(pb[i]).value_or(0);
    if (x != y) return x > y ? 1 : -1;
  }
  if (pa.size() != pb.size()) return pa.size() > pb.size() ? 1 : -1;

  TheDebugger().LogFmtWithTag(W_("版本號相同，比較日期！"), {}, kCompareTag);
  auto da = DriverVerDate(a.Date), db = DriverVerDate(b.Date);
  if (!da || !db) {
    TheDebugger().LogErrorFmt(W_("出現嚴重錯誤，（月/日/年）日期比較出現異常：%s, %s"), {a.Date, b.Date});
    throw KelvaneError(Format(W_("Inf DriverVer Format Error: INF1<%s> INF2<%s>"), {a.Date, b.Date}));
  }
  double diff = static_cast<double>(*da - *db);
  TheDebugger().LogFmtWithTag(W_("日期相差：%f"), {diff}, kCompareTag);
  if (diff > 1) return 1;
  if (diff < -1) return -1;
  return 0;
}

void GetGPDFileVersion(const WStr& driverName, TStringList& printers, WStr& version) {
  version.clear();
  printers.clear();
  for (const WStr& name : ReadPrinterList()) {
    unique_printer printer = OpenPrinterByName(name);
    if (!printer) continue;
    DWORD needed = 0;
    GetPrinterDriverW(printer.get(), nullptr, 3, nullptr, 0, &needed);
    TSpoolerBuffer buffer(needed);
    if (!GetPrinterDriverW(printer.get(), nullptr, 3, buffer.data(), buffer.size(), &needed)) continue;
    const DRIVER_INFO_3W* info = buffer.record<DRIVER_INFO_3W>();
    if (!info || !info->pName || WStrView(info->pName) != driverName) continue;
    printers.push_back(name);
    if (!info->pDataFile) continue;
    // A data file that cannot be read leaves the version as it was.
    if (auto text = ReadTextFile(info->pDataFile)) ScanGPDText(*text, version);
  }
}

bool IsOlderGPDVersionInstalled(const WStr& driverName, const WStr& requiredVersion, TStringList& printers) {
  TStringList required = SplitAt(requiredVersion, u'.');
  WStr installedText;
  GetGPDFileVersion(driverName, printers, installedText);
  TStringList installed = installedText.empty() ? TStringList() : SplitAt(installedText, u'.');
  size_t n = std::min(required.size(), installed.size());
  for (size_t i = 0; i < n; ++i) {
    auto want = DecimalPart(required[i]), have = DecimalPart(installed[i]);
    if (!want || !have)
      throw KelvaneError(Format(W_("'%s' is not a valid integer value"), {want ? installed[i] : required[i]}));
    if (*want != *have) return *have < *want;
  }
  return false;
}

int InfCompareVersion(const WStr& firstInf, const WStr& secondInf) {
  if (!FileExists(firstInf) || !FileExists(secondInf)) return kInfMissing;
  return CompareDriverVer(ReadDriverVer(firstInf), ReadDriverVer(secondInf));
}
