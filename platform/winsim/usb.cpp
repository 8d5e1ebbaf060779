// The USB printing class driver's side of a simulated printer: its interface opened as a file,
// the port-status and device-ID requests, and overlapped reads and writes that complete when the
// printer has answered (or taken the bytes), were cancelled, or the printer was pulled out.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

#include "usb_file.h"
#include "usb_state.h"
#include "win32/devio.h"

namespace winsim {

namespace {

constexpr ULONG_PTR kPending = 0x103;  // what Internal holds while a request runs

// The completers of requests that carry an event. At exit they are told to stop and waited for,
// before the machine-wide counters they sleep on go away.
struct Completers {
  std::mutex mu;
  std::condition_variable cv;
  int running = 0;
  bool stopping = false;
  std::set<std::string> dirs;
};
Completers& completers() {
  static Completers* c = new Completers;  // outlives every completer
  return *c;
}
void stop_completers() {
  Completers& c = completers();
  std::unique_lock lock(c.mu);
  c.stopping = true;
  for (auto& d : c.dirs) bump_state_changes(d, "usb");
  c.cv.wait(lock, [&] { return c.running == 0; });
}
// Counts a completer in; false once the process is ending.
bool completer_starts(const std::string& dir) {
  static bool registered = [&] {
    state_changes(dir, "usb");  // the counters exist before the handler that needs them is registered
    std::atexit(stop_completers);
    return true;
  }();
  (void)registered;
  Completers& c = completers();
  std::lock_guard lock(c.mu);
  if (c.stopping) return false;
  ++c.running;
  c.dirs.insert(dir);
  return true;
}
bool completers_stopping() {
  Completers& c = completers();
  std::lock_guard lock(c.mu);
  return c.stopping;
}
void completer_ends() {
  Completers& c = completers();
  std::lock_guard lock(c.mu);
  --c.running;
  c.cv.notify_all();
}

bool present(const WStr& instance) {
  Devices d = read_devices();
  Device* dev = d.find(instance);
  return dev && dev->present;
}

struct UsbPrintFile : DeviceFile {
  Device device;
  Device child;  // the printing child: its port and device ID, as they were at the open
  std::string dir;  // the machine it was opened in
  bool overlapped = false;
  DWORD access = 0;
  std::weak_ptr<UsbPrintFile> self;

  std::mutex mu;
  enum Kind { kNone, kRead, kWrite } kind = kNone;
  BYTE* read_to = nullptr;
  DWORD read_size = 0;
  std::string to_write;
  LPOVERLAPPED ov = nullptr;

  // Closing the handle cancels what is still pending, and lets its completer go.
  ~UsbPrintFile() override {
    std::lock_guard lock(mu);
    if (kind != kNone) {
      // The handle table may be going away with the process: no event is set from here.
      complete(ERROR_OPERATION_ABORTED, 0, false);
      bump_state_changes(dir, "usb");
    }
  }

  // Ends the pending request (mu held). The caller's OVERLAPPED says how it ended, and its event,
  // when it has one, is signalled.
  void complete(DWORD error, DWORD bytes, bool signal = true) {
    if (ov) {
      ov->Internal = error;
      ov->InternalHigh = bytes;
      if (ov->hEvent && signal) SetEvent(ov->hEvent);
    }
    kind = kNone;
    ov = nullptr;
    read_to = nullptr;
    to_write.clear();
  }

  // Completes the pending request when the printer allows it now (mu held); otherwise `due`
  // says when its reply will be there, if ever.
  bool try_complete(std::optional<long long>& due) {
    due.reset();
    if (kind == kNone) return true;
    if (!present(device.instance)) {
      complete(ERROR_DEVICE_NOT_CONNECTED, 0);
      return true;
    }
    if (kind == kRead) {
      UsbReply r = usb_take_reply(device, read_size);
      if (r.bytes.empty()) {
        due = r.due;
        return false;
      }
      std::memcpy(read_to, r.bytes.data(), r.bytes.size());
      complete(ERROR_SUCCESS, static_cast<DWORD>(r.bytes.size()));
      return true;
    }
    UsbReceived got = usb_receive(device, child.port, to_write);
    if (got.stalled) return false;
    complete(got.unplugged && got.taken < to_write.size() ? ERROR_DEVICE_NOT_CONNECTED : ERROR_SUCCESS, got.taken);
    return true;
  }

  bool wait_signalled(DWORD ms) override {
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::milliseconds(ms == INFINITE ? 0 : ms);
    for (;;) {
      std::uint32_t seen = state_changes(dir, "usb");
      std::optional<long long> due;
      {
        std::lock_guard lock(mu);
        if (try_complete(due)) return true;
      }
      // Sleep until the reply is due, the time is up, or the machine's printers change
      // (a reply set by `winsim usb`, the printer pulled out).
      long long left = ms == INFINITE ? -1
                                      : std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
      if (ms != INFINITE && left <= 0) return false;
      if (due) {
        long long until_due = std::max<long long>(0, *due - wall_ms()) + 1;
        left = left < 0 ? until_due : std::min(left, until_due);
      }
      wait_state_change(dir, "usb", seen, left < 0 ? INFINITE : static_cast<DWORD>(left));
    }
  }

  // Starts a request that cannot complete at once: pending on an overlapped handle, waited for
  // on any other.
  BOOL start(Kind k, LPDWORD done, LPOVERLAPPED o) {
    OVERLAPPED own{};
    {
      std::lock_guard lock(mu);
      kind = k;
      ov = o ? o : &own;
      ov->Internal = kPending;
      ov->InternalHigh = 0;
      if (overlapped && o) {
        // Whoever waits on the event alone learns of the end from a completer of its own.
        if (o->hEvent && completer_starts(dir)) std::thread(run_completer, self, dir).detach();
        return fail(ERROR_IO_PENDING, FALSE);
      }
    }
    wait_signalled(INFINITE);
    const OVERLAPPED& result = o ? *o : own;
    if (done) *done = static_cast<DWORD>(result.InternalHigh);
    DWORD error = static_cast<DWORD>(result.Internal);
    return error ? fail(error, FALSE) : TRUE;
  }

  // Drives a pending request with an event to its end: looks whenever the printers change or a
  // reply is due, and stops once the request ended, was cancelled or its handle closed.
  static void run_completer(std::weak_ptr<UsbPrintFile> weak, std::string dir) {
    while (!completers_stopping()) {
      std::uint32_t seen = state_changes(dir, "usb");
      DWORD sleep = INFINITE;
      {
        auto f = weak.lock();
        if (!f) break;
        std::lock_guard lock(f->mu);
        std::optional<long long> due;
        if (f->kind == kNone || f->try_complete(due)) break;
        if (due) sleep = static_cast<DWORD>(std::max<long long>(0, *due - wall_ms()) + 1);
      }
      wait_state_change(dir, "usb", seen, sleep);
    }
    completer_ends();
  }

  // A request done at once; an event in the OVERLAPPED is signalled as for any completion.
  BOOL finished(DWORD error, DWORD bytes, LPDWORD done, LPOVERLAPPED o) {
    if (o) {
      o->Internal = error;
      o->InternalHigh = bytes;
      if (o->hEvent) SetEvent(o->hEvent);
    }
    if (done) *done = bytes;
    if (error) return fail(error, FALSE);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }

  BOOL read(LPVOID buf, DWORD size, LPDWORD done, LPOVERLAPPED o) override {
    if (!(access & GENERIC_READ)) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (o && o->hEvent) ResetEvent(o->hEvent);
    if (!present(device.instance)) return fail(ERROR_DEVICE_NOT_CONNECTED, FALSE);
    {
      std::lock_guard lock(mu);
      if (kind != kNone) return fail(ERROR_INVALID_PARAMETER, FALSE);  // one request at a time
      UsbReply r = usb_take_reply(device, size);
      if (!r.bytes.empty()) {
        std::memcpy(buf, r.bytes.data(), r.bytes.size());
        return finished(ERROR_SUCCESS, static_cast<DWORD>(r.bytes.size()), done, o);
      }
      read_to = static_cast<BYTE*>(buf);
      read_size = size;
    }
    return start(kRead, done, o);
  }

  BOOL write(LPCVOID buf, DWORD size, LPDWORD done, LPOVERLAPPED o) override {
    if (!(access & GENERIC_WRITE)) return fail(ERROR_ACCESS_DENIED, FALSE);
    if (o && o->hEvent) ResetEvent(o->hEvent);
    if (!present(device.instance)) return fail(ERROR_DEVICE_NOT_CONNECTED, FALSE);
    std::string bytes(static_cast<const char*>(buf), size);
    {
      std::lock_guard lock(mu);
      if (kind != kNone) return fail(ERROR_INVALID_PARAMETER, FALSE);
      UsbReceived got = usb_receive(device, child.port, bytes);
      if (!got.stalled)
        return finished(got.unplugged && got.taken < size ? ERROR_DEVICE_NOT_CONNECTED : ERROR_SUCCESS, got.taken, done, o);
      to_write = std::move(bytes);
    }
    return start(kWrite, done, o);
  }

  BOOL control(DWORD code, LPVOID out, DWORD out_size, LPDWORD returned, LPOVERLAPPED o) {
    if (!returned && !o) return fail(ERROR_INVALID_PARAMETER, FALSE);
    if (returned) *returned = 0;
    if (!present(device.instance)) return fail(ERROR_DEVICE_NOT_CONNECTED, FALSE);
    std::string reply;
    if (code == IOCTL_USBPRINT_GET_LPT_STATUS) {
      reply.assign(1, static_cast<char>(usb_status(device)));
    } else if (code == IOCTL_USBPRINT_GET_1284_ID) {
      std::string id = to_acp(child.device_id);
      // The class driver passes the printer's reply on as it came: the length (itself
      // included) in two big-endian bytes, then the ID's bytes.
      size_t total = std::min<size_t>(id.size() + 2, 0xFFFF);
      reply = std::string{static_cast<char>(total >> 8), static_cast<char>(total & 0xFF)} + id.substr(0, total - 2);
    } else {
      return fail(ERROR_INVALID_FUNCTION, FALSE);
    }
    if (!out || out_size == 0) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    DWORD n = static_cast<DWORD>(std::min<size_t>(out_size, reply.size()));
    std::memcpy(out, reply.data(), n);
    return finished(n < reply.size() ? ERROR_MORE_DATA : ERROR_SUCCESS, n, returned, o);
  }
};

}  // namespace

bool is_device_path(LPCWSTR path) {
  if (!path) return false;
  WStrView p(path);
  if (p.size() < 5 || p[0] != u'\\' || p[1] != u'\\' || (p[2] != u'?' && p[2] != u'.') || p[3] != u'\\') return false;
  return !(p.size() >= 6 && p[5] == u':');  // "\\?\C:\..." is a file name
}

HANDLE open_device(WStrView path, DWORD access, DWORD disposition, DWORD flags) {
  if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
  Devices tree = read_devices();
  auto dev = device_of_interface(path, tree);
  auto child = dev ? usb_print_child(*dev, tree) : std::nullopt;
  if (!child) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  auto f = std::make_shared<UsbPrintFile>();
  f->self = f;
  f->dir = machine().dir;
  f->device = *dev;
  f->child = *child;
  f->overlapped = flags & FILE_FLAG_OVERLAPPED;
  f->access = (access & GENERIC_ALL) ? (GENERIC_READ | GENERIC_WRITE) : (access & (GENERIC_READ | GENERIC_WRITE));
  HANDLE h = process().add(std::move(f));
  SetLastError(ERROR_SUCCESS);
  return h;
}

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID, DWORD, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  if (DWORD e = fault("DeviceIoControl")) return fail(e, FALSE);
  if (auto f = process().get<UsbPrintFile>(hDevice))
    return f->control(dwIoControlCode, lpOutBuffer, nOutBufferSize, lpBytesReturned, lpOverlapped);
  if (process().get<Object>(hDevice)) return fail(ERROR_INVALID_FUNCTION, FALSE);
  return fail(ERROR_INVALID_HANDLE, FALSE);
}

WINSIM_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                                           BOOL bWait) {
  if (DWORD e = fault("GetOverlappedResult")) return fail(e, FALSE);
  if (!lpOverlapped) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (auto f = process().get<UsbPrintFile>(hFile)) {
    bool mine = false;
    {
      std::lock_guard lock(f->mu);
      mine = f->kind != UsbPrintFile::kNone && f->ov == lpOverlapped;
      std::optional<long long> due;
      if (mine && !bWait && !f->try_complete(due)) {
        if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = 0;
        return fail(ERROR_IO_INCOMPLETE, FALSE);
      }
    }
    if (mine && bWait) f->wait_signalled(INFINITE);
  } else if (!process().get<Object>(hFile)) {
    return fail(ERROR_INVALID_HANDLE, FALSE);
  } else if (lpOverlapped->Internal == kPending) {
    return fail(ERROR_IO_INCOMPLETE, FALSE);
  }
  if (lpNumberOfBytesTransferred) *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  DWORD error = static_cast<DWORD>(lpOverlapped->Internal);
  return error ? fail(error, FALSE) : TRUE;
}

WINSIM_API BOOL WINAPI CancelIo(HANDLE hFile) {
  if (DWORD e = fault("CancelIo")) return fail(e, FALSE);
  if (auto f = process().get<UsbPrintFile>(hFile)) {
    std::lock_guard lock(f->mu);
    if (f->kind != UsbPrintFile::kNone) {
      f->complete(ERROR_OPERATION_ABORTED, 0);
      bump_state_changes(f->dir, "usb");  // a completer waiting for the printer lets go
    }
    return TRUE;
  }
  if (!process().get<Object>(hFile)) return fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

}  // extern "C"
