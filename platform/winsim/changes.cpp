// Machine-wide change counters of the state files. Each counter is a 32-bit word at the start of
// run/<state>.changes in the machine folder, mapped shared by every process that touches it; a
// writer increments it and wakes the futex, a waiter sleeps on the futex until the word moves.
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>

#include "internal.h"

namespace winsim {

namespace {

constexpr size_t kCounterFileSize = 4096;

struct Counter {
  std::uint32_t* word = nullptr;
};

// By host path; mappings live as long as the process. The table is never destroyed: a detached
// thread (a device-change watcher) may still look a counter up while the process exits.
std::mutex& g_counters_mu = *new std::mutex;
std::map<std::string, Counter>& g_counters = *new std::map<std::string, Counter>;

// The mapped word of one state file's counter; null when the machine folder cannot hold it.
std::uint32_t* counter_word(const std::string& dir, const std::string& name) {
  std::string path = dir + "/run/" + name + ".changes";
  std::lock_guard lock(g_counters_mu);
  auto it = g_counters.find(path);
  if (it != g_counters.end()) return it->second.word;
  ::mkdir((dir + "/run").c_str(), 0755);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  struct stat st {};
  // Growing the file is harmless when another process did it first: the word stays as it is.
  bool sized = ::fstat(fd, &st) == 0 && (st.st_size >= static_cast<off_t>(kCounterFileSize) ||
                                         ::ftruncate(fd, kCounterFileSize) == 0);
  void* p = sized ? ::mmap(nullptr, kCounterFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
  ::close(fd);  // the mapping keeps the file
  if (p == MAP_FAILED) return nullptr;
  auto* word = static_cast<std::uint32_t*>(p);
  g_counters[path] = {word};
  return word;
}

std::atomic_ref<std::uint32_t> atomic_word(std::uint32_t* w) { return std::atomic_ref<std::uint32_t>(*w); }

}  // namespace

std::uint32_t state_changes(const std::string& dir, const std::string& name) {
  std::uint32_t* w = counter_word(dir, name);
  return w ? atomic_word(w).load() : 0;
}

void bump_state_changes(const std::string& dir, const std::string& name) {
  std::uint32_t* w = counter_word(dir, name);
  if (!w) return;
  atomic_word(w).fetch_add(1);
  wake_word(w);
}

void wait_state_change(const std::string& dir, const std::string& name, std::uint32_t seen, DWORD ms) {
  if (std::uint32_t* w = counter_word(dir, name)) wait_word(w, seen, ms);
}

void wake_word(std::uint32_t* word) {
  // Not FUTEX_PRIVATE: the word may be shared with other processes through a file.
  ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void wait_word(std::uint32_t* w, std::uint32_t seen, DWORD ms) {
  using clock = std::chrono::steady_clock;
  auto deadline = clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
  while (atomic_word(w).load() == seen) {
    struct timespec left {};
    if (ms != INFINITE) {
      auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - clock::now()).count();
      if (rest <= 0) return;
      left.tv_sec = static_cast<time_t>(rest / 1'000'000'000);
      left.tv_nsec = static_cast<long>(rest % 1'000'000'000);
    }
    long r = ::syscall(SYS_futex, w, FUTEX_WAIT, seen, ms == INFINITE ? nullptr : &left, nullptr, 0);
    if (r != 0 && errno != EAGAIN && errno != EINTR && errno != ETIMEDOUT) return;
  }
}

std::optional<std::uint32_t> take_machine_number(const std::string& dir, const std::string& name) {
  std::uint32_t* w = counter_word(dir, name);
  if (!w) return std::nullopt;
  return atomic_word(w).fetch_add(1);
}

}  // namespace winsim
