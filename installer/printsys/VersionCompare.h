// Version questions the install asks before it touches a driver: does a printer run an older GPD
// file than the package demands, and does the package's INF differ from the copy buffered earlier.
// Versions are compared part by part as numbers (1.10 is newer than 1.9), never as text.
#pragma once

#include "common/text.h"

// Result of InfCompareVersion when one of the two files does not exist.
constexpr int kInfMissing = 2147483647;
// The GPD files and INF values read are held to these sizes; a longer file is refused.
constexpr DWORD kMaxGPDFileBytes = 16u * 1024 * 1024;
constexpr size_t kGPDVersionPrefixChars = 18;  // "*GPDFileVersion: \""
constexpr size_t kGPDVersionChars = 10;        // looked at after the prefix, closing quote included
constexpr size_t kDriverVerVersionChars = 25;

// The GPD version a line of a GPD file gives: true when the line begins with
// *GPDFileVersion: " (case-sensitive); `version` is then the text before the closing quote among
// the 10 characters that follow, or empty when no quote is among them.
bool GPDVersionOfLine(WStrView line, WStr& version);

// A DriverVer value cut into its date text (before the first ",") and its version text (up to 25
// characters after it, blanks and control characters trimmed); without "," the date is empty and
// the version is the value's first 25 characters, trimmed.
struct TDriverVer {
  WStr Date;
  WStr Version;
};
TDriverVer SplitDriverVer(WStrView value);

// A DriverVer version text as parts: split at every "." (consecutive dots give an empty part) and
// at blanks inside, padded with "0" to at least four parts.
TStringList DriverVerParts(WStrView version);

// Compares two DriverVer values the way InfCompareVersion does after reading them: 1 when the
// first is newer, -1 when it is older, 0 when the versions are equal and the dates at most one day
// apart. Raises KelvaneError "Inf DriverVer Format Error: INF1<..> INF2<..>" when the versions are
// equal and a date cannot be read as month/day/year.
int CompareDriverVer(WStrView first, WStrView second);

// The printers (from the printer list) whose driver is exactly `driverName`, and the GPD version
// of that driver's data file (empty when none is found; the last qualifying line read decides).
void GetGPDFileVersion(const WStr& driverName, TStringList& printers, WStr& version);

// Whether the GPD version installed for the driver is older than `requiredVersion`, compared part
// by part as decimal numbers over the parts both have; `printers` as from GetGPDFileVersion.
// Raises KelvaneError when a compared part is no decimal number.
bool IsOlderGPDVersionInstalled(const WStr& driverName, const WStr& requiredVersion, TStringList& printers);

// Compares the DriverVer lines of two INF files: 1, 0, -1 (see CompareDriverVer), or kInfMissing
// when either file does not exist.
int InfCompareVersion(const WStr& firstInf, const WStr& secondInf);
