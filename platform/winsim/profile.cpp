// Profile (INI) files with the Windows reader's rules: names ignore case, blanks around values are
// dropped, one pair of enclosing quotes is dropped, ";" lines are comments, the first of duplicate
// keys wins. Files that start with a UTF-16LE byte-order mark are UTF-16; others are ANSI.
#include <fcntl.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <unordered_map>
#include <utility>

#include "internal.h"

namespace winsim {

namespace {

struct Line {
  enum Kind { kOther, kSection, kKey } kind = kOther;
  WStr raw;
  WStr name;                  // section or key name, trimmed
  std::optional<WStr> value;  // trimmed; none for a line without "="
};

struct Profile {
  bool exists = false;
  bool utf16 = false;
  std::vector<Line> lines;
  // Folded section name -> [header, end) of the first section of that name: a lookup must not
  // walk a configuration of thousands of lines for each of its thousands of keys.
  std::unordered_map<WStr, std::pair<size_t, size_t>> sections;
};

Line parse_line(WStr raw) {
  Line l;
  l.raw = std::move(raw);
  WStr t = trim_blanks(l.raw);
  if (t.empty() || t[0] == u';') return l;
  if (t[0] == u'[') {
    l.kind = Line::kSection;
    auto close = t.find(u']');
    l.name = trim_blanks(WStrView(t).substr(1, close == WStr::npos ? WStr::npos : close - 1));
    return l;
  }
  l.kind = Line::kKey;
  auto eq = t.find(u'=');
  l.name = trim_blanks(WStrView(t).substr(0, eq));
  if (eq != WStr::npos) l.value = trim_blanks(WStrView(t).substr(eq + 1));
  return l;
}

std::atomic<unsigned long> g_parses{0};

Profile parse(const std::string& bytes) {
  g_parses.fetch_add(1, std::memory_order_relaxed);
  Profile p;
  p.exists = true;
  WStr text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    p.utf16 = true;
    text.resize((bytes.size() - 2) / 2);
    std::memcpy(text.data(), bytes.data() + 2, text.size() * 2);
  } else {
    text = from_acp(bytes);
  }
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == u'\n' || text[i] == u'\r') {
      if (i == text.size() && start == i) break;
      p.lines.push_back(parse_line(text.substr(start, i - start)));
      if (i + 1 < text.size() && text[i] == u'\r' && text[i + 1] == u'\n') ++i;
      start = i + 1;
    }
  }
  for (size_t i = 0; i < p.lines.size(); ++i) {
    if (p.lines[i].kind != Line::kSection) continue;
    size_t j = i + 1;
    while (j < p.lines.size() && p.lines[j].kind != Line::kSection) ++j;
    p.sections.emplace(folded(p.lines[i].name), std::pair(i, j));  // the first of a name wins
  }
  return p;
}

// A bare file name lives in the Windows folder, as for every profile function.
WStr profile_path(LPCWSTR file) {
  WStr f = file ? WStr(file) : WStr(u"win.ini");
  if (f.find_first_of(u"\\/") == WStr::npos && !(f.size() >= 2 && f[1] == u':')) f = machine().windows_dir + u"\\" + f;
  return f;
}

// A host file descriptor, closed when its owner goes.
class HostFd {
 public:
  HostFd() = default;
  explicit HostFd(int fd) : fd_(fd) {}
  HostFd(HostFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  HostFd& operator=(HostFd&& o) noexcept {
    if (this != &o) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  HostFd(const HostFd&) = delete;
  HostFd& operator=(const HostFd&) = delete;
  ~HostFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// The whole of a host file and what it was when read; false when it cannot be read.
bool read_host_file(const std::string& host, std::string& bytes, struct stat& st) {
  HostFd fd(::open(host.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  bytes.clear();
  char buf[65536];
  for (ssize_t n; (n = ::read(fd.get(), buf, sizeof buf)) != 0;) {
    if (n < 0) return false;
    bytes.append(buf, static_cast<size_t>(n));
  }
  return true;
}

// The file as it is on disk now, with where it lives; for writers, which must start from the
// current text.
Profile load_fresh(const WStr& file, std::string& host, DWORD& error) {
  DWORD err = 0;
  auto r = resolve(file, err);
  host = r ? r->host : std::string();
  error = r ? (r->parent_exists || r->exists ? 0 : ERROR_PATH_NOT_FOUND) : err;
  std::string bytes;
  struct stat st {};
  if (!r || !r->exists || !read_host_file(r->host, bytes, st)) return Profile{};
  return parse(bytes);
}

// Windows keeps the parsed copy of the profile file it read last, so that reading a file key by
// key costs one parse. We keep the last few. A configuration is read thousands of times in a row,
// so the check that a copy is still the file's text must be cheap: the process watches each
// cached file and its folder (inotify), and a change by anyone, through the profile functions or
// not, is queued before the change returns to whoever made it. Checking is one read of that queue.
//
// Where watching is not possible, each use compares the file's identity, size and write time. A
// file time only moves in clock ticks, so a change within the tick of the copy we parsed could
// keep the same time and size: until a read happens after that tick has passed, the file's bytes
// are compared with the parsed ones (as version control tools treat "racily clean" files).
struct CachedProfile {
  std::string machine;  // the machine folder: tests switch machines within one process
  WStr arg;             // the file name as last asked for, when it was a full path
  WStr key;             // folded full Windows path
  std::string host;
  std::string name;  // the file's name in its folder
  int file_wd = -1, dir_wd = -1;  // its watches; -1: not watched
  bool changed = false;           // an event said the file may differ
  std::string bytes;              // unwatched and not yet trusted: the text parsed
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {};
  bool trusted = false;
  std::shared_ptr<const Profile> profile;
};

constexpr size_t kCachedFiles = 4;

std::mutex g_cache_mu;
std::vector<CachedProfile> g_cache;  // most recently used last
HostFd g_watch;                      // the inotify queue, made on first need
bool g_watch_tried = false;
bool g_watch_allowed = true;
std::atomic<bool> g_forked{false};

bool same_identity(const CachedProfile& c, const struct stat& st) {
  return c.dev == st.st_dev && c.ino == st.st_ino && c.size == st.st_size && c.mtime.tv_sec == st.st_mtim.tv_sec &&
         c.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

// A child made by fork shares the parent's queue: it must neither take the parent's events nor
// trust copies whose changes the parent will be told of.
void after_fork_in_child() { g_forked = true; }

int watch_queue() {
  if (g_forked.exchange(false)) {
    g_cache.clear();
    g_watch = HostFd();
    g_watch_tried = false;
  }
  if (!g_watch_tried) {
    g_watch_tried = true;
    static const int registered = ::pthread_atfork(nullptr, nullptr, after_fork_in_child);
    (void)registered;
    if (g_watch_allowed) g_watch = HostFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  }
  return g_watch.get();
}

// Marks the copies that the queued events may have made stale.
void drain_events() {
  alignas(struct inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = ::read(g_watch.get(), buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      auto* e = reinterpret_cast<struct inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
      for (auto& c : g_cache) {
        bool dir_event = e->wd == c.dir_wd && (e->mask & (IN_MOVE_SELF | IN_DELETE_SELF | IN_IGNORED) ||
                                               (e->len && c.name == e->name));
        if ((e->mask & IN_Q_OVERFLOW) || e->wd == c.file_wd || dir_event) c.changed = true;
      }
    }
  }
}

// Reads and parses the file behind `full` into a cache entry; false when it does not exist.
bool fill_entry(CachedProfile& c, const WStr& full) {
  DWORD err = 0;
  auto r = resolve(full, err);
  if (!r || !r->exists) return false;
  auto slash = r->host.find_last_of('/');
  c.host = r->host;
  c.name = r->host.substr(slash + 1);
  // Watched before it is read, so that no change after the read goes unseen.
  if (int q = watch_queue(); q >= 0) {
    std::string dir = slash == 0 ? "/" : r->host.substr(0, slash);
    c.dir_wd = ::inotify_add_watch(q, dir.c_str(),
                                   IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MOVE_SELF |
                                       IN_DELETE_SELF | IN_ONLYDIR);
    c.file_wd = c.dir_wd < 0 ? -1
                             : ::inotify_add_watch(q, c.host.c_str(),
                                                   IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVE_SELF |
                                                       IN_DELETE_SELF);
    if (c.file_wd < 0) c.dir_wd = -1;
  }
  long long started = host_now_ns();
  std::string bytes;
  struct stat st {};
  if (!read_host_file(r->host, bytes, st)) return false;
  c.dev = st.st_dev;
  c.ino = st.st_ino;
  c.size = st.st_size;
  c.mtime = st.st_mtim;
  c.trusted = c.file_wd >= 0 || started - ns_of(st.st_mtim) > kFileTimeStepNs;
  c.profile = std::make_shared<const Profile>(parse(bytes));
  if (!c.trusted) c.bytes = std::move(bytes);
  return true;
}

// Whether the cached copy still is the file's text.
bool still_valid(CachedProfile& c) {
  if (c.file_wd >= 0) {
    drain_events();
    return !c.changed;
  }
  struct stat st {};
  if (::stat(c.host.c_str(), &st) != 0 || !same_identity(c, st)) return false;
  if (c.trusted) return true;
  long long started = host_now_ns();
  std::string bytes;
  if (!read_host_file(c.host, bytes, st) || !same_identity(c, st) || bytes != c.bytes) return false;
  if (started - ns_of(c.mtime) > kFileTimeStepNs) {
    c.trusted = true;
    c.bytes.clear();
  }
  return true;
}

bool is_full_drive_path(WStrView f) {
  return f.size() >= 3 && f[1] == u':' && f[2] == u'\\' && ((f[0] >= u'A' && f[0] <= u'Z') || (f[0] >= u'a' && f[0] <= u'z'));
}

std::shared_ptr<const Profile> load(const WStr& file) {
  const std::string& machine_dir = machine().dir;
  std::lock_guard lock(g_cache_mu);
  watch_queue();  // after a fork, starts afresh
  // The same full path as last time needs no new working out.
  auto it = std::find_if(g_cache.begin(), g_cache.end(),
                         [&](const CachedProfile& c) { return c.arg == file && c.machine == machine_dir; });
  WStr full, key;
  if (it == g_cache.end()) {
    full = full_path(file);
    key = folded(full);
    it = std::find_if(g_cache.begin(), g_cache.end(),
                      [&](const CachedProfile& c) { return c.key == key && c.machine == machine_dir; });
  }
  if (it != g_cache.end()) {
    if (still_valid(*it)) {
      if (is_full_drive_path(file)) it->arg = file;
      std::rotate(it, it + 1, g_cache.end());
      return g_cache.back().profile;
    }
    if (full.empty()) {
      full = full_path(file);
      key = folded(full);
    }
    g_cache.erase(it);
  }
  CachedProfile c;
  c.machine = machine_dir;
  c.key = key;
  if (is_full_drive_path(file)) c.arg = file;
  if (!fill_entry(c, full)) return std::make_shared<const Profile>();  // a missing file is not kept
  if (g_cache.size() >= kCachedFiles) g_cache.erase(g_cache.begin());
  g_cache.push_back(std::move(c));
  return g_cache.back().profile;
}

// A write through the profile functions drops this process's copy at once.
void forget(const std::string& host) {
  std::lock_guard lock(g_cache_mu);
  std::erase_if(g_cache, [&](const CachedProfile& c) { return c.host == host; });
}

// Index range [begin, end) of the lines of the first section called `name`; begin is the header.
std::optional<std::pair<size_t, size_t>> find_section(const Profile& p, WStrView name) {
  auto it = p.sections.find(folded(name));
  if (it == p.sections.end()) return std::nullopt;
  return it->second;
}

const Line* find_key(const Profile& p, WStrView section, WStrView key) {
  auto s = find_section(p, section);
  if (!s) return nullptr;
  for (size_t i = s->first + 1; i < s->second; ++i)
    if (p.lines[i].kind == Line::kKey && iequal(p.lines[i].name, key)) return &p.lines[i];
  return nullptr;
}

WStr unquote(const WStr& v) {
  if (v.size() >= 2 && (v[0] == u'"' || v[0] == u'\'') && v.back() == v[0]) return v.substr(1, v.size() - 2);
  return v;
}

// Copies a list of names as consecutive terminated texts with a final terminator, cut to fit the
// way Windows cuts it (the result is then size - 2).
DWORD copy_list(const std::vector<WStr>& names, LPWSTR buf, DWORD size) {
  if (size == 0) return 0;
  if (size == 1) {
    buf[0] = 0;
    return 0;
  }
  WStr all;
  for (auto& n : names) all += n + WStr(1, u'\0');
  if (all.size() + 1 <= size) {
    std::memcpy(buf, all.data(), all.size() * sizeof(WCHAR));
    buf[all.size()] = 0;
    return static_cast<DWORD>(all.empty() ? 0 : all.size());
  }
  std::memcpy(buf, all.data(), (size - 2) * sizeof(WCHAR));
  buf[size - 2] = 0;
  buf[size - 1] = 0;
  return size - 2;
}

// The result of a profile read, before it is copied out.
struct Answer {
  bool list = false;
  std::vector<WStr> names;
  WStr value;
};

Answer read_profile(LPCWSTR app, LPCWSTR key, LPCWSTR def, LPCWSTR file) {
  Answer a;
  auto loaded = load(profile_path(file));
  const Profile& p = *loaded;
  if (!app || !key) {
    a.list = true;
    if (!app) {
      for (auto& l : p.lines)
        if (l.kind == Line::kSection) a.names.push_back(l.name);
    } else if (auto s = find_section(p, app)) {
      for (size_t i = s->first + 1; i < s->second; ++i)
        if (p.lines[i].kind == Line::kKey) a.names.push_back(p.lines[i].name);
    }
    if (!p.exists) SetLastError(ERROR_FILE_NOT_FOUND);
    return a;
  }
  const Line* l = find_key(p, app, key);
  if (l && l->value) {
    a.value = unquote(*l->value);
    SetLastError(ERROR_SUCCESS);
  } else {
    WStr d = def ? WStr(def) : WStr();
    while (!d.empty() && d.back() == u' ') d.pop_back();  // trailing blanks of the default are cut
    a.value = d;
    SetLastError(ERROR_FILE_NOT_FOUND);
  }
  return a;
}

std::string text_bytes(const Profile& p) {
  WStr text;
  for (auto& l : p.lines) text += l.raw + u"\r\n";
  if (p.utf16) {
    std::string out = "\xFF\xFE";
    out.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    return out;
  }
  return to_acp(text);
}

std::mutex g_write_mu;

}  // namespace

unsigned long profile_parses() { return g_parses.load(std::memory_order_relaxed); }

void watch_profiles(bool on) {
  std::lock_guard lock(g_cache_mu);
  g_cache.clear();
  g_watch = HostFd();
  g_watch_tried = false;
  g_watch_allowed = on;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API DWORD WINAPI GetPrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpDefault,
                                                 LPWSTR lpReturnedString, DWORD nSize, LPCWSTR lpFileName) {
  if (DWORD e = fault("GetPrivateProfileStringW")) {
    SetLastError(e);
    if (lpReturnedString && nSize) lpReturnedString[0] = 0;
    return 0;
  }
  if (!lpReturnedString || nSize == 0) return 0;
  Answer a = read_profile(lpAppName, lpKeyName, lpDefault, lpFileName);
  if (a.list) return copy_list(a.names, lpReturnedString, nSize);
  size_t n = std::min<size_t>(a.value.size(), nSize - 1);
  std::memcpy(lpReturnedString, a.value.data(), n * sizeof(WCHAR));
  lpReturnedString[n] = 0;
  return static_cast<DWORD>(n);
}

WINSIM_API DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                                 LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
  if (DWORD e = fault("GetPrivateProfileStringA")) {
    SetLastError(e);
    if (lpReturnedString && nSize) lpReturnedString[0] = 0;
    return 0;
  }
  if (!lpReturnedString || nSize == 0) return 0;
  auto w = [](LPCSTR s) { return s ? std::optional<WStr>(from_acp(s)) : std::nullopt; };
  auto app = w(lpAppName), key = w(lpKeyName), def = w(lpDefault), file = w(lpFileName);
  auto c = [](const std::optional<WStr>& s) { return s ? s->c_str() : nullptr; };
  Answer a = read_profile(c(app), c(key), c(def), c(file));
  if (a.list) {
    std::string all;
    for (auto& n : a.names) all += to_acp(n) + '\0';
    if (nSize == 1) {
      lpReturnedString[0] = 0;
      return 0;
    }
    if (all.size() + 1 <= nSize) {
      std::memcpy(lpReturnedString, all.data(), all.size());
      lpReturnedString[all.size()] = 0;
      return static_cast<DWORD>(all.size());
    }
    std::memcpy(lpReturnedString, all.data(), nSize - 2);
    lpReturnedString[nSize - 2] = 0;
    lpReturnedString[nSize - 1] = 0;
    return nSize - 2;
  }
  std::string v = to_acp(a.value);
  size_t n = std::min<size_t>(v.size(), nSize - 1);
  std::memcpy(lpReturnedString, v.data(), n);
  lpReturnedString[n] = 0;
  return static_cast<DWORD>(n);
}

WINSIM_API UINT WINAPI GetPrivateProfileIntW(LPCWSTR lpAppName, LPCWSTR lpKeyName, INT nDefault, LPCWSTR lpFileName) {
  if (DWORD e = fault("GetPrivateProfileIntW")) {
    SetLastError(e);
    return static_cast<UINT>(nDefault);
  }
  if (!lpAppName || !lpKeyName) return static_cast<UINT>(nDefault);
  Answer a = read_profile(lpAppName, lpKeyName, u"", lpFileName);
  if (a.value.empty()) return static_cast<UINT>(nDefault);
  // Leading blanks, a sign, then decimal digits or "0x" and hexadecimal ones, up to the first
  // other character: "12abc" is 12, "abc" is 0.
  size_t i = 0;
  const WStr& v = a.value;
  while (i < v.size() && (v[i] == u' ' || v[i] == u'\t')) ++i;
  bool neg = false;
  if (i < v.size() && (v[i] == u'-' || v[i] == u'+')) neg = v[i++] == u'-';
  unsigned base = 10;
  if (i + 1 < v.size() && v[i] == u'0' && (v[i + 1] == u'x' || v[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  UINT result = 0;
  for (; i < v.size(); ++i) {
    WCHAR c = v[i];
    unsigned d = c >= u'0' && c <= u'9'   ? c - u'0'
                 : c >= u'a' && c <= u'f' ? c - u'a' + 10
                 : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                          : 99;
    if (d >= base) break;
    result = result * base + d;
  }
  return neg ? 0u - result : result;
}

WINSIM_API DWORD WINAPI GetPrivateProfileSectionW(LPCWSTR lpAppName, LPWSTR lpReturnedString, DWORD nSize,
                                                  LPCWSTR lpFileName) {
  if (DWORD e = fault("GetPrivateProfileSectionW")) {
    SetLastError(e);
    return 0;
  }
  if (!lpReturnedString || nSize == 0) return 0;
  if (!lpAppName) {
    lpReturnedString[0] = 0;
    return 0;
  }
  auto loaded = load(profile_path(lpFileName));
  const Profile& p = *loaded;
  std::vector<WStr> lines;
  if (auto s = find_section(p, lpAppName)) {
    for (size_t i = s->first + 1; i < s->second; ++i) {
      const Line& l = p.lines[i];
      if (l.kind == Line::kKey) lines.push_back(l.value ? l.name + u"=" + *l.value : l.name);
    }
  }
  return copy_list(lines, lpReturnedString, nSize);
}

WINSIM_API BOOL WINAPI WritePrivateProfileStringW(LPCWSTR lpAppName, LPCWSTR lpKeyName, LPCWSTR lpString,
                                                  LPCWSTR lpFileName) {
  if (DWORD e = fault("WritePrivateProfileStringW")) {
    SetLastError(e);
    return FALSE;
  }
  if (!lpAppName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard lock(g_write_mu);
  std::string host;
  DWORD err = 0;
  Profile p = load_fresh(profile_path(lpFileName), host, err);
  if (host.empty() || err) {
    SetLastError(err ? err : ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  auto sec = find_section(p, lpAppName);
  if (!lpKeyName) {  // delete the section
    if (sec)
      p.lines.erase(p.lines.begin() + static_cast<long>(sec->first), p.lines.begin() + static_cast<long>(sec->second));
  } else {
    size_t key_at = WStr::npos;
    if (sec) {
      for (size_t i = sec->first + 1; i < sec->second; ++i)
        if (p.lines[i].kind == Line::kKey && iequal(p.lines[i].name, lpKeyName)) {
          key_at = i;
          break;
        }
    }
    if (!lpString) {  // delete the key
      if (key_at != WStr::npos) p.lines.erase(p.lines.begin() + static_cast<long>(key_at));
    } else {
      Line nl = parse_line(WStr(lpKeyName) + u"=" + lpString);
      if (key_at != WStr::npos) {
        p.lines[key_at] = nl;
      } else if (sec) {
        size_t at = sec->second;
        while (at > sec->first + 1 && p.lines[at - 1].kind == Line::kOther && trim_blanks(p.lines[at - 1].raw).empty())
          --at;
        p.lines.insert(p.lines.begin() + static_cast<long>(at), nl);
      } else {
        p.lines.push_back(parse_line(u"[" + WStr(lpAppName) + u"]"));
        p.lines.push_back(nl);
      }
    }
  }
  struct stat st {};
  if (::stat(host.c_str(), &st) == 0 && !(st.st_mode & S_IWUSR)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::string bytes = text_bytes(p);
  std::string tmp = host + ".~wr" + std::to_string(::getpid());
  bool ok;
  {
    HostFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ok = fd.get() >= 0 && ::write(fd.get(), bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  if (!ok || ::rename(tmp.c_str(), host.c_str()) != 0) {
    ::unlink(tmp.c_str());
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  forget(host);
  return TRUE;
}

}  // extern "C"
