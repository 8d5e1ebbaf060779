// An INI file read through the system's profile reader, with the reading rules the installer's
// files are written for: texts of at most 2047 characters, integers in decimal or hexadecimal,
// booleans as integers.
#pragma once

#include "text.h"

class TIniFile {
 public:
  explicit TIniFile(WStr fileName) : m_FileName(std::move(fileName)) {}

  WStr ReadString(const WStr& section, const WStr& ident, const WStr& def) const;
  int ReadInteger(const WStr& section, const WStr& ident, int def) const;
  bool ReadBool(const WStr& section, const WStr& ident, bool def) const;

 private:
  WStr m_FileName;
};
