// The JSON state files of a machine: any system.json, and any faults.json or spooler.json beside
// a good one, is either accepted or refused with the one error that names the file; a spooler
// state that was accepted stays acceptable after the spooler wrote it back.
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
  write("spooler.json", data, size);
  if (check(other)) {
    winsim::describe_spooler(other);
    try {
      winsim::add_port(other, "FUZZ1:");
    } catch (const winsim::MachineError&) {
      // refused as a person's command would be (the port exists already)
    }
    if (!check(other)) fuzz::fail("the spooler wrote back a state it cannot read");
  }
  write("spooler.json", reinterpret_cast<const uint8_t*>("{}"), 2);
  return 0;
}
