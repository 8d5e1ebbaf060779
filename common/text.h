// Text helpers shared by the deliverables: ASCII case rules, ANSI conversion, file-name parts
// and the errors that carry a message text.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "win32/base.h"

using TStringList = std::vector<WStr>;

// An error that ends the caller's work, carrying the exact text the user or the log gets.
class KelvaneError : public std::exception {
 public:
  explicit KelvaneError(WStr message);
  const WStr& message() const { return message_; }
  const char* what() const noexcept override { return utf8_.c_str(); }

 private:
  WStr message_;
  std::string utf8_;
};

// Upper-cases the ASCII letters a to z only.
WStr UpperAscii(WStrView s);
bool SameTextAscii(WStrView a, WStrView b);
bool StartsWithAscii(WStrView s, WStrView prefix);  // ignoring ASCII case

// The system's ANSI code page, both ways.
std::string ToAnsi(WStrView s);
WStr FromAnsi(std::string_view s);
std::string ToUtf8(WStrView s);

// File-name parts the Windows way: the folder part keeps its trailing "\" (or "X:").
WStr ExtractFilePath(WStrView path);
WStr ExtractFileName(WStrView path);
WStr ChangeFileExt(WStrView path, WStrView ext);
WStr ExtractFileExt(WStrView path);  // with its dot; empty when the name has none
WStr IncludeTrailingPathDelimiter(WStrView path);
WStr ExcludeTrailingPathDelimiter(WStrView path);
// `destName` relative to the folder of `baseName` ("..\" for each folder to climb), or
// `destName` itself when the two are on different drives.
WStr ExtractRelativePath(WStrView baseName, WStrView destName);

WStr IntToStr(long long v);
// Integers as the configuration files write them: decimal, "$" or "0x" hexadecimal; `def` when
// the text is no such number or does not fit 32 bits.
int StrToIntDef(WStrView s, int def);

bool FileExists(WStrView path);       // an existing file, not a folder
bool DirectoryExists(WStrView path);  // an existing folder
WStr GetModuleFolder();               // the executable's folder with a trailing "\"
WStr SystemErrorText(DWORD code);
// The whole of a text file, decoded by its byte-order mark (UTF-16 either way round, UTF-8), else
// in the ANSI code page. None when it cannot be read or holds more than `maxBytes` (then
// `tooLarge` is set).
std::optional<WStr> ReadTextFile(const WStr& path, DWORD maxBytes, bool* tooLarge = nullptr);     // the system's message for a code, line break removed
