// GPD files: whatever a driver's data file holds (any encoding, binary, long lines), the GPD
// version read from it is the text of a *GPDFileVersion line, at most 9 characters and without a
// quotation mark, and each line is judged alone.
#include "fuzz_machine.h"
#include "installer/printsys/VersionCompare.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    const std::string& dir = fuzz::machine();
    winsim::DriverSetup d;
    d.name = "Kelvane KV-1000";
    d.data_file = "FUZZ.GPD";
    winsim::add_driver(dir, d);
    winsim::PrinterSetup p;
    p.name = "Fuzz";
    p.driver = d.name;
    p.port = "LPT1:";
    winsim::add_printer(dir, p);
    return true;
  }();
  (void)ready;
  fuzz::put("Windows/System32/spool/drivers/x64/3/FUZZ.GPD", data, size);
  TStringList printers;
  WStr version;
  GetGPDFileVersion(W_("Kelvane KV-1000"), printers, version);
  if (printers.size() != 1) fuzz::fail("the printer on the driver was not listed");
  if (version.size() > kGPDVersionChars - 1 || version.find(u'"') != WStr::npos) fuzz::fail("a GPD version too long or quoted");
  try {
    IsOlderGPDVersionInstalled(W_("Kelvane KV-1000"), W_("1.0.2"), printers);
  } catch (const KelvaneError&) {
  }

  // One line at a time, as UTF-16.
  WStr line = fuzz::utf16(data, size);
  WStr v = W_("unchanged");
  bool matched = GPDVersionOfLine(line, v);
  if (matched != (line.rfind(W_("*GPDFileVersion: \""), 0) == 0)) fuzz::fail("a line judged by more than its start");
  if (!matched && v != W_("unchanged")) fuzz::fail("a line that is not the version line changed the version");
  if (matched && v.size() > kGPDVersionChars - 1) fuzz::fail("a version longer than 9 characters");
  return 0;
}
