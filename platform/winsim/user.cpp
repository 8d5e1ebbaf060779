// Windowing: classes, windows, per-thread message queues, message boxes and the scripted user
// that answers them and closes windows, and string resources. Window handles are unique on the
// machine, and other processes reach this one's windows through window_ipc.cpp.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <utility>

#include "internal.h"
#include "win32/gdi.h"
#include "win32/user.h"
#include "window_ipc.h"

namespace winsim {

namespace {

struct WindowClass {
  WStr name;
  WNDPROC proc = nullptr;
  HINSTANCE instance = nullptr;
  HBRUSH background = nullptr;
};

struct Window {
  WStr cls;
  WNDPROC proc = nullptr;
  WStr text;
  DWORD style = 0;
  DWORD ex_style = 0;
  HWND parent = nullptr;
  HMENU id = nullptr;  // a child's control id
  bool visible = false;
  bool minimized = false;
  bool enabled = true;
  bool dirty = false;  // waits for WM_PAINT
  bool drawn = false;  // top-level: shown and drawn whole once ("painted" in the record)
  LONG x = 0, y = 0, cx = 0, cy = 0;  // top-level: on the screen; child: in its parent
  bool color_keyed = false;
  COLORREF color_key = 0;
  HBRUSH background = nullptr;
  LONG_PTR userdata = 0;
  std::map<WStr, HANDLE> props;  // SetPropW, by folded name
  std::thread::id thread;
  std::string published;  // its registry file, through which other processes find it
  std::uint64_t made = 0;  // when it was made, among this process's windows
};

struct Timer {
  HWND hwnd;
  UINT_PTR id;
  UINT ms;
  TIMERPROC proc;
  std::chrono::steady_clock::time_point due;
};

struct SentMessage {
  HWND hwnd;
  UINT msg;
  WPARAM wp;
  LPARAM lp;
  LRESULT result = 0;
  bool running = false;  // taken by the window's thread: the sender waits for it, window or not
  bool done = false;
};

struct Queue {
  std::deque<MSG> posted;
  std::deque<SentMessage*> sent;
  std::vector<Timer> timers;
  bool quit = false;
  int quit_code = 0;
};

struct Ui {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<WindowClass> classes;
  std::map<HWND, Window> windows;
  std::map<std::thread::id, Queue> queues;
  UINT_PTR next_timer_id = 1;  // for timers without a window
  std::uint64_t windows_made = 0;
};

void ui_fork_prepare();
void ui_fork_parent();
void ui_fork_child();

// Never destroyed: threads that answer other processes may still use it while the process exits.
Ui*& ui_slot() {
  static Ui* u = [] {
    ::pthread_atfork(ui_fork_prepare, ui_fork_parent, ui_fork_child);
    return new Ui;
  }();
  return u;
}

Ui& ui() { return *ui_slot(); }

// What a forked child inherits is another process's windows and waiting threads: it starts with
// none, keeping the classes its program registered. The parent's state stays allocated, since its
// lock and waiters belong to threads the child does not have.
std::vector<Ui*>& parents_ui() {
  static auto* v = new std::vector<Ui*>;
  return *v;
}
void ui_fork_prepare() { ui().mu.lock(); }
void ui_fork_parent() { ui().mu.unlock(); }
void ui_fork_child() {
  Ui* parent = ui_slot();
  auto* fresh = new Ui;
  fresh->classes = parent->classes;
  parents_ui().push_back(parent);
  ui_slot() = fresh;
}

// Window handles are even 32-bit numbers taken from a counter of the machine, so that a handle
// names one window among all its processes and can be passed on as a number (on 64-bit Windows
// too only the low 32 bits of a window handle count). They never come near the 0xFFFF... values
// that mean something else.
std::optional<HWND> new_window_handle() {
  constexpr std::uint32_t kFirst = 0x10010, kLast = 0xFFFEFFFE;
  constexpr std::uint32_t kCount = (kLast - kFirst) / 2 + 1;
  auto n = take_machine_number(machine().dir, "hwnd");
  if (!n) return std::nullopt;
  return reinterpret_cast<HWND>(static_cast<ULONG_PTR>(kFirst + 2 * (*n % kCount)));
}

// "*" and "?" as in file names, ignoring case.
bool glob(WStrView pat, WStrView s) {
  if (pat.empty()) return s.empty();
  if (pat[0] == u'*') {
    for (size_t i = 0; i <= s.size(); ++i)
      if (glob(pat.substr(1), s.substr(i))) return true;
    return false;
  }
  return !s.empty() && (pat[0] == u'?' || fold_upper(pat[0]) == fold_upper(s[0])) && glob(pat.substr(1), s.substr(1));
}

// ---- the scripted user ------------------------------------------------------------------------

struct Action {
  enum Kind { kClose, kWait, kLook, kEnv, kShot, kClick, kHover, kChoose, kType, kScroll } kind;
  WStr pattern;  // a title, folder, variable, file or control name
  int ms = 0;
  WStr item;  // choose: the item's text; type: the text; scroll: "up" or "down"
};

struct BoxRule {
  int answer;
  WStr pattern;
  bool used = false;
};

struct Script {
  std::mutex mu;
  bool loaded = false;
  std::chrono::steady_clock::time_point idle_until{};  // a "wait" lets the program run meanwhile
  std::string file;
  std::vector<Action> actions;
  size_t next = 0;
  std::vector<BoxRule> boxes;
  std::set<HWND> asked_to_close;
  HWND hovered = nullptr;  // the control the pointer is over
};

Script& script() {
  static Script s;
  return s;
}

}  // namespace

void reset_user() {
  Script& s = script();
  std::lock_guard lock(s.mu);
  s.loaded = false;
  s.file.clear();
  s.actions.clear();
  s.next = 0;
  s.boxes.clear();
  s.asked_to_close.clear();
  s.hovered = nullptr;
  s.idle_until = {};
}

namespace {

constexpr std::pair<const char16_t*, int> kAnswers[] = {{u"OK", IDOK},       {u"CANCEL", IDCANCEL}, {u"ABORT", IDABORT},
                                                        {u"RETRY", IDRETRY}, {u"IGNORE", IDIGNORE}, {u"YES", IDYES},
                                                        {u"NO", IDNO}};

const char16_t* answer_name(int id) {
  for (auto& [n, v] : kAnswers)
    if (v == id) return n;
  return u"?";
}

[[noreturn]] void script_error(const std::string& file, int line, const std::string& why) {
  std::fprintf(stderr, "winsim: user script %s:%d: %s\n", file.c_str(), line, why.c_str());
  std::_Exit(3);
}

WStr unquote_pattern(WStr p) {
  p = trim_blanks(p);
  if (p.size() >= 2 && p.front() == u'"' && p.back() == u'"') p = p.substr(1, p.size() - 2);
  return p;
}

// Script lines, one action each ("#" starts a comment line):
//   box ANSWER [TEXT]   answers the first message box whose text matches TEXT (default: any)
//                       with OK, CANCEL, ABORT, RETRY, IGNORE, YES or NO; each line answers once
//   close [TITLE]       closes the first visible window whose title matches TITLE
//   wait MS             lets MS milliseconds pass
//   look FOLDER         records what the folder holds, as a person looking at it would see
//   env NAME            records the program's environment variable NAME (a developer's look)
//   shot FILE           writes a PNG of the program's window as drawn (FILE relative to the script)
//   click NAME          presses and releases the left button over the control named NAME
//   hover NAME          moves the pointer over the control NAME (the one it leaves is told)
//   choose NAME "ITEM"  picks ITEM in the drop-down list NAME, as the user would
//   type NAME "TEXT"    selects all of the edit field NAME and types TEXT, key by key
//   scroll NAME up|down clicks the up or the down arrow of the scroll bar NAME
// Controls are named by their "winsim.name" property (SetPropW), a text of the program's, or
// else by their control id or their text ("click 1057", "click OK").
// Actions other than box run in order whenever the program waits for its user. When they are
// done, the user closes the program's windows.
void load_script(Script& s) {
  s.loaded = true;
  const char* file = std::getenv("WINSIM_USER_SCRIPT");
  if (!file || !*file) return;
  s.file = file;
  std::ifstream in(file, std::ios::binary);
  if (!in) script_error(file, 0, "cannot be read");
  std::string raw;
  int line_no = 0;
  while (std::getline(in, raw)) {
    ++line_no;
    WStr line = trim_blanks(from_utf8(raw));
    if (line.empty() || line[0] == u'#') continue;
    size_t sp = line.find_first_of(u" \t");
    WStr verb = line.substr(0, sp);
    WStr rest = sp == WStr::npos ? WStr() : trim_blanks(WStrView(line).substr(sp));
    if (iequal(verb, u"box")) {
      size_t sp2 = rest.find_first_of(u" \t");
      WStr ans = rest.substr(0, sp2);
      int id = 0;
      for (auto& [n, v] : kAnswers)
        if (iequal(ans, n)) id = v;
      if (!id) script_error(file, line_no, "box needs an answer: OK, CANCEL, ABORT, RETRY, IGNORE, YES or NO");
      WStr pat = sp2 == WStr::npos ? WStr(u"*") : unquote_pattern(rest.substr(sp2));
      s.boxes.push_back({id, pat.empty() ? WStr(u"*") : pat});
    } else if (iequal(verb, u"close")) {
      WStr pat = unquote_pattern(rest);
      s.actions.push_back({Action::kClose, pat.empty() ? WStr(u"*") : pat, 0, {}});
    } else if (iequal(verb, u"wait")) {
      std::string n = to_utf8(rest);
      char* end = nullptr;
      long ms = std::strtol(n.c_str(), &end, 10);
      if (n.empty() || *end || ms < 0 || ms > 600000)
        script_error(file, line_no, "wait needs milliseconds (0 to 600000)");
      s.actions.push_back({Action::kWait, {}, static_cast<int>(ms), {}});
    } else if (iequal(verb, u"look") || iequal(verb, u"env")) {
      WStr arg = unquote_pattern(rest);
      if (arg.empty())
        script_error(file, line_no, to_utf8(verb) + " needs a " + (iequal(verb, u"env") ? "name" : "folder"));
      s.actions.push_back({iequal(verb, u"env") ? Action::kEnv : Action::kLook, arg, 0, {}});
    } else if (iequal(verb, u"shot") || iequal(verb, u"click") || iequal(verb, u"hover")) {
      WStr arg = unquote_pattern(rest);
      if (arg.empty()) script_error(file, line_no, to_utf8(verb) + " needs a " + (iequal(verb, u"shot") ? "file" : "control name"));
      Action::Kind k = iequal(verb, u"shot") ? Action::kShot : iequal(verb, u"click") ? Action::kClick : Action::kHover;
      if (k == Action::kShot && !std::filesystem::path(to_utf8(arg)).is_absolute())
        arg = from_utf8((std::filesystem::path(file).parent_path() / to_utf8(arg)).string());
      s.actions.push_back({k, arg, 0, {}});
    } else if (iequal(verb, u"choose") || iequal(verb, u"type") || iequal(verb, u"scroll")) {
      // The control's name may be quoted when it holds blanks.
      WStr name, arg;
      if (!rest.empty() && rest[0] == u'"') {
        size_t close = rest.find(u'"', 1);
        if (close != WStr::npos) name = rest.substr(1, close - 1), arg = rest.substr(close + 1);
      } else {
        size_t sp2 = rest.find_first_of(u" \t");
        name = rest.substr(0, sp2);
        if (sp2 != WStr::npos) arg = rest.substr(sp2);
      }
      WStr item = unquote_pattern(arg);
      Action::Kind k = iequal(verb, u"choose") ? Action::kChoose : iequal(verb, u"type") ? Action::kType : Action::kScroll;
      if (name.empty() || (item.empty() && k == Action::kChoose))
        script_error(file, line_no, to_utf8(verb) + " needs a control name and " + (k == Action::kChoose ? "an item" : "a text"));
      if (k == Action::kScroll && !iequal(item, u"up") && !iequal(item, u"down"))
        script_error(file, line_no, "scroll needs a control name and up or down");
      s.actions.push_back({k, name, 0, item});
    } else {
      script_error(file, line_no,
                   "unknown action \"" + to_utf8(verb) +
                       "\" (box, close, wait, look, env, shot, click, hover, choose, type or scroll)");
    }
  }
}

// Every file and folder below a folder, relative to it, folders ending in "\\"; sorted.
json list_folder(const WStr& folder) {
  json out = json::array();
  DWORD err = 0;
  auto r = resolve(folder, err);
  if (!r || !r->exists) return out;
  std::error_code ec;
  std::vector<std::string> names;
  for (auto it = std::filesystem::recursive_directory_iterator(r->host, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string rel = std::filesystem::relative(it->path(), r->host, ec).string();
    std::replace(rel.begin(), rel.end(), '/', '\\');
    if (it->is_directory(ec)) rel += '\\';
    names.push_back(rel);
  }
  std::sort(names.begin(), names.end());
  for (auto& n : names) out.push_back(n);
  return out;
}

std::vector<std::pair<HWND, WStr>> visible_top_windows(std::thread::id thread) {
  std::vector<std::pair<HWND, WStr>> out;
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  for (auto& [h, w] : u.windows)
    if (!w.parent && w.visible && w.thread == thread) out.push_back({h, w.text});
  return out;
}

bool shown(Ui& u, const Window& w);

// This thread's control the user means by `name`: the one whose "winsim.name" property it is,
// else a shown control with that id (a number), else a shown control with that text.
HWND named_control(const WStr& name) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  auto mine = [&](const Window& w) { return w.thread == std::this_thread::get_id(); };
  for (auto& [h, w] : u.windows) {
    if (!mine(w)) continue;
    auto it = w.props.find(folded(u"winsim.name"));
    if (it != w.props.end() && it->second && name == static_cast<const WCHAR*>(it->second)) return h;
  }
  bool number = !name.empty() && std::all_of(name.begin(), name.end(), [](WCHAR c) { return c >= u'0' && c <= u'9'; });
  for (auto& [h, w] : u.windows) {
    if (!mine(w) || !w.parent || !shown(u, w)) continue;
    if (number ? to_utf8(name) == std::to_string(reinterpret_cast<ULONG_PTR>(w.id)) : glob(name, w.text)) return h;
  }
  return nullptr;
}

// Writes the PNG of a top-level window, with a message box over it when one is open; the record.
json take_shot(const WStr& file, HWND top, const WStr& title, const std::function<picture::Picture(picture::Picture)>& box = {}) {
  json ev = {{"type", "user"}, {"action", "shot"}, {"file", to_utf8(file)}, {"window", to_utf8(title)}};
  auto pic = top ? snapshot_window(top) : std::nullopt;
  if (box) pic = box(pic ? std::move(*pic) : picture::Picture{});
  std::vector<uint8_t> png = pic ? picture::EncodePng(*pic) : std::vector<uint8_t>{};
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(to_utf8(file)).parent_path(), ec);
  std::ofstream out(to_utf8(file), std::ios::binary);
  out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  if (png.empty() || !out) ev["error"] = png.empty() ? "nothing drawn" : "cannot write the file";
  return ev;
}

// The pointer moves over a control: the one it leaves gets WM_MOUSELEAVE, this one WM_MOUSEMOVE
// at its centre. Returns the centre, in the control's coordinates.
LPARAM point_at(Script& s, HWND h) {
  RECT r{};
  GetClientRect(h, &r);
  LPARAM at = MAKELPARAM(r.right / 2, r.bottom / 2);
  HWND left = std::exchange(s.hovered, h);
  if (left && left != h) PostMessageW(left, WM_MOUSELEAVE, 0, 0);
  PostMessageW(h, WM_MOUSEMOVE, 0, at);
  return at;
}

// Whether a window and all its parents take input.
bool enabled_with_parents(HWND h) {
  for (; h; h = GetParent(h))
    if (!IsWindowEnabled(h)) return false;
  return true;
}

// The user's turn: the thread is idle. Returns whether the user did something.
bool user_acts() {
  // The user's script is for the program they run; the system's own helpers (the hardware
  // wizard) wait for whoever deals with them.
  static const bool system_program = std::getenv("WINSIM_SYSTEM_PROGRAM") != nullptr;
  if (system_program) return false;
  auto windows = visible_top_windows(std::this_thread::get_id());
  if (windows.empty()) return false;  // nothing on screen for this thread: nothing to do
  Script& s = script();
  std::unique_lock lock(s.mu);
  if (!s.loaded) load_script(s);
  if (std::chrono::steady_clock::now() < s.idle_until) return false;
  if (s.next < s.actions.size()) {
    Action a = s.actions[s.next++];
    if (a.kind == Action::kWait) {
      s.idle_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(a.ms);
      return true;
    }
    lock.unlock();
    if (a.kind == Action::kLook) {
      append_event(
          {{"type", "user"}, {"action", "look"}, {"folder", to_utf8(a.pattern)}, {"entries", list_folder(a.pattern)}});
      return true;
    }
    if (a.kind == Action::kShot) {
      append_event(take_shot(a.pattern, windows.front().first, windows.front().second));
      return true;
    }
    if (a.kind == Action::kClick || a.kind == Action::kHover || a.kind == Action::kChoose || a.kind == Action::kType ||
        a.kind == Action::kScroll) {
      static const char* const verbs[] = {"click", "hover", "choose", "type", "scroll"};
      const char* verb = verbs[a.kind - Action::kClick];
      json ev = {{"type", "user"}, {"action", verb}, {"control", to_utf8(a.pattern)}};
      HWND h = named_control(a.pattern);
      if (!h) {
        ev["found"] = false;
      } else if (a.kind != Action::kHover && !enabled_with_parents(h)) {
        ev["enabled"] = false;  // a greyed control takes no input
      } else if (a.kind == Action::kType) {
        ev["text"] = to_utf8(a.item);
        SendMessageW(h, EM_SETSEL, 0, -1);
        for (WCHAR c : a.item) PostMessageW(h, WM_CHAR, c, 1);
      } else if (a.kind == Action::kScroll) {
        ev["direction"] = to_utf8(a.item);
        RECT r{};
        GetClientRect(h, &r);
        LPARAM at = MAKELPARAM(r.right / 2, iequal(a.item, u"up") ? r.bottom / 4 : r.bottom * 3 / 4);
        PostMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(h, WM_LBUTTONUP, 0, at);
      } else if (a.kind == Action::kChoose) {
        ev["item"] = to_utf8(a.item);
        if (!choose_item(h, a.item)) ev["found"] = false;
      } else {
        std::lock_guard relock(s.mu);
        LPARAM at = point_at(s, h);
        if (a.kind == Action::kClick) {
          PostMessageW(h, WM_LBUTTONDOWN, MK_LBUTTON, at);
          PostMessageW(h, WM_LBUTTONUP, 0, at);
        }
      }
      append_event(ev);
      return true;
    }
    if (a.kind == Action::kEnv) {
      auto v = get_env(a.pattern);
      append_event({{"type", "user"},
                    {"action", "env"},
                    {"name", to_utf8(a.pattern)},
                    {"value", v ? json(to_utf8(*v)) : json(nullptr)}});
      return true;
    }
    for (auto& [h, title] : windows) {
      if (!glob(a.pattern, title)) continue;
      append_event({{"type", "user"}, {"action", "close"}, {"window", to_utf8(title)}});
      PostMessageW(h, WM_CLOSE, 0, 0);
      return true;
    }
    append_event({{"type", "user"}, {"action", "close"}, {"window", to_utf8(a.pattern)}, {"found", false}});
    return true;
  }
  // Nothing left to do: the user closes what is still open, once each.
  bool acted = false;
  for (auto& [h, title] : windows) {
    if (!s.asked_to_close.insert(h).second) continue;
    append_event({{"type", "user"}, {"action", "close"}, {"window", to_utf8(title)}, {"reason", "script done"}});
    PostMessageW(h, WM_CLOSE, 0, 0);
    acted = true;
  }
  return acted;
}

Window* window(Ui& u, HWND h) {
  auto it = u.windows.find(h);
  return it == u.windows.end() ? nullptr : &it->second;
}

// Runs `f` on a window under the lock; an unknown window fails with its error.
template <class R, class F>
R with_window(HWND h, R failed, F&& f) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  Window* w = window(u, h);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return failed;
  }
  return f(*w);
}

// Marks a window, and with `children` all below it, as waiting for WM_PAINT. Lock held.
void mark_dirty(Ui& u, HWND h, bool children) {
  Window* w = window(u, h);
  if (!w) return;
  w->dirty = true;
  if (!children) return;
  for (auto& [c, cw] : u.windows)
    if (cw.parent == h) mark_dirty(u, c, true);
  u.cv.notify_all();
}

// Whether the window and all its ancestors are visible (and not minimised). Lock held.
bool shown(Ui& u, const Window& w) {
  for (const Window* p = &w; p; p = p->parent ? window(u, p->parent) : nullptr)
    if (!p->visible || p->minimized) return false;
  return true;
}

int depth(Ui& u, const Window& w) {
  int d = 0;
  for (const Window* p = &w; p->parent && (p = window(u, p->parent));) ++d;
  return d;
}

// The next WM_PAINT for this thread's windows: parents before their children.
std::optional<MSG> paint_message(Ui& u, HWND filter) {
  HWND best = nullptr;
  int best_depth = 0;
  for (auto& [h, w] : u.windows) {
    if (!w.dirty || w.thread != std::this_thread::get_id() || (filter && h != filter) || !shown(u, w)) continue;
    int d = depth(u, w);
    if (!best || d < best_depth) best = h, best_depth = d;
  }
  if (!best) return std::nullopt;
  return MSG{best, WM_PAINT, 0, 0, GetTickCount(), {0, 0}};
}

// The next due timer's WM_TIMER; `next` learns when the earliest timer is due.
std::optional<MSG> timer_message(Queue& q, HWND filter, bool remove, std::chrono::steady_clock::time_point& next) {
  auto now = std::chrono::steady_clock::now();
  for (Timer& t : q.timers) {
    if (filter && t.hwnd != filter) continue;
    if (t.due <= now) {
      MSG m{t.hwnd, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc), GetTickCount(), {0, 0}};
      // A timer that came due several times waiting gives one message, as on Windows.
      if (remove) t.due = now + std::chrono::milliseconds(t.ms);
      return m;
    }
    next = std::min(next, t.due);
  }
  return std::nullopt;
}

bool filter_match(const MSG& m, HWND hwnd, UINT lo, UINT hi) {
  if (hwnd && m.hwnd != hwnd) return false;
  if (lo == 0 && hi == 0) return true;
  return m.message >= lo && m.message <= hi;
}

// Runs the messages other threads sent to this one. Called with the lock held; returns with it.
bool run_sent(std::unique_lock<std::mutex>& lk, Queue& q) {
  if (q.sent.empty()) return false;
  SentMessage* sm = q.sent.front();
  q.sent.pop_front();
  sm->running = true;
  WNDPROC proc = nullptr;
  if (Window* w = window(ui(), sm->hwnd)) proc = w->proc;
  lk.unlock();
  LRESULT r = proc ? proc(sm->hwnd, sm->msg, sm->wp, sm->lp) : 0;
  lk.lock();
  sm->result = r;
  sm->done = true;
  ui().cv.notify_all();
  return true;
}

// Hands `sm` to the thread of its window and waits, the lock held, until that thread ran it;
// meanwhile runs what is sent to `mine`, the waiting thread's own queue when it has one. Every
// change it waits for notifies the condition. False when the window went before its thread took
// the message.
bool send_and_wait(std::unique_lock<std::mutex>& lk, SentMessage& sm, std::thread::id target, Queue* mine) {
  Ui& u = ui();
  u.queues[target].sent.push_back(&sm);
  u.cv.notify_all();
  while (!sm.done) {
    if (mine && run_sent(lk, *mine)) continue;
    if (!sm.running && !window(u, sm.hwnd)) {
      auto& q = u.queues[target].sent;
      q.erase(std::remove(q.begin(), q.end(), &sm), q.end());
      return false;
    }
    u.cv.wait(lk);
  }
  return true;
}

bool matches(const Window& w, const WStr* cls, const WStr* title) {
  return !w.parent && (!cls || iequal(w.cls, *cls)) && (!title || w.text == *title);
}

}  // namespace

std::optional<LRESULT> send_to_window(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  Ui& u = ui();
  std::unique_lock lk(u.mu);
  Window* w = window(u, h);
  if (!w) return std::nullopt;
  SentMessage sm{h, msg, wp, lp};
  if (!send_and_wait(lk, sm, w->thread, nullptr)) return std::nullopt;
  return sm.result;
}

bool post_to_window(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  Window* w = window(u, h);
  if (!w) return false;
  u.queues[w->thread].posted.push_back({h, msg, wp, lp, GetTickCount(), {0, 0}});
  u.cv.notify_all();
  return true;
}

std::optional<WindowFacts> window_facts(HWND h) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  Window* w = window(u, h);
  if (!w) return std::nullopt;
  return WindowFacts{w->visible, w->text};
}

HWND find_top_window(const WStr* cls, const WStr* title) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  for (auto& [h, w] : u.windows)
    if (matches(w, cls, title)) return h;
  return nullptr;
}

namespace {

// The facts of a window of this process or of another process of the machine; none (and the
// last error set) when there is no such window.
std::optional<WindowFacts> any_window_facts(HWND hWnd) {
  auto facts = window_facts(hWnd);
  if (!facts) facts = remote_facts(hWnd);
  if (!facts) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return facts;
}

}  // namespace

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API ATOM WINAPI RegisterClassExW(const WNDCLASSEXW* wc) {
  if (DWORD e = fault("RegisterClassExW")) {
    SetLastError(e);
    return 0;
  }
  if (!wc || wc->cbSize != sizeof(WNDCLASSEXW) || !wc->lpszClassName || !wc->lpfnWndProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  for (auto& c : u.classes)
    if (iequal(c.name, wc->lpszClassName)) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  u.classes.push_back({wc->lpszClassName, wc->lpfnWndProc, wc->hInstance, wc->hbrBackground});
  return static_cast<ATOM>(0xC000 + u.classes.size());
}

WINSIM_API BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE) {
  if (DWORD e = fault("UnregisterClassW")) {
    SetLastError(e);
    return FALSE;
  }
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  for (auto it = u.classes.begin(); it != u.classes.end(); ++it)
    if (lpClassName && iequal(it->name, lpClassName)) {
      u.classes.erase(it);
      return TRUE;
    }
  SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
  return FALSE;
}

WINSIM_API HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X,
                                       int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                                       HINSTANCE hInstance, LPVOID lpParam) {
  if (DWORD e = fault("CreateWindowExW")) {
    SetLastError(e);
    return nullptr;
  }
  Ui& u = ui();
  HWND h = nullptr;
  WNDPROC proc = nullptr;
  bool top = !(dwStyle & WS_CHILD) || !hWndParent;
  for (;;) {
    auto taken = new_window_handle();
    if (!taken) {  // the machine's window table is out of reach: no room for a window
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    h = *taken;
    std::lock_guard lock(u.mu);
    // A window kept from a machine this process used before may hold the number.
    if (window(u, h)) continue;
    if (!lpClassName) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    HBRUSH background = nullptr;
    for (auto& c : u.classes)
      if (iequal(c.name, lpClassName)) proc = c.proc, background = c.background;
    if (!proc) proc = system_class_proc(lpClassName);
    if (!proc) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    if (hWndParent && !window(u, hWndParent)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
    Window w;
    w.cls = lpClassName;
    w.proc = proc;
    w.text = wstr_or_empty(lpWindowName);
    w.style = dwStyle & ~WS_VISIBLE;
    w.ex_style = dwExStyle;
    w.background = background;
    w.parent = (dwStyle & WS_CHILD) ? hWndParent : nullptr;
    w.id = (dwStyle & WS_CHILD) ? hMenu : nullptr;
    w.enabled = !(dwStyle & WS_DISABLED);
    // A default place and size as a desktop would give them.
    w.x = X == CW_USEDEFAULT ? 0 : X;
    w.y = X == CW_USEDEFAULT ? 0 : Y;
    w.cx = nWidth == CW_USEDEFAULT ? 640 : std::max(nWidth, 0);
    w.cy = nWidth == CW_USEDEFAULT ? 480 : std::max(nHeight, 0);
    w.thread = std::this_thread::get_id();
    w.made = ++u.windows_made;
    u.windows[h] = w;
    u.queues[w.thread];
    break;
  }
  std::string published = publish_window(h, ::gettid(), top, lpClassName);
  {
    std::lock_guard lock(u.mu);
    if (Window* w = window(u, h)) w->published = std::move(published);
  }
  CREATESTRUCTW cs{lpParam,      hInstance,   hMenu,    hWndParent, nHeight, nWidth, Y, X, static_cast<LONG>(dwStyle),
                   lpWindowName, lpClassName, dwExStyle};
  if (!proc(h, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs)) ||
      proc(h, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(h);
    SetLastError(ERROR_CANCELLED);
    return nullptr;
  }
  if (dwStyle & WS_VISIBLE) ShowWindow(h, SW_SHOW);
  return h;
}

WINSIM_API BOOL WINAPI DestroyWindow(HWND hWnd) {
  if (DWORD e = fault("DestroyWindow")) {
    SetLastError(e);
    return FALSE;
  }
  Ui& u = ui();
  WNDPROC proc = nullptr;
  std::vector<HWND> children;
  bool top = false;
  WStr title;
  {
    std::unique_lock lock(u.mu);
    Window* w = window(u, hWnd);
    if (!w) {
      lock.unlock();
      // Another process's window is as much out of reach as another thread's.
      bool elsewhere = remote_facts(hWnd).has_value();
      SetLastError(elsewhere ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    if (w->thread != std::this_thread::get_id()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    proc = w->proc;
    top = !w->parent && w->visible;
    title = w->text;
    for (auto& [h, c] : u.windows)
      if (c.parent == hWnd) children.push_back(h);
  }
  proc(hWnd, WM_DESTROY, 0, 0);
  for (HWND c : children) DestroyWindow(c);
  proc(hWnd, WM_NCDESTROY, 0, 0);
  std::string published;
  {
    std::lock_guard lock(u.mu);
    if (Window* w = window(u, hWnd)) published = std::move(w->published);
    for (auto& [t, q] : u.queues)
      std::erase_if(q.timers, [&](const Timer& tm) { return tm.hwnd == hWnd; });
    u.windows.erase(hWnd);
    u.cv.notify_all();  // senders waiting for it learn that it is gone
  }
  unpublish_window(published);
  forget_device_notifications();
  forget_surface(hWnd);
  if (top) append_event({{"type", "window"}, {"action", "destroy"}, {"title", to_utf8(title)}});
  return TRUE;
}

WINSIM_API BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  Ui& u = ui();
  bool was = false, now = nCmdShow != SW_HIDE, top = false, minimized = false, was_minimized = false;
  WNDPROC proc = nullptr;
  WStr title, cls;
  {
    std::lock_guard lock(u.mu);
    Window* w = window(u, hWnd);
    if (!w) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    was = w->visible;
    w->visible = now;
    was_minimized = w->minimized;
    if (nCmdShow == SW_MINIMIZE) w->minimized = true;
    else if (nCmdShow != SW_HIDE) w->minimized = false;
    minimized = w->minimized;
    top = !w->parent;
    proc = w->proc;
    title = w->text;
    cls = w->cls;
    // What it showed or uncovered is drawn again.
    if (now && !was) mark_dirty(u, hWnd, true);
    if (!now && was && w->parent) mark_dirty(u, w->parent, true);
    if (was_minimized && !minimized) mark_dirty(u, hWnd, true);
  }
  if (top && minimized != was_minimized)
    append_event({{"type", "window"}, {"action", minimized ? "minimize" : "restore"}, {"title", to_utf8(title)}});
  if (was != now) {
    proc(hWnd, WM_SHOWWINDOW, now ? TRUE : FALSE, 0);
    if (top)
      append_event(
          {{"type", "window"}, {"action", now ? "show" : "hide"}, {"title", to_utf8(title)}, {"class", to_utf8(cls)}});
  }
  return was ? TRUE : FALSE;
}

WINSIM_API BOOL WINAPI UpdateWindow(HWND hWnd) { return IsWindow(hWnd); }

WINSIM_API BOOL WINAPI IsWindow(HWND hWnd) { return any_window_facts(hWnd) ? TRUE : FALSE; }

WINSIM_API BOOL WINAPI IsWindowVisible(HWND hWnd) {
  auto facts = any_window_facts(hWnd);
  return facts && facts->visible ? TRUE : FALSE;
}

WINSIM_API int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
  if (DWORD e = fault("GetWindowTextW")) {
    SetLastError(e);
    return 0;
  }
  if (!window_facts(hWnd)) {
    // Another process's window: its caption as the system keeps it, without a message to its
    // thread, so that the title of a program that does not answer can still be read.
    auto facts = any_window_facts(hWnd);
    if (!facts || !lpString || nMaxCount <= 0) return 0;
    size_t n = std::min<size_t>(facts->caption.size(), static_cast<size_t>(nMaxCount) - 1);
    std::memcpy(lpString, facts->caption.data(), n * sizeof(WCHAR));
    lpString[n] = 0;
    return static_cast<int>(n);
  }
  return static_cast<int>(
      SendMessageW(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

WINSIM_API BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
  if (DWORD e = fault("SetWindowTextW")) {
    SetLastError(e);
    return FALSE;
  }
  if (!IsWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return static_cast<BOOL>(SendMessageW(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)));
}

WINSIM_API LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int nIndex) {
  if (DWORD e = fault("GetWindowLongPtrW")) {
    SetLastError(e);
    return 0;
  }
  return with_window(hWnd, LONG_PTR{0}, [&](Window& w) -> LONG_PTR {
    if (nIndex == GWLP_USERDATA) return w.userdata;
    if (nIndex == GWLP_WNDPROC) return reinterpret_cast<LONG_PTR>(w.proc);
    if (nIndex == GWL_STYLE) return static_cast<LONG_PTR>(w.style | (w.visible ? WS_VISIBLE : 0u));
    if (nIndex == GWL_EXSTYLE) return static_cast<LONG_PTR>(w.ex_style);
    if (nIndex == GWLP_ID) return reinterpret_cast<LONG_PTR>(w.id);
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  });
}

WINSIM_API LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  if (DWORD e = fault("SetWindowLongPtrW")) {
    SetLastError(e);
    return 0;
  }
  return with_window(hWnd, LONG_PTR{0}, [&](Window& w) -> LONG_PTR {
    if (nIndex == GWLP_USERDATA) return std::exchange(w.userdata, dwNewLong);
    if (nIndex == GWLP_WNDPROC)
      return reinterpret_cast<LONG_PTR>(std::exchange(w.proc, reinterpret_cast<WNDPROC>(dwNewLong)));
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  });
}

WINSIM_API HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName) {
  if (DWORD e = fault("FindWindowW")) {
    SetLastError(e);
    return nullptr;
  }
  // This process's windows first, then those of the machine's other processes.
  WStr cls = wstr_or_empty(lpClassName), title = wstr_or_empty(lpWindowName);
  if (HWND h = find_top_window(lpClassName ? &cls : nullptr, lpWindowName ? &title : nullptr)) return h;
  return remote_find(lpClassName, lpWindowName);
}

WINSIM_API LRESULT WINAPI CallWindowProcW(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  return lpPrevWndFunc ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
}

WINSIM_API LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  switch (Msg) {
    case WM_NCCREATE:
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hWnd, &ps);
      EndPaint(hWnd, &ps);
      return 0;
    }
    case WM_SETTEXT: {
      Ui& u = ui();
      std::lock_guard lock(u.mu);
      if (Window* w = window(u, hWnd)) w->text = wstr_or_empty(reinterpret_cast<LPCWSTR>(lParam));
      return TRUE;
    }
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: {
      Ui& u = ui();
      std::lock_guard lock(u.mu);
      Window* w = window(u, hWnd);
      WStr t = w ? w->text : WStr();
      if (Msg == WM_GETTEXTLENGTH) return static_cast<LRESULT>(t.size());
      auto* buf = reinterpret_cast<LPWSTR>(lParam);
      if (!buf || wParam == 0) return 0;
      size_t n = std::min<size_t>(t.size(), wParam - 1);
      std::memcpy(buf, t.data(), n * sizeof(WCHAR));
      buf[n] = 0;
      return static_cast<LRESULT>(n);
    }
    default:
      return 0;
  }
}

WINSIM_API BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (DWORD e = fault("PostMessageW")) {
    SetLastError(e);
    return FALSE;
  }
  if (!hWnd) {  // the calling thread's own queue
    Ui& u = ui();
    std::lock_guard lock(u.mu);
    u.queues[std::this_thread::get_id()].posted.push_back({nullptr, Msg, wParam, lParam, GetTickCount(), {0, 0}});
    u.cv.notify_all();
    return TRUE;
  }
  // Queued for the window's thread, in this process or another: the caller does not wait for it.
  if (post_to_window(hWnd, Msg, wParam, lParam) || remote_post(hWnd, Msg, wParam, lParam)) return TRUE;
  SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return FALSE;
}

WINSIM_API LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  if (DWORD e = fault("SendMessageW")) {
    SetLastError(e);
    return 0;
  }
  Ui& u = ui();
  std::unique_lock lk(u.mu);
  Window* w = window(u, hWnd);
  if (!w) {
    lk.unlock();
    // Another process's window: its owner runs the message on the window's thread while this
    // thread waits for the answer.
    if (auto r = remote_send(hWnd, Msg, wParam, lParam)) return *r;
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->thread == std::this_thread::get_id()) {
    WNDPROC proc = w->proc;
    lk.unlock();
    return proc(hWnd, Msg, wParam, lParam);
  }
  // Another thread's window: its thread runs the message while this one waits, still answering
  // what is sent to it meanwhile.
  SentMessage sm{hWnd, Msg, wParam, lParam};
  Queue& mine = u.queues[std::this_thread::get_id()];
  if (!send_and_wait(lk, sm, w->thread, &mine)) return 0;  // destroyed before it could answer
  return sm.result;
}

WINSIM_API void WINAPI PostQuitMessage(int nExitCode) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  Queue& q = u.queues[std::this_thread::get_id()];
  q.quit = true;
  q.quit_code = nExitCode;
  u.cv.notify_all();
}

static BOOL get_message(LPMSG lpMsg, HWND hWnd, UINT lo, UINT hi, bool wait, bool remove) {
  Ui& u = ui();
  std::unique_lock lk(u.mu);
  for (;;) {
    Queue& q = u.queues[std::this_thread::get_id()];
    if (run_sent(lk, q)) continue;
    auto it =
        std::find_if(q.posted.begin(), q.posted.end(), [&](const MSG& m) { return filter_match(m, hWnd, lo, hi); });
    if (it != q.posted.end()) {
      *lpMsg = *it;
      if (remove) q.posted.erase(it);
      return lpMsg->message == WM_QUIT && wait ? FALSE : TRUE;
    }
    if (q.quit) {
      *lpMsg = {nullptr, WM_QUIT, static_cast<WPARAM>(q.quit_code), 0, GetTickCount(), {0, 0}};
      if (remove) q.quit = false;
      return wait ? FALSE : TRUE;
    }
    // Then what the system makes when nothing is queued: paints, then timers.
    auto next_timer = std::chrono::steady_clock::time_point::max();
    std::optional<MSG> made;
    if (!lo && !hi ? true : (WM_PAINT >= lo && WM_PAINT <= hi)) made = paint_message(u, hWnd);
    if (!made && (!lo && !hi ? true : (WM_TIMER >= lo && WM_TIMER <= hi)))
      made = timer_message(q, hWnd, remove, next_timer);
    if (made) {
      *lpMsg = *made;
      return TRUE;
    }
    if (!wait) return FALSE;
    lk.unlock();
    bool acted = user_acts();
    lk.lock();
    // The user looks again within 50 ms; a timer due sooner wakes the thread at its time.
    auto until = std::min(next_timer, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
    if (!acted) u.cv.wait_until(lk, until);
  }
}

WINSIM_API BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
  if (DWORD e = fault("GetMessageW")) {
    SetLastError(e);
    return -1;
  }
  if (!lpMsg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  return get_message(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
}

WINSIM_API BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  if (!lpMsg) return FALSE;
  return get_message(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, false, wRemoveMsg & PM_REMOVE);
}

WINSIM_API BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

WINSIM_API LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) {
  if (lpMsg && lpMsg->message == WM_TIMER && lpMsg->lParam) {
    reinterpret_cast<TIMERPROC>(lpMsg->lParam)(lpMsg->hwnd, WM_TIMER, lpMsg->wParam, GetTickCount());
    return 0;
  }
  if (!lpMsg || !lpMsg->hwnd) return 0;
  WNDPROC proc = nullptr;
  {
    Ui& u = ui();
    std::lock_guard lock(u.mu);
    if (Window* w = window(u, lpMsg->hwnd)) proc = w->proc;
  }
  return proc ? proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam) : 0;
}

WINSIM_API int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
  if (DWORD e = fault("MessageBoxW")) {
    SetLastError(e);
    return 0;
  }
  if (hWnd && !IsWindow(hWnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  static const std::vector<std::vector<int>> kButtons = {
      {IDOK},        {IDOK, IDCANCEL},   {IDABORT, IDRETRY, IDIGNORE}, {IDYES, IDNO, IDCANCEL},
      {IDYES, IDNO}, {IDRETRY, IDCANCEL}};
  static const char* kSets[] = {"OK", "OKCANCEL", "ABORTRETRYIGNORE", "YESNOCANCEL", "YESNO", "RETRYCANCEL"};
  unsigned set = uType & 0xF;
  if (set >= kButtons.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const auto& buttons = kButtons[set];
  size_t def = std::min<size_t>((uType >> 8) & 0xF, buttons.size() - 1);
  WStr text = wstr_or_empty(lpText);
  WStr caption = lpCaption ? WStr(lpCaption) : WStr(u"Error");
  int answer = buttons[def];
  const char* by = "default";
  {
    Script& s = script();
    std::lock_guard lock(s.mu);
    if (!s.loaded) load_script(s);
    for (auto& rule : s.boxes) {
      if (rule.used || !glob(rule.pattern, text)) continue;
      rule.used = true;
      if (std::find(buttons.begin(), buttons.end(), rule.answer) != buttons.end()) {
        answer = rule.answer;
        by = "script";
      } else {
        by = "default (the scripted answer is not a button of this box)";
      }
      break;
    }
  }
  // A picture the script asks for next is taken while the box is open, the box on top.
  std::optional<WStr> shot_file;
  {
    Script& s = script();
    std::lock_guard lock(s.mu);
    if (s.next < s.actions.size() && s.actions[s.next].kind == Action::kShot) shot_file = s.actions[s.next++].pattern;
  }
  if (shot_file) {
    static const std::map<int, const char16_t*> kLabels = {{IDOK, u"OK"},     {IDCANCEL, u"Cancel"}, {IDABORT, u"Abort"},
                                                          {IDRETRY, u"Retry"}, {IDIGNORE, u"Ignore"}, {IDYES, u"Yes"},
                                                          {IDNO, u"No"}};
    std::vector<WStr> labels;
    for (int b : buttons) labels.push_back(kLabels.at(b));
    // The box's own message loop would have drawn again what waits for it below the box.
    for (int i = 0; i < 1000; ++i) {
      std::optional<MSG> m;
      {
        Ui& u = ui();
        std::lock_guard lock(u.mu);
        m = paint_message(u, nullptr);
      }
      if (!m) break;
      DispatchMessageW(&*m);
    }
    HWND top = nullptr;
    if (hWnd)
      if (auto place = window_place(hWnd)) top = place->top;
    append_event(take_shot(*shot_file, top, caption,
                           [&](picture::Picture below) { return draw_message_box(below, caption, text, labels); }));
  }
  append_event({{"type", "messagebox"},
                {"caption", to_utf8(caption)},
                {"text", to_utf8(text)},
                {"style", uType},
                {"buttons", kSets[set]},
                {"owner", reinterpret_cast<ULONG_PTR>(hWnd)},
                {"answer", to_utf8(answer_name(answer))},
                {"by", by}});
  return answer;
}

WINSIM_API int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax) {
  if (DWORD e = fault("LoadStringW")) {
    SetLastError(e);
    return 0;
  }
  if (!lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Strings live in blocks of sixteen, each a length followed by that many characters.
  HRSRC r = FindResourceW(hInstance, MAKEINTRESOURCEW(uID / 16 + 1), RT_STRING);
  if (!r) {
    if (cchBufferMax > 0) lpBuffer[0] = 0;
    return 0;
  }
  const auto* p = static_cast<const WCHAR*>(LockResource(LoadResource(hInstance, r)));
  const WCHAR* end = p + SizeofResource(hInstance, r) / sizeof(WCHAR);
  for (UINT i = 0; i < uID % 16 && p < end; ++i) p += 1 + *p;
  if (p >= end || *p == 0) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    if (cchBufferMax > 0) lpBuffer[0] = 0;
    return 0;
  }
  int len = *p;
  if (cchBufferMax == 0) {  // a pointer to the read-only text itself
    *reinterpret_cast<const WCHAR**>(lpBuffer) = p + 1;
    return len;
  }
  int n = std::min(len, cchBufferMax - 1);
  std::memcpy(lpBuffer, p + 1, static_cast<size_t>(n) * sizeof(WCHAR));
  lpBuffer[n] = 0;
  return n;
}

WINSIM_API int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  if (!lpBuffer || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WCHAR wide[4096];
  int n = LoadStringW(hInstance, uID, wide, 4096);
  std::string text = to_acp(WStrView(wide, static_cast<size_t>(n)));
  size_t fit = std::min(text.size(), static_cast<size_t>(cchBufferMax - 1));
  std::memcpy(lpBuffer, text.data(), fit);
  lpBuffer[fit] = 0;
  return static_cast<int>(fit);
}

WINSIM_API int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  WStr text = lpText ? from_acp(lpText) : WStr(), caption = lpCaption ? from_acp(lpCaption) : WStr();
  return MessageBoxW(hWnd, lpText ? text.c_str() : nullptr, lpCaption ? caption.c_str() : nullptr, uType);
}

}  // extern "C"

// ---- geometry, state and timers of windows ----------------------------------------------------

namespace winsim {

std::optional<WindowPlace> window_place(HWND h) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  Window* w = window(u, h);
  if (!w) return std::nullopt;
  WindowPlace p;
  p.shown = shown(u, *w);
  p.cx = w->cx;
  p.cy = w->cy;
  // The chain up to the top-level window, then down again: each window's place is its parent's
  // offset by its own, and what shows of it lies inside every ancestor.
  std::vector<std::pair<HWND, const Window*>> chain{{h, w}};
  while (chain.back().second->parent) {
    HWND ph = chain.back().second->parent;
    const Window* parent = window(u, ph);
    if (!parent) break;
    chain.push_back({ph, parent});
  }
  const Window* c = chain.back().second;
  p.top = chain.back().first;
  LONG x = 0, y = 0, l = 0, t = 0, r = c->cx, b = c->cy;
  for (size_t i = chain.size() - 1; i-- > 0;) {
    const Window* cw = chain[i].second;
    x += cw->x;
    y += cw->y;
    l = std::max(l, x);
    t = std::max(t, y);
    r = std::min(r, x + cw->cx);
    b = std::min(b, y + cw->cy);
  }
  p.x = x;
  p.y = y;
  p.clip_l = l;
  p.clip_t = t;
  p.clip_r = std::max(l, r);
  p.clip_b = std::max(t, b);
  p.ex_style = c->ex_style;
  p.color_keyed = c->color_keyed;
  p.color_key = c->color_key;
  p.background = w->background;
  return p;
}

void mark_for_paint(HWND h, bool dirty, bool children) {
  Ui& u = ui();
  WStr title;
  {
    std::lock_guard lock(u.mu);
    if (dirty) {
      mark_dirty(u, h, children);
      return;
    }
    Window* w = window(u, h);
    if (!w) return;
    w->dirty = false;
    // The first moment a shown top-level window and everything shown in it have been drawn is
    // the moment a person first sees it whole: recorded once, for start-up measurements.
    auto top_of = [&](HWND c) -> HWND {
      for (Window* p = window(u, c); p && p->parent; p = window(u, c)) c = p->parent;
      return c;
    };
    HWND top = top_of(h);
    Window* tw = window(u, top);
    if (!tw || tw->drawn || !shown(u, *tw)) return;
    for (auto& [c, cw] : u.windows)
      if (cw.dirty && shown(u, cw) && top_of(c) == top) return;  // part of it still waits
    tw->drawn = true;
    title = tw->text;
  }
  append_event({{"type", "window"}, {"action", "painted"}, {"title", to_utf8(title)}});
}

WStr window_class(HWND h) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  Window* w = window(u, h);
  return w ? w->cls : WStr();
}

namespace {
std::atomic<HWND> g_capture{nullptr};
std::atomic<ULONG_PTR> g_cursor{0};
}  // namespace

ULONG_PTR current_cursor() { return g_cursor.load(); }

std::vector<HWND> child_windows(HWND parent) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  std::vector<std::pair<std::uint64_t, HWND>> found;
  for (auto& [h, w] : u.windows)
    if (parent && w.parent == parent) found.push_back({w.made, h});
  std::sort(found.begin(), found.end());
  std::vector<HWND> out;
  for (auto& f : found) out.push_back(f.second);
  return out;
}

std::vector<HWND> shown_top_windows() {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  std::vector<HWND> out;
  for (auto& [h, w] : u.windows)
    if (!w.parent && shown(u, w)) out.push_back(h);
  return out;
}

}  // namespace winsim

extern "C" {

WINSIM_API HWND WINAPI SetCapture(HWND hWnd) { return g_capture.exchange(hWnd); }
WINSIM_API BOOL WINAPI ReleaseCapture(void) {
  g_capture = nullptr;
  return TRUE;
}
WINSIM_API HWND WINAPI GetCapture(void) { return g_capture.load(); }

// The system's cursors are known by their numbers (IDC_ARROW, IDC_HAND, IDC_WAIT); the handle is
// the number, so that what was set can be told by it.
WINSIM_API HCURSOR WINAPI LoadCursorW(HINSTANCE hInstance, LPCWSTR lpCursorName) {
  auto n = reinterpret_cast<ULONG_PTR>(lpCursorName);
  if (hInstance || n < 32512 || n > 32651) return fail(ERROR_RESOURCE_NAME_NOT_FOUND, static_cast<HCURSOR>(nullptr));
  return reinterpret_cast<HCURSOR>(n);
}
WINSIM_API HCURSOR WINAPI SetCursor(HCURSOR hCursor) {
  return reinterpret_cast<HCURSOR>(g_cursor.exchange(reinterpret_cast<ULONG_PTR>(hCursor)));
}

// The simulated display: one screen of 1280 x 1024 pixels.
WINSIM_API int WINAPI GetSystemMetrics(int nIndex) {
  switch (nIndex) {
    case SM_CXSCREEN:
      return 1280;
    case SM_CYSCREEN:
      return 1024;
    default:
      return 0;
  }
}

// The scripted pointer tells a control it left as soon as it moves to another one, whether the
// control asked for that or not; asking succeeds for a window that exists.
WINSIM_API BOOL WINAPI TrackMouseEvent(LPTRACKMOUSEEVENT lpEventTrack) {
  if (!lpEventTrack || lpEventTrack->cbSize != sizeof(TRACKMOUSEEVENT)) return fail(ERROR_INVALID_PARAMETER, FALSE);
  return IsWindow(lpEventTrack->hwndTrack) ? TRUE : fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
}

WINSIM_API BOOL WINAPI IsIconic(HWND hWnd) {
  return with_window(hWnd, FALSE, [](Window& w) { return w.minimized ? TRUE : FALSE; });
}

WINSIM_API BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  Window* w = window(u, hWnd);
  if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  bool was_disabled = !w->enabled;
  if (w->enabled != (bEnable != FALSE)) {
    w->enabled = bEnable != FALSE;
    mark_dirty(u, hWnd, true);  // a disabled control looks different
  }
  return was_disabled ? TRUE : FALSE;
}

WINSIM_API BOOL WINAPI IsWindowEnabled(HWND hWnd) {
  return with_window(hWnd, FALSE, [](Window& w) { return w.enabled ? TRUE : FALSE; });
}

WINSIM_API HWND WINAPI GetParent(HWND hWnd) {
  return with_window(hWnd, static_cast<HWND>(nullptr), [](Window& w) { return w.parent; });
}

WINSIM_API BOOL WINAPI SetPropW(HWND hWnd, LPCWSTR lpString, HANDLE hData) {
  if (!lpString) return fail(ERROR_INVALID_PARAMETER, FALSE);
  return with_window(hWnd, FALSE, [&](Window& w) {
    w.props[folded(lpString)] = hData;
    return TRUE;
  });
}

WINSIM_API HANDLE WINAPI GetPropW(HWND hWnd, LPCWSTR lpString) {
  if (!lpString) return nullptr;
  return with_window(hWnd, HANDLE{nullptr}, [&](Window& w) -> HANDLE {
    auto it = w.props.find(folded(lpString));
    return it == w.props.end() ? nullptr : it->second;
  });
}

WINSIM_API HANDLE WINAPI RemovePropW(HWND hWnd, LPCWSTR lpString) {
  if (!lpString) return nullptr;
  return with_window(hWnd, HANDLE{nullptr}, [&](Window& w) -> HANDLE {
    auto it = w.props.find(folded(lpString));
    if (it == w.props.end()) return nullptr;
    HANDLE v = it->second;
    w.props.erase(it);
    return v;
  });
}

WINSIM_API UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
  if (DWORD e = fault("SetTimer")) return fail(e, UINT_PTR{0});
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  std::thread::id thread = std::this_thread::get_id();
  if (hWnd) {
    Window* w = window(u, hWnd);
    if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE, UINT_PTR{0});
    if (w->thread != thread) return fail(ERROR_ACCESS_DENIED, UINT_PTR{0});
  } else {
    nIDEvent = u.next_timer_id++;
  }
  // Windows keeps intervals between 10 ms and about 24.8 days.
  UINT ms = std::clamp<UINT>(uElapse, 10, 0x7FFFFFFF);
  Queue& q = u.queues[thread];
  std::erase_if(q.timers, [&](const Timer& t) { return t.hwnd == hWnd && t.id == nIDEvent; });
  q.timers.push_back({hWnd, nIDEvent, ms, lpTimerFunc, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)});
  u.cv.notify_all();
  return hWnd ? (nIDEvent ? nIDEvent : 1) : nIDEvent;
}

WINSIM_API BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  for (auto& [t, q] : u.queues) {
    auto n = std::erase_if(q.timers, [&](const Timer& tm) { return tm.hwnd == hWnd && tm.id == uIDEvent; });
    if (n) {
      // A WM_TIMER already taken from the queue is not recalled, as on Windows; none is queued here.
      return TRUE;
    }
  }
  return fail(ERROR_INVALID_PARAMETER, FALSE);
}

WINSIM_API BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
  if (!lpRect) return fail(ERROR_INVALID_PARAMETER, FALSE);
  return with_window(hWnd, FALSE, [&](Window& w) {
    *lpRect = {0, 0, w.cx, w.cy};
    return TRUE;
  });
}

WINSIM_API BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
  if (!lpRect) return fail(ERROR_INVALID_PARAMETER, FALSE);
  Ui& u = ui();
  std::lock_guard lock(u.mu);
  Window* w = window(u, hWnd);
  if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
  LONG x = 0, y = 0;
  for (const Window* p = w; p; p = p->parent ? window(u, p->parent) : nullptr) x += p->x, y += p->y;
  *lpRect = {x, y, x + w->cx, y + w->cy};
  return TRUE;
}

WINSIM_API BOOL WINAPI SetWindowPos(HWND hWnd, HWND, int X, int Y, int cx, int cy, UINT uFlags) {
  if (DWORD e = fault("SetWindowPos")) return fail(e, FALSE);
  {
    Ui& u = ui();
    std::lock_guard lock(u.mu);
    Window* w = window(u, hWnd);
    if (!w) return fail(ERROR_INVALID_WINDOW_HANDLE, FALSE);
    if (!(uFlags & SWP_NOMOVE)) w->x = X, w->y = Y;
    if (!(uFlags & SWP_NOSIZE)) w->cx = std::max(cx, 0), w->cy = std::max(cy, 0);
    // Its old place is uncovered and its new one drawn: the parent paints again, with its children.
    mark_dirty(u, w->parent ? w->parent : hWnd, true);
  }
  if (uFlags & SWP_SHOWWINDOW) ShowWindow(hWnd, SW_SHOW);
  if (uFlags & SWP_HIDEWINDOW) ShowWindow(hWnd, SW_HIDE);
  return TRUE;
}

WINSIM_API BOOL WINAPI MoveWindow(HWND hWnd, int X, int Y, int nWidth, int nHeight, BOOL) {
  return SetWindowPos(hWnd, nullptr, X, Y, nWidth, nHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}

WINSIM_API BOOL WINAPI SetLayeredWindowAttributes(HWND hwnd, COLORREF crKey, BYTE, DWORD dwFlags) {
  return with_window(hwnd, FALSE, [&](Window& w) {
    if (!(w.ex_style & WS_EX_LAYERED)) return fail(ERROR_INVALID_PARAMETER, FALSE);
    w.color_keyed = (dwFlags & LWA_COLORKEY) != 0;
    w.color_key = crKey;
    return TRUE;
  });
}

}  // extern "C"

// ---- menus ------------------------------------------------------------------------------------

namespace winsim {
namespace {

struct MenuItem {
  UINT flags;
  UINT_PTR id;
  WStr text;
};

struct Menus {
  std::mutex mu;
  std::map<HMENU, std::vector<MenuItem>> menus;
  ULONG_PTR next = 0x20010;
};

Menus& menus() {
  static Menus m;
  return m;
}

HMENU new_menu() {
  Menus& m = menus();
  std::lock_guard lock(m.mu);
  auto h = reinterpret_cast<HMENU>(m.next);
  m.next += 2;
  m.menus[h];
  return h;
}

constexpr DWORD kInvalidMenuHandle = ERROR_INVALID_MENU_HANDLE;
constexpr DWORD kMenuItemNotFound = ERROR_MENU_ITEM_NOT_FOUND;

// Runs `f` on the items of a menu under the lock; an unknown menu fails with its error.
template <class R, class F>
R with_menu(HMENU h, R failed, F&& f) {
  Menus& m = menus();
  std::lock_guard lock(m.mu);
  auto it = m.menus.find(h);
  if (it == m.menus.end()) {
    SetLastError(kInvalidMenuHandle);
    return failed;
  }
  return f(it->second);
}

// The position of an item given by position or by command id, or -1.
int item_index(const std::vector<MenuItem>& items, UINT pos, UINT flags) {
  if (flags & MF_BYPOSITION) return pos < items.size() ? static_cast<int>(pos) : -1;
  for (size_t i = 0; i < items.size(); ++i)
    if (!(items[i].flags & (MF_SEPARATOR | MF_POPUP)) && items[i].id == pos) return static_cast<int>(i);
  return -1;
}

}  // namespace
}  // namespace winsim

extern "C" {

WINSIM_API HMENU WINAPI CreateMenu(void) {
  if (DWORD e = fault("CreateMenu")) {
    SetLastError(e);
    return nullptr;
  }
  return new_menu();
}
WINSIM_API HMENU WINAPI CreatePopupMenu(void) {
  if (DWORD e = fault("CreatePopupMenu")) {
    SetLastError(e);
    return nullptr;
  }
  return new_menu();
}

WINSIM_API BOOL WINAPI DestroyMenu(HMENU hMenu) {
  Menus& m = menus();
  std::lock_guard lock(m.mu);
  if (!m.menus.erase(hMenu)) {
    SetLastError(kInvalidMenuHandle);
    return FALSE;
  }
  return TRUE;
}

WINSIM_API BOOL WINAPI AppendMenuW(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem) {
  if (DWORD e = fault("AppendMenuW")) {
    SetLastError(e);
    return FALSE;
  }
  return with_menu(hMenu, FALSE, [&](std::vector<MenuItem>& items) {
    items.push_back({uFlags, uIDNewItem, (uFlags & MF_SEPARATOR) ? WStr() : wstr_or_empty(lpNewItem)});
    return TRUE;
  });
}

WINSIM_API BOOL WINAPI ModifyMenuW(HMENU hMnu, UINT uPosition, UINT uFlags, UINT_PTR uIDNewItem, LPCWSTR lpNewItem) {
  if (DWORD e = fault("ModifyMenuW")) {
    SetLastError(e);
    return FALSE;
  }
  return with_menu(hMnu, FALSE, [&](std::vector<MenuItem>& items) {
    int i = item_index(items, uPosition, uFlags);
    if (i < 0) {
      SetLastError(kMenuItemNotFound);
      return FALSE;
    }
    items[static_cast<size_t>(i)] = {uFlags & ~MF_BYPOSITION, uIDNewItem,
                                     (uFlags & MF_SEPARATOR) ? WStr() : wstr_or_empty(lpNewItem)};
    return TRUE;
  });
}

WINSIM_API BOOL WINAPI DeleteMenu(HMENU hMenu, UINT uPosition, UINT uFlags) {
  if (DWORD e = fault("DeleteMenu")) {
    SetLastError(e);
    return FALSE;
  }
  return with_menu(hMenu, FALSE, [&](std::vector<MenuItem>& items) {
    int i = item_index(items, uPosition, uFlags);
    if (i < 0) {
      SetLastError(kMenuItemNotFound);
      return FALSE;
    }
    items.erase(items.begin() + i);
    return TRUE;
  });
}

WINSIM_API int WINAPI GetMenuItemCount(HMENU hMenu) {
  return with_menu(hMenu, -1, [](std::vector<MenuItem>& items) { return static_cast<int>(items.size()); });
}

WINSIM_API int WINAPI GetMenuStringW(HMENU hMenu, UINT uIDItem, LPWSTR lpString, int cchMax, UINT flags) {
  return with_menu(hMenu, 0, [&](std::vector<MenuItem>& items) {
    int i = item_index(items, uIDItem, flags);
    if (i < 0) return 0;
    const WStr& t = items[static_cast<size_t>(i)].text;
    if (!lpString || cchMax <= 0) return static_cast<int>(t.size());
    size_t n = std::min<size_t>(t.size(), static_cast<size_t>(cchMax - 1));
    std::memcpy(lpString, t.data(), n * sizeof(WCHAR));
    lpString[n] = 0;
    return static_cast<int>(n);
  });
}

}  // extern "C"
