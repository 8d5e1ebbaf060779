#include "LangStrings.h"

#include "installer/config/Info.h"
#include "installer/startup/RunState.h"
#include "installer/ui/Controls.h"

strInstaller TLangOptions::LangStrings;

namespace {

struct Key {
  const WCHAR* name;
  const WCHAR* def;
  WStr strInstaller::*field;
};

// In declaration order; the first seven are stored as read.
const Key kKeys[] = {
    {W_("Loading"), W_("Loading"), &strInstaller::Loading},
    {W_("PrepareInstall"), W_("Prepare Install"), &strInstaller::PrepareInstall},
    {W_("Installing"), W_("Installing"), &strInstaller::Installing},
    {W_("InstallEnd"), W_("Install end"), &strInstaller::InstallEnd},
    {W_("OSInstallingDriver"), W_("Windows Installing Driver, wait a minute!"), &strInstaller::OSInstallingDriver},
    {W_("NoticeTitle"), W_("Notice"), &strInstaller::NoticeTitle},
    {W_("ErrorTitle"), W_("Error"), &strInstaller::ErrorTitle},
    {W_("SelectPrinter"), W_(""), &strInstaller::SelectPrinter},
    {W_("ClickInstallToStart"), W_(""), &strInstaller::ClickInstallToStart},
    {W_("SelectAPrinterDriver"), W_(""), &strInstaller::SelectAPrinterDriver},
    {W_("InstallBeforeNeedUninstall"), W_(""), &strInstaller::InstallBeforeNeedUninstall},
    {W_("BeforeInstallPrompt"), W_(""), &strInstaller::BeforeInstallPrompt},
    {W_("BeforeInstallPromptNoUSB"), W_(""), &strInstaller::BeforeInstallPromptNoUSB},
    {W_("NotDetectUSBPrinter"), W_(""), &strInstaller::NotDetectUSBPrinter},
    {W_("DetectUSBPrinterOnPort"), W_(""), &strInstaller::DetectUSBPrinterOnPort},
    {W_("ExistSamePrinterAndUpdate"), W_(""), &strInstaller::ExistSamePrinterAndUpdate},
    {W_("DeletePrinterIsPrinting"), W_(""), &strInstaller::DeletePrinterIsPrinting},
    {W_("InstallSuccessStr"), W_(""), &strInstaller::InstallSuccessStr},
    {W_("InstallCancelStr"), W_(""), &strInstaller::InstallCancelStr},
    {W_("InstallFailStr"), W_(""), &strInstaller::InstallFailStr},
    {W_("InstallFailCode"), W_(""), &strInstaller::InstallFailCode},
    {W_("InstallFailReasonUnknow"), W_(""), &strInstaller::InstallFailReasonUnknow},
    {W_("RestartPrompt"), W_(""), &strInstaller::RestartPrompt},
    {W_("InstallOnline"), W_(""), &strInstaller::InstallOnline},
    {W_("InstallRetry"), W_(""), &strInstaller::InstallRetry},
    {W_("CMDParameterError"), W_(""), &strInstaller::CMDParameterError},
    {W_("BeforeUnInstallPrompt"), W_(""), &strInstaller::BeforeUnInstallPrompt},
    {W_("DeletePrinterSucceed"), W_(""), &strInstaller::DeletePrinterSucceed},
    {W_("DeletePrinterError"), W_(""), &strInstaller::DeletePrinterError},
    {W_("DeletePrinterDriverError"), W_(""), &strInstaller::DeletePrinterDriverError},
    {W_("RestartWindowsimmediately"), W_(""), &strInstaller::RestartWindowsimmediately},
    {W_("DeletePrinterPrompt"), W_(""), &strInstaller::DeletePrinterPrompt},
    {W_("UnInstallDriverPrompt"), W_(""), &strInstaller::UnInstallDriverPrompt},
    {W_("AddPortSucced"), W_(""), &strInstaller::AddPortSucced},
    {W_("AddPortFail"), W_(""), &strInstaller::AddPortFail},
    {W_("HasConnectPrinter"), W_("Connected"), &strInstaller::HasConnectPrinter},
    {W_("PrinterStatusOnline"), W_("Online"), &strInstaller::PrinterStatusOnline},
    {W_("PrinterStatusOffline"), W_("Offline"), &strInstaller::PrinterStatusOffline},
    {W_("NotPDFReaderInstall"), W_(""), &strInstaller::NotPDFReaderInstall},
    {W_("NotPDFReaderInstall2"), W_(""), &strInstaller::NotPDFReaderInstall2},
    {W_("NotFileReaderInstall"), W_(""), &strInstaller::NotFileReaderInstall},
    {W_("FileOrPathNotExist"), W_(""), &strInstaller::FileOrPathNotExist},
};
constexpr size_t kStoredAsRead = 7;

// The four characters "\r\n", in any letter case, become a real line break.
WStr ExpandLineBreaks(const WStr& s) {
  WStr out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (i + 3 < s.size() && s[i] == u'\\' && (s[i + 1] | 0x20) == u'r' && s[i + 2] == u'\\' &&
        (s[i + 3] | 0x20) == u'n') {
      out += W_("\r\n");
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

void TLangOptions::LoadFromFile(const WStr& FileName) {
  if (!FileExists(FileName)) return;
  m_Ini = std::make_unique<TIniFile>(FileName);
  LoadSettings(m_Ini.get());
}

void TLangOptions::LoadSettings(const TIniFile* Ini) {
  if (Ini) LoadGlobalStrings();
}

WStr TLangOptions::VariantName() const {
  return InstallInfos().GetCount() > 0 ? InstallInfos().Items(0).OEMManufactor : WStr();
}

WStr TLangOptions::GetOptionString(const WStr& SectionName, const WStr& ItemName, const WStr& DefaultValue) const {
  if (!m_Ini) return {};
  if (ItemName.empty()) return DefaultValue;
  // The product variant may override any text. Without a configuration entry there is no
  // variant, and the plain key answers.
  WStr variant = VariantName();
  if (!variant.empty()) {
    WStr v = m_Ini->ReadString(SectionName, ItemName + W_(".") + variant, W_(""));
    if (!v.empty()) return v;
  }
  return m_Ini->ReadString(SectionName, ItemName, DefaultValue);
}

void TLangOptions::LoadControlsCaption(TForm& frm, const WStr& strIniSection) const {
  static const WStr kNone = W_("32769");  // marks that no text was found
  frm.SetCaption(GetOptionString(strIniSection, W_("ProgramTitle"), W_("")));
  const WStr variant = VariantName();
  for (TComponent& c : frm.Components) {
    WStr t = GetOptionString(strIniSection, c.Name + W_(".") + variant, kNone);
    if (t == kNone) t = GetOptionString(strIniSection, c.Name, kNone);
    if (t == kNone || !c.IsVisual()) continue;
    switch (c.Kind) {
      case TControlKind::Button:
      case TControlKind::BitBtn:
      case TControlKind::Label:
      case TControlKind::CheckBox:
        c.SetCaption(t);
        break;
      case TControlKind::TabSheet:
        if (t.empty()) {
          c.TabVisible = false;
        } else {
          c.SetCaption(t);
        }
        break;
      case TControlKind::Edit:
      case TControlKind::GroupBox:
        c.SetCaption(t);
        c.Hint = t;
        break;
      default:
        break;
    }
  }
}

void TLangOptions::LoadMenuCaption(TMenu& aMenu, const WStr& strIniSection) const {
  for (int i = aMenu.Count() - 1; i >= 0; --i) {
    if (aMenu.Item(i).IsSeparator()) continue;
    WStr t = GetOptionString(strIniSection, aMenu.Item(i).Name, W_(""));
    if (t.empty()) {
      aMenu.Delete(i);
    } else {
      aMenu.SetCaption(i, t);
    }
  }
}

void TLangOptions::LoadGlobalStrings() {
  for (size_t i = 0; i < std::size(kKeys); ++i) {
    WStr v = GetOptionString(W_("DialogText"), kKeys[i].name, kKeys[i].def);
    LangStrings.*(kKeys[i].field) = i < kStoredAsRead ? v : ExpandLineBreaks(v);
  }
}
