// The printers behind the machine's USB printing devices: what each one answers (device ID, port
// status, five settings items) and how (at once, late, never, too long, refusing an item, pulled
// out in the middle of a transfer). usb.json holds them so that every process of the machine talks
// to the same printer; a person changes them with `winsim plug` and `winsim usb`.
#pragma once

#include "devices_state.h"

namespace winsim {

struct UsbPrinter {
  WStr device;  // the USB device's instance ID ("USB\\VID_1D90&PID_2060\\KV1000")
  BYTE status = 0x18;  // selected, no error
  std::vector<BYTE> items = std::vector<BYTE>(5, 0);
  long answer_ms = 0;         // the reply follows a read command after this long; -1: never
  unsigned reply_length = 0;  // a longer reply: the items, then zero bytes up to this length
  int refuse_item = -1;       // a write of this item is taken in but not applied
  long unplug_after = -1;     // the printer is pulled out once it has taken this many more bytes
  bool stall_writes = false;  // takes no bytes: every write waits
  std::string input;          // bytes of a command not yet complete
  std::string reply;          // reply bytes not yet read
  long long reply_at = 0;     // when the reply is there (milliseconds of the wall clock)
};

struct UsbPrinters {
  std::vector<UsbPrinter> printers;
  UsbPrinter* find(WStrView device);
};

UsbPrinters parse_usb(const json& doc, const std::string& file);
json usb_json(const UsbPrinters& u);

long long wall_ms();

// What the printer made of bytes sent to it.
struct UsbReceived {
  DWORD taken = 0;
  bool stalled = false;    // took nothing and waits
  bool unplugged = false;  // was pulled out after `taken` bytes
};
// `port` names the printer in the record of what it received.
UsbReceived usb_receive(const Device& dev, const WStr& port, const std::string& bytes);

// Reply bytes that are there now (at most `max`, taken out of the printer), else when the next
// ones will be (none when the printer will not answer).
struct UsbReply {
  std::string bytes;
  std::optional<long long> due;
};
UsbReply usb_take_reply(const Device& dev, DWORD max);

// The printer's port status byte.
BYTE usb_status(const Device& dev);

// The USBPRINT child of a USB device: it carries the device ID and the port.
std::optional<Device> usb_print_child(const Device& usb_device, const Devices& tree);

// A new printer's entry (plug_printer), written into the machine in `dir`.
void add_usb_printer(const std::string& dir, const WStr& device, const UsbPrinterSetup& setup);

}  // namespace winsim
