// The JSON state files of a machine: any system.json, and any faults, spooler, registry devices or usb
// file beside a good one, is either accepted or refused with the one error that names the file; a
// service state that was accepted stays acceptable after the service wrote it back.
#include "fuzz_machine.h"

namespace {

bool check(const std::string& dir) {
  try {
    winsim::check_machine(dir);
    return true;
  } catch (const winsim::MachineError& e) {
    if (std::string(e.what()).rfind(dir + "/", 0) != 0) fuzz::fail("an error that does not name the file");
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string good = [] {
    std::ifstream in(fuzz::machine() + "/system.json", std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  static const std::string other = fuzz::machine() + "-other";
  static bool made = [] {
    winsim::create_machine(other, {});
    return true;
  }();
  (void)made;
  auto write = [&](const std::string& file, const uint8_t* bytes, size_t n) {
    std::ofstream(other + "/" + file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(n));
  };
  write("faults.json", reinterpret_cast<const uint8_t*>("{}"), 2);
  write("system.json", data, size);
  check(other);
  write("system.json", reinterpret_cast<const uint8_t*>(good.data()), good.size());
  write("faults.json", data, size);
  check(other);
  write("faults.json", reinterpret_cast<const uint8_t*>("{}"), 2);
  // The service state files: accepted ones stay acceptable after their service wrote them back.
  struct Service {
    const char* file;
    void (*rewrite)(const std::string& dir);
  };
  static const Service services[] = {
      {"spooler.json", [](const std::string& dir) { winsim::add_port(dir, "FUZZ1:"); }},
      {"registry.json", [](const std::string& dir) { winsim::reg_add(dir, "HKCU\\Software\\Fuzz", "v", "REG_DWORD", "1"); }},
      {"devices.json", [](const std::string& dir) { winsim::set_setup_policy(dir, true, false, false); }},
      {"usb.json", [](const std::string& dir) { winsim::set_usb_printer(dir, "USB001", [] {
        winsim::UsbPrinterSetup u;
        u.answer_ms = 5;
        return u;
      }()); }},
  };
  for (auto& svc : services) {
    write(svc.file, data, size);
    if (check(other)) {
      try {
        svc.rewrite(other);
      } catch (const winsim::MachineError&) {
        // refused as a person's command would be (the port exists already, ...)
      }
      if (!check(other)) fuzz::fail("a service wrote back a state it cannot read");
    }
    write(svc.file, reinterpret_cast<const uint8_t*>("{}"), 2);
  }
  return 0;
}
