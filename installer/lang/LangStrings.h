// The interface language: the 42 texts the installer shows, read from the staged language file
// with product-variant overrides and built-in defaults.
#pragma once

#include <memory>

#include "common/IniFile.h"

class TForm;
class TMenu;

struct strInstaller {
  WStr Loading;
  WStr PrepareInstall;
  WStr Installing;
  WStr InstallEnd;
  WStr OSInstallingDriver;
  WStr NoticeTitle;
  WStr ErrorTitle;
  WStr SelectPrinter;
  WStr ClickInstallToStart;
  WStr SelectAPrinterDriver;
  WStr InstallBeforeNeedUninstall;
  WStr BeforeInstallPrompt;
  WStr BeforeInstallPromptNoUSB;
  WStr NotDetectUSBPrinter;
  WStr DetectUSBPrinterOnPort;
  WStr ExistSamePrinterAndUpdate;
  WStr DeletePrinterIsPrinting;
  WStr InstallSuccessStr;
  WStr InstallCancelStr;
  WStr InstallFailStr;
  WStr InstallFailCode;
  WStr InstallFailReasonUnknow;
  WStr RestartPrompt;
  WStr InstallOnline;
  WStr InstallRetry;
  WStr CMDParameterError;
  WStr BeforeUnInstallPrompt;
  WStr DeletePrinterSucceed;
  WStr DeletePrinterError;
  WStr DeletePrinterDriverError;
  WStr RestartWindowsimmediately;
  WStr DeletePrinterPrompt;
  WStr UnInstallDriverPrompt;
  WStr AddPortSucced;
  WStr AddPortFail;
  WStr HasConnectPrinter;
  WStr PrinterStatusOnline;
  WStr PrinterStatusOffline;
  WStr NotPDFReaderInstall;
  WStr NotPDFReaderInstall2;
  WStr NotFileReaderInstall;
  WStr FileOrPathNotExist;
};

class TLangOptions {
 public:
  // Opens the file when it exists and loads the texts; otherwise every text stays empty.
  void LoadFromFile(const WStr& FileName);
  void LoadSettings(const TIniFile* Ini);
  WStr GetOptionString(const WStr& SectionName, const WStr& ItemName, const WStr& DefaultValue) const;
  void LoadGlobalStrings();
  // Texts of a section applied to a form's caption and components, by component name.
  void LoadControlsCaption(TForm& frm, const WStr& strIniSection) const;
  // Texts of a section applied to a menu's items by item name; items without a text go.
  void LoadMenuCaption(TMenu& aMenu, const WStr& strIniSection) const;

  // One record per process, written only while loading.
  static strInstaller LangStrings;

 private:
  WStr VariantName() const;  // empty without a configuration entry
  std::unique_ptr<TIniFile> m_Ini;
};

// The texts, for every part of the installer.
inline strInstaller& LangStrings = TLangOptions::LangStrings;
