// Windows of every process of a machine: between the windowing of one process (user.cpp) and the
// other processes of its machine (window_ipc.cpp).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "internal.h"
#include "win32/user.h"

namespace winsim {

// What every process may learn of a window without its thread: Windows keeps these outside the
// owning program too.
struct WindowFacts {
  bool visible = false;
  WStr caption;  // the text the system keeps for the window (WM_SETTEXT's default handling)
};

// ---- what this process's windowing answers to the others (user.cpp) ---------------------------

// Runs a message on the thread of a window of this process, as a SendMessageW from another thread
// would, and returns its result; none when there is no such window or it went before its thread
// took the message.
std::optional<LRESULT> send_to_window(HWND h, UINT msg, WPARAM wp, LPARAM lp);
// Queues a message for the thread of a window of this process; false when there is no such window.
bool post_to_window(HWND h, UINT msg, WPARAM wp, LPARAM lp);
// The facts of a window of this process; none when there is no such window.
std::optional<WindowFacts> window_facts(HWND h);
// The first top-level window of this process with the class and title (null: any).
HWND find_top_window(const WStr* cls, const WStr* title);

// ---- reaching the windows of the other processes (window_ipc.cpp) -----------------------------

// Makes a window of this process reachable from the others of its machine. Returns its registry
// file, to be handed back to unpublish_window when the window goes; empty when it could not be
// published (the window then works within this process only).
std::string publish_window(HWND h, pid_t tid, bool top, WStrView cls);
void unpublish_window(const std::string& file);

// The same for a window of another process of the machine. Each is empty (or false, or null) when
// no live process of the machine has the window. Parameters cross by value, except the text of
// WM_SETTEXT and the buffer of WM_GETTEXT, which cross as Windows marshals them.
std::optional<LRESULT> remote_send(HWND h, UINT msg, WPARAM wp, LPARAM lp);
bool remote_post(HWND h, UINT msg, WPARAM wp, LPARAM lp);
std::optional<WindowFacts> remote_facts(HWND h);
HWND remote_find(LPCWSTR cls, LPCWSTR title);

}  // namespace winsim
