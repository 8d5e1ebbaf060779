// The simulated USB printers: their state file, the settings commands they understand, their
// replies and the ways a test or a person makes them misbehave.
#include "usb_state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>

namespace winsim {

namespace {

constexpr const char* kStateName = "usb";
const std::string kReadCommand("\x1B\x10\x02\x00\x05", 5);
const std::string kWritePrefix("\x1B\x10\x03\x00", 4);
constexpr size_t kItems = 5;

long long integer(const StateReader& r, const json& j, const char* key, const std::string& where, long long def,
                  long long lo, long long hi) {
  const json* f = r.field(j, key, where);
  if (!f) return def;
  if (!f->is_number_integer() || f->get<long long>() < lo || f->get<long long>() > hi)
    r.bad(where + "." + key, "must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return f->get<long long>();
}

std::string spaced_hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", c);
    out += b;
  }
  return out;
}

std::string raw(const std::vector<BYTE>& v) { return std::string(v.begin(), v.end()); }

// Whether the bytes may still grow into a command.
bool command_prefix(const std::string& in) {
  if (in.size() < kReadCommand.size() && kReadCommand.compare(0, in.size(), in) == 0) return true;
  size_t n = std::min(in.size(), kWritePrefix.size());
  return in.size() < kWritePrefix.size() + 2 && kWritePrefix.compare(0, n, in, 0, n) == 0;
}

// The printer works through the bytes it has: a read command queues the reply, a write command
// changes an item unless the printer refuses it; anything else is dropped a byte at a time.
void take_commands(UsbPrinter& p, json& ev) {
  json commands = json::array();
  while (!p.input.empty()) {
    if (p.input.compare(0, kReadCommand.size(), kReadCommand) == 0) {
      p.input.erase(0, kReadCommand.size());
      commands.push_back({{"command", "read"}});
      if (p.answer_ms < 0) continue;
      p.reply = raw(p.items);
      if (p.reply_length) p.reply.resize(p.reply_length, '\0');  // cut or padded with zero bytes
      p.reply_at = wall_ms() + p.answer_ms;
    } else if (p.input.size() >= kWritePrefix.size() + 2 && p.input.compare(0, kWritePrefix.size(), kWritePrefix) == 0) {
      unsigned item = static_cast<unsigned char>(p.input[4]), value = static_cast<unsigned char>(p.input[5]);
      p.input.erase(0, kWritePrefix.size() + 2);
      bool refused = item >= kItems || static_cast<int>(item) == p.refuse_item;
      if (!refused) p.items[item] = static_cast<BYTE>(value);
      commands.push_back({{"command", "write"}, {"item", item}, {"value", value}, {"refused", refused}});
    } else if (command_prefix(p.input)) {
      break;
    } else {
      p.input.erase(0, 1);
    }
  }
  if (!commands.empty()) ev["commands"] = commands;
}

UsbPrinter parse_printer(const StateReader& r, const json& j, const std::string& w) {
  UsbPrinter p;
  p.device = r.text(j, "device", w, std::nullopt);
  if (p.device.empty()) r.bad(w + ".device", "must not be empty");
  p.status = static_cast<BYTE>(integer(r, j, "status", w, 0x18, 0, 255));
  if (r.field(j, "items", w)) {
    const json& items = r.list(j, "items", w);
    if (items.size() != kItems) r.bad(w + ".items", "must hold five numbers from 0 to 255");
    p.items.clear();
    for (auto& v : items) {
      if (!v.is_number_integer() || v.get<long long>() < 0 || v.get<long long>() > 255)
        r.bad(w + ".items", "must hold five numbers from 0 to 255");
      p.items.push_back(static_cast<BYTE>(v.get<int>()));
    }
  }
  p.answer_ms = static_cast<long>(integer(r, j, "answer_ms", w, 0, -1, 3'600'000));
  p.reply_length = static_cast<unsigned>(integer(r, j, "reply_length", w, 0, 0, 65536));
  p.refuse_item = static_cast<int>(integer(r, j, "refuse_item", w, -1, -1, 255));
  p.unplug_after = static_cast<long>(integer(r, j, "unplug_after", w, -1, -1, 1L << 30));
  if (const json* f = r.field(j, "stall_writes", w)) {
    if (!f->is_boolean()) r.bad(w + ".stall_writes", "must be true or false");
    p.stall_writes = f->get<bool>();
  }
  p.input = raw(r.hex(j, "input", w));
  p.reply = raw(r.hex(j, "reply", w));
  p.reply_at = integer(r, j, "reply_at", w, 0, 0, 1LL << 50);
  return p;
}

// Runs `f` on the device's printer under the machine's lock and writes the file when it says so.
// `dir` names another machine than this process's (the winsim tool's).
template <class F>
void with_printer(const std::string* dir, WStrView device, F&& f) {
  std::string file = (dir ? *dir : machine().dir) + "/usb.json";
  auto change = [&](json& doc) {
    UsbPrinters u = parse_usb(doc, file);
    UsbPrinter* p = u.find(device);
    if (!p) {
      // A device plugged in before its machine knew printers answers as a new printer does.
      u.printers.push_back({});
      p = &u.printers.back();
      p->device = WStr(device);
    }
    bool changed = f(*p);
    if (changed) doc = usb_json(u);
    return changed;
  };
  if (dir) {
    update_state_in(*dir, kStateName, change);
    return;
  }
  try {
    update_state_if(kStateName, change);
  } catch (const MachineError& e) {
    machine_unusable(e);
  }
}

void apply(UsbPrinter& p, const UsbPrinterSetup& s) {
  if (s.answer_ms) {
    if (*s.answer_ms < -1) throw MachineError("the answer delay must be -1 (never) or more");
    p.answer_ms = *s.answer_ms;
  }
  if (s.reply_length) {
    if (*s.reply_length > 65536) throw MachineError("a reply holds at most 65536 bytes");
    p.reply_length = *s.reply_length;
  }
  if (s.refuse_item) {
    if (*s.refuse_item < -1 || *s.refuse_item > 255) throw MachineError("the refused item must be -1 (none) to 255");
    p.refuse_item = *s.refuse_item;
  }
  if (s.unplug_after) {
    if (*s.unplug_after < -1) throw MachineError("unplug-after must be -1 (never) or a byte count");
    p.unplug_after = *s.unplug_after;
  }
  if (s.stall_writes) p.stall_writes = *s.stall_writes;
  if (s.status) {
    if (*s.status > 255) throw MachineError("the status is one byte");
    p.status = static_cast<BYTE>(*s.status);
  }
  if (s.items) {
    if (s.items->size() != kItems || std::any_of(s.items->begin(), s.items->end(), [](unsigned v) { return v > 255; }))
      throw MachineError("a printer has five items of one byte each");
    p.items.assign(s.items->begin(), s.items->end());
  }
}

}  // namespace

UsbPrinter* UsbPrinters::find(WStrView device) {
  for (auto& p : printers)
    if (iequal(p.device, device)) return &p;
  return nullptr;
}

long long wall_ms() { return host_now_ns() / 1'000'000; }

UsbPrinters parse_usb(const json& doc, const std::string& file) {
  UsbPrinters u;
  if (doc.is_object() && doc.empty()) return u;
  StateReader r(file);
  if (!doc.is_object()) r.bad("", "must hold an object");
  for (size_t i = 0; const json& j : r.list(doc, "printers", "")) {
    std::string w = at("printers", i++);
    UsbPrinter p = parse_printer(r, j, w);
    if (u.find(p.device)) r.bad(w + ".device", "repeats the printer " + to_utf8(p.device));
    u.printers.push_back(std::move(p));
  }
  return u;
}

json usb_json(const UsbPrinters& u) {
  json list = json::array();
  for (auto& p : u.printers) {
    json items = json::array();
    for (BYTE b : p.items) items.push_back(b);
    list.push_back({{"device", to_utf8(p.device)},
                    {"status", p.status},
                    {"items", items},
                    {"answer_ms", p.answer_ms},
                    {"reply_length", p.reply_length},
                    {"refuse_item", p.refuse_item},
                    {"unplug_after", p.unplug_after},
                    {"stall_writes", p.stall_writes},
                    {"input", hex_of(std::vector<BYTE>(p.input.begin(), p.input.end()))},
                    {"reply", hex_of(std::vector<BYTE>(p.reply.begin(), p.reply.end()))},
                    {"reply_at", p.reply_at}});
  }
  return {{"printers", list}};
}

std::optional<Device> usb_print_child(const Device& usb_device, const Devices& tree) {
  for (auto& d : tree.devices)
    if (iequal(d.parent, usb_device.instance)) return d;
  return std::nullopt;
}

UsbReceived usb_receive(const Device& dev, const WStr& port, const std::string& bytes) {
  UsbReceived r;
  json ev = {{"type", "usb"}, {"action", "received"}, {"port", to_utf8(port)}};
  with_printer(nullptr, dev.instance, [&](UsbPrinter& p) {
    if (p.stall_writes) {
      r.stalled = true;
      return false;
    }
    r.taken = static_cast<DWORD>(bytes.size());
    if (p.unplug_after >= 0 && static_cast<unsigned long>(p.unplug_after) <= bytes.size()) {
      r.taken = static_cast<DWORD>(p.unplug_after);
      r.unplugged = true;
      p.unplug_after = -1;
    } else if (p.unplug_after >= 0) {
      p.unplug_after -= static_cast<long>(bytes.size());
    }
    p.input += bytes.substr(0, r.taken);
    ev["bytes"] = spaced_hex(bytes.substr(0, r.taken));
    take_commands(p, ev);
    return true;
  });
  if (r.stalled) return r;
  if (r.unplugged) ev["unplugged"] = true;
  append_event(ev);
  if (r.unplugged) {
    // Pulled out: the device and its printing child are gone from the tree.
    edit_devices([&](Devices& d) {
      for (auto& x : d.devices)
        if (iequal(x.instance, dev.instance) || iequal(x.parent, dev.instance)) x.present = false;
    });
  }
  return r;
}

UsbReply usb_take_reply(const Device& dev, DWORD max) {
  UsbReply out;
  with_printer(nullptr, dev.instance, [&](UsbPrinter& p) {
    if (p.reply.empty()) return false;
    if (p.reply_at > wall_ms()) {
      out.due = p.reply_at;
      return false;
    }
    out.bytes = p.reply.substr(0, max);
    p.reply.erase(0, out.bytes.size());
    return !out.bytes.empty();
  });
  return out;
}

BYTE usb_status(const Device& dev) {
  try {
    UsbPrinters u = parse_usb(read_state(kStateName), machine().dir + "/usb.json");
    UsbPrinter* p = u.find(dev.instance);
    return p ? p->status : UsbPrinter{}.status;
  } catch (const MachineError& e) {
    machine_unusable(e);
  }
}

void add_usb_printer(const std::string& dir, const WStr& device, const UsbPrinterSetup& setup) {
  with_printer(&dir, device, [&](UsbPrinter& p) {
    p = UsbPrinter{};
    p.device = device;
    apply(p, setup);
    return true;
  });
}

void set_usb_printer(const std::string& dir, const std::string& which, const UsbPrinterSetup& setup) {
  Machine::load(dir);
  Devices d = parse_devices(read_state_in(dir, "devices"), dir + "/devices.json");
  WStr w = from_utf8(which);
  const Device* usb = nullptr;
  for (auto& dev : d.devices) {
    if (!iequal(dev.instance, w) && !(iequal(dev.port, w) && !dev.port.empty())) continue;
    const Device* candidate = dev.parent.empty() ? &dev : d.find(dev.parent);
    if (candidate && !device_interface_classes(*candidate).empty() && iequal(candidate->service, u"usbprint")) usb = candidate;
  }
  if (!usb) throw MachineError("no USB printer " + which);
  with_printer(&dir, usb->instance, [&](UsbPrinter& p) {
    apply(p, setup);
    return true;
  });
}

std::string describe_usb(const std::string& dir) {
  Machine::load(dir);
  Devices d = parse_devices(read_state_in(dir, "devices"), dir + "/devices.json");
  UsbPrinters u = parse_usb(read_state_in(dir, kStateName), dir + "/usb.json");
  std::ostringstream out;
  for (auto& p : u.printers) {
    const Device* child = nullptr;
    for (auto& dev : d.devices)
      if (iequal(dev.parent, p.device)) child = &dev;
    const Device* self = d.find(p.device);
    out << "usb printer " << (child ? to_utf8(child->port) : std::string("?")) << "  " << to_utf8(p.device)
        << (self && !self->present ? " (not present)" : "") << "\n";
    if (child) out << "  device ID " << to_utf8(child->device_id) << "\n";
    char status[8];
    std::snprintf(status, sizeof status, "0x%02X", p.status);
    out << "  status " << status << ", items " << spaced_hex(raw(p.items)) << "\n";
    out << "  answers " << (p.answer_ms < 0 ? std::string("never") : p.answer_ms == 0 ? std::string("at once") : "after " + std::to_string(p.answer_ms) + " ms");
    if (p.reply_length) out << ", replies " << p.reply_length << " bytes";
    if (p.refuse_item >= 0) out << ", refuses item " << p.refuse_item;
    if (p.unplug_after >= 0) out << ", pulled out after " << p.unplug_after << " more bytes";
    if (p.stall_writes) out << ", takes no bytes";
    out << "\n";
  }
  return out.str();
}

}  // namespace winsim
