// Windows between the processes of one machine: handles unique on the machine, messages sent and
// posted to another process's window and run on its thread, window text, finding windows, and
// the handles of windows that are gone.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "support/machine_fixture.h"
#include "win32/user.h"

extern char** environ;

using namespace testutil;

namespace {

constexpr UINT kSendMe = WM_USER + 2;  // answered with ~lParam
constexpr UINT kPostMe = WM_USER + 3;
constexpr UINT kChildDone = WM_USER + 9;
const WStr kOwnText = W_("Step 2 of 3");  // what the window procedure answers WM_GETTEXT with

struct Seen {
  UINT msg;
  WPARAM wp;
  LPARAM lp;
  std::thread::id thread;
};
std::vector<Seen> g_seen;  // only the window's thread touches it

// Keeps a text of its own for WM_GETTEXT, as an edit control does; its caption is the system's.
LRESULT CALLBACK IpcProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case kSendMe:
    case kPostMe:
      g_seen.push_back({msg, wp, lp, std::this_thread::get_id()});
      return ~lp;
    case WM_GETTEXT: {
      auto* buf = reinterpret_cast<LPWSTR>(lp);
      if (!buf || wp == 0) return 0;
      size_t n = std::min<size_t>(kOwnText.size(), wp - 1);
      std::copy_n(kOwnText.data(), n, buf);
      buf[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(kOwnText.size());
    case kChildDone:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(h, msg, wp, lp);
  }
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

struct Pipe {
  Fd read, write;
  static Pipe make() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    return Pipe{Fd(fds[0]), Fd(fds[1])};
  }
};

std::string read_all_of(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

// What a child process saw, one "name value" line each.
class Report {
 public:
  void add(const std::string& name, long long value) { out_ << name << ' ' << value << '\n'; }
  void add_text(const std::string& name, const WStr& text) { out_ << name << ' ' << utf8(text) << '\n'; }
  std::string str() const { return out_.str(); }

  static std::map<std::string, std::string> parse(const std::string& text) {
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
      auto sp = line.find(' ');
      out[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
    }
    return out;
  }

 private:
  std::ostringstream out_;
};

// The text a call left in a buffer filled with 'x': up to its terminator within `room`, "<none>"
// when it wrote no terminator there; and whether the unit just past `room` is untouched.
void add_buffer(Report& r, const std::string& name, const WCHAR* buf, int room) {
  const WCHAR* end = std::find(buf, buf + room, WCHAR(0));
  r.add_text(name + ".text", end == buf + room ? WStr(W_("<none>")) : WStr(buf, end));
  r.add(name + ".past", buf[room] == u'x' ? 1 : 0);
}

std::string n(long long v) { return std::to_string(v); }

// Another program of the machine with windows (tests/winsim/data/window_peer.cpp), started with
// pipes for its standard input and output, and a user who leaves its windows open.
class Peer {
 public:
  Peer(const std::string& machine, const std::string& title, int count) {
    const std::string script = machine + "/../peer-user.txt";
    write_file(script, "wait 600000\n");
    Pipe in = Pipe::make(), out = Pipe::make();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in.read.get(), 0);
    posix_spawn_file_actions_adddup2(&fa, out.write.get(), 1);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("WINSIM_", 0) != 0) env.push_back(*e);
    env.push_back("WINSIM_MACHINE=" + machine);
    env.push_back("WINSIM_USER_SCRIPT=" + script);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = WINDOW_PEER, count_text = std::to_string(count);
    std::string title_arg = title;
    char* argv[] = {program.data(), title_arg.data(), count_text.data(), nullptr};
    int rc = ::posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("the peer did not start");
    to_peer_ = std::make_unique<Fd>(::dup(in.write.get()));
    from_peer_ = ::fdopen(::dup(out.read.get()), "r");
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() {
    if (pid_ > 0) kill();
    if (from_peer_) std::fclose(from_peer_);
  }

  pid_t pid() const { return pid_; }

  std::string line() {
    char buf[256];
    if (!from_peer_ || !std::fgets(buf, sizeof buf, from_peer_)) return "<end>";
    std::string s = buf;
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }

  // Its window handles, read as the numbers it printed.
  std::vector<HWND> windows() {
    std::vector<HWND> out;
    for (std::string l = line(); l != "ready" && l != "<end>"; l = line())
      out.push_back(reinterpret_cast<HWND>(static_cast<std::uintptr_t>(std::stoull(l))));
    return out;
  }

  void kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // Ends its input and waits for it; its exit status.
  int finish() {
    to_peer_.reset();
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::unique_ptr<Fd> to_peer_;
  FILE* from_peer_ = nullptr;
};

class WindowIpcTest : public MachineTest {
 protected:
  HWND window = nullptr;

  void SetUp() override {
    MachineTest::SetUp();
    g_seen.clear();
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = IpcProc;
    wc.lpszClassName = W_("WindowIpcTest");
    ASSERT_NE(RegisterClassExW(&wc), 0);
    // Not shown: the simulated user leaves hidden windows alone.
    window = make(W_("Driver Setup"));
    ASSERT_NE(window, nullptr);
  }
  void TearDown() override {
    if (window && IsWindow(window)) DestroyWindow(window);
    UnregisterClassW(W_("WindowIpcTest"), nullptr);
    MachineTest::TearDown();
  }

  HWND make(const WCHAR* title) {
    return CreateWindowExW(0, W_("WindowIpcTest"), title, WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
  }

  using ChildBody = std::function<void(HWND, Report&, const std::function<void()>& let_parent_run)>;

  // A forked child inherits every lock as it was at the fork, but only the forking thread: a lock
  // another thread held then (the sanitizer's allocator takes one for a moment on each
  // allocation) is never released in the child, and the child's first allocation hangs. So the
  // fork waits until every other thread of this process sleeps in the kernel, where none holds one.
  static void wait_until_other_threads_sleep() {
    const std::string self = std::to_string(::gettid());
    for (int tries = 0; tries < 2000; ++tries) {
      bool all_asleep = true;
      for (auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == self) continue;
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        size_t close = line.rfind(')');  // the state follows the command name in parentheses
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'S') all_asleep = false;
      }
      if (all_asleep) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Runs `body` in a forked child, which gets this process's window handle as a decimal number.
  // This thread runs its message loop only once the child calls `let_parent_run` (or ends), and
  // until the child has ended. Returns what the child reported.
  std::map<std::string, std::string> in_child(const ChildBody& body) {
    std::string number = std::to_string(reinterpret_cast<std::uintptr_t>(window));
    Pipe go = Pipe::make(), report = Pipe::make();
    wait_until_other_threads_sleep();
    pid_t kid = ::fork();
    if (kid < 0) throw std::runtime_error("fork failed");
    if (kid == 0) {
      go.read.reset();
      report.read.reset();
      auto h = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(std::stoull(number)));
      Report r;
      body(h, r, [&] { go.write.reset(); });
      std::string text = r.str();
      bool written = ::write(report.write.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
      ::_exit(written ? 0 : 1);
    }
    go.write.reset();
    report.write.reset();
    pollfd p{go.read.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 20000), 1) << "the child waited for this thread before letting it run";
    int status = -1;
    std::thread watcher([&] {
      ::waitpid(kid, &status, 0);
      PostMessageW(window, kChildDone, 0, 0);
    });
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    watcher.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return Report::parse(read_all_of(report.read.get()));
  }
};

TEST_F(WindowIpcTest, AnotherProcessSendsAndPostsToThisProcesssWindow) {
  const LPARAM kParams[] = {0, 0x5A5A, -1, static_cast<LPARAM>(0x7FEDCBA987654321LL)};
  auto seen = in_child([&](HWND h, Report& r, const std::function<void()>& let_parent_run) {
    SetLastError(kMarker);
    r.add("post", PostMessageW(h, kPostMe, 7, 0x77));
    r.add("post.error", GetLastError());
    let_parent_run();  // the post did not wait for the window's thread: it was not running its loop
    for (size_t i = 0; i < std::size(kParams); ++i) {
      SetLastError(kMarker);
      r.add("send" + n(i), SendMessageW(h, kSendMe, i, kParams[i]));
      r.add("send" + n(i) + ".error", GetLastError());
    }
    SetLastError(kMarker);
    r.add("iswindow", IsWindow(h));
    r.add("iswindow.error", GetLastError());
    SetLastError(kMarker);
    r.add("destroy", DestroyWindow(h));  // another process's window is not its own to destroy
    r.add("destroy.error", GetLastError());
  });
  EXPECT_EQ(seen["post"], "1");
  EXPECT_EQ(seen["post.error"], n(kMarker));
  for (size_t i = 0; i < std::size(kParams); ++i) {
    EXPECT_EQ(seen["send" + n(i)], n(~kParams[i])) << i;  // the window procedure's result
    EXPECT_EQ(seen["send" + n(i) + ".error"], n(kMarker)) << i;
  }
  EXPECT_EQ(seen["iswindow"], "1");
  EXPECT_EQ(seen["iswindow.error"], n(kMarker));
  EXPECT_EQ(seen["destroy"], "0");
  EXPECT_EQ(seen["destroy.error"], n(ERROR_ACCESS_DENIED));

  // Each ran on this thread, the window's, with its parameters whole; the sends in their order.
  std::vector<LPARAM> sent;
  int posted = 0;
  for (const Seen& s : g_seen) {
    EXPECT_EQ(s.thread, std::this_thread::get_id());
    if (s.msg == kSendMe) {
      EXPECT_EQ(s.wp, sent.size());
      sent.push_back(s.lp);
    } else {
      EXPECT_EQ(s.wp, 7u);
      EXPECT_EQ(s.lp, 0x77);
      ++posted;
    }
  }
  EXPECT_EQ(sent, std::vector<LPARAM>(std::begin(kParams), std::end(kParams)));
  EXPECT_EQ(posted, 1);
  EXPECT_TRUE(IsWindow(window));
}

TEST_F(WindowIpcTest, WindowTextCrossesProcesses) {
  // {room, result, text left in the buffer}
  struct Case {
    int room;
    int result;
    const char* text;
  };
  const Case kCaption[] = {
      {0, 0, "<none>"}, {5, 4, "Driv"}, {12, 11, "Driver Setu"}, {13, 12, "Driver Setup"}, {64, 12, "Driver Setup"}};
  const Case kOwn[] = {
      {0, 0, "<none>"}, {5, 4, "Step"}, {11, 10, "Step 2 of "}, {12, 11, "Step 2 of 3"}, {64, 11, "Step 2 of 3"}};
  const WStr kNewTitle = W_("Installing \u2013 2/3");
  auto seen = in_child([&](HWND h, Report& r, const std::function<void()>& let_parent_run) {
    WCHAR buf[65];
    // The caption comes from the system, not from the window's thread, which is not running yet.
    for (const Case& c : kCaption) {
      std::fill(std::begin(buf), std::end(buf), u'x');
      SetLastError(kMarker);
      r.add("caption" + n(c.room), GetWindowTextW(h, buf, c.room));
      r.add("caption" + n(c.room) + ".error", GetLastError());
      add_buffer(r, "caption" + n(c.room), buf, c.room);
    }
    let_parent_run();
    // WM_GETTEXT goes to the window procedure, its buffer back into this one.
    for (const Case& c : kOwn) {
      std::fill(std::begin(buf), std::end(buf), u'x');
      SetLastError(kMarker);
      r.add("own" + n(c.room), SendMessageW(h, WM_GETTEXT, static_cast<WPARAM>(c.room), reinterpret_cast<LPARAM>(buf)));
      r.add("own" + n(c.room) + ".error", GetLastError());
      add_buffer(r, "own" + n(c.room), buf, c.room);
    }
    r.add("length", SendMessageW(h, WM_GETTEXTLENGTH, 0, 0));
    r.add("nobuffer", SendMessageW(h, WM_GETTEXT, 10, 0));
    SetLastError(kMarker);
    r.add("settext", SetWindowTextW(h, kNewTitle.c_str()));
    r.add("settext.error", GetLastError());
    std::fill(std::begin(buf), std::end(buf), u'x');
    r.add("newcaption", GetWindowTextW(h, buf, 64));
    r.add_text("newcaption.text", buf);
    r.add("find.both", FindWindowW(W_("windowipctest"), kNewTitle.c_str()) == h);
    r.add("find.class", FindWindowW(W_("WINDOWIPCTEST"), nullptr) == h);
    r.add("find.old", FindWindowW(nullptr, W_("Driver Setup")) == nullptr);
    r.add("find.otherclass", FindWindowW(W_("WindowPeer"), kNewTitle.c_str()) == nullptr);
  });
  for (const Case& c : kCaption) {
    std::string k = "caption" + n(c.room);
    EXPECT_EQ(seen[k], n(c.result)) << k;
    EXPECT_EQ(seen[k + ".error"], n(kMarker)) << k;
    EXPECT_EQ(seen[k + ".text"], c.text) << k;
    EXPECT_EQ(seen[k + ".past"], "1") << k;  // nothing written past the room given
  }
  for (const Case& c : kOwn) {
    std::string k = "own" + n(c.room);
    EXPECT_EQ(seen[k], n(c.result)) << k;
    EXPECT_EQ(seen[k + ".error"], n(kMarker)) << k;
    EXPECT_EQ(seen[k + ".text"], c.text) << k;
    EXPECT_EQ(seen[k + ".past"], "1") << k;
  }
  EXPECT_EQ(seen["length"], n(kOwnText.size()));
  EXPECT_EQ(seen["nobuffer"], "0");
  EXPECT_EQ(seen["settext"], "1");
  EXPECT_EQ(seen["settext.error"], n(kMarker));
  EXPECT_EQ(seen["newcaption"], n(kNewTitle.size()));
  EXPECT_EQ(seen["newcaption.text"], "Installing \xE2\x80\x93 2/3");
  EXPECT_EQ(seen["find.both"], "1");
  EXPECT_EQ(seen["find.class"], "1");
  EXPECT_EQ(seen["find.old"], "1");
  EXPECT_EQ(seen["find.otherclass"], "1");
  // The text arrived here whole.
  EXPECT_EQ(FindWindowW(nullptr, kNewTitle.c_str()), window);
}

// A socket's address holds little more than a hundred bytes; a machine may lie deeper than that.
TEST_F(WindowIpcTest, AMachineDeepInTheFileSystem) {
  const std::string deep = dir + "/../" + std::string(60, 'd') + "/" + std::string(60, 'e') + "/machine";
  winsim::create_machine(deep, {});
  winsim::use_machine(deep);
  ASSERT_TRUE(DestroyWindow(window));
  window = make(W_("Deep"));
  ASSERT_NE(window, nullptr);
  const std::string socket = deep + "/run/" + std::to_string(::getpid()) + ".sock";
  ASSERT_GT(socket.size(), 108u);
  EXPECT_TRUE(std::filesystem::exists(socket));
  auto seen = in_child([](HWND h, Report& r, const std::function<void()>& let_parent_run) {
    let_parent_run();
    r.add("send", SendMessageW(h, kSendMe, 0, 41));
    r.add("find", FindWindowW(nullptr, W_("Deep")) == h);
  });
  EXPECT_EQ(seen["send"], n(~41LL));
  EXPECT_EQ(seen["find"], "1");
}

TEST_F(WindowIpcTest, HandlesAreUniqueOnTheMachineAndReachTheirOwner) {
  constexpr int kEach = 40;
  // Two programs make their windows while this one makes its own.
  Peer one(dir, "Peer one", kEach), two(dir, "Peer two", kEach);
  std::vector<HWND> mine;
  for (int i = 0; i < kEach; ++i) mine.push_back(make(W_("Mine")));
  std::vector<HWND> ones = one.windows(), twos = two.windows();
  ASSERT_EQ(ones.size(), static_cast<size_t>(kEach));
  ASSERT_EQ(twos.size(), static_cast<size_t>(kEach));

  std::set<std::uintptr_t> all{reinterpret_cast<std::uintptr_t>(window)};
  for (const auto* list : {&mine, &ones, &twos})
    for (HWND h : *list) {
      auto v = reinterpret_cast<std::uintptr_t>(h);
      EXPECT_NE(v, 0u);
      EXPECT_EQ(v % 2, 0u) << v;
      EXPECT_LT(v, 0xFFFF0000u) << v;  // 32 bits, and none of the 0xFFFF... values
      all.insert(v);
    }
  EXPECT_EQ(all.size(), 3u * kEach + 1);  // no two alike

  // The peers' windows answer here as if they were this process's own.
  SetLastError(kMarker);
  EXPECT_TRUE(IsWindow(ones[0]));
  EXPECT_EQ(GetLastError(), kMarker);
  EXPECT_TRUE(IsWindowVisible(ones[0]));
  EXPECT_FALSE(IsWindowVisible(ones[1]));
  SetLastError(kMarker);
  EXPECT_EQ(SendMessageW(twos[3], kSendMe, 0, 21), 42);  // run by the peer's window procedure
  EXPECT_EQ(GetLastError(), kMarker);
  WCHAR buf[32];
  EXPECT_EQ(GetWindowTextW(ones[1], buf, 32), 10);
  EXPECT_EQ(WStr(buf), W_("Peer one 2"));
  EXPECT_EQ(FindWindowW(W_("WindowPeer"), W_("Peer two")), twos[0]);
  EXPECT_EQ(FindWindowW(nullptr, W_("Peer one 7")), ones[6]);
  EXPECT_EQ(FindWindowW(W_("WindowPeer"), W_("Peer three")), nullptr);
  SetLastError(kMarker);
  EXPECT_FALSE(DestroyWindow(twos[0]));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(IsWindow(twos[0]));
  for (HWND h : mine) EXPECT_TRUE(DestroyWindow(h));
}

TEST_F(WindowIpcTest, WindowsThatAreGoneAreInvalidEverywhere) {
  Peer alive(dir, "Stays", 2), killed(dir, "Killed", 2), ended(dir, "Ends", 2);
  std::vector<HWND> a = alive.windows(), k = killed.windows(), e = ended.windows();
  ASSERT_EQ(a.size(), 2u);
  ASSERT_EQ(k.size(), 2u);
  ASSERT_EQ(e.size(), 2u);
  // Closed while its program runs on.
  EXPECT_TRUE(PostMessageW(a[0], WM_CLOSE, 0, 0));
  EXPECT_EQ(alive.line(), "destroyed");
  // A program that ends leaves nothing behind; one that is killed leaves its socket and files.
  EXPECT_TRUE(PostMessageW(e[0], WM_CLOSE, 0, 0));
  EXPECT_EQ(ended.line(), "destroyed");
  const std::string ended_socket = dir + "/run/" + std::to_string(ended.pid()) + ".sock";
  EXPECT_EQ(ended.finish(), 0);
  EXPECT_FALSE(std::filesystem::exists(ended_socket));
  const std::string killed_socket = dir + "/run/" + std::to_string(killed.pid()) + ".sock";
  killed.kill();
  EXPECT_TRUE(std::filesystem::exists(killed_socket));
  HWND here = make(W_("Here"));
  ASSERT_TRUE(DestroyWindow(here));

  struct Case {
    const char* what;
    HWND h;
  } cases[] = {
      {"destroyed in this process", here},
      {"destroyed by its running program", a[0]},
      {"of a program that ended", e[1]},
      {"of a program that was killed", k[1]},
      {"never made", reinterpret_cast<HWND>(std::uintptr_t{0x7FFFFFF0})},
      {"odd", reinterpret_cast<HWND>(std::uintptr_t{0x10011})},
      {"null", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(kMarker);
    EXPECT_FALSE(IsWindow(c.h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    SetLastError(kMarker);
    EXPECT_EQ(SendMessageW(c.h, kSendMe, 0, 5), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    if (c.h) {  // a null window posts to the calling thread
      SetLastError(kMarker);
      EXPECT_FALSE(PostMessageW(c.h, kPostMe, 0, 0));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    }
    WCHAR buf[8] = W_("xxxxxxx");
    SetLastError(kMarker);
    EXPECT_EQ(GetWindowTextW(c.h, buf, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  }
  // What the killed program left names no window any more; the running one's other window answers.
  EXPECT_FALSE(std::filesystem::exists(dir + "/run/windows/" + std::to_string(reinterpret_cast<std::uintptr_t>(k[1]))));
  SetLastError(kMarker);
  EXPECT_TRUE(IsWindow(a[1]));
  EXPECT_EQ(GetLastError(), kMarker);
  EXPECT_EQ(alive.finish(), 0);
  EXPECT_FALSE(IsWindow(a[1]));
}

}  // namespace
