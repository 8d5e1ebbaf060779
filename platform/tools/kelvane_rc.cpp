// kelvane-rc: turns a deliverable's .rc file into the resource table of the simulated machine
// (a C++ source that the image links), so that Windows builds (windres) and simulated builds
// read the same source of truth. Understands the subset our .rc files use: LANGUAGE, STRINGTABLE,
// RCDATA, ICON, manifests (type 24) and custom types given by file, #define and #include of
// headers with #defines.
//
//   kelvane-rc compile INPUT.rc OUTPUT.cpp [-I DIR]...
//   kelvane-rc dump INPUT.rc OUTPUT.txt [-I DIR]...   (one line per resource: type name lang hex)
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "rc_compiler.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 3 || (args[0] != "compile" && args[0] != "dump")) {
    std::cerr << "usage: kelvane-rc compile|dump INPUT.rc OUTPUT [-I DIR]...\n";
    return 2;
  }
  std::vector<std::string> search;
  for (size_t i = 3; i < args.size(); ++i) {
    if (args[i] == "-I" && i + 1 < args.size()) {
      search.push_back(args[++i]);
    } else if (args[i].rfind("-I", 0) == 0) {
      search.push_back(args[i].substr(2));
    } else {
      std::cerr << "kelvane-rc: unknown argument " << args[i] << "\n";
      return 2;
    }
  }
  try {
    std::string text = kelvane_rc::compile_rc(args[1], search, args[0] == "dump");
    std::string tmp = args[2] + ".tmp";
    {
      std::ofstream out(tmp, std::ios::binary);
      out << text;
      if (!out) {
        std::cerr << "kelvane-rc: cannot write " << args[2] << "\n";
        return 1;
      }
    }
    fs::rename(tmp, args[2]);
  } catch (const kelvane_rc::Failure& f) {
    std::cerr << "kelvane-rc: " << f.message << "\n";
    return 1;
  }
  return 0;
}
