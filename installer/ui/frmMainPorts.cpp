// The main window's port list and USB status: which USB ports carry a connected printer, the
// hidden port box with those ports marked, and the configuration entry of a connected model
// chosen with its port as the entry's default port.
#include <algorithm>
#include <vector>

#include "debuglog/DebugLog.h"
#include "installer/config/Info.h"
#include "installer/lang/LangStrings.h"
#include "installer/startup/RunState.h"
#include "installer/ui/frmMain.h"
#include "installer/usb/USBFunc.h"
#include "win32/spooler.h"

namespace {
constexpr int kBufferChars = 512;

// The value of `name` in "name=value" lines, names compared ignoring case; empty when absent.
WStr ValueOf(const TStringList& lines, const WStr& name) {
  for (const WStr& line : lines) {
    size_t eq = line.find(u'=');
    if (eq != WStr::npos && SameTextAscii(WStrView(line).substr(0, eq), name)) return line.substr(eq + 1);
  }
  return {};
}
}  // namespace

void TFormMain::RefreshOnlineUSBPorts() {
  m_slOnlineUSBPort.clear();
  std::vector<WCHAR> port(kBufferChars, u'\0'), id(kBufferChars, u'\0');
  const int n = USBPrinterEnum();
  for (int i = 0; i < n; ++i) {
    ReadPrinterID(i, port.data(), kBufferChars, id.data(), kBufferChars);
    // The library may fill a buffer to its end: read no further than it.
    WStr portText(port.data(), std::find(port.begin(), port.end(), u'\0') - port.begin());
    WStr idText(id.data(), std::find(id.begin(), id.end(), u'\0') - id.begin());
    TheDebugger().LogFmt(W_("找到USB打印機，Port = %s，ID = %s"), {portText, idText});
    WStr model = idText.size() > kShortestDeviceId ? GetDeviceIdField(idText, W_("MDL")) : WStr();
    m_slOnlineUSBPort.push_back(portText + W_("=") + model);
  }
}

void TFormMain::ListPrinterPorts() {
  TheDebugger().LogEnter(W_("ListPrinterPorts"));
  m_bUSBPrinterConnect = false;
  RefreshOnlineUSBPorts();

  DWORD needed = 0, returned = 0;
  EnumPortsW(nullptr, 2, nullptr, 0, &needed, &returned);
  std::vector<BYTE> buffer(needed);
  if (needed == 0 || !EnumPortsW(nullptr, 2, buffer.data(), needed, &needed, &returned)) returned = 0;
  // Never more records than the buffer holds, whatever the count says.
  returned = std::min<DWORD>(returned, static_cast<DWORD>(buffer.size() / sizeof(PORT_INFO_2W)));

  WStr remembered;
  const int selected = cbbPrinterPort->ItemIndex();
  if (selected >= 0 && static_cast<size_t>(selected) < PortNameList->size())
    remembered = (*PortNameList)[static_cast<size_t>(selected)];

  cbbPrinterPort->ClearItems();
  PortNameList->clear();
  auto* ports = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i)
    if (ports[i].pPortName) PortNameList->push_back(ports[i].pPortName);
  std::sort(PortNameList->begin(), PortNameList->end(),
            [](const WStr& a, const WStr& b) { return UpperAscii(a) < UpperAscii(b); });

  const bool choosing = cbbPrinterDriver->Enabled();
  // Several ports may carry the same model: its picture is read once per listing, not per port.
  WStr pictureShown;
  for (const WStr& p : *PortNameList) {
    if (p.find(W_("USB")) == WStr::npos) {
      cbbPrinterPort->AddItem(p);
      continue;
    }
    WStr model = ValueOf(m_slOnlineUSBPort, p);
    std::replace(model.begin(), model.end(), u' ', u'_');
    if (model.empty()) {
      cbbPrinterPort->AddItem(p);
      continue;
    }
    cbbPrinterPort->AddItem(p + W_(" -> ") + LangStrings.HasConnectPrinter + W_(" ") + model);
    const WStr upperModel = UpperAscii(model);
    for (int e = 0; e < InstallInfos().GetCount(); ++e) {
      TRInstallInfo entry = InstallInfos().Items(e);
      if (UpperAscii(entry.PrinterHWID).find(upperModel) == WStr::npos) continue;
      if (choosing) {
        SelectedPrinterIndex = e;
        cbbPrinterDriver->SetItemIndex(e);
        if (entry.PrinterImage != pictureShown && FileExists(entry.PrinterImage) &&
            imgPrinter->LoadPicture(entry.PrinterImage))
          pictureShown = entry.PrinterImage;
        InstallInfos().SetDefaultPort(e, p);
      } else if (e == SelectedPrinterIndex) {
        // The model being installed was plugged in after the window last chose (Start locks the
        // list before it looks again): its port is where the new printer belongs. Left at the
        // "LPT1:" of a look that found nothing, the success prompt would move the printer there.
        InstallInfos().SetDefaultPort(e, p);
      }
      lst1->ClearItems();
      lst1->AddItem(Format(LangStrings.DetectUSBPrinterOnPort, {entry.PrinterName, p}));
      m_bUSBPrinterConnect = true;
      break;
    }
  }

  if (!m_bUSBPrinterConnect) {
    lst1->ClearItems();
    lst1->AddItem(LangStrings.NotDetectUSBPrinter);
    for (int e = 0; e < InstallInfos().GetCount(); ++e) InstallInfos().SetDefaultPort(e, W_("LPT1:"));
  }
  auto at = std::find_if(PortNameList->begin(), PortNameList->end(),
                         [&](const WStr& name) { return SameTextAscii(name, remembered); });
  cbbPrinterPort->SetItemIndex(remembered.empty() || at == PortNameList->end()
                                   ? -1
                                   : static_cast<int>(at - PortNameList->begin()));
  TheDebugger().LogLeave(W_("ListPrinterPorts"));
}
