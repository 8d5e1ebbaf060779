// The INF reader of the device-setup services.
#include "inf.h"

#include <cstring>

namespace winsim {

namespace {

constexpr size_t kMaxLineChars = 4096;  // the setup services' line limit

// Splits a logical line into its key and values: "," separates values, "=" the key (once,
// outside quotes), ";" starts a comment, "..." quotes with "" for a quote inside.
InfLine split_line(WStrView line) {
  InfLine out;
  std::vector<WStr> parts;
  WStr cur;
  bool quoted_any = false, in_quotes = false;
  auto finish = [&] {
    parts.push_back(quoted_any ? cur : trim_blanks(cur));
    cur.clear();
    quoted_any = false;
  };
  for (size_t i = 0; i < line.size(); ++i) {
    WCHAR c = line[i];
    if (in_quotes) {
      if (c == u'"' && i + 1 < line.size() && line[i + 1] == u'"') {
        cur += u'"';
        ++i;
      } else if (c == u'"') {
        in_quotes = false;
      } else {
        cur += c;
      }
      continue;
    }
    if (c == u'"') {
      if (!quoted_any) cur = trim_blanks(cur);
      in_quotes = quoted_any = true;
    } else if (c == u';') {
      break;
    } else if (c == u'=' && !out.key && parts.empty()) {
      out.key = quoted_any ? cur : trim_blanks(cur);
      cur.clear();
      quoted_any = false;
    } else if (c == u',') {
      finish();
    } else if (quoted_any && (c == u' ' || c == u'\t')) {
      // blanks around a quoted text are not part of it
    } else {
      cur += c;
    }
  }
  if (!(parts.empty() && trim_blanks(cur).empty() && !quoted_any && !out.key)) finish();
  out.values = std::move(parts);
  return out;
}

WStr substitute(const WStr& text, const std::map<WStr, WStr>& strings) {
  if (text.find(u'%') == WStr::npos) return text;
  WStr out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'%') {
      out += text[i];
      continue;
    }
    size_t end = text.find(u'%', i + 1);
    if (end == WStr::npos) {
      out += text.substr(i);
      break;
    }
    WStr key = text.substr(i + 1, end - i - 1);
    if (key.empty()) {
      out += u'%';  // "%%" is a percent sign
    } else if (auto it = strings.find(folded(key)); it != strings.end()) {
      out += it->second;
    } else {
      out += text.substr(i, end - i + 1);
    }
    i = end;
  }
  return out;
}

}  // namespace

const std::vector<InfLine>* Inf::section(WStrView name) const {
  auto it = sections.find(folded(name));
  return it == sections.end() ? nullptr : &it->second;
}

std::optional<WStr> Inf::value(WStrView sec, WStrView key) const {
  if (auto* lines = section(sec))
    for (auto& l : *lines)
      if (l.key && iequal(*l.key, key)) return l.values.empty() ? WStr() : l.values.front();
  return std::nullopt;
}

std::optional<Inf> parse_inf(const std::string& bytes, DWORD& error) {
  WStr text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
    text.resize((bytes.size() - 2) / 2);
    std::memcpy(text.data(), bytes.data() + 2, text.size() * 2);
  } else {
    text = from_acp(bytes);
  }
  Inf inf;
  std::vector<InfLine>* current = nullptr;
  WStr logical;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(u"\r\n", start);
    if (end == WStr::npos) end = text.size();
    WStrView raw = WStrView(text).substr(start, end - start);
    start = end + 1;
    if (end < text.size() && text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n') ++start;
    if (raw.size() > kMaxLineChars) {
      error = ERROR_GENERAL_SYNTAX;
      return std::nullopt;
    }
    WStr line = trim_blanks(raw);
    // A backslash ending a line joins the next one to it.
    if (!line.empty() && line.back() == u'\\' && line.find(u';') == WStr::npos) {
      logical += line.substr(0, line.size() - 1);
      if (logical.size() > kMaxLineChars) {
        error = ERROR_GENERAL_SYNTAX;
        return std::nullopt;
      }
      if (start <= text.size()) continue;
      line.clear();
    }
    line = logical + line;
    logical.clear();
    if (line.empty() || line[0] == u';') continue;
    if (line[0] == u'[') {
      size_t close = line.find(u']');
      if (close == WStr::npos) {
        error = ERROR_GENERAL_SYNTAX;
        return std::nullopt;
      }
      current = &inf.sections[folded(trim_blanks(WStrView(line).substr(1, close - 1)))];
      continue;
    }
    if (!current) continue;  // text before the first section is not read
    InfLine l = split_line(line);
    if (l.key || !l.values.empty()) current->push_back(std::move(l));
  }
  auto* version = inf.section(u"Version");
  auto signature = inf.value(u"Version", u"Signature");
  if (!version || !signature ||
      !(iequal(*signature, u"$Windows NT$") || iequal(*signature, u"$Chicago$") || iequal(*signature, u"$Windows 95$"))) {
    error = ERROR_WRONG_INF_STYLE;
    return std::nullopt;
  }
  std::map<WStr, WStr> strings;
  if (auto* s = inf.section(u"Strings"))
    for (auto& l : *s)
      if (l.key && !l.values.empty()) strings.emplace(folded(*l.key), l.values.front());
  for (auto& [name, lines] : inf.sections) {
    if (name == u"STRINGS") continue;
    for (auto& l : lines) {
      if (l.key) l.key = substitute(*l.key, strings);
      for (auto& v : l.values) v = substitute(v, strings);
    }
  }
  return inf;
}

std::optional<std::vector<InfModel>> inf_models(const Inf& inf, WStrView platform, DWORD& error) {
  std::vector<InfModel> out;
  auto* makers = inf.section(u"Manufacturer");
  if (!makers) return out;
  for (auto& m : *makers) {
    if (!m.key || m.values.empty()) {
      error = ERROR_GENERAL_SYNTAX;
      return std::nullopt;
    }
    // "name = section, decoration, ...": the decorated section for this platform when the
    // maker offers one, else the plain one.
    WStr sec = m.values.front();
    for (size_t i = 1; i < m.values.size(); ++i) {
      WStrView deco = m.values[i];
      if (deco.size() >= platform.size() && iequal(deco.substr(0, platform.size()), platform)) {
        sec += u"." + WStr(deco);
        break;
      }
    }
    auto* models = inf.section(sec);
    if (!models) {
      error = ERROR_SECTION_NOT_FOUND;
      return std::nullopt;
    }
    for (auto& line : *models) {
      if (!line.key || line.values.size() < 2) {
        error = ERROR_GENERAL_SYNTAX;
        return std::nullopt;
      }
      InfModel model{*line.key, line.values[0], {line.values.begin() + 1, line.values.end()}};
      out.push_back(std::move(model));
    }
  }
  return out;
}

DriverVersion driver_version(const Inf& inf) {
  DriverVersion v;
  auto* lines = inf.section(u"Version");
  if (!lines) return v;
  for (auto& l : *lines) {
    if (!l.key || !iequal(*l.key, u"DriverVer") || l.values.empty()) continue;
    unsigned mm = 0, dd = 0, yyyy = 0;
    std::string date = to_utf8(l.values[0]);
    if (std::sscanf(date.c_str(), "%u/%u/%u", &mm, &dd, &yyyy) == 3 && mm <= 12 && dd <= 31 && yyyy <= 9999)
      v.date = static_cast<unsigned long long>(yyyy) * 10000 + mm * 100 + dd;
    if (l.values.size() > 1) {
      unsigned a = 0, b = 0, c = 0, d = 0;
      std::sscanf(to_utf8(l.values[1]).c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
      v.version = (static_cast<unsigned long long>(a & 0xFFFF) << 48) | (static_cast<unsigned long long>(b & 0xFFFF) << 32) |
                  (static_cast<unsigned long long>(c & 0xFFFF) << 16) | (d & 0xFFFF);
    }
  }
  return v;
}

}  // namespace winsim
