// A printer's IEEE 1284 reply as any bytes: the library's ID text, the installer's reading of its
// fields and its match against an entry, the interface-path part and the copy of a settings reply.
#include <algorithm>

#include "fuzz_machine.h"
#include "installer/usb/USBFunc.h"
#include "usbaccess/TrellumReply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::machine();
  DWORD count = static_cast<DWORD>(std::min<size_t>(size, trellum::kDeviceIdBuffer));
  WStr id = trellum::DeviceIdFromReply(data, count);
  if (id.size() > count) fuzz::fail("an ID longer than its reply");
  for (const WCHAR* key : {W_("MFG"), W_("MDL"), W_("DES"), W_("CID")}) {
    WStr v = GetDeviceIdField(id, key);
    if (v.size() > id.size() || v.find(W_(';')) != WStr::npos) fuzz::fail("a field past its ';'");
  }
  WStr description, compatibleId;
  DescribeUSBPrinter(1, id, description, compatibleId);
  if (compatibleId.find(W_(' ')) != WStr::npos) fuzz::fail("a blank left in the compatible ID");
  USBPrinterMatches(W_("Kelvane KV-1000"), W_("USBPRINT\\KelvaneKV-1000EAD3"), description, compatibleId);
  WStr part = trellum::PrinterPartOfPath(id);
  if (!part.empty() && part.compare(0, 3, W_("VID")) != 0) fuzz::fail("a path part that does not start at VID");
  trellum::SubkeyNamesPrinter(id, part);
  BYTE out[33];
  out[32] = 0x5A;
  DWORD n = trellum::CopyReply(data, static_cast<DWORD>(std::min<size_t>(size, 4096)), out, 32);
  if (n > 32 || out[32] != 0x5A) fuzz::fail("a reply copied past the caller's buffer");
  return 0;
}
