// Our resource compiler against windres: the same .rc gives the same resources, byte for byte.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

std::string read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()); }

// "type name lang" -> hex data, from a Win32 .res file.
std::map<std::string, std::string> parse_res(const std::string& res) {
  std::map<std::string, std::string> out;
  size_t at = 0;
  auto u16 = [&](size_t o) {
    return static_cast<unsigned>(static_cast<unsigned char>(res[o]) | static_cast<unsigned char>(res[o + 1]) << 8);
  };
  auto u32 = [&](size_t o) { return u16(o) | (u16(o + 2) << 16); };
  while (at + 32 <= res.size()) {
    unsigned data_size = u32(at), header_size = u32(at + 4);
    size_t p = at + 8;
    auto id = [&]() {
      std::string s;
      if (u16(p) == 0xFFFF) {
        s = "#" + std::to_string(u16(p + 2));
        p += 4;
        return s;
      }
      for (; u16(p); p += 2) s += static_cast<char>(u16(p));
      p += 2;
      return s;
    };
    std::string type = id(), name = id();
    p = (p + 3) & ~size_t(3);
    unsigned lang = u16(p + 6);
    if (data_size) {
      static const char* hex = "0123456789abcdef";
      std::string h;
      for (size_t i = 0; i < data_size; ++i) {
        unsigned char c = static_cast<unsigned char>(res[at + header_size + i]);
        h += hex[c >> 4];
        h += hex[c & 15];
      }
      out[type + " " + name + " " + std::to_string(lang)] = h;
    }
    at = (at + header_size + data_size + 3) & ~size_t(3);
  }
  return out;
}

std::map<std::string, std::string> parse_dump(const std::string& text) {
  std::map<std::string, std::string> out;
  std::istringstream in(text);
  std::string type, name, lang, hex;
  while (in >> type >> name >> lang) {
    std::getline(in, hex);
    out[type + " " + name + " " + lang] = hex.empty() ? hex : hex.substr(1);
  }
  return out;
}

TEST(ResourceCompiler, MatchesWindres) {
  std::string data = TOOLS_DATA;
  std::string tmp = std::filesystem::temp_directory_path() / "kelvane-rc-test";
  std::filesystem::create_directories(tmp);
  ASSERT_EQ(run(std::string(KELVANE_RC) + " dump " + data + "/sample.rc " + tmp + "/ours.txt"), 0);
  ASSERT_EQ(run("cd " + data + " && i686-w64-mingw32-windres -c 65001 sample.rc -O res " + tmp + "/theirs.res"), 0);
  auto ours = parse_dump(read(tmp + "/ours.txt"));
  auto theirs = parse_res(read(tmp + "/theirs.res"));
  EXPECT_EQ(ours.size(), theirs.size());
  for (auto& [key, hex] : theirs) {
    auto it = ours.find(key);
    ASSERT_NE(it, ours.end()) << key;
    EXPECT_EQ(it->second, hex) << key;
  }
  std::filesystem::remove_all(tmp);
}

TEST(ResourceCompiler, ClearErrors) {
  std::string tmp = std::filesystem::temp_directory_path() / "kelvane-rc-errors";
  std::filesystem::create_directories(tmp);
  // Headers the cases include: a.h and b.h include each other, deep0.h starts a chain of 20.
  std::ofstream(tmp + "/a.h") << "#define A 1\n#include \"b.h\"\n";
  std::ofstream(tmp + "/b.h") << "#include \"a.h\" // back again\n";
  for (int i = 0; i < 20; ++i)
    std::ofstream(tmp + "/deep" + std::to_string(i) + ".h") << "#include \"deep" << i + 1 << ".h\"\n";
  std::ofstream(tmp + "/deep20.h") << "#define DEEP 1\n";
  std::ofstream(tmp + "/ok.h") << "#define ID 7 // seven\n";
  struct Case {
    std::string rc;
    std::string says;
  } cases[] = {
      {"X RCDATA \"missing.bin\"\n", "bad.rc:1: file \"missing.bin\" not found"},
      {"X MENU BEGIN END\n", "bad.rc:1: MENU resources are not supported"},
      {"STRINGTABLE BEGIN 1 \"open\nEND\n", "bad.rc:1: unterminated string"},
      // Include loops and depth end in an error naming the chain, never in a stack overflow.
      {"\n#include \"bad.rc\"\n", "bad.rc:2: #include loop: " + tmp + "/bad.rc -> " + tmp + "/bad.rc"},
      {"#include \"a.h\"\n",
       tmp + "/b.h:1: #include loop: " + tmp + "/bad.rc -> " + tmp + "/a.h -> " + tmp + "/b.h -> " + tmp + "/a.h"},
      {"#include \"deep0.h\"\n", "#include nested more than 16 deep: " + tmp + "/bad.rc -> " + tmp + "/deep0.h"},
      // A quoted name in a comment is no include; a name without quotes or brackets is an error.
      {"#include <windows.h> // \"x.h\"\n#include \"ok.h\"\nSTRINGTABLE BEGIN ID \"open\nEND\n",
       "bad.rc:3: unterminated string"},
      {"#include windows.h\n", "bad.rc:1: #include needs a \"file\" or <file>"},
  };
  for (auto& tc : cases) {
    std::ofstream(tmp + "/bad.rc") << tc.rc;
    std::string cmd = std::string(KELVANE_RC) + " compile " + tmp + "/bad.rc " + tmp + "/out.cpp 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[2048] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, p);
    int status = pclose(p);
    std::string out(buf, n);
    EXPECT_EQ(WEXITSTATUS(status), 1) << tc.rc << out;
    EXPECT_NE(out.find(tc.says), std::string::npos) << out;
  }
  std::filesystem::remove_all(tmp);
}

}  // namespace
