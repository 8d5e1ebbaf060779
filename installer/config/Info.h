// The install configuration: the printer entries of the package's INI file, checked and with
// their paths resolved when the file is loaded, handed out as copies by index.
#pragma once

#include <mutex>
#include <vector>

#include "common/IniFile.h"
#include "common/text.h"

struct TRInstallInfo {
  int CompanyIndex = 0;
  WStr OEMManufactor;
  WStr OEMLogo;
  WStr OEMLogoUrl;
  WStr OEMMainTitle;
  WStr OEMColor;
  int ViewMode = 0;
  int Index = 0;
  WStr Logo;
  bool PrinterManager = true;
  int CIDForVersion = 62;
  WStr PrinterName;
  WStr PrinterHWID;
  WStr CompatibleName;
  WStr CompatibleID;
  WStr MustUninstallForGDP;
  WStr UninstallerOnRestart;
  int PrintWidth = 110;
  WStr PrinterType;
  WStr DriverDir;
  WStr INF2K;
  WStr INFX64;
  WStr CompatibleDriverDir;
  WStr CompatibleINF2K;
  WStr CompatibleINFX64;
  WStr OfflineHWIDPre;
  WStr FunctionDescribe;
  WStr InstallGuide;
  WStr QuickGuide;
  WStr UserManual;
  WStr DefaultPort;
  bool ForceOnlineCheck = false;
  bool PromptCheck = false;
  bool AutoMode = false;
  bool QuiteMode = false;
  WStr PrintProcess;
  WStr DefaultForm;
  WStr PreRun;
  WStr InstallOCX;
  WStr AfterRun;
  bool AlwaysSetDefault = false;
  WStr Button2Link;
  WStr Button3Link;
  WStr Button4Link;
  WStr Button5Link;
  WStr Button6Link;
  WStr BGImage;
  WStr PrinterImage;
  WStr PDFReader;
  int IgnoreCatBelowWinVer = 52;
  int View = 0;
};

class TInstallInfos {
 public:
  // Reads the file when it exists; a missing file leaves the object empty. Raises KelvaneError
  // naming the section of the first faulty entry.
  void LoadFromFile(const WStr& FileName);
  void LoadSettings(const TIniFile* Ini);
  void GetAInfoItem(int iPrinter, TRInstallInfo& Info) const;
  TRInstallInfo Items(int iPrinter) const {
    TRInstallInfo info;
    GetAInfoItem(iPrinter, info);
    return info;
  }
  void SetDefaultPort(int Index, const WStr& PortName);
  int GetCount() const;
  int Count() const { return GetCount(); }
  static WStr LangKeySuffix();

 private:
  void CheckIndex(int index) const;  // with m_cs held
  void LoadEntry(const TIniFile& ini, const WStr& section, TRInstallInfo& e) const;

  std::vector<TRInstallInfo> m_InfoItems;
  mutable std::mutex m_cs;  // copies of an entry against SetDefaultPort
};
