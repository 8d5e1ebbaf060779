// Windows of every process of a machine. A process that owns windows listens on run/<pid>.sock in
// the machine folder, and run/windows/<hwnd> says which process owns a window. A message to a
// window of another process travels by value over one connection to the owner, which runs it on
// the window's thread as a thread of its own would have sent it, and answers with the result.
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>
#include <utility>

#include "window_ipc.h"

namespace winsim {

namespace {

// A host file descriptor, closed when its owner goes.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) reset(std::exchange(o.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// ---- the wire ---------------------------------------------------------------------------------
// Every process of a machine runs on this host, so records cross as they are in memory.

enum Kind : std::uint32_t { kSend = 1, kPost = 2, kQuery = 3, kFind = 4 };
enum Status : std::uint32_t { kOk = 0, kNoWindow = 1 };
constexpr std::uint32_t kNoText = 0xFFFFFFFFu;  // the pointer was null
constexpr std::uint32_t kMaxText = 1u << 20;    // UTF-16 units; more is refused, not allocated

struct RequestHead {
  std::uint32_t kind = 0;
  std::uint32_t text_units[2] = {kNoText, kNoText};
  std::uint32_t reserved = 0;
  std::uint64_t hwnd = 0, msg = 0, wparam = 0, lparam = 0;
};
static_assert(sizeof(RequestHead) == 48);

struct ReplyHead {
  std::uint32_t status = kNoWindow;
  std::uint32_t text_units = 0;
  std::int64_t result = 0;
};
static_assert(sizeof(ReplyHead) == 16);

struct Request {
  RequestHead head;
  std::optional<WStr> text[2];
};

struct Reply {
  ReplyHead head;
  WStr text;
};

bool write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    // No SIGPIPE when the other end went away: that is an answer, not a reason to die.
    ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool write_file_all(int fd, const std::string& text) {
  const char* p = text.data();
  size_t size = text.size();
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool read_all(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = ::recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool write_text(int fd, const std::optional<WStr>& t) {
  return !t || t->empty() || write_all(fd, t->data(), t->size() * sizeof(WCHAR));
}

bool read_text(int fd, std::uint32_t units, std::optional<WStr>& out) {
  if (units == kNoText) return true;
  if (units > kMaxText) return false;
  WStr t(units, u'\0');
  if (units && !read_all(fd, t.data(), units * sizeof(WCHAR))) return false;
  out = std::move(t);
  return true;
}

std::uint32_t units_of(const std::optional<WStr>& t) { return t ? static_cast<std::uint32_t>(t->size()) : kNoText; }

bool write_request(int fd, Request& r) {
  for (int i = 0; i < 2; ++i) r.head.text_units[i] = units_of(r.text[i]);
  return write_all(fd, &r.head, sizeof r.head) && write_text(fd, r.text[0]) && write_text(fd, r.text[1]);
}

bool read_request(int fd, Request& r) {
  return read_all(fd, &r.head, sizeof r.head) && read_text(fd, r.head.text_units[0], r.text[0]) &&
         read_text(fd, r.head.text_units[1], r.text[1]);
}

bool write_reply(int fd, Reply& r) {
  r.head.text_units = static_cast<std::uint32_t>(r.text.size());
  return write_all(fd, &r.head, sizeof r.head) &&
         (r.text.empty() || write_all(fd, r.text.data(), r.text.size() * sizeof(WCHAR)));
}

bool read_reply(int fd, Reply& r) {
  if (!read_all(fd, &r.head, sizeof r.head)) return false;
  std::optional<WStr> t;
  if (r.head.text_units == kNoText || !read_text(fd, r.head.text_units, t)) return false;
  r.text = std::move(*t);
  return true;
}

// ---- where things are -------------------------------------------------------------------------

std::string run_dir(const std::string& machine_dir) { return machine_dir + "/run"; }
std::string windows_dir(const std::string& machine_dir) { return machine_dir + "/run/windows"; }
std::string socket_name(pid_t pid) { return std::to_string(pid) + ".sock"; }

// A window handle as the number its registry file is named by; 0 for what is no window handle
// of this machine. Only the low 32 bits of a handle count, as on 64-bit Windows.
std::uint32_t number_of(HWND h) {
  auto v = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h));
  return (v & 1) ? 0 : v;
}

HWND hwnd_of(std::uint64_t v) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(v)); }

// Calls `f` with the address of the socket `name` in the folder `dir`. A socket address holds
// little more than a hundred bytes; a deeper machine folder is reached through a descriptor of
// the folder instead.
template <class F>
bool with_address(const std::string& dir, const std::string& name, F&& f) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string full = dir + "/" + name;
  Fd folder;
  if (full.size() >= sizeof a.sun_path) {
    folder.reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return false;
    full = "/proc/self/fd/" + std::to_string(folder.get()) + "/" + name;
    if (full.size() >= sizeof a.sun_path) return false;
  }
  std::memcpy(a.sun_path, full.c_str(), full.size() + 1);
  return f(reinterpret_cast<const sockaddr*>(&a), static_cast<socklen_t>(sizeof a));
}

struct Owner {
  pid_t pid = 0;
  bool top = false;
  WStr cls;
};

// Who owns a window, from its registry file: "<pid> <thread> <top-level 0|1> <class>" (the
// thread is there for people who look).
std::optional<Owner> read_owner(const std::string& file) {
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char buf[2048];
  size_t len = 0;
  for (;;) {
    ssize_t n = ::read(fd.get(), buf + len, sizeof buf - 1 - len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    len += static_cast<size_t>(n);
    if (len == sizeof buf - 1) break;
  }
  buf[len] = 0;
  Owner o;
  int top = 0, used = -1;
  long pid = 0;
  if (std::sscanf(buf, "%ld %*d %d %n", &pid, &top, &used) < 2 || used < 0 || pid <= 0) return std::nullopt;
  std::string cls(buf + used, len - static_cast<size_t>(used));
  if (!cls.empty() && cls.back() == '\n') cls.pop_back();
  o.pid = static_cast<pid_t>(pid);
  o.top = top != 0;
  o.cls = from_utf8(cls);
  return o;
}

// A connection to the process `pid` of the machine; none when it does not listen (any more).
// `gone` tells a process that is certainly not there from a connection that failed otherwise.
Fd connect_to(const std::string& machine_dir, pid_t pid, bool& gone) {
  gone = false;
  Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) return s;
  int err = 0;
  bool ok = with_address(run_dir(machine_dir), socket_name(pid), [&](const sockaddr* a, socklen_t n) {
    int r;
    do r = ::connect(s.get(), a, n);
    while (r != 0 && errno == EINTR);
    err = r == 0 ? 0 : errno;
    return r == 0;
  });
  if (ok) return s;
  gone = err == ECONNREFUSED || err == ENOENT;
  return Fd();
}

// ---- this process's end -----------------------------------------------------------------------

struct Listener {
  Fd fd;
  pid_t pid = 0;
  std::string dir;   // the machine it serves
  std::string path;  // its socket file
};

struct Ipc {
  std::mutex mu;
  std::shared_ptr<Listener> current;
  // Listeners a parent had when it forked this process: their threads are not here, so they are
  // kept, closed, rather than freed under them.
  std::vector<std::shared_ptr<Listener>> inherited;
  std::set<std::string> published;  // registry files of this process's windows
  bool cleanup_registered = false;
};

void fork_prepare();
void fork_parent();
void fork_child();

Ipc& ipc() {
  // Never destroyed: listener threads may still look at it while the process exits.
  static Ipc* s = [] {
    ::pthread_atfork(fork_prepare, fork_parent, fork_child);
    return new Ipc;
  }();
  return *s;
}

void fork_prepare() { ipc().mu.lock(); }
void fork_parent() { ipc().mu.unlock(); }
// The child is another process: it neither listens for its parent nor owns the parent's windows.
void fork_child() {
  Ipc& s = ipc();
  if (s.current) {
    s.current->fd.reset();
    s.inherited.push_back(std::move(s.current));
  }
  s.published.clear();
  s.mu.unlock();
}

void remove_published_at_exit() {
  Ipc& s = ipc();
  std::lock_guard lock(s.mu);
  for (const std::string& f : s.published) ::unlink(f.c_str());
  s.published.clear();
  if (s.current && s.current->pid == ::getpid()) ::unlink(s.current->path.c_str());
}

// Answers one request that needs no wait for a window's thread.
void answer_now(int fd, const Request& req) {
  Reply reply;
  HWND h = hwnd_of(req.head.hwnd);
  switch (req.head.kind) {
    case kPost:
      if (post_to_window(h, static_cast<UINT>(req.head.msg), static_cast<WPARAM>(req.head.wparam),
                         static_cast<LPARAM>(req.head.lparam)))
        reply.head.status = kOk;
      break;
    case kQuery:
      if (auto facts = window_facts(h)) {
        reply.head.status = kOk;
        reply.head.result = facts->visible ? 1 : 0;
        reply.text = facts->caption.substr(0, kMaxText);
      }
      break;
    case kFind:
      reply.head.status = kOk;
      reply.head.result = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(
          find_top_window(req.text[0] ? &*req.text[0] : nullptr, req.text[1] ? &*req.text[1] : nullptr)));
      break;
    default:
      return;
  }
  write_reply(fd, reply);
}

// Runs a sent message on its window's thread and answers with the result. The few messages whose
// parameter is text come with the text, and WM_GETTEXT's buffer goes back with the answer.
void answer_sent(Fd conn, Request req) {
  Reply reply;
  HWND h = hwnd_of(req.head.hwnd);
  auto msg = static_cast<UINT>(req.head.msg);
  auto wp = static_cast<WPARAM>(req.head.wparam);
  auto lp = static_cast<LPARAM>(req.head.lparam);
  std::optional<LRESULT> r;
  if (msg == WM_SETTEXT) {
    r = send_to_window(h, msg, wp, req.text[0] ? reinterpret_cast<LPARAM>(req.text[0]->c_str()) : 0);
  } else if (msg == WM_GETTEXT) {
    size_t room = std::min<std::uint64_t>(req.head.wparam, kMaxText);
    std::vector<WCHAR> buf(room + 1, u'\0');
    r = send_to_window(h, msg, static_cast<WPARAM>(room), lp ? reinterpret_cast<LPARAM>(buf.data()) : 0);
    if (r && lp && room) {
      size_t end =
          static_cast<size_t>(std::find(buf.begin(), buf.begin() + static_cast<long>(room), u'\0') - buf.begin());
      reply.text.assign(buf.data(), std::min(room, end + 1));
    }
  } else {
    r = send_to_window(h, msg, wp, lp);
  }
  if (r) {
    reply.head.status = kOk;
    reply.head.result = *r;
  }
  write_reply(conn.get(), reply);
}

void serve(std::shared_ptr<Listener> l) {
  for (;;) {
    int c = ::accept4(l->fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      // Shut down (the process moved to another machine): the socket is done. Anything else
      // concerns the one connection.
      if (errno == EINVAL || errno == EBADF || errno == ENOTSOCK) return;
      continue;
    }
    Fd conn(c);
    Request req;
    if (!read_request(conn.get(), req)) continue;
    if (req.head.kind != kSend) {
      answer_now(conn.get(), req);
      continue;
    }
    // A sent message waits for its window's thread; the others must not wait behind it.
    try {
      std::thread(answer_sent, std::move(conn), std::move(req)).detach();
    } catch (const std::system_error&) {
      // No thread to wait in: the connection closes unanswered, and the sender learns that the
      // message was not delivered.
    }
  }
}

// Listens for the machine `dir` from now on, if not already.
bool ensure_listener(const std::string& dir) {
  Ipc& s = ipc();
  std::lock_guard lock(s.mu);
  pid_t pid = ::getpid();
  if (s.current && s.current->pid == pid && s.current->dir == dir) return true;
  if (s.current) {
    // The process moved to another machine: the old one hears no more from it.
    ::shutdown(s.current->fd.get(), SHUT_RDWR);
    ::unlink(s.current->path.c_str());
    s.current.reset();
  }
  ::mkdir(run_dir(dir).c_str(), 0755);
  auto l = std::make_shared<Listener>();
  l->fd.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  l->pid = pid;
  l->dir = dir;
  l->path = run_dir(dir) + "/" + socket_name(pid);
  if (!l->fd) return false;
  // A socket file of this pid can only be left by a process that is gone.
  ::unlink(l->path.c_str());
  bool bound = with_address(run_dir(dir), socket_name(pid),
                            [&](const sockaddr* a, socklen_t n) { return ::bind(l->fd.get(), a, n) == 0; });
  if (!bound || ::listen(l->fd.get(), SOMAXCONN) != 0) {
    ::unlink(l->path.c_str());
    return false;
  }
  try {
    std::thread(serve, l).detach();
  } catch (const std::system_error&) {
    ::unlink(l->path.c_str());
    return false;
  }
  s.current = std::move(l);
  if (!s.cleanup_registered) {
    s.cleanup_registered = true;
    std::atexit(remove_published_at_exit);
  }
  return true;
}

// ---- the sending end --------------------------------------------------------------------------

// The registry file of a window on this machine.
std::string registry_file(const std::string& machine_dir, std::uint32_t n) {
  return windows_dir(machine_dir) + "/" + std::to_string(n);
}

// Asks the process that owns `h` one thing. None when no live process of the machine owns it;
// a registry file that names a process without the window is left over, and goes.
std::optional<Reply> ask_owner(HWND h, Request& req) {
  std::uint32_t n = number_of(h);
  if (!n) return std::nullopt;
  const std::string& dir = machine().dir;
  std::string file = registry_file(dir, n);
  auto owner = read_owner(file);
  if (!owner || owner->pid == ::getpid()) return std::nullopt;  // our own windows are all known here
  bool gone = false;
  Fd s = connect_to(dir, owner->pid, gone);
  if (!s) {
    if (gone) ::unlink(file.c_str());
    return std::nullopt;
  }
  req.head.hwnd = n;
  Reply reply;
  // The owner answers when the window's thread has run the message: a plain blocking read.
  if (!write_request(s.get(), req) || !read_reply(s.get(), reply)) return std::nullopt;
  if (reply.head.status != kOk) {
    ::unlink(file.c_str());
    return std::nullopt;
  }
  return reply;
}

}  // namespace

std::string publish_window(HWND h, pid_t tid, bool top, WStrView cls) {
  std::uint32_t n = number_of(h);
  const std::string& dir = machine().dir;
  if (!n || !ensure_listener(dir)) return {};
  ::mkdir(windows_dir(dir).c_str(), 0755);
  std::string file = registry_file(dir, n);
  std::string tmp = windows_dir(dir) + "/." + std::to_string(n) + ".new";
  std::string line =
      std::to_string(::getpid()) + " " + std::to_string(tid) + " " + (top ? "1 " : "0 ") + to_utf8(cls) + "\n";
  {
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd || !write_file_all(fd.get(), line)) {
      ::unlink(tmp.c_str());
      return {};
    }
  }
  // Renamed into place whole, so that no reader ever sees half a line.
  if (::rename(tmp.c_str(), file.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return {};
  }
  Ipc& s = ipc();
  std::lock_guard lock(s.mu);
  s.published.insert(file);
  return file;
}

void unpublish_window(const std::string& file) {
  if (file.empty()) return;
  ::unlink(file.c_str());
  Ipc& s = ipc();
  std::lock_guard lock(s.mu);
  s.published.erase(file);
}

std::optional<LRESULT> remote_send(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  Request req;
  req.head.kind = kSend;
  req.head.msg = msg;
  req.head.wparam = wp;
  req.head.lparam = static_cast<std::uint64_t>(lp);
  if (msg == WM_SETTEXT) {
    // The text itself crosses; the receiver passes its own copy.
    req.head.lparam = 0;
    if (lp) {
      WStrView t(reinterpret_cast<LPCWSTR>(lp));
      req.text[0] = WStr(t.substr(0, kMaxText));
    }
  } else if (msg == WM_GETTEXT) {
    req.head.lparam = lp ? 1 : 0;  // whether there is a buffer; the receiver makes its own
  }
  auto reply = ask_owner(h, req);
  if (!reply) return std::nullopt;
  if (msg == WM_GETTEXT && lp && wp) {
    size_t n = std::min<size_t>(reply->text.size(), wp);
    std::memcpy(reinterpret_cast<LPWSTR>(lp), reply->text.data(), n * sizeof(WCHAR));
  }
  return static_cast<LRESULT>(reply->head.result);
}

bool remote_post(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  Request req;
  req.head.kind = kPost;
  req.head.msg = msg;
  req.head.wparam = wp;
  req.head.lparam = static_cast<std::uint64_t>(lp);
  return ask_owner(h, req).has_value();
}

std::optional<WindowFacts> remote_facts(HWND h) {
  Request req;
  req.head.kind = kQuery;
  auto reply = ask_owner(h, req);
  if (!reply) return std::nullopt;
  return WindowFacts{reply->head.result != 0, std::move(reply->text)};
}

HWND remote_find(LPCWSTR cls, LPCWSTR title) {
  const std::string& dir = machine().dir;
  // The processes that own a top-level window of the class, the one with the oldest window first.
  std::map<std::uint32_t, pid_t> candidates;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(windows_dir(dir), ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    auto owner = read_owner(it->path().string());
    if (!owner || !owner->top || owner->pid == ::getpid()) continue;
    if (cls && !iequal(owner->cls, cls)) continue;
    candidates.emplace(static_cast<std::uint32_t>(std::strtoul(name.c_str(), nullptr, 10)), owner->pid);
  }
  std::set<pid_t> asked;
  for (auto& [n, pid] : candidates) {
    if (!asked.insert(pid).second) continue;
    bool gone = false;
    Fd s = connect_to(dir, pid, gone);
    if (!s) continue;
    Request req;
    req.head.kind = kFind;
    if (cls) req.text[0] = WStr(WStrView(cls).substr(0, kMaxText));
    if (title) req.text[1] = WStr(WStrView(title).substr(0, kMaxText));
    Reply reply;
    if (!write_request(s.get(), req) || !read_reply(s.get(), reply) || reply.head.status != kOk) continue;
    if (reply.head.result) return hwnd_of(static_cast<std::uint64_t>(reply.head.result));
  }
  return nullptr;
}

}  // namespace winsim
