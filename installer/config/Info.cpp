#include "Info.h"

#include "debuglog/DebugLog.h"
#include "installer/startup/RunState.h"

namespace {

const WStr kResource = W_("Resource");

[[noreturn]] void Fail(const WStr& section, const WCHAR* text) { throw KelvaneError(section + text); }

// A link is a web address ("http..." in any case) or a file or folder beside the executable;
// one that names nothing is dropped.
WStr ResolveLink(const WStr& value, const WStr& exeFolder) {
  if (value.empty() || StartsWithAscii(value.substr(0, 4), W_("HTTP"))) return value;
  WStr full = exeFolder + value;
  return FileExists(full) || DirectoryExists(full) ? full : WStr();
}

// A configured folder: one trailing "\" dropped; empty means the executable's folder, "*" stays
// as written, anything else lies beside the executable.
WStr ConfiguredFolder(WStr value, const WStr& exeFolder) {
  if (!value.empty() && value.back() == u'\\') value.pop_back();
  if (value.empty()) return ExcludeTrailingPathDelimiter(exeFolder);
  return value == W_("*") ? value : exeFolder + value;
}

}  // namespace

WStr TInstallInfos::LangKeySuffix() {
  switch (UILanguageId) {
    case 1028:
    case 2052:
    case 3076:
    case 4100:
    case 5124:
      return {};
    default:
      return W_("EN");
  }
}

void TInstallInfos::LoadFromFile(const WStr& FileName) {
  if (!FileExists(FileName)) return;
  TIniFile ini(FileName);
  LoadSettings(&ini);
}

void TInstallInfos::LoadSettings(const TIniFile* Ini) {
  if (!Ini) return;
  const TIniFile& ini = *Ini;
  TheDebugger().SetActive(ini.ReadBool(kResource, W_("DBGMSG"), false));
  int count = ini.ReadInteger(kResource, W_("Item"), 1);

  TRInstallInfo shared;
  shared.OEMManufactor = ini.ReadString(kResource, W_("Name"), W_(""));
  if (shared.OEMManufactor.empty()) shared.OEMManufactor = W_("___");
  shared.OEMLogo = ini.ReadString(kResource, W_("Logo"), W_("logo.jpg"));
  shared.OEMLogoUrl = ini.ReadString(kResource, W_("LogoURL"), W_(""));
  shared.OEMColor = ini.ReadString(kResource, W_("Color"), W_("800080"));
  shared.OEMMainTitle = ini.ReadString(kResource, W_("MainTitle"), W_(""));
  shared.BGImage = ini.ReadString(kResource, W_("BackImage"), W_(""));
  shared.View = ini.ReadInteger(kResource, W_("View"), 0);

  std::vector<TRInstallInfo> items;
  if (count < 1) {
    // No entry to hold the shared values, and nothing to install: the window offers no install.
    TheDebugger().LogMsgError(W_("配置文件[Resource]的Item小于1，沒有可安裝的打印機！"));
  }
  // Entries are read one by one rather than made up front, so that an absurd Item count ends
  // at the first missing section instead of exhausting memory.
  for (int i = 0; i < count; ++i) {
    WStr section = count == 1 ? W_("PrinterInfo") : W_("PrinterInfo") + IntToStr(i + 1);
    TRInstallInfo e = shared;
    LoadEntry(ini, section, e);
    items.push_back(std::move(e));
  }
  std::lock_guard lock(m_cs);
  m_InfoItems = std::move(items);
}

void TInstallInfos::LoadEntry(const TIniFile& ini, const WStr& S, TRInstallInfo& e) const {
  const WStr exeFolder = GetModuleFolder();
  const WStr suffix = LangKeySuffix();
  auto str = [&](const WCHAR* key, const WCHAR* def) { return ini.ReadString(S, key, def); };
  auto lang = [&](const WCHAR* key, const WCHAR* def) { return ini.ReadString(S, key + suffix, def); };

  e.IgnoreCatBelowWinVer = ini.ReadInteger(S, W_("IgnoreCat"), 52);
  e.ViewMode = ini.ReadInteger(S, W_("ViewMode"), 10) / 10;
  e.Index = ini.ReadInteger(S, W_("Index"), 0) / 10;
  e.Logo = str(W_("Logo"), W_(""));
  e.PrinterManager = ini.ReadBool(S, W_("PrinterManager"), true);
  e.CIDForVersion = ini.ReadInteger(S, W_("CIDForVersion"), 62);
  e.PrinterName = str(W_("PrinterName"), W_(""));
  e.CompatibleName = str(W_("CompatibleName"), W_(""));
  if (e.CompatibleName.empty()) {
    TheDebugger().LogMsgWarning(W_("No Compatible Informations !!!"));
    e.CIDForVersion = 1024;
  }
  if (e.PrinterName.empty()) Fail(S, W_(" 配置文件出错，打印机名称不存在！"));
  e.PrinterHWID = str(W_("PrinterID"), W_(""));
  if (e.PrinterHWID.empty()) Fail(S, W_(" 配置文件出错，没有指定打印机硬件ID！"));
  e.CompatibleID = str(W_("CompatibleID"), W_(""));
  e.MustUninstallForGDP = str(W_("MustUninstallForGDP"), W_(""));
  e.UninstallerOnRestart = exeFolder + str(W_("UninstallerOnRestart"), W_("I386\\ZEVidIzu.exe"));
  e.PrintWidth = ini.ReadInteger(S, W_("PrintWidth"), 110);
  e.PrinterType = str(W_("PrinterType"), W_("Flat"));

  // The driver folder: Root followed by the INF's folder part, beside the executable.
  const WStr inf = str(W_("INF"), W_(""));
  e.DriverDir = ConfiguredFolder(str(W_("Root"), W_("*")) + ExtractFilePath(inf), exeFolder);
  if (!DirectoryExists(e.DriverDir)) Fail(S, W_(" 配置文件出错，指定的驱动程序文件夹不存在！"));
  const WStr infName = ExtractFileName(inf);
  if (infName.empty()) Fail(S, W_(" 配置文件出错，没有指定INF文件！"));
  e.INF2K = e.DriverDir + W_("\\") + infName;
  e.INFX64 = e.DriverDir + W_("\\") + infName;
  if (!FileExists(IsWin64 ? e.INFX64 : e.INF2K)) Fail(S, W_(" 指定的INF文件不存在！"));

  e.CompatibleDriverDir = ConfiguredFolder(str(W_("CompatibleDriverDir"), W_("*")), exeFolder);
  const WStr compatibleInf = str(W_("CompatibleINF"), W_(""));
  e.CompatibleINF2K = e.CompatibleDriverDir + W_("\\") + compatibleInf;
  e.CompatibleINFX64 = e.CompatibleINF2K;

  if (!e.CompatibleName.empty() && e.CIDForVersion <= WinVersion) {
    e.PrinterName = e.CompatibleName;
    e.PrinterHWID = e.CompatibleID;
    e.DriverDir = e.CompatibleDriverDir;
    e.INF2K = e.CompatibleINF2K;
    e.INFX64 = e.CompatibleINFX64;
  }

  e.OfflineHWIDPre = str(W_("OfflineHWIDPre"), W_("SERENUM\\"));
  e.FunctionDescribe = lang(W_("FunctionDescribe"), W_("平推打印机"));
  e.InstallGuide = lang(W_("InstallGuide"), W_("ReadmeEN.txt"));
  e.QuickGuide = lang(W_("QuickGuide"), W_(""));
  e.UserManual = lang(W_("UserManual"), W_(""));
  e.DefaultPort = str(W_("DefaultPort"), W_("USB"));
  e.ForceOnlineCheck = ini.ReadBool(S, W_("ForceOnlineCheck"), false);
  e.PromptCheck = ini.ReadBool(S, W_("PromptCheck"), false);
  e.AutoMode = ini.ReadBool(S, W_("AutoMode"), false);
  e.QuiteMode = ini.ReadBool(S, W_("QuiteMode"), false);
  e.PrintProcess = str(W_("PrintProcess"), W_(""));
  e.DefaultForm = str(W_("DefaultForm"), W_(""));
  e.PreRun = str(W_("PreRun"), W_(""));
  e.InstallOCX = str(W_("InstallOCX"), W_(""));
  e.AfterRun = str(W_("AfterRun"), W_(""));
  e.AlwaysSetDefault = ini.ReadBool(S, W_("AlwaysSetDefault"), false);
  e.PrinterImage = lang(W_("PrinterImage"), W_(""));
  e.PDFReader = lang(W_("PDFReader"), W_(""));

  e.Button2Link = ResolveLink(lang(W_("Manual"), W_("")), exeFolder);
  e.Button3Link = ResolveLink(lang(W_("Button3"), W_("")), exeFolder);
  e.Button4Link = ResolveLink(lang(W_("Button4"), W_("")), exeFolder);
  e.Button5Link = ResolveLink(lang(W_("Button5"), W_("")), exeFolder);
}

void TInstallInfos::CheckIndex(int index) const {
  int count = static_cast<int>(m_InfoItems.size());
  if (index < 0 || index >= count)
    throw KelvaneError(Format(W_("获取设置组的时候超出索引，最大为%d，输入为%d"), {count, index}));
}

void TInstallInfos::GetAInfoItem(int iPrinter, TRInstallInfo& Info) const {
  std::lock_guard lock(m_cs);
  CheckIndex(iPrinter);
  Info = m_InfoItems[static_cast<size_t>(iPrinter)];
}

void TInstallInfos::SetDefaultPort(int Index, const WStr& PortName) {
  std::lock_guard lock(m_cs);
  CheckIndex(Index);
  m_InfoItems[static_cast<size_t>(Index)].DefaultPort = PortName;
}

int TInstallInfos::GetCount() const {
  std::lock_guard lock(m_cs);
  return static_cast<int>(m_InfoItems.size());
}
