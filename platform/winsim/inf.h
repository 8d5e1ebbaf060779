// Setup information (INF) files as the device-setup services read them: sections of lines, each
// an optional key and a list of comma-separated values, with %strings% from [Strings] put in.
#pragma once

#include "internal.h"

namespace winsim {

struct InfLine {
  std::optional<WStr> key;  // the text before "=", when there is one
  std::vector<WStr> values;
};

struct Inf {
  std::map<WStr, std::vector<InfLine>> sections;  // by folded name; the lines in file order

  const std::vector<InfLine>* section(WStrView name) const;
  // The first value of the first line of `section` whose key is `key` (ignoring case).
  std::optional<WStr> value(WStrView section, WStrView key) const;
};

// Parses the bytes of an INF (UTF-16 with its byte-order mark, else the machine's ANSI code
// page). A file that is no INF gives ERROR_WRONG_INF_STYLE, a line too long or an unclosed
// section name ERROR_GENERAL_SYNTAX.
std::optional<Inf> parse_inf(const std::string& bytes, DWORD& error);

// One model of a driver package: its description, install section and the IDs it serves.
struct InfModel {
  WStr description, section;
  std::vector<WStr> ids;
};

// The models of the INF for a platform ("NTamd64" or "NTx86"), through [Manufacturer] and its
// decorated model sections; an error code for a referenced section that is missing or a line
// without "=" where one is needed.
std::optional<std::vector<InfModel>> inf_models(const Inf& inf, WStrView platform, DWORD& error);

// DriverVer "mm/dd/yyyy,a.b.c.d" as a comparable pair (date as yyyymmdd, version as four words).
struct DriverVersion {
  unsigned long long date = 0, version = 0;
  auto operator<=>(const DriverVersion&) const = default;
};
DriverVersion driver_version(const Inf& inf);

}  // namespace winsim
