// Windows, the message loop, messages between threads, and message boxes answered by the
// scripted user.
#include <nlohmann/json.hpp>
#include <thread>

#include "support/machine_fixture.h"
#include "win32/user.h"

using namespace testutil;

namespace {

std::vector<UINT> g_seen;

LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  g_seen.push_back(msg);
  if (msg == WM_USER + 1) return static_cast<LRESULT>(wp * 2);
  if (msg == WM_DESTROY) PostQuitMessage(7);
  return DefWindowProcW(h, msg, wp, lp);
}

class UserTest : public MachineTest {
 protected:
  std::string script_file;
  HWND window = nullptr;

  void SetUp() override {
    MachineTest::SetUp();
    g_seen.clear();
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Proc;
    wc.lpszClassName = W_("UserTestWindow");
    ASSERT_NE(RegisterClassExW(&wc), 0);
  }
  void TearDown() override {
    if (window && IsWindow(window)) DestroyWindow(window);
    UnregisterClassW(W_("UserTestWindow"), nullptr);
    ::unsetenv("WINSIM_USER_SCRIPT");
    MachineTest::TearDown();
  }
  HWND make(const WCHAR* title) {
    return CreateWindowExW(0, W_("UserTestWindow"), title, WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr,
                           nullptr, nullptr);
  }
  std::vector<nlohmann::json> events_of(const char* type) {
    std::vector<nlohmann::json> out;
    for (auto& l : winsim::read_events(dir)) {
      auto e = nlohmann::json::parse(l);
      if (e["type"] == type) out.push_back(e);
    }
    return out;
  }
};

TEST_F(UserTest, WindowLifeAndTheMessageLoop) {
  window = make(W_("Main"));
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(g_seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_SHOWWINDOW}));
  EXPECT_TRUE(IsWindowVisible(window));
  WCHAR title[16];
  EXPECT_EQ(GetWindowTextW(window, title, 16), 4);
  EXPECT_EQ(WStr(title), W_("Main"));
  EXPECT_EQ(FindWindowW(W_("usertestwindow"), W_("Main")), window);

  EXPECT_EQ(SendMessageW(window, WM_USER + 1, 21, 0), 42);
  EXPECT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  MSG msg;
  int dispatched = 0;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    DispatchMessageW(&msg);
    ++dispatched;
  }
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(dispatched, 1);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(g_seen.back(), WM_NCDESTROY);
  auto windows = events_of("window");
  ASSERT_EQ(windows.size(), 2u);
  EXPECT_EQ(windows[0]["action"], "show");
  EXPECT_EQ(windows[1]["action"], "destroy");

  SetLastError(kMarker);
  EXPECT_EQ(CreateWindowExW(0, W_("NoSuchClass"), W_(""), 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

TEST_F(UserTest, AnotherThreadsMessagesRunOnTheWindowsThread) {
  write_file(dir + "/../script.txt", "wait 5000\n");  // the user waits; the program goes on
  ::setenv("WINSIM_USER_SCRIPT", (dir + "/../script.txt").c_str(), 1);
  winsim::use_machine(dir);
  window = make(W_("Main"));
  std::thread::id ui = std::this_thread::get_id();
  static std::thread::id ran_on;
  struct Local {
    static LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
      if (msg == WM_USER + 5) {
        ran_on = std::this_thread::get_id();
        PostMessageW(h, WM_CLOSE, 0, 0);
        return 99;
      }
      return ::Proc(h, msg, wp, lp);
    }
  };
  SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Local::Proc));
  LRESULT answer = 0;
  std::thread worker([&] { answer = SendMessageW(window, WM_USER + 5, 0, 0); });
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  worker.join();
  EXPECT_EQ(answer, 99);
  EXPECT_EQ(ran_on, ui);
}

TEST_F(UserTest, MessageBoxesTakeScriptedAnswersOrTheirDefault) {
  write_file(dir + "/../script.txt", "# answers\nbox NO \"*old version*\"\nbox yes\nbox RETRY Only*\n");
  ::setenv("WINSIM_USER_SCRIPT", (dir + "/../script.txt").c_str(), 1);
  winsim::use_machine(dir);
  EXPECT_EQ(
      MessageBoxW(nullptr, W_("An old version is installed. Remove it?"), W_("Notice"), MB_YESNO | MB_ICONQUESTION),
      IDNO);
  EXPECT_EQ(MessageBoxW(nullptr, W_("Anything"), W_("Notice"), MB_YESNO), IDYES);
  EXPECT_EQ(MessageBoxW(nullptr, W_("Only OK here"), W_("Notice"), MB_OK), IDOK);  // RETRY is no button of it
  EXPECT_EQ(MessageBoxW(nullptr, W_("No rule left"), W_("Notice"), MB_YESNOCANCEL | MB_DEFBUTTON2), IDNO);
  auto boxes = events_of("messagebox");
  ASSERT_EQ(boxes.size(), 4u);
  EXPECT_EQ(boxes[0]["text"], "An old version is installed. Remove it?");
  EXPECT_EQ(boxes[0]["caption"], "Notice");
  EXPECT_EQ(boxes[0]["buttons"], "YESNO");
  EXPECT_EQ(boxes[0]["style"], MB_YESNO | MB_ICONQUESTION);
  EXPECT_EQ(boxes[0]["by"], "script");
  EXPECT_EQ(boxes[2]["answer"], "OK");
  EXPECT_EQ(boxes[3]["by"], "default");
  EXPECT_EQ(boxes[3]["answer"], "NO");
}

TEST_F(UserTest, TheUserClosesWhatIsLeftWhenTheScriptIsDone) {
  write_file(dir + "/../script.txt", "wait 10\nclose Other*\n");
  ::setenv("WINSIM_USER_SCRIPT", (dir + "/../script.txt").c_str(), 1);
  winsim::use_machine(dir);
  window = make(W_("Main"));
  HWND other = make(W_("Other window"));
  MSG msg;
  while (IsWindow(window))  // each window's end posts a quit: loop until both are gone
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  EXPECT_FALSE(IsWindow(other));
  EXPECT_FALSE(IsWindow(window));
  auto user = events_of("user");
  ASSERT_EQ(user.size(), 2u);
  EXPECT_EQ(user[0]["window"], "Other window");
  EXPECT_EQ(user[1]["window"], "Main");
  EXPECT_EQ(user[1]["reason"], "script done");
}

TEST(UserScript, MistakesStopTheProgramWithTheLine) {
  std::string root = make_temp_dir();
  write_file(root + "/s.txt", "box YES\nclick Start\n");
  winsim::create_machine(root + "/m", {});
  CommandResult r = run_command("WINSIM_MACHINE=" + root + "/m WINSIM_USER_SCRIPT=" + root +
                                "/s.txt " WINSIM_TOOL " run " + root + "/m --script " + root + "/s.txt " SYSPROBE32);
  // The probe shows no box, so it never reads the script: it runs.
  EXPECT_EQ(r.status, 0) << r.output;
  std::filesystem::remove_all(root);
}

}  // namespace
