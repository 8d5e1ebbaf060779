// The installer's main window on a simulated English machine with the sample package: its
// components, the port list and USB status, the result prompts and the links it opens.
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "installer/config/Info.h"
#include "installer/install/InstallFunc.h"
#include "installer/lang/LangStrings.h"
#include "installer/printsys/Spooler.h"
#include "installer/ui/frmMain.h"
#include "installer/usb/USBFunc.h"
#include "support/installer_fixture.h"

using namespace testutil;

namespace {

class MainWindowTest : public InstallerTest {
 protected:
  std::unique_ptr<TFormMain> form;

  void SetUp() override {
    InstallerTest::SetUp();
    std::filesystem::copy(EXAMPLES_DIR "/package", pkg(""), std::filesystem::copy_options::recursive);
    std::filesystem::copy_file(KELVANE_BIN "/Trellum.dll", pkg("Trellum.dll"));
    std::filesystem::copy_file(KELVANE_LANG "/Strings_EN.ini", pkg("Strings.ini"));
    LangOptions().LoadFromFile(W_("C:\\Pkg\\Strings.ini"));
    StagingPicturesDir = W_("C:\\Pkg\\Pictures\\");
    PindleDllPath = W_("C:\\Pkg\\gone.dll");  // runs started here end at once
    PrintersBeforeInstall = std::make_unique<TStringList>();
    PrintersAfterInstall = std::make_unique<TStringList>();
    IsWin64 = DetectWin64();
    WinVersion = GetWinVersion();
  }
  void TearDown() override {
    form.reset();
    FinishInstallDriverThreads();
    UnbindUSBAccessLibrary();
    InstallerTest::TearDown();
  }
  // The window over the package's configuration (rewritten first when `ini` is given).
  void Open(const std::string& ini = {}) {
    if (!ini.empty()) put("Kelvane.ini", ini);
    InstallInfos().LoadFromFile(W_("C:\\Pkg\\Kelvane.ini"));
    SelectedPrinterIndex = 0;
    form = std::make_unique<TFormMain>(nullptr);
  }
  std::vector<WStr> Items(const TComponent* c) {
    std::vector<WStr> items;
    for (int i = 0; i < c->ItemCount(); ++i) items.push_back(c->ItemText(i));
    return items;
  }
  // Events from the mark on (the events of the steps before are no concern of a case).
  size_t mark = 0;
  void Mark() { mark = winsim::read_events(dir).size(); }
  std::vector<nlohmann::json> Boxes() { return events_of_type(dir, "messagebox", mark); }
  std::vector<std::string> Opened() {
    std::vector<std::string> files;
    for (auto& e : events_of_type(dir, "shellexecute", mark)) files.push_back(e["file"]);
    return files;
  }
  void Answer(const std::string& script) {
    write_file(dir + "/../script.txt", script);
    ::setenv("WINSIM_USER_SCRIPT", (dir + "/../script.txt").c_str(), 1);
    winsim::use_machine(dir);
  }
  std::string Plug(const std::string& model) {
    winsim::PlugSetup p;
    p.device_id = "MFG:Kelvane;MDL:" + model + ";CMD:ESC/P;CLS:PRINTER;";
    return winsim::plug_printer(dir, p);
  }
  // Runs this thread's messages until `done` holds or `ms` milliseconds have passed.
  template <class F>
  bool PumpUntil(F done, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    MSG msg;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
      else
        Sleep(5);
    }
    return done();
  }
  bool Painted() {
    for (auto& e : events_of_type(dir, "window", mark))
      if (e["action"] == "painted") return true;
    return false;
  }
  static std::string U(const WStr& s) { return ToUtf8(s); }
  static WStr W(const std::string& s) {
    WStr w(s.size(), u'\0');
    w.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), static_cast<int>(w.size()))));
    return w;
  }
};

TEST_F(MainWindowTest, TheSampleWindowAsCreated) {
  Open();
  EXPECT_EQ(GetWindowLongPtrW(form->Handle, GWL_EXSTYLE) & WS_EX_LAYERED, static_cast<LONG_PTR>(WS_EX_LAYERED));
  WCHAR title[128] = {};
  GetWindowTextW(form->lblTitle->Handle, title, 128);
  EXPECT_EQ(U(title), "Kelvane Printer Driver Setup");
  EXPECT_EQ(Items(form->cbbPrinterDriver), (std::vector<WStr>{W_("Kelvane KV-1000"), W_("Kelvane KV-2000")}));
  EXPECT_EQ(form->cbbPrinterDriver->ItemIndex(), 0);
  EXPECT_TRUE(form->imgBackGrand->HasPicture());
  EXPECT_TRUE(form->imgPrinter->HasPicture());
  EXPECT_TRUE(form->imglOGO->HasPicture());
  EXPECT_TRUE(form->Image1->HasPicture());  // Start1EN.png
  EXPECT_TRUE(form->Image2->Visible());     // the entry has a manual
  EXPECT_TRUE(form->imgMin->HasPicture());
  EXPECT_FALSE(form->pb1->Visible());
  EXPECT_FALSE(form->cbbPrinterPort->Visible());
  EXPECT_TRUE(LogHas(log, "MainForm Create"));
}

TEST_F(MainWindowTest, OneEntryHidesTheModelListAndViewOneMovesTheButtons) {
  Open("[Resource]\r\nItem=1\r\nView=1\r\n[PrinterInfo]\r\nPrinterName=Kelvane KV-1000\r\n"
       "PrinterID=USBPRINT\\KelvaneKV-1000EAD3\r\nRoot=\r\nINF=Driver\\KV1000.inf\r\nManualEN=Doc\\GuideEN.txt\r\n");
  EXPECT_FALSE(form->cbbPrinterDriver->Visible());
  EXPECT_FALSE(form->lblSelectPrinter->Visible());
  EXPECT_FALSE(form->lblTitle->Visible());  // no title configured
  RECT start = form->Image1->Bounds(), manual = form->Image2->Bounds(), logo = form->imglOGO->Bounds();
  EXPECT_EQ(manual.left, start.left);
  EXPECT_EQ(manual.top, start.bottom + 3);
  EXPECT_EQ(manual.right - manual.left, start.right - start.left);
  EXPECT_EQ(manual.bottom - manual.top, start.bottom - start.top);
  EXPECT_EQ(logo.left, form->lst1->Bounds().left);

  // Without a manual the Manual button is hidden.
  form.reset();
  Open("[Resource]\r\nItem=1\r\n[PrinterInfo]\r\nPrinterName=Kelvane KV-1000\r\n"
       "PrinterID=USBPRINT\\KelvaneKV-1000EAD3\r\nRoot=\r\nINF=Driver\\KV1000.inf\r\n");
  EXPECT_FALSE(form->Image2->Visible());
}

TEST_F(MainWindowTest, MissingButtonPicturesAreLoggedForStartAndManualOnly) {
  std::filesystem::remove_all(pkg("Pictures"));
  Open();
  EXPECT_FALSE(form->Image1->HasPicture());
  EXPECT_TRUE(LogHas(log, "沒有找到按鈕的圖片文件：C:\\Pkg\\Pictures\\Start1EN.png"));
  EXPECT_FALSE(LogHas(log, "min1.png"));
  EXPECT_FALSE(LogHas(log, "Close1.png"));
}

TEST_F(MainWindowTest, PortListMarksConnectedPrintersAndChoosesTheirModel) {
  winsim::add_port(dir, "myusb1");  // lower-case "usb": listed plainly, never matched
  Plug("KV-2000");
  Open();
  form->Show();
  EXPECT_TRUE(form->USBPrinterConnect());
  EXPECT_EQ(SelectedPrinterIndex, 1);
  EXPECT_EQ(form->cbbPrinterDriver->ItemIndex(), 1);
  EXPECT_EQ(InstallInfos().Items(1).DefaultPort, W_("USB001"));
  std::vector<WStr> ports = Items(form->cbbPrinterPort);
  EXPECT_NE(std::find(ports.begin(), ports.end(), W_("USB001 -> Connected KV-2000")), ports.end());
  EXPECT_NE(std::find(ports.begin(), ports.end(), W_("myusb1")), ports.end());
  EXPECT_EQ(Items(form->lst1), (std::vector<WStr>{W_("The printer Kelvane KV-2000 has been detected at port USB001")}));

  // The port box keeps the port chosen in it; with an empty text two blanks stand before the model.
  auto com1 = std::find(ports.begin(), ports.end(), W_("COM1:"));
  ASSERT_NE(com1, ports.end());
  form->cbbPrinterPort->SetItemIndex(static_cast<int>(com1 - ports.begin()));
  LangStrings.HasConnectPrinter.clear();
  // A second model on the next port, found while the model list is locked (an install runs):
  // the message changes, the choice and the default port do not.
  Plug("KV-1000");
  form->cbbPrinterDriver->SetEnabled(false);
  form->ListPrinterPorts();
  ports = Items(form->cbbPrinterPort);
  EXPECT_EQ(form->cbbPrinterPort->ItemText(form->cbbPrinterPort->ItemIndex()), W_("COM1:"));
  EXPECT_NE(std::find(ports.begin(), ports.end(), W_("USB001 ->  KV-2000")), ports.end());
  EXPECT_EQ(SelectedPrinterIndex, 1);
  EXPECT_EQ(InstallInfos().Items(0).DefaultPort, W_("USB"));  // as configured: untouched
  // USB002 (KV-1000) comes after USB001 in the sorted list: its message stands.
  EXPECT_EQ(Items(form->lst1), (std::vector<WStr>{W_("The printer Kelvane KV-1000 has been detected at port USB002")}));
}

TEST_F(MainWindowTest, NoPrinterMeansLPT1ForEveryEntry) {
  Open();
  form->Show();
  EXPECT_FALSE(form->USBPrinterConnect());
  EXPECT_EQ(Items(form->lst1), std::vector<WStr>{LangStrings.NotDetectUSBPrinter});
  EXPECT_EQ(InstallInfos().Items(0).DefaultPort, W_("LPT1:"));
  EXPECT_EQ(InstallInfos().Items(1).DefaultPort, W_("LPT1:"));
}

// The window watches the printers: a printer that appears while it is open (here: set up for the
// USB printer plugged in a moment before) makes it list the ports again on its own thread.
TEST_F(MainWindowTest, APrinterAppearingWhileTheWindowIsOpenUpdatesThePortList) {
  Open();
  form->Show();
  EXPECT_FALSE(form->USBPrinterConnect());
  Plug("KV-2000");  // a port, no printer yet: nothing to tell the window
  winsim::DriverSetup d;
  d.name = "Kelvane KV-2000";
  winsim::add_driver(dir, d);
  add_printer(dir, "Kelvane KV-2000", "Kelvane KV-2000", "USB001");
  // The watcher posts the listing to this thread; run its messages until it is done.
  EXPECT_TRUE(PumpUntil([&] { return form->USBPrinterConnect(); }));
  std::vector<WStr> ports = Items(form->cbbPrinterPort);
  EXPECT_NE(std::find(ports.begin(), ports.end(), W_("USB001 -> Connected KV-2000")), ports.end());
  EXPECT_EQ(SelectedPrinterIndex, 1);
}

// A printer plugged in and pulled out again and again while the window is open (the window's
// thread runs its messages meanwhile): the window keeps answering, and its port list, rebuilt as
// Start does, is the machine's ports with none marked.
TEST_F(MainWindowTest, APrinterPluggedAndPulledInQuickSuccession) {
  Open();
  form->Show();
  std::atomic<bool> done{false};
  std::thread user([&] {
    for (int i = 0; i < 8; ++i) winsim::unplug_printer(dir, Plug("KV-2000"));
    done = true;
  });
  PumpUntil([&] { return done.load(); });
  user.join();
  PumpUntil([] { return false; }, 300);  // what the storm left for the window
  EXPECT_TRUE(IsWindow(form->Handle));
  form->ListPrinterPorts();
  EXPECT_FALSE(form->USBPrinterConnect());
  EXPECT_EQ(Items(form->lst1), std::vector<WStr>{LangStrings.NotDetectUSBPrinter});
  DWORD needed = 0, count = 0;
  EnumPortsW(nullptr, 1, nullptr, 0, &needed, &count);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(EnumPortsW(nullptr, 1, buffer.data(), needed, &needed, &count));
  std::vector<WStr> machine;
  for (DWORD i = 0; i < count; ++i) machine.push_back(reinterpret_cast<PORT_INFO_1W*>(buffer.data())[i].pName);
  std::sort(machine.begin(), machine.end(), [](const WStr& a, const WStr& b) { return UpperAscii(a) < UpperAscii(b); });
  EXPECT_EQ(Items(form->cbbPrinterPort), machine);
}

// Package pictures a person broke: the window opens all the same, a control whose picture could
// not be read keeps the picture it had, and the log names the file and what is wrong with it.
TEST_F(MainWindowTest, BadPicturesLeaveTheControlAsItWasAndAreLogged) {
  const std::string good = read_file(pkg("Pictures/back.png"));
  struct Case {
    const char* what;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"missing", "", nullptr},
      {"huge", read_file(PICTURES_DATA "/huge.png"), "the picture is too large (20000 x 20000 pixels)"},
      {"truncated", good.substr(0, good.size() / 2), "damaged PNG file"},
      {"damaged", good.substr(0, 40) + std::string(200, 'x'), "damaged PNG file"},
      {"a text file", "Start button\r\n", "not a PNG, JPEG, GIF or BMP picture"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* file : {"Pictures/back.png", "Pictures/Start2EN.png"}) {
      std::filesystem::remove(pkg(file));
      if (c.reason) write_file(pkg(file), c.bytes);
    }
    {
      std::lock_guard lock(log->mu);
      log->records.clear();
    }
    Open();
    form->Show();
    EXPECT_FALSE(form->imgBackGrand->HasPicture());
    auto before = form->Image1->Picture;  // Start1EN.png
    ASSERT_TRUE(before);
    SendMessageW(form->Image1->Handle, WM_MOUSEMOVE, 0, 0);  // the pointer over Start: Start2EN.png
    EXPECT_EQ(form->Image1->Picture, before);
    if (!c.reason) {
      EXPECT_TRUE(LogHas(log, "沒有找到按鈕的圖片文件：C:\\Pkg\\Pictures\\Start2EN.png"));
    } else {
      EXPECT_TRUE(LogHas(log, std::string("Picture C:\\Pkg\\Pictures\\Start2EN.png: ") + c.reason));
      EXPECT_TRUE(LogHas(log, std::string("Picture Pictures\\back.png: ") + c.reason));
    }
    form.reset();
  }
}

// Titles and names far longer than their labels and lists: the window draws itself whole all the
// same, and keeps the texts as they are.
TEST_F(MainWindowTest, TextsThatOverflowTheirLabels) {
  const std::string title(1500, 'T'), name = "Kelvane " + std::string(240, 'N');
  Open("[Resource]\r\nItem=2\r\nMainTitle=" + title + "\r\nBackImage=Pictures\\back.png\r\n"
       "[PrinterInfo1]\r\nPrinterName=" + name + "\r\nPrinterID=USBPRINT\\KelvaneKV-1000EAD3\r\nRoot=\r\n"
       "INF=Driver\\KV1000.inf\r\n[PrinterInfo2]\r\nPrinterName=" + name + "2\r\n"
       "PrinterID=USBPRINT\\KelvaneKV-2000AED3\r\nRoot=\r\nINF=Driver\\KV2000.inf\r\n");
  LangStrings.SelectPrinter = WStr(500, u'S');
  LangStrings.NotDetectUSBPrinter = WStr(2000, u'L');
  Mark();
  form->Show();
  EXPECT_TRUE(PumpUntil([&] { return Painted(); }));
  EXPECT_TRUE(IsWindowVisible(form->Handle));
  std::vector<WCHAR> text(4000);
  EXPECT_EQ(GetWindowTextW(form->lblTitle->Handle, text.data(), 4000), 1500);
  EXPECT_EQ(form->cbbPrinterDriver->ItemText(0), W(name));
  EXPECT_EQ(Items(form->lst1), std::vector<WStr>{WStr(2000, u'L')});
}

// ---- the result prompts -----------------------------------------------------------------------

class PromptTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    winsim::DriverSetup d;
    d.name = "Kelvane KV-1000";
    winsim::add_driver(dir, d);
    d.name = "Kelvane KV-2000";
    winsim::add_driver(dir, d);
    Open();
  }
};

TEST_F(PromptTest, TwoNewPrintersThePortDecidesAndTheProcessorAsksForARestart) {
  winsim::add_port(dir, "USB001", "USB Monitor");
  add_printer(dir, "Kelvane KV-1000", "Kelvane KV-1000", "LPT1:");
  add_printer(dir, "Kelvane KV-1000 (Copy 1)", "Kelvane KV-1000", "USB001");
  InstalledPrinterPort = W_("USB001");
  TMessage m;
  form->InstallSuccPrompt(m);
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  // Entry 1 names WinPrint as its processor: the restart note follows.
  EXPECT_EQ(boxes[0]["text"], "Printer driver (Kelvane KV-1000 (Copy 1)) has been successfully installed to print port "
                              "USB001.\r\nNote: Some components would take effects only after restarting the computer.");
  EXPECT_EQ(boxes[0]["caption"], "Notice");
  EXPECT_EQ(boxes[0]["style"], MB_OK | MB_ICONINFORMATION);
  EXPECT_EQ(InstallPromptState, 3);
  EXPECT_TRUE(InstalledPrinterName.empty());
  WStr def;
  ASSERT_TRUE(GetDefaultPrinterName(def));
  EXPECT_EQ(def, W_("Kelvane KV-1000 (Copy 1)"));  // AlwaysSetDefault
}

TEST_F(PromptTest, NoProcessorNoRestartNoteAndAMissingUSBPortFallsBackToTheInstallPort) {
  SelectedPrinterIndex = 1;  // Kelvane KV-2000: no processor, DefaultPort USB
  add_printer(dir, "Kelvane KV-2000", "Kelvane KV-2000", "LPT1:");
  InstallPort = W_("LPT2:");
  TMessage m;
  form->InstallSuccPrompt(m);
  auto boxes = Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0]["text"], "Printer driver (Kelvane KV-2000) has been successfully installed to print port LPT2:.");
  WStr port;
  GetPrinterPort(W_("Kelvane KV-2000"), port);
  EXPECT_EQ(port, W_("LPT2:"));
}

TEST_F(PromptTest, FailureCodes) {
  struct Case {
    DWORD code;
    const char* port;
    const char* answer;
    const char* text;  // nullptr: no box
    UINT style;
  } cases[] = {
      {0, "", "", nullptr, 0},
      {UIAddFailed, "", "",
       "For some unknown reasons, the printer driver installation process failed!\r\nPlease install it later!",
       MB_OK | MB_ICONWARNING},
      {ERROR_NO_CATALOG_FOR_OEM_INF, "", "", "Cancel during the installation process.", MB_OK},
      {ERROR_ACCESS_DENIED, "", "", "Printer driver installation process failed: \r\nAccess is denied.\r\nPlease install it later!",
       MB_OK | MB_ICONINFORMATION},
      {0x20280077, "", "", "Printer driver installation process failed: \r\n\r\nPlease install it later!",
       MB_OK | MB_ICONINFORMATION},  // a code without system text
      {ERROR_NO_SUCH_DEVINST, "USB001", "box CANCEL\n", "", MB_YESNOCANCEL | MB_ICONWARNING},
      {ERROR_NO_SUCH_DEVINST, "LPT1:", "", nullptr, 0},  // a quiet offline run instead
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    Answer(c.answer);
    Mark();
    InstallPort = W(c.port);
    TMessage m;
    m.LParam = static_cast<LPARAM>(c.code);
    form->InstallFailPrompt(m);
    FinishInstallDriverThreads();
    auto boxes = Boxes();
    if (!c.text) {
      EXPECT_TRUE(boxes.empty());
    } else {
      ASSERT_EQ(boxes.size(), 1u);
      if (*c.text) {
        EXPECT_EQ(boxes[0]["text"], c.text);
      }
      EXPECT_EQ(boxes[0]["style"], c.style);
    }
    EXPECT_EQ(InstallErrorCode, c.code);
  }
  EXPECT_TRUE(LogHas(log, "由於檢測到打印機的聯機端口是並口，現直接進入脫機安裝！"));
}

// ---- links ------------------------------------------------------------------------------------

TEST_F(MainWindowTest, LinksOpenOrSayWhyNot) {
  write_file(pkg("Doc/notes.xyz"), "?");
  write_file(pkg("Doc/manual.pdf"), "%PDF");
  write_file(pkg("Doc/User Guide.txt"), "?");
  write_file(pkg("Doc/x.txt"), "?");
  Open();
  struct Case {
    const char* link;
    const char* box;  // the message shown, nullptr: none
    std::vector<std::string> opened;
  } cases[] = {
      {"C:\\Pkg\\Doc\\gone.txt", "The specified file or path is not available", {}},
      {"C:\\Pkg\\Doc\\GuideEN.txt", nullptr, {"C:\\Pkg\\Doc\\GuideEN.txt"}},
      {"hTTp://www.example.com/kv", nullptr, {"hTTp://www.example.com/kv"}},
      {"C:\\Pkg\\Doc\\notes.xyz",
       "The system is not installed the software that can open the file suffix (xyz) of the document, please install "
       "and then open the file.",
       {"C:\\Pkg\\Doc\\"}},
      {"C:\\Pkg\\Doc\\manual.pdf", "PDF reading software is not installed, please install PDF reading software.",
       {"C:\\Pkg\\Doc\\"}},
      // Blanks are part of the name; a file name holds no double quote; "file:" is no file name.
      {"C:\\Pkg\\Doc\\User Guide.txt", nullptr, {"C:\\Pkg\\Doc\\User Guide.txt"}},
      {"C:\\Pkg\\Doc\\GuideEN.txt\" /S \"C:\\Pkg\\Doc\\x.txt", "The specified file or path is not available", {}},
      {"file:///C:/Pkg/Doc/GuideEN.txt", "The specified file or path is not available", {}},
      // An address goes to the browser's command line: its quotes and control characters go
      // percent-encoded, the same address that cannot end the argument it is given in.
      {"http://www.example.com/kv 2000/\" --load-extension=\"C:\\x\t",
       nullptr,
       {"http://www.example.com/kv 2000/%22 --load-extension=%22C:\\x%09"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.link);
    Mark();
    form->OpenLink(W(c.link));
    auto boxes = Boxes();
    if (c.box) {
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0]["text"], c.box);
    } else {
      EXPECT_TRUE(boxes.empty());
    }
    EXPECT_EQ(Opened(), c.opened);
  }
}

}  // namespace
