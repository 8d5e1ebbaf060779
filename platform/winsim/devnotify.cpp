// Device-change notifications: windows registered for a device-interface class receive
// WM_DEVICECHANGE when a device of that class arrives or goes, whichever process of the machine
// (or `winsim plug`) changed the device tree. One watcher thread per process, while it has
// registrations, sleeps on the machine's device-change counter and compares what is present with
// what was.
#include <thread>

#include "devices_state.h"
#include "internal.h"
#include "win32/dbt.h"

namespace winsim {

namespace {

struct Registration : Object {
  HWND window = nullptr;
  std::optional<GUID> cls;  // none: every interface class
};

// (interface class, symbolic link) of every present device's interfaces.
using Interfaces = std::set<std::pair<WStr, WStr>>;

// Read by the machine's folder alone: the watcher thread keeps away from this process's machine
// record, which goes at exit while a detached thread may still be looking.
Interfaces present_interfaces(const std::string& dir) {
  Interfaces now;
  Devices devices;
  try {
    devices = parse_devices(read_state_in(dir, "devices"), dir + "/devices.json");
  } catch (const MachineError&) {
    return now;  // a broken device file: nothing to tell
  }
  for (const Device& d : devices.devices) {
    if (!d.present) continue;
    for (const WStr& cls : device_interface_classes(d)) now.insert({cls, interface_path(d.instance, cls)});
  }
  return now;
}

// The registrations of the windows of this process on one machine, and whether its thread runs.
struct Watcher {
  std::mutex mu;
  std::vector<std::weak_ptr<Registration>> registrations;
  bool running = false;
};

std::mutex g_watchers_mu;
std::map<std::string, std::shared_ptr<Watcher>> g_watchers;  // by machine folder

std::shared_ptr<Watcher> watcher_of(const std::string& dir) {
  std::lock_guard lock(g_watchers_mu);
  auto& w = g_watchers[dir];
  if (!w) w = std::make_shared<Watcher>();
  return w;
}

// The registrations still alive: their handle is open and their window exists.
std::vector<std::shared_ptr<Registration>> live_registrations(Watcher& w) {
  std::vector<std::shared_ptr<Registration>> live;
  std::lock_guard lock(w.mu);
  std::erase_if(w.registrations, [&](const std::weak_ptr<Registration>& weak) {
    auto r = weak.lock();
    if (!r || !IsWindow(r->window)) return true;
    live.push_back(std::move(r));
    return false;
  });
  if (live.empty()) w.running = false;
  return live;
}

void deliver(const std::vector<std::shared_ptr<Registration>>& to, WPARAM event, const WStr& cls, const WStr& link) {
  std::optional<GUID> guid = parse_guid(cls);
  if (!guid) return;
  // The record with the link after the fixed part, as the system hands it to the window.
  std::vector<unsigned char> bytes(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (link.size() + 1) * sizeof(WCHAR));
  auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
  record->dbcc_size = static_cast<DWORD>(bytes.size());
  record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  record->dbcc_classguid = *guid;
  std::memcpy(bytes.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name), link.c_str(),
              (link.size() + 1) * sizeof(WCHAR));
  for (const auto& r : to)
    if (!r->cls || same_guid(*r->cls, *guid))
      SendMessageW(r->window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(record));
}

void watch(std::shared_ptr<Watcher> watcher, std::string dir, Interfaces known) {
  Watcher& w = *watcher;
  for (;;) {
    std::uint32_t seen = state_changes(dir, "devices");
    Interfaces now = present_interfaces(dir);
    auto live = live_registrations(w);
    if (live.empty()) return;
    for (const auto& [cls, link] : known)
      if (!now.count({cls, link})) deliver(live, DBT_DEVICEREMOVECOMPLETE, cls, link);
    for (const auto& [cls, link] : now)
      if (!known.count({cls, link})) deliver(live, DBT_DEVICEARRIVAL, cls, link);
    known = std::move(now);
    wait_state_change(dir, "devices", seen, INFINITE);
  }
}

}  // namespace

void forget_device_notifications() {
  std::map<std::string, std::shared_ptr<Watcher>> all;
  {
    std::lock_guard lock(g_watchers_mu);
    all = g_watchers;
  }
  for (auto& [dir, w] : all) {
    {
      std::lock_guard lock(w->mu);
      if (!w->running) continue;
    }
    // A watcher whose windows are all gone ends at its next look; give it one now.
    if (live_registrations(*w).empty()) bump_state_changes(dir, "devices");
  }
}

}  // namespace winsim

using namespace winsim;

extern "C" {

WINSIM_API HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags) {
  if (DWORD e = fault("RegisterDeviceNotificationW")) return fail(e, static_cast<HDEVNOTIFY>(nullptr));
  // Only windows receive notifications here: there are no services to notify.
  if (Flags & ~static_cast<DWORD>(DEVICE_NOTIFY_ALL_INTERFACE_CLASSES))
    return fail(ERROR_INVALID_PARAMETER, static_cast<HDEVNOTIFY>(nullptr));
  HWND window = static_cast<HWND>(hRecipient);
  if (!IsWindow(window)) return fail(ERROR_INVALID_WINDOW_HANDLE, static_cast<HDEVNOTIFY>(nullptr));
  auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(NotificationFilter);
  if (!filter || filter->dbcc_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) ||
      filter->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
    return fail(ERROR_INVALID_DATA, static_cast<HDEVNOTIFY>(nullptr));

  auto r = std::make_shared<Registration>();
  r->window = window;
  if (!(Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) r->cls = filter->dbcc_classguid;
  std::string dir = machine().dir;
  std::shared_ptr<Watcher> w = watcher_of(dir);
  {
    std::lock_guard lock(w->mu);
    w->registrations.push_back(r);
    if (!w->running) {
      // What is present now is what the window already knows: only later changes are told.
      w->running = true;
      std::thread(watch, w, dir, present_interfaces(dir)).detach();
    }
  }
  SetLastError(ERROR_SUCCESS);
  return process().add(r);
}

WINSIM_API BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle) {
  if (DWORD e = fault("UnregisterDeviceNotification")) return fail(e, FALSE);
  if (!process().get<Registration>(Handle)) return fail(ERROR_INVALID_HANDLE, FALSE);
  process().close(Handle);
  forget_device_notifications();
  return TRUE;
}

}  // extern "C"
