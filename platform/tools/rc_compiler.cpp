// The resource compiler behind kelvane-rc: the .rc subset our deliverables use, turned into the
// resource table of the simulated machine or into a dump for comparison with windres.
#include "rc_compiler.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace kelvane_rc {

namespace {

[[noreturn]] void fail(const std::string& where, const std::string& why) { throw Failure{where + ": " + why}; }

std::u16string utf16(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : 4;
    unsigned c = len == 1 ? b : b & (0x3F >> (len - 1));
    for (int k = 1; k < len && i + k < s.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

struct Token {
  enum Kind { kEnd, kName, kNumber, kString, kPunct } kind = kEnd;
  std::string text;
  long value = 0;
  int line = 0;
};

class Lexer {
 public:
  Lexer(std::string src, std::string file) : src_(std::move(src)), file_(std::move(file)) {}

  // Preprocessor lines are handed to `on_directive` as they come.
  template <class F>
  Token next(F&& on_directive) {
    for (;;) {
      skip_blanks();
      if (pos_ >= src_.size()) return {Token::kEnd, "", 0, line_};
      if (at_line_start_ && src_[pos_] == '#') {
        size_t end = src_.find('\n', pos_);
        std::string d = src_.substr(pos_, end == std::string::npos ? std::string::npos : end - pos_);
        pos_ = end == std::string::npos ? src_.size() : end;
        on_directive(d, line_);
        continue;
      }
      at_line_start_ = false;
      char c = src_[pos_];
      if (c == '"' || ((c == 'L' || c == 'l') && pos_ + 1 < src_.size() && src_[pos_ + 1] == '"')) return string();
      if (std::isdigit(static_cast<unsigned char>(c))) return number();
      if (c == '-' && pos_ + 1 < src_.size() && std::isdigit(static_cast<unsigned char>(src_[pos_ + 1]))) {
        ++pos_;
        Token t = number();
        t.value = -t.value;
        t.text = "-" + t.text;
        return t;
      }
      if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        size_t b = pos_;
        while (pos_ < src_.size() && (std::isalnum(static_cast<unsigned char>(src_[pos_])) || src_[pos_] == '_'))
          ++pos_;
        return {Token::kName, src_.substr(b, pos_ - b), 0, line_};
      }
      ++pos_;
      return {Token::kPunct, std::string(1, c), 0, line_};
    }
  }

  std::string where(int line) const { return file_ + ":" + std::to_string(line); }

 private:
  void skip_blanks() {
    while (pos_ < src_.size()) {
      char c = src_[pos_];
      if (c == '\n') {
        ++line_;
        at_line_start_ = true;
        ++pos_;
      } else if (c == ' ' || c == '\t' || c == '\r') {
        ++pos_;
      } else if (src_.compare(pos_, 2, "//") == 0) {
        while (pos_ < src_.size() && src_[pos_] != '\n') ++pos_;
      } else if (src_.compare(pos_, 2, "/*") == 0) {
        size_t end = src_.find("*/", pos_ + 2);
        for (size_t i = pos_; i < std::min(end, src_.size()); ++i) line_ += src_[i] == '\n';
        pos_ = end == std::string::npos ? src_.size() : end + 2;
      } else {
        break;
      }
    }
  }

  Token number() {
    size_t b = pos_;
    while (pos_ < src_.size() && std::isalnum(static_cast<unsigned char>(src_[pos_]))) ++pos_;
    std::string t = src_.substr(b, pos_ - b);
    std::string digits = t;
    if (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l')) digits.pop_back();
    char* end = nullptr;
    long v = std::strtol(digits.c_str(), &end, 0);
    if (*end) fail(where(line_), "bad number " + t);
    return {Token::kNumber, t, v, line_};
  }

  Token string() {
    int line = line_;
    if (src_[pos_] != '"') ++pos_;  // L prefix
    ++pos_;
    std::string out;
    for (;;) {
      if (pos_ >= src_.size() || src_[pos_] == '\n') fail(where(line), "unterminated string");
      char c = src_[pos_++];
      if (c == '"') {
        if (pos_ < src_.size() && src_[pos_] == '"') {  // "" stands for one quotation mark
          out += '"';
          ++pos_;
          continue;
        }
        break;
      }
      if (c == '\\' && pos_ < src_.size()) {
        char e = src_[pos_++];
        switch (e) {
          case 'n':
            out += '\n';
            break;
          case 'r':
            out += '\r';
            break;
          case 't':
            out += '\t';
            break;
          case '0':
            out += '\0';
            break;
          case '\\':
            out += '\\';
            break;
          case '"':
            out += '"';
            break;
          case 'x': {
            size_t b = pos_;
            while (pos_ < src_.size() && pos_ - b < 4 && std::isxdigit(static_cast<unsigned char>(src_[pos_]))) ++pos_;
            unsigned v = static_cast<unsigned>(std::strtoul(src_.substr(b, pos_ - b).c_str(), nullptr, 16));
            out += static_cast<char>(v);
            break;
          }
          default:
            out += '\\';
            out += e;
        }
        continue;
      }
      out += c;
    }
    return {Token::kString, out, 0, line};
  }

  std::string src_, file_;
  size_t pos_ = 0;
  int line_ = 1;
  bool at_line_start_ = true;
};

struct Resource {
  std::string type_name;  // empty: numeric
  unsigned type_id = 0;
  std::string name;  // empty: numeric
  unsigned name_id = 0;
  unsigned lang = 0;
  std::string file;  // data from a file (whole, or a range)
  long offset = 0, length = -1;
  std::vector<unsigned char> bytes;  // data made here
};

class Compiler {
 public:
  Compiler(std::vector<std::string> search) : search_(std::move(search)) {
    for (auto& [k, v] : std::map<std::string, long>{{"LANG_NEUTRAL", 0},
                                                    {"LANG_ENGLISH", 9},
                                                    {"LANG_CHINESE", 4},
                                                    {"SUBLANG_NEUTRAL", 0},
                                                    {"SUBLANG_DEFAULT", 1},
                                                    {"SUBLANG_ENGLISH_US", 1},
                                                    {"SUBLANG_CHINESE_TRADITIONAL", 1},
                                                    {"SUBLANG_CHINESE_SIMPLIFIED", 2},
                                                    {"RT_MANIFEST", 24},
                                                    {"RT_RCDATA", 10},
                                                    {"RT_ICON", 3},
                                                    {"RT_GROUP_ICON", 14},
                                                    {"RT_STRING", 6},
                                                    {"CREATEPROCESS_MANIFEST_RESOURCE_ID", 1}})
      defines_[k] = std::to_string(v);
  }

  void compile(const std::string& rc) {
    dir_ = fs::path(rc).parent_path().string();
    std::error_code ec;
    includes_ = {fs::absolute(rc, ec).lexically_normal().string()};
    std::ifstream in(rc, std::ios::binary);
    if (!in) fail(rc, "cannot be read");
    std::stringstream ss;
    ss << in.rdbuf();
    Lexer lex(ss.str(), rc);
    auto directive = [&](const std::string& d, int line) { this->directive(d, lex.where(line)); };
    Token t = lex.next(directive);
    while (t.kind != Token::kEnd) {
      std::string where = lex.where(t.line);
      if (t.kind == Token::kName && t.text == "LANGUAGE") {
        long p = value(lex.next(directive), where);
        expect(lex.next(directive), ",", where);
        long s = value(lex.next(directive), where);
        lang_ = static_cast<unsigned>((s << 10) | p);
        t = lex.next(directive);
        continue;
      }
      if (t.kind == Token::kName && t.text == "STRINGTABLE") {
        Token b = skip_attributes(lex, directive);
        if (!(b.text == "BEGIN" || b.text == "{")) fail(where, "STRINGTABLE needs BEGIN");
        for (;;) {
          Token id = lex.next(directive);
          if (id.text == "END" || id.text == "}") break;
          long n = value(id, lex.where(id.line));
          Token s = lex.next(directive);
          if (s.text == ",") s = lex.next(directive);
          if (s.kind != Token::kString) fail(lex.where(s.line), "a string table entry needs a text");
          if (n < 0 || n > 0xFFFF) fail(lex.where(id.line), "string id out of range");
          auto& block = strings_[{lang_, static_cast<unsigned>(n / 16 + 1)}];
          block[static_cast<size_t>(n % 16)] = utf16(s.text);
        }
        t = lex.next(directive);
        continue;
      }
      // name type ...
      Resource r;
      r.lang = lang_;
      set_id(t, r.name, r.name_id, where);
      Token type = lex.next(directive);
      std::string tn = type.kind == Token::kName ? type.text : "";
      if (tn == "DIALOGEX") {
        r.type_id = 5;
        dialog(lex, directive, r, where);
        out_.push_back(r);
        t = lex.next(directive);
        continue;
      }
      if (tn == "DIALOG" || tn == "MENU" || tn == "MENUEX" || tn == "ACCELERATORS" || tn == "VERSIONINFO")
        fail(where, tn + " resources are not supported by this compiler (use DIALOGEX)");
      if (tn == "RCDATA") {
        r.type_id = 10;
      } else if (tn == "ICON") {
        r.type_id = 14;
      } else {
        set_id(type, r.type_name, r.type_id, where);
      }
      Token f = skip_attributes(lex, directive);
      if (f.kind != Token::kString) fail(where, "expected a file name (inline data is not supported)");
      r.file = find(f.text, where);
      if (tn == "ICON") {
        add_icon(r, where);
      } else {
        out_.push_back(r);
      }
      t = lex.next(directive);
    }
    for (auto& [key, block] : strings_) {
      Resource r;
      r.type_id = 6;
      r.lang = key.first;
      r.name_id = key.second;
      for (auto& s : block) {
        put16(r.bytes, static_cast<unsigned>(s.size()));
        for (char16_t c : s) put16(r.bytes, c);
      }
      out_.push_back(r);
    }
  }

  std::string dump() const {
    std::ostringstream o;
    for (const Resource& r : out_) {
      std::vector<unsigned char> data = r.bytes;
      if (!r.file.empty()) {
        std::ifstream in(r.file, std::ios::binary);
        std::vector<unsigned char> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        long len = r.length >= 0 ? r.length : static_cast<long>(f.size());
        data.assign(f.begin() + r.offset, f.begin() + r.offset + len);
      }
      o << (r.type_name.empty() ? "#" + std::to_string(r.type_id) : r.type_name) << " "
        << (r.name.empty() ? "#" + std::to_string(r.name_id) : r.name) << " " << r.lang << " ";
      static const char* hex = "0123456789abcdef";
      for (unsigned char c : data) o << hex[c >> 4] << hex[c & 15];
      o << "\n";
    }
    return o.str();
  }

  std::string generate(const std::string& rc) const {
    std::ostringstream o;
    o << "// Generated by kelvane-rc from " << fs::path(rc).filename().string() << ". Do not edit.\n"
      << "#include \"winsim/resources.h\"\n\nnamespace {\n\n";
    for (size_t i = 0; i < out_.size(); ++i) {
      const Resource& r = out_[i];
      if (r.file.empty()) {
        o << "const unsigned char kres_" << i << "[] = {";
        for (size_t k = 0; k < r.bytes.size(); ++k)
          o << (k % 24 ? "" : "\n  ") << static_cast<unsigned>(r.bytes[k]) << ",";
        o << "0};\n";
      }
    }
    o << "\n}  // namespace\n\n";
    // Files go in as they are, through the assembler, so that large ones cost nothing to compile.
    for (size_t i = 0; i < out_.size(); ++i) {
      const Resource& r = out_[i];
      if (r.file.empty()) continue;
      const std::string& file = r.file;  // checked to need no escapes
      o << "__asm__(\".section .rodata\\n.balign 16\\n.globl kelvane_res_" << i << "\\n.hidden kelvane_res_" << i
        << "\\nkelvane_res_" << i << ":\\n.incbin \\\"" << file << "\\\"";
      if (r.length >= 0) o << ", " << r.offset << ", " << r.length;
      o << "\\n.byte 0\\n.previous\\n\");\n"
        << "extern \"C\" __attribute__((visibility(\"hidden\"))) const unsigned char kelvane_res_" << i << "[];\n";
    }
    o << "\nnamespace {\n\nconst winsim_resource kTable[] = {\n";
    for (size_t i = 0; i < out_.size(); ++i) {
      const Resource& r = out_[i];
      auto name = [](const std::string& s) { return s.empty() ? std::string("nullptr") : "u\"" + s + "\""; };
      o << "    {" << name(r.type_name) << ", " << r.type_id << ", " << name(r.name) << ", " << r.name_id << ", "
        << r.lang << ", " << (r.file.empty() ? "kres_" : "kelvane_res_") << i << ", " << size(r) << "},\n";
    }
    if (out_.empty()) o << "    {nullptr, 0, nullptr, 0, 0, nullptr, 0},\n";
    o << "};\n\n"
      << "struct Registration {\n"
      << "  Registration() { winsim_register_resources(kTable, " << out_.size() << ", kTable); }\n"
      << "  ~Registration() { winsim_unregister_resources(kTable); }\n"
      << "} registration;\n\n}  // namespace\n";
    return o.str();
  }

 private:
  static void put32(std::vector<unsigned char>& b, unsigned long v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>((v >> (8 * i)) & 0xFF));
  }
  static void put_text(std::vector<unsigned char>& b, const std::string& s) {
    for (char16_t c : utf16(s)) put16(b, c);
    put16(b, 0);
  }
  static void align4(std::vector<unsigned char>& b) {
    while (b.size() % 4) b.push_back(0);
  }

  // A style: numbers and names joined by "|", each name optionally after NOT (which clears).
  template <class F>
  unsigned long style(Lexer& lex, F&& directive, Token& t, unsigned long base, const std::string& where) {
    unsigned long v = base;
    for (;;) {
      bool negate = t.kind == Token::kName && t.text == "NOT";
      if (negate) t = lex.next(directive);
      unsigned long x = static_cast<unsigned long>(constant(t, where));
      v = negate ? (v & ~x) : (v | x);
      t = lex.next(directive);
      if (t.text != "|") return v;
      t = lex.next(directive);
    }
  }

  long constant(const Token& t, const std::string& where) const {
    static const std::map<std::string, unsigned long> k = {{"WS_OVERLAPPED", 0x0},
                                                           {"WS_POPUP", 0x80000000},
                                                           {"WS_CHILD", 0x40000000},
                                                           {"WS_MINIMIZE", 0x20000000},
                                                           {"WS_VISIBLE", 0x10000000},
                                                           {"WS_DISABLED", 0x08000000},
                                                           {"WS_CLIPSIBLINGS", 0x04000000},
                                                           {"WS_CLIPCHILDREN", 0x02000000},
                                                           {"WS_CAPTION", 0x00C00000},
                                                           {"WS_BORDER", 0x00800000},
                                                           {"WS_DLGFRAME", 0x00400000},
                                                           {"WS_VSCROLL", 0x00200000},
                                                           {"WS_HSCROLL", 0x00100000},
                                                           {"WS_SYSMENU", 0x00080000},
                                                           {"WS_THICKFRAME", 0x00040000},
                                                           {"WS_GROUP", 0x00020000},
                                                           {"WS_TABSTOP", 0x00010000},
                                                           {"WS_EX_CLIENTEDGE", 0x200},
                                                           {"WS_EX_STATICEDGE", 0x20000},
                                                           {"WS_EX_TRANSPARENT", 0x20},
                                                           {"DS_SETFONT", 0x40},
                                                           {"DS_MODALFRAME", 0x80},
                                                           {"DS_3DLOOK", 0x4},
                                                           {"DS_FIXEDSYS", 0x8},
                                                           {"DS_CONTROL", 0x400},
                                                           {"DS_CENTER", 0x800},
                                                           {"DS_SHELLFONT", 0x48},
                                                           {"ES_LEFT", 0x0},
                                                           {"ES_CENTER", 0x1},
                                                           {"ES_RIGHT", 0x2},
                                                           {"ES_MULTILINE", 0x4},
                                                           {"ES_AUTOHSCROLL", 0x80},
                                                           {"ES_READONLY", 0x800},
                                                           {"ES_NUMBER", 0x2000},
                                                           {"BS_PUSHBUTTON", 0x0},
                                                           {"BS_DEFPUSHBUTTON", 0x1},
                                                           {"BS_CHECKBOX", 0x2},
                                                           {"BS_AUTOCHECKBOX", 0x3},
                                                           {"BS_RADIOBUTTON", 0x4},
                                                           {"BS_GROUPBOX", 0x7},
                                                           {"BS_AUTORADIOBUTTON", 0x9},
                                                           {"SS_LEFT", 0x0},
                                                           {"SS_CENTER", 0x1},
                                                           {"SS_RIGHT", 0x2},
                                                           {"SS_ICON", 0x3},
                                                           {"SS_BITMAP", 0xE},
                                                           {"SS_CENTERIMAGE", 0x200},
                                                           {"SS_NOTIFY", 0x100},
                                                           {"SS_SUNKEN", 0x1000},
                                                           {"CBS_DROPDOWN", 0x2},
                                                           {"CBS_DROPDOWNLIST", 0x3},
                                                           {"CBS_SORT", 0x100},
                                                           {"CBS_HASSTRINGS", 0x200},
                                                           {"LBS_NOTIFY", 0x1},
                                                           {"LBS_SORT", 0x2},
                                                           {"LBS_NOINTEGRALHEIGHT", 0x100},
                                                           {"UDS_SETBUDDYINT", 0x2},
                                                           {"UDS_ALIGNRIGHT", 0x4},
                                                           {"UDS_AUTOBUDDY", 0x10},
                                                           {"UDS_ARROWKEYS", 0x20},
                                                           {"TBS_AUTOTICKS", 0x1},
                                                           {"SBS_VERT", 0x1}};
    if (t.kind == Token::kName) {
      auto it = k.find(t.text);
      if (it != k.end()) return static_cast<long>(it->second);
    }
    return value(t, where);
  }

  // DIALOGEX: the DLGTEMPLATEEX header, then one DLGITEMTEMPLATEEX per control, DWORD-aligned.
  template <class F>
  void dialog(Lexer& lex, F&& directive, Resource& r, const std::string& where) {
    long rect[4];
    Token t = skip_attributes(lex, directive);
    for (int i = 0; i < 4; ++i) {
      if (i) expect(lex.next(directive), ",", where);
      rect[i] = value(i ? lex.next(directive) : t, where);
    }
    t = lex.next(directive);
    if (t.text == ",") {  // help id
      lex.next(directive);
      t = lex.next(directive);
    }
    unsigned long st = 0x80000000 | 0x00800000 | 0x00080000;  // WS_POPUP | WS_BORDER | WS_SYSMENU
    bool style_given = false;
    unsigned long ex = 0;
    std::string caption, font_face;
    long font_size = 0, font_weight = 0, font_italic = 0, font_charset = 1;
    bool has_font = false;
    for (;;) {
      if (t.text == "STYLE") {
        t = lex.next(directive);
        st = style(lex, directive, t, 0, where);
        style_given = true;
      } else if (t.text == "EXSTYLE") {
        t = lex.next(directive);
        ex = style(lex, directive, t, 0, where);
      } else if (t.text == "CAPTION") {
        Token c = lex.next(directive);
        if (c.kind != Token::kString) fail(where, "CAPTION needs a text");
        caption = c.text;
        t = lex.next(directive);
      } else if (t.text == "FONT") {
        has_font = true;
        font_size = value(lex.next(directive), where);
        expect(lex.next(directive), ",", where);
        Token face = lex.next(directive);
        if (face.kind != Token::kString) fail(where, "FONT needs a typeface");
        font_face = face.text;
        t = lex.next(directive);
        long* extra[] = {&font_weight, &font_italic, &font_charset};
        for (long* e : extra) {
          if (t.text != ",") break;
          *e = value(lex.next(directive), where);
          t = lex.next(directive);
        }
      } else {
        break;
      }
    }
    if (!caption.empty() && !style_given) st |= 0x00C00000;  // WS_CAPTION
    if (has_font) st |= 0x40;                                // DS_SETFONT
    if (t.text != "BEGIN" && t.text != "{") fail(where, "DIALOGEX needs BEGIN");

    std::vector<std::vector<unsigned char>> items;
    for (t = lex.next(directive); t.text != "END" && t.text != "}";) {
      std::string kind = t.text;
      std::string iw = lex.where(t.line);
      std::string text;
      bool text_ordinal = false;
      long text_id = 0;
      std::string cls_name;
      unsigned cls_ord = 0;
      unsigned long cst = 0x50000000;  // WS_CHILD | WS_VISIBLE
      // Per kind: the class, its style when none is given and the style a given one is added to
      // (windres drops a static's WS_GROUP and a radio button's WS_TABSTOP once a style is given).
      struct Kind {
        unsigned cls;
        unsigned long style, base;
      };
      static const std::map<std::string, Kind> kinds = {
          {"LTEXT", {0x82, 0x00020000, 0x0}},
          {"RTEXT", {0x82, 0x00020002, 0x2}},
          {"CTEXT", {0x82, 0x00020001, 0x1}},
          {"EDITTEXT", {0x81, 0x00810000, 0x00810000}},
          {"PUSHBUTTON", {0x80, 0x00010000, 0x00010000}},
          {"DEFPUSHBUTTON", {0x80, 0x00010001, 0x00010001}},
          {"GROUPBOX", {0x80, 0x7, 0x7}},
          {"CHECKBOX", {0x80, 0x00010002, 0x00010002}},
          {"AUTOCHECKBOX", {0x80, 0x00010003, 0x00010003}},
          {"RADIOBUTTON", {0x80, 0x4, 0x4}},
          {"AUTORADIOBUTTON", {0x80, 0x00010009, 0x9}},
          {"COMBOBOX", {0x85, 0x00010000, 0x00010000}},
          {"LISTBOX", {0x83, 0x00800001, 0x00800001}},
          {"ICON", {0x82, 0x3, 0x3}},
          {"CONTROL", {0, 0, 0}}};
      auto k = kinds.find(kind);
      if (k == kinds.end()) fail(iw, "unknown dialog control " + kind);
      cls_ord = k->second.cls;
      cst |= k->second.style;
      bool has_text = kind != "EDITTEXT" && kind != "COMBOBOX" && kind != "LISTBOX";
      Token a = lex.next(directive);
      if (has_text) {
        if (a.kind == Token::kString) {
          text = a.text;
        } else {  // ICON takes a resource name or number
          text_ordinal = a.kind == Token::kNumber || defines_.count(a.text);
          if (text_ordinal)
            text_id = value(a, iw);
          else
            text = a.text;
        }
        expect(lex.next(directive), ",", iw);
        a = lex.next(directive);
      }
      long id = value(a, iw);
      Token n = lex.next(directive);
      if (kind == "CONTROL") {
        expect(n, ",", iw);
        Token c = lex.next(directive);
        if (c.kind != Token::kString) fail(iw, "CONTROL needs a class name");
        // As windres writes it: the class by name, in capitals (the Windows build uses windres).
        cls_ord = 0;
        for (char ch : c.text) cls_name += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        expect(lex.next(directive), ",", iw);
        Token s0 = lex.next(directive);
        cst = style(lex, directive, s0, cst, iw);
        n = s0;
      }
      long pos[4] = {0, 0, 0, 0};
      int count = kind == "ICON" ? 2 : 4;
      for (int i = 0; i < 4; ++i) {
        if (i >= count && n.text != ",") break;
        expect(n, ",", iw);
        pos[i] = value(lex.next(directive), iw);
        n = lex.next(directive);
      }
      unsigned long cex = 0;
      if (n.text == ",") {
        Token s1 = lex.next(directive);
        if (kind == "CONTROL") {
          cex = style(lex, directive, s1, 0, iw);
        } else {
          cst = style(lex, directive, s1, 0x50000000 | k->second.base, iw);
          if (s1.text == ",") {
            s1 = lex.next(directive);
            cex = style(lex, directive, s1, 0, iw);
          }
        }
        n = s1;
      }
      if (kind == "ICON") pos[2] = pos[3] = 0;  // windres sizes icons by their picture
      std::vector<unsigned char> b;
      put32(b, 0);
      put32(b, cex);
      put32(b, cst);
      for (long p : pos) put16(b, static_cast<unsigned>(p & 0xFFFF));
      put32(b, static_cast<unsigned long>(id));
      if (cls_ord) {
        put16(b, 0xFFFF);
        put16(b, cls_ord);
      } else {
        put_text(b, cls_name);
      }
      if (text_ordinal) {
        put16(b, 0xFFFF);
        put16(b, static_cast<unsigned>(text_id));
      } else {
        put_text(b, text);
      }
      put16(b, 0);  // no creation data
      items.push_back(b);
      t = n;
    }

    std::vector<unsigned char>& b = r.bytes;
    put16(b, 1);
    put16(b, 0xFFFF);
    put32(b, 0);
    put32(b, ex);
    put32(b, st);
    put16(b, static_cast<unsigned>(items.size()));
    for (long v : rect) put16(b, static_cast<unsigned>(v & 0xFFFF));
    put16(b, 0);  // no menu
    put16(b, 0);  // the dialog class
    put_text(b, caption);
    if (st & 0x40) {
      put16(b, static_cast<unsigned>(font_size));
      put16(b, static_cast<unsigned>(font_weight));
      b.push_back(static_cast<unsigned char>(font_italic));
      b.push_back(static_cast<unsigned char>(font_charset));
      put_text(b, font_face);
    }
    for (auto& item : items) {
      align4(b);
      b.insert(b.end(), item.begin(), item.end());
    }
  }

  static void put16(std::vector<unsigned char>& b, unsigned v) {
    b.push_back(static_cast<unsigned char>(v & 0xFF));
    b.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
  }

  static long size(const Resource& r) {
    if (!r.file.empty()) return r.length >= 0 ? r.length : static_cast<long>(fs::file_size(r.file));
    return static_cast<long>(r.bytes.size());
  }

  template <class F>
  static Token skip_attributes(Lexer& lex, F&& directive) {
    static const char* attrs[] = {"DISCARDABLE", "PRELOAD", "LOADONCALL", "MOVEABLE", "FIXED", "PURE", "IMPURE"};
    for (;;) {
      Token t = lex.next(directive);
      bool attr = false;
      for (const char* a : attrs) attr |= t.kind == Token::kName && t.text == a;
      if (!attr) return t;
    }
  }

  void directive(const std::string& d, const std::string& where) {
    std::istringstream in(d.substr(1));
    std::string word;
    in >> word;
    if (word == "define") {
      std::string name, value;
      in >> name;
      std::getline(in, value);
      value = value.substr(0, std::min(value.find("//"), value.find("/*")));
      size_t b = value.find_first_not_of(" \t"), e = value.find_last_not_of(" \t\r");
      defines_[name] = b == std::string::npos ? "" : value.substr(b, e - b + 1);
    } else if (word == "include") {
      std::string rest;
      std::getline(in, rest);
      std::string name = include_name(rest, where);
      if (name.empty()) return;  // <system headers> hold nothing for us
      std::string header = find(name, where);
      if (std::find(includes_.begin(), includes_.end(), header) != includes_.end())
        fail(where, "#include loop: " + include_chain(header));
      if (includes_.size() > kMaxIncludeDepth)
        fail(where, "#include nested more than " + std::to_string(kMaxIncludeDepth) + " deep: " + include_chain(header));
      includes_.push_back(header);
      std::ifstream h(header);
      int line_no = 0;
      for (std::string line; std::getline(h, line);) {
        ++line_no;
        size_t b = line.find_first_not_of(" \t");
        if (b != std::string::npos && line[b] == '#') directive(line.substr(b), header + ":" + std::to_string(line_no));
      }
      includes_.pop_back();
    } else if (word == "pragma" || word == "ifdef" || word == "ifndef" || word == "endif" || word == "undef") {
      // code_page(65001) is what we read anyway; guards of headers change nothing here
    } else {
      fail(where, "unsupported directive #" + word);
    }
  }

  // The file an #include names: "file" is ours to read, <file> a system header (empty result).
  // Whatever follows the name, a comment with quotes in it included, is not part of it.
  static std::string include_name(const std::string& rest, const std::string& where) {
    size_t b = rest.find_first_not_of(" \t");
    if (b != std::string::npos && rest[b] == '<' && rest.find('>', b) != std::string::npos) return "";
    if (b == std::string::npos || rest[b] != '"') fail(where, "#include needs a \"file\" or <file>");
    size_t e = rest.find('"', b + 1);
    if (e == std::string::npos || e == b + 1) fail(where, "#include needs a \"file\" or <file>");
    return rest.substr(b + 1, e - b - 1);
  }

  std::string include_chain(const std::string& last) const {
    std::string chain;
    for (auto& f : includes_) chain += f + " -> ";
    return chain + last;
  }

  long value(const Token& t, const std::string& where) const {
    if (t.kind == Token::kNumber) return t.value;
    if (t.kind == Token::kName) {
      auto it = defines_.find(t.text);
      if (it != defines_.end()) {
        char* end = nullptr;
        long v = std::strtol(it->second.c_str(), &end, 0);
        if (!it->second.empty() && (!*end || *end == 'L')) return v;
      }
    }
    fail(where, "expected a number, found \"" + t.text + "\"");
  }

  void set_id(const Token& t, std::string& name, unsigned& id, const std::string& where) const {
    if (t.kind == Token::kNumber || (t.kind == Token::kName && defines_.count(t.text))) {
      id = static_cast<unsigned>(value(t, where));
    } else if (t.kind == Token::kName || t.kind == Token::kString) {
      for (char c : t.text) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    } else {
      fail(where, "expected a resource name, found \"" + t.text + "\"");
    }
  }

  static void expect(const Token& t, const char* what, const std::string& where) {
    if (t.text != what) fail(where, std::string("expected ") + what);
  }

  std::string find(const std::string& name, const std::string& where) const {
    std::vector<std::string> dirs = {dir_};
    dirs.insert(dirs.end(), search_.begin(), search_.end());
    for (auto& d : dirs) {
      fs::path p = fs::path(d) / name;
      std::error_code ec;
      if (!fs::is_regular_file(p, ec)) continue;
      std::string found = fs::absolute(p).lexically_normal().string();
      if (found.find_first_of("\"\\") != std::string::npos)
        fail(where, "file path " + found + " holds a quote or backslash");
      return found;
    }
    fail(where, "file \"" + name + "\" not found");
  }

  // An icon file becomes one RT_ICON per image and an RT_GROUP_ICON directory naming them.
  void add_icon(Resource group, const std::string& where) {
    std::ifstream in(group.file, std::ios::binary);
    std::vector<unsigned char> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u16 = [&](size_t o) { return static_cast<unsigned>(f[o] | (f[o + 1] << 8)); };
    auto u32 = [&](size_t o) {
      return static_cast<unsigned long>(u16(o) | (static_cast<unsigned long>(u16(o + 2)) << 16));
    };
    if (f.size() < 6 || u16(0) != 0 || u16(2) != 1) fail(where, group.file + " is not an icon file");
    unsigned count = u16(4);
    if (f.size() < 6 + 16ul * count) fail(where, group.file + " is cut short");
    put16(group.bytes, 0);
    put16(group.bytes, 1);
    put16(group.bytes, count);
    for (unsigned i = 0; i < count; ++i) {
      size_t e = 6 + 16ul * i;
      Resource img;
      img.type_id = 3;
      img.name_id = ++icon_id_;
      img.lang = group.lang;
      img.file = group.file;
      img.length = static_cast<long>(u32(e + 8));
      img.offset = static_cast<long>(u32(e + 12));
      if (static_cast<size_t>(img.offset + img.length) > f.size()) fail(where, group.file + " is cut short");
      out_.push_back(img);
      group.bytes.insert(group.bytes.end(), f.begin() + static_cast<long>(e), f.begin() + static_cast<long>(e + 12));
      put16(group.bytes, img.name_id);
    }
    group.file.clear();
    out_.push_back(group);
  }

  static constexpr size_t kMaxIncludeDepth = 16;

  std::vector<std::string> search_;
  std::string dir_;
  std::vector<std::string> includes_;  // the .rc and the headers being read, outermost first
  std::map<std::string, std::string> defines_;
  unsigned lang_ = 0;
  unsigned icon_id_ = 0;
  std::map<std::pair<unsigned, unsigned>, std::u16string[16]> strings_;
  std::vector<Resource> out_;
};

}  // namespace

std::string compile_rc(const std::string& rc, const std::vector<std::string>& search, bool dump) {
  Compiler c(search);
  c.compile(rc);
  return dump ? c.dump() : c.generate(rc);
}

}  // namespace kelvane_rc
