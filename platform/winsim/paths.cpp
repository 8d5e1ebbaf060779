// Windows paths on the host: drive letters, case-insensitive components, both slash kinds,
// relative paths, the long-path prefix and 8.3 short names.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "internal.h"

namespace fs = std::filesystem;

namespace winsim {

namespace {

bool is_sep(WCHAR c) { return c == u'\\' || c == u'/'; }
bool is_letter(WCHAR c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

WStr strip_long_prefix(WStrView p) {
  if (p.size() >= 4 && is_sep(p[0]) && is_sep(p[1]) && p[2] == u'?' && is_sep(p[3])) return WStr(p.substr(4));
  return WStr(p);
}

std::vector<WStr> split(WStrView s) {
  std::vector<WStr> parts;
  WStr cur;
  for (WCHAR c : s) {
    if (is_sep(c)) {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

bool valid_83_char(WCHAR c) {
  if (c >= 0x80 || c <= 0x20) return false;
  return std::u16string_view(u"\"*+,/:;<=>?[\\]|.").find(c) == std::u16string_view::npos;
}

bool is_8dot3(WStrView name) {
  if (name.empty() || name.size() > 12 || name == u"." || name == u"..") return name == u"." || name == u"..";
  size_t dot = name.find(u'.');
  WStrView base = name.substr(0, dot);
  WStrView ext = dot == WStrView::npos ? WStrView() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find(u'.') != WStrView::npos) return false;
  if (dot != WStrView::npos && ext.empty()) return false;
  return std::all_of(base.begin(), base.end(), valid_83_char) && std::all_of(ext.begin(), ext.end(), valid_83_char);
}

// The 8.3 stem ("PROGRA") and extension ("TXT") that Windows derives from a long name.
std::pair<WStr, WStr> short_parts(WStrView name) {
  WStr clean;
  for (WCHAR c : name)
    if (c != u' ') clean += c;
  size_t last = clean.find_last_of(u'.');
  WStr base_src = last == WStr::npos || last == 0 ? clean : clean.substr(0, last);
  WStr ext_src = last == WStr::npos || last == 0 ? WStr() : clean.substr(last + 1);
  auto conv = [](WStrView s, size_t max) {
    WStr out;
    for (WCHAR c : s) {
      if (c == u'.') continue;
      if (out.size() == max) break;
      out += valid_83_char(c) ? fold_upper(c) : u'_';
    }
    return out;
  };
  return {conv(base_src, 6), conv(ext_src, 3)};
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  return names;
}

}  // namespace

std::optional<std::string> find_entry(const std::string& dir, WStrView comp) {
  std::string exact = to_utf8(comp);
  struct stat st;
  if (::lstat((dir + "/" + exact).c_str(), &st) == 0) return exact;
  auto names = list_dir(dir);
  for (auto& n : names)
    if (iequal(from_utf8(n), comp)) return n;
  if (comp.find(u'~') != WStrView::npos) {
    for (auto& n : names) {
      WStr s = short_name_in(dir, from_utf8(n));
      if (!s.empty() && iequal(s, comp)) return n;
    }
  }
  return std::nullopt;
}

namespace {

// Appends one name to a host path (the host root "/" already ends in a separator).
void append_name(std::string& path, std::string_view name) {
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
}

bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

WStr full_path(WStrView input) {
  WStr path = strip_long_prefix(input);
  bool absolute = path.size() >= 3 && is_letter(path[0]) && path[1] == u':' && is_sep(path[2]);
  bool unc = path.size() >= 2 && is_sep(path[0]) && is_sep(path[1]);
  WStr cwd;
  if (!absolute && !unc) {
    if (process_starting()) {
      cwd = machine().windows_dir;  // no current folder yet: the process is being set up
    } else {
      Process& p = process();
      std::lock_guard lock(p.mu);
      cwd = p.cwd;
    }
  }
  WStr root, rest;
  if (path.size() >= 2 && is_letter(path[0]) && path[1] == u':') {
    root = path.substr(0, 2);
    if (path.size() >= 3 && is_sep(path[2])) {
      rest = path.substr(3);
    } else if (cwd.size() >= 2 && fold_upper(cwd[0]) == fold_upper(path[0])) {
      root = cwd.substr(0, 2);
      rest = cwd.substr(std::min<size_t>(3, cwd.size())) + u"\\" + path.substr(2);
    } else {
      rest = path.substr(2);
    }
  } else if (path.size() >= 2 && is_sep(path[0]) && is_sep(path[1])) {
    auto parts = split(path);
    root = u"\\\\";
    for (size_t i = 0; i < std::min<size_t>(2, parts.size()); ++i) root += (i ? u"\\" : u"") + parts[i];
    for (size_t i = 2; i < parts.size(); ++i) rest += parts[i] + u"\\";
  } else if (!path.empty() && is_sep(path[0])) {
    root = cwd.substr(0, 2);
    rest = path.substr(1);
  } else {
    root = cwd.substr(0, 2);
    rest = cwd.substr(std::min<size_t>(3, cwd.size())) + u"\\" + path;
  }
  std::vector<WStr> out;
  for (auto& c : split(rest)) {
    if (c == u".") continue;
    if (c == u"..") {
      if (!out.empty()) out.pop_back();
      continue;
    }
    out.push_back(c);
  }
  if (!out.empty() && !(path.size() && is_sep(path.back()))) {
    // Windows drops trailing dots and blanks of the last name.
    WStr& last = out.back();
    while (!last.empty() && (last.back() == u'.' || last.back() == u' ')) last.pop_back();
    if (last.empty()) out.pop_back();
  }
  WStr full = root + u"\\";
  for (size_t i = 0; i < out.size(); ++i) full += (i ? u"\\" : u"") + out[i];
  if (!out.empty() && !path.empty() && is_sep(path.back())) full += u'\\';
  return full;
}

std::optional<HostPath> resolve(WStrView path, DWORD& error) {
  if (path.empty()) {
    error = ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  HostPath r;
  r.full = full_path(path);
  if (r.full.size() < 3 || r.full[1] != u':') {
    error = ERROR_BAD_NETPATH;
    return std::nullopt;
  }
  const Machine& m = machine();
  auto drive = m.drives.find(fold_upper(r.full[0]));
  if (drive == m.drives.end()) {
    error = ERROR_PATH_NOT_FOUND;
    return std::nullopt;
  }
  auto comps = split(WStrView(r.full).substr(3));
  for (auto& c : comps) {
    for (WCHAR ch : c) {
      if (ch < 0x20 || std::u16string_view(u"<>:\"|?*").find(ch) != std::u16string_view::npos) {
        error = ERROR_INVALID_NAME;
        return std::nullopt;
      }
    }
  }
  std::string cur = drive->second;
  // Most paths name existing entries in their own case: one look at the whole path settles them.
  std::string exact = cur;
  for (auto& c : comps) append_name(exact, to_utf8(c));
  if (::stat(exact.c_str(), &r.st) == 0) {
    r.exists = r.parent_exists = r.have_stat = true;
    r.host = std::move(exact);
    return r;
  }
  r.exists = is_dir(cur);
  r.parent_exists = r.exists;
  for (size_t i = 0; i < comps.size(); ++i) {
    bool last = i + 1 == comps.size();
    if (r.exists) {
      r.parent_exists = is_dir(cur);
      auto found = r.parent_exists ? find_entry(cur, comps[i]) : std::nullopt;
      if (found) {
        append_name(cur, *found);
        continue;
      }
      r.exists = false;
      if (!last) r.parent_exists = false;
    } else {
      r.parent_exists = false;
    }
    append_name(cur, to_utf8(comps[i]));
  }
  if (comps.empty()) r.parent_exists = r.exists;
  r.host = cur;
  return r;
}

std::optional<WStr> windows_path_of(const std::string& host_in) {
  std::error_code ec;
  fs::path host = fs::absolute(host_in, ec).lexically_normal();
  const Machine& m = machine();
  std::optional<WStr> best;
  size_t best_len = 0;
  for (auto& [letter, root_s] : m.drives) {
    for (const fs::path& root : {fs::path(root_s).lexically_normal(), fs::weakly_canonical(root_s, ec)}) {
      std::string r = root.string();
      while (r.size() > 1 && r.back() == '/') r.pop_back();
      std::string h = host.string();
      bool under =
          h == r || (h.size() > r.size() && h.compare(0, r.size(), r) == 0 && (r == "/" || h[r.size()] == '/'));
      if (!under || (best && r.size() <= best_len)) continue;
      std::string rel = h.substr(r == "/" ? 1 : r.size());
      if (!rel.empty() && rel[0] == '/') rel.erase(0, 1);
      WStr w = WStr(1, letter) + u":\\" + from_utf8(rel);
      std::replace(w.begin(), w.end(), u'/', u'\\');
      while (w.size() > 3 && w.back() == u'\\') w.pop_back();
      best = w;
      best_len = r.size();
    }
  }
  return best;
}

WStr short_name_in(const std::string& dir, WStrView name) {
  if (is_8dot3(name)) return {};
  auto [stem, ext] = short_parts(name);
  std::vector<WStr> clash;
  for (auto& n : list_dir(dir)) {
    WStr w = from_utf8(n);
    if (is_8dot3(w)) continue;
    auto parts = short_parts(w);
    if (parts == std::pair(stem, ext)) clash.push_back(w);
  }
  std::sort(clash.begin(), clash.end(), [](const WStr& a, const WStr& b) { return icompare(a, b) < 0; });
  size_t index = 1;
  for (auto& c : clash) {
    if (iequal(c, name)) break;
    ++index;
  }
  std::string num = std::to_string(index);
  WStr s = stem.substr(0, 8 - 1 - num.size()) + u"~" + from_utf8(num);
  if (!ext.empty()) s += u"." + ext;
  return s;
}

WStr short_path(WStrView full) {
  DWORD err = 0;
  auto r = resolve(full, err);
  if (!r) return WStr(full);
  auto drive = machine().drives.find(fold_upper(r->full[0]));
  std::string cur = drive->second;
  WStr out = r->full.substr(0, 2);
  auto comps = split(WStrView(r->full).substr(3));
  for (auto& c : comps) {
    auto found = find_entry(cur, c);
    WStr name = found ? from_utf8(*found) : c;
    WStr s = found ? short_name_in(cur, name) : WStr();
    out += u"\\" + (s.empty() ? name : s);
    if (found) append_name(cur, *found);
  }
  if (comps.empty()) out += u"\\";
  return out;
}

std::string host_path(const std::string& windows_path_utf8) {
  WStr w = from_utf8(windows_path_utf8);
  return host_path(std::u16string(w.begin(), w.end()));
}

std::string host_path(const std::u16string& windows_path) {
  DWORD err = 0;
  auto r = resolve(WStrView(reinterpret_cast<const WCHAR*>(windows_path.data()), windows_path.size()), err);
  return r ? r->host : std::string();
}

}  // namespace winsim
