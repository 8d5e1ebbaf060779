// Kernel objects: events, mutexes and file mappings, named or not, and waiting for them.
//
// Every object lives in shared memory so that a named one is the same object in every process of
// the machine: a named object is the file run/objects/<namespace>/<name> in the machine folder, an
// unnamed one an anonymous memory file. Its first page holds the object's state (a futex word that
// moves on every signal, the event's flag, the mutex's owner) and the processes holding it; a file
// mapping's contents follow at the next page. A named object lives while some live process holds a
// handle to it or a view of it: the last one to let go removes the file, and a process that died
// holding it no longer counts.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "internal.h"

namespace winsim {

namespace {

constexpr std::uint32_t kMagic = 0x4B4F424A;  // "KOBJ"
constexpr size_t kPage = 4096;
constexpr int kMaxHolders = 128;
constexpr DWORD kAllocationGranularity = 65536;
// A waiter for a mutex held by someone else looks this often whether its holder died.
constexpr DWORD kOwnerCheckMs = 50;

enum class Kind : std::uint32_t { kEvent = 1, kMutex = 2, kMapping = 3 };

struct Holder {
  std::uint32_t pid;
  std::uint32_t count;
};

struct Block {
  std::uint32_t magic;
  Kind kind;
  std::uint32_t word;  // futex: moves whenever the object may have become signalled
  std::uint32_t manual_reset;
  std::uint32_t signalled;
  std::uint32_t recursion;
  std::uint64_t owner;  // mutex: pid << 32 | thread id; 0 when free
  std::uint64_t size;   // mapping: size of its contents
  DWORD protect;        // mapping: PAGE_READONLY or PAGE_READWRITE
  std::uint32_t holder_count;
  Holder holders[kMaxHolders];
  char data_path[2048];  // mapping of a file: the host file; empty when the contents follow here
};
static_assert(sizeof(Block) <= kPage);

template <class T>
std::atomic_ref<T> at(T& v) {
  return std::atomic_ref<T>(v);
}

bool process_alive(std::uint32_t pid) { return pid != 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

bool thread_alive(std::uint64_t owner) {
  auto pid = static_cast<pid_t>(owner >> 32);
  auto tid = static_cast<pid_t>(owner & 0xFFFFFFFFu);
  return ::syscall(SYS_tgkill, pid, tid, 0) == 0 || errno == EPERM;
}

std::uint64_t this_thread_owner() {
  return (static_cast<std::uint64_t>(::getpid()) << 32) | static_cast<std::uint32_t>(::gettid());
}


// One process's hold on an object's shared memory: the host file, the mapped first page and, for a
// named object, the process's entry in the holder table.
class Shared {
 public:
  Shared(int fd, Block* block) : fd_(fd), block_(block) {}
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  ~Shared() {
    if (!path_.empty() && ::flock(fd_, LOCK_EX) == 0) {
      release_holder();
      ::flock(fd_, LOCK_UN);
    }
    ::munmap(block_, kPage);
    ::close(fd_);
  }
  Block& block() const { return *block_; }
  int fd() const { return fd_; }
  // Once the process is in the holder table: from then on the end of this hold takes it out, and
  // the last holder removes the name.
  void hold_name(std::string path) { path_ = std::move(path); }

 private:
  void release_holder() {
    Block& b = *block_;
    auto me = static_cast<std::uint32_t>(::getpid());
    bool live = false;
    for (std::uint32_t i = 0; i < b.holder_count && i < kMaxHolders; ++i) {
      if (b.holders[i].pid == me && b.holders[i].count > 0) --b.holders[i].count;
      if (b.holders[i].count > 0 && process_alive(b.holders[i].pid)) live = true;
    }
    if (live) return;
    // The last holder: the name goes, unless another object took it over already.
    struct stat mine {}, named {};
    if (::fstat(fd_, &mine) == 0 && ::stat(path_.c_str(), &named) == 0 && mine.st_ino == named.st_ino &&
        mine.st_dev == named.st_dev)
      ::unlink(path_.c_str());
  }

  int fd_;
  Block* block_;
  std::string path_;  // named objects that this process holds
};

// Drops the holders that died and answers whether anyone alive still holds the object.
bool prune_holders(Block& b) {
  std::uint32_t n = 0;
  for (std::uint32_t i = 0; i < b.holder_count && i < kMaxHolders; ++i)
    if (b.holders[i].count > 0 && process_alive(b.holders[i].pid)) b.holders[n++] = b.holders[i];
  b.holder_count = n;
  return n > 0;
}

bool add_holder(Block& b) {
  auto me = static_cast<std::uint32_t>(::getpid());
  for (std::uint32_t i = 0; i < b.holder_count; ++i)
    if (b.holders[i].pid == me) return ++b.holders[i].count, true;
  if (b.holder_count >= kMaxHolders) return false;
  b.holders[b.holder_count++] = {me, 1};
  return true;
}

Block* map_block(int fd) {
  void* p = ::mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  return p == MAP_FAILED ? nullptr : static_cast<Block*>(p);
}

// A name as a host file name: letters, digits and a few marks stay, every other byte of its UTF-8
// form becomes %XX; a very long name keeps its start and a hash of the whole.
std::string file_name_of(const std::string& utf8) {
  std::string out;
  for (unsigned char c : utf8) {
    if (std::isalnum(c) || c == '-' || c == '_' || (c == '.' && !out.empty())) {
      out += static_cast<char>(c);
    } else {
      static const char hex[] = "0123456789ABCDEF";
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  if (out.size() <= 200) return out;
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : utf8) h = (h ^ c) * 1099511628211ull;
  char tail[24];
  std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(h));
  return out.substr(0, 180) + tail;
}

struct Opened {
  std::shared_ptr<Shared> shared;
  bool existed = false;
};

// Host path of a named object, or an error: names live in the session's namespace unless they
// start with "Global\"; any other backslash names a folder that does not exist.
std::optional<std::string> object_path(WStrView name, DWORD& error) {
  WStrView ns = u"Local";
  WStrView rest = name;
  for (WStrView prefix : {WStrView(u"Global\\"), WStrView(u"Local\\")}) {
    if (rest.substr(0, prefix.size()) == prefix) {
      ns = prefix.substr(0, prefix.size() - 1);
      rest = rest.substr(prefix.size());
      break;
    }
  }
  if (name.size() >= MAX_PATH) return error = ERROR_FILENAME_EXCED_RANGE, std::nullopt;
  if (rest.find(u'\\') != WStrView::npos) return error = ERROR_PATH_NOT_FOUND, std::nullopt;
  std::string dir = machine().dir + "/run/objects/" + to_utf8(ns);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);  // a failure shows when the object's file is made
  return dir + "/" + file_name_of(to_utf8(rest));
}

// Opens the named object `name` of kind `kind`, creating it with `init` when `create` is set and
// nobody alive holds it. Fails with ERROR_FILE_NOT_FOUND (absent), ERROR_INVALID_HANDLE (the name
// belongs to an object of another kind) or what the host said.
std::optional<Opened> open_named(WStrView name, Kind kind, bool create, const std::function<bool(Shared&)>& init,
                                 DWORD& error) {
  auto path = object_path(name, error);
  if (!path) return std::nullopt;
  for (;;) {
    int fd = ::open(path->c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
    if (fd < 0) return error = errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED, std::nullopt;
    struct stat st {};
    if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &st) != 0) {
      ::close(fd);
      return error = ERROR_ACCESS_DENIED, std::nullopt;
    }
    if (st.st_nlink == 0) {  // its last holder removed it while we waited for the lock
      ::close(fd);
      continue;
    }
    if (st.st_size < static_cast<off_t>(kPage) && (!create || ::ftruncate(fd, kPage) != 0)) {
      ::close(fd);  // a file nobody finished making: as good as absent
      return error = create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND, std::nullopt;
    }
    Block* b = map_block(fd);
    if (!b) {
      ::close(fd);
      return error = ERROR_NOT_ENOUGH_MEMORY, std::nullopt;
    }
    auto shared = std::make_shared<Shared>(fd, b);  // not a holder yet
    bool live = b->magic == kMagic && prune_holders(*b);
    if (live && b->kind != kind) return error = ERROR_INVALID_HANDLE, std::nullopt;
    if (!live) {
      if (!create) return error = ERROR_FILE_NOT_FOUND, std::nullopt;
      std::memset(b, 0, sizeof *b);
      b->kind = kind;
      if (!init(*shared)) return error = ERROR_NOT_ENOUGH_MEMORY, std::nullopt;
      b->magic = kMagic;
    }
    if (!add_holder(*b)) return error = ERROR_NOT_ENOUGH_MEMORY, std::nullopt;
    shared->hold_name(*path);
    ::flock(fd, LOCK_UN);
    return Opened{shared, live};
  }
}

std::optional<Opened> open_unnamed(Kind kind, const std::function<bool(Shared&)>& init, DWORD& error) {
  int fd = static_cast<int>(::syscall(SYS_memfd_create, "winsim-object", MFD_CLOEXEC));
  if (fd < 0 || ::ftruncate(fd, kPage) != 0) {
    if (fd >= 0) ::close(fd);
    return error = ERROR_NOT_ENOUGH_MEMORY, std::nullopt;
  }
  Block* b = map_block(fd);
  if (!b) {
    ::close(fd);
    return error = ERROR_NOT_ENOUGH_MEMORY, std::nullopt;
  }
  auto shared = std::make_shared<Shared>(fd, b);
  b->kind = kind;
  if (!init(*shared)) return error = ERROR_NOT_ENOUGH_MEMORY, std::nullopt;
  b->magic = kMagic;
  return Opened{shared, false};
}

// Create*: the named object when a name is given (SetLastError(ERROR_ALREADY_EXISTS) when it was
// there already, 0 otherwise), an unnamed one without.
std::optional<Opened> create_object(LPCWSTR name, Kind kind, const std::function<bool(Shared&)>& init) {
  DWORD error = 0;
  auto o = name && *name ? open_named(name, kind, true, init, error) : open_unnamed(kind, init, error);
  if (!o) return fail(error, std::nullopt);
  SetLastError(o->existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return o;
}

std::optional<Opened> open_object(LPCWSTR name, Kind kind) {
  if (!name) return fail(ERROR_INVALID_PARAMETER, std::nullopt);
  DWORD error = 0;
  auto o = open_named(name, kind, false, [](Shared&) { return true; }, error);
  if (!o) return fail(error, std::nullopt);
  return o;
}

struct KernelObject : Syncable {
  std::shared_ptr<Shared> shared;
  DWORD access = 0;
  KernelObject(std::shared_ptr<Shared> s, DWORD a) : shared(std::move(s)), access(a) {}
  Block& block() const { return shared->block(); }
  std::uint32_t* word() override { return &block().word; }
  bool may_wait() const override { return (access & (SYNCHRONIZE | GENERIC_ALL)) != 0; }
};

struct EventObject : KernelObject {
  using KernelObject::KernelObject;
  DWORD take() override {
    Block& b = block();
    if (at(b.manual_reset).load()) return at(b.signalled).load() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    std::uint32_t one = 1;
    return at(b.signalled).compare_exchange_strong(one, 0) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  }
  bool peek() override { return at(block().signalled).load() != 0; }
};

struct MutexObject : KernelObject {
  using KernelObject::KernelObject;
  DWORD take() override {
    Block& b = block();
    std::uint64_t me = this_thread_owner();
    std::uint64_t cur = at(b.owner).load();
    if (cur == me) {
      ++b.recursion;
      return WAIT_OBJECT_0;
    }
    if (cur == 0 && at(b.owner).compare_exchange_strong(cur, me)) {
      b.recursion = 1;
      return WAIT_OBJECT_0;
    }
    if (cur != 0 && !thread_alive(cur) && at(b.owner).compare_exchange_strong(cur, me)) {
      b.recursion = 1;  // its holder ended without releasing it
      return WAIT_ABANDONED;
    }
    return WAIT_TIMEOUT;
  }
  bool peek() override {
    std::uint64_t cur = at(block().owner).load();
    return cur == 0 || cur == this_thread_owner() || !thread_alive(cur);
  }
  DWORD look_again_ms() const override { return kOwnerCheckMs; }
};

struct MappingObject : Object {
  std::shared_ptr<Shared> shared;
  DWORD access = 0;
};

struct View {
  size_t length;
  std::shared_ptr<Shared> shared;  // a view keeps its object alive after the handle is closed
};
std::mutex g_views_mu;
std::map<void*, View> g_views;

template <class T>
HANDLE add_handle(std::optional<Opened> o, DWORD access) {
  if (!o) return nullptr;
  return process().add(std::make_shared<T>(std::move(o->shared), access));
}

bool take_initial_ownership(Shared& s) {
  s.block().owner = this_thread_owner();
  s.block().recursion = 1;
  return true;
}

}  // namespace

DWORD wait_for(Syncable& obj, DWORD ms) {
  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
  for (;;) {
    std::uint32_t seen = std::atomic_ref<std::uint32_t>(*obj.word()).load();
    DWORD r = obj.take();
    if (r != WAIT_TIMEOUT) return r;
    DWORD slice = obj.look_again_ms();
    if (ms != INFINITE) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      if (left <= 0) return WAIT_TIMEOUT;
      slice = std::min<DWORD>(slice, static_cast<DWORD>(left));
    }
    wait_word(obj.word(), seen, slice);
  }
}

void signal_syncable(std::uint32_t* word) {
  std::atomic_ref<std::uint32_t>(*word).fetch_add(1);
  wake_word(word);
  bump_state_changes(machine().dir, "objects");
}

}  // namespace winsim

using namespace winsim;

extern "C" {

// ---- events -----------------------------------------------------------------------------------

WINSIM_API HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  if (DWORD e = fault("CreateEventW")) return fail(e, nullptr);
  return add_handle<EventObject>(create_object(lpName, Kind::kEvent,
                                               [&](Shared& s) {
                                                 s.block().manual_reset = bManualReset ? 1 : 0;
                                                 s.block().signalled = bInitialState ? 1 : 0;
                                                 return true;
                                               }),
                                 EVENT_ALL_ACCESS);
}

WINSIM_API HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  if (DWORD e = fault("OpenEventW")) return fail(e, nullptr);
  return add_handle<EventObject>(open_object(lpName, Kind::kEvent), dwDesiredAccess);
}

static BOOL set_event_flag(HANDLE h, std::uint32_t value) {
  auto ev = process().get<EventObject>(h);
  if (!ev) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (!(ev->access & (EVENT_MODIFY_STATE | GENERIC_ALL | GENERIC_WRITE))) return fail(ERROR_ACCESS_DENIED, FALSE);
  at(ev->block().signalled).store(value);
  if (value) signal_syncable(&ev->block().word);
  return TRUE;
}

WINSIM_API BOOL WINAPI SetEvent(HANDLE hEvent) {
  if (DWORD e = fault("SetEvent")) return fail(e, FALSE);
  return set_event_flag(hEvent, 1);
}

WINSIM_API BOOL WINAPI ResetEvent(HANDLE hEvent) {
  if (DWORD e = fault("ResetEvent")) return fail(e, FALSE);
  return set_event_flag(hEvent, 0);
}

// ---- mutexes ----------------------------------------------------------------------------------

WINSIM_API HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName) {
  if (DWORD e = fault("CreateMutexW")) return fail(e, nullptr);
  // The creator owns a new mutex when asked; an existing one is opened as it is.
  return add_handle<MutexObject>(
      create_object(lpName, Kind::kMutex, [&](Shared& s) { return !bInitialOwner || take_initial_ownership(s); }),
      MUTEX_ALL_ACCESS);
}

WINSIM_API HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  if (DWORD e = fault("OpenMutexW")) return fail(e, nullptr);
  return add_handle<MutexObject>(open_object(lpName, Kind::kMutex), dwDesiredAccess);
}

WINSIM_API BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  if (DWORD e = fault("ReleaseMutex")) return fail(e, FALSE);
  auto mx = process().get<MutexObject>(hMutex);
  if (!mx) return fail(ERROR_INVALID_HANDLE, FALSE);
  Block& b = mx->block();
  if (at(b.owner).load() != this_thread_owner()) return fail(ERROR_NOT_OWNER, FALSE);
  if (--b.recursion == 0) {
    at(b.owner).store(0);
    signal_syncable(&b.word);
  }
  return TRUE;
}

// ---- file mappings ----------------------------------------------------------------------------

WINSIM_API HANDLE WINAPI CreateFileMappingW(HANDLE hFile, LPSECURITY_ATTRIBUTES, DWORD flProtect,
                                            DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCWSTR lpName) {
  if (DWORD e = fault("CreateFileMappingW")) return fail(e, nullptr);
  DWORD protect = flProtect & 0xFFu;  // the SEC_ flags change nothing here
  if (protect != PAGE_READONLY && protect != PAGE_READWRITE && protect != PAGE_WRITECOPY)
    return fail(ERROR_INVALID_PARAMETER, nullptr);
  std::uint64_t size = (static_cast<std::uint64_t>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
  std::string data_path;
  if (hFile != INVALID_HANDLE_VALUE) {
    auto file = process().get<FdObject>(hFile);
    if (!file || file->pipe) return fail(ERROR_INVALID_HANDLE, nullptr);
    if (protect == PAGE_READWRITE && !(file->access & GENERIC_WRITE)) return fail(ERROR_ACCESS_DENIED, nullptr);
    struct stat st {};
    if (::fstat(file->fd, &st) != 0) return fail(ERROR_INVALID_HANDLE, nullptr);
    if (size == 0) size = static_cast<std::uint64_t>(st.st_size);
    if (size == 0) return fail(ERROR_FILE_INVALID, nullptr);  // an empty file cannot be mapped
    if (size > static_cast<std::uint64_t>(st.st_size)) {      // the file grows to the mapping's size
      if (protect != PAGE_READWRITE) return fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
      if (::ftruncate(file->fd, static_cast<off_t>(size)) != 0) return fail(ERROR_DISK_FULL, nullptr);
    }
    std::error_code ec;
    data_path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(file->fd), ec).string();
    if (ec || data_path.size() >= sizeof(Block::data_path)) return fail(ERROR_INVALID_HANDLE, nullptr);
  } else if (size == 0) {
    return fail(ERROR_INVALID_PARAMETER, nullptr);
  }
  auto o = create_object(lpName, Kind::kMapping, [&](Shared& s) {
    Block& b = s.block();
    b.size = size;
    b.protect = protect;
    std::memcpy(b.data_path, data_path.c_str(), data_path.size() + 1);
    // Contents kept with the object start zeroed, whatever a dead object of the name left.
    return !data_path.empty() ||
           (::ftruncate(s.fd(), kPage) == 0 && ::ftruncate(s.fd(), static_cast<off_t>(kPage + size)) == 0);
  });
  if (!o) return nullptr;
  DWORD last = GetLastError();
  auto obj = std::make_shared<MappingObject>();
  obj->shared = std::move(o->shared);
  obj->access = protect == PAGE_READWRITE ? FILE_MAP_ALL_ACCESS : FILE_MAP_READ | FILE_MAP_COPY;
  HANDLE h = process().add(std::move(obj));
  SetLastError(last);
  return h;
}

WINSIM_API HANDLE WINAPI OpenFileMappingW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  if (DWORD e = fault("OpenFileMappingW")) return fail(e, nullptr);
  auto o = open_object(lpName, Kind::kMapping);
  if (!o) return nullptr;
  if ((dwDesiredAccess & FILE_MAP_WRITE) && o->shared->block().protect != PAGE_READWRITE)
    return fail(ERROR_ACCESS_DENIED, nullptr);
  auto obj = std::make_shared<MappingObject>();
  obj->shared = std::move(o->shared);
  obj->access = dwDesiredAccess == FILE_MAP_ALL_ACCESS ? FILE_MAP_ALL_ACCESS : dwDesiredAccess;
  return process().add(std::move(obj));
}

WINSIM_API LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                                       DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
  if (DWORD e = fault("MapViewOfFile")) return fail(e, nullptr);
  auto m = process().get<MappingObject>(hFileMappingObject);
  if (!m) return fail(ERROR_INVALID_HANDLE, nullptr);
  bool write = dwDesiredAccess & FILE_MAP_WRITE;
  bool copy = (dwDesiredAccess & FILE_MAP_COPY) && !write;
  if ((write && !(m->access & FILE_MAP_WRITE)) || !(m->access & dwDesiredAccess & (FILE_MAP_READ | FILE_MAP_WRITE | FILE_MAP_COPY)))
    return fail(ERROR_ACCESS_DENIED, nullptr);
  const Block& b = m->shared->block();
  std::uint64_t offset = (static_cast<std::uint64_t>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
  if (offset % kAllocationGranularity) return fail(ERROR_MAPPED_ALIGNMENT, nullptr);
  if (offset >= b.size || dwNumberOfBytesToMap > b.size - offset) return fail(ERROR_ACCESS_DENIED, nullptr);
  size_t length = dwNumberOfBytesToMap ? dwNumberOfBytesToMap : static_cast<size_t>(b.size - offset);
  int fd = m->shared->fd();
  off_t base = kPage;
  int own_fd = -1;
  if (b.data_path[0]) {
    own_fd = ::open(b.data_path, (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (own_fd < 0) return fail(ERROR_ACCESS_DENIED, nullptr);
    fd = own_fd;
    base = 0;
  }
  void* p = ::mmap(nullptr, length, PROT_READ | (write || copy ? PROT_WRITE : 0), copy ? MAP_PRIVATE : MAP_SHARED, fd,
                   base + static_cast<off_t>(offset));
  if (own_fd >= 0) ::close(own_fd);
  if (p == MAP_FAILED) return fail(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  std::lock_guard lock(g_views_mu);
  g_views[p] = View{length, m->shared};
  return p;
}

WINSIM_API BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
  if (DWORD e = fault("UnmapViewOfFile")) return fail(e, FALSE);
  View view;
  {
    std::lock_guard lock(g_views_mu);
    auto it = g_views.find(const_cast<void*>(lpBaseAddress));
    if (it == g_views.end()) return fail(ERROR_INVALID_ADDRESS, FALSE);
    view = std::move(it->second);
    g_views.erase(it);
  }
  ::munmap(const_cast<void*>(lpBaseAddress), view.length);
  return TRUE;
}

// ---- waiting for several objects --------------------------------------------------------------

WINSIM_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                               DWORD dwMilliseconds) {
  if (DWORD e = fault("WaitForMultipleObjects")) return fail(e, WAIT_FAILED);
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) return fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  std::vector<std::shared_ptr<Object>> objs;
  bool only_syncables = true;
  for (DWORD i = 0; i < nCount; ++i) {
    auto o = lpHandles[i] == GetCurrentProcess() ? nullptr : process().get<Object>(lpHandles[i]);
    if (!o && lpHandles[i] != GetCurrentProcess()) return fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    auto s = std::dynamic_pointer_cast<Syncable>(o);
    if (s && !s->may_wait()) return fail(ERROR_ACCESS_DENIED, WAIT_FAILED);
    if (!s) only_syncables = false;
    objs.push_back(std::move(o));
  }
  // Whether an object is signalled, taking it when `take` is set.
  auto look = [](const std::shared_ptr<Object>& o, bool take) -> DWORD {
    if (!o) return WAIT_TIMEOUT;  // the current process: never signalled while it runs
    if (auto s = std::dynamic_pointer_cast<Syncable>(o)) return take ? s->take() : s->peek() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    if (auto s = std::dynamic_pointer_cast<SharedWaitable>(o)) return s->wait_signalled(0) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    if (auto w = std::dynamic_pointer_cast<Waitable>(o)) {
      std::lock_guard lock(w->state->mu);
      return w->state->done ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    return WAIT_TIMEOUT;
  };
  static std::mutex wait_all_mu;  // takes all at once as far as this process is concerned
  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::milliseconds(dwMilliseconds == INFINITE ? 0 : dwMilliseconds);
  const std::string& dir = machine().dir;
  for (;;) {
    std::uint32_t seen = state_changes(dir, "objects");
    if (bWaitAll) {
      std::lock_guard lock(wait_all_mu);
      bool all = std::all_of(objs.begin(), objs.end(), [&](auto& o) { return look(o, false) != WAIT_TIMEOUT; });
      if (all) {
        bool abandoned = false;
        for (auto& o : objs) abandoned |= look(o, true) == WAIT_ABANDONED;
        return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
      }
    } else {
      for (DWORD i = 0; i < nCount; ++i) {
        DWORD r = look(objs[i], true);
        if (r != WAIT_TIMEOUT) return r + i;
      }
    }
    // Objects that do not announce their signals (threads, processes, mutex holders that die)
    // are looked at again after a short sleep.
    DWORD slice = only_syncables ? kOwnerCheckMs : 5;
    if (dwMilliseconds != INFINITE) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      if (left <= 0) return WAIT_TIMEOUT;
      slice = std::min<DWORD>(slice, static_cast<DWORD>(left));
    }
    wait_state_change(dir, "objects", seen, slice);
  }
}

}  // extern "C"
