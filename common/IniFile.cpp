#include "IniFile.h"

#include "win32/profile.h"

WStr TIniFile::ReadString(const WStr& section, const WStr& ident, const WStr& def) const {
  WCHAR buf[2048];
  DWORD n = GetPrivateProfileStringW(section.c_str(), ident.c_str(), def.c_str(), buf, 2048, m_FileName.c_str());
  return WStr(buf, n);
}

int TIniFile::ReadInteger(const WStr& section, const WStr& ident, int def) const {
  WStr v = ReadString(section, ident, W_(""));
  if (v.size() > 2 && v[0] == u'0' && (v[1] == u'x' || v[1] == u'X')) v = W_("$") + v.substr(2);
  return StrToIntDef(v, def);
}

bool TIniFile::ReadBool(const WStr& section, const WStr& ident, bool def) const {
  return ReadInteger(section, ident, def ? 1 : 0) != 0;
}
